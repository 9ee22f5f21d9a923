#include "TestEnv.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Logger.h"

namespace korvel_test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/korvel-test-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void SetEnvironment(const char* name, const char* value) {
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

std::string LevelName(int level) {
    static const char* names[] = {"ERROR", "WARNING", "INFO", "DEBUG", "TRACE"};
    return level >= 0 && level <= 4 ? names[level] : "L" + std::to_string(level);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Lines look like
//   2026-12-07 10:20:32.123 [pid:tid] LEVEL [component] message
std::vector<LogLine> ReadLogLines(const std::string& path) {
    std::vector<LogLine> lines;
    std::istringstream in(ReadFile(path));
    std::string raw;
    while (std::getline(in, raw)) {
        size_t p = raw.find("] ");
        if (p == std::string::npos) continue;
        size_t levelEnd = raw.find(' ', p + 2);
        if (levelEnd == std::string::npos || raw.compare(levelEnd, 2, " [") != 0) continue;
        size_t compEnd = raw.find("] ", levelEnd + 2);
        if (compEnd == std::string::npos) continue;
        lines.push_back({raw.substr(p + 2, levelEnd - p - 2), raw.substr(levelEnd + 2, compEnd - levelEnd - 2),
                         raw.substr(compEnd + 2)});
    }
    return lines;
}

void KorvelEnvTest::SetUp() {
    m_registryRoot = m_dir.Path() + "/registry";
    m_logDir = m_dir.Path() + "/log";
    setenv("KORVEL_REGISTRY_ROOT", m_registryRoot.c_str(), 1);
    setenv("KORVEL_LOG_DIR", m_logDir.c_str(), 1);
    Logger::Initialize("test.log", KLOG_TRACE, true);
}

void KorvelEnvTest::TearDown() { Logger::CloseStream(); }

std::string KorvelEnvTest::LogPath() const { return m_logDir + "/test.log"; }

std::vector<LogLine> KorvelEnvTest::LogLines() const { return ReadLogLines(LogPath()); }

size_t KorvelEnvTest::CountLog(int level, const std::string& message) const {
    size_t n = 0;
    for (const auto& l : LogLines())
        if (l.level == LevelName(level) && l.message == message) ++n;
    return n;
}

size_t KorvelEnvTest::CountLogContaining(const std::string& fragment) const {
    size_t n = 0;
    for (const auto& l : LogLines())
        if (l.message.find(fragment) != std::string::npos) ++n;
    return n;
}

std::vector<std::string> KorvelEnvTest::LogMessages() const {
    std::vector<std::string> out;
    for (const auto& l : LogLines()) out.push_back(l.message);
    return out;
}

}  // namespace korvel_test

namespace korvel_test {

namespace {

std::string PrepareNetwork(const std::vector<std::pair<std::string, std::string>>& ipv4Settings) {
    if (unshare(CLONE_NEWNET) != 0) return std::string("SKIP: cannot make a network namespace: ") + strerror(errno);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) close(fd);
    if (!up) return "SKIP: cannot bring up the namespace's loopback";
    for (const auto& setting : ipv4Settings) {
        std::ofstream out("/proc/sys/net/ipv4/" + setting.first);
        out << setting.second;
        out.flush();
        if (!out) return "SKIP: cannot set net.ipv4." + setting.first;
    }
    return "";
}

}  // namespace

std::string RunInChild(const std::function<std::string()>& prepare, const std::function<std::string()>& body) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string result = prepare();
        if (result.empty()) result = body();
        ssize_t ignored = write(channel[1], result.data(), result.size());
        (void)ignored;
        _exit(0);
    }
    close(channel[1]);
    std::string result;
    char buffer[512];
    ssize_t n;
    while ((n = read(channel[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<size_t>(n));
    close(channel[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the child running the test body failed: " + result;
    return result;
}

std::string RunInPrivateNetwork(const std::vector<std::pair<std::string, std::string>>& ipv4Settings,
                                const std::function<std::string()>& body) {
    return RunInChild([&] { return PrepareNetwork(ipv4Settings); }, body);
}

}  // namespace korvel_test
