#include "ShadowEnv.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "registry.h"

extern char** environ;

namespace korvel_test {

namespace {

class Key {
public:
    explicit Key(const std::string& path) {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &m_key, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create " + path);
    }
    ~Key() { RegCloseKey(m_key); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    void Text(const char* name, const std::string& value) {
        RegSetValueExA(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    void Dword(const char* name, DWORD value) {
        RegSetValueExA(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }

private:
    HKEY m_key = nullptr;
};

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

void ShadowTest::RegisterProvider() {
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers\\{6A111FEB-1EA9-496E-AB0E-B85FF8A42E46}";
    Key provider(path);
    provider.Text(nullptr, "KorvelVssProvider");
    provider.Dword("Type", 3);
    provider.Text("Version", "1.0.12.29");
    provider.Text("VersionId", "{6B1AC3CC-9C80-402F-BD56-0C1485009072}");
    Key(path + "\\CLSID").Text(nullptr, "{6ABEF83A-7FA0-408C-88FC-98E122AD7280}");
}

CommandResult ShadowTest::Shadow(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv = Argv(args, m_inProcess);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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

}  // namespace korvel_test
