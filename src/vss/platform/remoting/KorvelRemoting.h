// COM activation and remoting between a client and the provider's local
// server, over the Unix stream socket KORVEL_PROVIDER_SOCKET (default
// /run/korvel/KorvelProvider.sock).
//
// Client: after KorvelInstallLocalActivator(), CoCreateInstance with
// CLSCTX_LOCAL_SERVER connects to the server and returns a proxy for the
// provider's interfaces. One connection is one activated object; releasing
// the proxy's last reference closes it. A call waits for its reply at most
// KORVEL_RPC_TIMEOUT_SECONDS (default 600) and gives RPC_E_TIMEOUT after that;
// a server gone mid-call gives RPC_E_DISCONNECTED at once.
//
// Server: KorvelRemoteServer listens on the socket (mode 0660, in a folder
// nobody but its owner may write to). A connection must activate within 5 s;
// only an administrator's activation makes an object, created through the
// class object registered for CLSCTX_LOCAL_SERVER and released when the
// connection closes. Every call on it runs with the identity bound at
// activation. Calls on one connection are served one at a time, connections
// concurrently by a pool of threads that stay alive between calls. A
// connection idle for longer than the configured limit is closed. Each user
// but root has at most 16 connections, and 16 are kept for root.
#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com.h"

// Routes CLSCTX_LOCAL_SERVER activation to the local server.
void KorvelInstallLocalActivator();

// KORVEL_PROVIDER_SOCKET, default /run/korvel/KorvelProvider.sock.
std::string KorvelProviderSocketPath();

// What the configuration store may change.
struct KorvelServerLimits {
    int idleSeconds = 600;  // an activated connection without a call for longer is closed
};

class KorvelRemoteServer {
public:
    explicit KorvelRemoteServer(REFCLSID clsid, KorvelServerLimits limits = {});
    ~KorvelRemoteServer();
    KorvelRemoteServer(const KorvelRemoteServer&) = delete;
    KorvelRemoteServer& operator=(const KorvelRemoteServer&) = delete;

    // Binds and listens on `socketPath` (its folder is created). Refuses a
    // folder that others than its owner can write to, a path where another
    // server answers, or that is something else than a socket. Logs and
    // returns the failure.
    HRESULT Start(const std::string& socketPath);
    // Stops accepting, lets the calls in flight finish and answer, then
    // closes every connection and releases its object. Idempotent.
    void Stop();

    size_t OpenConnections() const;
    size_t ConnectionsServed() const;

private:
    struct Connection;
    void EventLoop();
    void Accept();
    void Receive(Connection& connection);
    void Dispatch(Connection& connection);
    void Finished();
    void ExpireDeadlines();
    int MsToNextDeadline() const;
    void Close(Connection& connection, const char* why);
    bool Holds(const void* connection) const;
    struct Worker;
    void StartWorker(Connection* first);
    void RunWorker(Worker& worker);
    bool Serve(Connection& connection);
    bool ServeActivation(Connection& connection);
    bool ServeCall(Connection& connection);
    void JoinExitedWorkers();

    CLSID m_clsid;
    KorvelServerLimits m_limits;
    std::string m_socketPath;
    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_wakeFd = -1;  // readable once Stop() was called
    int m_doneFd = -1;  // a worker finished a connection's frame
    std::atomic<bool> m_stopping{false};
    std::thread m_loopThread;

    mutable std::mutex m_mutex;
    std::condition_variable m_allDone;
    std::list<std::unique_ptr<Connection>> m_connections;  // changed by the loop's thread only
    std::list<Connection*> m_work;                         // frames complete, waiting for a worker
    std::list<std::pair<Connection*, bool>> m_done;        // served; true to keep the connection
    size_t m_busy = 0;                                     // queued or being served
    size_t m_served = 0;
    std::list<std::unique_ptr<Worker>> m_workers;
    std::vector<Worker*> m_idleWorkers;  // the most recently idle last: it takes the next frame
    std::list<Worker*> m_exitedWorkers;  // ended; the loop joins them
    bool m_workersStop = false;
};
