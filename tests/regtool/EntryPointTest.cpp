// The KorvelRegTool program itself: store and log set-up, the detached
// relaunch with --gui, and its exit codes. Detached copies are adopted by
// this test (it is their subreaper), so each is seen, checked and ended.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RegToolEnv.h"

using namespace korvel_test;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

class EntryPointTest : public KorvelEnvTest {
protected:
    void SetUp() override {
        KorvelEnvTest::SetUp();
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        m_tool = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "KorvelRegTool";
    }
    // Runs the program (as `argv0` when given, and as user `uid` when not
    // negative) and waits for it.
    Outcome Start(std::vector<std::string> args, const std::string& argv0 = "", int uid = -1) {
        const std::string out = LogDir() + "/out", err = LogDir() + "/err";
        std::filesystem::create_directories(LogDir());
        args.insert(args.begin(), argv0.empty() ? m_tool : argv0);
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            if (uid >= 0 && (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) _exit(126);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(m_tool.c_str(), argv.data());
            _exit(127);
        }
        Outcome run;
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        return run;
    }
    // The detached copy the program started: once the program has ended,
    // this test is its parent.
    static pid_t AdoptedChild() {
        for (int attempt = 0; attempt < 500; ++attempt) {
            for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                const std::string stat = ReadFile(entry.path().string() + "/stat");
                const size_t close = stat.rfind(')');
                if (close == std::string::npos) continue;
                if (std::stoi(stat.substr(close + 4)) == getpid() && stat.find("(KorvelRegTool)") != std::string::npos)
                    return std::stoi(stat);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    static void End(pid_t child) {
        kill(child, SIGTERM);
        EXPECT_EQ(child, waitpid(child, nullptr, 0));
    }
    std::string ToolLog() const { return ReadFile(LogDir() + "/KorvelRegTool.log"); }
    std::vector<LogLine> ToolLines() const { return ReadLogLines(LogDir() + "/KorvelRegTool.log"); }
    bool Logged(const std::string& message) const {
        for (const auto& line : ToolLines())
            if (line.message == message) return true;
        return false;
    }

    std::string m_tool;
};

TEST_F(EntryPointTest, NoArgumentCreatesTheStoreAndStartsADetachedWindow) {
    // Started through a path with a blank, which the relaunch must quote.
    const std::string folder = LogDir() + "/with blank";
    std::filesystem::create_directories(folder);
    const std::string alias = folder + "/KorvelRegTool";
    std::filesystem::create_symlink(m_tool, alias);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_FALSE(KeyExists(StoreKey()));

    Outcome run = Start({}, alias);
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_EQ("Enabled", ReadText(StoreKey(), "Tracing"));
    EXPECT_EQ("2", ReadText(StoreKey(), "LogLevel"));
    EXPECT_FALSE(Logged("Launch GUI flag: 0"));  // the log is at level 2: no level-3 lines

    // The copy it started: its command line, its own session, no standard streams.
    pid_t child = AdoptedChild();
    ASSERT_GT(child, 0);
    const std::string proc = "/proc/" + std::to_string(child);
    EXPECT_EQ(alias + std::string("\0--gui\0", 7), ReadFile(proc + "/cmdline"));
    EXPECT_NE(getsid(0), getsid(child));
    EXPECT_EQ("/dev/null", std::filesystem::read_symlink(proc + "/fd/1").string());
    End(child);

    // At level 3 both processes say what they do.
    WriteText(StoreKey(), "LogLevel", "3");
    EXPECT_EQ(0, Start({}, alias).exitCode);
    child = AdoptedChild();
    ASSERT_GT(child, 0);
    EXPECT_TRUE(Logged("Re-Launching application with GUI param: \"" + alias + "\" --gui")) << ToolLog();
    EXPECT_TRUE(Logged("New PID: " + std::to_string(child)));
    for (int i = 0; i < 1000 && !Logged("Entering CKorvelRegTool::InitInstance()"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(Logged("Launch GUI flag: 1"));
    EXPECT_TRUE(Logged("Starting Application - GUI mode"));
    EXPECT_TRUE(Logged("Entering CKorvelRegTool::InitInstance()"));  // the window opened in that process
    End(child);
}

TEST_F(EntryPointTest, AnArgumentWithoutGuiDoesNothingAndTheStoreSetsTheLog) {
    WriteText(StoreKey(), "Tracing", "Enabled");
    WriteText(StoreKey(), "LogLevel", "3");
    Outcome run = Start({"--list"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("", run.out + run.err);
    EXPECT_TRUE(Logged("Launch GUI flag: 0"));
    EXPECT_EQ("Enabled", ReadText(StoreKey(), "Tracing"));

    // Level 1 leaves out the level-3 lines; "enabled" in lower case is off.
    std::filesystem::remove(LogDir() + "/KorvelRegTool.log");
    WriteText(StoreKey(), "LogLevel", "1");
    EXPECT_EQ(0, Start({"--list"}).exitCode);
    EXPECT_FALSE(Logged("Launch GUI flag: 0"));
    WriteText(StoreKey(), "LogLevel", "4");
    WriteText(StoreKey(), "Tracing", "enabled");
    EXPECT_EQ(0, Start({"--list"}).exitCode);
    EXPECT_FALSE(Logged("Launch GUI flag: 0"));
}

TEST_F(EntryPointTest, FailuresEndWithCodeOne) {
    // No display at all: the window cannot open.
    WriteText(StoreKey(), "Tracing", "Enabled");
    WriteText(StoreKey(), "LogLevel", "3");
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(1, Start({"--gui"}).exitCode);
    EXPECT_TRUE(Logged("Fatal Error: MFC initialization failed, GetLastError():0x32. Details:The request is not "
                       "supported."))
        << ToolLog();

    // A relaunch that cannot start is reported, not passed off as success.
    Outcome lost = Start({}, LogDir() + "/no-such-folder/KorvelRegTool");
    EXPECT_EQ(1, lost.exitCode);
    EXPECT_EQ("KorvelRegTool could not start its window: The system cannot find the file specified.\n", lost.err);

    // A user who may not write the store.
    if (getuid() != 0) GTEST_SKIP() << "changing to an unprivileged user needs root";
    struct stat info{};
    for (std::filesystem::path p = m_tool; p != p.root_path(); p = p.parent_path())
        if (stat(p.parent_path().c_str(), &info) != 0 || !(info.st_mode & S_IXOTH))
            GTEST_SKIP() << "the program is out of an unprivileged user's reach in " << p.parent_path();
    const std::string root = LogDir() + "/root-only";
    std::filesystem::create_directories(root);
    chmod(root.c_str(), 0700);
    setenv("KORVEL_REGISTRY_ROOT", root.c_str(), 1);
    Outcome refused = Start({}, "", 65534);
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_EQ("KorvelRegTool needs administrator rights: run it as root\n", refused.out);
    EXPECT_FALSE(KeyExists(StoreKey()));
}

}  // namespace
