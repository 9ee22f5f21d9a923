// Running the local server: as a service under systemd, or as a plain
// process that ends once its last client has gone.
#include <malloc.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "KorvelProvider.h"
#include "KorvelProviderHost.h"
#include "KorvelRemoting.h"
#include "registry.h"
#include "service.h"

namespace {

using Clock = std::chrono::steady_clock;

// A plain process lingers this long after its last client, so a client that
// releases one object and activates the next finds the server still there.
constexpr auto kShutdownDelay = std::chrono::seconds(1);

// The module's own event entries, as a service module reports them.
void ModuleEvent(const char* text) { Logger::EventLog(0, 4, 0, "%s", text); }

// The class object and the socket clients reach it through.
class ServerModule {
public:
    explicit ServerModule(const KorvelLogConfig& config) { m_limits.idleSeconds = config.idleSeconds; }

    HRESULT Start() {
        HRESULT hr = KorvelRegisterProviderClass(CLSCTX_LOCAL_SERVER, &m_cookie);
        if (FAILED(hr)) return hr;
        KorvelHoldTransportForProcess();
        m_server = std::make_unique<KorvelRemoteServer>(CLSID_KorvelVSSProvider, m_limits);
        hr = m_server->Start(KorvelProviderSocketPath());
        if (FAILED(hr)) {
            m_server.reset();
            CoRevokeClassObject(m_cookie);
            m_cookie = 0;
        }
        return hr;
    }

    // Ends accepting, lets the calls in flight answer, releases every object.
    void Stop() {
        if (m_server) m_server->Stop();
        m_server.reset();
        if (m_cookie != 0) CoRevokeClassObject(m_cookie);
        m_cookie = 0;
    }

    // No client left after at least one came, and no lock held on the module.
    bool Idle() const {
        return m_server && m_server->ConnectionsServed() > 0 && m_server->OpenConnections() == 0 &&
               CKorvelModule::LockCount() == 0;
    }

private:
    KorvelServerLimits m_limits;
    DWORD m_cookie = 0;
    std::unique_ptr<KorvelRemoteServer> m_server;
};

// ---- service mode ----------------------------------------------------------

struct ServiceState {
    std::mutex mutex;
    std::condition_variable quit;
    bool quitPosted = false;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    int exitCode = 0;
    KorvelLogConfig config;
};

ServiceState& Service() {
    static ServiceState* state = new ServiceState;  // the dispatcher's thread may outlive static destructors
    return *state;
}

// Called from the service's thread and from the control handler's.
void ReportStatus(DWORD state, DWORD exitCode = 0) {
    ServiceState& service = Service();
    std::lock_guard<std::mutex> lock(service.mutex);
    service.status.dwCurrentState = state;
    service.status.dwWin32ExitCode = exitCode;
    SetServiceStatus(service.statusHandle, &service.status);
}

void PostQuit() {
    ServiceState& service = Service();
    std::lock_guard<std::mutex> lock(service.mutex);
    service.quitPosted = true;
    service.quit.notify_all();
}

void ControlHandler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            ReportStatus(SERVICE_STOP_PENDING);
            PostQuit();
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_SHUTDOWN: break;
        default: ModuleEvent("Bad service request");
    }
}

void ServiceMain(DWORD, LPSTR*) {
    ServiceState& service = Service();
    service.statusHandle = RegisterServiceCtrlHandlerA(kServiceName, ControlHandler);
    if (service.statusHandle == nullptr) {
        ModuleEvent("Handler not installed");
        service.exitCode = static_cast<int>(GetLastError());
        return;
    }
    ReportStatus(SERVICE_START_PENDING);
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ServerModule module(service.config);
    HRESULT hr = module.Start();
    if (FAILED(hr)) {
        // Reported as a failure, so systemd's Restart=on-failure applies.
        service.exitCode = static_cast<int>(hr);
        ReportStatus(SERVICE_STOPPED, static_cast<DWORD>(hr) & 0xFFFF);
    } else {
        ReportStatus(SERVICE_RUNNING);
        ModuleEvent("Service started/resumed");
        {
            std::unique_lock<std::mutex> lock(service.mutex);
            service.quit.wait(lock, [&]() { return service.quitPosted; });
        }
        module.Stop();
        ReportStatus(SERVICE_STOPPED);
        ModuleEvent("Service stopped");
    }
    if (SUCCEEDED(init)) CoUninitialize();
}

int RunAsService(const KorvelLogConfig& config) {
    Service().config = config;
    char name[] = "KorvelProvider";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        const DWORD error = GetLastError();
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "The service could not reach its manager (%u); \"-UnregServer\" turns it into a plain server",
                      static_cast<unsigned>(error));
        return static_cast<int>(error);
    }
    return Service().exitCode;
}

// ---- plain-process mode ------------------------------------------------------

int RunAsProcess(const KorvelLogConfig& config) {
    // Termination requests are taken here, not by whichever thread they hit.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ServerModule module(config);
    HRESULT hr = module.Start();
    if (SUCCEEDED(hr)) {
        ModuleEvent("Service started/resumed");
        const timespec tick = {0, 100 * 1000 * 1000};
        Clock::time_point idleSince{};
        bool idle = false;
        for (;;) {
            siginfo_t info{};
            if (sigtimedwait(&stops, &info, &tick) > 0) break;
            if (!module.Idle()) {
                idle = false;
                continue;
            }
            if (!idle) idleSince = Clock::now();
            idle = true;
            if (Clock::now() - idleSince >= kShutdownDelay) break;
        }
        module.Stop();
        ModuleEvent("Service stopped");
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return SUCCEEDED(hr) ? 0 : static_cast<int>(hr);
}

// "LocalService" registered for the AppID, as a zero-terminated string.
bool RegisteredAsService() {
    KorvelRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, KorvelAppIdKey().c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS)
        return false;
    char value[260];
    DWORD size = sizeof value;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key.get(), "LocalService", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
        ERROR_SUCCESS)
        return false;
    return (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0 && value[size - 1] == '\0';
}

}  // namespace

int RunServer(const KorvelLogConfig& config) {
    // What a call frees stays with the process for the next one, as the
    // allocator's own adjustment would leave it after a few calls: a listing's
    // document tree runs to tens of megabytes, and handing it back after every
    // call means faulting it in again for the next. Received frames have
    // pages of their own and go back to the system whatever these say.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    return RegisteredAsService() ? RunAsService(config) : RunAsProcess(config);
}
