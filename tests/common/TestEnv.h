// Per-test environment: a private registry root and log folder in a fresh
// temporary directory, so tests never touch /var and can run in parallel.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvel_test {

// A directory made with mkdtemp and removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Sets an environment variable of this process; a null value removes it.
void SetEnvironment(const char* name, const char* value);

// One parsed line of a log file.
struct LogLine {
    std::string level;      // "ERROR", "WARNING", "INFO", "DEBUG", "TRACE"
    std::string component;  // e.g. "Korvel.KAccessLibrary"
    std::string message;    // the text as the caller formatted it
};

// The text of the exception of type E that `action` throws; "<no exception>"
// when it throws none.
template <typename E>
std::string ThrownText(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    }
    return "<no exception>";
}

std::string LevelName(int level);
std::string ReadFile(const std::string& path);
std::vector<LogLine> ReadLogLines(const std::string& path);

class KorvelEnvTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string LogPath() const;
    std::vector<LogLine> LogLines() const;
    // Number of lines whose level is `level` and whose message is exactly `message`.
    size_t CountLog(int level, const std::string& message) const;
    // Number of lines at any level whose message contains `fragment`.
    size_t CountLogContaining(const std::string& fragment) const;
    // Messages in file order, for checking the order of entry and exit lines.
    std::vector<std::string> LogMessages() const;

    const std::string& RegistryRoot() const { return m_registryRoot; }
    const std::string& LogDir() const { return m_logDir; }

private:
    TempDir m_dir;
    std::string m_registryRoot;
    std::string m_logDir;
};

}  // namespace korvel_test

namespace korvel_test {

// Runs `prepare` and then, if it returned nothing, `body` in a forked child,
// and returns the text the child returned, or why the child failed.
std::string RunInChild(const std::function<std::string()>& prepare, const std::function<std::string()>& body);

// Runs `body` in a forked child inside a network namespace of its own, with
// its loopback up and the given settings of /proc/sys/net/ipv4 (name, value)
// applied there only, so a test can make 127.0.0.1 stop answering echoes or
// admit unprivileged ping sockets without touching the host. Returns what
// `body` returned, or a text starting "SKIP: " when no namespace can be made.
std::string RunInPrivateNetwork(const std::vector<std::pair<std::string, std::string>>& ipv4Settings,
                                const std::function<std::string()>& body);

}  // namespace korvel_test
