// ICMP echo over a Linux ping socket (SOCK_DGRAM, IPPROTO_ICMP) where the
// system admits the caller, else over a raw ICMP socket. A raw socket sees
// every ICMP packet of the host, our own requests on loopback included, so a
// reply is taken only when it is an echo reply with this request's
// identifier and sequence number; the same check guards a ping socket
// against a late reply to an earlier request.
#include "icmp.h"

#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

namespace {

struct IcmpEndpoint {
    int fd = -1;
    bool raw = false;
    uint16_t id = 0;        // raw: chosen here; ping socket: assigned by the kernel on the first send
    uint16_t sequence = 0;  // of the last request sent
};

constexpr WORD kSocketsVersion = MAKEWORD(2, 2);
constexpr DWORD kMaxRequestSize = 65500;

uint16_t Checksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<uint16_t>(~sum));
}

DWORD CreateError(int err) {
    switch (err) {
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOMEM:
        case ENOBUFS: return ERROR_NOT_ENOUGH_MEMORY;
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT: return ERROR_NOT_SUPPORTED;
        default: return IP_GENERAL_FAILURE;
    }
}

DWORD SendError(int err) {
    switch (err) {
        case ENETUNREACH: return IP_STATUS_BASE + 2;  // IP_DEST_NET_UNREACHABLE
        case EHOSTUNREACH: return IP_DEST_HOST_UNREACHABLE;
        default: return IP_GENERAL_FAILURE;
    }
}

uint16_t NextRawIdentifier() {
    static std::atomic<uint16_t> counter{0};
    return static_cast<uint16_t>(getpid() * 31 + counter.fetch_add(1));
}

int OpenSocket(bool& raw) {
    raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) return fd;
    raw = true;
    return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
}

}  // namespace

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (lpWSAData == nullptr) return 10014;  // WSAEFAULT
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    lpWSAData->wVersion = wVersionRequested < kSocketsVersion ? wVersionRequested : kSocketsVersion;
    lpWSAData->wHighVersion = kSocketsVersion;
    std::strcpy(lpWSAData->szDescription, "Linux sockets");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    return 0;
}

int WSACleanup() { return 0; }

HANDLE IcmpCreateFile() {
    bool raw = false;
    int fd = OpenSocket(raw);
    if (fd < 0) {
        SetLastError(CreateError(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto* endpoint = new (std::nothrow) IcmpEndpoint;
    if (endpoint == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    endpoint->fd = fd;
    endpoint->raw = raw;
    if (raw) endpoint->id = NextRawIdentifier();
    int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);  // a ping socket reports the TTL only this way
    return endpoint;
}

BOOL IcmpCloseHandle(HANDLE IcmpHandle) {
    if (IcmpHandle == nullptr || IcmpHandle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* endpoint = static_cast<IcmpEndpoint*>(IcmpHandle);
    ::close(endpoint->fd);
    delete endpoint;
    return TRUE;
}

DWORD IcmpSendEcho(HANDLE IcmpHandle, IPAddr DestinationAddress, LPVOID RequestData, WORD RequestSize,
                   PIP_OPTION_INFORMATION RequestOptions, LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout) {
    if (IcmpHandle == nullptr || IcmpHandle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if ((RequestData == nullptr && RequestSize > 0) || RequestSize > kMaxRequestSize || ReplyBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (ReplySize < sizeof(ICMP_ECHO_REPLY) + RequestSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    auto* endpoint = static_cast<IcmpEndpoint*>(IcmpHandle);
    auto* reply = static_cast<ICMP_ECHO_REPLY*>(ReplyBuffer);
    std::memset(reply, 0, sizeof *reply);
    reply->Address = DestinationAddress;
    auto fail = [reply](DWORD status) -> DWORD {
        reply->Status = status;
        SetLastError(status);
        return 0;
    };

    if (RequestOptions != nullptr) {
        int ttl = RequestOptions->Ttl, tos = RequestOptions->Tos;
        ::setsockopt(endpoint->fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        ::setsockopt(endpoint->fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    }

    const uint16_t sequence = ++endpoint->sequence;
    std::vector<uint8_t> packet(sizeof(icmphdr) + RequestSize);
    auto* header = reinterpret_cast<icmphdr*>(packet.data());
    header->type = ICMP_ECHO;
    header->un.echo.id = htons(endpoint->id);  // a ping socket puts its own identifier here
    header->un.echo.sequence = htons(sequence);
    if (RequestSize > 0) std::memcpy(packet.data() + sizeof(icmphdr), RequestData, RequestSize);
    header->checksum = Checksum(packet.data(), packet.size());

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = DestinationAddress;
    const auto start = std::chrono::steady_clock::now();
    if (::sendto(endpoint->fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        return fail(SendError(errno));
    if (!endpoint->raw) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(endpoint->fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            endpoint->id = ntohs(local.sin_port);
    }

    const auto deadline = start + std::chrono::milliseconds(Timeout);
    std::vector<uint8_t> buffer(65536);
    while (true) {
        // Rounded up, so the wait never ends before the time-out.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return fail(IP_REQ_TIMED_OUT);
        pollfd pfd{endpoint->fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return fail(IP_GENERAL_FAILURE);
        if (ready <= 0) continue;

        sockaddr_in from{};
        char control[64];
        iovec iov{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t received = ::recvmsg(endpoint->fd, &message, MSG_DONTWAIT);
        if (received <= 0) continue;

        size_t offset = 0;
        int ttl = 0;
        if (endpoint->raw) {
            // A raw socket hands over the IP header too.
            if (static_cast<size_t>(received) < sizeof(iphdr)) continue;
            const auto* ip = reinterpret_cast<const iphdr*>(buffer.data());
            offset = static_cast<size_t>(ip->ihl) * 4;
            ttl = ip->ttl;
        } else {
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
        }
        if (static_cast<size_t>(received) < offset + sizeof(icmphdr)) continue;
        const auto* answer = reinterpret_cast<const icmphdr*>(buffer.data() + offset);
        if (answer->type != ICMP_ECHOREPLY || ntohs(answer->un.echo.id) != endpoint->id ||
            ntohs(answer->un.echo.sequence) != sequence)
            continue;

        const size_t payload = static_cast<size_t>(received) - offset - sizeof(icmphdr);
        const size_t room = ReplySize - sizeof(ICMP_ECHO_REPLY);
        const size_t kept = payload < room ? payload : room;
        auto* data = static_cast<uint8_t*>(ReplyBuffer) + sizeof(ICMP_ECHO_REPLY);
        std::memcpy(data, buffer.data() + offset + sizeof(icmphdr), kept);
        reply->Address = from.sin_addr.s_addr;
        reply->Status = IP_SUCCESS;
        reply->RoundTripTime = static_cast<ULONG>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        reply->DataSize = static_cast<WORD>(kept);
        reply->Data = data;
        reply->Options.Ttl = static_cast<BYTE>(ttl);
        SetLastError(ERROR_SUCCESS);
        return 1;
    }
}
