#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Logger.h"
#include "TestEnv.h"

using korvel_test::KorvelEnvTest;
using korvel_test::ReadFile;
using korvel_test::ReadLogLines;

namespace {

constexpr const char* kComponent = "Korvel.KAccessLibrary";

class LoggerTest : public KorvelEnvTest {};

TEST_F(LoggerTest, ConcurrentWritersLoseAndInterleaveNoLine) {
    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                Logger::Write(KLOG_INFO, kComponent, "thread %d line %d payload %s", t, i,
                              "abcdefghijklmnopqrstuvwxyz0123456789");
        });
    for (auto& th : threads) th.join();

    auto lines = LogLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::string> seen;
    for (const auto& l : lines) {
        EXPECT_EQ(l.level, "INFO");
        EXPECT_EQ(l.component, kComponent);
        int t = -1, i = -1;
        char payload[64] = {};
        ASSERT_EQ(std::sscanf(l.message.c_str(), "thread %d line %d payload %63s", &t, &i, payload), 3) << l.message;
        EXPECT_STREQ(payload, "abcdefghijklmnopqrstuvwxyz0123456789");
        seen.insert(l.message);
    }
    EXPECT_EQ(seen.size(), lines.size());
}

TEST_F(LoggerTest, LineCarriesTimeProcessThreadLevelAndComponent) {
    Logger::Write(KLOG_ERROR, "Korvel.RegTool Implementation", "code %d", 7);
    std::string text = ReadFile(LogPath());
    // 2026-12-07 10:20:32.123 [pid:tid] ERROR [component] message
    ASSERT_GE(text.size(), 24u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], ' ');
    EXPECT_EQ(text[19], '.');
    EXPECT_NE(text.find("[" + std::to_string(getpid()) + ":"), std::string::npos);
    EXPECT_NE(text.find("] ERROR [Korvel.RegTool Implementation] code 7\n"), std::string::npos);
}

TEST_F(LoggerTest, LevelFilterWritesOnlyLevelsUpToTheConfiguredOne) {
    Logger::Initialize("filtered.log", KLOG_INFO, true);
    for (int level = 0; level <= 4; ++level) Logger::Write(level, kComponent, "level %d", level);
    auto lines = ReadLogLines(LogDir() + "/filtered.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, "ERROR");
    EXPECT_EQ(lines[1].level, "WARNING");
    EXPECT_EQ(lines[2].level, "INFO");
    EXPECT_EQ(lines[2].message, "level 2");
}

TEST_F(LoggerTest, DisabledLoggerWritesNothing) {
    Logger::Initialize("off.log", KLOG_TRACE, false);
    Logger::Write(KLOG_ERROR, kComponent, "must not appear");
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/off.log"));
}

TEST_F(LoggerTest, ForeignTextPassedThroughPercentSIsLoggedVerbatim) {
    const std::string text = "100% broken: %s %n %d %%";
    Logger::Write(KLOG_ERROR, kComponent, "%s", text.c_str());
    EXPECT_EQ(CountLog(KLOG_ERROR, text), 1u);
}

TEST_F(LoggerTest, LongMessagesAreNotCut) {
    std::string big(5000, 'x');
    Logger::Write(KLOG_INFO, kComponent, "%s", big.c_str());
    EXPECT_EQ(CountLog(KLOG_INFO, big), 1u);
}

TEST_F(LoggerTest, EventEntriesCarryIdentifierAndType) {
    Logger::EventLog(1, 1, static_cast<int>(0xC0004003), "Snapshot of %s failed", "vol-1");
    Logger::EventLog(2, 4, 0x40004010, "%s", "");
    Logger::EventLog(1, 2, static_cast<int>(0x80004014), "%s", "no appliance");
    std::string events = ReadFile(LogDir() + "/KorvelProvider.events.log");
    EXPECT_NE(events.find("Error category 1 event 0xC0004003: Snapshot of vol-1 failed\n"), std::string::npos);
    EXPECT_NE(events.find("Information category 2 event 0x40004010\n"), std::string::npos);
    EXPECT_NE(events.find("Warning category 1 event 0x80004014: no appliance\n"), std::string::npos);
}

TEST_F(LoggerTest, RotationKeepsEveryLineAcrossFiles) {
    setenv("KORVEL_LOG_MAX_BYTES", "4096", 1);
    Logger::Initialize("rotating.log", KLOG_TRACE, true);
    constexpr int kLines = 120;  // about 11 KiB: rotates twice, well within the kept files
    for (int i = 0; i < kLines; ++i) Logger::Write(KLOG_INFO, kComponent, "rotating line %03d", i);
    unsetenv("KORVEL_LOG_MAX_BYTES");

    const std::string base = LogDir() + "/rotating.log";
    ASSERT_TRUE(std::filesystem::exists(base + ".1"));
    std::vector<std::string> messages;
    for (const std::string& file : {base + ".3", base + ".2", base + ".1", base}) {
        if (!std::filesystem::exists(file)) continue;
        EXPECT_LE(std::filesystem::file_size(file), 4096u);
        for (const auto& l : ReadLogLines(file)) messages.push_back(l.message);
    }
    ASSERT_EQ(messages.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "rotating line %03d", i);
        EXPECT_EQ(messages[i], expected);
    }
}

TEST_F(LoggerTest, ReopeningAFileNearTheCapRotatesOnTheNextWrite) {
    setenv("KORVEL_LOG_MAX_BYTES", "4096", 1);
    const std::string base = LogDir() + "/near-cap.log";
    const std::string earlier = std::string(3999, 'e') + "\n";  // a previous run's 4000 bytes
    std::ofstream(base) << earlier;
    Logger::Initialize("near-cap.log", KLOG_TRACE, true);
    Logger::Write(KLOG_INFO, kComponent, "%s", std::string(200, 'n').c_str());
    Logger::Write(KLOG_INFO, kComponent, "second line");
    unsetenv("KORVEL_LOG_MAX_BYTES");

    EXPECT_EQ(ReadFile(base + ".1"), earlier);
    EXPECT_LE(std::filesystem::file_size(base), 4096u);
    auto lines = ReadLogLines(base);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, std::string(200, 'n'));
    EXPECT_EQ(lines[1].message, "second line");
}

TEST_F(LoggerTest, AnExistingFolderKeepsItsModeAndANewOneIs0750) {
    ASSERT_EQ(0, chmod(LogDir().c_str(), 0775));
    Logger::Initialize("test.log", KLOG_TRACE, true);
    Logger::EventLog(1, 1, static_cast<int>(0xC0004000), "%s", "entry");
    struct stat st{};
    ASSERT_EQ(0, stat(LogDir().c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0775u);

    const mode_t old = umask(022);
    const std::string fresh = LogDir() + "/made/here";
    setenv("KORVEL_LOG_DIR", fresh.c_str(), 1);
    Logger::Initialize("test.log", KLOG_TRACE, true);
    umask(old);
    for (const std::string& dir : {LogDir() + "/made", fresh}) {
        ASSERT_EQ(0, stat(dir.c_str(), &st)) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0750u) << dir;
    }
}

// Open sockets of this process.
size_t OpenSockets() {
    size_t n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec).string().rfind("socket:", 0) == 0) ++n;
    }
    return n;
}

TEST_F(LoggerTest, EventEntriesReachSyslogOverOneConnectionOfTheirOwn) {
    // A stand-in syslog daemon: a datagram socket where /dev/log would be.
    const std::string path = LogDir() + "/syslog.sock";
    const int daemon = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(daemon, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(daemon, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    timeval timeout{5, 0};
    setsockopt(daemon, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setenv("KORVEL_SYSLOG_SOCKET", path.c_str(), 1);

    const size_t socketsBefore = OpenSockets();
    Logger::EventLog(1, 1, static_cast<int>(0xC0004003), "Snapshot of %s failed", "vol-1");
    Logger::EventLog(1, 2, static_cast<int>(0x80004014), "%s", "no appliance");
    Logger::EventLog(2, 4, 0x40004010, "%s", "");
    // One connection for all three entries, and it stays open for the next.
    EXPECT_EQ(OpenSockets(), socketsBefore + 1);

    const std::string tag = " KorvelProvider[" + std::to_string(getpid()) + "]: ";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"<27>", "Error category 1 event 0xC0004003: Snapshot of vol-1 failed"},
        {"<28>", "Warning category 1 event 0x80004014: no appliance"},
        {"<30>", "Information category 2 event 0x40004010"}};
    for (const auto& [priority, entry] : expected) {
        char buffer[512];
        const ssize_t n = recv(daemon, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0) << entry;
        const std::string datagram(buffer, static_cast<size_t>(n));
        EXPECT_EQ(datagram.substr(0, priority.size()), priority);
        EXPECT_NE(datagram.find(tag + entry), std::string::npos) << datagram;
        EXPECT_EQ(datagram.size(), datagram.find(tag) + tag.size() + entry.size()) << datagram;
    }
    close(daemon);
    unsetenv("KORVEL_SYSLOG_SOCKET");
}

TEST_F(LoggerTest, RemoveLogDirectoryTakesOnlyItsOwnFilesFromASharedFolder) {
    setenv("KORVEL_LOG_MAX_BYTES", "1024", 1);
    Logger::Initialize("test.log", KLOG_TRACE, true);
    for (int i = 0; i < 40; ++i) Logger::Write(KLOG_INFO, kComponent, "line %d of a rotating log", i);
    unsetenv("KORVEL_LOG_MAX_BYTES");
    Logger::EventLog(1, 1, static_cast<int>(0xC0004000), "%s", "entry");
    std::ofstream(LogDir() + "/KorvelRegTool.log") << "the tool's log\n";
    std::ofstream(LogDir() + "/other-program.log") << "not ours\n";
    std::filesystem::create_directory(LogDir() + "/other-folder");
    ASSERT_TRUE(std::filesystem::exists(LogPath() + ".2"));

    Logger::CloseStream();
    Logger::RemoveLogDirectory();
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(LogDir())) left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"other-program.log", "other-folder"}));
    Logger::Write(KLOG_ERROR, kComponent, "after close");  // must not recreate anything
    EXPECT_FALSE(std::filesystem::exists(LogPath()));

    // Once the folder holds nothing else, it goes too.
    std::filesystem::remove(LogDir() + "/other-program.log");
    std::filesystem::remove(LogDir() + "/other-folder");
    Logger::RemoveLogDirectory();
    EXPECT_FALSE(std::filesystem::exists(LogDir()));
}

}  // namespace
