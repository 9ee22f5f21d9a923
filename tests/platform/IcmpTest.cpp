// ICMP echo and the Windows Sockets start-up. Echoes go to 127.0.0.1 only;
// a private network namespace stands in for an appliance that does not
// answer, and for hosts that do or do not admit unprivileged ping sockets.
#include <dirent.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestEnv.h"
#include "icmp.h"

using korvel_test::RunInPrivateNetwork;

namespace {

const IPAddr kLoopback = htonl(INADDR_LOOPBACK);

struct Echo {
    DWORD replies = 0;
    DWORD error = 0;
    ICMP_ECHO_REPLY reply{};
    std::string data;
    long elapsedMs = 0;
};

Echo SendEcho(HANDLE handle, const std::string& payload, DWORD timeoutMs) {
    std::vector<char> buffer(sizeof(ICMP_ECHO_REPLY) + payload.size());
    std::string request = payload;
    Echo echo;
    const auto start = std::chrono::steady_clock::now();
    echo.replies = IcmpSendEcho(handle, kLoopback, request.data(), static_cast<WORD>(request.size()), nullptr,
                                buffer.data(), static_cast<DWORD>(buffer.size()), timeoutMs);
    echo.elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    echo.error = GetLastError();
    std::memcpy(&echo.reply, buffer.data(), sizeof echo.reply);
    if (echo.replies) echo.data.assign(static_cast<const char*>(echo.reply.Data), echo.reply.DataSize);
    return echo;
}

// "ping" or "raw": the kind of the ICMP socket this process holds, found in
// the kernel's socket tables by inode.
std::string SocketKind() {
    std::vector<std::string> inodes;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(fds)) {
            char target[64] = {0};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 8 && std::strncmp(target, "socket:[", 8) == 0)
                inodes.push_back(std::string(target + 8, std::strlen(target) - 9));
        }
        closedir(fds);
    }
    for (const char* table : {"icmp", "raw"}) {
        std::istringstream lines(korvel_test::ReadFile(std::string("/proc/net/") + table));
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string field;
            for (int i = 0; i < 10 && fields >> field; ++i) {
            }
            for (const auto& inode : inodes)
                if (field == inode) return table == std::string("icmp") ? "ping" : "raw";
        }
    }
    return "none";
}

// Watches loopback for the next echo request and answers it with forged
// replies, so a test decides which replies the sender gets.
class Responder {
public:
    Responder() : m_fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)) {}
    ~Responder() {
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) close(m_fd);
    }
    bool Ready() const { return m_fd >= 0; }
    // For the next request: send one reply per (identifier delta, sequence delta).
    void AnswerNext(std::vector<std::pair<int, int>> offsets, const std::string& payload) {
        m_thread = std::thread([this, offsets, payload] {
            uint8_t buffer[2048];
            pollfd pfd{m_fd, POLLIN, 0};
            while (poll(&pfd, 1, 3000) > 0) {
                ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
                size_t ihl = static_cast<size_t>(buffer[0] & 0x0f) * 4;
                if (n < static_cast<ssize_t>(ihl + sizeof(icmphdr))) continue;
                const auto* request = reinterpret_cast<const icmphdr*>(buffer + ihl);
                if (request->type != ICMP_ECHO) continue;
                for (const auto& offset : offsets)
                    Send(ntohs(request->un.echo.id) + offset.first, ntohs(request->un.echo.sequence) + offset.second,
                         payload);
                return;
            }
        });
    }

private:
    void Send(int id, int sequence, const std::string& payload) {
        std::vector<uint8_t> packet(sizeof(icmphdr) + payload.size());
        auto* reply = reinterpret_cast<icmphdr*>(packet.data());
        reply->type = ICMP_ECHOREPLY;
        reply->un.echo.id = htons(static_cast<uint16_t>(id));
        reply->un.echo.sequence = htons(static_cast<uint16_t>(sequence));
        std::memcpy(packet.data() + sizeof(icmphdr), payload.data(), payload.size());
        uint32_t sum = 0;
        for (size_t i = 0; i + 1 < packet.size(); i += 2) sum += static_cast<uint32_t>(packet[i] << 8 | packet[i + 1]);
        if (packet.size() % 2) sum += static_cast<uint32_t>(packet.back() << 8);
        while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
        reply->checksum = htons(static_cast<uint16_t>(~sum));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = kLoopback;
        sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    int m_fd;
    std::thread m_thread;
};

// Both kinds of socket, by what a namespace's ping_group_range admits:
// everyone (ping socket) or no one (raw socket, as root).
const std::vector<std::pair<std::string, std::string>> kPingSocketHost = {{"ping_group_range", "0 2147483647"}};
const std::vector<std::pair<std::string, std::string>> kRawSocketHost = {{"ping_group_range", "1 0"}};

void SkipOrExpectEmpty(const std::string& result) {
    if (result.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << result.substr(6);
    EXPECT_EQ("", result);
}

TEST(Icmp, LoopbackAnswersWithTheRequestsData) {
    WSADATA data;
    EXPECT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    EXPECT_EQ(0, WSACleanup());

    HANDLE handle = IcmpCreateFile();
    if (handle == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "neither a ping socket nor a raw socket is permitted here (error " << GetLastError() << ")";
    std::string payload("Data Buffer", 11);
    payload.resize(32, '\0');
    Echo echo = SendEcho(handle, payload, 1000);
    EXPECT_EQ(1u, echo.replies);
    EXPECT_EQ(0u, echo.error);
    EXPECT_EQ(kLoopback, echo.reply.Address);
    EXPECT_EQ(static_cast<ULONG>(IP_SUCCESS), echo.reply.Status);
    EXPECT_EQ(payload, echo.data);
    EXPECT_GT(echo.reply.Options.Ttl, 0);

    // A buffer without room for the echoed data is refused before anything is sent.
    std::vector<char> small(sizeof(ICMP_ECHO_REPLY) + 31);
    EXPECT_EQ(0u, IcmpSendEcho(handle, kLoopback, payload.data(), 32, nullptr, small.data(),
                               static_cast<DWORD>(small.size()), 1000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    EXPECT_EQ(TRUE, IcmpCloseHandle(handle));
    EXPECT_EQ(FALSE, IcmpCloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Icmp, UsesAPingSocketWhereAdmittedAndARawSocketOtherwise) {
    for (const auto& host : {std::make_pair(kPingSocketHost, "ping"), std::make_pair(kRawSocketHost, "raw")}) {
        std::string expectedKind = host.second;
        SkipOrExpectEmpty(RunInPrivateNetwork(host.first, [expectedKind]() -> std::string {
            HANDLE handle = IcmpCreateFile();
            if (handle == INVALID_HANDLE_VALUE) return "no ICMP handle, error " + std::to_string(GetLastError());
            Echo echo = SendEcho(handle, "kind check", 1000);
            std::string kind = SocketKind();  // a ping socket is listed once bound by its first send
            IcmpCloseHandle(handle);
            if (kind != expectedKind) return "socket kind " + kind + ", expected " + expectedKind;
            if (echo.replies != 1 || echo.data != "kind check") return expectedKind + ": loopback did not answer";
            return "";
        }));
    }
}

TEST(Icmp, OnlyAMatchingReplyCountsAndTheTimeOutIsHonoured) {
    for (const auto& host : {kPingSocketHost, kRawSocketHost}) {
        auto settings = host;
        settings.push_back({"icmp_echo_ignore_all", "1"});  // 127.0.0.1 itself stays silent
        SkipOrExpectEmpty(RunInPrivateNetwork(settings, []() -> std::string {
            HANDLE handle = IcmpCreateFile();
            if (handle == INVALID_HANDLE_VALUE) return "no ICMP handle";
            std::ostringstream faults;
            {
                // Nothing answers: no reply after the whole time-out.
                Echo silent = SendEcho(handle, "unanswered", 300);
                if (silent.replies != 0 || silent.error != IP_REQ_TIMED_OUT) faults << "silent host answered; ";
                if (silent.elapsedMs < 300 || silent.elapsedMs > 5000)
                    faults << "gave up after " << silent.elapsedMs << " ms; ";
            }
            {
                // Replies with another identifier or sequence number are not ours.
                Responder responder;
                if (!responder.Ready()) return "SKIP: no raw socket to forge replies";
                responder.AnswerNext({{1, 0}, {0, 1}, {0, -1}}, "stray");
                Echo stray = SendEcho(handle, "stray", 500);
                if (stray.replies != 0) faults << "a reply for another request was taken; ";
            }
            {
                Responder responder;
                responder.AnswerNext({{0, 1}, {0, 0}}, "forged");
                Echo matched = SendEcho(handle, "forged", 2000);
                if (matched.replies != 1 || matched.data != "forged" || matched.reply.Address != kLoopback)
                    faults << "the matching reply was missed; ";
            }
            IcmpCloseHandle(handle);
            return faults.str();
        }));
    }
}

}  // namespace
