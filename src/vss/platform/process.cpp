#include "process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// How Windows programs quote one argument so that their runtime splits it back.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// The Windows runtime's splitting: the program name ends at the next blank,
// or at the closing quote, with no escapes; in the arguments, 2n backslashes
// before a quote give n and the quote delimits, 2n+1 give n and a literal
// quote, and "" inside quotes is a literal quote.
std::vector<std::string> SplitCommandLine(const char* line) {
    std::vector<std::string> args;
    const char* p = line;
    while (IsBlank(*p)) ++p;
    if (*p == '\0') return args;
    std::string program;
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) program += *p;
        if (*p == '"') ++p;
    } else {
        for (; *p && !IsBlank(*p); ++p) program += *p;
    }
    args.push_back(program);
    while (true) {
        while (IsBlank(*p)) ++p;
        if (*p == '\0') break;
        std::string arg;
        bool quoted = false;
        while (*p && (quoted || !IsBlank(*p))) {
            if (*p == '\\') {
                size_t n = 0;
                while (*p == '\\') ++n, ++p;
                if (*p == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2) arg += *p++;
                } else {
                    arg.append(n, '\\');
                }
            } else if (*p == '"') {
                if (quoted && p[1] == '"') {
                    arg += '"';
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
            } else {
                arg += *p++;
            }
        }
        args.push_back(arg);
    }
    return args;
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOMEM:
        case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_INVALID_PARAMETER;
    }
}

void WriteInt(int fd, int value) {
    ssize_t ignored = ::write(fd, &value, sizeof value);
    (void)ignored;
}

// Runs in the new process: only async-signal-safe calls from here on.
[[noreturn]] void StartProgram(int report, bool detached, bool inheritHandles, const char* directory, char** argv,
                               char** envp) {
    if (detached) {
        int nullFd = ::open("/dev/null", O_RDWR);
        if (nullFd >= 0) {
            ::dup2(nullFd, 0);
            ::dup2(nullFd, 1);
            ::dup2(nullFd, 2);
            if (nullFd > 2) ::close(nullFd);
        }
    }
    if (!inheritHandles) {
        if (report > 3) ::close_range(3, static_cast<unsigned>(report) - 1, 0);
        ::close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
    }
    WriteInt(report, static_cast<int>(::getpid()));
    if (directory != nullptr && ::chdir(directory) != 0) {
        WriteInt(report, errno);
        ::_exit(127);
    }
    ::execvpe(argv[0], argv, envp);
    WriteInt(report, errno);
    ::_exit(127);
}

}  // namespace

LPSTR GetCommandLineA() {
    static std::string* line = [] {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto* joined = new std::string;  // kept for the life of the process, as on Windows
        size_t start = 0;
        while (start < raw.size()) {
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            if (!joined->empty()) *joined += ' ';
            *joined += QuoteArgument(raw.substr(start, end - start));
            start = end + 1;
        }
        return joined;
    }();
    return &(*line)[0];
}

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES /*lpProcessAttributes*/,
                    LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
    if (lpStartupInfo == nullptr || lpProcessInformation == nullptr ||
        (lpApplicationName == nullptr && lpCommandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> args = SplitCommandLine(lpCommandLine ? lpCommandLine : "");
    if (lpApplicationName != nullptr) {
        if (args.empty()) args.push_back(lpApplicationName);
        args[0] = lpApplicationName;
    }
    if (args.empty() || args[0].empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // Everything the new process needs is made before fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (lpEnvironment != nullptr) {
        for (char* entry = static_cast<char*>(lpEnvironment); *entry; entry += std::strlen(entry) + 1)
            envp.push_back(entry);
        envp.push_back(nullptr);
    }
    char** environment = lpEnvironment ? envp.data() : environ;
    const bool detached = (dwCreationFlags & DETACHED_PROCESS) != 0;

    // The new process reports its ID, then closes the pipe by exec or sends
    // the errno that stopped it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        if (!detached) StartProgram(report[1], false, bInheritHandles, lpCurrentDirectory, argv.data(), environment);
        // Detached: a new session, and a grandchild, so that nobody has to wait for it.
        ::setsid();
        if (::fork() == 0) StartProgram(report[1], true, bInheritHandles, lpCurrentDirectory, argv.data(), environment);
        ::_exit(0);
    }
    ::close(report[1]);
    if (child < 0) {
        ::close(report[0]);
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (detached) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    int values[2] = {0, 0};
    size_t got = 0;
    while (got < sizeof values) {
        ssize_t n = ::read(report[0], reinterpret_cast<char*>(values) + got, sizeof values - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(report[0]);
    if (got < sizeof(int)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the intermediate process could not fork
        return FALSE;
    }
    if (got == sizeof values) {
        if (!detached) ::waitpid(values[0], nullptr, 0);
        SetLastError(ErrorFromErrno(values[1]));
        return FALSE;
    }
    lpProcessInformation->hProcess = nullptr;
    lpProcessInformation->hThread = nullptr;
    lpProcessInformation->dwProcessId = static_cast<DWORD>(values[0]);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(values[0]);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
