// Creating a shadow copy: which LUNs are ours, the snapshot-set records,
// the commit on the appliances and the description of the snapshot LUNs.
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "KorvelProvider.h"
#include "Logger.h"
#include "ProviderCommon.h"

using Korvel::KArray;
using Korvel::KVolume;
using korvel_provider::Operation;
using korvel_provider::Outcome;

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

// An exception out of the commit or the target description: a rejected
// argument and exhausted memory keep their own codes; anything else (an
// unreachable appliance, a refused command) failed the snapshot.
Outcome SnapshotFailure(const Operation& op, const std::exception& e) {
    HRESULT hr = korvel_provider::ArgumentOrMemoryResult(e);
    if (hr == S_OK) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot creation failed. Error: %s", e.what());
        SnapshotFailureEvent(e.what());
        hr = VSS_E_PROVIDER_VETO;
    }
    return op.Exit(hr);
}

// A failed look-up answers "not supported" rather than failing the request:
// another provider may still take the LUNs. The exit line tells why.
Outcome LookupFailure(const Operation& op, const std::exception& e) {
    HRESULT code = korvel_provider::ArgumentOrMemoryResult(e);
    if (code == S_OK) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Failed to check for the volume with the array. Exception %s",
                      e.what());
        // The LUN may well be ours, on an appliance that could not be asked:
        // the caller must learn why, not just "not supported".
        SnapshotFailureEvent(Korvel::FailureText(e).c_str());
        code = VSS_E_PROVIDER_VETO;
    }
    return op.ExitAnswering(code, S_OK);
}

// A snapshot recorded with part of its LUNs would be committed without
// them: exhausted memory must reach VSS.
Outcome RecordFailure(const Operation& op, const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) == nullptr) return op.LastResort(e);
    Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what());
    return op.Exit(E_OUTOFMEMORY);
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

bool CKorvelVSSProvider::FindVolumeTwoPass(const std::list<KArray*>& arrays, std::string& volumeId, KVolume*& volume) {
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
    return korvel_provider::RunOperation("AreLunsSupported", [&](Operation& op) {
        return AreLunsSupportedBody(op, lLunCount, lContext, pLunInformation, pbIsSupported);
    });
}

Outcome CKorvelVSSProvider::AreLunsSupportedBody(Operation& op, LONG lLunCount, LONG lContext,
                                                 VDS_LUN_INFORMATION* luns, BOOL* pbIsSupported) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::AreLunsSupported()");
    // A null out pointer or LUN array would bring the whole host down.
    if (pbIsSupported == nullptr || (luns == nullptr && lLunCount > 0))
        return op.Exit(E_POINTER, KLOG_ERROR, "Invalid pointer argument.");
    *pbIsSupported = FALSE;
    if (CheckCallerIsAdministrator() != S_OK) {
        korvel_provider::LogAuthorizationEvent();
        return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Authorization failure");
    }
    for (LONG i = 0; i < lLunCount; ++i) {
        if (luns[i].m_deviceIdDescriptor.m_rgIdentifiers == nullptr)
            return op.Exit(E_INVALIDARG, KLOG_ERROR, "Identifier information is null.");
    }

    op.MapFailures(LookupFailure);
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) {
        m_accessLayer->Refresh();
        m_accessLayer->GetArrays(arrays);
    }
    Logger::Write(KLOG_TRACE, kProviderComponent, "Lun Count: %ld", static_cast<long>(lLunCount));
    bool applianceLunSeen = false;
    for (LONG i = 0; i < lLunCount; ++i) {
        if (!Korvel::IsApplianceVendorId(luns[i].m_szVendorId)) continue;
        applianceLunSeen = true;
        if ((lContext & VSS_VOLSNAP_ATTR_PLEX) != 0) {
            Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_PLEX_UNSUPPORTED), "%s", "");
            return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Provider does not support plex snapshots");
        }
        if (arrays.empty()) {
            const Outcome none = op.Exit(VSS_E_PROVIDER_VETO, KLOG_WARNING, "No korvel array objects found");
            Logger::EventLog(1, 2, static_cast<int>(KORVEL_EVENT_NO_ARRAY), "%s", "");
            return none;
        }
        std::string lunIeeeId = Korvel::LunIeeeIdOf(luns[i]);
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
        return op.Exit(VSS_E_PROVIDER_VETO, KLOG_WARNING,
                       "No korvel array object for the corresponding korvel volume is found");
    }
    return op.Exit(S_OK);
}

// ---------------------------------------------------------------------------
// BeginPrepareSnapshot
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::BeginPrepareSnapshot(VSS_ID SnapshotSetId, VSS_ID SnapshotId, LONG, LONG lLunCount,
                                                 VSS_PWSZ*, VDS_LUN_INFORMATION* luns) {
    return korvel_provider::RunOperation("BeginPrepareSnapshot", [&](Operation& op) {
        Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::BeginPrepareSnapshot()");
        if (luns == nullptr && lLunCount > 0) return op.Exit(E_POINTER, KLOG_ERROR, "Invalid pointer argument.");
        for (LONG i = 0; i < lLunCount; ++i) {
            if (luns[i].m_deviceIdDescriptor.m_rgIdentifiers == nullptr)
                return op.Exit(
                    E_INVALIDARG, KLOG_ERROR,
                    "LunInfo is null for LUN with Id '" + korvel_provider::TextOf(luns[i].m_szSerialNumber) + "'");
        }
        op.MapFailures(RecordFailure);
        KorvelSnapshotSet* set = FindSnapshotSet(SnapshotSetId);
        if (set == nullptr) {
            set = AddSnapshotSet(std::make_unique<KorvelSnapshotSet>(SnapshotSetId));
            Logger::Write(KLOG_DEBUG, kProviderComponent, "New snapshot set added");
        }
        if (set->FindShadowCopy(SnapshotId) == nullptr) {
            KorvelShadowCopy* shadowCopy = set->AddShadowCopy(std::make_unique<KorvelShadowCopy>(SnapshotId));
            for (LONG i = 0; i < lLunCount; ++i) {
                std::string lunIeeeId = Korvel::LunIeeeIdOf(luns[i]);
                Logger::Write(KLOG_TRACE, kProviderComponent, "LUN IEEE ID: %s", lunIeeeId.c_str());
                shadowCopy->AddLun(lunIeeeId);
                Logger::Write(KLOG_INFO, kProviderComponent, "Volume(%s) added to shadow copy list", lunIeeeId.c_str());
            }
        }
        return op.Exit(S_OK);
    });
}

// ---------------------------------------------------------------------------
// CommitSnapshots
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::CommitSnapshots(VSS_ID SnapshotSetId) {
    return korvel_provider::RunOperation("CommitSnapshots",
                                         [&](Operation& op) { return CommitSnapshotsBody(op, SnapshotSetId); });
}

Outcome CKorvelVSSProvider::CommitSnapshotsBody(Operation& op, const VSS_ID& snapshotSetId) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::CommitSnapshots()");
    op.MapFailures(SnapshotFailure);
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) m_accessLayer->GetArrays(arrays);

    KorvelSnapshotSet* set = FindSnapshotSet(snapshotSetId);
    if (set == nullptr) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot set not found. Error Condition");
        return op.Exit(S_OK);
    }

    auto internalError = [&op](const char* eventText, const std::string& volumeId) {
        Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE), eventText, volumeId.c_str());
        return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Internal Error.");
    };

    // Volumes grouped by appliance; equal keys keep the announcement order.
    std::multimap<KArray*, KVolume*> grouping;
    for (const auto& shadowCopy : set->m_snapshots) {
        if (shadowCopy == nullptr) continue;
        std::vector<std::string> lunIds;
        shadowCopy->GetLuns(lunIds);
        for (std::string& lunId : lunIds) {
            KArray* array = nullptr;
            KVolume* volume = nullptr;
            if (!FindCachedVolume(arrays, lunId, array, volume)) return internalError(kNoArrayFor32Blanks, lunId);
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
            if (array->GetVolumeByID(volumeId, volume) != 0 || volume == nullptr)
                return internalError(kNoArrayForTenTabs, volumeId);
            if (volume->AddCreatedSnapshot(*snapIt) != 0) {
                Logger::Write(KLOG_ERROR, kProviderComponent, "Snapshot creation failed. Error: %s", kCreateFailed);
                SnapshotFailureEvent(kCreateFailed);
                return op.Silent(VSS_E_PROVIDER_VETO);  // this end has never had an exit line
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
    return op.Exit(hr);
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
    return korvel_provider::RunOperation("AbortSnapshots", [&](Operation& op) {
        // A set that was never committed has nothing on the appliances.
        KorvelSnapshotSet* set = FindSnapshotSet(SnapshotSetId);
        if (set == nullptr || set->m_created.empty()) return op.Silent(S_OK);
        Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::AbortSnapshots()");
        return op.Exit(DeleteCreatedSnapshots(*set, nullptr) ? S_OK : VSS_E_PROVIDER_VETO);
    });
}

// ---------------------------------------------------------------------------
// GetTargetLuns
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::GetTargetLuns(LONG lLunCount, VSS_PWSZ*, VDS_LUN_INFORMATION* rgSourceLuns,
                                          VDS_LUN_INFORMATION* rgDestinationLuns) {
    return korvel_provider::RunOperation("GetTargetLuns", [&](Operation& op) {
        return GetTargetLunsBody(op, lLunCount, rgSourceLuns, rgDestinationLuns);
    });
}

Outcome CKorvelVSSProvider::GetTargetLunsBody(Operation& op, LONG lLunCount, VDS_LUN_INFORMATION* sources,
                                              VDS_LUN_INFORMATION* destinations) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::GetTargetLuns()");
    op.MapFailures(SnapshotFailure);
    if ((sources == nullptr || destinations == nullptr) && lLunCount > 0)
        return op.Exit(E_POINTER, KLOG_ERROR, "Invalid pointer argument.");
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) m_accessLayer->GetArrays(arrays);
    auto outOfMemory = [&op]() { return op.Exit(E_OUTOFMEMORY, KLOG_ERROR, "Memory allocation failure"); };

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

        std::string lunIeeeId = Korvel::LunIeeeIdOf(source);
        Logger::Write(KLOG_DEBUG, kProviderComponent, "Source LUN IEEE ID: %s", lunIeeeId.c_str());
        KArray* array = nullptr;
        KVolume* volume = nullptr;
        if (!FindCachedVolume(arrays, lunIeeeId, array, volume)) {
            Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE),
                             "Internal Error. No Korvel Array object, owning the volume Id '%s' found.",
                             lunIeeeId.c_str());
            return op.Exit(VSS_E_PROVIDER_VETO);
        }
        std::string snapshotId;
        volume->GetLatestSnapshotID(snapshotId);
        Logger::Write(KLOG_DEBUG, kProviderComponent, "Latest snapID for volume %s is %s", lunIeeeId.c_str(),
                      snapshotId.c_str());
        if (!korvel_provider::ReplaceFieldText(target.m_szSerialNumber, snapshotId)) return outOfMemory();
        target.m_diskSignature = GUID_NULL;
        target.m_deviceIdDescriptor.m_version = source.m_deviceIdDescriptor.m_version;
        if (Korvel::SetProviderTag(target, snapshotId) != S_OK) return outOfMemory();
        korvel_provider::ClearInterconnects(target);
    }
    return op.Exit(S_OK);
}
