// Exposing, releasing and rolling back shadow copies: clones of appliance
// snapshots mapped to this host, recognised when the host meets them, and
// deleted again; volumes rolled back to a snapshot.
#include <cstring>
#include <stdexcept>

#include "KorvelProvider.h"
#include "Logger.h"
#include "NodeFacts.h"
#include "ProviderCommon.h"
#include "storage.h"

using Korvel::KArray;
using Korvel::KException;
using Korvel::KVolume;
using korvel_provider::Operation;
using korvel_provider::Outcome;

namespace {

const char* const kNoArrayFor16Blanks =
    "Internal Error. No Korvel Array object, owning the volume Id '%s' found."
    "                "
    "Restart the KorvelProvider service and try again";

// No appliance holds the volume the host showed us.
Outcome NoArrayOwns(const Operation& op, const std::string& volumeId) {
    Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE), kNoArrayFor16Blanks, volumeId.c_str());
    return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Internal Error.");
}

void LogWhat(const std::exception& e) { Logger::Write(KLOG_ERROR, kProviderComponent, "%s", e.what()); }

// What an exception out of each operation's work means. A rejected argument
// and exhausted memory keep their own codes everywhere they are mapped.

// Mapping the clones: an appliance's refusal or silence is a map failure;
// anything else is the last resort's.
Outcome MapFailure(const Operation& op, const std::exception& e) {
    HRESULT hr = korvel_provider::ArgumentOrMemoryResult(e);
    if (hr == S_OK) {
        if (dynamic_cast<const KException*>(&e) == nullptr) return op.LastResort(e);
        Logger::Write(KLOG_ERROR, kProviderComponent, "Failed to map volume with the host. Error: %s", e.what());
        Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_MAP_FAILURE), "%s", e.what());
        hr = VSS_E_PROVIDER_VETO;
    }
    return op.Exit(hr);
}

Outcome DescribeFailure(const Operation& op, const std::exception& e) {
    HRESULT hr = korvel_provider::ArgumentOrMemoryResult(e);
    if (hr == S_OK) {
        LogWhat(e);
        hr = VSS_E_PROVIDER_VETO;
    }
    return op.Exit(hr);
}

Outcome ReleaseFailure(const Operation& op, const std::exception& e) {
    HRESULT hr = korvel_provider::ArgumentOrMemoryResult(e);
    if (hr == S_OK) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Failed to delete the snapshot");
        Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_DELETE_FAILURE), "%s", e.what());
        hr = VSS_E_PROVIDER_VETO;
    }
    return op.Exit(hr);
}

// Masking answers S_OK whatever happens.
Outcome MaskFailure(const Operation& op, const std::exception& e) {
    LogWhat(e);
    return op.Exit(S_OK);
}

// Unreachable appliance, refused rollback, bad argument: the volume was not
// rolled back, and VSS must hear so.
Outcome ResyncFailure(const Operation& op, const std::exception& e) {
    LogWhat(e);
    return op.Exit(VSS_E_PROVIDER_VETO);
}

}  // namespace

// ---------------------------------------------------------------------------
// Look-ups and the unmap-and-delete step the operations share
// ---------------------------------------------------------------------------

bool CKorvelVSSProvider::FindVolumeOnEachArray(const std::list<KArray*>& arrays, std::string& volumeId, KArray*& array,
                                               KVolume*& volume) {
    volume = nullptr;
    korvel_provider::ApplianceSearch search;
    for (KArray* candidate : arrays) {
        const bool found = search.Ask(candidate, [&] {
            int result = candidate->GetVolumeByID(volumeId, volume);
            if (result == 2) {
                volume = nullptr;
                result = candidate->GetVolumeByIDFromArray(volumeId, volume);
            }
            return result == 0 && volume != nullptr;
        });
        if (found) {
            array = candidate;
            return true;
        }
        volume = nullptr;
    }
    search.NotFound();
    return false;
}

bool CKorvelVSSProvider::FindSnapshotOrReport(const std::list<KArray*>& arrays, std::string& snapshotId, int event,
                                              KArray*& array, KVolume*& volume) {
    if (FindSnapshotVolumeTwoPass(arrays, snapshotId, array, volume)) return true;
    Logger::Write(KLOG_INFO, kProviderComponent, "Snapshot(%s) does not exist in any korvel array", snapshotId.c_str());
    Logger::EventLog(1, 1, event, "%s", snapshotId.c_str());
    return false;
}

bool CKorvelVSSProvider::FindSnapshotVolumeTwoPass(const std::list<KArray*>& arrays, std::string& snapshotId,
                                                   KArray*& array, KVolume*& volume) {
    int last = 2;
    for (KArray* candidate : arrays) {
        volume = nullptr;
        last = candidate->GetVolumeBySnapID(snapshotId, volume);
        if (last == 0 && volume != nullptr) {
            array = candidate;
            return true;
        }
    }
    if (last == 2) {
        korvel_provider::ApplianceSearch search;
        for (KArray* candidate : arrays) {
            volume = nullptr;
            if (search.Ask(candidate, [&] {
                    return candidate->GetVolumeBySnapIDFromArray(snapshotId, volume) == 0 && volume != nullptr;
                })) {
                array = candidate;
                return true;
            }
        }
        search.NotFound();
    }
    volume = nullptr;
    return false;
}

std::string CKorvelVSSProvider::ServerIdForHost(KArray* array, const char* failure) {
    KorvelHostInfo::GetIQN(m_hostIqn);
    Logger::Write(KLOG_INFO, kProviderComponent, "Host IQN: %s", m_hostIqn.c_str());
    std::string serverId;
    if (array->GetServerIDByIQN(m_hostIqn, serverId) == 2) array->GetServerIDByIQNFromArray(m_hostIqn, serverId);
    if (serverId.empty()) throw KException(failure);
    Logger::Write(KLOG_INFO, kProviderComponent, "Server ID: %s", serverId.c_str());
    return serverId;
}

void CKorvelVSSProvider::UnmapAndDeleteVolume(KArray* array, KVolume* volume) {
    std::string serverId = ServerIdForHost(array, "Unable to get the serverID to unmap the volume");
    std::string volumeName;
    if (volume->GetVolumeName(volumeName) == 0 && array->DetachVolume(volumeName, serverId) == 0)
        Logger::Write(KLOG_INFO, kProviderComponent, "Volume %s successfully detached from host with iqn %s",
                      volumeName.c_str(), m_hostIqn.c_str());
    // Deleted even when the detach failed: the appliance refuses a mapped volume itself.
    if (array->DeleteVolume(volumeName) == 0)
        Logger::Write(KLOG_INFO, kProviderComponent, "Volume %s successfully deleted from array", volumeName.c_str());
}

std::string CKorvelVSSProvider::DiscardClone(KArray* array, KVolume* clone, std::string serverId) {
    std::string volumeName;
    clone->GetVolumeName(volumeName);
    try {
        // The attach may have been carried out with its answer lost.
        if (!serverId.empty()) array->DetachVolume(volumeName, serverId);
    } catch (const std::exception&) {
        // Not mapped: the appliance refuses the detach, which is what we want.
    }
    std::string why;
    try {
        if (array->DeleteVolume(volumeName) == 0) {
            Logger::Write(KLOG_INFO, kProviderComponent, "Volume %s successfully deleted from array",
                          volumeName.c_str());
            return std::string();
        }
        why = "the array did not answer as expected";
    } catch (const std::exception& e) {
        why = Korvel::FailureText(e);
    }
    return "; the volume clone " + volumeName + " could not be deleted: " + why;
}

// ---------------------------------------------------------------------------
// LocateLuns
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::LocateLuns(LONG lLunCount, VDS_LUN_INFORMATION* rgSourceLuns) {
    return korvel_provider::RunOperation("LocateLuns",
                                         [&](Operation& op) { return LocateLunsBody(op, lLunCount, rgSourceLuns); });
}

Outcome CKorvelVSSProvider::LocateLunsBody(Operation& op, LONG lLunCount, VDS_LUN_INFORMATION* luns) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::LocateLuns()");
    if (CheckCallerIsAdministrator() != S_OK) {
        korvel_provider::LogAuthorizationEvent();
        return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Authorization failure");
    }
    if (luns == nullptr || (lLunCount > 0 && luns[0].m_deviceIdDescriptor.m_rgIdentifiers == nullptr))
        return op.Exit(E_INVALIDARG, KLOG_ERROR, "Lun information is null");
    op.MapFailures(MapFailure);
    HRESULT hr = S_OK;
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) {
        m_accessLayer->Refresh();
        m_accessLayer->GetArrays(arrays);
    }
    Logger::Write(KLOG_TRACE, kProviderComponent, "LUN Count: %ld", static_cast<long>(lLunCount));
    for (LONG i = 0; i < lLunCount; ++i) {
        std::string snapshotId = korvel_provider::TextOf(luns[i].m_szSerialNumber);
        KArray* array = nullptr;
        KVolume* volume = nullptr;
        if (!FindSnapshotOrReport(arrays, snapshotId, static_cast<int>(KORVEL_EVENT_SNAPSHOT_MISSING), array, volume)) {
            hr = VSS_E_PROVIDER_VETO;
            break;
        }
        std::string cgId;
        if (volume->GetCgID(cgId) != 0) continue;
        KVolume* clone = nullptr;
        if (array->CloneVolume(cgId, snapshotId, clone) != 0 || clone == nullptr) {
            Logger::Write(KLOG_ERROR, kProviderComponent,
                          "Volume clone creation failed. Error: Internal error while creating volume Copy");
            Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_SNAPSHOT_FAILURE),
                             "Volume clone creation: Internal error while creating volume clone");
            hr = VSS_E_PROVIDER_VETO;
            continue;
        }
        // A clone this host never sees would never reach FillInLunInfo,
        // so nothing would ever release it: one that cannot be mapped goes.
        std::string serverId;
        std::string unmapped;
        if (luns[i].m_BusType == VDSBusTypeiScsi) {
            try {
                serverId = ServerIdForHost(array, "Unable to get the serverID to map the volume");
                std::string volumeName;
                if (clone->GetVolumeName(volumeName) != 0)
                    unmapped = "The name of the volume clone for snapshot " + snapshotId + " is unknown";
                else if (array->AttachVolume(volumeName, serverId) != 0)
                    unmapped = "The array did not map volume " + volumeName + " to the host";
                else
                    Logger::Write(KLOG_INFO, kProviderComponent, "Volume %s mapped to host with iqn %s",
                                  volumeName.c_str(), m_hostIqn.c_str());
            } catch (const KException& e) {
                unmapped = Korvel::FailureText(e);
                if (serverId.empty()) {
                    // No host entry: no later LUN can be mapped either.
                    unmapped += DiscardClone(array, clone, serverId);
                    throw KException(unmapped);
                }
            }
        } else {
            if (luns[i].m_BusType == VDSBusTypeFibre) Logger::Write(KLOG_ERROR, kProviderComponent, "Invalid bus type");
            unmapped = "Invalid bus type " + std::to_string(static_cast<int>(luns[i].m_BusType)) +
                       ": only iSCSI LUNs are mapped to the host";
        }
        if (!unmapped.empty()) {
            unmapped += DiscardClone(array, clone, serverId);
            Logger::Write(KLOG_ERROR, kProviderComponent, "Failed to map volume with the host. Error: %s",
                          unmapped.c_str());
            Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_MAP_FAILURE), "%s", unmapped.c_str());
            hr = VSS_E_PROVIDER_VETO;
        }
    }
    return op.Exit(hr);
}

// ---------------------------------------------------------------------------
// FillInLunInfo
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::FillInLunInfo(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pLunInfo, BOOL* pbIsSupported) {
    return korvel_provider::RunOperation(
        "FillInLunInfo", [&](Operation& op) { return FillInLunInfoBody(op, wszDeviceName, pLunInfo, pbIsSupported); });
}

Outcome CKorvelVSSProvider::FillInLunInfoBody(Operation& op, VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* lun,
                                              BOOL* pbIsSupported) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::FillInLunInfo()");
    // Null arguments would bring the whole host down.
    if (pbIsSupported == nullptr || lun == nullptr || wszDeviceName == nullptr)
        return op.Exit(E_POINTER, KLOG_ERROR, "Invalid pointer argument.");
    *pbIsSupported = FALSE;
    if (CheckCallerIsAdministrator() != S_OK) {
        korvel_provider::LogAuthorizationEvent();
        return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Authorization failure");
    }
    const std::string device = korvel_provider::NarrowDeviceName(wszDeviceName);
    Logger::Write(KLOG_INFO, kProviderComponent, "DeviceName: '%s'", device.c_str());

    auto ignore = [&op, &device]() {
        Logger::Write(KLOG_INFO, kProviderComponent, "Ignoring FillInLunInfo request for device %s", device.c_str());
        return op.Exit(S_OK);
    };
    const Korvel::KDeviceHandle handle = Korvel::OpenDevice(device);
    if (!handle) {
        Logger::Write(KLOG_ERROR, kProviderComponent, "Cannot open device '%s'. [CreateFile() error: %d]",
                      device.c_str(), static_cast<int>(GetLastError()));
        return ignore();
    }
    std::string vendor, product, revision, serial;
    if (Korvel::RequestPage80Info(device, handle.get(), vendor, product, revision, serial) != S_OK) return ignore();
    Korvel::RightTrim(vendor);
    if (!Korvel::IsApplianceVendorId(vendor.c_str())) {
        Logger::Write(KLOG_INFO, kProviderComponent, "Device %s not a korvel volume", device.c_str());
        return op.Exit(S_OK);
    }
    if (lun->m_deviceIdDescriptor.m_rgIdentifiers == nullptr)
        return op.Exit(E_INVALIDARG, KLOG_ERROR, "Identifier (Serial ID) information is null");

    op.MapFailures(DescribeFailure);
    std::string lunIeeeId;
    if (Korvel::RequestPage83Info(device, handle.get(), lunIeeeId) != S_OK) return ignore();
    Logger::Write(KLOG_INFO, kProviderComponent, "LUN IEEE ID: '%s'", lunIeeeId.c_str());
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) {
        m_accessLayer->Refresh();
        m_accessLayer->GetArrays(arrays);
    }
    if (arrays.empty()) {
        const Outcome none = op.Exit(VSS_E_PROVIDER_VETO, KLOG_INFO, "No Korvel array objects found.");
        Logger::EventLog(1, 2, static_cast<int>(KORVEL_EVENT_NO_ARRAY), "%s", "");
        return none;
    }
    KArray* array = nullptr;
    KVolume* volume = nullptr;
    if (!FindVolumeOnEachArray(arrays, lunIeeeId, array, volume)) return NoArrayOwns(op, lunIeeeId);
    std::string displayName;
    volume->GetVolumeDispName(displayName);
    // Only the names the library gives its clones: a production volume
    // that merely mentions ".clone" is not ours to rewrite or release.
    std::string baseName;
    if (Korvel::ParseCloneDisplayName(displayName, baseName)) {
        Logger::Write(KLOG_INFO, kProviderComponent, "%s(%s) is found as a Korvel volume clone", lunIeeeId.c_str(),
                      displayName.c_str());
        *pbIsSupported = TRUE;
        Logger::Write(KLOG_TRACE, kProviderComponent, "<== VDS_LUN_INFORMATION of the volume clone ==>");
        Logger::Write(KLOG_TRACE, kProviderComponent, "Version: %ld", static_cast<long>(lun->m_version));
        Logger::Write(KLOG_TRACE, kProviderComponent, "Device type: %d", lun->m_DeviceType);
        Logger::Write(KLOG_TRACE, kProviderComponent, "Device type modifier: %d", lun->m_DeviceTypeModifier);
        Logger::Write(KLOG_TRACE, kProviderComponent, "Command Queueing: %d", lun->m_bCommandQueueing);
        Logger::Write(KLOG_TRACE, kProviderComponent, "Bus Type: %d", static_cast<int>(lun->m_BusType));
        Logger::Write(KLOG_TRACE, kProviderComponent, "Vendor ID: %s",
                      korvel_provider::TextOf(lun->m_szVendorId).c_str());
        auto outOfMemory = [&op]() { return op.Exit(E_OUTOFMEMORY, KLOG_ERROR, "Memory allocation failure"); };
        if (!korvel_provider::ReplaceFieldText(lun->m_szSerialNumber, baseName)) return outOfMemory();
        Logger::Write(KLOG_TRACE, kProviderComponent, "Serial Number: %s", lun->m_szSerialNumber);
        if (lun->m_szProductId != nullptr) {
            if (char* dash = std::strrchr(lun->m_szProductId, '-')) *dash = '\0';
        }
        Logger::Write(KLOG_TRACE, kProviderComponent, "Product ID: %s",
                      korvel_provider::TextOf(lun->m_szProductId).c_str());
        std::string trimmed = korvel_provider::TextOf(lun->m_szProductRevision);
        Korvel::LeftTrim(trimmed);
        if (!korvel_provider::ReplaceFieldText(lun->m_szProductRevision, trimmed)) return outOfMemory();
        Logger::Write(KLOG_TRACE, kProviderComponent, "Product Revision: %s", lun->m_szProductRevision);
        lun->m_diskSignature = GUID_NULL;
        lun->m_deviceIdDescriptor.m_version = 16;
        if (Korvel::SetProviderTag(*lun, baseName) != S_OK) return outOfMemory();
        korvel_provider::ClearInterconnects(*lun);
        CloneRecord& record = m_cloneIdMap[lunIeeeId];
        record.snapshotId = baseName;
        record.released = false;
        m_cloneDevices[device] = lunIeeeId;
    }
    return op.Exit(S_OK);
}

// ---------------------------------------------------------------------------
// OnLunEmpty and OnLunStateChange
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::OnLunEmpty(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pInformation) {
    return korvel_provider::RunOperation("OnLunEmpty", [&](Operation& op) {
        return OnLunEmptyBody(op, korvel_provider::NarrowDeviceName(wszDeviceName), pInformation);
    });
}

std::string CKorvelVSSProvider::CloneToRelease(const std::string& device, const std::string& snapshotId,
                                               bool& released) {
    auto shown = m_cloneDevices.find(device);
    if (shown != m_cloneDevices.end()) {
        auto record = m_cloneIdMap.find(shown->second);
        if (record != m_cloneIdMap.end() && record->second.snapshotId == snapshotId) {
            released = record->second.released;
            return record->first;
        }
    }
    std::vector<std::string> exposed;
    bool releasedBefore = false;
    for (const auto& record : m_cloneIdMap) {
        if (record.second.snapshotId != snapshotId) continue;
        if (record.second.released)
            releasedBefore = true;
        else
            exposed.push_back(record.first);
    }
    if (exposed.empty() && releasedBefore) {
        released = true;
        return std::string();
    }
    if (exposed.empty()) throw std::out_of_range("map::at");
    if (exposed.size() > 1)
        throw KException("Snapshot " + snapshotId + " is exposed by " + std::to_string(exposed.size()) +
                         " clones; the device name must say which one to release");
    released = false;
    return exposed.front();
}

Outcome CKorvelVSSProvider::OnLunEmptyBody(Operation& op, const std::string& device, VDS_LUN_INFORMATION* lun) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::OnLunEmpty()");
    if (lun == nullptr) return op.Exit(E_POINTER, KLOG_ERROR, "Invalid pointer argument.");
    op.MapFailures(ReleaseFailure);
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) m_accessLayer->GetArrays(arrays);
    if (arrays.empty()) return op.Exit(S_OK, KLOG_ERROR, "No korvel array objects found");
    std::string snapshotId = Korvel::GetProviderTagKey(*lun);
    bool released = false;
    std::string cloneId = CloneToRelease(device, snapshotId, released);
    if (released) {
        Logger::Write(KLOG_INFO, kProviderComponent, "The clone of snapshot %s on %s was released already",
                      snapshotId.c_str(), device.c_str());
        return op.Exit(S_OK);
    }
    KArray* array = nullptr;
    KVolume* clone = nullptr;
    if (!FindVolumeOnEachArray(arrays, cloneId, array, clone)) return NoArrayOwns(op, cloneId);
    UnmapAndDeleteVolume(array, clone);
    m_cloneIdMap[cloneId].released = true;

    // Another clone of the same snapshot still shows its data somewhere.
    for (const auto& record : m_cloneIdMap) {
        if (record.second.snapshotId == snapshotId && !record.second.released) {
            Logger::Write(KLOG_INFO, kProviderComponent, "Snapshot %s is kept: its clone %s is still exposed",
                          snapshotId.c_str(), record.first.c_str());
            return op.Exit(S_OK);
        }
    }
    KVolume* snapshotVolume = nullptr;
    for (KArray* candidate : arrays) {
        snapshotVolume = nullptr;
        int result = candidate->GetVolumeBySnapID(snapshotId, snapshotVolume);
        if (result == 2) {
            snapshotVolume = nullptr;
            result = candidate->GetVolumeBySnapIDFromArray(snapshotId, snapshotVolume);
        }
        if (result == 0 && snapshotVolume != nullptr) break;
        snapshotVolume = nullptr;
    }
    if (snapshotVolume != nullptr && snapshotVolume->DeleteSnapshot(snapshotId) == 0)
        Logger::Write(KLOG_INFO, kProviderComponent, "Snapshot successfully deleted from array");
    return op.Exit(S_OK);
}

HRESULT CKorvelVSSProvider::OnLunStateChange(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION*, DWORD dwCount,
                                             DWORD dwFlags) {
    return korvel_provider::RunOperation(
        "OnLunStateChange", [&](Operation& op) { return OnLunStateChangeBody(op, pSnapshotLuns, dwCount, dwFlags); });
}

Outcome CKorvelVSSProvider::OnLunStateChangeBody(Operation& op, VDS_LUN_INFORMATION* luns, DWORD dwCount,
                                                 DWORD dwFlags) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::OnLunStateChange()");
    if (luns == nullptr) return op.Exit(E_INVALIDARG, KLOG_ERROR, "Volume's lun information is null");
    if ((dwFlags & VSS_ONLUNSTATECHANGE_DO_MASK_LUNS) == 0) return op.Exit(S_OK);
    op.MapFailures(MaskFailure);
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) m_accessLayer->GetArrays(arrays);
    if (arrays.empty()) return op.Exit(S_OK, KLOG_ERROR, "No korvel array objects found");
    for (DWORD i = 0; i < dwCount; ++i) {
        std::string lunIeeeId = Korvel::LunIeeeIdOf(luns[i]);
        Logger::Write(KLOG_INFO, kProviderComponent, "Volume to be masked from host: %s", lunIeeeId.c_str());
        KArray* array = nullptr;
        KVolume* volume = nullptr;
        if (!FindVolumeOnEachArray(arrays, lunIeeeId, array, volume)) continue;
        // Masking releases snapshot LUNs; anything else is an administrator's
        // production volume and must survive.
        std::string displayName, snapshotId;
        volume->GetVolumeDispName(displayName);
        if (!Korvel::ParseCloneDisplayName(displayName, snapshotId)) {
            Logger::Write(KLOG_ERROR, kProviderComponent, "Volume %s is not a snapshot clone; it is not deleted",
                          displayName.c_str());
            continue;
        }
        UnmapAndDeleteVolume(array, volume);
        auto record = m_cloneIdMap.find(lunIeeeId);
        if (record != m_cloneIdMap.end()) record->second.released = true;
    }
    return op.Exit(S_OK);
}

// ---------------------------------------------------------------------------
// ResyncLuns
// ---------------------------------------------------------------------------

HRESULT CKorvelVSSProvider::ResyncLuns(VDS_LUN_INFORMATION* pSourceLuns, VDS_LUN_INFORMATION* pTargetLuns,
                                       DWORD dwCount, IVssAsync** ppAsync) {
    if (ppAsync != nullptr) *ppAsync = nullptr;
    const HRESULT hr = korvel_provider::RunOperation(
        "ResyncLuns", [&](Operation& op) { return ResyncLunsBody(op, pSourceLuns, pTargetLuns, dwCount); });
    if (hr == S_OK && ppAsync != nullptr) {
        // A completed rollback: the appliance has answered by the time ResyncLuns returns.
        *ppAsync = KorvelNewCompletedAsync(VSS_S_ASYNC_FINISHED);
        if (*ppAsync == nullptr) return E_OUTOFMEMORY;
    }
    return hr;
}

Outcome CKorvelVSSProvider::ResyncLunsBody(Operation& op, VDS_LUN_INFORMATION* sources, VDS_LUN_INFORMATION* targets,
                                           DWORD dwCount) {
    Logger::Write(KLOG_INFO, kProviderComponent, "Entering CKorvelVSSProvider::ResyncLuns()");
    HRESULT hr = S_OK;
    if (CheckCallerIsAdministrator() != S_OK) {
        korvel_provider::LogAuthorizationEvent();
        return op.Exit(VSS_E_PROVIDER_VETO, KLOG_ERROR, "Authorization failure");
    }
    if ((sources == nullptr || targets == nullptr) && dwCount > 0)
        return op.Exit(E_POINTER, KLOG_ERROR, "Invalid pointer argument.");
    op.MapFailures(ResyncFailure);
    std::list<KArray*> arrays;
    if (m_accessLayer != nullptr) m_accessLayer->GetArrays(arrays);
    if (arrays.empty()) return op.Exit(S_OK, KLOG_ERROR);
    for (DWORD i = 0; i < dwCount; ++i) {
        std::string snapshotId = Korvel::GetProviderTagKey(sources[i]);
        KArray* array = nullptr;
        KVolume* snapshotVolume = nullptr;
        if (!FindSnapshotOrReport(arrays, snapshotId, static_cast<int>(KORVEL_EVENT_RESYNC_SNAPSHOT_MISSING), array,
                                  snapshotVolume)) {
            hr = VSS_E_PROVIDER_VETO;
            break;
        }
        std::string targetId = Korvel::LunIeeeIdOf(targets[i]);
        Logger::Write(KLOG_TRACE, kProviderComponent, "Target LUN IEEE ID: %s", targetId.c_str());
        KVolume* target = nullptr;
        int result = array->GetVolumeByID(targetId, target);
        if (result == 2) {
            target = nullptr;
            result = array->GetVolumeByIDFromArray(targetId, target);
        }
        if (result != 0 || target == nullptr) {
            hr = VSS_E_PROVIDER_VETO;
            Logger::Write(KLOG_ERROR, kProviderComponent,
                          "Resync failed. Error: Both Target volume(%s) and Source snapshot(%s) does not belong to "
                          "the same korvel array",
                          targetId.c_str(), snapshotId.c_str());
            Logger::EventLog(1, 1, static_cast<int>(KORVEL_EVENT_RESYNC_DIFFERENT_ARRAY),
                             "Error: Both Target volume(%s) and Source snapshot(%s) does not belong to the same "
                             "korvel array",
                             targetId.c_str(), snapshotId.c_str());
            break;
        }
        if (array->ResyncVolume(snapshotId, target) == 0) {
            Logger::Write(KLOG_INFO, kProviderComponent,
                          "Successfully initiated a LUN resync operation between snapshot(%s) and target(%s) "
                          "volume",
                          snapshotId.c_str(), targetId.c_str());
        } else {
            // A rollback that did not happen must not read as done.
            Logger::Write(KLOG_ERROR, kProviderComponent,
                          "Resync failed. Error: the array did not roll target(%s) back to snapshot(%s)",
                          targetId.c_str(), snapshotId.c_str());
            hr = VSS_E_PROVIDER_VETO;
        }
    }
    return op.Exit(hr);
}
