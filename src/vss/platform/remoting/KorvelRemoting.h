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
// Server: KorvelRemoteServer listens on the socket (mode 0660), creates an
// object through the class object registered for CLSCTX_LOCAL_SERVER when a
// connection opens and releases it when the connection closes. Calls on one
// connection are served one at a time, connections concurrently, each call
// with the peer's credentials (SO_PEERCRED) bound to its thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "com.h"

// Routes CLSCTX_LOCAL_SERVER activation to the local server.
void KorvelInstallLocalActivator();

// KORVEL_PROVIDER_SOCKET, default /run/korvel/KorvelProvider.sock.
std::string KorvelProviderSocketPath();

class KorvelRemoteServer {
public:
    explicit KorvelRemoteServer(REFCLSID clsid);
    ~KorvelRemoteServer();
    KorvelRemoteServer(const KorvelRemoteServer&) = delete;
    KorvelRemoteServer& operator=(const KorvelRemoteServer&) = delete;

    // Binds and listens on `socketPath` (its folder is created). Refuses a
    // path where another server answers, or that is something else than a
    // socket. Logs and returns the failure.
    HRESULT Start(const std::string& socketPath);
    // Stops accepting, lets the calls in flight finish and answer, then
    // closes every connection and releases its object. Idempotent.
    void Stop();

    size_t OpenConnections() const;
    size_t ConnectionsServed() const;

private:
    struct Connection;
    void AcceptLoop();
    void Serve(Connection& connection);
    void ReapFinished();

    CLSID m_clsid;
    std::string m_socketPath;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    mutable std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections;
    size_t m_served = 0;
};
