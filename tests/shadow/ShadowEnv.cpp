#include "ShadowEnv.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <stdexcept>

#include "HostEnv.h"
#include "KorvelProviderHost.h"
#include "registry.h"

extern char** environ;

namespace korvel_test {

namespace {

KorvelRegKey Key(const std::string& path) {
    KorvelRegKey key;
    if (KorvelCreateKey(HKEY_LOCAL_MACHINE, path, key) != ERROR_SUCCESS) throw std::runtime_error("cannot create " + path);
    return key;
}

std::vector<char*> Argv(std::vector<std::string>& args, bool inProcess) {
    if (inProcess) args.insert(args.begin(), "--in-process");
    args.insert(args.begin(), KORVEL_SHADOW_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

void ShadowTest::SetUp() {
    ProviderTest::SetUp();
    m_autoScan = false;  // the command rescans, as on a real host
    m_catalogue = SanRoot() + "/catalogue/shadows.db";
    setenv("KORVEL_CATALOGUE", m_catalogue.c_str(), 1);
    // The machine's own freeze hooks never run in a test.
    setenv("KORVEL_FREEZE_HOOK_DIR", (SanRoot() + "/freeze-hook.d").c_str(), 1);
}

void TwoApplianceShadowTest::SetUp() {
    ShadowTest::SetUp();
    RegisterProvider();
    a = &AddAppliance(kSeedA);
    b = &AddAppliance(kSeedB);
}

void ShadowTest::RegisterProvider() {
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers\\{6A111FEB-1EA9-496E-AB0E-B85FF8A42E46}";
    const KorvelRegKey provider = Key(path);
    const DWORD hardware = 3;
    KorvelSetText(provider.get(), nullptr, "KorvelVssProvider");
    RegSetValueExA(provider.get(), "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hardware), sizeof hardware);
    KorvelSetText(provider.get(), "Version", "1.0.12.29");
    KorvelSetText(provider.get(), "VersionId", "{6B1AC3CC-9C80-402F-BD56-0C1485009072}");
    KorvelSetText(Key(path + "\\CLSID").get(), nullptr, "{6ABEF83A-7FA0-408C-88FC-98E122AD7280}");
}

CommandResult ShadowTest::Shadow(const std::vector<std::string>& arguments, const Environment& host) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv = Argv(args, m_inProcess);
    std::vector<std::string> variables = EnvironmentWith(host);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = spawned == 0 ? 2 : 0;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 200) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (spawned != 0) return result;
    if (open > 0) kill(pid, SIGKILL);  // it would not finish: never hang the suite
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

pid_t ShadowTest::StartShadow(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv = Argv(args, m_inProcess);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start KorvelShadow");
    return pid;
}

std::vector<Korvel::KShadowCopyEntry> ShadowTest::Catalogue() const {
    Korvel::KShadowCatalogue catalogue(m_catalogue);
    return catalogue.List();
}

std::string JsonField(const std::string& json, const std::string& name, size_t from) {
    const std::string key = "\"" + name + "\":\"";
    size_t at = json.find(key, from);
    if (at == std::string::npos) return std::string();
    at += key.size();
    return json.substr(at, json.find('"', at) - at);
}

ScopedEnvironment::ScopedEnvironment(const Environment& host) {
    for (const auto& [name, value] : host) {
        if (const char* old = std::getenv(name.c_str()))
            m_saved.emplace_back(name, old);
        else
            m_unset.push_back(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : m_saved) setenv(name.c_str(), value.c_str(), 1);
    for (const std::string& name : m_unset) unsetenv(name.c_str());
}

std::unique_ptr<ChildProcess> StartProviderService(const std::string& runDir, const Environment& host) {
    {
        ScopedEnvironment as(host);
        KorvelRegKey key;
        if (KorvelCreateKey(HKEY_CLASSES_ROOT, KorvelAppIdKey(), key) != ERROR_SUCCESS ||
            RegSetValueExA(key.get(), "LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>("KorvelProvider"),
                           15) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot register the service's LocalService";
            return nullptr;
        }
    }
    const std::string notifyPath = runDir + "/notify.sock";
    ::unlink(notifyPath.c_str());
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath.c_str());
    if (notify < 0 || ::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot bind " << notifyPath << ": " << std::strerror(errno);
        if (notify >= 0) ::close(notify);
        return nullptr;
    }
    timeval timeout{20, 0};
    ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    Environment variables = host;
    variables.emplace_back("NOTIFY_SOCKET", notifyPath);
    auto server = std::make_unique<ChildProcess>(KORVEL_PROVIDER_PROGRAM, std::vector<std::string>{}, variables);
    std::string notes;
    for (char buffer[256]; notes.find("READY=1") == std::string::npos;) {
        const ssize_t n = ::recv(notify, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(notify);
            ADD_FAILURE() << "no readiness from the service: " << server->Stderr();
            return nullptr;
        }
        notes.append(buffer, static_cast<size_t>(n));
    }
    ::close(notify);
    return server;
}

std::string Normalized(const std::string& text) {
    static const std::regex drawn(
        "\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f-]{27}\\}|snap_[0-9]+_[0-9a-f]+|/dev/sd[a-z]+|"
        "[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9:.]+Z?");
    std::map<std::string, int> names;
    std::string out;
    size_t last = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), drawn); it != std::sregex_iterator(); ++it) {
        out += text.substr(last, it->position() - last);
        out += "<" + std::to_string(names.emplace(it->str(), static_cast<int>(names.size())).first->second) + ">";
        last = it->position() + it->length();
    }
    return out + text.substr(last);
}

std::string WhyNoData() {
    if (::geteuid() != 0) return "mounting filesystems needs root";
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) return std::string("loop devices cannot be used here: /dev/loop-control: ") + std::strerror(errno);
    ::close(control);
    if (std::system("command -v mkfs.ext4 >/dev/null") != 0) return "mkfs.ext4 is missing (e2fsprogs)";
    return std::string();
}

size_t LoopsUnder(const std::string& dir) {
    size_t n = 0;
    std::error_code ec;
    for (const auto& loop : std::filesystem::directory_iterator("/sys/block", ec)) {
        std::ifstream backing(loop.path() / "loop/backing_file");
        std::string file;
        if (std::getline(backing, file) && file.rfind(dir, 0) == 0) ++n;
    }
    return n;
}

bool IsMountPoint(const std::string& dir) {
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);)
        if (line.find(" " + dir + " ") != std::string::npos) return true;
    return false;
}

}  // namespace korvel_test
