// The client's side: a proxy that implements the provider interfaces by
// sending each call to the object its connection activated in the server.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>

#include "Frames.h"
#include "KorvelRemoting.h"
#include "Logger.h"
#include "Marshal.h"

namespace {

using namespace korvel_remoting;

constexpr const char* kComponent = "Korvel.Remoting";

int CallTimeoutMs() {
    const char* text = std::getenv("KORVEL_RPC_TIMEOUT_SECONDS");
    long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    if (seconds <= 0 || seconds > 24 * 3600) seconds = 600;
    return static_cast<int>(seconds * 1000);
}

class CProviderProxy final : public IVssHardwareSnapshotProviderEx,
                             public IVssProviderCreateSnapshotSet,
                             public IVssProviderNotifications {
public:
    explicit CProviderProxy(int fd) : m_fd(fd), m_timeoutMs(CallTimeoutMs()) {}

    // Sends the activation and learns the object's interfaces.
    HRESULT Activate(REFCLSID clsid) {
        pb::Call call;
        EncodeGuid(clsid, call.mutable_activate()->mutable_clsid());
        pb::Reply reply;
        HRESULT hr = Invoke(call, reply);
        if (FAILED(hr)) return hr;
        m_interfaces = reply.activated();
        return reply.hr();
    }

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (IsEqualIID(riid, IID_IUnknown))
            *ppvObject = static_cast<IVssHardwareSnapshotProviderEx*>(this);
        else if (IsEqualIID(riid, IID_IVssHardwareSnapshotProvider) &&
                 (m_interfaces.hardware() || m_interfaces.hardware_ex()))
            *ppvObject = static_cast<IVssHardwareSnapshotProvider*>(this);
        else if (IsEqualIID(riid, IID_IVssHardwareSnapshotProviderEx) && m_interfaces.hardware_ex())
            *ppvObject = static_cast<IVssHardwareSnapshotProviderEx*>(this);
        else if (IsEqualIID(riid, IID_IVssProviderCreateSnapshotSet) && m_interfaces.create_snapshot_set())
            *ppvObject = static_cast<IVssProviderCreateSnapshotSet*>(this);
        else if (IsEqualIID(riid, IID_IVssProviderNotifications) && m_interfaces.notifications())
            *ppvObject = static_cast<IVssProviderNotifications*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG count = --m_refs;
        if (count == 0) {
            // As COM's last release: the server's object is gone when this returns.
            pb::Call call;
            call.mutable_release();
            pb::Reply reply;
            Invoke(call, reply);
            delete this;
        }
        return count;
    }

    // ---- IVssHardwareSnapshotProvider(Ex) ------------------------------------

    HRESULT AreLunsSupported(LONG lLunCount, LONG lContext, VSS_PWSZ* rgwszDevices,
                             VDS_LUN_INFORMATION* pLunInformation, BOOL* pbIsSupported) override {
        pb::Call call;
        pb::AreLunsSupported* a = call.mutable_are_luns_supported();
        a->set_lun_count(lLunCount);
        a->set_context(lContext);
        EncodeWideTexts(rgwszDevices, RecordCount(lLunCount), *a->mutable_devices());
        EncodeLuns(pLunInformation, RecordCount(lLunCount), *a->mutable_luns());
        if (pbIsSupported != nullptr) a->set_is_supported(*pbIsSupported);
        pb::Reply reply;
        return Complete(call, reply, {{&a->luns(), pLunInformation}}, [&]() {
            if (pbIsSupported != nullptr && reply.has_is_supported()) *pbIsSupported = reply.is_supported();
        });
    }

    HRESULT FillInLunInfo(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pLunInfo, BOOL* pbIsSupported) override {
        pb::Call call;
        pb::FillInLunInfo* a = call.mutable_fill_in_lun_info();
        EncodeWideText(wszDeviceName, *a->mutable_device_name());
        EncodeLuns(pLunInfo, 1, *a->mutable_lun());
        if (pbIsSupported != nullptr) a->set_is_supported(*pbIsSupported);
        pb::Reply reply;
        return Complete(call, reply, {{&a->lun(), pLunInfo}}, [&]() {
            if (pbIsSupported != nullptr && reply.has_is_supported()) *pbIsSupported = reply.is_supported();
        });
    }

    HRESULT BeginPrepareSnapshot(VSS_ID SnapshotSetId, VSS_ID SnapshotId, LONG lContext, LONG lLunCount,
                                 VSS_PWSZ* rgDeviceNames, VDS_LUN_INFORMATION* rgLunInformation) override {
        pb::Call call;
        pb::BeginPrepareSnapshot* a = call.mutable_begin_prepare_snapshot();
        EncodeGuid(SnapshotSetId, a->mutable_snapshot_set_id());
        EncodeGuid(SnapshotId, a->mutable_snapshot_id());
        a->set_context(lContext);
        a->set_lun_count(lLunCount);
        EncodeWideTexts(rgDeviceNames, RecordCount(lLunCount), *a->mutable_device_names());
        EncodeLuns(rgLunInformation, RecordCount(lLunCount), *a->mutable_luns());
        pb::Reply reply;
        return Complete(call, reply, {{&a->luns(), rgLunInformation}});
    }

    HRESULT GetTargetLuns(LONG lLunCount, VSS_PWSZ* rgDeviceNames, VDS_LUN_INFORMATION* rgSourceLuns,
                          VDS_LUN_INFORMATION* rgDestinationLuns) override {
        pb::Call call;
        pb::GetTargetLuns* a = call.mutable_get_target_luns();
        a->set_lun_count(lLunCount);
        EncodeWideTexts(rgDeviceNames, RecordCount(lLunCount), *a->mutable_device_names());
        EncodeLuns(rgSourceLuns, RecordCount(lLunCount), *a->mutable_source_luns());
        EncodeLuns(rgDestinationLuns, RecordCount(lLunCount), *a->mutable_destination_luns());
        pb::Reply reply;
        return Complete(call, reply, {{&a->source_luns(), rgSourceLuns}, {&a->destination_luns(), rgDestinationLuns}});
    }

    HRESULT LocateLuns(LONG lLunCount, VDS_LUN_INFORMATION* rgSourceLuns) override {
        pb::Call call;
        pb::LocateLuns* a = call.mutable_locate_luns();
        a->set_lun_count(lLunCount);
        EncodeLuns(rgSourceLuns, RecordCount(lLunCount), *a->mutable_source_luns());
        pb::Reply reply;
        return Complete(call, reply, {{&a->source_luns(), rgSourceLuns}});
    }

    HRESULT OnLunEmpty(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pInformation) override {
        pb::Call call;
        pb::OnLunEmpty* a = call.mutable_on_lun_empty();
        EncodeWideText(wszDeviceName, *a->mutable_device_name());
        EncodeLuns(pInformation, 1, *a->mutable_lun());
        pb::Reply reply;
        return Complete(call, reply, {{&a->lun(), pInformation}});
    }

    HRESULT GetProviderCapabilities(ULONGLONG* pllOriginalCapabilityMask) override {
        pb::Call call;
        pb::GetProviderCapabilities* a = call.mutable_get_provider_capabilities();
        if (pllOriginalCapabilityMask != nullptr) a->set_capability_mask(*pllOriginalCapabilityMask);
        pb::Reply reply;
        return Complete(call, reply, {}, [&]() {
            if (pllOriginalCapabilityMask != nullptr && reply.has_capability_mask())
                *pllOriginalCapabilityMask = reply.capability_mask();
        });
    }

    HRESULT OnLunStateChange(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION* pOriginalLuns, DWORD dwCount,
                             DWORD dwFlags) override {
        pb::Call call;
        pb::OnLunStateChange* a = call.mutable_on_lun_state_change();
        a->set_count(dwCount);
        a->set_flags(dwFlags);
        EncodeLuns(pSnapshotLuns, dwCount, *a->mutable_snapshot_luns());
        EncodeLuns(pOriginalLuns, dwCount, *a->mutable_original_luns());
        pb::Reply reply;
        return Complete(call, reply, {{&a->snapshot_luns(), pSnapshotLuns}, {&a->original_luns(), pOriginalLuns}});
    }

    HRESULT ResyncLuns(VDS_LUN_INFORMATION* pSourceLuns, VDS_LUN_INFORMATION* pTargetLuns, DWORD dwCount,
                       IVssAsync** ppAsync) override {
        if (ppAsync != nullptr) *ppAsync = nullptr;
        pb::Call call;
        pb::ResyncLuns* a = call.mutable_resync_luns();
        a->set_count(dwCount);
        a->set_wants_async(ppAsync != nullptr);
        EncodeLuns(pSourceLuns, dwCount, *a->mutable_source_luns());
        EncodeLuns(pTargetLuns, dwCount, *a->mutable_target_luns());
        pb::Reply reply;
        HRESULT hr = Complete(call, reply, {{&a->source_luns(), pSourceLuns}, {&a->target_luns(), pTargetLuns}});
        if (ppAsync != nullptr && reply.has_async()) {
            // What ResyncLuns left behind in the server: an operation already complete.
            *ppAsync = KorvelNewCompletedAsync(reply.async().status());
            if (*ppAsync == nullptr) return E_OUTOFMEMORY;
        }
        return hr;
    }

    HRESULT OnReuseLuns(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION* pOriginalLuns,
                        DWORD dwCount) override {
        pb::Call call;
        pb::OnReuseLuns* a = call.mutable_on_reuse_luns();
        a->set_count(dwCount);
        EncodeLuns(pSnapshotLuns, dwCount, *a->mutable_snapshot_luns());
        EncodeLuns(pOriginalLuns, dwCount, *a->mutable_original_luns());
        pb::Reply reply;
        return Complete(call, reply, {{&a->snapshot_luns(), pSnapshotLuns}, {&a->original_luns(), pOriginalLuns}});
    }

    // ---- IVssProviderCreateSnapshotSet -----------------------------------------

    HRESULT EndPrepareSnapshots(VSS_ID id) override {
        return SnapshotSet(pb::SnapshotSetCall::END_PREPARE_SNAPSHOTS, id);
    }
    HRESULT PreCommitSnapshots(VSS_ID id) override {
        return SnapshotSet(pb::SnapshotSetCall::PRE_COMMIT_SNAPSHOTS, id);
    }
    HRESULT CommitSnapshots(VSS_ID id) override { return SnapshotSet(pb::SnapshotSetCall::COMMIT_SNAPSHOTS, id); }
    HRESULT PostCommitSnapshots(VSS_ID id, LONG lSnapshotsCount) override {
        return SnapshotSet(pb::SnapshotSetCall::POST_COMMIT_SNAPSHOTS, id, lSnapshotsCount);
    }
    HRESULT PreFinalCommitSnapshots(VSS_ID id) override {
        return SnapshotSet(pb::SnapshotSetCall::PRE_FINAL_COMMIT_SNAPSHOTS, id);
    }
    HRESULT PostFinalCommitSnapshots(VSS_ID id) override {
        return SnapshotSet(pb::SnapshotSetCall::POST_FINAL_COMMIT_SNAPSHOTS, id);
    }
    HRESULT AbortSnapshots(VSS_ID id) override { return SnapshotSet(pb::SnapshotSetCall::ABORT_SNAPSHOTS, id); }

    // ---- IVssProviderNotifications ---------------------------------------------

    HRESULT OnLoad(IUnknown* pCallback) override {
        pb::Call call;
        call.mutable_on_load()->set_has_callback(pCallback != nullptr);
        pb::Reply reply;
        return Complete(call, reply, {});
    }
    HRESULT OnUnload(BOOL bForceUnload) override {
        pb::Call call;
        call.mutable_on_unload()->set_force_unload(bForceUnload);
        pb::Reply reply;
        return Complete(call, reply, {});
    }

private:
    ~CProviderProxy() {
        if (m_fd >= 0) ::close(m_fd);
    }

    struct OutArray {
        const pb::LunArray* sent;
        VDS_LUN_INFORMATION* luns;
    };

    HRESULT SnapshotSet(pb::SnapshotSetCall::Operation operation, const VSS_ID& id, LONG count = 0) {
        pb::Call call;
        pb::SnapshotSetCall* a = call.mutable_snapshot_set();
        a->set_operation(operation);
        EncodeGuid(id, a->mutable_snapshot_set_id());
        a->set_snapshots_count(count);
        pb::Reply reply;
        return Complete(call, reply, {});
    }

    // Makes the call and writes its out-values back: the record arrays, in
    // argument order, then whatever `scalars` writes.
    template <typename Scalars = void (*)()>
    HRESULT Complete(
        const pb::Call& call, pb::Reply& reply, std::initializer_list<OutArray> arrays, Scalars scalars = [] {}) {
        HRESULT hr = Invoke(call, reply);
        // Refused before the call was made (over a bound): no out-value, and
        // the connection goes on.
        if (SUCCEEDED(hr) && FAILED(reply.hr()) && reply.luns_size() == 0 && arrays.size() > 0) return reply.hr();
        bool applied = SUCCEEDED(hr) && static_cast<size_t>(reply.luns_size()) == arrays.size();
        int index = 0;
        for (const OutArray& out : arrays) {
            if (applied) applied = ApplyLuns(*out.sent, reply.luns(index++), out.luns);
        }
        if (!applied) {
            reply.Clear();  // no out-value of a call that did not come back whole
            return FAILED(hr) ? hr : Broken(RPC_E_DISCONNECTED);
        }
        scalars();
        return reply.hr();
    }

    // Sends one call and reads its reply, one call at a time on the connection.
    // Returns S_OK when a reply came (its own result is in the reply).
    HRESULT Invoke(const pb::Call& call, pb::Reply& reply) {
        std::lock_guard<std::mutex> lock(m_callMutex);
        if (m_fd < 0) return RPC_E_DISCONNECTED;
        std::string frame;
        if (!call.SerializeToString(&frame) || frame.size() > kMaxFrameBytes) return E_INVALIDARG;
        const FrameResult sent = WriteFrame(m_fd, frame, m_timeoutMs);
        // A server that turns the connection away answers before it closes:
        // the answer may be there although the call could not be sent.
        const FrameResult result = ReadFrame(m_fd, frame, -1, sent == FrameResult::Ok ? m_timeoutMs : 0, m_timeoutMs);
        if (result != FrameResult::Ok) {
            const bool late =
                sent == FrameResult::TimedOut || (sent == FrameResult::Ok && result == FrameResult::TimedOut);
            return Broken(late ? RPC_E_TIMEOUT : RPC_E_DISCONNECTED);
        }
        if (!reply.ParseFromString(frame)) return Broken(RPC_E_DISCONNECTED);
        return S_OK;
    }

    // A connection that failed once carries no further calls: the object
    // behind it is gone or in an unknown state.
    HRESULT Broken(HRESULT hr) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        return hr;
    }

    std::atomic<ULONG> m_refs{1};
    std::mutex m_callMutex;
    int m_fd;
    const int m_timeoutMs;
    pb::Activated m_interfaces;
};

// The server must be the service: root, or the user owning the socket's
// folder when nobody else can write to that folder. Anyone else who could
// bind the path first must not receive the caller's calls.
bool ServerIsTheService(int fd, const std::string& path) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
    if (peer.uid == 0) return true;
    std::string folder = std::filesystem::path(path).parent_path().string();
    struct stat dir {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &dir) == 0 && dir.st_uid == peer.uid &&
        (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    Logger::Write(KLOG_ERROR, kComponent, "the server on %s runs as uid %u, not as the KorvelProvider service",
                  path.c_str(), static_cast<unsigned>(peer.uid));
    return false;
}

HRESULT ActivateInLocalServer(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    const std::string path = KorvelProviderSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return CO_E_SERVER_EXEC_FAILURE;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return E_OUTOFMEMORY;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        // No server listening is a server that could not be started.
        return error == EACCES || error == EPERM ? E_ACCESSDENIED : CO_E_SERVER_EXEC_FAILURE;
    }
    if (!ServerIsTheService(fd, path)) {
        ::close(fd);
        return E_ACCESSDENIED;
    }
    auto* proxy = new (std::nothrow) CProviderProxy(fd);
    if (proxy == nullptr) {
        ::close(fd);
        return E_OUTOFMEMORY;
    }
    HRESULT hr = proxy->Activate(rclsid);
    if (SUCCEEDED(hr)) hr = proxy->QueryInterface(riid, ppv);
    proxy->Release();
    return hr;
}

}  // namespace

void KorvelInstallLocalActivator() { KorvelSetLocalActivator(&ActivateInLocalServer); }
