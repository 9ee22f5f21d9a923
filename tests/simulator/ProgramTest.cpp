// The qsta-simulator program, run as a child process.
#include "SimTestSupport.h"
#include "TestEnv.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace simtest;

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }
    void Reset() {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
};

// The program with its standard output and error read through pipes. The
// child is killed and reaped if a test ends early.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        m_out.fd = out[0];
        Fd outWrite(out[1]);
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        m_err.fd = err[0];
        Fd errWrite(err[1]);
        std::vector<std::string> argv = {QSTA_SIMULATOR_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (auto& arg : argv) {
            raw.push_back(arg.data());
        }
        raw.push_back(nullptr);
        m_pid = fork();
        if (m_pid < 0) {
            ADD_FAILURE() << "fork failed";
            return;
        }
        if (m_pid == 0) {
            dup2(outWrite.fd, STDOUT_FILENO);
            dup2(errWrite.fd, STDERR_FILENO);
            execv(raw[0], raw.data());
            _exit(127);
        }
    }

    ~Program() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    // Next line of standard output; nullopt on end of output or after the
    // time limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (m_out.fd < 0) {
            return std::nullopt;
        }
        return ReadLineFrom(m_out.fd, m_outBuffer, limit);
    }

    std::string ReadAllErrors(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::string all;
        if (m_err.fd < 0) {
            return all;
        }
        while (auto line = ReadLineFrom(m_err.fd, m_errBuffer, limit)) {
            all += *line + "\n";
        }
        return all;
    }

    // Only ever our own child: never a pid of 0 or -1, which would reach
    // other processes.
    void Signal(int signal) {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, signal);
        }
    }

    // Exit code, or -1 when the program did not end within the limit.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (m_pid <= 0 || m_reaped) {
            return -1;
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    static std::optional<std::string> ReadLineFrom(int fd, std::string& buffer, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto newline = buffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) {
                if (buffer.empty()) {
                    return std::nullopt;
                }
                std::string rest = buffer;
                buffer.clear();
                return rest;
            }
            buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    Fd m_out;
    Fd m_err;
    std::string m_outBuffer;
    std::string m_errBuffer;
};

// "qsta-simulator serving https://127.0.0.1:PORT (...)" -> the URL.
std::string UrlFrom(const std::string& line) {
    const std::string marker = "serving ";
    auto start = line.find(marker);
    if (start == std::string::npos) {
        return std::string();
    }
    start += marker.size();
    return line.substr(start, line.find(' ', start) - start);
}

}  // namespace

TEST(SimulatorProgram, HelpDocumentsEveryOption) {
    Program program({"--help"});
    std::string text;
    while (auto line = program.ReadLine()) {
        text += *line + "\n";
    }
    EXPECT_EQ(program.Wait(), 0);
    for (const char* option : {"--listen ADDR:PORT", "--access-key KEY", "--seed FILE", "--threads N", "--quiet",
                               "--help", "SIGINT", "SIGTERM", "--data-dir DIR", "--san-root DIR", "--host-iqn IQN",
                               "--san-host IQN=DIR", "--auto-scan"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

TEST(SimulatorProgram, ServesLogsEachRequestAndStopsOnSigterm) {
    Program program({"--listen", "127.0.0.1:0", "--access-key", "program-key"});
    auto first = program.ReadLine();
    ASSERT_TRUE(first.has_value()) << program.ReadAllErrors(std::chrono::milliseconds(100));
    const std::string url = UrlFrom(*first);
    ASSERT_EQ(url.rfind("https://127.0.0.1:", 0), 0u) << *first;

    RequestOptions options;
    options.accessKey = "program-key";
    HttpResult result = Send(url + "/api/volumes", options);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Count("//volumes/volume"), 3u);
    auto logged = program.ReadLine();
    ASSERT_TRUE(logged.has_value());
    EXPECT_NE(logged->find(" GET /api/volumes 200 "), std::string::npos) << *logged;
    EXPECT_EQ(logged->find("program-key"), std::string::npos);

    program.Signal(SIGTERM);
    auto last = program.ReadLine();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(*last, "qsta-simulator stopping on SIGTERM");
    EXPECT_EQ(program.Wait(), 0);
}

TEST(SimulatorProgram, StopsOnSigintAndLoadsTheSeedFile) {
    korvel_test::TempDir dir;
    const std::string seed = dir.Path() + "/seed.txt";
    std::ofstream(seed) << "volume name=s1 display-name=from-file\n";
    Program program({"--listen", "127.0.0.1:0", "--access-key", "k", "--seed", seed, "--quiet"});
    auto first = program.ReadLine();
    ASSERT_TRUE(first.has_value());
    const std::string url = UrlFrom(*first);
    RequestOptions options;
    options.accessKey = "k";
    auto volumes = Xml::Parse(Send(url + "/api/volumes", options).body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]["display-name"], "from-file");

    program.Signal(SIGINT);
    auto last = program.ReadLine();  // --quiet: no request line before it
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(*last, "qsta-simulator stopping on SIGINT");
    EXPECT_EQ(program.Wait(), 0);
}

TEST(SimulatorProgram, RefusesToStartWithoutAKeyOrWithBadArguments) {
    {
        Program program({"--listen", "127.0.0.1:0"});
        EXPECT_EQ(program.Wait(), 2);
        EXPECT_NE(program.ReadAllErrors().find("--access-key is required"), std::string::npos);
    }
    {
        Program program({"--listen", "nonsense", "--access-key", "k"});
        EXPECT_EQ(program.Wait(), 2);
        EXPECT_NE(program.ReadAllErrors().find("--listen needs ADDR:PORT"), std::string::npos);
    }
    {
        Program program({"--access-key", "k", "--seed", "/nonexistent/seed"});
        EXPECT_EQ(program.Wait(), 2);
        EXPECT_NE(program.ReadAllErrors().find("/nonexistent/seed: cannot read the seed file"), std::string::npos);
    }
}

// The loop devices are attached with autoclear and held by the program alone,
// so even kill -9 leaves none behind.
TEST(SimulatorProgram, KilledWithSigkillLeavesNoLoopDeviceAttached) {
    std::string why;
    if (!LoopDevicesUsable(why)) GTEST_SKIP() << why;
    korvel_test::TempDir dir;
    const std::string seed = dir.Path() + "/seed.txt";
    std::ofstream(seed) << "volume name=v1 size=1M\nhost name=h iqn=iqn.2026-12.local.example:kill\n"
                           "map volume=v1 host=h\n";
    Program program({"--listen", "127.0.0.1:0", "--access-key", "k", "--seed", seed, "--quiet", "--data-dir",
                     dir.Path() + "/data", "--san-root", dir.Path() + "/sys", "--host-iqn",
                     "iqn.2026-12.local.example:kill"});
    ASSERT_TRUE(program.ReadLine().has_value()) << program.ReadAllErrors(std::chrono::milliseconds(100));
    auto disk = program.ReadLine();
    ASSERT_TRUE(disk.has_value());
    EXPECT_NE(disk->find("qsta-simulator disk sdb: volume v1, block device /dev/loop"), std::string::npos) << *disk;
    const std::string dev = korvel_test::ReadFile(dir.Path() + "/sys/class/block/sdb/dev");
    EXPECT_NE(disk->find("(" + dev.substr(0, dev.size() - 1) + ")"), std::string::npos) << dev;
    ASSERT_EQ(LoopsBackedBy(dir.Path()).size(), 1u);

    program.Signal(SIGKILL);
    EXPECT_EQ(program.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return LoopsBackedBy(dir.Path()).empty(); }));
    for (const auto& line : LoopsBackedBy(dir.Path())) {
        ADD_FAILURE() << "left attached: " << line;
        if (std::system(("losetup -d " + line.substr(0, line.find(' '))).c_str()) != 0) ADD_FAILURE() << "cannot detach";
    }
}
