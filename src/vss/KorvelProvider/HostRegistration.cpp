// What "-Service" records and "-UnregServer" removes: the AppID and its
// service, the COM class and type library, the VSS provider record and the
// event source.
#include <unistd.h>

#include <string>

#include "KHandle.h"
#include "KorvelProvider.h"
#include "KorvelProviderHost.h"
#include "registry.h"
#include "service.h"
#include "vssadmin.h"
#include "winuser.h"

const GUID APPID_KorvelProvider = {0xF03BCDCC, 0xA024, 0x4FDC, {0xA5, 0x01, 0x21, 0x3D, 0x19, 0x66, 0xA9, 0x96}};
const GUID LIBID_KorvelProviderLib = {0xD859C6C2, 0xE6CA, 0x4E51, {0x8C, 0x83, 0xE5, 0x6E, 0xF0, 0x2B, 0x67, 0x18}};
const VSS_ID KORVEL_VSS_PROVIDER_ID = {0x6A111FEB, 0x1EA9, 0x496E, {0xAB, 0x0E, 0xB8, 0x5F, 0xF8, 0xA4, 0x2E, 0x46}};
const VSS_ID KORVEL_VSS_PROVIDER_VERSION_ID = {
    0x6B1AC3CC, 0x9C80, 0x402F, {0xBD, 0x56, 0x0C, 0x14, 0x85, 0x00, 0x90, 0x72}};

std::string KorvelAppIdKey() { return "AppID\\" + KorvelGuidText(APPID_KorvelProvider); }

namespace {

constexpr size_t kMaxPath = 260;

std::string ClassKey() { return "CLSID\\" + KorvelGuidText(CLSID_KorvelVSSProvider); }
std::string TypeLibKey() { return "TypeLib\\" + KorvelGuidText(LIBID_KorvelProviderLib); }

// The executable's full path, as a path buffer of 260 characters holds it:
// empty when it does not fit.
std::string ModulePath() {
    char path[kMaxPath];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return std::string();
    return std::string(path, static_cast<size_t>(length));
}

void ShowMessage(const char* text) { MessageBoxA(nullptr, text, kServiceName, MB_OK); }

using ServiceHandle = Korvel::KHandle<Korvel::KPointerTraits<SC_HANDLE__, &CloseServiceHandle>>;

LONG SetText(HKEY key, const char* name, const std::string& text, DWORD type = REG_SZ) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

// Creates `path` under HKEY_CLASSES_ROOT and sets its default value.
LONG SetKeyText(const std::string& path, const std::string& text, HKEY* keep = nullptr) {
    KorvelRegKey key;
    LONG result = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, key.out(), nullptr);
    if (result == ERROR_SUCCESS) result = SetText(key.get(), nullptr, text);
    if (result == ERROR_SUCCESS && keep != nullptr) result = RegOpenKeyExA(key.get(), "", 0, KEY_ALL_ACCESS, keep);
    return result;
}

LONG DeleteTreeIfPresent(const std::string& path) {
    LONG result = RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

bool IsServiceInstalled() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.get() == nullptr) return false;
    ServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
    return service.get() != nullptr;
}

bool InstallService() {
    if (IsServiceInstalled()) return true;
    const std::string path = ModulePath();
    if (path.empty()) return false;
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.get() == nullptr) {
        ShowMessage("Could not open Service Manager");
        return false;
    }
    const std::string command = "\"" + path + "\"";
    ServiceHandle service(CreateServiceA(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         command.c_str(), nullptr, nullptr, "RPCSS\0", nullptr, nullptr));
    if (service.get() == nullptr) {
        ShowMessage("Could not start service");
        return false;
    }
    return true;
}

bool UninstallService() {
    // Without the manager nobody knows whether the service is installed: no success.
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.get() == nullptr) {
        ShowMessage("Could not open Service Manager");
        return false;
    }
    ServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_STOP | DELETE));
    if (service.get() == nullptr) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        ShowMessage("Could not open service");
        return false;
    }
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = GetLastError();
        // Not running, or already on its way down: nothing to report.
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
            ShowMessage("Could not stop service");
    }
    if (!DeleteService(service.get())) {
        ShowMessage("Could not delete service");
        return false;
    }
    return true;
}

}  // namespace

HRESULT RegisterServiceAppId() {
    if (!UninstallService()) return E_FAIL;
    // The AppID script holds no entries; the key is what it leaves.
    KorvelRegKey key;
    LONG result = RegCreateKeyExA(HKEY_CLASSES_ROOT, KorvelAppIdKey().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    RegDeleteValueA(key.get(), "LocalService");
    result = SetText(key.get(), "LocalService", kServiceName);
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    return InstallService() ? S_OK : E_FAIL;
}

HRESULT UnregisterServiceAppId() {
    if (!UninstallService()) return E_FAIL;
    KorvelRegKey key;
    LONG result = RegOpenKeyExA(HKEY_CLASSES_ROOT, KorvelAppIdKey().c_str(), 0, KEY_ALL_ACCESS, key.out());
    if (result == ERROR_FILE_NOT_FOUND) return S_OK;  // never registered: nothing to remove
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    RegDeleteValueA(key.get(), "LocalService");
    return S_OK;
}

HRESULT RegisterServer() {
    const std::string path = ModulePath();
    if (path.empty()) return E_FAIL;
    // The class's script: its key is replaced whole.
    LONG result = DeleteTreeIfPresent(ClassKey());
    KorvelRegKey localServer;
    if (result == ERROR_SUCCESS) result = SetKeyText(ClassKey(), "KorvelVSSProvider Class");
    if (result == ERROR_SUCCESS)
        result = SetKeyText(ClassKey() + "\\LocalServer32", "\"" + path + "\"", localServer.out());
    if (result == ERROR_SUCCESS) result = SetText(localServer.get(), "ServerExecutable", path);
    if (result == ERROR_SUCCESS) result = SetKeyText(ClassKey() + "\\TypeLib", KorvelGuidText(LIBID_KorvelProviderLib));
    if (result == ERROR_SUCCESS) result = SetKeyText(ClassKey() + "\\Version", "1.0");
    // The type library lives in the executable, as its resource would.
    const std::string version = TypeLibKey() + "\\1.0";
    if (result == ERROR_SUCCESS) result = DeleteTreeIfPresent(TypeLibKey());
    if (result == ERROR_SUCCESS) result = SetKeyText(version, "KorvelProviderLib");
    if (result == ERROR_SUCCESS) result = SetKeyText(version + "\\FLAGS", "0");
    if (result == ERROR_SUCCESS) result = SetKeyText(version + "\\0\\win64", path);
    if (result == ERROR_SUCCESS) result = SetKeyText(version + "\\HELPDIR", path.substr(0, path.rfind('/')));
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

HRESULT UnregisterServer() {
    LONG result = DeleteTreeIfPresent(ClassKey());
    if (result == ERROR_SUCCESS) result = DeleteTreeIfPresent(TypeLibKey());
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

void RegisterKorvelProvider() {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering RegisterKorvelProvider()");
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IVssAdmin* admin = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_VSSCoordinator, nullptr, CLSCTX_LOCAL_SERVER, IID_IVssAdmin,
                                  reinterpret_cast<void**>(&admin));
    if (FAILED(hr)) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Failed to get reference to IVssAdmin: %x",
                      static_cast<unsigned>(hr));
    } else {
        // Widened character by character: right whichever type WCHAR is.
        const std::string nameText = "KorvelVssProvider", versionText = "1.0.12.29";
        std::basic_string<WCHAR> name(nameText.begin(), nameText.end());
        std::basic_string<WCHAR> version(versionText.begin(), versionText.end());
        hr = admin->RegisterProvider(KORVEL_VSS_PROVIDER_ID, CLSID_KorvelVSSProvider, name.data(), VSS_PROV_HARDWARE,
                                     version.data(), KORVEL_VSS_PROVIDER_VERSION_ID);
        Logger::Write(KLOG_INFO, kProviderComponent, "Registration return code: %x", static_cast<unsigned>(hr));
        admin->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting RegisterKorvelProvider()");
}

void UnregisterKorvelProvider() {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering UnregisterKorvelProvider()");
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IVssAdmin* admin = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_VSSCoordinator, nullptr, CLSCTX_LOCAL_SERVER, IID_IVssAdmin,
                                   reinterpret_cast<void**>(&admin)))) {
        admin->UnregisterProvider(KORVEL_VSS_PROVIDER_ID);
        admin->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting UnregisterKorvelProvider().");
}

void ConfigureAndStartService() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.get() == nullptr) {
        ShowMessage("Could not open Service Manager");
        return;
    }
    ServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (service.get() == nullptr) {
        ShowMessage("Could not open service");
        return;
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kServiceDescription)};
    if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
        Logger::Write(KLOG_ERROR, kProviderComponent, "Setting the service description failed: %u",
                      static_cast<unsigned>(GetLastError()));
    if (!ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr))
        Logger::Write(KLOG_ERROR, kProviderComponent, "Setting the service's automatic start failed: %u",
                      static_cast<unsigned>(GetLastError()));
    if (!StartServiceA(service.get(), 0, nullptr)) ShowMessage("Could not start service");
}

void AddEventSource() {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering AddEventSource()");
    KorvelRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, key.out(), nullptr) != ERROR_SUCCESS)
        Logger::Write(KLOG_ERROR, kProviderComponent, "Could not create the registry key");
    // Each value is attempted whatever became of the one before.
    auto check = [](LONG result, const char* failure) {
        if (result != ERROR_SUCCESS) Logger::Write(KLOG_ERROR, kProviderComponent, "%s", failure);
    };
    check(SetText(key.get(), "EventMessageFile", kEventMessageFile, REG_EXPAND_SZ),
          "Could not set the event message file");
    check(SetText(key.get(), "CategoryMessageFile", kEventMessageFile, REG_EXPAND_SZ),
          "Could not set the category message file");
    check(SetText(key.get(), "ParameterMessageFile", kEventMessageFile, REG_EXPAND_SZ),
          "Could not set the parameter message file");
    const DWORD types = 7, categories = 2;
    check(
        RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types),
        "Could not set the supported types");
    check(RegSetValueExA(key.get(), "CategoryCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&categories),
                         sizeof categories),
          "Could not set the category count");
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting AddEventSource()");
}
