#include "Stub.h"

namespace korvel_remoting {

namespace {

// How long the server waits for an operation that ResyncLuns left running.
constexpr DWORD kAsyncWithinMs = 30 * 1000;

template <typename T>
void ReleaseInterface(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

bool Refuse(std::string& why, const char* text) {
    why = text;
    return false;
}

bool Decode(LunBuffer& buffer, const pb::LunArray& in, size_t count, std::string& why) {
    return buffer.Decode(in, count) || Refuse(why, "LUN records that disagree with their count");
}
bool Decode(WideTextArrayBuffer& buffer, const pb::WideTextArray& in, size_t count, std::string& why) {
    return buffer.Decode(in, count) || Refuse(why, "device names that disagree with their count");
}
bool Decode(WideTextBuffer& buffer, const pb::WideText& in, std::string& why) {
    return buffer.Decode(in) || Refuse(why, "a malformed device name");
}
bool Decode(GUID& guid, const std::string& in, std::string& why) {
    return DecodeGuid(in, guid) || Refuse(why, "a malformed GUID");
}
// A single record argument: an array of one, or none.
bool DecodeOne(LunBuffer& buffer, const pb::LunArray& in, std::string& why) {
    return buffer.Decode(in, 1) || Refuse(why, "a malformed LUN record");
}

}  // namespace

void ObjectStub::Release() {
    ReleaseInterface(m_hardware);
    ReleaseInterface(m_hardwareEx);
    ReleaseInterface(m_creator);
    ReleaseInterface(m_notifications);
    ReleaseInterface(m_unknown);
}

HRESULT ObjectStub::Activate(REFCLSID clsid, pb::Activated& activated) {
    Release();
    IClassFactory* factory = nullptr;
    HRESULT hr =
        CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<LPVOID*>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&m_unknown));
    factory->Release();
    if (FAILED(hr)) return hr;
    m_unknown->QueryInterface(IID_IVssHardwareSnapshotProvider, reinterpret_cast<void**>(&m_hardware));
    m_unknown->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(&m_hardwareEx));
    m_unknown->QueryInterface(IID_IVssProviderCreateSnapshotSet, reinterpret_cast<void**>(&m_creator));
    m_unknown->QueryInterface(IID_IVssProviderNotifications, reinterpret_cast<void**>(&m_notifications));
    activated.set_hardware(m_hardware != nullptr);
    activated.set_hardware_ex(m_hardwareEx != nullptr);
    activated.set_create_snapshot_set(m_creator != nullptr);
    activated.set_notifications(m_notifications != nullptr);
    return S_OK;
}

ObjectStub::Outcome ObjectStub::Handle(const char* data, size_t size, pb::Reply& reply, std::string& why) {
    reply.Clear();
    switch (CheckCall(data, size, why)) {
        case CallCheck::Ok: break;
        case CallCheck::Refused: reply.set_hr(E_INVALIDARG); return Outcome::Refused;
        case CallCheck::Malformed: why = "a malformed call"; return Outcome::Drop;
    }
    pb::Call call;
    if (!call.ParseFromArray(data, static_cast<int>(size))) {
        why = "a malformed call";
        return Outcome::Drop;
    }
    if (call.operation_case() == pb::Call::kRelease) {
        // Gone before the answer, so the client's Release returns after it.
        Release();
        return Outcome::Released;
    }
    return Invoke(call, reply, why) ? Outcome::Answer : Outcome::Drop;
}

// False for a call that cannot be made as sent: the connection then ends.
bool ObjectStub::Invoke(const pb::Call& call, pb::Reply& reply, std::string& why) {
    switch (call.operation_case()) {
        case pb::Call::kAreLunsSupported: return AreLunsSupported(call.are_luns_supported(), reply, why);
        case pb::Call::kFillInLunInfo: return FillInLunInfo(call.fill_in_lun_info(), reply, why);
        case pb::Call::kBeginPrepareSnapshot: return BeginPrepareSnapshot(call.begin_prepare_snapshot(), reply, why);
        case pb::Call::kGetTargetLuns: return GetTargetLuns(call.get_target_luns(), reply, why);
        case pb::Call::kLocateLuns: return LocateLuns(call.locate_luns(), reply, why);
        case pb::Call::kOnLunEmpty: return OnLunEmpty(call.on_lun_empty(), reply, why);
        case pb::Call::kGetProviderCapabilities:
            return GetProviderCapabilities(call.get_provider_capabilities(), reply, why);
        case pb::Call::kOnLunStateChange: return OnLunStateChange(call.on_lun_state_change(), reply, why);
        case pb::Call::kResyncLuns: return ResyncLuns(call.resync_luns(), reply, why);
        case pb::Call::kOnReuseLuns: return OnReuseLuns(call.on_reuse_luns(), reply, why);
        case pb::Call::kSnapshotSet: return SnapshotSet(call.snapshot_set(), reply, why);
        case pb::Call::kOnLoad: return OnLoad(reply, why);
        case pb::Call::kOnUnload: return OnUnload(call.on_unload(), reply, why);
        case pb::Call::kActivate: return Refuse(why, "a second activation");
        case pb::Call::kRelease: break;  // Handle ends the connection
        case pb::Call::OPERATION_NOT_SET: break;
    }
    return Refuse(why, "an unknown operation");
}

// The base interface's operations, through whichever of the two the object has.
IVssHardwareSnapshotProvider* ObjectStub::Hardware() {
    return m_hardware != nullptr ? m_hardware : static_cast<IVssHardwareSnapshotProvider*>(m_hardwareEx);
}

bool ObjectStub::AreLunsSupported(const pb::AreLunsSupported& a, pb::Reply& reply, std::string& why) {
    const size_t n = RecordCount(a.lun_count());
    LunBuffer luns;
    WideTextArrayBuffer devices;
    if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
    if (!Decode(luns, a.luns(), n, why) || !Decode(devices, a.devices(), n, why)) return false;
    BOOL supported = a.is_supported();
    reply.set_hr(Hardware()->AreLunsSupported(a.lun_count(), a.context(), devices.Data(), luns.Data(),
                                              a.has_is_supported() ? &supported : nullptr));
    luns.Encode(*reply.add_luns());
    if (a.has_is_supported()) reply.set_is_supported(supported);
    return true;
}

bool ObjectStub::FillInLunInfo(const pb::FillInLunInfo& a, pb::Reply& reply, std::string& why) {
    LunBuffer lun;
    WideTextBuffer device;
    if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
    if (!DecodeOne(lun, a.lun(), why) || !Decode(device, a.device_name(), why)) return false;
    BOOL supported = a.is_supported();
    reply.set_hr(Hardware()->FillInLunInfo(device.Data(), lun.Data(), a.has_is_supported() ? &supported : nullptr));
    lun.Encode(*reply.add_luns());
    if (a.has_is_supported()) reply.set_is_supported(supported);
    return true;
}

bool ObjectStub::BeginPrepareSnapshot(const pb::BeginPrepareSnapshot& a, pb::Reply& reply, std::string& why) {
    const size_t n = RecordCount(a.lun_count());
    GUID setId, snapshotId;
    LunBuffer luns;
    WideTextArrayBuffer devices;
    if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
    if (!Decode(setId, a.snapshot_set_id(), why) || !Decode(snapshotId, a.snapshot_id(), why) ||
        !Decode(luns, a.luns(), n, why) || !Decode(devices, a.device_names(), n, why))
        return false;
    reply.set_hr(
        Hardware()->BeginPrepareSnapshot(setId, snapshotId, a.context(), a.lun_count(), devices.Data(), luns.Data()));
    luns.Encode(*reply.add_luns());
    return true;
}

bool ObjectStub::GetTargetLuns(const pb::GetTargetLuns& a, pb::Reply& reply, std::string& why) {
    const size_t n = RecordCount(a.lun_count());
    LunBuffer sources, destinations;
    WideTextArrayBuffer devices;
    if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
    if (!Decode(sources, a.source_luns(), n, why) || !Decode(destinations, a.destination_luns(), n, why) ||
        !Decode(devices, a.device_names(), n, why))
        return false;
    reply.set_hr(Hardware()->GetTargetLuns(a.lun_count(), devices.Data(), sources.Data(), destinations.Data()));
    sources.Encode(*reply.add_luns());
    destinations.Encode(*reply.add_luns());
    return true;
}

bool ObjectStub::LocateLuns(const pb::LocateLuns& a, pb::Reply& reply, std::string& why) {
    LunBuffer luns;
    if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
    if (!Decode(luns, a.source_luns(), RecordCount(a.lun_count()), why)) return false;
    reply.set_hr(Hardware()->LocateLuns(a.lun_count(), luns.Data()));
    luns.Encode(*reply.add_luns());
    return true;
}

bool ObjectStub::OnLunEmpty(const pb::OnLunEmpty& a, pb::Reply& reply, std::string& why) {
    LunBuffer lun;
    WideTextBuffer device;
    if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
    if (!DecodeOne(lun, a.lun(), why) || !Decode(device, a.device_name(), why)) return false;
    reply.set_hr(Hardware()->OnLunEmpty(device.Data(), lun.Data()));
    lun.Encode(*reply.add_luns());
    return true;
}

bool ObjectStub::GetProviderCapabilities(const pb::GetProviderCapabilities& a, pb::Reply& reply, std::string& why) {
    if (m_hardwareEx == nullptr) return Refuse(why, "an interface the object lacks");
    ULONGLONG mask = a.capability_mask();
    reply.set_hr(m_hardwareEx->GetProviderCapabilities(a.has_capability_mask() ? &mask : nullptr));
    if (a.has_capability_mask()) reply.set_capability_mask(mask);
    return true;
}

// The operations that take two record arrays and one count.
template <typename Operation>
bool ObjectStub::TwoArrays(const pb::LunArray& first, const pb::LunArray& second, DWORD count, pb::Reply& reply,
                           std::string& why, Operation operation) {
    LunBuffer a, b;
    if (m_hardwareEx == nullptr) return Refuse(why, "an interface the object lacks");
    if (!Decode(a, first, count, why) || !Decode(b, second, count, why)) return false;
    reply.set_hr(operation(a.Data(), b.Data()));
    a.Encode(*reply.add_luns());
    b.Encode(*reply.add_luns());
    return true;
}

bool ObjectStub::OnLunStateChange(const pb::OnLunStateChange& a, pb::Reply& reply, std::string& why) {
    return TwoArrays(a.snapshot_luns(), a.original_luns(), a.count(), reply, why,
                     [&](VDS_LUN_INFORMATION* snapshots, VDS_LUN_INFORMATION* originals) {
                         return m_hardwareEx->OnLunStateChange(snapshots, originals, a.count(), a.flags());
                     });
}

bool ObjectStub::OnReuseLuns(const pb::OnReuseLuns& a, pb::Reply& reply, std::string& why) {
    return TwoArrays(a.snapshot_luns(), a.original_luns(), a.count(), reply, why,
                     [&](VDS_LUN_INFORMATION* snapshots, VDS_LUN_INFORMATION* originals) {
                         return m_hardwareEx->OnReuseLuns(snapshots, originals, a.count());
                     });
}

bool ObjectStub::ResyncLuns(const pb::ResyncLuns& a, pb::Reply& reply, std::string& why) {
    IVssAsync* async = nullptr;
    bool made =
        TwoArrays(a.source_luns(), a.target_luns(), a.count(), reply, why,
                  [&](VDS_LUN_INFORMATION* sources, VDS_LUN_INFORMATION* targets) {
                      return m_hardwareEx->ResyncLuns(sources, targets, a.count(), a.wants_async() ? &async : nullptr);
                  });
    if (async != nullptr) {
        // The client gets a completed operation with the same outcome.
        HRESULT status = S_OK;
        async->Wait(kAsyncWithinMs);
        if (async->QueryStatus(&status, nullptr) != S_OK) status = E_UNEXPECTED;
        reply.mutable_async()->set_status(status);
        async->Release();
    }
    return made;
}

bool ObjectStub::SnapshotSet(const pb::SnapshotSetCall& a, pb::Reply& reply, std::string& why) {
    GUID setId;
    if (m_creator == nullptr) return Refuse(why, "an interface the object lacks");
    if (!Decode(setId, a.snapshot_set_id(), why)) return false;
    switch (a.operation()) {
        case pb::SnapshotSetCall::END_PREPARE_SNAPSHOTS: reply.set_hr(m_creator->EndPrepareSnapshots(setId)); break;
        case pb::SnapshotSetCall::PRE_COMMIT_SNAPSHOTS: reply.set_hr(m_creator->PreCommitSnapshots(setId)); break;
        case pb::SnapshotSetCall::COMMIT_SNAPSHOTS: reply.set_hr(m_creator->CommitSnapshots(setId)); break;
        case pb::SnapshotSetCall::POST_COMMIT_SNAPSHOTS:
            reply.set_hr(m_creator->PostCommitSnapshots(setId, a.snapshots_count()));
            break;
        case pb::SnapshotSetCall::PRE_FINAL_COMMIT_SNAPSHOTS:
            reply.set_hr(m_creator->PreFinalCommitSnapshots(setId));
            break;
        case pb::SnapshotSetCall::POST_FINAL_COMMIT_SNAPSHOTS:
            reply.set_hr(m_creator->PostFinalCommitSnapshots(setId));
            break;
        case pb::SnapshotSetCall::ABORT_SNAPSHOTS: reply.set_hr(m_creator->AbortSnapshots(setId)); break;
        default: return Refuse(why, "an unknown operation");
    }
    return true;
}

bool ObjectStub::OnLoad(pb::Reply& reply, std::string& why) {
    if (m_notifications == nullptr) return Refuse(why, "an interface the object lacks");
    reply.set_hr(m_notifications->OnLoad(nullptr));
    return true;
}

bool ObjectStub::OnUnload(const pb::OnUnload& a, pb::Reply& reply, std::string& why) {
    if (m_notifications == nullptr) return Refuse(why, "an interface the object lacks");
    reply.set_hr(m_notifications->OnUnload(a.force_unload()));
    return true;
}

}  // namespace korvel_remoting
