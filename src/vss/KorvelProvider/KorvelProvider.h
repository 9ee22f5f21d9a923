// CKorvelVSSProvider: the hardware snapshot provider the shadow copy service
// drives. One object receives one call at a time; it never knows how it was
// activated (in-process or through the local server).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "KorvelSnapshotSet.h"
#include "Logger.h"
#include "LunIdentity.h"
#include "vss.h"

namespace korvel_provider {
class Operation;
class Outcome;
}  // namespace korvel_provider

constexpr const char* kProviderComponent = KorvelLog::kProviderComponent;

// The class's own interface: nothing beyond IUnknown.
struct IKorvelVSSProvider : public IUnknown {
protected:
    ~IKorvelVSSProvider() = default;
};

extern const IID IID_IKorvelVSSProvider;
extern const CLSID CLSID_KorvelVSSProvider;

// Event identifiers the provider writes.
enum KorvelEventId : unsigned {
    KORVEL_EVENT_AUTHORIZATION_FAILURE = 0xC0004000u,
    KORVEL_EVENT_SNAPSHOT_FAILURE = 0xC0004003u,
    KORVEL_EVENT_MAP_FAILURE = 0xC0004005u,
    KORVEL_EVENT_RESYNC_SNAPSHOT_MISSING = 0xC0004006u,
    KORVEL_EVENT_DELETE_FAILURE = 0xC0004007u,
    KORVEL_EVENT_RESYNC_DIFFERENT_ARRAY = 0xC0004012u,
    KORVEL_EVENT_SNAPSHOT_MISSING = 0xC0004013u,
    KORVEL_EVENT_PLEX_UNSUPPORTED = 0xC0004011u,
    KORVEL_EVENT_NO_ARRAY = 0x80004014u,
    KORVEL_EVENT_SNAPSHOT_CREATED = 0x40004010u,
};

// The server module's lock count: every provider object and every
// LockServer(TRUE) holds one, so the host stays up while they exist.
class CKorvelModule {
public:
    static void Lock();
    static void Unlock();
    static long LockCount();

private:
    static std::atomic<long> s_locks;
};

class CKorvelVSSProvider final : public IKorvelVSSProvider,
                                 public IVssHardwareSnapshotProviderEx,
                                 public IVssProviderCreateSnapshotSet,
                                 public IVssProviderNotifications {
public:
    // The class factory's work: a plain object, or an aggregated one when an
    // outer object asks for IUnknown.
    static HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject);

    // IUnknown, delegating to the outer object when aggregated.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IVssHardwareSnapshotProvider(Ex)
    HRESULT AreLunsSupported(LONG lLunCount, LONG lContext, VSS_PWSZ* rgwszDevices,
                             VDS_LUN_INFORMATION* pLunInformation, BOOL* pbIsSupported) override;
    HRESULT FillInLunInfo(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pLunInfo, BOOL* pbIsSupported) override;
    HRESULT BeginPrepareSnapshot(VSS_ID SnapshotSetId, VSS_ID SnapshotId, LONG lContext, LONG lLunCount,
                                 VSS_PWSZ* rgDeviceNames, VDS_LUN_INFORMATION* rgLunInformation) override;
    HRESULT GetTargetLuns(LONG lLunCount, VSS_PWSZ* rgDeviceNames, VDS_LUN_INFORMATION* rgSourceLuns,
                          VDS_LUN_INFORMATION* rgDestinationLuns) override;
    HRESULT LocateLuns(LONG lLunCount, VDS_LUN_INFORMATION* rgSourceLuns) override;
    HRESULT OnLunEmpty(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pInformation) override;
    HRESULT GetProviderCapabilities(ULONGLONG* pllOriginalCapabilityMask) override;
    HRESULT OnLunStateChange(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION* pOriginalLuns, DWORD dwCount,
                             DWORD dwFlags) override;
    HRESULT ResyncLuns(VDS_LUN_INFORMATION* pSourceLuns, VDS_LUN_INFORMATION* pTargetLuns, DWORD dwCount,
                       IVssAsync** ppAsync) override;
    HRESULT OnReuseLuns(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION* pOriginalLuns, DWORD dwCount) override;

    // IVssProviderCreateSnapshotSet
    HRESULT EndPrepareSnapshots(VSS_ID SnapshotSetId) override;
    HRESULT PreCommitSnapshots(VSS_ID SnapshotSetId) override;
    HRESULT CommitSnapshots(VSS_ID SnapshotSetId) override;
    HRESULT PostCommitSnapshots(VSS_ID SnapshotSetId, LONG lSnapshotsCount) override;
    HRESULT PreFinalCommitSnapshots(VSS_ID SnapshotSetId) override;
    HRESULT PostFinalCommitSnapshots(VSS_ID SnapshotSetId) override;
    HRESULT AbortSnapshots(VSS_ID SnapshotSetId) override;

    // IVssProviderNotifications
    HRESULT OnLoad(IUnknown* pCallback) override;
    HRESULT OnUnload(BOOL bForceUnload) override;

    // Snapshot-set records. AddSnapshotSet returns the set it now holds.
    KorvelSnapshotSet* AddSnapshotSet(std::unique_ptr<KorvelSnapshotSet> snapshotSet);
    KorvelSnapshotSet* FindSnapshotSet(const VSS_ID& snapshotSetId) const;

    HRESULT CheckCallerIsAdministrator();

private:
    explicit CKorvelVSSProvider(IUnknown* pUnkOuter);
    ~CKorvelVSSProvider();
    CKorvelVSSProvider(const CKorvelVSSProvider&) = delete;
    CKorvelVSSProvider& operator=(const CKorvelVSSProvider&) = delete;

    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject);
    ULONG InternalAddRef();
    ULONG InternalRelease();

    // The non-delegating IUnknown an outer object holds when it aggregates us.
    struct InnerUnknown : public IUnknown {
        CKorvelVSSProvider* m_owner = nullptr;
        HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
        ULONG AddRef() override;
        ULONG Release() override;
    };

    // The operations' work, run by korvel_provider::RunOperation: each way
    // out is an Outcome of `op`.
    using Operation = korvel_provider::Operation;
    using Outcome = korvel_provider::Outcome;
    Outcome AreLunsSupportedBody(Operation& op, LONG lLunCount, LONG lContext, VDS_LUN_INFORMATION* pLunInformation,
                                 BOOL* pbIsSupported);
    // Sends the appliances' snapshot-set requests at once, on threads that
    // touch nothing of this object, and handles the answers on the caller's
    // thread in the access layer's order.
    Outcome CommitSnapshotsBody(Operation& op, const VSS_ID& snapshotSetId);
    Outcome GetTargetLunsBody(Operation& op, LONG lLunCount, VDS_LUN_INFORMATION* rgSourceLuns,
                              VDS_LUN_INFORMATION* rgDestinationLuns);
    Outcome LocateLunsBody(Operation& op, LONG lLunCount, VDS_LUN_INFORMATION* rgSourceLuns);
    Outcome FillInLunInfoBody(Operation& op, VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pLunInfo,
                              BOOL* pbIsSupported);
    Outcome OnLunEmptyBody(Operation& op, const std::string& device, VDS_LUN_INFORMATION* pInformation);
    Outcome OnLunStateChangeBody(Operation& op, VDS_LUN_INFORMATION* pSnapshotLuns, DWORD dwCount, DWORD dwFlags);
    Outcome ResyncLunsBody(Operation& op, VDS_LUN_INFORMATION* pSourceLuns, VDS_LUN_INFORMATION* pTargetLuns,
                           DWORD dwCount);
    // Each appliance's cache, then its listing, before the next appliance.
    static bool FindVolumeOnEachArray(const std::list<Korvel::KArray*>& arrays, std::string& volumeId,
                                      Korvel::KArray*& array, Korvel::KVolume*& volume);
    // Every appliance's cache first; only then, if the last answer was "not
    // cached", every appliance's listings.
    static bool FindSnapshotVolumeTwoPass(const std::list<Korvel::KArray*>& arrays, std::string& snapshotId,
                                          Korvel::KArray*& array, Korvel::KVolume*& volume);
    // The same, or the line and the event `event` that say the snapshot is
    // on no appliance.
    static bool FindSnapshotOrReport(const std::list<Korvel::KArray*>& arrays, std::string& snapshotId, int event,
                                     Korvel::KArray*& array, Korvel::KVolume*& volume);
    // Each appliance's cache, then every appliance's listings.
    static bool FindVolumeTwoPass(const std::list<Korvel::KArray*>& arrays, std::string& volumeId,
                                  Korvel::KVolume*& volume);
    // The host entry of this host's initiator on the appliance; throws
    // KException with `failure` when there is none.
    std::string ServerIdForHost(Korvel::KArray* array, const char* failure);
    void UnmapAndDeleteVolume(Korvel::KArray* array, Korvel::KVolume* volume);
    // Unmaps (when mapped to `serverId`) and deletes a clone this host cannot
    // use; "" when it is gone, otherwise why it stays.
    std::string DiscardClone(Korvel::KArray* array, Korvel::KVolume* clone, std::string serverId);
    // Deletes the snapshots a set's commit made, for AbortSnapshots and a
    // commit whose answer cannot be trusted; false when one stays.
    bool DeleteCreatedSnapshots(KorvelSnapshotSet& set, Korvel::KArray* onlyArray);
    // The clone OnLunEmpty is asked to release: the one the device showed
    // FillInLunInfo, else the one clone of the tagged snapshot.
    std::string CloneToRelease(const std::string& device, const std::string& snapshotId, bool& released);
    // First appliance whose cache holds the volume (no request).
    bool FindCachedVolume(const std::list<Korvel::KArray*>& arrays, std::string& volumeId, Korvel::KArray*& array,
                          Korvel::KVolume*& volume);

    ULONG m_refCount = 0;  // single-threaded model: one call at a time
    IUnknown* m_pOuterUnknown;
    InnerUnknown m_innerUnknown;

    std::string m_hostIqn;
    std::unique_ptr<Korvel::KAccessLayer> m_accessLayer;
    std::vector<std::unique_ptr<KorvelSnapshotSet>> m_snapshotSets;
    // The clones FillInLunInfo met, by the clone volume's LUN IEEE ID: one
    // snapshot may be exposed by several clones, and releasing one must never
    // touch another.
    struct CloneRecord {
        std::string snapshotId;
        bool released = false;
    };
    std::map<std::string, CloneRecord> m_cloneIdMap;
    // The clone each device name showed when FillInLunInfo last met it.
    std::map<std::string, std::string> m_cloneDevices;
};

// Registers the provider's class object in this process's class table, so
// CoCreateInstance(CLSID_KorvelVSSProvider, CLSCTX_INPROC_SERVER) reaches it.
// Returns the registration cookie for CoRevokeClassObject.
HRESULT KorvelRegisterProviderClass(DWORD clsContext, DWORD* cookie);

// The class factory of the server module.
class CKorvelVSSProviderFactory final : public IClassFactory {
public:
    static CKorvelVSSProviderFactory* Instance();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    HRESULT LockServer(BOOL fLock) override;
};
