// The coordinator's provider registration, kept in the registry store.
#include "vssadmin.h"

#include <string>

#include "registry.h"

const IID IID_IVssAdmin = {0x77ED5996, 0x2F63, 0x11D3, {0x8A, 0x39, 0x00, 0xC0, 0x4F, 0x72, 0xD8, 0xE3}};
const CLSID CLSID_VSSCoordinator = {0xE579AB5F, 0x1CC4, 0x44B4, {0xBE, 0xD9, 0xDE, 0x09, 0x91, 0xFF, 0x06, 0x23}};

namespace {

// The provider's texts are UTF-16; the records keep them as 8-bit text.
bool Narrow(const WCHAR* wide, std::string& out) {
    if (wide == nullptr) return false;
    out.clear();
    for (; *wide != 0; ++wide) {
        if (*wide > 0x7F) return false;
        out += static_cast<char>(*wide);
    }
    return true;
}

std::string ProviderKeyPath(REFGUID providerId) {
    return std::string(KORVEL_VSS_PROVIDERS_KEY) + "\\" + KorvelGuidText(providerId);
}

class CVssCoordinator final : public IVssAdmin {
public:
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IVssAdmin)) {
            *ppvObject = static_cast<IVssAdmin*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    // One coordinator serves the whole process.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT RegisterProvider(VSS_ID providerId, CLSID classId, VSS_PWSZ name, VSS_PROVIDER_TYPE type, VSS_PWSZ version,
                             VSS_ID versionId) override {
        std::string nameText, versionText;
        if (!Narrow(name, nameText) || !Narrow(version, versionText) || nameText.empty() || type < VSS_PROV_SYSTEM ||
            type > VSS_PROV_FILESHARE)
            return E_INVALIDARG;
        const std::string path = ProviderKeyPath(providerId);
        KorvelRegKey existing;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, existing.out()) == ERROR_SUCCESS)
            return VSS_E_PROVIDER_ALREADY_REGISTERED;
        KorvelRegKey key, clsidKey;
        LONG result = KorvelCreateKey(HKEY_LOCAL_MACHINE, path, key);
        const DWORD typeValue = static_cast<DWORD>(type);
        if (result == ERROR_SUCCESS) result = KorvelSetText(key.get(), nullptr, nameText);
        if (result == ERROR_SUCCESS)
            result = RegSetValueExA(key.get(), "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&typeValue),
                                    sizeof typeValue);
        if (result == ERROR_SUCCESS) result = KorvelSetText(key.get(), "Version", versionText);
        if (result == ERROR_SUCCESS) result = KorvelSetText(key.get(), "VersionId", KorvelGuidText(versionId));
        if (result == ERROR_SUCCESS) result = KorvelCreateKey(key.get(), "CLSID", clsidKey);
        if (result == ERROR_SUCCESS) result = KorvelSetText(clsidKey.get(), nullptr, KorvelGuidText(classId));
        if (result != ERROR_SUCCESS) {
            // Half a record would read as a registered provider without a class.
            UnregisterProvider(providerId);
            return HRESULT_FROM_WIN32(result);
        }
        return S_OK;
    }

    HRESULT UnregisterProvider(VSS_ID providerId) override {
        const std::string path = ProviderKeyPath(providerId);
        KorvelRegKey key;
        LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.out());
        if (result == ERROR_FILE_NOT_FOUND) return VSS_E_PROVIDER_NOT_REGISTERED;
        if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
        result = RegDeleteKeyA(key.get(), "CLSID");
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(result);
        result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
    }
};

class CVssCoordinatorFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppvObject = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        static CVssCoordinator coordinator;
        return coordinator.QueryInterface(riid, ppvObject);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

// The coordinator is part of the system: reachable from process start, in
// both activation contexts, without anyone registering it.
struct CoordinatorRegistration {
    CoordinatorRegistration() {
        static CVssCoordinatorFactory factory;
        DWORD cookie = 0;
        CoRegisterClassObject(CLSID_VSSCoordinator, &factory, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              REGCLS_MULTIPLEUSE, &cookie);
    }
} g_coordinatorRegistration;

}  // namespace
