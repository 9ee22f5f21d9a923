// COM basics: result codes, GUIDs, IUnknown, class factories and the task
// memory allocator that COM callers and servers share.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "wintypes.h"

typedef LONG HRESULT;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define S_OK static_cast<HRESULT>(0x00000000L)
#define S_FALSE static_cast<HRESULT>(0x00000001L)
#define E_FAIL static_cast<HRESULT>(0x80004005L)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001L)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002L)
#define E_POINTER static_cast<HRESULT>(0x80004003L)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFFL)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057L)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000EL)
#define E_ACCESSDENIED static_cast<HRESULT>(0x80070005L)
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE static_cast<HRESULT>(0x80040111L)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154L)
#define RPC_E_DISCONNECTED static_cast<HRESULT>(0x80010108L)
#define RPC_E_TIMEOUT static_cast<HRESULT>(0x8001011FL)
#define CO_E_SERVER_EXEC_FAILURE static_cast<HRESULT>(0x80080005L)

#define FACILITY_WIN32 7
inline HRESULT HRESULT_FROM_WIN32(LONG error) {
    return error <= 0
               ? static_cast<HRESULT>(error)
               : static_cast<HRESULT>((static_cast<ULONG>(error) & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

extern const GUID GUID_NULL;

#include "korvel_com.h"

// Interfaces are abstract classes; their slots follow the Windows order.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
extern const IID IID_IUnknown;

struct IClassFactory : public IUnknown {
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};
extern const IID IID_IClassFactory;

// Per-thread COM initialisation. Nothing needs setting up on Linux, but the
// calls keep their contract: S_OK the first time on a thread, S_FALSE when
// already initialised, and every success is paired with CoUninitialize.
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

// Activation. Class objects registered in this process serve
// CLSCTX_INPROC_SERVER, and CLSCTX_LOCAL_SERVER too when they were registered
// for it (this process is then the class's local server); otherwise
// CLSCTX_LOCAL_SERVER goes through the local activator that the remoting layer
// installs (REGDB_E_CLASSNOTREG without one).
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_LOCAL_SERVER 0x4u
#define REGCLS_SINGLEUSE 0u
#define REGCLS_MULTIPLEUSE 1u

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
HRESULT CoRevokeClassObject(DWORD dwRegister);
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, LPVOID* ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

typedef HRESULT (*KorvelLocalActivator)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
void KorvelSetLocalActivator(KorvelLocalActivator activator);

// The task allocator: memory one side of an interface hands to the other.
LPVOID CoTaskMemAlloc(size_t cb);
void CoTaskMemFree(LPVOID pv);
