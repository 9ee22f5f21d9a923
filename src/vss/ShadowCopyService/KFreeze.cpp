#include "KFreeze.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "KHostDisks.h"
#include "Logger.h"

extern char** environ;

namespace fs = std::filesystem;

namespace Korvel {

namespace {

const char* const kComponent = "Korvel.ShadowCopyService";
constexpr size_t kOutputKept = 64 * 1024;  // of a hook's output; the rest is counted, not kept

// Changeable by someone other than root: a hook there would run as root on their behalf.
bool OthersCanChange(const struct stat& st) { return st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

std::string SignalName(int signal) {
    const char* name = sigabbrev_np(signal);
    return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

long long MillisecondsLeft(const std::chrono::steady_clock::time_point& deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
}

}  // namespace

KFreezeHooks::KFreezeHooks(const std::string& folder, std::chrono::seconds timeout,
                           std::vector<std::pair<std::string, std::string>> environment, Report report, Warn warn)
    : m_timeout(timeout), m_environment(std::move(environment)), m_report(std::move(report)), m_warn(std::move(warn)) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return;  // no folder: no hooks
    if (!S_ISDIR(st.st_mode) || OthersCanChange(st)) {
        m_warn("Freeze hooks in " + folder + " are skipped: the folder can be changed by others than root");
        return;
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string path = entry.path().string();
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
            m_warn("Freeze hook " + path + " is skipped: it is not executable");
            continue;
        }
        if (OthersCanChange(st)) {
            m_warn("Freeze hook " + path + " is skipped: it can be changed by others than root, and would run as root");
            continue;
        }
        m_hooks.push_back(path);
    }
    std::sort(m_hooks.begin(), m_hooks.end());
}

KFreezeHooks::~KFreezeHooks() {
    if (m_frozen > 0) Thaw();
}

void KFreezeHooks::Freeze() {
    for (const std::string& hook : m_hooks) {
        const std::string why = Run(hook, "freeze");
        if (!why.empty()) {
            Thaw();
            throw KShadowFailure("Freeze hook " + why + ": the snapshot set is aborted",
                                 KShadowStep{"FreezeHook", hook, E_FAIL, ""}, {});
        }
        ++m_frozen;
    }
}

bool KFreezeHooks::Thaw() {
    bool allThawed = true;
    for (size_t i = m_frozen; i-- > 0;)
        if (!Run(m_hooks[i], "thaw").empty()) allThawed = false;
    m_frozen = 0;
    return allThawed;
}

std::string KFreezeHooks::Run(const std::string& hook, const char* argument) {
    const std::string operation = std::string(argument) == "freeze" ? "FreezeHook" : "ThawHook";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const std::string why = hook + " could not be started: " + std::strerror(errno);
        m_report(KShadowStep{operation, hook, E_FAIL, why});
        return why;
    }
    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) variables.emplace_back(*e);
    for (const auto& v : m_environment) variables.push_back(v.first + "=" + v.second);
    std::vector<char*> envp;
    for (std::string& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string path = hook, arg = argument;
    char* argv[] = {path.data(), arg.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own: an overrunning hook is stopped with whatever it started.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        const std::string why = hook + " could not be started: " + std::strerror(spawned);
        m_report(KShadowStep{operation, hook, E_FAIL, why});
        return why;
    }

    const auto deadline = std::chrono::steady_clock::now() + m_timeout;
    std::string output;
    size_t dropped = 0;
    bool overran = false;
    for (bool open = true; open;) {
        const long long left = MillisecondsLeft(deadline);
        if (left <= 0) {
            overran = true;
            break;
        }
        pollfd fd{out[0], POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            open = n < 0 && errno == EINTR;
            continue;
        }
        const size_t keep = std::min(static_cast<size_t>(n), kOutputKept - std::min(kOutputKept, output.size()));
        output.append(buffer, keep);
        dropped += static_cast<size_t>(n) - keep;
    }
    ::close(out[0]);
    // Its output closed; the hook itself must end within its limit too.
    int status = 0;
    while (!overran && ::waitpid(pid, &status, WNOHANG) == 0) {
        if (MillisecondsLeft(deadline) <= 0)
            overran = true;
        else
            ::usleep(10000);
    }
    if (overran) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    if (dropped > 0) output += "\n(" + std::to_string(dropped) + " more bytes of output not kept)";
    while (!output.empty() && output.back() == '\n') output.pop_back();
    for (size_t at = 0; at < output.size();) {
        const size_t end = std::min(output.find('\n', at), output.size());
        Logger::Write(KLOG_INFO, kComponent, "%s %s: %s", hook.c_str(), argument, output.substr(at, end - at).c_str());
        at = end + 1;
    }

    std::string why;
    if (overran)
        why = hook + " overran its time limit of " + std::to_string(m_timeout.count()) + " s and was stopped";
    else if (WIFSIGNALED(status))
        why = hook + " was killed by " + SignalName(WTERMSIG(status));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        why = hook + " exited with status " + std::to_string(WEXITSTATUS(status));
    if (!why.empty()) Logger::Write(KLOG_ERROR, kComponent, "Freeze hook %s %s", argument, why.c_str());
    m_report(KShadowStep{operation, hook, why.empty() ? S_OK : E_FAIL, output});
    return why;
}

// ---------------------------------------------------------------------------
// The watchdog

namespace {

constexpr size_t kMaxFrozen = 256;

// Appends a number's decimal digits; safe in the forked child, unlike printf.
void AppendNumber(char*& at, unsigned long long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *at++ = digits[--n];
}

// The watchdog's whole life, in the child: only system calls from here on,
// since the parent may have other threads.
[[noreturn]] void Watch(const std::vector<const char*>& points, int control, int status, long long holdMs) {
    ::setsid();  // a signal to the command's group must not end the watchdog
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGINT, &ignore, nullptr);
    ::sigaction(SIGTERM, &ignore, nullptr);
    ::sigaction(SIGHUP, &ignore, nullptr);
    int fds[kMaxFrozen];
    const size_t count = points.size();
    char line[64];
    timespec start{};  // of the first freeze: the hold limit counts from it
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (size_t i = 0; i < count; ++i) {
        fds[i] = ::open(points[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fds[i] < 0 || ::ioctl(fds[i], FIFREEZE, 0) != 0) {
            const int error = errno;
            for (size_t j = i; j-- > 0;) ::ioctl(fds[j], FITHAW, 0);
            char* at = line;
            *at++ = 'F';
            *at++ = ' ';
            AppendNumber(at, i);
            *at++ = ' ';
            AppendNumber(at, static_cast<unsigned long long>(error));
            *at++ = '\n';
            if (::write(status, line, static_cast<size_t>(at - line)) < 0) {
                // The parent is gone; nothing is frozen.
            }
            ::_exit(1);
        }
    }
    if (::write(status, "R\n", 2) < 0) {
        // The parent is gone: the poll below sees it at once.
    }
    const char* reason = "told";
    for (;;) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= holdMs) {
            reason = "deadline";
            break;
        }
        pollfd fd{control, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(holdMs - elapsed));
        if (ready > 0) {
            char command = 0;
            const ssize_t n = ::read(control, &command, 1);
            if (n <= 0) reason = "gone";  // the command's process died
            break;
        }
    }
    for (size_t i = count; i-- > 0;) ::ioctl(fds[i], FITHAW, 0);
    timespec end{};
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    const long long heldUs = (end.tv_sec - start.tv_sec) * 1000000 + (end.tv_nsec - start.tv_nsec) / 1000;
    char* at = line;
    for (const char* c = "D "; *c != 0; ++c) *at++ = *c;
    for (const char* c = reason; *c != 0; ++c) *at++ = *c;
    *at++ = ' ';
    AppendNumber(at, static_cast<unsigned long long>(heldUs));
    *at++ = '\n';
    if (::write(status, line, static_cast<size_t>(at - line)) < 0) {
        // Nobody listens any more.
    }
    ::_exit(0);
}

std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

}  // namespace

KFreezeWatchdog::KFreezeWatchdog(const std::vector<KMount>& mounts, std::chrono::milliseconds holdLimit) {
    if (mounts.size() > kMaxFrozen) throw KShadowRefusal("More than 256 filesystems to freeze");
    std::vector<const char*> points;
    for (const KMount& mount : mounts) points.push_back(mount.target.c_str());
    int control[2], status[2];
    if (::pipe2(control, O_CLOEXEC) != 0) throw std::runtime_error("cannot start the freeze watchdog: pipe");
    if (::pipe2(status, O_CLOEXEC) != 0) {
        ::close(control[0]);
        ::close(control[1]);
        throw std::runtime_error("cannot start the freeze watchdog: pipe");
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(control[1]);
        ::close(status[0]);
        Watch(points, control[0], status[1], holdLimit.count());
    }
    ::close(control[0]);
    ::close(status[1]);
    m_control = control[1];
    m_status = status[0];
    if (m_pid < 0) {
        const int error = errno;
        ::close(m_control);
        ::close(m_status);
        throw std::runtime_error(std::string("cannot start the freeze watchdog: ") + std::strerror(error));
    }
    const std::string answer = ReadLine(m_status);
    if (answer == "R") return;
    // The watchdog has ended: nothing of ours is frozen.
    m_thawed = true;
    ::waitpid(m_pid, nullptr, 0);
    ::close(m_control);
    ::close(m_status);
    size_t index = 0;
    int error = 0;
    if (std::sscanf(answer.c_str(), "F %zu %d", &index, &error) != 2 || index >= mounts.size())
        throw std::runtime_error("the freeze watchdog ended without freezing");
    const std::string what = "The " + mounts[index].fstype + " filesystem at " + mounts[index].target;
    if (error == EOPNOTSUPP)
        throw KShadowRefusal(what + " cannot be frozen: \"--no-freeze\" takes a crash-consistent copy instead");
    if (error == EBUSY)
        throw KShadowRefusal(what + " is frozen already, by someone else: it is left frozen, and no copy is taken");
    throw KShadowRefusal(what + " cannot be frozen: " + std::strerror(error));
}

bool KFreezeWatchdog::Thaw() {
    if (m_thawed) return true;
    m_thawed = true;
    if (::write(m_control, "T", 1) < 0) {
        // It ended already: its report says why.
    }
    const std::string answer = ReadLine(m_status);
    ::waitpid(m_pid, nullptr, 0);
    ::close(m_control);
    ::close(m_status);
    const size_t held = answer.rfind(' ');
    if (held != std::string::npos) m_held = std::chrono::microseconds(std::atoll(answer.c_str() + held + 1));
    return answer.rfind("D deadline", 0) != 0;
}

KFreezeWatchdog::~KFreezeWatchdog() { Thaw(); }

}  // namespace Korvel
