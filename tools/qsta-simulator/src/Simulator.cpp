#include "qsta/Simulator.h"

#include "Certificate.h"
#include "Images.h"
#include "Loop.h"
#include "Model.h"
#include "San.h"
#include "Xml.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace qsta {

namespace {

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// '*' matches any run of characters, '?' exactly one.
bool GlobMatch(const std::string& pattern, const std::string& text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string::npos;
    std::size_t mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

// Splits a raw path into percent-decoded segments; false unless it lies
// under "/api/". Decoding after splitting keeps an encoded '/' inside its
// identifier.
bool ApiSegments(const std::string& rawPath, std::vector<std::string>& segments) {
    static const std::string prefix = "/api/";
    if (rawPath.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    std::size_t start = prefix.size();
    for (;;) {
        std::size_t end = rawPath.find('/', start);
        segments.push_back(Simulator::PercentDecode(
            rawPath.substr(start, end == std::string::npos ? std::string::npos : end - start)));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return true;
}

detail::Answer ErrorAnswer(int status, const std::string& message) {
    detail::Answer answer;
    answer.status = status;
    answer.body = detail::XmlDeclaration();
    answer.body += "<error>\n";
    detail::AppendElement(answer.body, "  ", "code", std::to_string(status));
    detail::AppendElement(answer.body, "  ", "message", message);
    answer.body += "</error>\n";
    return answer;
}

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Status: return "status";
        case FaultKind::EmptyBody: return "empty-body";
        case FaultKind::MalformedBody: return "malformed-body";
        case FaultKind::MissingElement: return "missing-element";
        case FaultKind::RefusedCommand: return "refused-command";
        case FaultKind::Delay: return "delay";
        case FaultKind::DropConnection: return "drop-connection";
        case FaultKind::CustomBody: return "custom-body";
    }
    return "unknown";
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    }
    return out;
}

std::string UtcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
    return buffer;
}

// Headers that the HTTP library adds to a request for the handler's
// convenience; the client never sent them.
bool IsLibraryHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

}  // namespace

// ---------------------------------------------------------------------------
// Fault shorthands and journal helpers
// ---------------------------------------------------------------------------

namespace {
Fault MakeFault(const std::string& method, const std::string& pathPattern, FaultKind kind) {
    Fault fault;
    fault.method = method;
    fault.pathPattern = pathPattern;
    fault.kind = kind;
    return fault;
}
}  // namespace

Fault Fault::WithStatus(const std::string& method, const std::string& pathPattern, int status) {
    Fault fault = MakeFault(method, pathPattern, FaultKind::Status);
    fault.status = status;
    return fault;
}

Fault Fault::Redirect(const std::string& method, const std::string& pathPattern, const std::string& location,
                      int status) {
    Fault fault = MakeFault(method, pathPattern, FaultKind::Status);
    fault.status = status;
    fault.location = location;
    return fault;
}

Fault Fault::Empty(const std::string& method, const std::string& pathPattern) {
    return MakeFault(method, pathPattern, FaultKind::EmptyBody);
}

Fault Fault::Malformed(const std::string& method, const std::string& pathPattern) {
    return MakeFault(method, pathPattern, FaultKind::MalformedBody);
}

Fault Fault::WithoutElement(const std::string& method, const std::string& pathPattern) {
    return MakeFault(method, pathPattern, FaultKind::MissingElement);
}

Fault Fault::Refuse(const std::string& method, const std::string& pathPattern, const std::string& statusText,
                    const std::optional<std::string>& message) {
    Fault fault = MakeFault(method, pathPattern, FaultKind::RefusedCommand);
    fault.refusalStatus = statusText;
    fault.refusalMessage = message;
    return fault;
}

Fault Fault::Slow(const std::string& method, const std::string& pathPattern, std::chrono::milliseconds delay) {
    Fault fault = MakeFault(method, pathPattern, FaultKind::Delay);
    fault.delay = delay;
    return fault;
}

Fault Fault::Drop(const std::string& method, const std::string& pathPattern) {
    return MakeFault(method, pathPattern, FaultKind::DropConnection);
}

Fault Fault::Custom(const std::string& method, const std::string& pathPattern, int status, const std::string& body,
                    const std::string& contentType) {
    Fault fault = MakeFault(method, pathPattern, FaultKind::CustomBody);
    fault.status = status;
    fault.body = body;
    fault.contentType = contentType;
    return fault;
}

std::string JournalEntry::Header(const std::string& name) const {
    for (const auto& header : headers) {
        if (EqualsIgnoreCase(header.first, name)) {
            return header.second;
        }
    }
    return std::string();
}

bool JournalEntry::HasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& header) { return EqualsIgnoreCase(header.first, name); });
}

std::string Simulator::PercentDecode(const std::string& text, bool plusAsSpace) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else if (c == '+' && plusAsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string Simulator::ResponseElementFor(const std::string& method, const std::string& rawPath) {
    std::vector<std::string> s;
    std::string path = rawPath.substr(0, rawPath.find('?'));
    if (!ApiSegments(path, s)) {
        return std::string();
    }
    const std::size_t n = s.size();
    if (method == "POST") {
        if (n == 2 && s[0] == "snapshots" && s[1] == "snapshots_set") return "create-snapshot-set-response";
        if (n == 3 && s[0] == "consistency_groups" && !s[1].empty() && (s[2] == "clone" || s[2] == "rollback"))
            return "clone-cg-response";
        if (n == 1 && s[0] == "servers") return "create-server-response";
        if (n == 3 && s[0] == "servers" && !s[1].empty() && s[2] == "volumes") return "attach-volume-response";
        if (n == 3 && s[0] == "volumes" && !s[1].empty() && s[2] == "detach") return "detach-volume-response";
    } else if (method == "DELETE") {
        if (n == 2 && s[0] == "snapshots" && !s[1].empty()) return "delete-snapshot-response";
        if (n == 2 && s[0] == "volumes" && !s[1].empty()) return "delete-volume-response";
    } else if (method == "GET") {
        if (n == 1 && s[0] == "drives") return "show-disks-response";
    }
    return std::string();
}

// ---------------------------------------------------------------------------
// Implementation
// ---------------------------------------------------------------------------

struct Simulator::Impl {
    struct ActiveFault {
        int id;
        Fault fault;
        unsigned remaining;  // 0: until removed
    };

    Options options;
    // Destroyed in reverse: the hosts' disks let go of their loop devices
    // before the images go.
    std::unique_ptr<detail::Images> images;  // null without Options::dataDir
    std::unique_ptr<detail::LoopDevices> loops;
    detail::Model model;
    std::vector<std::unique_ptr<detail::San>> sans;  // one per host of the storage network
    bool loggedIn = false;

    void SyncSan() {
        for (auto& san : sans) san->Sync();
    }

    // The storage network's notices go where the requests are logged.
    void Say(const std::string& line) {
        if (options.requestLog) {
            options.requestLog(line);
        } else {
            static std::mutex stderrMutex;
            std::lock_guard lock(stderrMutex);
            std::cerr << line << std::endl;
        }
    }

    void MakeStorage() {
        std::vector<SanHost> hosts = options.sanHosts;
        if (!options.sanRoot.empty() || !options.hostIqn.empty()) hosts.push_back({options.hostIqn, options.sanRoot});
        std::set<std::string> iqns;
        for (const auto& host : hosts) {
            if (host.iqn.empty() || host.root.empty())
                throw std::invalid_argument("qsta-simulator: a SAN host needs an initiator name and a folder");
            if (!iqns.insert(host.iqn).second)
                throw std::invalid_argument("qsta-simulator: SAN host " + host.iqn + " is given twice");
        }
        auto say = [this](const std::string& line) { Say(line); };
        if (!options.dataDir.empty()) {
            images = std::make_unique<detail::Images>(options.dataDir);
            model.SetImages(images.get());
            loops = std::make_unique<detail::LoopDevices>(say);
        }
        for (const auto& host : hosts)
            sans.push_back(std::make_unique<detail::San>(model, host.root, host.iqn, options.autoScan, images.get(),
                                                         loops.get(), say));
    }

    mutable std::mutex keyMutex;
    std::string accessKey;

    mutable std::mutex faultMutex;
    std::vector<ActiveFault> faults;
    std::unordered_map<int, std::size_t> faultHits;
    int nextFaultId = 1;

    mutable std::mutex journalMutex;
    std::vector<JournalEntry> journal;
    std::uint64_t journalBase = 1;  // sequence of journal[0]

    std::mutex lifecycleMutex;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread listenThread;
    std::atomic<bool> listenDone{false};
    std::atomic<int> port{0};

    std::mutex stopMutex;
    std::condition_variable stopCv;
    bool stopping = false;

    std::string CurrentKey() const {
        std::lock_guard lock(keyMutex);
        return accessKey;
    }

    std::optional<Fault> TakeFault(const std::string& method, const std::string& rawPath) {
        std::lock_guard lock(faultMutex);
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            const Fault& f = it->fault;
            bool methodMatches = f.method.empty() || f.method == "*" || EqualsIgnoreCase(f.method, method);
            bool pathMatches = f.pathPattern.empty() || GlobMatch(f.pathPattern, rawPath);
            if (!methodMatches || !pathMatches) {
                continue;
            }
            Fault applied = f;
            ++faultHits[it->id];
            if (it->remaining != 0 && --it->remaining == 0) {
                faults.erase(it);
            }
            return applied;
        }
        return std::nullopt;
    }

    std::uint64_t Record(JournalEntry entry) {
        std::lock_guard lock(journalMutex);
        entry.sequence = journalBase + journal.size();
        journal.push_back(std::move(entry));
        return journal.back().sequence;
    }

    void Complete(std::uint64_t sequence, int status, bool faulted) {
        std::lock_guard lock(journalMutex);
        if (sequence >= journalBase && sequence - journalBase < journal.size()) {
            JournalEntry& entry = journal[sequence - journalBase];
            entry.status = status;
            entry.faulted = faulted;
        }
    }

    // Waits, but gives up as soon as the simulator is stopping.
    void Pause(std::chrono::milliseconds delay) {
        std::unique_lock lock(stopMutex);
        stopCv.wait_for(lock, delay, [this] { return stopping; });
    }

    // What the appliance answers when nothing is injected.
    detail::Answer Process(const httplib::Request& req, const std::string& rawPath, const std::string& body) {
        std::string key = CurrentKey();
        if (!req.has_header("X-Access-Key") || req.get_header_value("X-Access-Key") != key) {
            return ErrorAnswer(401, "Invalid access key");
        }
        std::vector<std::string> segments;
        if (!ApiSegments(rawPath, segments)) {
            return ErrorAnswer(404, "No such resource");
        }
        detail::Answer answer = model.Handle(req.method, segments, body);
        if (req.method != "GET") SyncSan();
        return answer;
    }

    detail::Answer Inject(const Fault& fault, const httplib::Request& req, const std::string& rawPath) {
        detail::Answer answer;
        switch (fault.kind) {
            case FaultKind::Status:
                if (fault.status == 204 || fault.status == 304) {
                    answer.status = fault.status;
                } else {
                    answer = ErrorAnswer(fault.status, "Injected status " + std::to_string(fault.status));
                }
                break;
            case FaultKind::EmptyBody: break;
            case FaultKind::MalformedBody:
                answer.body = detail::XmlDeclaration();
                answer.body += "<volumes>\n  <volume>\n    <name>vol-1</name\n    <status>0</status>\n";
                break;
            case FaultKind::MissingElement:
                answer.body = detail::XmlDeclaration();
                answer.body += "<response>\n";
                detail::AppendElement(answer.body, "  ", "status", "0");
                detail::AppendElement(answer.body, "  ", "status-msg", "Success");
                answer.body += "</response>\n";
                break;
            case FaultKind::RefusedCommand: {
                std::string root = ResponseElementFor(req.method, rawPath);
                if (root.empty()) {
                    root = "response";
                }
                answer.body = detail::XmlDeclaration();
                answer.body += "<" + root + ">\n";
                detail::AppendElement(answer.body, "  ", "status", fault.refusalStatus);
                if (fault.refusalMessage) {
                    detail::AppendElement(answer.body, "  ", "status-msg", *fault.refusalMessage);
                }
                answer.body += "</" + root + ">\n";
                break;
            }
            case FaultKind::CustomBody:
                answer.status = fault.status;
                answer.body = fault.body;
                answer.contentType = fault.contentType;
                break;
            case FaultKind::Delay:
            case FaultKind::DropConnection: break;  // handled by the caller
        }
        return answer;
    }

    void Serve(const httplib::Request& req, httplib::Response& res, std::string body) {
        const std::string rawPath = req.target.substr(0, req.target.find('?'));
        JournalEntry entry;
        entry.method = req.method;
        entry.target = req.target;
        entry.rawPath = rawPath;
        entry.path = PercentDecode(rawPath);
        for (const auto& header : req.headers) {
            if (!IsLibraryHeader(header.first)) {
                entry.headers.emplace_back(header.first, header.second);
            }
        }
        entry.body = body;
        entry.clientPort = req.remote_port;
        const std::uint64_t sequence = Record(std::move(entry));

        std::optional<Fault> fault = TakeFault(req.method, rawPath);
        detail::Answer answer;
        bool dropped = false;
        std::string location;
        if (!fault) {
            answer = Process(req, rawPath, body);
        } else {
            if (fault->delay.count() > 0) {
                Pause(fault->delay);
            }
            if (fault->kind == FaultKind::Delay) {
                answer = Process(req, rawPath, body);
            } else {
                if (fault->execute) {
                    Process(req, rawPath, body);
                }
                if (fault->kind == FaultKind::DropConnection) {
                    dropped = true;
                } else {
                    answer = Inject(*fault, req, rawPath);
                    if (fault->kind == FaultKind::Status && fault->status >= 300 && fault->status < 400) {
                        location = fault->location;
                    }
                }
            }
        }

        // The journal is complete before the client can see any outcome, so
        // a test may read it as soon as its request returns.
        Complete(sequence, dropped ? 0 : answer.status, fault.has_value());
        if (dropped) {
            // Shut the socket down under the TLS layer: the client sees the
            // connection end without any answer, and the library's attempt
            // to write one fails quietly.
            int fd = req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1;
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);
            }
            res.status = 500;
        } else {
            res.status = answer.status;
            if (!location.empty()) {
                res.set_header("Location", location);
            }
            res.set_content(answer.body, answer.contentType.c_str());
        }

        if (options.requestLog) {
            std::string line = UtcNow() + " " + req.remote_addr + ":" + std::to_string(req.remote_port) + " " +
                               Printable(req.method) + " " + Printable(req.target) + " ";
            if (dropped) {
                line += "dropped";
            } else {
                line += std::to_string(answer.status) + " " + std::to_string(answer.body.size()) + " bytes";
            }
            if (fault) {
                line += std::string(" [fault ") + FaultName(fault->kind) + "]";
            }
            options.requestLog(line);
        }
    }

    void StopLocked() {
        if (!server) {
            return;
        }
        {
            std::lock_guard lock(stopMutex);
            stopping = true;
        }
        stopCv.notify_all();
        // The library's stop() only acts once listening has begun, and must
        // act exactly once: wait for either before the single call.
        while (!listenDone.load()) {
            if (server->is_running()) {
                server->stop();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (listenThread.joinable()) {
            listenThread.join();
        }
        server.reset();
        port = 0;
    }

    void StartLocked() {
        if (server) {
            return;
        }
        detail::Certificate certificate = detail::MakeSelfSignedCertificate(options.listenAddress);
        // The server takes its own references to the key and certificate.
        auto srv = std::make_unique<httplib::SSLServer>(certificate.cert.get(), certificate.key.get());
        if (!srv->is_valid()) {
            throw std::runtime_error("qsta-simulator: cannot set up TLS");
        }
        const bool ipv6 = options.listenAddress.find(':') != std::string::npos;
        srv->set_address_family(ipv6 ? AF_INET6 : AF_INET);
        // Only SO_REUSEADDR: a second simulator must not share a port.
        srv->set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        srv->set_tcp_nodelay(true);
        srv->set_keep_alive_timeout(1);
        // An appliance keeps a client's connection for many requests; the
        // library's default of five would hide what reuse is worth.
        srv->set_keep_alive_max_count(1000);
        srv->set_read_timeout(5, 0);
        srv->set_write_timeout(5, 0);
        const unsigned threads = options.threads == 0 ? 1 : options.threads;
        srv->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };

        httplib::Server::Handler plain = [this](const httplib::Request& req, httplib::Response& res) {
            Serve(req, res, req.body);
        };
        // Bodies are read through a content reader so that form bodies of
        // any size reach the handler (the library caps the ones it parses).
        httplib::Server::HandlerWithContentReader reading = [this](const httplib::Request& req, httplib::Response& res,
                                                                   const httplib::ContentReader& content) {
            std::string body;
            content([&body](const char* data, size_t length) {
                body.append(data, length);
                return true;
            });
            Serve(req, res, std::move(body));
        };
        const std::string any = R"([\s\S]*)";
        srv->Get(any, plain);
        srv->Post(any, plain);
        srv->Post(any, reading);
        srv->Put(any, plain);
        srv->Put(any, reading);
        srv->Patch(any, plain);
        srv->Patch(any, reading);
        srv->Delete(any, plain);
        srv->Delete(any, reading);
        srv->Options(any, plain);

        int bound = 0;
        if (options.port == 0) {
            bound = srv->bind_to_any_port(options.listenAddress);
        } else if (srv->bind_to_port(options.listenAddress, options.port)) {
            bound = options.port;
        }
        if (bound <= 0) {
            throw std::runtime_error("qsta-simulator: cannot listen on " + options.listenAddress + ":" +
                                     std::to_string(options.port));
        }

        {
            std::lock_guard lock(stopMutex);
            stopping = false;
        }
        listenDone = false;
        server = std::move(srv);
        port = bound;
        httplib::SSLServer* raw = server.get();
        listenThread = std::thread([this, raw] {
            // Workers are made by this thread and inherit its mask: a write
            // to a peer that went away then fails with EPIPE instead of
            // killing the process.
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            raw->listen_after_bind();
            listenDone = true;
        });

        const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
        while (!server->is_running()) {
            if (listenDone.load() || std::chrono::steady_clock::now() >= deadline) {
                StopLocked();
                throw std::runtime_error("qsta-simulator: server did not start");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// ---------------------------------------------------------------------------
// Simulator
// ---------------------------------------------------------------------------

Simulator::Simulator() : Simulator(Options()) {}

Simulator::Simulator(Options options) : m_impl(std::make_unique<Impl>()) {
    m_impl->options = std::move(options);
    m_impl->accessKey = m_impl->options.accessKey;
    m_impl->MakeStorage();
    if (!m_impl->options.seedFile.empty()) {
        LoadSeedFile(m_impl->options.seedFile);
    } else if (m_impl->options.defaultSeed) {
        LoadDefaultSeed();
    }
}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
    std::lock_guard lock(m_impl->lifecycleMutex);
    m_impl->StartLocked();
    // The hosts log in to the target once it serves: its mapped LUNs show.
    if (!m_impl->loggedIn) {
        for (auto& san : m_impl->sans) san->Scan();
        m_impl->loggedIn = true;
    }
}

void Simulator::Stop() {
    std::lock_guard lock(m_impl->lifecycleMutex);
    m_impl->StopLocked();
}

bool Simulator::IsRunning() const {
    std::lock_guard lock(m_impl->lifecycleMutex);
    return m_impl->server != nullptr && m_impl->server->is_running();
}

int Simulator::Port() const { return m_impl->port.load(); }

std::string Simulator::Address() const {
    const std::string& host = m_impl->options.listenAddress;
    std::string port = std::to_string(Port());
    return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

std::string Simulator::Url() const { return "https://" + Address(); }

std::string Simulator::AccessKey() const { return m_impl->CurrentKey(); }

void Simulator::SetAccessKey(const std::string& key) {
    std::lock_guard lock(m_impl->keyMutex);
    m_impl->accessKey = key;
}

void Simulator::Clear() {
    m_impl->model.Clear();
    m_impl->SyncSan();
}

void Simulator::ClearSnapshots() { m_impl->model.ClearSnapshots(); }

void Simulator::LoadDefaultSeed() {
    m_impl->model.LoadDefaultSeed();
    m_impl->SyncSan();
}

// A bad line throws after the lines before it were applied: their mappings show.
void Simulator::LoadSeed(const std::string& text) {
    try {
        m_impl->model.LoadSeed(text);
    } catch (...) {
        m_impl->SyncSan();
        throw;
    }
    m_impl->SyncSan();
}

void Simulator::LoadSeedFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::invalid_argument(path + ": cannot read the seed file");
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        LoadSeed(text.str());
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(path + ": " + error.what());
    }
}

Volume Simulator::AddVolume(const std::string& displayName) {
    VolumeSpec spec;
    spec.displayName = displayName;
    return m_impl->model.AddVolume(spec);
}

Volume Simulator::AddVolume(const VolumeSpec& spec) { return m_impl->model.AddVolume(spec); }

std::vector<std::string> Simulator::AddVolumes(std::size_t count, const std::string& displayPrefix) {
    return m_impl->model.AddVolumes(count, displayPrefix);
}

Host Simulator::AddHost(const std::string& iqn, const std::string& iscsiIp, const std::string& name,
                        const std::string& displayName) {
    return m_impl->model.AddHost(iqn, iscsiIp, name, displayName);
}

Snapshot Simulator::AddSnapshot(const std::string& cgName, const std::string& displayName, const std::string& id) {
    return m_impl->model.AddSnapshot(cgName, displayName, id);
}

void Simulator::MapVolume(const std::string& volumeName, const std::string& hostName) {
    m_impl->model.MapVolume(volumeName, hostName);
    m_impl->SyncSan();
}

std::vector<SanDisk> Simulator::SanDisks() const {
    std::vector<SanDisk> disks;
    for (const auto& san : m_impl->sans) {
        auto shown = san->Disks();
        disks.insert(disks.end(), shown.begin(), shown.end());
    }
    return disks;
}

std::string Simulator::ScanFile(const std::string& hostIqn) const {
    for (const auto& san : m_impl->sans)
        if (hostIqn.empty() || san->HostIqn() == hostIqn) return san->ScanFile();
    return std::string();
}

std::string Simulator::VolumeImage(const std::string& volumeName) const {
    return m_impl->images ? m_impl->images->VolumePath(volumeName) : std::string();
}

std::string Simulator::SnapshotImage(const std::string& snapshotId, const std::string& volumeName) const {
    return m_impl->images ? m_impl->images->SnapshotPath(snapshotId, volumeName) : std::string();
}

std::vector<Volume> Simulator::Volumes() const { return m_impl->model.Volumes(); }
std::size_t Simulator::VolumeCount() const { return m_impl->model.VolumeCount(); }
std::optional<Volume> Simulator::FindVolume(const std::string& name) const { return m_impl->model.FindVolume(name); }
std::optional<Volume> Simulator::FindVolumeByDisplayName(const std::string& displayName) const {
    return m_impl->model.FindVolumeByDisplayName(displayName);
}
std::optional<Volume> Simulator::FindVolumeByIeeeId(const std::string& ieeeId) const {
    return m_impl->model.FindVolumeByIeeeId(ieeeId);
}
std::vector<ConsistencyGroup> Simulator::Groups() const { return m_impl->model.Groups(); }
std::optional<ConsistencyGroup> Simulator::FindGroup(const std::string& cgName) const {
    return m_impl->model.FindGroup(cgName);
}
std::vector<Snapshot> Simulator::Snapshots() const { return m_impl->model.Snapshots(); }
std::vector<Snapshot> Simulator::Snapshots(const std::string& cgName) const { return m_impl->model.Snapshots(cgName); }
std::optional<Snapshot> Simulator::FindSnapshot(const std::string& id) const { return m_impl->model.FindSnapshot(id); }
std::vector<Host> Simulator::Hosts() const { return m_impl->model.Hosts(); }
std::optional<Host> Simulator::FindHost(const std::string& name) const { return m_impl->model.FindHost(name); }
std::optional<Host> Simulator::FindHostByIqn(const std::string& iqn) const { return m_impl->model.FindHostByIqn(iqn); }
std::vector<Mapping> Simulator::Mappings() const { return m_impl->model.Mappings(); }
bool Simulator::IsMapped(const std::string& volumeName, const std::string& hostName) const {
    return m_impl->model.IsMapped(volumeName, hostName);
}

int Simulator::AddFault(const Fault& fault) {
    const bool needsStatus = fault.kind == FaultKind::Status || fault.kind == FaultKind::CustomBody;
    // 1xx answers are not final: a client would wait for another one.
    if (needsStatus && (fault.status < 200 || fault.status > 599)) {
        throw std::invalid_argument("fault status " + std::to_string(fault.status) + " is outside 200..599");
    }
    if (fault.delay.count() < 0) {
        throw std::invalid_argument("fault delay is negative");
    }
    std::lock_guard lock(m_impl->faultMutex);
    int id = m_impl->nextFaultId++;
    m_impl->faults.push_back(Impl::ActiveFault{id, fault, fault.times});
    m_impl->faultHits[id] = 0;
    return id;
}

void Simulator::RemoveFault(int faultId) {
    std::lock_guard lock(m_impl->faultMutex);
    auto& faults = m_impl->faults;
    faults.erase(std::remove_if(faults.begin(), faults.end(), [faultId](const auto& f) { return f.id == faultId; }),
                 faults.end());
}

void Simulator::ClearFaults() {
    std::lock_guard lock(m_impl->faultMutex);
    m_impl->faults.clear();
}

std::size_t Simulator::FaultHits(int faultId) const {
    std::lock_guard lock(m_impl->faultMutex);
    auto it = m_impl->faultHits.find(faultId);
    return it == m_impl->faultHits.end() ? 0 : it->second;
}

std::size_t Simulator::ActiveFaultCount() const {
    std::lock_guard lock(m_impl->faultMutex);
    return m_impl->faults.size();
}

std::vector<JournalEntry> Simulator::Journal() const {
    std::lock_guard lock(m_impl->journalMutex);
    return m_impl->journal;
}

std::size_t Simulator::JournalSize() const {
    std::lock_guard lock(m_impl->journalMutex);
    return m_impl->journal.size();
}

void Simulator::ClearJournal() {
    std::lock_guard lock(m_impl->journalMutex);
    m_impl->journalBase += m_impl->journal.size();
    m_impl->journal.clear();
}

}  // namespace qsta
