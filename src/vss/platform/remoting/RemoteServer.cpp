// The local server's side: one thread waits on every connection, receives
// frames and keeps their deadlines; a pool of worker threads makes the calls
// a complete frame carries, each with its connection's identity bound.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Frames.h"
#include "KDescriptor.h"
#include "KorvelRemoting.h"
#include "Logger.h"
#include "Marshal.h"
#include "Stub.h"
#include "security.h"

namespace {

using namespace korvel_remoting;
using Clock = std::chrono::steady_clock;

constexpr const char* kComponent = KorvelLog::kProviderComponent;
constexpr auto kActivateWithin = std::chrono::seconds(5);  // from accept to a complete activation frame
constexpr auto kFrameWithin = std::chrono::seconds(30);    // once a frame has begun, the rest must follow
constexpr int kReplyWithinMs = 30 * 1000;
constexpr uint32_t kMaxActivationBytes = 1024;  // an activation is some 20 bytes
constexpr size_t kMaxConnections = 256;
constexpr size_t kReservedForRoot = 16;
constexpr size_t kMaxConnectionsPerUser = 16;
// Workers kept alive however quiet the server is; more are started while
// every one is busy (one connection never needs two) and end when idle. A
// frame goes to the worker that became idle last, whose memory is warm.
constexpr size_t kKeptWorkers = 2;
constexpr auto kSpareWorkerLinger = std::chrono::seconds(30);
constexpr unsigned kAuthorizationEvent = 0xC0004000u;
constexpr HRESULT kServerTooBusy = static_cast<HRESULT>(0x800706BBu);  // RPC_S_SERVER_TOO_BUSY
constexpr int kMaxEvents = 64;

using Korvel::KDescriptor;

bool SocketAnswers(const sockaddr_un& address) {
    KDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.get() >= 0 && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The bytes of one frame as they arrive. A large frame gets pages of its
// own, so its memory goes back to the system as soon as it is done with.
class FrameBuffer {
public:
    ~FrameBuffer() { Reset(); }
    bool Allocate(size_t size) {
        Reset();
        if (size >= kOwnPagesFrom) {
            void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (pages == MAP_FAILED) return false;
            m_data = static_cast<char*>(pages);
            m_mapped = true;
        } else {
            m_data = static_cast<char*>(std::malloc(size > 0 ? size : 1));
            if (m_data == nullptr) return false;
        }
        m_size = size;
        m_received = 0;
        return true;
    }
    void Reset() {
        if (m_data != nullptr) {
            if (m_mapped)
                ::munmap(m_data, m_size);
            else
                std::free(m_data);
        }
        m_data = nullptr;
        m_mapped = false;
        m_size = m_received = 0;
    }
    char* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    size_t& Received() { return m_received; }
    bool Complete() const { return m_data != nullptr && m_received == m_size; }

private:
    static constexpr size_t kOwnPagesFrom = 256 * 1024;
    char* m_data = nullptr;
    bool m_mapped = false;
    size_t m_size = 0;
    size_t m_received = 0;
};

// Answers a connection that is not taken, without waiting on it.
void SendRefusal(int fd, HRESULT hr) {
    pb::Reply reply;
    reply.set_hr(hr);
    WriteFrame(fd, reply.SerializeAsString(), 0);
}

}  // namespace

struct KorvelRemoteServer::Worker {
    std::thread thread;
    std::condition_variable wake;
    Connection* work = nullptr;  // handed over by Dispatch
};

struct KorvelRemoteServer::Connection {
    int fd = -1;
    pid_t pid = 0;
    KorvelCallerCredentials caller;
    bool busy = false;       // with a worker; not watched by the loop
    bool watched = false;    // registered with epoll
    bool activated = false;  // an object was made for it
    Clock::time_point deadline;
    unsigned char header[4] = {};
    size_t headerReceived = 0;
    FrameBuffer frame;
    std::unique_ptr<ObjectStub> stub;

    ~Connection() {
        stub.reset();  // the object goes before its connection
        if (fd >= 0) ::close(fd);
    }
    bool InsideFrame() const { return headerReceived > 0; }
    int Pid() const { return static_cast<int>(pid); }
    unsigned Uid() const { return static_cast<unsigned>(caller.uid); }
};

KorvelRemoteServer::KorvelRemoteServer(REFCLSID clsid, KorvelServerLimits limits) : m_clsid(clsid), m_limits(limits) {
    if (m_limits.idleSeconds <= 0) m_limits.idleSeconds = KorvelServerLimits().idleSeconds;
}

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
    std::string folder = std::filesystem::path(socketPath).parent_path().string();
    if (folder.empty()) folder = ".";
    if (!std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        ::chmod(folder.c_str(), 0755);
    }
    // Whoever may write to the folder could bind the path first, or put
    // another socket in its place, and receive the clients' calls.
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) return fail("its folder", errno);
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) != 0) return fail("its folder can be written by other users", EACCES);
    struct stat st {};
    if (::lstat(socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail("something else is there", EEXIST);
        if (SocketAnswers(address)) return fail("another server answers there", EADDRINUSE);
        ::unlink(socketPath.c_str());  // left behind by a server that is gone
    }
    KDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.get() < 0) return fail("socket", errno);
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind", errno);
    auto undo = [&](const char* what) {
        int error = errno;
        ::unlink(socketPath.c_str());
        return fail(what, error);
    };
    // Nobody can connect before listen(), so the mode is set in time.
    if (::chmod(socketPath.c_str(), 0660) != 0 || ::listen(listener.get(), 64) != 0) return undo("listen");
    KDescriptor epoll(::epoll_create1(EPOLL_CLOEXEC));
    KDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    KDescriptor done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (epoll.get() < 0 || wake.get() < 0 || done.get() < 0) return undo("epoll");
    for (int* fd : {&m_listenFd, &m_wakeFd, &m_doneFd}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = fd;
        const int watched = fd == &m_listenFd ? listener.get() : fd == &m_wakeFd ? wake.get() : done.get();
        if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, watched, &event) != 0) return undo("epoll");
    }
    m_socketPath = socketPath;
    m_listenFd = listener.release();
    m_epollFd = epoll.release();
    m_wakeFd = wake.release();
    m_doneFd = done.release();
    m_stopping = false;
    m_workersStop = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < kKeptWorkers; ++i) StartWorker(nullptr);
    }
    m_loopThread = std::thread([this]() { EventLoop(); });
    Logger::Write(KLOG_INFO, kComponent, "Listening on %s", socketPath.c_str());
    return S_OK;
}

void KorvelRemoteServer::Stop() {
    if (m_wakeFd < 0) return;
    m_stopping = true;
    const uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (m_loopThread.joinable()) m_loopThread.join();
    // Nobody new gets in from here on.
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(m_socketPath.c_str());
    std::list<std::unique_ptr<Connection>> connections;
    {
        // The calls in flight, and the frames that arrived whole, finish and answer.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_allDone.wait(lock, [&]() { return m_busy == 0; });
        m_done.clear();
        connections.swap(m_connections);
        m_workersStop = true;
        for (const auto& worker : m_workers) worker->wake.notify_one();
    }
    connections.clear();  // releases every object
    // The loop has ended, so nothing else changes the list of workers now.
    for (const auto& worker : m_workers) worker->thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_workers.clear();
        m_idleWorkers.clear();
        m_exitedWorkers.clear();
    }
    for (int* fd : {&m_epollFd, &m_wakeFd, &m_doneFd}) {
        ::close(*fd);
        *fd = -1;
    }
    Logger::Write(KLOG_INFO, kComponent, "Stopped listening on %s", m_socketPath.c_str());
}

size_t KorvelRemoteServer::OpenConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

size_t KorvelRemoteServer::ConnectionsServed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_served;
}

// ---- the loop's thread -------------------------------------------------------

void KorvelRemoteServer::EventLoop() {
    epoll_event events[kMaxEvents];
    while (!m_stopping) {
        const int n = ::epoll_wait(m_epollFd, events, kMaxEvents, MsToNextDeadline());
        for (int i = 0; i < n && !m_stopping; ++i) {
            void* source = events[i].data.ptr;
            if (source == &m_wakeFd) break;
            try {
                if (source == &m_listenFd)
                    Accept();
                else if (source == &m_doneFd)
                    Finished();
                else
                    Receive(*static_cast<Connection*>(source));
            } catch (const std::exception& e) {
                // Only an allocation can fail here: the connection it was for goes.
                try {
                    Logger::Write(KLOG_ERROR, kComponent, "The server's wait for connections met: %s", e.what());
                    if (source != &m_listenFd && source != &m_doneFd && Holds(source))
                        Close(*static_cast<Connection*>(source), "the server is short of memory");
                } catch (const std::exception&) {
                }
            }
        }
        ExpireDeadlines();
        JoinExitedWorkers();
    }
}

void KorvelRemoteServer::Accept() {
    for (;;) {
        KDescriptor fd(::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (fd.get() < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // The pending connection stays queued: wait a little rather than spin.
                Logger::Write(KLOG_ERROR, kComponent, "Cannot accept a connection: %s", std::strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) continue;
        const char* refusal = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const size_t mine = static_cast<size_t>(std::count_if(
                m_connections.begin(), m_connections.end(), [&](const auto& c) { return c->caller.uid == peer.uid; }));
            if (peer.uid != 0 && mine >= kMaxConnectionsPerUser)
                refusal = "16 connections of that user are open";
            else if (m_connections.size() >= (peer.uid == 0 ? kMaxConnections : kMaxConnections - kReservedForRoot))
                refusal = "every connection is taken";
        }
        if (refusal != nullptr) {
            Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) refused: %s",
                          static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid), refusal);
            SendRefusal(fd.get(), kServerTooBusy);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->pid = peer.pid;
        connection->caller.uid = peer.uid;
        connection->caller.gid = peer.gid;
        connection->caller.groupsKnown = false;  // the group database says, at activation
        connection->deadline = Clock::now() + kActivateWithin;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.ptr = connection.get();
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd.get(), &event) != 0) continue;
        connection->fd = fd.release();
        connection->watched = true;
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_served;
        m_connections.push_back(std::move(connection));
    }
}

// Takes what has arrived of the current frame; a complete one goes to a worker.
void KorvelRemoteServer::Receive(Connection& c) {
    for (;;) {
        char* to;
        size_t wanted;
        if (c.headerReceived < sizeof c.header) {
            to = reinterpret_cast<char*>(c.header) + c.headerReceived;
            wanted = sizeof c.header - c.headerReceived;
        } else {
            to = c.frame.Data() + c.frame.Received();
            wanted = c.frame.Size() - c.frame.Received();
        }
        ssize_t n = wanted > 0 ? ::recv(c.fd, to, wanted, 0) : 0;
        if (wanted > 0 && n == 0) {
            // The client let go; inside a frame that cuts the frame short.
            return Close(c, c.InsideFrame() ? FrameResultText(FrameResult::Truncated) : nullptr);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            return Close(c, c.InsideFrame() ? FrameResultText(FrameResult::Truncated) : nullptr);
        }
        if (c.headerReceived < sizeof c.header) {
            // Once a frame has begun, the rest of it must follow in time.
            if (c.headerReceived == 0 && c.activated) c.deadline = Clock::now() + kFrameWithin;
            c.headerReceived += static_cast<size_t>(n);
            if (c.headerReceived < sizeof c.header) continue;
            const uint32_t length = static_cast<uint32_t>(c.header[0]) | static_cast<uint32_t>(c.header[1]) << 8 |
                                    static_cast<uint32_t>(c.header[2]) << 16 | static_cast<uint32_t>(c.header[3]) << 24;
            if (length > kMaxFrameBytes) return Close(c, FrameResultText(FrameResult::TooLarge));
            if (!c.activated && length > kMaxActivationBytes)
                return Close(c, "the first call is not a well-formed activation");
            if (!c.frame.Allocate(length)) return Close(c, "the server is short of memory");
        } else {
            c.frame.Received() += static_cast<size_t>(n);
        }
        if (c.frame.Complete()) return Dispatch(c);
    }
}

void KorvelRemoteServer::Dispatch(Connection& c) {
    // Nothing is read from a connection while its call runs.
    ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
    c.watched = false;
    c.busy = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_busy;
    if (!m_idleWorkers.empty()) {
        Worker* worker = m_idleWorkers.back();
        m_idleWorkers.pop_back();
        worker->work = &c;
        worker->wake.notify_one();
    } else if (m_workers.size() - m_exitedWorkers.size() < kMaxConnections) {
        StartWorker(&c);
    } else {
        m_work.push_back(&c);  // the next worker to finish takes it
    }
}

// Connections whose frame a worker has served: watched again, or closed.
void KorvelRemoteServer::Finished() {
    uint64_t count = 0;
    while (::read(m_doneFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::list<std::pair<Connection*, bool>> done;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        done.swap(m_done);
    }
    for (auto& [c, keep] : done) {
        c->busy = false;
        c->frame.Reset();
        c->headerReceived = 0;
        if (!keep) {
            Close(*c, nullptr);  // the worker said why
            continue;
        }
        c->deadline = Clock::now() + std::chrono::seconds(m_limits.idleSeconds);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.ptr = c;
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, c->fd, &event) != 0) {
            Close(*c, "it cannot be watched");
            continue;
        }
        c->watched = true;
    }
}

void KorvelRemoteServer::ExpireDeadlines() {
    const auto now = Clock::now();
    std::vector<Connection*> expired;
    for (const auto& c : m_connections)
        if (!c->busy && now >= c->deadline) expired.push_back(c.get());
    for (Connection* c : expired) {
        if (!c->activated) {
            Close(*c, "no activation within 5 s");
        } else if (c->InsideFrame()) {
            Close(*c, FrameResultText(FrameResult::TimedOut));
        } else {
            const std::string why = "idle for longer than " + std::to_string(m_limits.idleSeconds) + " s";
            Close(*c, why.c_str());
        }
    }
}

int KorvelRemoteServer::MsToNextDeadline() const {
    auto next = Clock::now() + std::chrono::seconds(1);
    for (const auto& c : m_connections)
        if (!c->busy) next = std::min(next, c->deadline);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) + 1 : 0;
}

void KorvelRemoteServer::Close(Connection& c, const char* why) {
    if (why != nullptr)
        Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) closed: %s", c.Pid(), c.Uid(), why);
    if (c.watched) ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
    c.watched = false;
    std::unique_ptr<Connection> gone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
            if (it->get() == &c) {
                gone = std::move(*it);
                m_connections.erase(it);
                break;
            }
        }
    }
    // The object is released outside the lock: its destructor takes its time.
}

bool KorvelRemoteServer::Holds(const void* connection) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_connections.begin(), m_connections.end(),
                       [&](const auto& c) { return c.get() == connection; });
}

void KorvelRemoteServer::JoinExitedWorkers() {
    std::list<std::unique_ptr<Worker>> exited;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Worker* gone : m_exitedWorkers) {
            auto it = std::find_if(m_workers.begin(), m_workers.end(),
                                   [&](const std::unique_ptr<Worker>& worker) { return worker.get() == gone; });
            if (it != m_workers.end()) exited.splice(exited.end(), m_workers, it);
        }
        m_exitedWorkers.clear();
    }
    for (const auto& worker : exited) worker->thread.join();
}

// ---- the workers -------------------------------------------------------------

// Called with the mutex held.
void KorvelRemoteServer::StartWorker(Connection* first) {
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    raw->work = first;
    m_workers.push_back(std::move(worker));
    raw->thread = std::thread([this, raw]() { RunWorker(*raw); });
}

void KorvelRemoteServer::RunWorker(Worker& worker) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        Connection* c = worker.work;
        worker.work = nullptr;
        if (c == nullptr && !m_work.empty()) {
            c = m_work.front();
            m_work.pop_front();
        }
        if (c == nullptr) {
            if (m_workersStop) return;
            m_idleWorkers.push_back(&worker);
            const bool handed = worker.wake.wait_for(lock, kSpareWorkerLinger,
                                                     [&]() { return worker.work != nullptr || m_workersStop; });
            if (worker.work != nullptr) continue;  // Dispatch took it off the idle list
            const auto idle = std::find(m_idleWorkers.begin(), m_idleWorkers.end(), &worker);
            if (idle != m_idleWorkers.end()) m_idleWorkers.erase(idle);
            if (m_workersStop) return;
            if (!handed && m_workers.size() - m_exitedWorkers.size() > kKeptWorkers) {
                m_exitedWorkers.push_back(&worker);  // the loop joins it
                return;
            }
            continue;
        }
        lock.unlock();
        const bool keep = Serve(*c);
        lock.lock();
        m_done.emplace_back(c, keep);
        --m_busy;
        const uint64_t one = 1;
        while (::write(m_doneFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_allDone.notify_all();
    }
}

// Whatever a frame causes, only its own connection can end from it.
bool KorvelRemoteServer::Serve(Connection& c) {
    const char* why = nullptr;
    std::string what;
    try {
        return c.activated ? ServeCall(c) : ServeActivation(c);
    } catch (const std::exception& e) {
        what = e.what();
        why = what.c_str();
    } catch (...) {
        why = "an exception of unknown type";
    }
    Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) closed: %s", c.Pid(), c.Uid(), why);
    return false;
}

bool KorvelRemoteServer::ServeActivation(Connection& c) {
    auto drop = [&](const char* why) {
        Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) closed: %s", c.Pid(), c.Uid(), why);
        return false;
    };
    pb::Call call;
    GUID clsid;
    if (!call.ParseFromArray(c.frame.Data(), static_cast<int>(c.frame.Size())) ||
        call.operation_case() != pb::Call::kActivate || !DecodeGuid(call.activate().clsid(), clsid))
        return drop("the first call is not a well-formed activation");

    // The identity every later call of this connection runs with.
    KorvelResolveCallerGroups(c.caller);
    pb::Reply reply;
    if (!KorvelIsAdministrator(c.caller)) {
        Logger::Write(KLOG_ERROR, kComponent,
                      "Activation by process %d (uid %u) refused: the caller is not an administrator", c.Pid(),
                      c.Uid());
        Logger::EventLog(1, 1, static_cast<int>(kAuthorizationEvent), "%s", "");
        reply.set_hr(E_ACCESSDENIED);
        WriteFrame(c.fd, reply.SerializeAsString(), kReplyWithinMs);
        return false;
    }
    auto stub = std::make_unique<ObjectStub>();
    {
        KorvelCallerScope scope(c.caller);
        reply.set_hr(IsEqualCLSID(clsid, m_clsid) ? stub->Activate(clsid, *reply.mutable_activated())
                                                  : REGDB_E_CLASSNOTREG);
    }
    if (SUCCEEDED(reply.hr())) {
        c.stub = std::move(stub);
        c.activated = true;
    }
    const FrameResult written = WriteFrame(c.fd, reply.SerializeAsString(), kReplyWithinMs);
    if (written != FrameResult::Ok) return drop(FrameResultText(written));
    return c.activated;
}

bool KorvelRemoteServer::ServeCall(Connection& c) {
    pb::Reply reply;
    std::string why;
    ObjectStub::Outcome outcome;
    {
        KorvelCallerScope scope(c.caller);
        outcome = c.stub->Handle(c.frame.Data(), c.frame.Size(), reply, why);
    }
    c.frame.Reset();  // a large frame's memory goes before the answer is made
    switch (outcome) {
        case ObjectStub::Outcome::Drop:
            Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) closed: %s", c.Pid(), c.Uid(),
                          why.c_str());
            return false;
        case ObjectStub::Outcome::Released: WriteFrame(c.fd, reply.SerializeAsString(), kReplyWithinMs); return false;
        case ObjectStub::Outcome::Refused:
            Logger::Write(KLOG_ERROR, kComponent, "Call from process %d (uid %u) refused: %s", c.Pid(), c.Uid(),
                          why.c_str());
            break;
        case ObjectStub::Outcome::Answer: break;
    }
    const FrameResult written = WriteFrame(c.fd, reply.SerializeAsString(), kReplyWithinMs);
    if (written == FrameResult::Ok) return true;
    Logger::Write(KLOG_ERROR, kComponent, "Connection from process %d (uid %u) closed: %s", c.Pid(), c.Uid(),
                  FrameResultText(written));
    return false;
}
