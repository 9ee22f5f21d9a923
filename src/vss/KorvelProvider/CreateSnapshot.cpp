// Creating a shadow copy: which LUNs are ours, the snapshot-set records,
// the commit on the appliances and the description of the snapshot LUNs.
#include <exception>
#include <list>
#include <map>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "KorvelProvider.h"
#include "Logger.h"
#include "ProviderCommon.h"

using Korvel::KArray;
using Korvel::KVolume;
using korvel_provider::Hex;

namespace {

const char* const kNoArrayFor32Blanks =
    "Internal Error. No Korvel array object, owning the volume Id '%s' found."
    "                                "
    "Restart the KorvelProvider service and try again";
const char* const kNoArrayForTenTabs =
    "Internal Error. No Korvel array object, owning the volume Id '%s' found."
    "\t\t\t\t\t\t\t\t\t\t"
    "Restart the KorvelProvider service and try again";
const char* const kCreateFailed = "Internal error while creating snapshot";

void SnapshotFailureEvent(const char* text) {
    Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE), "%s", text);
}

// The result of an exception out of the commit or the target description:
// a rejected argument and exhausted memory keep their own codes; anything
// else (an unreachable appliance, a refused command) failed the snapshot.
HRESULT SnapshotExceptionResult(const std::exception& e) {
    if (dynamic_cast<const std::invalid_argument*>(&e) != nullptr || dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
        return dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? E_OUTOFMEMORY : E_INVALIDARG;
    }
    Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot creation failed. Error: %s", e.what());
    SnapshotFailureEvent(e.what());
    return VSS_E_PROVIDER_VETO;
}

// One appliance's snapshot-set request and its outcome. A request runs on a
// thread of its own and touches nothing but this record and its appliance's
// KArray and connection, which no other request uses.
struct ApplianceRequest {
    KArray* array = nullptr;
    KVolume* firstVolume = nullptr;  // recorded with the snapshots, for the abort
    std::list<std::string*> volIDs;
    std::list<std::string*> cgIDs;
    std::list<std::string> snapIDs;
    int result = 0;
    std::exception_ptr failure;  // rethrown on the caller's thread, in appliance order

    void Send() noexcept {
        try {
            result = KVolume::CreateSnapshotSet(array, volIDs, cgIDs, &snapIDs);
        } catch (...) {
            failure = std::current_exception();
        }
    }
};

// Sends every request at once and returns when all have returned: the
// filesystems held for the commit wait for the slowest appliance, not for
// the sum of them. The first request runs on the calling thread, and so does
// any whose thread cannot be started. No thread outlives the call. The
// access library's own lines of a request are written when they happen, from
// its thread: at the default level a request that succeeds writes none, and a
// failing one's detail must reach the log even if the process dies waiting.
void SendConcurrently(std::vector<ApplianceRequest>& requests) {
    if (requests.empty()) return;
    std::vector<std::thread> threads;
    std::vector<ApplianceRequest*> here;
    threads.reserve(requests.size());
    here.reserve(requests.size());
    here.push_back(&requests.front());
    for (size_t i = 1; i < requests.size(); ++i) {
        try {
            threads.emplace_back(&ApplianceRequest::Send, &requests[i]);
        } catch (const std::system_error&) {
            here.push_back(&requests[i]);
        }
    }
    for (ApplianceRequest* request : here) request->Send();
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

bool CKorvelVSSProvider::FindVolumeTwoPass(const std::list<KArray*>& arrays, std::string& volumeId,
                                           KVolume*& volume) {
    volume = nullptr;
    int result = 2;
    for (KArray* array : arrays) {
        volume = nullptr;
        result = array->GetVolumeByID(volumeId, volume);
        if (result == 0) return true;
    }
    if (result != 2) return false;
    korvel_provider::ApplianceSearch search;
    for (KArray* array : arrays) {
        volume = nullptr;
        if (search.Ask(array, [&] { return array->GetVolumeByIDFromArray(volumeId, volume) == 0; })) return true;
    }
    volume = nullptr;
    search.NotFound();
    return false;
}

bool CKorvelVSSProvider::FindCachedVolume(const std::list<KArray*>& arrays, std::string& volumeId, KArray*& array,
                                          KVolume*& volume) {
    for (KArray* candidate : arrays) {
        volume = nullptr;
        if (candidate->GetVolumeByID(volumeId, volume) == 0 && volume != nullptr) {
            array = candidate;
            return true;
        }
    }
    volume = nullptr;
    return false;
}

// ---------------------------------------------------------------------------
// AreLunsSupported
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::AreLunsSupported(LONG lLunCount, LONG lContext, VSS_PWSZ*,
                                             VDS_LUN_INFORMATION* pLunInformation, BOOL* pbIsSupported) {
    try {
        return AreLunsSupportedBody(lLunCount, lContext, pLunInformation, pbIsSupported);
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
        return VSS_E_PROVIDER_VETO;
    }
}

HRESULT CKorvelVSSProvider::AreLunsSupportedBody(LONG lLunCount, LONG lContext, VDS_LUN_INFORMATION* luns,
                                                 BOOL* pbIsSupported) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::AreLunsSupported()");
    // A null out pointer or LUN array would bring the whole host down.
    if (pbIsSupported == nullptr || (luns == nullptr && lLunCount > 0)) {
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Exiting CKorvelVSSProvider::AreLunsSupported(%x). Invalid pointer argument.", Hex(E_POINTER));
        return E_POINTER;
    }
    *pbIsSupported = FALSE;
    if (CheckCallerIsAdministrator() != S_OK) {
        korvel_provider::LogAuthorizationEvent();
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Exiting CKorvelVSSProvider::AreLunsSupported(%x). Authorization failure",
                      Hex(VSS_E_PROVIDER_VETO));
        return VSS_E_PROVIDER_VETO;
    }
    for (LONG i = 0; i < lLunCount; ++i) {
        if (luns[i].m_deviceIdDescriptor.m_rgIdentifiers == nullptr) {
            Logger::Write(KLOG_ERROR, kProviderComponent,
                          "Exiting CKorvelVSSProvider::AreLunsSupported(%x). Identifier information is null.",
                          Hex(E_INVALIDARG));
            return E_INVALIDARG;
        }
    }

    HRESULT code = S_OK;
    try {
        std::list<KArray*> arrays;
        if (m_pAccessLayer != nullptr) {
            m_pAccessLayer->Refresh();
            m_pAccessLayer->GetArrays(arrays);
        }
        Logger::Write(KLOG_TRACE, kProviderComponent, "Lun Count: %ld", static_cast<long>(lLunCount));
        bool applianceLunSeen = false;
        for (LONG i = 0; i < lLunCount; ++i) {
            if (!IsApplianceVendorId(luns[i].m_szVendorId)) continue;
            applianceLunSeen = true;
            if ((lContext & VSS_VOLSNAP_ATTR_PLEX) != 0) {
                Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_PLEX_UNSUPPORTED), "%s", "");
                Logger::Write(KLOG_ERROR, kProviderComponent,
                              "Exiting CKorvelVSSProvider::AreLunsSupported(%x). Provider does not support plex "
                              "snapshots",
                              Hex(VSS_E_PROVIDER_VETO));
                return VSS_E_PROVIDER_VETO;
            }
            if (arrays.empty()) {
                Logger::Write(KLOG_WARNING, kProviderComponent,
                              "Exiting CKorvelVSSProvider::AreLunsSupported(%x). No korvel array objects found",
                              Hex(VSS_E_PROVIDER_VETO));
                Logger::EventLog(1, 2, static_cast<int>(KORVEL_EVENT_NO_ARRAY), "%s", "");
                return VSS_E_PROVIDER_VETO;
            }
            std::string lunIeeeId;
            GetLunIeeeId(luns[i], lunIeeeId);
            Logger::Write(KLOG_INFO, kProviderComponent, "LUN IEEE ID: %s", lunIeeeId.c_str());

            KVolume* volume = nullptr;
            if (FindVolumeTwoPass(arrays, lunIeeeId, volume)) {
                *pbIsSupported = TRUE;
                Logger::Write(KLOG_INFO, kProviderComponent, "Identified volume with IEEE ID %s as a korvel volume",
                              lunIeeeId.c_str());
            }
        }
        if (applianceLunSeen && !*pbIsSupported) {
            Logger::EventLog(1, 2, static_cast<int>(KORVEL_EVENT_NO_ARRAY), "%s", "");
            Logger::Write(KLOG_WARNING, kProviderComponent,
                          "Exiting CKorvelVSSProvider::AreLunsSupported(%x). No korvel array object for the "
                          "corresponding korvel volume is found",
                          Hex(VSS_E_PROVIDER_VETO));
            return VSS_E_PROVIDER_VETO;
        }
    } catch (const std::invalid_argument& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
        code = E_INVALIDARG;
    } catch (const std::bad_alloc& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
        code = E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Failed to check for the volume with the array. Exception %s",
                      e.what());
        // The LUN may well be ours, on an appliance that could not be asked:
        // the caller must learn why, not just "not supported".
        SnapshotFailureEvent(Korvel::FailureText(e).c_str());
        code = VSS_E_PROVIDER_VETO;
    }
    // A failed look-up answers "not supported" rather than failing the
    // request: another provider may still take the LUNs.
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::AreLunsSupported(%x)", Hex(code));
    return S_OK;
}

// ---------------------------------------------------------------------------
// BeginPrepareSnapshot
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::BeginPrepareSnapshot(VSS_ID SnapshotSetId, VSS_ID SnapshotId, LONG, LONG lLunCount,
                                                 VSS_PWSZ*, VDS_LUN_INFORMATION* luns) {
    try {
        Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::BeginPrepareSnapshot()");
        if (luns == nullptr && lLunCount > 0) {
            Logger::Write(KLOG_ERROR, kProviderComponent,
                          "Exiting CKorvelVSSProvider::BeginPrepareSnapshot(%x). Invalid pointer argument.",
                          Hex(E_POINTER));
            return E_POINTER;
        }
        for (LONG i = 0; i < lLunCount; ++i) {
            if (luns[i].m_deviceIdDescriptor.m_rgIdentifiers == nullptr) {
                Logger::Write(KLOG_ERROR, kProviderComponent,
                              "Exiting CKorvelVSSProvider::BeginPrepareSnapshot(%x). LunInfo is null for LUN with Id "
                              "'%s'",
                              Hex(E_INVALIDARG), korvel_provider::TextOf(luns[i].m_szSerialNumber).c_str());
                return E_INVALIDARG;
            }
        }
        try {
            KorvelSnapshotSet* set = FindSnapshotSet(SnapshotSetId);
            if (set == nullptr) {
                set = new KorvelSnapshotSet(SnapshotSetId);
                AddSnapshotSet(set);
                Logger::Write(KLOG_DEBUG, kProviderComponent, "New snapshot set added");
            }
            if (set->FindShadowCopy(SnapshotId) == nullptr) {
                auto* shadowCopy = new KorvelShadowCopy(SnapshotId);
                set->AddShadowCopy(shadowCopy);
                for (LONG i = 0; i < lLunCount; ++i) {
                    std::string lunIeeeId;
                    GetLunIeeeId(luns[i], lunIeeeId);
                    Logger::Write(KLOG_TRACE, kProviderComponent, "LUN IEEE ID: %s", lunIeeeId.c_str());
                    shadowCopy->AddLun(lunIeeeId);
                    Logger::Write(KLOG_INFO, kProviderComponent, "Volume(%s) added to shadow copy list",
                                  lunIeeeId.c_str());
                }
            }
        } catch (const std::bad_alloc& e) {
            // A snapshot recorded with part of its LUNs would be committed
            // without them: the failure must reach VSS.
            Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
            Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::BeginPrepareSnapshot(%x)",
                          Hex(E_OUTOFMEMORY));
            return E_OUTOFMEMORY;
        }
        Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::BeginPrepareSnapshot(%x)", 0u);
        return S_OK;
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
        return VSS_E_PROVIDER_VETO;
    }
}

// ---------------------------------------------------------------------------
// CommitSnapshots
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::CommitSnapshots(VSS_ID SnapshotSetId) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::CommitSnapshots()");
    HRESULT hr = S_OK;
    try {
        bool exitLogged = false;
        hr = CommitSnapshotsBody(SnapshotSetId, exitLogged);
        if (exitLogged) return hr;
    } catch (const std::exception& e) {
        hr = SnapshotExceptionResult(e);
    }
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::CommitSnapshots(%x)", Hex(hr));
    return hr;
}

// The failures that end the commit at once log their own exit and set
// `exitLogged`; otherwise the caller logs the ordinary exit line.
HRESULT CKorvelVSSProvider::CommitSnapshotsBody(const VSS_ID& snapshotSetId, bool& exitLogged) {
    std::list<KArray*> arrays;
    if (m_pAccessLayer != nullptr) m_pAccessLayer->GetArrays(arrays);

    KorvelSnapshotSet* set = FindSnapshotSet(snapshotSetId);
    if (set == nullptr) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot set not found. Error Condition");
        return S_OK;
    }

    auto internalError = [](const char* eventText, const std::string& volumeId) {
        Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE), eventText, volumeId.c_str());
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Exiting CKorvelVSSProvider::CommitSnapshots(%x). Internal Error.", Hex(VSS_E_PROVIDER_VETO));
    };

    // Volumes grouped by appliance; equal keys keep the announcement order.
    std::multimap<KArray*, KVolume*> grouping;
    for (KorvelShadowCopy* shadowCopy : set->m_snapshots) {
        if (shadowCopy == nullptr) continue;
        std::vector<std::string> lunIds;
        shadowCopy->GetLuns(lunIds);
        for (std::string& lunId : lunIds) {
            KArray* array = nullptr;
            KVolume* volume = nullptr;
            if (!FindCachedVolume(arrays, lunId, array, volume)) {
                internalError(kNoArrayFor32Blanks, lunId);
                exitLogged = true;
                return VSS_E_PROVIDER_VETO;
            }
            grouping.emplace(array, volume);
        }
    }

    // One request per appliance, in the access layer's order, each with its
    // volumes in announcement order.
    std::vector<ApplianceRequest> requests;
    requests.reserve(arrays.size());
    for (KArray* array : arrays) {
        auto range = grouping.equal_range(array);
        if (range.first == range.second) continue;
        ApplianceRequest& request = requests.emplace_back();
        request.array = array;
        request.firstVolume = range.first->second;
        for (auto it = range.first; it != range.second; ++it) {
            std::string* volID = nullptr;
            std::string* cgID = nullptr;
            it->second->GetVolumeID(volID);
            it->second->GetCgIDPtr(cgID);
            request.volIDs.push_back(volID);
            request.cgIDs.push_back(cgID);
        }
    }
    SendConcurrently(requests);

    // Whatever an answer named exists on its appliance now: an abort must find
    // it, also when an earlier appliance's failure ends the commit below.
    for (const ApplianceRequest& request : requests) {
        if (request.failure) continue;
        for (const std::string& id : request.snapIDs)
            set->m_created.push_back({request.array, request.firstVolume, id});
    }

    // The answers are handled appliance by appliance, in the order the
    // requests were once sent one after another, so the log and the events
    // read as they always did.
    HRESULT hr = S_OK;
    for (ApplianceRequest& request : requests) {
        if (request.failure) std::rethrow_exception(request.failure);
        KArray* array = request.array;
        const std::list<std::string*>& volIDs = request.volIDs;
        std::list<std::string>& snapIDs = request.snapIDs;
        const int created = request.result;
        if (created != 0) {
            hr = VSS_E_PROVIDER_VETO;
            Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot creation failed. Error: %s", kCreateFailed);
            SnapshotFailureEvent(kCreateFailed);
            continue;
        }
        if (snapIDs.size() != volIDs.size()) {
            // Pairing a short answer would describe some volumes by an older
            // snapshot: a set that mixes points in time is no shadow copy set.
            const std::string reason = "The array answered with " + std::to_string(snapIDs.size()) +
                                       " snapshot IDs for " + std::to_string(volIDs.size()) + " volumes";
            Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot creation failed. Error: %s", reason.c_str());
            SnapshotFailureEvent(reason.c_str());
            DeleteCreatedSnapshots(*set, array);
            hr = VSS_E_PROVIDER_VETO;
            continue;
        }
        auto snapIt = snapIDs.begin();
        for (auto volIt = volIDs.begin(); volIt != volIDs.end() && snapIt != snapIDs.end(); ++volIt, ++snapIt) {
            std::string volumeId = **volIt;
            KVolume* volume = nullptr;
            if (array->GetVolumeByID(volumeId, volume) != 0 || volume == nullptr) {
                internalError(kNoArrayForTenTabs, volumeId);
                exitLogged = true;
                return VSS_E_PROVIDER_VETO;
            }
            if (volume->AddCreatedSnapshot(*snapIt) != 0) {
                Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot creation failed. Error: %s", kCreateFailed);
                SnapshotFailureEvent(kCreateFailed);
                exitLogged = true;
                return VSS_E_PROVIDER_VETO;
            }
            Logger::Write(KLOG_INFO, kProviderComponent, "Snapshot(%s) created for volume(%s)", snapIt->c_str(),
                          volumeId.c_str());
            std::string displayName;
            volume->GetVolumeDispName(displayName);
            Logger::EventLog(2, 4, static_cast<int>(KORVEL_EVENT_SNAPSHOT_CREATED),
                             "Successfully created snapshot(%s) for korvel volume - %s", snapIt->c_str(),
                             displayName.c_str());
        }
    }
    return hr;
}

bool CKorvelVSSProvider::DeleteCreatedSnapshots(KorvelSnapshotSet& set, KArray* onlyArray) {
    bool allGone = true;
    auto& created = set.m_created;
    for (auto it = created.begin(); it != created.end();) {
        std::string snapshotId = it->snapshotId;
        if (onlyArray != nullptr && it->array != onlyArray) {
            ++it;
            continue;
        }
        std::string why;
        try {
            if (it->volume->DeleteSnapshot(snapshotId) == 0) {
                Logger::Write(KLOG_INFO, kProviderComponent, "Snapshot %s of an aborted snapshot set deleted",
                              snapshotId.c_str());
                it = created.erase(it);
                continue;
            }
            why = "the array did not answer as expected";
        } catch (const std::exception& e) {
            why = Korvel::FailureText(e);
        }
        Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot %s of an aborted snapshot set could not be deleted: %s",
                      snapshotId.c_str(), why.c_str());
        Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_DELETE_FAILURE),
                         "Snapshot %s of an aborted snapshot set could not be deleted: %s", snapshotId.c_str(),
                         why.c_str());
        allGone = false;
        ++it;
    }
    return allGone;
}

// ---------------------------------------------------------------------------
// AbortSnapshots
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::AbortSnapshots(VSS_ID SnapshotSetId) {
    try {
        // A set that was never committed has nothing on the appliances.
        KorvelSnapshotSet* set = FindSnapshotSet(SnapshotSetId);
        if (set == nullptr || set->m_created.empty()) return S_OK;
        Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::AbortSnapshots()");
        const HRESULT hr = DeleteCreatedSnapshots(*set, nullptr) ? S_OK : VSS_E_PROVIDER_VETO;
        Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::AbortSnapshots(%x)", Hex(hr));
        return hr;
    } catch (const std::exception& e) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
        return VSS_E_PROVIDER_VETO;
    }
}

// ---------------------------------------------------------------------------
// GetTargetLuns
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::GetTargetLuns(LONG lLunCount, VSS_PWSZ*, VDS_LUN_INFORMATION* rgSourceLuns,
                                          VDS_LUN_INFORMATION* rgDestinationLuns) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::GetTargetLuns()");
    HRESULT hr = S_OK;
    try {
        return GetTargetLunsBody(lLunCount, rgSourceLuns, rgDestinationLuns);
    } catch (const std::exception& e) {
        hr = SnapshotExceptionResult(e);
    }
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::GetTargetLuns(%x)", Hex(hr));
    return hr;
}

HRESULT CKorvelVSSProvider::GetTargetLunsBody(LONG lLunCount, VDS_LUN_INFORMATION* sources,
                                              VDS_LUN_INFORMATION* destinations) {
    if ((sources == nullptr || destinations == nullptr) && lLunCount > 0) {
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Exiting CKorvelVSSProvider::GetTargetLuns(%x). Invalid pointer argument.", Hex(E_POINTER));
        return E_POINTER;
    }
    std::list<KArray*> arrays;
    if (m_pAccessLayer != nullptr) m_pAccessLayer->GetArrays(arrays);
    auto outOfMemory = []() {
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Exiting CKorvelVSSProvider::GetTargetLuns(%x). Memory allocation failure", Hex(E_OUTOFMEMORY));
        return E_OUTOFMEMORY;
    };

    for (LONG i = 0; i < lLunCount; ++i) {
        Logger::Write(KLOG_TRACE, kProviderComponent, "LUN Count: %ld", static_cast<long>(lLunCount));
        const VDS_LUN_INFORMATION& source = sources[i];
        VDS_LUN_INFORMATION& target = destinations[i];
        if (source.m_deviceIdDescriptor.m_rgIdentifiers == nullptr) {
            Logger::Write(KLOG_ERROR, kProviderComponent, "Source LUN devicd ID information is null or invalid for %s",
                          korvel_provider::TextOf(source.m_szSerialNumber).c_str());
            continue;
        }
        target.m_version = VER_VDS_LUN_INFORMATION;
        target.m_DeviceType = source.m_DeviceType;
        target.m_DeviceTypeModifier = source.m_DeviceTypeModifier;
        target.m_bCommandQueueing = source.m_bCommandQueueing;
        target.m_BusType = source.m_BusType;
        std::string product = korvel_provider::TextOf(source.m_szProductId);
        size_t dash = product.rfind('-');
        if (dash != std::string::npos) product.erase(dash);
        if (!korvel_provider::ReplaceFieldText(target.m_szVendorId, korvel_provider::TextOf(source.m_szVendorId)) ||
            !korvel_provider::ReplaceFieldText(target.m_szProductId, product) ||
            !korvel_provider::ReplaceFieldText(target.m_szProductRevision,
                                               korvel_provider::TextOf(source.m_szProductRevision)))
            return outOfMemory();

        std::string lunIeeeId;
        GetLunIeeeId(source, lunIeeeId);
        Logger::Write(KLOG_DEBUG, kProviderComponent, "Source LUN IEEE ID: %s", lunIeeeId.c_str());
        KArray* array = nullptr;
        KVolume* volume = nullptr;
        if (!FindCachedVolume(arrays, lunIeeeId, array, volume)) {
            Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE),
                             "Internal Error. No Korvel Array object, owning the volume Id '%s' found.",
                             lunIeeeId.c_str());
            Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::GetTargetLuns(%x)",
                          Hex(VSS_E_PROVIDER_VETO));
            return VSS_E_PROVIDER_VETO;
        }
        std::string snapshotId;
        volume->GetLatestSnapshotID(snapshotId);
        Logger::Write(KLOG_DEBUG, kProviderComponent, "Latest snapID for volume %s is %s", lunIeeeId.c_str(),
                      snapshotId.c_str());
        if (!korvel_provider::ReplaceFieldText(target.m_szSerialNumber, snapshotId)) return outOfMemory();
        target.m_diskSignature = GUID_NULL;
        target.m_deviceIdDescriptor.m_version = source.m_deviceIdDescriptor.m_version;
        if (SetProviderTag(target, snapshotId) != S_OK) return outOfMemory();
        korvel_provider::ClearInterconnects(target);
    }
    Logger::Write(KLOG_INFO, kProviderComponent, "Exiting CKorvelVSSProvider::GetTargetLuns(%x)", 0u);
    return S_OK;
}
