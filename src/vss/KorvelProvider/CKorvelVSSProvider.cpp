// The provider object: identity, reference counting, aggregation, the class
// factory, the snapshot-set records, the notifications, the operations that
// do nothing and the administrator check.
#include <new>

#include "KorvelProvider.h"
#include "KorvelProviderHost.h"
#include "Logger.h"
#include "security.h"
#include "storage.h"

const IID IID_IKorvelVSSProvider = {0x51A0CD0D, 0x3B3C, 0x45AF, {0x8C, 0x16, 0xEC, 0x7F, 0x32, 0xBB, 0x2E, 0x9A}};
const CLSID CLSID_KorvelVSSProvider = {0x6ABEF83A, 0x7FA0, 0x408C, {0x88, 0xFC, 0x98, 0xE1, 0x22, 0xAD, 0x72, 0x80}};

std::atomic<long> CKorvelModule::s_locks{0};

void CKorvelModule::Lock() { ++s_locks; }
void CKorvelModule::Unlock() { --s_locks; }
long CKorvelModule::LockCount() { return s_locks.load(); }

CKorvelVSSProvider::CKorvelVSSProvider(IUnknown* pUnkOuter) : m_pOuterUnknown(pUnkOuter) {
    m_innerUnknown.m_owner = this;
    CKorvelModule::Lock();
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::CKorvelVSSProvider()");
    try {
        m_accessLayer = std::make_unique<Korvel::KAccessLayer>();
        m_accessLayer->DiscoverArrays();
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
    }
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::CKorvelVSSProvider()");
}

CKorvelVSSProvider::~CKorvelVSSProvider() {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::~CKorvelVSSProvider()");
    m_accessLayer.reset();
    m_snapshotSets.clear();
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::~CKorvelVSSProvider()");
    CKorvelModule::Unlock();
}

HRESULT CKorvelVSSProvider::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) CKorvelVSSProvider(pUnkOuter);
    if (object == nullptr) return E_OUTOFMEMORY;
    // Hold the object while asking, so a refused interface destroys it.
    object->InternalAddRef();
    HRESULT hr = pUnkOuter != nullptr ? object->m_innerUnknown.QueryInterface(riid, ppvObject)
                                      : object->InternalQueryInterface(riid, ppvObject);
    object->InternalRelease();
    return hr;
}

// The lookup order of the interface map; IUnknown is the first entry's.
HRESULT CKorvelVSSProvider::InternalQueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (IsEqualIID(riid, IID_IKorvelVSSProvider) || IsEqualIID(riid, IID_IUnknown))
        *ppvObject = static_cast<IKorvelVSSProvider*>(this);
    else if (IsEqualIID(riid, IID_IVssProviderCreateSnapshotSet))
        *ppvObject = static_cast<IVssProviderCreateSnapshotSet*>(this);
    else if (IsEqualIID(riid, IID_IVssHardwareSnapshotProvider))
        *ppvObject = static_cast<IVssHardwareSnapshotProvider*>(this);
    else if (IsEqualIID(riid, IID_IVssProviderNotifications))
        *ppvObject = static_cast<IVssProviderNotifications*>(this);
    else if (IsEqualIID(riid, IID_IVssHardwareSnapshotProviderEx))
        *ppvObject = static_cast<IVssHardwareSnapshotProviderEx*>(this);
    else
        return E_NOINTERFACE;
    AddRef();  // through the outer object when aggregated, as COM requires
    return S_OK;
}

ULONG CKorvelVSSProvider::InternalAddRef() { return ++m_refCount; }

ULONG CKorvelVSSProvider::InternalRelease() {
    ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
}

HRESULT CKorvelVSSProvider::QueryInterface(REFIID riid, void** ppvObject) {
    return m_pOuterUnknown != nullptr ? m_pOuterUnknown->QueryInterface(riid, ppvObject)
                                      : InternalQueryInterface(riid, ppvObject);
}

ULONG CKorvelVSSProvider::AddRef() { return m_pOuterUnknown != nullptr ? m_pOuterUnknown->AddRef() : InternalAddRef(); }

ULONG CKorvelVSSProvider::Release() {
    return m_pOuterUnknown != nullptr ? m_pOuterUnknown->Release() : InternalRelease();
}

HRESULT CKorvelVSSProvider::InnerUnknown::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppvObject = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    return m_owner->InternalQueryInterface(riid, ppvObject);
}

ULONG CKorvelVSSProvider::InnerUnknown::AddRef() { return m_owner->InternalAddRef(); }

ULONG CKorvelVSSProvider::InnerUnknown::Release() { return m_owner->InternalRelease(); }

// ---------------------------------------------------------------------------
// Class factory
// ---------------------------------------------------------------------------

CKorvelVSSProviderFactory* CKorvelVSSProviderFactory::Instance() {
    static CKorvelVSSProviderFactory factory;
    return &factory;
}

HRESULT CKorvelVSSProviderFactory::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppvObject = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

// The factory lives as long as the module; only LockServer keeps the host up.
ULONG CKorvelVSSProviderFactory::AddRef() { return 2; }
ULONG CKorvelVSSProviderFactory::Release() { return 1; }

HRESULT CKorvelVSSProviderFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
    return CKorvelVSSProvider::CreateInstance(pUnkOuter, riid, ppvObject);
}

HRESULT CKorvelVSSProviderFactory::LockServer(BOOL fLock) {
    if (fLock)
        CKorvelModule::Lock();
    else
        CKorvelModule::Unlock();
    return S_OK;
}

HRESULT KorvelRegisterProviderClass(DWORD clsContext, DWORD* cookie) {
    return CoRegisterClassObject(CLSID_KorvelVSSProvider, CKorvelVSSProviderFactory::Instance(), clsContext,
                                 REGCLS_MULTIPLEUSE, cookie);
}

// ---------------------------------------------------------------------------
// Snapshot-set records
// ---------------------------------------------------------------------------

KorvelSnapshotSet* CKorvelVSSProvider::AddSnapshotSet(std::unique_ptr<KorvelSnapshotSet> snapshotSet) {
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Entering CKorvelVSSProvider::AddSnapshotSet()");
    m_snapshotSets.push_back(std::move(snapshotSet));
    Logger::Write(KLOG_DEBUG, kProviderComponent,
                  "Exiting CKorvelVSSProvider::AddSnapshotSet(). Total snapshot sets: %i",
                  static_cast<int>(m_snapshotSets.size()));
    return m_snapshotSets.back().get();
}

KorvelSnapshotSet* CKorvelVSSProvider::FindSnapshotSet(const VSS_ID& snapshotSetId) const {
    for (const auto& set : m_snapshotSets)
        if (set != nullptr && set->m_snapshotSetId == snapshotSetId) return set.get();
    Logger::Write(KLOG_INFO, kProviderComponent, "Snapshot set not found, returning null");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Notifications and the operations that do nothing
// ---------------------------------------------------------------------------

namespace {
// Set once by the local server for its whole life.
std::atomic<bool> g_transportHeldByHost{false};
}  // namespace

void KorvelHoldTransportForProcess() {
    if (!g_transportHeldByHost.exchange(true)) Korvel::KAccessLayer::GlobalInit();
}

// Both answer S_OK whatever happens, but no exception may cross the interface.
// In the local server the transport belongs to the process, not to a client.
HRESULT CKorvelVSSProvider::OnLoad(IUnknown*) {
    try {
        Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::OnLoad()");
        if (!g_transportHeldByHost) Korvel::KAccessLayer::GlobalInit();
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
    }
    return S_OK;
}

HRESULT CKorvelVSSProvider::OnUnload(BOOL) {
    try {
        Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::OnUnload()");
        if (!g_transportHeldByHost) Korvel::KAccessLayer::GlobalCleanup();
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
    }
    return S_OK;
}

HRESULT CKorvelVSSProvider::GetProviderCapabilities(ULONGLONG*) { return S_OK; }
HRESULT CKorvelVSSProvider::OnReuseLuns(VDS_LUN_INFORMATION*, VDS_LUN_INFORMATION*, DWORD) { return S_OK; }
HRESULT CKorvelVSSProvider::EndPrepareSnapshots(VSS_ID) { return S_OK; }
HRESULT CKorvelVSSProvider::PreCommitSnapshots(VSS_ID) { return S_OK; }
HRESULT CKorvelVSSProvider::PostCommitSnapshots(VSS_ID, LONG) { return S_OK; }
HRESULT CKorvelVSSProvider::PreFinalCommitSnapshots(VSS_ID) { return S_OK; }
HRESULT CKorvelVSSProvider::PostFinalCommitSnapshots(VSS_ID) { return S_OK; }
// The snapshot set stays recorded.

// ---------------------------------------------------------------------------
// Administrator check
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::CheckCallerIsAdministrator() {
    if (CoImpersonateClient() != S_OK) return E_ACCESSDENIED;
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        CoRevertToSelf();
        return E_ACCESSDENIED;
    }
    if (CoRevertToSelf() != S_OK) {
        CloseHandle(token);
        return E_ACCESSDENIED;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators)) {
        CloseHandle(token);
        return E_OUTOFMEMORY;
    }
    BOOL isMember = FALSE;
    BOOL checked = CheckTokenMembership(token, administrators, &isMember);
    FreeSid(administrators);
    CloseHandle(token);
    if (!checked) return E_ACCESSDENIED;
    return isMember ? S_OK : E_ACCESSDENIED;
}
