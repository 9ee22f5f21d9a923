#include "HostEnv.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "KorvelRemoting.h"

extern char** environ;

namespace korvel_test {

RegValue ReadRegValue(HKEY root, const std::string& path, const char* name) {
    RegValue value;
    KorvelRegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    value.bytes.assign(size, '\0');
    value.found = RegQueryValueExA(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.bytes.data()),
                                   &size) == ERROR_SUCCESS;
    return value;
}

bool RegKeyExists(HKEY root, const std::string& path) {
    KorvelRegKey key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

std::string Text(const std::string& value) { return value + std::string(1, '\0'); }

std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& extraEnv) {
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const auto& extra : extraEnv)
            if (std::strncmp(*e, (extra.first + "=").c_str(), extra.first.size() + 1) == 0) replaced = true;
        if (!replaced) envStore.push_back(*e);
    }
    for (const auto& extra : extraEnv) envStore.push_back(extra.first + "=" + extra.second);
    return envStore;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::string>>& extraEnv) {
    // Everything the child needs is built before fork: after it, only exec.
    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = EnvironmentWith(extraEnv);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string out = m_output.Path() + "/stdout", err = m_output.Path() + "/stderr";
    int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    if (m_pid < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && m_status < 0) {
        ::kill(m_pid, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
}

void ChildProcess::Signal(int signal) const { ::kill(m_pid, signal); }

bool ChildProcess::Running() {
    if (m_status >= 0) return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return true;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (WaitUntil([this]() { return !Running(); }, timeout)) return m_status;
    ::kill(m_pid, SIGKILL);
    WaitUntil([this]() { return !Running(); }, std::chrono::seconds(10));
    return -1;
}

std::string ChildProcess::Stdout() const { return ReadFile(m_output.Path() + "/stdout"); }
std::string ChildProcess::Stderr() const { return ReadFile(m_output.Path() + "/stderr"); }

ProgramRun RunProvider(const std::vector<std::string>& args) {
    ChildProcess child(KORVEL_PROVIDER_PROGRAM, args);
    ProgramRun run;
    run.exitCode = child.Wait(std::chrono::seconds(60));
    run.stderrText = child.Stderr();
    return run;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RawClient::RawClient(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{10, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

RawClient::RawClient(int fd) : m_fd(fd), m_connected(fd >= 0) {
    timeval timeout{10, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

RawClient::~RawClient() { ::close(m_fd); }

void RawClient::Send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void RawClient::SendFrame(const std::string& payload, uint32_t length) {
    std::string header(4, '\0');
    for (int i = 0; i < 4; ++i) header[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    Send(header + payload);
}

void RawClient::SendMessage(const google::protobuf::MessageLite& message) {
    std::string bytes = message.SerializeAsString();
    SendFrame(bytes, static_cast<uint32_t>(bytes.size()));
}

std::string RawClient::Receive() {
    unsigned char header[4];
    if (!ReadAll(reinterpret_cast<char*>(header), 4)) return std::string();
    uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
    std::string payload(length, '\0');
    return ReadAll(payload.data(), length) ? payload : std::string();
}

::korvel::remoting::Reply RawClient::Call(const google::protobuf::MessageLite& message) {
    SendMessage(message);
    ::korvel::remoting::Reply reply;
    const std::string bytes = Receive();
    if (bytes.empty() || !reply.ParseFromString(bytes)) reply.set_hr(static_cast<HRESULT>(0xFFFFFFFFu));
    return reply;
}

bool RawClient::ClosedByServer() {
    char byte;
    return ::recv(m_fd, &byte, 1, 0) == 0;
}

HRESULT RawClient::Activate() {
    ::korvel::remoting::Call call;
    korvel_remoting::EncodeGuid(CLSID_KorvelVSSProvider, call.mutable_activate()->mutable_clsid());
    return Call(call).hr();
}

bool RawClient::ReadAll(char* buffer, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::recv(m_fd, buffer + done, size - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

FakeServer::FakeServer(const std::string& path, Serve serve, const ::korvel::remoting::Activated& interfaces)
    : m_listen(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), m_serve(std::move(serve)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_listen, 4) != 0)
        throw std::runtime_error("the fake server cannot listen on " + path);
    m_thread = std::thread([this, interfaces] { Run(interfaces); });
}

FakeServer::~FakeServer() {
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    ::close(m_listen);
}

void FakeServer::Run(const ::korvel::remoting::Activated& interfaces) {
    while (!m_stop) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        RawClient connection(fd);
        for (bool open = true; open && !m_stop;) {
            ::korvel::remoting::Call call;
            ::korvel::remoting::Reply reply;
            const std::string frame = connection.Receive();
            if (frame.empty() || !call.ParseFromString(frame)) break;
            if (call.has_activate() || call.has_release()) {
                *reply.mutable_activated() = interfaces;
                connection.SendMessage(reply);
                open = call.has_activate();
            } else {
                open = m_serve(connection, call);
            }
        }
    }
}

::korvel::remoting::Call AreLunsSupportedCall(int count, int records) {
    ::korvel::remoting::Call call;
    auto* a = call.mutable_are_luns_supported();
    a->set_lun_count(count);
    a->set_is_supported(0);
    a->mutable_luns()->set_present(true);
    for (int i = 0; i < records; ++i) {
        auto* lun = a->mutable_luns()->add_luns();
        lun->set_vendor_id("Korvel");
        lun->set_disk_signature(std::string(16, '\0'));
        lun->set_id_count(1);
        lun->set_ids_present(true);
        auto* id = lun->add_ids();
        id->set_code_set(VDSStorageIdCodeSetBinary);
        id->set_type(VDSStorageIdTypeEUI64);
        id->set_cb_identifier(8);
        id->set_identifier(std::string("\x6b\x72\x76\x00\x00\x00\x0a\x01", 8));
    }
    return call;
}

void AppendVarint(std::string& out, uint64_t value) {
    for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7F) | 0x80);
    out += static_cast<char>(value);
}

std::string WireField(int number, const std::string& bytes) {
    std::string out;
    AppendVarint(out, static_cast<uint64_t>(number) << 3 | 2);
    AppendVarint(out, bytes.size());
    return out + bytes;
}

std::string PaddedTo(const std::string& message, size_t size) {
    // Field 1000's tag takes 2 bytes, a length of 2 to 256 MiB 4.
    return message + WireField(1000, std::string(size - message.size() - 6, 'x'));
}

size_t ResidentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

void HostTest::SetUp() {
    ProviderTest::SetUp();
    ::chmod(m_runDir.Path().c_str(), 0755);
    m_unitDir = m_runDir.Path() + "/units";
    m_socketPath = m_runDir.Path() + "/KorvelProvider.sock";
    setenv("KORVEL_SYSTEMD_DIR", m_unitDir.c_str(), 1);
    setenv("KORVEL_PROVIDER_SOCKET", m_socketPath.c_str(), 1);
    // Calls here run against local simulators: a lost server shows in seconds.
    setenv("KORVEL_RPC_TIMEOUT_SECONDS", "60", 1);
    KorvelInstallLocalActivator();
}

std::unique_ptr<ChildProcess> HostTest::StartServer(
    const std::vector<std::pair<std::string, std::string>>& extraEnv) {
    const size_t listening = CountServerLog("Listening on " + m_socketPath);
    auto server = std::make_unique<ChildProcess>(KORVEL_PROVIDER_PROGRAM, std::vector<std::string>{}, extraEnv);
    // Logged once it listens: a client connecting earlier would be refused.
    if (!WaitUntil([&]() { return CountServerLog("Listening on " + m_socketPath) > listening || !server->Running(); },
                   std::chrono::seconds(20)) ||
        !server->Running())
        throw std::runtime_error("the server did not start: " + server->Stderr());
    return server;
}

std::string HostTest::ServerLog() const { return ReadFile(LogDir() + "/KorvelVSSProvider.log"); }

size_t HostTest::CountServerLog(const std::string& fragment) const {
    size_t n = 0;
    for (const auto& line : ReadLogLines(LogDir() + "/KorvelVSSProvider.log"))
        if (line.message.find(fragment) != std::string::npos) ++n;
    return n;
}

ComRef<IUnknown> Remote(HRESULT expected) {
    ComRef<IUnknown> provider;
    EXPECT_EQ(CoCreateInstance(CLSID_KorvelVSSProvider, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(provider.Out())),
              expected);
    return provider;
}

}  // namespace korvel_test
