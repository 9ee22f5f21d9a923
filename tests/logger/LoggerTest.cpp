#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
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
                Logger::Write(SEVERITY_INFO, kComponent, "thread %d line %d payload %s", t, i,
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
    Logger::Write(SEVERITY_ERROR, "Korvel.RegTool Implementation", "code %d", 7);
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
    Logger::Initialize("filtered.log", SEVERITY_INFO, true);
    for (int level = 0; level <= 4; ++level) Logger::Write(level, kComponent, "level %d", level);
    auto lines = ReadLogLines(LogDir() + "/filtered.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, "ERROR");
    EXPECT_EQ(lines[1].level, "WARNING");
    EXPECT_EQ(lines[2].level, "INFO");
    EXPECT_EQ(lines[2].message, "level 2");
}

TEST_F(LoggerTest, DisabledLoggerWritesNothing) {
    Logger::Initialize("off.log", SEVERITY_TRACE, false);
    Logger::Write(SEVERITY_ERROR, kComponent, "must not appear");
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/off.log"));
}

TEST_F(LoggerTest, ForeignTextPassedThroughPercentSIsLoggedVerbatim) {
    const std::string text = "100% broken: %s %n %d %%";
    Logger::Write(SEVERITY_ERROR, kComponent, "%s", text.c_str());
    EXPECT_EQ(CountLog(SEVERITY_ERROR, text), 1u);
}

TEST_F(LoggerTest, LongMessagesAreNotCut) {
    std::string big(5000, 'x');
    Logger::Write(SEVERITY_INFO, kComponent, "%s", big.c_str());
    EXPECT_EQ(CountLog(SEVERITY_INFO, big), 1u);
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
    Logger::Initialize("rotating.log", SEVERITY_TRACE, true);
    constexpr int kLines = 120;  // about 11 KiB: rotates twice, well within the kept files
    for (int i = 0; i < kLines; ++i) Logger::Write(SEVERITY_INFO, kComponent, "rotating line %03d", i);
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

TEST_F(LoggerTest, CloseStreamThenRemoveLogDirectoryRemovesTheFolder) {
    Logger::Write(SEVERITY_INFO, kComponent, "before removal");
    Logger::EventLog(1, 1, static_cast<int>(0xC0004000), "%s", "entry");
    ASSERT_TRUE(std::filesystem::exists(LogDir()));
    Logger::CloseStream();
    Logger::RemoveLogDirectory();
    EXPECT_FALSE(std::filesystem::exists(LogDir()));
    Logger::Write(SEVERITY_ERROR, kComponent, "after close");  // must not recreate anything
    EXPECT_FALSE(std::filesystem::exists(LogDir()));
}

}  // namespace
