// Process creation with the Windows command-line rules, run on /bin/sh.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "TestEnv.h"
#include "process.h"

using korvel_test::ReadFile;
using korvel_test::TempDir;

namespace {

DWORD Start(std::string commandLine, DWORD flags, DWORD& error) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    BOOL ok = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &info);
    error = GetLastError();
    return ok ? info.dwProcessId : 0;
}

// The file's text once something has been written to it (a detached process
// is nobody's child, so it cannot be waited for).
std::string AwaitFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        std::string text = ReadFile(path);
        if (!text.empty() && text.back() == '\n') return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "<nothing written>";
}

TEST(CreateProcess, SplitsTheCommandLineAsWindowsDoes) {
    TempDir dir;
    const std::string out = dir.Path() + "/args";
    DWORD error = 0;
    // Quoted blanks, an escaped quote, backslashes that escape nothing, 2n+1
    // backslashes before a quote, "" inside quotes and an empty argument.
    pid_t pid = static_cast<pid_t>(Start("/bin/sh -c \"printf '%s|' \\\"$@\\\" > " + out +
                                             "\" sh \"a b\" c\\\"d e\\f x\\\\\\\"y \"q\"\"r\" \"\"",
                                         0, error));
    ASSERT_GT(pid, 0) << error;
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(0, status);
    EXPECT_EQ("a b|c\"d|e\\f|x\\\"y|q\"r||", ReadFile(out));
}

TEST(CreateProcess, DetachedProcessRunsInASessionOfItsOwnWithoutStreams) {
    TempDir dir;
    const std::string out = dir.Path() + "/seen";
    DWORD error = 0;
    DWORD pid = Start("/bin/sh -c \"echo $$ $(cut -d' ' -f6 /proc/$$/stat) $(readlink /proc/$$/fd/1) > " + out + "\"",
                      DETACHED_PROCESS, error);
    ASSERT_NE(0u, pid) << error;
    std::string seen = AwaitFile(out);
    size_t first = seen.find(' '), second = seen.find(' ', first + 1);
    ASSERT_NE(std::string::npos, second) << seen;
    EXPECT_EQ(std::to_string(pid), seen.substr(0, first));  // the ID reported is the program's
    EXPECT_NE(std::to_string(getsid(0)), seen.substr(first + 1, second - first - 1));  // another session
    EXPECT_EQ("/dev/null\n", seen.substr(second + 1));
    EXPECT_NE(static_cast<pid_t>(pid), waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG));  // not our child
}

TEST(CreateProcess, AProgramThatCannotStartIsReported) {
    for (DWORD flags : {0u, static_cast<DWORD>(DETACHED_PROCESS)}) {
        DWORD error = 0;
        EXPECT_EQ(0u, Start("korvel-no-such-program --gui", flags, error));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
    }
    DWORD error = 0;
    EXPECT_EQ(0u, Start("   ", 0, error));
    // A file that is not a program, a path through a file, a name too long.
    TempDir dir;
    std::ofstream(dir.Path() + "/plain") << "not a program\n";
    const std::pair<std::string, DWORD> refused[] = {{dir.Path() + "/plain", ERROR_ACCESS_DENIED},
                                                     {dir.Path() + "/plain/x", ERROR_PATH_NOT_FOUND},
                                                     {dir.Path() + "/" + std::string(300, 'n'), ERROR_INVALID_PARAMETER}};
    for (const auto& [program, code] : refused) {
        EXPECT_EQ(0u, Start(program, 0, error)) << program;
        EXPECT_EQ(code, error) << program;
    }
}

TEST(GetCommandLine, QuotesEachArgumentSoItSplitsBack) {
    // This test program, started again with awkward arguments, writes its
    // own command line into a file and does nothing else.
    if (const char* target = getenv("KORVEL_PRINT_COMMAND_LINE")) {
        FILE* f = fopen(target, "w");
        fprintf(f, "%s\n", GetCommandLineA());
        fclose(f);
        return;
    }
    TempDir dir;
    const std::string out = dir.Path() + "/line";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("KORVEL_PRINT_COMMAND_LINE", out.c_str(), 1);
        execl(self.c_str(), self.c_str(), "--gtest_filter=GetCommandLine.*", "a b", "q\"uote", "trail\\", "",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
    EXPECT_EQ(self + " --gtest_filter=GetCommandLine.* \"a b\" \"q\\\"uote\" trail\\ \"\"\n", ReadFile(out));
}

}  // namespace
