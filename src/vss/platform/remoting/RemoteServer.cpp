// The local server's side: one thread per connection, each holding the object
// its client activated and calling it with the client's credentials bound.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Frames.h"
#include "KorvelRemoting.h"
#include "Logger.h"
#include "Marshal.h"
#include "security.h"

namespace {

using namespace korvel_remoting;

constexpr const char* kComponent = "Korvel.VssProvider";
constexpr int kActivateWithinMs = 30 * 1000;  // a connection that never activates is not kept
constexpr int kFrameWithinMs = 30 * 1000;     // once a frame has begun, the rest must follow
constexpr size_t kMaxConnections = 256;

template <typename T>
void ReleaseInterface(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

// The activated object and its interfaces, and the calls on them.
class Stub {
public:
    ~Stub() { Release(); }

    void Release() {
        ReleaseInterface(m_hardware);
        ReleaseInterface(m_hardwareEx);
        ReleaseInterface(m_creator);
        ReleaseInterface(m_notifications);
        ReleaseInterface(m_unknown);
    }

    HRESULT Activate(REFCLSID clsid, pb::Activated& activated) {
        IClassFactory* factory = nullptr;
        HRESULT hr = CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                      reinterpret_cast<LPVOID*>(&factory));
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

    // False for a call that cannot be made as sent: the connection then ends.
    bool Invoke(const pb::Call& call, pb::Reply& reply, std::string& why) {
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
            case pb::Call::kActivate: why = "a second activation"; return false;
            case pb::Call::kRelease: break;  // the connection's loop ends it
            case pb::Call::OPERATION_NOT_SET: break;
        }
        why = "an unknown operation";
        return false;
    }

private:
    // The base interface's operations, through whichever of the two the object has.
    IVssHardwareSnapshotProvider* Hardware() {
        return m_hardware != nullptr ? m_hardware : static_cast<IVssHardwareSnapshotProvider*>(m_hardwareEx);
    }

    static bool Refuse(std::string& why, const char* text) {
        why = text;
        return false;
    }

    static bool Decode(LunBuffer& buffer, const pb::LunArray& in, size_t count, std::string& why) {
        return buffer.Decode(in, count) || Refuse(why, "LUN records that disagree with their count");
    }
    static bool Decode(WideTextArrayBuffer& buffer, const pb::WideTextArray& in, size_t count, std::string& why) {
        return buffer.Decode(in, count) || Refuse(why, "device names that disagree with their count");
    }
    static bool Decode(WideTextBuffer& buffer, const pb::WideText& in, std::string& why) {
        return buffer.Decode(in) || Refuse(why, "a malformed device name");
    }
    static bool Decode(GUID& guid, const std::string& in, std::string& why) {
        return DecodeGuid(in, guid) || Refuse(why, "a malformed GUID");
    }
    // A single record argument: an array of one, or none.
    static bool DecodeOne(LunBuffer& buffer, const pb::LunArray& in, std::string& why) {
        return buffer.Decode(in, 1) || Refuse(why, "a malformed LUN record");
    }

    bool AreLunsSupported(const pb::AreLunsSupported& a, pb::Reply& reply, std::string& why) {
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

    bool FillInLunInfo(const pb::FillInLunInfo& a, pb::Reply& reply, std::string& why) {
        LunBuffer lun;
        WideTextBuffer device;
        if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
        if (!DecodeOne(lun, a.lun(), why) || !Decode(device, a.device_name(), why)) return false;
        BOOL supported = a.is_supported();
        reply.set_hr(
            Hardware()->FillInLunInfo(device.Data(), lun.Data(), a.has_is_supported() ? &supported : nullptr));
        lun.Encode(*reply.add_luns());
        if (a.has_is_supported()) reply.set_is_supported(supported);
        return true;
    }

    bool BeginPrepareSnapshot(const pb::BeginPrepareSnapshot& a, pb::Reply& reply, std::string& why) {
        const size_t n = RecordCount(a.lun_count());
        GUID setId, snapshotId;
        LunBuffer luns;
        WideTextArrayBuffer devices;
        if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
        if (!Decode(setId, a.snapshot_set_id(), why) || !Decode(snapshotId, a.snapshot_id(), why) ||
            !Decode(luns, a.luns(), n, why) || !Decode(devices, a.device_names(), n, why))
            return false;
        reply.set_hr(Hardware()->BeginPrepareSnapshot(setId, snapshotId, a.context(), a.lun_count(), devices.Data(),
                                                      luns.Data()));
        luns.Encode(*reply.add_luns());
        return true;
    }

    bool GetTargetLuns(const pb::GetTargetLuns& a, pb::Reply& reply, std::string& why) {
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

    bool LocateLuns(const pb::LocateLuns& a, pb::Reply& reply, std::string& why) {
        LunBuffer luns;
        if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
        if (!Decode(luns, a.source_luns(), RecordCount(a.lun_count()), why)) return false;
        reply.set_hr(Hardware()->LocateLuns(a.lun_count(), luns.Data()));
        luns.Encode(*reply.add_luns());
        return true;
    }

    bool OnLunEmpty(const pb::OnLunEmpty& a, pb::Reply& reply, std::string& why) {
        LunBuffer lun;
        WideTextBuffer device;
        if (Hardware() == nullptr) return Refuse(why, "an interface the object lacks");
        if (!DecodeOne(lun, a.lun(), why) || !Decode(device, a.device_name(), why)) return false;
        reply.set_hr(Hardware()->OnLunEmpty(device.Data(), lun.Data()));
        lun.Encode(*reply.add_luns());
        return true;
    }

    bool GetProviderCapabilities(const pb::GetProviderCapabilities& a, pb::Reply& reply, std::string& why) {
        if (m_hardwareEx == nullptr) return Refuse(why, "an interface the object lacks");
        ULONGLONG mask = a.capability_mask();
        reply.set_hr(m_hardwareEx->GetProviderCapabilities(a.has_capability_mask() ? &mask : nullptr));
        if (a.has_capability_mask()) reply.set_capability_mask(mask);
        return true;
    }

    // The operations that take two record arrays and one count.
    template <typename Operation>
    bool TwoArrays(const pb::LunArray& first, const pb::LunArray& second, DWORD count, pb::Reply& reply,
                   std::string& why, Operation operation) {
        LunBuffer a, b;
        if (m_hardwareEx == nullptr) return Refuse(why, "an interface the object lacks");
        if (!Decode(a, first, count, why) || !Decode(b, second, count, why)) return false;
        reply.set_hr(operation(a.Data(), b.Data()));
        a.Encode(*reply.add_luns());
        b.Encode(*reply.add_luns());
        return true;
    }

    bool OnLunStateChange(const pb::OnLunStateChange& a, pb::Reply& reply, std::string& why) {
        return TwoArrays(a.snapshot_luns(), a.original_luns(), a.count(), reply, why,
                         [&](VDS_LUN_INFORMATION* snapshots, VDS_LUN_INFORMATION* originals) {
                             return m_hardwareEx->OnLunStateChange(snapshots, originals, a.count(), a.flags());
                         });
    }

    bool OnReuseLuns(const pb::OnReuseLuns& a, pb::Reply& reply, std::string& why) {
        return TwoArrays(a.snapshot_luns(), a.original_luns(), a.count(), reply, why,
                         [&](VDS_LUN_INFORMATION* snapshots, VDS_LUN_INFORMATION* originals) {
                             return m_hardwareEx->OnReuseLuns(snapshots, originals, a.count());
                         });
    }

    bool ResyncLuns(const pb::ResyncLuns& a, pb::Reply& reply, std::string& why) {
        IVssAsync* async = nullptr;
        bool made = TwoArrays(a.source_luns(), a.target_luns(), a.count(), reply, why,
                              [&](VDS_LUN_INFORMATION* sources, VDS_LUN_INFORMATION* targets) {
                                  return m_hardwareEx->ResyncLuns(sources, targets, a.count(),
                                                                  a.wants_async() ? &async : nullptr);
                              });
        if (async != nullptr) {
            // The client gets a completed operation with the same outcome.
            HRESULT status = S_OK;
            async->Wait(kFrameWithinMs);
            if (async->QueryStatus(&status, nullptr) != S_OK) status = E_UNEXPECTED;
            reply.mutable_async()->set_status(status);
            async->Release();
        }
        return made;
    }

    bool SnapshotSet(const pb::SnapshotSetCall& a, pb::Reply& reply, std::string& why) {
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

    bool OnLoad(pb::Reply& reply, std::string& why) {
        if (m_notifications == nullptr) return Refuse(why, "an interface the object lacks");
        reply.set_hr(m_notifications->OnLoad(nullptr));
        return true;
    }

    bool OnUnload(const pb::OnUnload& a, pb::Reply& reply, std::string& why) {
        if (m_notifications == nullptr) return Refuse(why, "an interface the object lacks");
        reply.set_hr(m_notifications->OnUnload(a.force_unload()));
        return true;
    }

    IUnknown* m_unknown = nullptr;
    IVssHardwareSnapshotProvider* m_hardware = nullptr;
    IVssHardwareSnapshotProviderEx* m_hardwareEx = nullptr;
    IVssProviderCreateSnapshotSet* m_creator = nullptr;
    IVssProviderNotifications* m_notifications = nullptr;
};

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

bool SocketAnswers(const sockaddr_un& address) {
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.Get() >= 0 &&
           ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

struct KorvelRemoteServer::Connection {
    int fd = -1;
    pid_t pid = 0;
    KorvelCallerCredentials caller;
    std::thread thread;
    std::atomic<bool> finished{false};
    ~Connection() {
        if (thread.joinable()) thread.join();
        if (fd >= 0) ::close(fd);
    }
};

KorvelRemoteServer::KorvelRemoteServer(REFCLSID clsid) : m_clsid(clsid) {}

KorvelRemoteServer::~KorvelRemoteServer() { Stop(); }

HRESULT KorvelRemoteServer::Start(const std::string& socketPath) {
    auto fail = [&](const char* what, int error) {
        Logger::Write(KLOG_ERROR, kComponent, "Cannot listen on %s: %s: %s", socketPath.c_str(), what,
                      std::strerror(error));
        return HRESULT_FROM_WIN32(error == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return fail("path", ENAMETOOLONG);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(socketPath).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        ::chmod(folder.c_str(), 0755);
    }
    struct stat st{};
    if (::lstat(socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail("something else is there", EEXIST);
        if (SocketAnswers(address)) return fail("another server answers there", EADDRINUSE);
        ::unlink(socketPath.c_str());  // left behind by a server that is gone
    }
    Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.Get() < 0) return fail("socket", errno);
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind", errno);
    // Nobody can connect before listen(), so the mode is set in time.
    if (::chmod(socketPath.c_str(), 0660) != 0 || ::listen(listener.Get(), 64) != 0) {
        int error = errno;
        ::unlink(socketPath.c_str());
        return fail("listen", error);
    }
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.Get() < 0) {
        int error = errno;
        ::unlink(socketPath.c_str());
        return fail("eventfd", error);
    }
    m_socketPath = socketPath;
    m_listenFd = listener.Release();
    m_wakeFd = wake.Release();
    m_stopping = false;
    m_acceptThread = std::thread([this]() { AcceptLoop(); });
    Logger::Write(KLOG_INFO, kComponent, "Listening on %s", socketPath.c_str());
    return S_OK;
}

void KorvelRemoteServer::Stop() {
    if (m_wakeFd < 0) return;
    m_stopping = true;
    const uint64_t one = 1;
    // The wake-up stays readable: every waiting thread sees it.
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (m_acceptThread.joinable()) m_acceptThread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(m_socketPath.c_str());
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
    }
    connections.clear();  // joins each: its call in flight finishes and answers first
    ::close(m_wakeFd);
    m_wakeFd = -1;
    Logger::Write(KLOG_INFO, kComponent, "Stopped listening on %s", m_socketPath.c_str());
}

size_t KorvelRemoteServer::OpenConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t open = 0;
    for (const auto& c : m_connections)
        if (!c->finished) ++open;
    return open;
}

size_t KorvelRemoteServer::ConnectionsServed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_served;
}

void KorvelRemoteServer::ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if ((*it)->finished) {
                finished.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void KorvelRemoteServer::AcceptLoop() {
    while (!m_stopping) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int n = ::poll(fds, 2, 1000);
        ReapFinished();
        if (n <= 0 || fds[1].revents != 0) continue;
        Fd fd(::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (fd.Get() < 0) continue;
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) continue;
        if (OpenConnections() >= kMaxConnections) {
            Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d refused: %zu connections are open",
                          static_cast<int>(peer.pid), kMaxConnections);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd.Release();
        connection->pid = peer.pid;
        connection->caller.uid = peer.uid;
        connection->caller.gid = peer.gid;
        connection->caller.groupsKnown = false;  // the group database says which groups the user has
        Connection* raw = connection.get();
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_served;
        m_connections.push_back(std::move(connection));
        raw->thread = std::thread([this, raw]() {
            Serve(*raw);
            raw->finished = true;
        });
    }
}

void KorvelRemoteServer::Serve(Connection& connection) {
    const int pid = static_cast<int>(connection.pid);
    const unsigned uid = static_cast<unsigned>(connection.caller.uid);
    auto drop = [&](const char* why) {
        Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) closed: %s", pid, uid, why);
    };
    std::string frame;
    FrameResult read = ReadFrame(connection.fd, frame, m_wakeFd, kActivateWithinMs, kFrameWithinMs);
    if (read == FrameResult::Closed || read == FrameResult::Woken) return;  // gone before asking for anything
    if (read != FrameResult::Ok) return drop(FrameResultText(read));
    pb::Call call;
    GUID clsid;
    if (!call.ParseFromString(frame) || call.operation_case() != pb::Call::kActivate ||
        !DecodeGuid(call.activate().clsid(), clsid))
        return drop("the first call is not a well-formed activation");

    Stub stub;  // released when the connection ends, whatever ends it
    pb::Reply reply;
    {
        KorvelCallerScope scope(connection.caller);
        reply.set_hr(IsEqualCLSID(clsid, m_clsid) ? stub.Activate(clsid, *reply.mutable_activated())
                                                  : REGDB_E_CLASSNOTREG);
    }
    FrameResult written = WriteFrame(connection.fd, reply.SerializeAsString(), kFrameWithinMs);
    if (written != FrameResult::Ok) return drop(FrameResultText(written));
    if (FAILED(reply.hr())) return;

    for (;;) {
        read = ReadFrame(connection.fd, frame, m_wakeFd, -1, kFrameWithinMs);
        if (read == FrameResult::Closed || read == FrameResult::Woken) return;  // the client let go, or we stop
        if (read != FrameResult::Ok) return drop(FrameResultText(read));
        call.Clear();
        if (!call.ParseFromString(frame)) return drop("a malformed call");
        reply.Clear();
        if (call.operation_case() == pb::Call::kRelease) {
            // Gone before the answer, so the client's Release returns after it.
            stub.Release();
            WriteFrame(connection.fd, reply.SerializeAsString(), kFrameWithinMs);
            return;
        }
        std::string why;
        bool made;
        {
            KorvelCallerScope scope(connection.caller);
            made = stub.Invoke(call, reply, why);
        }
        if (!made) return drop(why.c_str());
        written = WriteFrame(connection.fd, reply.SerializeAsString(), kFrameWithinMs);
        if (written != FrameResult::Ok) return drop(FrameResultText(written));
    }
}
