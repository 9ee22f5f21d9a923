#include "com.h"

#include <cstdlib>
#include <map>
#include <mutex>

const GUID GUID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

LPVOID CoTaskMemAlloc(size_t cb) { return std::malloc(cb); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

namespace {

thread_local unsigned t_comInitCount = 0;

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD) { return t_comInitCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
    if (t_comInitCount > 0) --t_comInitCount;
}

namespace {

struct ClassEntry {
    CLSID clsid;
    IUnknown* factory;
    DWORD context;
};

struct ClassTable {
    std::mutex mutex;
    std::map<DWORD, ClassEntry> entries;
    DWORD nextCookie = 1;
    KorvelLocalActivator localActivator = nullptr;
};

ClassTable& Table() {
    static ClassTable* table = new ClassTable;  // outlives static destructors of callers
    return *table;
}

}  // namespace

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD, LPDWORD lpdwRegister) {
    if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
    ClassTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    pUnk->AddRef();
    *lpdwRegister = table.nextCookie++;
    table.entries[*lpdwRegister] = ClassEntry{rclsid, pUnk, dwClsContext};
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    IUnknown* factory = nullptr;
    {
        ClassTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.entries.find(dwRegister);
        if (it == table.entries.end()) return E_INVALIDARG;
        factory = it->second.factory;
        table.entries.erase(it);
    }
    factory->Release();
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    IUnknown* factory = nullptr;
    {
        ClassTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        for (const auto& entry : table.entries) {
            if (IsEqualCLSID(entry.second.clsid, rclsid) && (entry.second.context & dwClsContext) != 0) {
                factory = entry.second.factory;
                factory->AddRef();
                break;
            }
        }
    }
    if (factory == nullptr) return REGDB_E_CLASSNOTREG;
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if ((dwClsContext & CLSCTX_INPROC_SERVER) != 0) {
        IClassFactory* factory = nullptr;
        HRESULT hr = CoGetClassObject(rclsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                      reinterpret_cast<LPVOID*>(&factory));
        if (SUCCEEDED(hr)) {
            hr = factory->CreateInstance(pUnkOuter, riid, ppv);
            factory->Release();
            return hr;
        }
        if ((dwClsContext & CLSCTX_LOCAL_SERVER) == 0) return hr;
    }
    if ((dwClsContext & CLSCTX_LOCAL_SERVER) != 0) {
        // A local server's objects cannot be aggregated across processes.
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        // This process registered the class as its local server: the object
        // is made here, as COM hands a server its own objects.
        IClassFactory* factory = nullptr;
        if (SUCCEEDED(CoGetClassObject(rclsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                       reinterpret_cast<LPVOID*>(&factory)))) {
            HRESULT hr = factory->CreateInstance(nullptr, riid, ppv);
            factory->Release();
            return hr;
        }
        KorvelLocalActivator activator;
        {
            ClassTable& table = Table();
            std::lock_guard<std::mutex> lock(table.mutex);
            activator = table.localActivator;
        }
        return activator != nullptr ? activator(rclsid, riid, ppv) : REGDB_E_CLASSNOTREG;
    }
    return E_INVALIDARG;
}

void KorvelSetLocalActivator(KorvelLocalActivator activator) {
    ClassTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.localActivator = activator;
}
