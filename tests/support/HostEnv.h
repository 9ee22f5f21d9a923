// Shared set-up of the host tests: the KorvelProvider program run as a real
// process with the test's registry, log folder, unit folder and socket, and
// the registry records read back value by value.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Marshal.h"
#include "ProviderEnv.h"
#include "registry.h"

namespace korvel_test {

// One registry value as stored: its type and exact bytes.
struct RegValue {
    bool found = false;
    DWORD type = REG_NONE;
    std::string bytes;
};
RegValue ReadRegValue(HKEY root, const std::string& path, const char* name);
bool RegKeyExists(HKEY root, const std::string& path);
std::string Text(const std::string& value);  // REG_SZ bytes with their terminating zero
std::string Dword(DWORD value);

// This process's environment as "NAME=value" texts, with `extraEnv` set over it.
std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& extraEnv);

// A program run as a child process; killed and reaped if still running when
// the object goes.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::pair<std::string, std::string>>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    void Signal(int signal) const;
    // The exit status; -1 when it did not end in time (it is then killed),
    // 128 + signal when a signal ended it.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    int m_status = -1;
    TempDir m_output;
};

// Runs the KorvelProvider program to its end (at most 60 s).
struct ProgramRun {
    int exitCode = -1;
    std::string stderrText;
};
ProgramRun RunProvider(const std::vector<std::string>& args);

// Waits until `condition` holds, at most `timeout`.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A raw connection to the local server, to send what no proxy would.
class RawClient {
public:
    explicit RawClient(const std::string& path);
    explicit RawClient(int fd);  // a connection accepted elsewhere, closed with this object
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool Connected() const { return m_connected; }
    void Send(const std::string& bytes);
    // A frame of `length` announced bytes, of which `payload` is sent.
    void SendFrame(const std::string& payload, uint32_t length);
    void SendMessage(const google::protobuf::MessageLite& message);
    // A reply frame's payload; empty when the server closed the connection
    // (or sent nothing within 10 s).
    std::string Receive();
    // The reply to a call, parsed; hr 0xFFFFFFFF when none came.
    ::korvel::remoting::Reply Call(const google::protobuf::MessageLite& message);
    // True when the server has closed its end (read gives 0 within 10 s).
    bool ClosedByServer();
    // Activates the provider; the reply's result.
    HRESULT Activate();

private:
    bool ReadAll(char* buffer, size_t size);
    int m_fd;
    bool m_connected = false;
};

// A server of the test's own on a socket path, for what the provider's server
// never does. It answers each activation with `interfaces`, and a release with
// S_OK; every other call goes to `serve`, which answers on the connection as
// it likes and returns false to close it.
class FakeServer {
public:
    using Serve = std::function<bool(RawClient& connection, const ::korvel::remoting::Call& call)>;
    FakeServer(const std::string& path, Serve serve, const ::korvel::remoting::Activated& interfaces);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

private:
    void Run(const ::korvel::remoting::Activated& interfaces);
    int m_listen;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    Serve m_serve;
};

// AreLunsSupported with `count` as its count and `records` minimal records of
// the appliance's vendor with an EUI-64 identifier.
::korvel::remoting::Call AreLunsSupportedCall(int count, int records);

void AppendVarint(std::string& out, uint64_t value);
// A length-delimited field's wire form.
std::string WireField(int number, const std::string& bytes);
// `message` and an unknown field that make it `size` bytes (from 2 MiB on).
std::string PaddedTo(const std::string& message, size_t size);

// The resident memory of a process (VmRSS), in bytes.
size_t ResidentBytes(pid_t pid);

// Tests that run the provider program: a unit folder and a socket of their own.
class HostTest : public ProviderTest {
protected:
    void SetUp() override;

    // Starts the local server and waits until its socket answers.
    std::unique_ptr<ChildProcess> StartServer(const std::vector<std::pair<std::string, std::string>>& extraEnv = {});
    std::string ServerLog() const;  // the server's own log file
    size_t CountServerLog(const std::string& fragment) const;

    const std::string& UnitDir() const { return m_unitDir; }
    const std::string& SocketPath() const { return m_socketPath; }

private:
    TempDir m_runDir;  // the socket's folder, reachable by other users
    std::string m_unitDir;
    std::string m_socketPath;
};

// The provider made by the local server, as a client activates it; checks
// that the activation answered `expected`.
ComRef<IUnknown> Remote(HRESULT expected = S_OK);

}  // namespace korvel_test
