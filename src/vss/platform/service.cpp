// Service control manager stand-in: the unit file is the service's record,
// systemctl the manager's hands, signals and sd_notify the service's side.
#include "service.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Logger.h"
#include "handles.h"

extern char** environ;

namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
constexpr const char* kComponent = KorvelLog::kProviderComponent;
// `systemctl start` of a notify service waits for its readiness; systemd's
// own start timeout is 90 s.
constexpr auto kSystemctlTimeout = std::chrono::seconds(120);

std::string UnitDir() {
    const char* dir = std::getenv("KORVEL_SYSTEMD_DIR");
    return dir != nullptr && *dir != '\0' ? dir : kDefaultUnitDir;
}

struct ManagerObject : korvel_platform::KernelObject {
    std::string unitDir;
};

struct ServiceObject : korvel_platform::KernelObject {
    std::string name;
    std::string unitPath;
    DWORD access = 0;
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

SC_HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

bool ValidServiceName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strlen(name) > 256) return false;
    for (const char* c = name; *c != '\0'; ++c)
        if (*c == '/' || *c == '\\' || static_cast<unsigned char>(*c) < 0x20) return false;
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether systemd manages this machine and reads the folder the unit is in:
// a unit written anywhere else is only a file, and systemctl would not find it.
bool SystemdReads(const std::string& unitDir, std::string& why) {
    if (sd_booted() <= 0) {
        why = "systemd is not running";
        return false;
    }
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::weakly_canonical(unitDir, ec);
    for (const char* known : {"/etc/systemd/system", "/run/systemd/system", "/usr/lib/systemd/system",
                              "/lib/systemd/system", "/usr/local/lib/systemd/system"}) {
        std::error_code ignored;
        if (dir == std::filesystem::weakly_canonical(known, ignored)) return true;
    }
    why = "systemd does not read " + unitDir;
    return false;
}

// Runs systemctl with the arguments and waits, bounded; its exit status, or -1.
int RunSystemctl(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string program = "systemctl";
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + kSystemctlTimeout;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One manager step: systemctl with the arguments when systemd reads the unit
// folder, else a log line saying it was skipped. -1 means "skipped".
int Systemctl(const std::string& unitDir, const std::vector<std::string>& args) {
    std::string command = "systemctl";
    for (const std::string& a : args) command += " " + a;
    std::string why;
    if (!SystemdReads(unitDir, why)) {
        Logger::Write(KLOG_INFO, kComponent, "%s: skipped \"%s\"", why.c_str(), command.c_str());
        return -1;
    }
    int status = RunSystemctl(args);
    Logger::Write(status == 0 ? KLOG_INFO : KLOG_ERROR, kComponent, "\"%s\" exited with %d", command.c_str(), status);
    return status;
}

std::string UnitName(const ServiceObject& service) { return service.name + ".service"; }

struct UnitFile {
    std::string description;
    std::string command;  // as the manager was given it, quotes included
};

std::string Render(const UnitFile& unit) {
    std::ostringstream out;
    out << "[Unit]\n"
        << "Description=" << unit.description << "\n"
        << "After=network.target\n"
        << "\n"
        << "[Service]\n"
        << "Type=notify\n"
        << "ExecStart=" << unit.command << "\n"
        << "Restart=on-failure\n"
        << "\n"
        << "[Install]\n"
        << "WantedBy=multi-user.target\n";
    return out.str();
}

bool ReadUnit(const std::string& path, UnitFile& unit) {
    std::ifstream in(path);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Description=", 0) == 0) unit.description = line.substr(12);
        if (line.rfind("ExecStart=", 0) == 0) unit.command = line.substr(10);
    }
    return true;
}

// Written whole to a temporary file and renamed, so systemd never reads half a unit.
bool WriteUnit(const std::string& path, const UnitFile& unit) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << Render(unit);
        out.flush();
        if (!out) {
            ::unlink(temp.c_str());
            return false;
        }
    }
    ::chmod(temp.c_str(), 0644);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

ServiceObject* ServiceOf(SC_HANDLE handle, DWORD neededAccess) {
    auto* service = korvel_platform::LookupHandleAs<ServiceObject>(reinterpret_cast<HANDLE>(handle));
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((service->access & neededAccess) != neededAccess) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return service;
}

SC_HANDLE NewServiceHandle(const std::string& unitDir, const char* name, DWORD access) {
    auto service = std::make_unique<ServiceObject>();
    service->name = name;
    service->unitPath = unitDir + "/" + std::string(name) + ".service";
    service->access = access;
    return reinterpret_cast<SC_HANDLE>(korvel_platform::RegisterHandle(std::move(service)));
}

std::string UnitDirOf(const ServiceObject& service) { return service.unitPath.substr(0, service.unitPath.rfind('/')); }

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR, DWORD) {
    if (lpMachineName != nullptr && *lpMachineName != '\0') return FailHandle(ERROR_INVALID_NAME);
    const std::string dir = UnitDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // Only who may write units may manage services.
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return FailHandle(ERROR_ACCESS_DENIED);
    auto manager = std::make_unique<ManagerObject>();
    manager->unitDir = dir;
    return reinterpret_cast<SC_HANDLE>(korvel_platform::RegisterHandle(std::move(manager)));
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD, LPCSTR lpBinaryPathName, LPCSTR, LPDWORD,
                         LPCSTR, LPCSTR, LPCSTR) {
    auto* manager = korvel_platform::LookupHandleAs<ManagerObject>(reinterpret_cast<HANDLE>(hSCManager));
    if (manager == nullptr) return FailHandle(ERROR_INVALID_HANDLE);
    if (!ValidServiceName(lpServiceName)) return FailHandle(ERROR_INVALID_NAME);
    if (lpBinaryPathName == nullptr || *lpBinaryPathName == '\0' || dwServiceType != SERVICE_WIN32_OWN_PROCESS)
        return FailHandle(ERROR_INVALID_PARAMETER);
    SC_HANDLE handle = NewServiceHandle(manager->unitDir, lpServiceName, dwDesiredAccess);
    auto* service = korvel_platform::LookupHandleAs<ServiceObject>(reinterpret_cast<HANDLE>(handle));
    if (FileExists(service->unitPath)) {
        CloseServiceHandle(handle);
        return FailHandle(ERROR_SERVICE_EXISTS);
    }
    UnitFile unit;
    unit.description = lpDisplayName != nullptr && *lpDisplayName != '\0' ? lpDisplayName : lpServiceName;
    unit.command = lpBinaryPathName;
    if (!WriteUnit(service->unitPath, unit)) {
        CloseServiceHandle(handle);
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    Systemctl(manager->unitDir, {"daemon-reload"});
    if (dwStartType == SERVICE_AUTO_START) Systemctl(manager->unitDir, {"enable", UnitName(*service)});
    return handle;
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    auto* manager = korvel_platform::LookupHandleAs<ManagerObject>(reinterpret_cast<HANDLE>(hSCManager));
    if (manager == nullptr) return FailHandle(ERROR_INVALID_HANDLE);
    if (!ValidServiceName(lpServiceName)) return FailHandle(ERROR_INVALID_NAME);
    if (!FileExists(manager->unitDir + "/" + lpServiceName + ".service"))
        return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
    return NewServiceHandle(manager->unitDir, lpServiceName, dwDesiredAccess);
}

BOOL ChangeServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
    ServiceObject* service = ServiceOf(hService, SERVICE_CHANGE_CONFIG);
    if (service == nullptr) return FALSE;
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION || lpInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const char* text = static_cast<SERVICE_DESCRIPTIONA*>(lpInfo)->lpDescription;
    UnitFile unit;
    if (!ReadUnit(service->unitPath, unit)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    // A line break would end the Description= line and smuggle in a directive.
    std::string description = text != nullptr ? text : "";
    if (description.find_first_of("\r\n") != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
    unit.description = description;
    if (!WriteUnit(service->unitPath, unit)) return Fail(ERROR_ACCESS_DENIED);
    Systemctl(UnitDirOf(*service), {"daemon-reload"});
    return TRUE;
}

BOOL ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD, LPCSTR lpBinaryPathName,
                          LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR, LPCSTR lpDisplayName) {
    ServiceObject* service = ServiceOf(hService, SERVICE_CHANGE_CONFIG);
    if (service == nullptr) return FALSE;
    if (!FileExists(service->unitPath)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    // Only the start type is changed by this system; other changes are refused
    // rather than silently dropped.
    if ((dwServiceType != SERVICE_NO_CHANGE && dwServiceType != SERVICE_WIN32_OWN_PROCESS) ||
        lpBinaryPathName != nullptr || lpDisplayName != nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwStartType == SERVICE_NO_CHANGE) return TRUE;
    const char* verb = dwStartType == SERVICE_AUTO_START ? "enable" : "disable";
    int status = Systemctl(UnitDirOf(*service), {verb, UnitName(*service)});
    return status <= 0 ? TRUE : Fail(ERROR_GEN_FAILURE);
}

BOOL StartServiceA(SC_HANDLE hService, DWORD, LPCSTR*) {
    ServiceObject* service = ServiceOf(hService, SERVICE_START);
    if (service == nullptr) return FALSE;
    if (!FileExists(service->unitPath)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    int status = Systemctl(UnitDirOf(*service), {"start", UnitName(*service)});
    return status <= 0 ? TRUE : Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    ServiceObject* service = ServiceOf(hService, dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : 0);
    if (service == nullptr) return FALSE;
    if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwControl != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_PARAMETER);
    if (!QueryServiceStatus(hService, lpServiceStatus)) return FALSE;
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    int status = Systemctl(UnitDirOf(*service), {"stop", UnitName(*service)});
    if (status > 0) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    lpServiceStatus->dwCurrentState = SERVICE_STOPPED;
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    ServiceObject* service = ServiceOf(hService, DELETE);
    if (service == nullptr) return FALSE;
    if (!FileExists(service->unitPath)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    const std::string unitDir = UnitDirOf(*service);
    Systemctl(unitDir, {"disable", UnitName(*service)});
    if (::unlink(service->unitPath.c_str()) != 0) return Fail(ERROR_ACCESS_DENIED);
    Systemctl(unitDir, {"daemon-reload"});
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    ServiceObject* service = ServiceOf(hService, 0);
    if (service == nullptr) return FALSE;
    if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *lpServiceStatus = SERVICE_STATUS{};
    lpServiceStatus->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    lpServiceStatus->dwControlsAccepted = SERVICE_ACCEPT_STOP;
    // Without systemd nothing runs the unit.
    std::string why;
    const bool active =
        SystemdReads(UnitDirOf(*service), why) && RunSystemctl({"is-active", "--quiet", UnitName(*service)}) == 0;
    lpServiceStatus->dwCurrentState = active ? SERVICE_RUNNING : SERVICE_STOPPED;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    HANDLE handle = reinterpret_cast<HANDLE>(hSCObject);
    if (korvel_platform::LookupHandleAs<ManagerObject>(handle) == nullptr &&
        korvel_platform::LookupHandleAs<ServiceObject>(handle) == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    return CloseHandle(handle);
}

// ---------------------------------------------------------------------------
// The service's side
// ---------------------------------------------------------------------------

namespace {

struct Dispatcher {
    std::mutex mutex;
    std::string serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
};

Dispatcher& TheDispatcher() {
    static Dispatcher* dispatcher = new Dispatcher;  // the service thread may outlive static destructors
    return *dispatcher;
}

// The one status handle a process has: its service.
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<intptr_t>(1));

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceProc == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const char* notify = std::getenv("NOTIFY_SOCKET");
    if (notify == nullptr || *notify == '\0') return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

    // Every thread from here on leaves these signals to this loop.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGHUP);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &controls, &previous);

    Dispatcher& dispatcher = TheDispatcher();
    {
        std::lock_guard<std::mutex> lock(dispatcher.mutex);
        dispatcher.serviceName =
            lpServiceStartTable[0].lpServiceName != nullptr ? lpServiceStartTable[0].lpServiceName : "";
        dispatcher.handler = nullptr;
    }
    std::atomic<bool> finished{false};
    LPSERVICE_MAIN_FUNCTIONA serviceMain = lpServiceStartTable[0].lpServiceProc;
    std::thread mainThread([&]() {
        char* args[] = {lpServiceStartTable[0].lpServiceName, nullptr};
        serviceMain(1, args);
        finished = true;
    });

    std::vector<DWORD> pending;  // controls that came before the handler was registered
    const timespec tick = {0, 50 * 1000 * 1000};
    while (!finished) {
        siginfo_t info{};
        int signal = sigtimedwait(&controls, &info, &tick);
        if (signal == SIGTERM || signal == SIGINT) pending.push_back(SERVICE_CONTROL_STOP);
        if (signal == SIGHUP) pending.push_back(SERVICE_CONTROL_PARAMCHANGE);
        LPHANDLER_FUNCTION handler;
        {
            std::lock_guard<std::mutex> lock(dispatcher.mutex);
            handler = dispatcher.handler;
        }
        if (handler == nullptr) continue;
        for (DWORD control : pending) handler(control);
        pending.clear();
    }
    mainThread.join();
    {
        std::lock_guard<std::mutex> lock(dispatcher.mutex);
        dispatcher.handler = nullptr;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    if (lpHandlerProc == nullptr || lpServiceName == nullptr || dispatcher.serviceName != lpServiceName) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    dispatcher.handler = lpHandlerProc;
    return kStatusHandle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    if (hServiceStatus != kStatusHandle) return Fail(ERROR_INVALID_HANDLE);
    if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    switch (lpServiceStatus->dwCurrentState) {
        case SERVICE_START_PENDING: sd_notify(0, "STATUS=Starting"); break;
        case SERVICE_RUNNING: sd_notify(0, "READY=1\nSTATUS=Running"); break;
        case SERVICE_STOP_PENDING: sd_notify(0, "STOPPING=1\nSTATUS=Stopping"); break;
        case SERVICE_STOPPED:
            if (lpServiceStatus->dwWin32ExitCode != 0)
                sd_notifyf(0, "STATUS=Stopped\nERRNO=%u", static_cast<unsigned>(lpServiceStatus->dwWin32ExitCode));
            else
                sd_notify(0, "STATUS=Stopped");
            break;
        default: return Fail(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}
