// Linux implementation of the logging library: one text file per process in
// the log folder, plus event entries in syslog and in an events file.
#include "Logger.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "KDescriptor.h"

namespace {

constexpr const char* kDefaultSyslogSocket = "/dev/log";
// The log files of the system's programs, whichever process removes the folder.
constexpr const char* kProgramLogFiles[] = {"KorvelVSSProvider.log", "KorvelRegTool.log"};
constexpr long kDefaultMaxBytes = 10L * 1024 * 1024;
constexpr int kKeptFiles = 5;

struct LoggerState {
    std::mutex mutex;
    int fd = -1;
    std::string path;
    std::string dir;
    int level = KLOG_INFO;
    bool enabled = false;
    long size = 0;
    long maxBytes = kDefaultMaxBytes;
    std::set<std::string> fileNames;  // every log file this process opened
    int syslogFd = -1;                // the event log's own syslog connection
};

LoggerState& State() {
    static LoggerState* state = new LoggerState;  // never destroyed: threads may log during exit
    return *state;
}

long MaxBytes() {
    const char* v = std::getenv("KORVEL_LOG_MAX_BYTES");
    if (v && *v) {
        char* end = nullptr;
        long n = std::strtol(v, &end, 10);
        if (end && *end == '\0' && n > 0) return n;
    }
    return kDefaultMaxBytes;
}

// mkdir -p. Only a folder made here gets 0750 whatever the umask; one that
// exists keeps the mode its owner gave it.
void MakeDirs(const std::string& dir) {
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) == 0) return;
    const size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) MakeDirs(dir.substr(0, slash));
    if (::mkdir(dir.c_str(), 0750) == 0) ::chmod(dir.c_str(), 0750);
}

const char* LevelName(int level) {
    switch (level) {
        case KLOG_ERROR: return "ERROR";
        case KLOG_WARNING: return "WARNING";
        case KLOG_INFO: return "INFO";
        case KLOG_DEBUG: return "DEBUG";
        default: return "TRACE";
    }
}

// "2026-12-07 10:20:32.123 [pid:tid] "
std::string Prefix() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char buf[96];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%ld:%ld] ", utc.tm_year + 1900,
                          utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ts.tv_nsec / 1000000,
                          static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid)));
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

KORVEL_PRINTF_FORMAT(1, 0) std::string Format(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(n);
    return out;
}

int OpenAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

// Called with the mutex held. Keeps kKeptFiles old files: name.1 is the newest.
void Rotate(LoggerState& s) {
    ::close(s.fd);
    s.fd = -1;
    for (int i = kKeptFiles - 1; i >= 1; --i) {
        std::string from = s.path + "." + std::to_string(i);
        std::string to = s.path + "." + std::to_string(i + 1);
        ::rename(from.c_str(), to.c_str());
    }
    ::rename(s.path.c_str(), (s.path + ".1").c_str());
    s.fd = OpenAppend(s.path);
    s.size = 0;
}

// Called with the mutex held. The event log keeps a syslog connection of its
// own, opened on first use: openlog and closelog act on the one connection
// the C library keeps for the whole process, which belongs to the host.
void SendToSyslog(LoggerState& s, int priority, const std::string& entry) {
    if (s.syslogFd < 0) {
        const char* path = std::getenv("KORVEL_SYSLOG_SOCKET");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path && *path ? path : kDefaultSyslogSocket, sizeof addr.sun_path - 1);
        s.syslogFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s.syslogFd < 0) return;
        if (::connect(s.syslogFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(s.syslogFd);  // no syslog daemon: try again with the next entry
            s.syslogFd = -1;
            return;
        }
    }
    // As syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE".
    const time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    const std::string datagram = "<" + std::to_string(LOG_DAEMON | priority) + ">" + stamp + " KorvelProvider[" +
                                 std::to_string(getpid()) + "]: " + entry;
    if (::send(s.syslogFd, datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0) {
        ::close(s.syslogFd);  // the daemon went away: connect anew next time
        s.syslogFd = -1;
    }
}

}  // namespace

void Logger::Initialize(const std::string& fileName, SeverityCode level, bool enabled) {
    LoggerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.dir = KorvelLog::Folder();
    s.path = s.dir + "/" + fileName;
    s.level = level;
    s.enabled = enabled;
    s.maxBytes = MaxBytes();
    s.size = 0;
    if (!enabled) return;
    s.fileNames.insert(fileName);
    MakeDirs(s.dir);
    s.fd = OpenAppend(s.path);
    struct stat st {};
    if (s.fd >= 0 && fstat(s.fd, &st) == 0) s.size = st.st_size;
}

void Logger::Write(int level, const char* component, const char* format, ...) {
    LoggerState& s = State();
    {
        // Cheap early exit for levels that are off, before any formatting.
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.enabled || s.fd < 0 || level > s.level) return;
    }
    va_list args;
    va_start(args, format);
    std::string message = Format(format ? format : "", args);
    va_end(args);
    std::string line = Prefix() + LevelName(level) + " [" + (component ? component : "") + "] " + message + "\n";

    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.enabled || s.fd < 0) return;
    if (s.size > 0 && s.size + static_cast<long>(line.size()) > s.maxBytes) Rotate(s);
    if (s.fd >= 0 && Korvel::WriteAll(s.fd, line)) s.size += static_cast<long>(line.size());
}

void Logger::EventLog(int category, int type, int eventId, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = Format(format ? format : "", args);
    va_end(args);

    int priority = type == 1 ? LOG_ERR : type == 2 ? LOG_WARNING : LOG_INFO;
    const char* typeName = type == 1 ? "Error" : type == 2 ? "Warning" : "Information";
    char idText[16];
    std::snprintf(idText, sizeof idText, "0x%08X", static_cast<unsigned>(eventId));
    std::string entry = std::string(typeName) + " category " + std::to_string(category) + " event " + idText +
                        (message.empty() ? "" : ": " + message);

    LoggerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    SendToSyslog(s, priority, entry);

    std::string dir = s.dir.empty() ? KorvelLog::Folder() : s.dir;
    MakeDirs(dir);
    int fd = OpenAppend(dir + "/" + KorvelLog::kEventsFileName);
    if (fd >= 0) {
        Korvel::WriteAll(fd, Prefix() + entry + "\n");
        ::close(fd);
    }
}

void Logger::CloseStream() {
    LoggerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.enabled = false;
}

void Logger::RemoveLogDirectory() {
    LoggerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string dir = s.dir.empty() ? KorvelLog::Folder() : s.dir;
    // The folder may be shared with other programs (/tmp, say): only the
    // files this system writes go, and the folder only if that empties it.
    std::set<std::string> names = s.fileNames;
    names.insert(std::begin(kProgramLogFiles), std::end(kProgramLogFiles));
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        ::unlink(path.c_str());
        for (int i = 1; i <= kKeptFiles; ++i) ::unlink((path + "." + std::to_string(i)).c_str());
    }
    ::unlink((dir + "/" + KorvelLog::kEventsFileName).c_str());
    ::rmdir(dir.c_str());
}
