#include "KConnection.h"

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include <libxml/hash.h>
#include <libxml/xmlerror.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "KRandom.h"
#include "KorvelAccessLibrary.h"
#include "Logger.h"
#include "Utilities.h"

namespace Korvel {

namespace {

const char* const kComponent = "Korvel.KAccessLibrary";

#define KLOG(level, ...) Logger::Write((level), kComponent, __VA_ARGS__)

// Transfer limits, read by every request on any thread.
std::atomic<long> g_connectTimeoutSeconds{30};
std::atomic<long> g_lowSpeedLimitBytes{1};
std::atomic<long> g_lowSpeedTimeSeconds{120};
std::atomic<size_t> g_maxResponseBytes{static_cast<size_t>(64) * 1024 * 1024};

std::string FormatText(const char* format, ...) KORVEL_PRINTF_FORMAT(1, 2);
std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    return text;
}

bool IsPlainByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

void AppendEscaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 0x0F];
}

// An identifier put into a path must stay one segment whatever it holds.
std::string EncodePathSegment(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (IsPlainByte(c))
            out += static_cast<char>(c);
        else
            AppendEscaped(out, c);
    }
    return out;
}

// A form value must stay one value whatever it holds
// (application/x-www-form-urlencoded).
std::string EncodeFormValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (IsPlainByte(c))
            out += static_cast<char>(c);
        else if (c == ' ')
            out += '+';
        else
            AppendEscaped(out, c);
    }
    return out;
}

// The event of a request refused because the appliance's certificate changed.
constexpr unsigned kEventCertificateMismatch = 0xC0004015u;
// What stands in for a recorded pin that is not one: it matches no key, so
// the appliance stays pinned rather than silently unpinned.
const char* const kUnmatchablePin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

// "sha256//" and the base64 SHA-256 digest of the public key of a PEM
// certificate; empty when it cannot be read.
std::string PinOfCertificate(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  &BIO_free);
    if (!bio) return std::string();
    std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                     &X509_free);
    if (!cert) return std::string();
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &der);
    if (length <= 0) return std::string();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool hashed = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed) return std::string();
    unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    EVP_EncodeBlock(text, digest, static_cast<int>(digestLength));
    return "sha256//" + std::string(reinterpret_cast<const char*>(text));
}

// The options every request handle carries, in the order they are set.
// `address` must outlive the request: a refused pin names it.
void ApplyRequestOptions(CURL* curl, const std::string& url, const std::string& address = std::string(),
                         const std::string& pin = std::string()) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    // Appliances use self-signed certificates.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &KConnection::WriteCallback);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    // Requests run on many threads: no signals for name resolution time-outs.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A dead or stalled appliance must not hang the caller for ever.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, g_connectTimeoutSeconds.load());
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, g_lowSpeedLimitBytes.load());
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, g_lowSpeedTimeSeconds.load());
    curl_easy_setopt(curl, CURLOPT_PRIVATE, address.c_str());
    // The recorded certificate's key: another one gets neither the access key nor a request.
    if (!pin.empty()) curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
}

enum class Method { Get, Post, Delete };

// A listing (GET) may go out on a connection an earlier request left open. A
// command never does: libcurl resends a request whose reused connection
// turns out dead, and a connection dying after the appliance acted must not
// make it act twice. So a command opens its own connection and closes it.
void ApplyMethod(CURL* curl, Method method, const std::string& body) {
    if (method != Method::Get) {
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    }
    switch (method) {
        case Method::Get:
            break;
        case Method::Post:
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "POST");
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
            break;
        case Method::Delete:
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
            break;
    }
}

// The appliance's address as the request named it: the URL's host and port.
std::string AddressOf(CURL* curl) {
    char* url = nullptr;
    if (curl == nullptr || curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || url == nullptr)
        return "(unknown)";
    const std::string text = url;
    const size_t scheme = text.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    return text.substr(start, text.find('/', start) - start);
}

// Why a transfer failed, in words for an administrator.
std::string TransferCause(CURL* curl, CURLcode code, const char* detail) {
    if (curl == nullptr) return "no request to the appliance could be prepared";
    const std::string appliance = "appliance " + AddressOf(curl);
    if (code == CURLE_OPERATION_TIMEDOUT) {
        // Still connecting (the TLS handshake included): the connect time-out
        // ran out; otherwise the answer stalled.
        curl_off_t connected = 0;
        curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &connected);
        const long limit = connected == 0 ? g_connectTimeoutSeconds.load() : g_lowSpeedTimeSeconds.load();
        return appliance + " did not answer within " + std::to_string(limit) + " s";
    }
    const std::string why = *detail != '\0' ? detail : curl_easy_strerror(code);
    if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST)
        return appliance + " could not be reached: " + why;
    return "the request to " + appliance + " failed: " + why;
}

// A status other than 200, with its cause.
KTransportFailure StatusFailure(CURL* curl, long status, const std::string& message) {
    const std::string appliance = "appliance " + AddressOf(curl);
    return KTransportFailure(message, status == 401 ? appliance + " refused the access key (HTTP 401)"
                                                    : appliance + " answered HTTP " + std::to_string(status));
}

// Runs the transfer into response and returns the HTTP status. A null handle
// fails the same way as a failed transfer.
long Perform(CURL* curl, std::ostringstream& response) {
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (code == CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
        const char* address = nullptr;
        curl_easy_getinfo(curl, CURLINFO_PRIVATE, &address);
        const std::string text =
            FormatText("The certificate of %s does not match the recorded one", address != nullptr ? address : "");
        Logger::EventLog(1, 1, static_cast<int>(kEventCertificateMismatch), "%s", text.c_str());
        throw KTransportFailure(text, text);
    }
    if (code != CURLE_OK) {
        KTransportFailure failure("Failed to perform curl action", TransferCause(curl, code, detail));
        KLOG(1, "%s", failure.Cause().c_str());
        throw failure;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    KLOG(4, "HTTP Return Code :%ld", status);
    return status;
}

// Sends a command and judges its answer: HTTP 200, then status "0" when the
// response element was found. Returns the parser's result.
int RunCommand(CurlHandle& curl, CurlHeaderList& headers, Method method, const std::string& body,
               const char* httpFailureFormat, const char* xPathID, CommandAction action, ResponseInfo& info) {
    std::ostringstream response;
    ApplyMethod(curl.get(), method, body);
    const long status = Perform(curl.get(), response);
    if (status != 200) throw StatusFailure(curl.get(), status, FormatText(httpFailureFormat, status));
    const int result = KConnection::ParseResponseXML(response, xPathID, action, info);
    if (result == 0 && info.status != "0") {
        // The appliance's own words when it gave any; a blank text would
        // leave every caller up the chain reporting nothing.
        if (!info.statusMsg.empty()) throw KException(info.statusMsg);
        throw KException(FormatText("Appliance refused the command (status %s)",
                                    info.status.empty() ? "empty" : info.status.c_str()));
    }
    headers.reset();
    curl.reset();
    return result;
}

// Text of an element's content with entity references replaced; false when
// the element has no content.
bool ElementText(xmlDoc* doc, xmlNode* element, std::string& text) {
    XmlText value(xmlNodeListGetString(doc, element->children, 1));
    if (!value) return false;
    text.assign(reinterpret_cast<const char*>(value.get()));
    return true;
}

bool IsElementNamed(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// libxml2 writes its errors, with fragments of the answer, to standard error
// unless told otherwise; in the service that is the journal. They belong in
// the log with the other detail.
void RouteXmlErrorsToTheLog() {
    const xmlStructuredErrorFunc toLog = [](void*, auto error) {
        if (error == nullptr || error->message == nullptr) return;
        std::string text = error->message;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        KLOG(4, "libxml2: %s", text.c_str());
    };
    static std::once_flag initialised;
    std::call_once(initialised, [toLog] {
        // Once before parsers run on several threads.
        xmlInitParser();
        // The handler of every thread libxml2 has not met yet.
        xmlThrDefSetStructuredErrorFunc(nullptr, toLog);
    });
    // libxml2 keeps the handler per thread, and threads it has met already
    // (the process's first thread among them) kept the old default.
    thread_local bool routed = false;
    if (!routed) {
        xmlSetStructuredErrorFunc(nullptr, toLog);
        routed = true;
    }
}

// An appliance's answers never declare entities, and xmlNodeListGetString
// expands a declared one at every reference without limit: a small hostile
// answer could demand gigabytes. The predefined ones (&amp; ...) are not
// declarations.
bool DeclaresEntities(const xmlDoc* doc) {
    for (const xmlDtd* dtd : {doc->intSubset, doc->extSubset}) {
        if (dtd == nullptr) continue;
        for (void* table : {dtd->entities, dtd->pentities})
            if (table != nullptr && xmlHashSize(static_cast<xmlHashTablePtr>(table)) > 0) return true;
    }
    return false;
}

// The frame the six parsers share: parse, select, hand the selection to walk,
// release context, result object and document in that order, log the exit
// line. On failure the text is logged at level 0 and the exception rethrown.
template <typename Walk>
int RunParser(const std::ostringstream& response, const char* expression, const char* parserName,
              const char* nothingFoundLine, int nothingFoundResult, bool exitLineWhenNothingFound, Walk walk) {
    RouteXmlErrorsToTheLog();
    XmlDocument doc;
    XPathContext context;
    XPathObject selection;
    try {
        const std::string content = response.str();
        if (content.size() <= static_cast<size_t>(INT_MAX)) {
            // NONET and neither NOENT nor DTDLOAD: an answer must not make the
            // parser fetch anything or expand external entities.
            doc.reset(xmlReadMemory(content.data(), static_cast<int>(content.size()), "noname.xml", nullptr,
                                    XML_PARSE_NONET));
        }
        if (!doc || DeclaresEntities(doc.get())) throw KException("Failed to open the xml document");
        context.reset(xmlXPathNewContext(doc.get()));
        if (!context) throw KException("Failed to create xml path context");
        if (expression != nullptr) selection.reset(xmlXPathEvalExpression(BAD_CAST expression, context.get()));
        if (!selection) throw KException("Failed to evaluate xPath expression");

        xmlNodeSet* nodes = selection.get()->nodesetval;
        if (nodes == nullptr || nodes->nodeNr <= 0 || nodes->nodeTab == nullptr) {
            KLOG(2, "%s", nothingFoundLine);
            context.reset();
            selection.reset();
            doc.reset();
            if (exitLineWhenNothingFound)
                KLOG(3, "Exiting KConnection::%s with return code %d", parserName, nothingFoundResult);
            return nothingFoundResult;
        }
        const int result = walk(doc.get(), nodes);
        context.reset();
        selection.reset();
        doc.reset();
        KLOG(3, "Exiting KConnection::%s with return code %d", parserName, result);
        return result;
    } catch (const std::exception& e) {
        context.reset();
        selection.reset();
        doc.reset();
        KLOG(0, "%s", e.what());
        throw;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Object and process-wide set-up

// A libcurl share of the connection cache, TLS sessions and name lookups, so
// the requests of one connection object (each still with its own handle)
// reuse open connections instead of paying a TLS handshake each. Requests run
// on many threads: libcurl takes one lock per kind of shared data.
struct KConnection::SharedConnections {
    SharedConnections() : share(curl_share_init()) {
        if (!share) return;
        curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, &Lock);
        curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, &Unlock);
        curl_share_setopt(share.get(), CURLSHOPT_USERDATA, this);
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<SharedConnections*>(self)->Mutex(data).lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<SharedConnections*>(self)->Mutex(data).unlock();
    }
    std::mutex& Mutex(curl_lock_data data) {
        return locks[data >= 0 && data < CURL_LOCK_DATA_LAST ? data : CURL_LOCK_DATA_NONE];
    }

    std::mutex locks[CURL_LOCK_DATA_LAST];
    CurlShare share;  // last: cleaned up (closing the connections) before the locks go
};

KConnection::KConnection(const std::string& arrayIPArg, const std::string& accessKeyArg) {
    KLOG(3, "Entering KConnection::KConnection for %s", arrayIPArg.c_str());
    if (arrayIPArg.empty() || accessKeyArg.empty())
        throw std::invalid_argument("KConnection Constructor: Invalid input argument");
    arrayIP = arrayIPArg;
    accessKey = accessKeyArg;
    std::string pin;
    if (Utilities::GetArrayCertificatePin(arrayIP, pin)) {
        if (!Utilities::IsCertificatePin(pin)) {
            KLOG(0, "The recorded certificate pin of %s is not valid", arrayIP.c_str());
            pin = kUnmatchablePin;
        }
        certificatePin = pin;
    }
    shared = std::make_unique<SharedConnections>();
    KLOG(3, "Exiting KConnection::KConnection");
}

KConnection::~KConnection() {
    KLOG(3, "Entering KConnection::~KConnection()");
    arrayIP.clear();
    arrayIP.shrink_to_fit();
    accessKey.clear();
    accessKey.shrink_to_fit();
    shared.reset();
    KLOG(3, "Exiting KConnection::~KConnection()");
}

void KConnection::GlobalInit() {
    KLOG(3, "Entering KConnection::GlobalInit");
    curl_global_init(CURL_GLOBAL_ALL);
    KLOG(3, "Exiting KConnection::GlobalInit");
}

void KConnection::GlobalCleanup() {
    KLOG(3, "Entering KConnection::GlobalCleanup");
    curl_global_cleanup();
    KLOG(3, "Exiting KConnection::GlobalCleanup");
}

KConnection::TransferLimits KConnection::GetTransferLimits() {
    TransferLimits limits;
    limits.connectTimeoutSeconds = g_connectTimeoutSeconds.load();
    limits.lowSpeedLimitBytes = g_lowSpeedLimitBytes.load();
    limits.lowSpeedTimeSeconds = g_lowSpeedTimeSeconds.load();
    limits.maxResponseBytes = g_maxResponseBytes.load();
    return limits;
}

void KConnection::SetTransferLimitsForTesting(const TransferLimits& limits) {
    g_connectTimeoutSeconds.store(limits.connectTimeoutSeconds);
    g_lowSpeedLimitBytes.store(limits.lowSpeedLimitBytes);
    g_lowSpeedTimeSeconds.store(limits.lowSpeedTimeSeconds);
    g_maxResponseBytes.store(limits.maxResponseBytes);
}

size_t KConnection::WriteCallback(char* data, size_t size, size_t count, void* userdata) {
    if (userdata == nullptr) return 0;
    auto* stream = static_cast<std::ostringstream*>(userdata);
    if (size != 0 && count > static_cast<size_t>(-1) / size) return 0;
    const size_t bytes = size * count;
    // An answer beyond the limit aborts the transfer instead of exhausting memory.
    const std::streamoff heldOff = stream->tellp();
    const size_t held = heldOff > 0 ? static_cast<size_t>(heldOff) : 0;
    const size_t limit = g_maxResponseBytes.load();
    if (bytes > limit || held > limit - bytes) return 0;
    try {
        stream->write(data, static_cast<std::streamsize>(bytes));
    } catch (const std::exception&) {
        return 0;  // libcurl reports the aborted transfer to the operation
    }
    return stream->good() ? bytes : 0;
}

int KConnection::InitializeCurl(CurlHandle& curl, const char* path, CurlHeaderList& headers) {
    KLOG(3, "Entering KConnection::InitializeCurl");
    CurlHandle handle(curl_easy_init());
    if (!handle) {
        KLOG(3, "Exiting KConnection::InitializeCurl");
        return 0;
    }
    const std::string url = "https://" + arrayIP + path;
    KLOG(3, "URL: %s", url.c_str());
    ApplyRequestOptions(handle.get(), url, arrayIP, certificatePin);
    if (shared && shared->share) curl_easy_setopt(handle.get(), CURLOPT_SHARE, shared->share.get());

    const std::string headerLine = "X-Access-Key: " + accessKey;
    KLOG(3, "%s", ("X-Access-Key: " + MaskSecret(accessKey)).c_str());
    curl_slist* list = curl_slist_append(headers.get(), headerLine.c_str());
    if (list != nullptr && list != headers.get()) {
        headers.release();
        headers.reset(list);
    }
    curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());

    curl.reset(handle.release());
    KLOG(3, "Exiting KConnection::InitializeCurl");
    return 0;
}

// ---------------------------------------------------------------------------
// Listings and lookups

int KConnection::GetVolumesList(std::list<VolumeInfo>* volumes) {
    std::ostringstream response;
    KLOG(3, "Entering KConnection::GetVolumesList");
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (volumes == nullptr) throw std::invalid_argument("KConnection::GetVolumesList - Invalid input argument");
        InitializeCurl(curl, "/api/volumes", headers);
        ApplyMethod(curl.get(), Method::Get, std::string());
        const long status = Perform(curl.get(), response);
        if (status != 200)
            throw StatusFailure(curl.get(), status, FormatText("HTTP return code: %ld. List volume failed", status));
        result = ParseVolumeList(response, *volumes);
        if (result == 0) KLOG(4, "Successfully obtained volume list");
        headers.reset();
        curl.reset();
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::GetVolumesList with return code %d", result);
    return result;
}

int KConnection::GetSnapshotsList(const std::string& cgName, std::list<SnapshotInfo>* snapshots) {
    std::ostringstream response;
    KLOG(3, "Entering KConnection::GetSnapshotsList");
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (cgName.empty() || snapshots == nullptr)
            throw std::invalid_argument("KConnection::GetSnapshotsList - Invalid input argument");
        const std::string path = "/api/consistency_groups/" + EncodePathSegment(cgName) + "/snapshots";
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        ApplyMethod(curl.get(), Method::Get, std::string());
        const long status = Perform(curl.get(), response);
        if (status != 200)
            throw StatusFailure(curl.get(), status, FormatText("HTTP return code: %ld. List snapshot failed", status));
        result = ParseSnapshotList(response, *snapshots);
        if (result == 0) KLOG(4, "Successfully obtained snapshot list");
        headers.reset();
        curl.reset();
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::GetSnapshotsList with return code %d", result);
    return result;
}

int KConnection::ListVolumes(std::ostringstream& response) {
    KLOG(3, "Entering KConnection::ListVolumes");
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        InitializeCurl(curl, "/api/volumes", headers);
        ApplyMethod(curl.get(), Method::Get, std::string());
        if (const long status = Perform(curl.get(), response); status != 200)
            throw StatusFailure(curl.get(), status, "List volume failed");
        headers.reset();
        curl.reset();
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::ListVolumes with return code %d", 0);
    return 0;
}

int KConnection::ListServers(std::ostringstream& response) {
    KLOG(3, "Entering KConnection::ListServers");
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        InitializeCurl(curl, "/api/servers", headers);
        ApplyMethod(curl.get(), Method::Get, std::string());
        if (const long status = Perform(curl.get(), response); status != 200)
            throw StatusFailure(curl.get(), status, "List servers failed");
        headers.reset();
        curl.reset();
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::ListServers with return code %d", 0);
    return 0;
}

int KConnection::GetVolumeInfoByDispName(const std::string& volDispName, std::string& volID, std::string& volName,
                                         std::string& cgName) {
    KLOG(3, "Entering KConnection::GetVolumeInfoByDispName for volume %s", volDispName.c_str());
    int result = 0;
    try {
        std::ostringstream listing;
        result = ListVolumes(listing);
        if (result == 0) result = ParseVolumeXMLByName(listing, volDispName, volID, volName, cgName);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::GetVolumeInfoByDispName with return code %d", result);
    return result;
}

int KConnection::GetServerInfoByIQN(const std::string& hostIQN, std::string& serverID, std::string& iscsiIP) {
    KLOG(3, "Entering KConnection::GetServerInfoByIQN for host iqn %s", hostIQN.c_str());
    int result = 0;
    try {
        std::ostringstream listing;
        result = ListServers(listing);
        if (result == 0) result = ParseServerXMLByIQN(listing, hostIQN, serverID, iscsiIP);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::GetServerInfoByIQN with return code %d", result);
    return result;
}

// ---------------------------------------------------------------------------
// Commands

int KConnection::CreateSnapshotSet(const std::list<std::string*>& volIDs, const std::list<std::string*>& cgNames,
                                   std::list<std::string>* snapIDs) {
    std::string joined;
    for (const std::string* volID : volIDs) {
        if (volID != nullptr) joined += *volID;
        joined += ' ';
    }
    KLOG(3, "Entering KConnection::CreateSnapshotSet for volumes %s", joined.c_str());
    int result = 0;
    try {
        if (snapIDs == nullptr) throw std::invalid_argument("KConnection::CreateSnapshotSet - Invalid input argument");
        // One name and group per entry; the names are drawn here so that a
        // collision can be drawn anew.
        std::vector<std::pair<std::string, std::string>> entries;
        for (auto v = volIDs.begin(), g = cgNames.begin(); v != volIDs.end() && g != cgNames.end(); ++v, ++g) {
            if (*v == nullptr || *g == nullptr || (*v)->empty() || (*g)->empty())
                throw std::invalid_argument("KConnection::CreateSnapshotSet - Invalid input argument");
            entries.emplace_back("snap_" + std::to_string(DrawSnapshotNumber()) + "_" + **v, **g);
        }
        ResponseInfo info;
        try {
            result = SendSnapshotSet(entries, snapIDs, info);
        } catch (const KException&) {
            // A name drawn from a million can be taken by a snapshot kept from
            // long ago: when the appliance refused, ask once more with new
            // numbers for those names.
            bool redrawn = false;
            if (!info.status.empty() && info.status != "0") {
                try {
                    redrawn = RedrawTakenNames(entries);
                } catch (const std::exception& e) {
                    KLOG(1, "The snapshots of the set's groups could not be listed: %s", e.what());
                }
            }
            if (!redrawn) throw;
            info = ResponseInfo();
            result = SendSnapshotSet(entries, snapIDs, info);
        }
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::CreateSnapshotSet with return code %d", result);
    return result;
}

int KConnection::SendSnapshotSet(const std::vector<std::pair<std::string, std::string>>& entries,
                                 std::list<std::string>* snapIDs, ResponseInfo& info) {
    CurlHandle curl;
    CurlHeaderList headers;
    std::string body;
    int index = 1;
    for (const auto& entry : entries) {
        const std::string prefix = "snapshots_set_" + std::to_string(index++);
        if (!body.empty()) body += '&';
        body += prefix + "_name=" + EncodeFormValue(entry.first) + "&" + prefix + "_cg=" + EncodeFormValue(entry.second);
    }
    const std::string path = "/api/snapshots/snapshots_set";
    KLOG(4, "URL: %s", path.c_str());
    InitializeCurl(curl, path.c_str(), headers);
    info.snapshotIDs = snapIDs;
    return RunCommand(curl, headers, Method::Post, body, "HTTP return code: %ld. Create snapshot set failed",
                      "//create-snapshot-set-response", CreateSnapshotSetAction, info);
}

bool KConnection::RedrawTakenNames(std::vector<std::pair<std::string, std::string>>& entries) {
    std::set<std::string> groups, taken;
    for (const auto& entry : entries) {
        if (!groups.insert(entry.second).second) continue;
        std::list<SnapshotInfo> snapshots;
        GetSnapshotsList(entry.second, &snapshots);
        for (const SnapshotInfo& snapshot : snapshots) taken.insert(snapshot.snapID);
    }
    bool redrawn = false;
    for (auto& entry : entries) {
        if (taken.count(entry.first) == 0) continue;
        // snap_<number>_<volume ID>: only the number changes.
        const size_t volume = entry.first.find('_', 5);
        std::string fresh;
        do {
            fresh = "snap_" + std::to_string(DrawSnapshotNumber()) + entry.first.substr(volume);
        } while (taken.count(fresh) != 0);
        KLOG(2, "Snapshot name %s is in use already; asking for %s instead", entry.first.c_str(), fresh.c_str());
        entry.first = fresh;
        redrawn = true;
    }
    return redrawn;
}

int KConnection::DeleteSnapshot(const std::string& snapID) {
    KLOG(3, "Entering KConnection::DeleteSnapshot for snapshot %s", snapID.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (snapID.empty()) throw std::invalid_argument("KConnection::DeleteSnapshot - Invalid input argument");
        const std::string path = "/api/snapshots/" + EncodePathSegment(snapID);
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Delete, std::string(),
                            "HTTP return code: %ld. Delete snapshot failed", "//delete-snapshot-response",
                            DeleteSnapshotAction, info);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::DeleteSnapshot with return code %d", result);
    return result;
}

int KConnection::CloneVolume(const std::string& cgName, const std::string& snapID, const std::string& cloneDispName,
                             std::string& resultText) {
    KLOG(3, "Entering KConnection::CloneVolume for volume %s", snapID.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (cgName.empty() || snapID.empty() || cloneDispName.empty())
            throw std::invalid_argument("KConnection::CloneVolume - Invalid input argument");
        const std::string path = "/api/consistency_groups/" + EncodePathSegment(cgName) + "/clone";
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        const std::string body =
            "snapshot=" + EncodeFormValue(snapID) + "&name=" + EncodeFormValue(cloneDispName) + "&timeout=30";
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Post, body, "HTTP return code: %ld. Clone volume failed",
                            "//clone-cg-response", CloneVolumeAction, info);
        if (result == 0) resultText = info.value;
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::CloneVolume with return code %d", result);
    return result;
}

int KConnection::DeleteVolume(const std::string& volName) {
    KLOG(3, "Entering KConnection::DeleteVolume for volName %s", volName.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (volName.empty()) throw std::invalid_argument("KConnection::DeleteVolume - Invalid input argument");
        const std::string path = "/api/volumes/" + EncodePathSegment(volName);
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Delete, std::string(), "HTTP return code: %ld. Delete volume failed",
                            "//delete-volume-response", DeleteVolumeAction, info);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::DeleteVolume with return code %d", result);
    return result;
}

int KConnection::CreateServer(const std::string& serverDispName, const std::string& hostIQN,
                              const std::string& iscsiIP, std::string& serverID) {
    KLOG(3, "Entering KConnection::CreateServer for host iqn %s", hostIQN.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (serverDispName.empty() || hostIQN.empty() || iscsiIP.empty())
            throw std::invalid_argument("KConnection::CreateServer - Invalid input argument");
        const std::string path = "/api/servers";
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        const std::string body = "display_name=" + EncodeFormValue(serverDispName) + "&iscsi=" +
                                 EncodeFormValue(iscsiIP) + "&iqn=" + EncodeFormValue(hostIQN) +
                                 "&ipsec=no&force=no";
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Post, body, "HTTP return code: %ld. Create server failed",
                            "//create-server-response", CreateServerAction, info);
        if (result == 0) serverID = info.value;
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::CreateServer with return code %d", result);
    return result;
}

int KConnection::AttachVolume(const std::string& volName, const std::string& serverID) {
    KLOG(3, "Entering KConnection::AttachVolume for volName %s", volName.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (volName.empty() || serverID.empty())
            throw std::invalid_argument("KConnection::AttachVolume - Invalid input argument");
        const std::string path = "/api/servers/" + EncodePathSegment(serverID) + "/volumes";
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        const std::string body =
            "id=" + EncodeFormValue(serverID) + "&volume_name=" + EncodeFormValue(volName) + "&readonly=no&force=no";
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Post, body, "HTTP return code: %ld. Attach volume failed",
                            "//attach-volume-response", AttachVolumeAction, info);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::AttachVolume with return code %d", result);
    return result;
}

int KConnection::DetachVolume(const std::string& volName, const std::string& serverID) {
    KLOG(3, "Entering KConnection::DetachVolume for volName %s", volName.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (volName.empty() || serverID.empty())
            throw std::invalid_argument("KConnection::DetachVolume - Invalid input argument");
        const std::string path = "/api/volumes/" + EncodePathSegment(volName) + "/detach";
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        const std::string body = "servers=" + EncodeFormValue(serverID);
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Post, body, "HTTP return code: %ld. Detach volume failed",
                            "//detach-volume-response", DetachVolumeAction, info);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::DetachVolume with return code %d", result);
    return result;
}

int KConnection::ResyncVolume(const std::string& snapID, const std::string& cgName) {
    KLOG(3, "Entering KConnection::ResyncVolume with snapID %s", snapID.c_str());
    int result = 0;
    try {
        CurlHandle curl;
        CurlHeaderList headers;
        if (snapID.empty() || cgName.empty())
            throw std::invalid_argument("KConnection::ResyncVolume - Invalid input argument");
        const std::string path = "/api/consistency_groups/" + EncodePathSegment(cgName) + "/rollback";
        KLOG(4, "URL: %s", path.c_str());
        InitializeCurl(curl, path.c_str(), headers);
        const std::string body = "snapname=" + EncodeFormValue(snapID) + "&timeout=30";
        ResponseInfo info;
        result = RunCommand(curl, headers, Method::Post, body, "HTTP return code: %ld. Resync volume failed",
                            "//clone-cg-response", ResyncVolumeAction, info);
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::ResyncVolume with return code %d", result);
    return result;
}

// ---------------------------------------------------------------------------
// Validation of an address and key

int KConnection::ListDrives(const std::string& arrayIP, const std::string& accessKey,
                            const std::string& certificatePin) {
    KLOG(3, "Entering KConnection::ListDrives");
    int result = 0;
    CurlHandle curl;
    CurlHeaderList headers;
    try {
        std::ostringstream response;
        const std::string url = "https://" + arrayIP + "/api/drives";
        KLOG(2, "URL: %s", url.c_str());
        curl.reset(curl_easy_init());
        if (curl) ApplyRequestOptions(curl.get(), url, arrayIP, certificatePin);
        const std::string headerLine = "X-Access-Key: " + accessKey;
        KLOG(4, "%s", ("X-Access-Key: " + MaskSecret(accessKey)).c_str());
        curl_slist* list = curl_slist_append(headers.get(), headerLine.c_str());
        if (list != nullptr && list != headers.get()) {
            headers.release();
            headers.reset(list);
        }
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
        if (const long status = Perform(curl.get(), response); status != 200)
            throw StatusFailure(curl.get(), status, "List drives failed");
        result = ParseDriveList(response);
        headers.reset();
        curl.reset();
    } catch (const std::exception& e) {
        headers.reset();
        curl.reset();
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(3, "Exiting KConnection::ListDrives with return code %d", result);
    return result;
}

int KConnection::ValidateArray(const std::string& arrayIP, const std::string& accessKey,
                               const std::string& certificatePin) {
    KLOG(3, "Entering KConnection::ValidateArray for arrayIP: %s accessKey: %s", arrayIP.c_str(),
         MaskSecret(accessKey).c_str());
    const int result = ListDrives(arrayIP, accessKey, certificatePin);
    if (result != 0)
        KLOG(0, "List disk failed. Invalid array credentials");
    else
        KLOG(2, "List disks successfull.");
    KLOG(3, "Exiting KConnection::ValidateArray with return code %d", result);
    return result;
}

std::string KConnection::FetchCertificatePin(const std::string& arrayIP) {
    KLOG(3, "Entering KConnection::FetchCertificatePin for %s", arrayIP.c_str());
    std::string pin;
    try {
        CurlHandle curl(curl_easy_init());
        if (curl) {
            ApplyRequestOptions(curl.get(), "https://" + arrayIP + "/", arrayIP);
            // The handshake shows the certificate; nothing is sent after it.
            curl_easy_setopt(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
            curl_easy_setopt(curl.get(), CURLOPT_CERTINFO, 1L);
        }
        curl_certinfo* chain = nullptr;
        if (curl && curl_easy_perform(curl.get()) == CURLE_OK &&
            curl_easy_getinfo(curl.get(), CURLINFO_CERTINFO, &chain) == CURLE_OK && chain != nullptr &&
            chain->num_of_certs > 0) {
            for (curl_slist* field = chain->certinfo[0]; field != nullptr; field = field->next)
                if (std::strncmp(field->data, "Cert:", 5) == 0) pin = PinOfCertificate(field->data + 5);
        }
        if (pin.empty()) throw KException(FormatText("Cannot read the certificate of %s", arrayIP.c_str()));
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
    KLOG(2, "The certificate of %s has the pin %s", arrayIP.c_str(), pin.c_str());
    return pin;
}

// ---------------------------------------------------------------------------
// Parsers

int KConnection::ParseVolumeList(const std::ostringstream& response, std::list<VolumeInfo>& volumes) {
    KLOG(3, "Entering KConnection::ParseVolumeList");
    return RunParser(response, "//volumes/volume", "ParseVolumeList", "No volume found in the array", 2, false,
                     [&volumes](xmlDoc* doc, xmlNodeSet* nodes) {
                         for (int i = 0; i < nodes->nodeNr; ++i) {
                             VolumeInfo info;
                             int seen = 0;
                             for (xmlNode* child = nodes->nodeTab[i]->children; child != nullptr && seen < 5;
                                  child = child->next) {
                                 if (IsElementNamed(child, "product-id")) {
                                     ++seen;
                                     std::string text;
                                     if (ElementText(doc, child, text)) info.productID = text.substr(0, text.find('-'));
                                 } else if (IsElementNamed(child, "ieee-id")) {
                                     ++seen;
                                     ElementText(doc, child, info.volID);
                                 } else if (IsElementNamed(child, "name")) {
                                     ++seen;
                                     ElementText(doc, child, info.volName);
                                 } else if (IsElementNamed(child, "display-name")) {
                                     ++seen;
                                     ElementText(doc, child, info.volDispName);
                                 } else if (IsElementNamed(child, "cg-name")) {
                                     ++seen;
                                     ElementText(doc, child, info.cgName);
                                 }
                             }
                             volumes.push_back(std::move(info));
                         }
                         return 0;
                     });
}

int KConnection::ParseSnapshotList(const std::ostringstream& response, std::list<SnapshotInfo>& snapshots) {
    KLOG(3, "Entering KConnection::ParseSnapshotList");
    return RunParser(response, "//snapshots/snapshot", "ParseSnapshotList", "No snapshots found in the array", 2,
                     false, [&snapshots](xmlDoc* doc, xmlNodeSet* nodes) {
                         for (int i = 0; i < nodes->nodeNr; ++i) {
                             SnapshotInfo info;
                             int seen = 0;
                             for (xmlNode* child = nodes->nodeTab[i]->children; child != nullptr && seen < 2;
                                  child = child->next) {
                                 if (IsElementNamed(child, "name")) {
                                     ++seen;
                                     ElementText(doc, child, info.snapID);
                                 } else if (IsElementNamed(child, "display-name")) {
                                     ++seen;
                                     ElementText(doc, child, info.snapDispName);
                                 }
                             }
                             snapshots.push_back(std::move(info));
                         }
                         return 0;
                     });
}

int KConnection::ParseVolumeXMLByName(const std::ostringstream& response, const std::string& volDispName,
                                      std::string& volID, std::string& volName, std::string& cgName) {
    KLOG(3, "Entering KConnection::ParseVolumeXMLByName for volume %s", volDispName.c_str());
    return RunParser(
        response, "//volumes/volume", "ParseVolumeXMLByName", "No volume found in the array", 2, false,
        [&](xmlDoc* doc, xmlNodeSet* nodes) {
            int result = 2;
            for (int i = 0; i < nodes->nodeNr; ++i) {
                std::string id, name, dispName, cg;
                int seen = 0;
                for (xmlNode* child = nodes->nodeTab[i]->children; child != nullptr && seen < 4; child = child->next) {
                    if (IsElementNamed(child, "ieee-id")) {
                        ++seen;
                        ElementText(doc, child, id);
                    } else if (IsElementNamed(child, "name")) {
                        ++seen;
                        ElementText(doc, child, name);
                    } else if (IsElementNamed(child, "display-name")) {
                        ++seen;
                        ElementText(doc, child, dispName);
                    } else if (IsElementNamed(child, "cg-name")) {
                        ++seen;
                        ElementText(doc, child, cg);
                    }
                }
                if (dispName == volDispName) {  // the first match wins
                    volID = id;
                    volName = name;
                    cgName = cg;
                    KLOG(2, "volID: %s, volDispName: %s, volName: %s, cgName: %s", volID.c_str(), volDispName.c_str(),
                         volName.c_str(), cgName.c_str());
                    result = 0;
                    break;
                }
            }
            return result;
        });
}

int KConnection::ParseServerXMLByIQN(const std::ostringstream& response, const std::string& hostIQN,
                                     std::string& serverID, std::string& iscsiIP) {
    KLOG(3, "Entering KConnection::ParseServerXMLByIQN for hostIQN %s", hostIQN.c_str());
    return RunParser(
        response, "//servers/server", "ParseServerXMLByIQN", "No servers matching the host iqn found in the array", 2,
        false, [&](xmlDoc* doc, xmlNodeSet* nodes) {
            int result = 2;
            for (int i = 0; i < nodes->nodeNr; ++i) {
                std::string name, iqn, ip;
                int seen = 0;
                for (xmlNode* child = nodes->nodeTab[i]->children; child != nullptr && seen < 3; child = child->next) {
                    if (IsElementNamed(child, "name")) {
                        ++seen;
                        ElementText(doc, child, name);
                    } else if (IsElementNamed(child, "iqn")) {
                        ++seen;
                        ElementText(doc, child, iqn);
                    } else if (IsElementNamed(child, "iscsi-ip")) {
                        ++seen;
                        ElementText(doc, child, ip);
                    }
                }
                // Written for every server examined: on no match the caller
                // gets the last server's address to create the missing one.
                iscsiIP = ip;
                if (iqn == hostIQN) {
                    serverID = name;
                    KLOG(2, "serverID: %s, hostIQN: %s, iscsiIP: %s", serverID.c_str(), hostIQN.c_str(),
                         iscsiIP.c_str());
                    result = 0;
                    break;
                }
            }
            return result;
        });
}

int KConnection::ParseResponseXML(const std::ostringstream& response, const char* xPathID, CommandAction action,
                                  ResponseInfo& info) {
    KLOG(3, "Entering KConnection::ParseResponseXML with xPathID: %s CommandAction: %d",
         xPathID != nullptr ? xPathID : "", static_cast<int>(action));
    return RunParser(
        response, xPathID, "ParseResponseXML", "Response not found. Error Condition", 1, false,
        [&](xmlDoc* doc, xmlNodeSet* nodes) {
            for (int i = 0; i < nodes->nodeNr; ++i) {
                for (xmlNode* child = nodes->nodeTab[i]->children; child != nullptr; child = child->next) {
                    if (child->type != XML_ELEMENT_NODE) continue;
                    const char* name = reinterpret_cast<const char*>(child->name);
                    if (IsElementNamed(child, "status")) {
                        ElementText(doc, child, info.status);
                        KLOG(4, "%s: %s", name, info.status.c_str());
                    }
                    if (IsElementNamed(child, "status-msg")) {
                        ElementText(doc, child, info.statusMsg);
                        KLOG(4, "%s: %s", name, info.statusMsg.c_str());
                    }
                    const char* valueElement = nullptr;
                    switch (static_cast<int>(action)) {
                        case CreateSnapshotSetAction:
                            if (IsElementNamed(child, "snapshots")) {
                                if (info.snapshotIDs == nullptr)
                                    throw std::invalid_argument(
                                        "KConnection::ParseResponseXML - Invalid input argument");
                                for (xmlNode* snap = child->children; snap != nullptr; snap = snap->next) {
                                    if (!IsElementNamed(snap, "snapshot")) continue;
                                    std::string text;
                                    ElementText(doc, snap, text);
                                    info.snapshotIDs->push_back(text);
                                    KLOG(4, "%s: %s", "snapshot", text.c_str());
                                }
                            }
                            break;
                        case CreateServerAction:
                            valueElement = "server-name";
                            break;
                        case DeleteVolumeAction:
                            valueElement = "snapshot-name";
                            break;
                        case ResyncVolumeAction:
                            valueElement = "cg-name";
                            break;
                        default:
                            break;
                    }
                    if (valueElement != nullptr && IsElementNamed(child, valueElement)) {
                        ElementText(doc, child, info.value);
                        KLOG(4, "%s: %s", name, info.value.c_str());
                    }
                }
            }
            return 0;
        });
}

int KConnection::ParseDriveList(const std::ostringstream& response) {
    KLOG(3, "Entering KConnection::ParseDriveList");
    return RunParser(response, "//show-disks-response/status", "ParseDriveList", "No response for disk list received",
                     1, true, [](xmlDoc*, xmlNodeSet*) { return 0; });
}

}  // namespace Korvel
