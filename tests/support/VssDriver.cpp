#include "VssDriver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "storage.h"

namespace korvel_test {

VssDriver::VssDriver(IUnknown* provider) {
    provider->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(&m_hardware));
    provider->QueryInterface(IID_IVssProviderCreateSnapshotSet, reinterpret_cast<void**>(&m_creator));
    provider->QueryInterface(IID_IVssProviderNotifications, reinterpret_cast<void**>(&m_notifications));
    if (m_hardware == nullptr || m_creator == nullptr || m_notifications == nullptr)
        throw std::runtime_error("the provider lacks an interface");
}

VssDriver::~VssDriver() {
    m_notifications->Release();
    m_creator->Release();
    m_hardware->Release();
}

VssDriver::Created VssDriver::Create(std::vector<LunRecord>& sources, LONG context) {
    Created created;
    auto failed = [&created](const char* step, HRESULT hr) {
        if (hr == S_OK) return false;
        created.result = hr;
        created.failedStep = step;
        return true;
    };
    for (LunRecord& source : sources) {
        created.supported = FALSE;
        if (failed("AreLunsSupported",
                    m_hardware->AreLunsSupported(1, context, nullptr, &source.Info(), &created.supported)))
            return created;
        if (!created.supported) {
            created.failedStep = "AreLunsSupported";
            return created;
        }
    }
    created.snapshotSetId = NewGuid();
    for (LunRecord& source : sources) {
        created.snapshotIds.push_back(NewGuid());
        if (failed("BeginPrepareSnapshot",
                    m_hardware->BeginPrepareSnapshot(created.snapshotSetId, created.snapshotIds.back(), context, 1,
                                                     nullptr, &source.Info()))) {
            m_creator->AbortSnapshots(created.snapshotSetId);
            return created;
        }
    }
    const VSS_ID& set = created.snapshotSetId;
    if (failed("EndPrepareSnapshots", m_creator->EndPrepareSnapshots(set)) ||
        failed("PreCommitSnapshots", m_creator->PreCommitSnapshots(set)) ||
        failed("CommitSnapshots", m_creator->CommitSnapshots(set)) ||
        failed("PostCommitSnapshots", m_creator->PostCommitSnapshots(set, static_cast<LONG>(sources.size())))) {
        m_creator->AbortSnapshots(set);
        return created;
    }
    std::vector<VDS_LUN_INFORMATION> sourceInfo;
    for (LunRecord& source : sources) sourceInfo.push_back(source.Info());
    std::vector<VDS_LUN_INFORMATION> targets(sources.size(), VDS_LUN_INFORMATION{});
    HRESULT hr = m_hardware->GetTargetLuns(static_cast<LONG>(sources.size()), nullptr, sourceInfo.data(),
                                           targets.data());
    // Whatever was written belongs to the caller now, also after a failure.
    for (VDS_LUN_INFORMATION& target : targets) {
        LunRecord record;
        record.Info() = target;
        created.targets.push_back(std::move(record));
    }
    failed("GetTargetLuns", hr);
    return created;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

HRESULT VssDriver::Expose(std::vector<LunRecord>& targets, std::vector<Exposed>& exposed) {
    const std::vector<std::string> before = BlockDevices();
    std::vector<VDS_LUN_INFORMATION> info;
    for (LunRecord& target : targets) info.push_back(target.Info());
    HRESULT first = m_hardware->LocateLuns(static_cast<LONG>(info.size()), info.data());
    for (const std::string& name : BlockDevices()) {
        if (std::binary_search(before.begin(), before.end(), name)) continue;
        Exposed disk;
        disk.device = "/dev/" + name;
        disk.record = LunRecord::FromDisk(disk.device);
        std::u16string device = Wide(disk.device);
        BOOL supported = FALSE;
        HRESULT hr = m_hardware->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(device.data()), &disk.record.Info(),
                                               &supported);
        if (first == S_OK) first = hr;
        if (hr == S_OK && supported) exposed.push_back(std::move(disk));
    }
    return first;
}

HRESULT VssDriver::Release(Exposed& exposed) {
    std::u16string device = Wide(exposed.device);
    return m_hardware->OnLunEmpty(reinterpret_cast<VSS_PWSZ>(device.data()), &exposed.record.Info());
}

HRESULT VssDriver::Mask(std::vector<LunRecord>& luns) {
    std::vector<VDS_LUN_INFORMATION> info;
    for (LunRecord& lun : luns) info.push_back(lun.Info());
    return m_hardware->OnLunStateChange(info.data(), nullptr, static_cast<DWORD>(info.size()),
                                        VSS_ONLUNSTATECHANGE_DO_MASK_LUNS);
}

HRESULT VssDriver::Revert(LunRecord& tagged, LunRecord& target) {
    IVssAsync* async = nullptr;
    HRESULT hr = m_hardware->ResyncLuns(&tagged.Info(), &target.Info(), 1, &async);
    // A rollback done hands back its finished operation, a failed one none.
    if ((hr == S_OK) != (async != nullptr)) hr = E_UNEXPECTED;
    if (async != nullptr) {
        HRESULT status = S_OK;
        if (async->Wait(INFINITE) != S_OK || async->QueryStatus(&status, nullptr) != S_OK ||
            status != VSS_S_ASYNC_FINISHED)
            hr = E_UNEXPECTED;
        async->Release();
    }
    return hr;
}

}  // namespace korvel_test
