// The connection object and the libcurl side of its requests.
#include "KTransport.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "KConnection.h"
#include "KConventions.h"
#include "KGuards.h"
#include "Utilities.h"

namespace Korvel {

namespace {

// Transfer limits, read by every request on any thread.
std::atomic<long> g_connectTimeoutSeconds{30};
std::atomic<long> g_lowSpeedLimitBytes{1};
std::atomic<long> g_lowSpeedTimeSeconds{120};
std::atomic<size_t> g_maxResponseBytes{static_cast<size_t>(64) * 1024 * 1024};

// What stands in for a recorded pin that is not one: it matches no key, so
// the appliance stays pinned rather than silently unpinned.
const char* const kUnmatchablePin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

// The event of a request refused because the appliance's certificate changed.
constexpr unsigned kEventCertificateMismatch = 0xC0004015u;

bool IsPlainByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// Each byte that is not plain as %XX; a space as `space` when it is not zero.
std::string Encode(const std::string& value, char space) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (IsPlainByte(c)) {
            out += static_cast<char>(c);
        } else if (c == ' ' && space != '\0') {
            out += space;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

// "sha256//" and the base64 SHA-256 digest of the public key of a PEM
// certificate; empty when it cannot be read.
std::string PinOfCertificate(const std::string& pem) {
    KHandle<KPointerTraits<BIO, &BIO_free>> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return std::string();
    KHandle<KPointerTraits<X509, &X509_free>> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
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

}  // namespace

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

std::string EncodePathSegment(const std::string& value) { return Encode(value, '\0'); }

std::string EncodeFormValue(const std::string& value) { return Encode(value, '+'); }

void ApplyRequestOptions(CURL* curl, const std::string& url, const std::string& address, const std::string& pin) {
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

KTransportFailure StatusFailure(CURL* curl, long status, const std::string& message) {
    const std::string appliance = "appliance " + AddressOf(curl);
    return KTransportFailure(message, status == 401 ? appliance + " refused the access key (HTTP 401)"
                                                    : appliance + " answered HTTP " + std::to_string(status));
}

// ---------------------------------------------------------------------------
// The connection object

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

KEndpoint KConnection::Here() const {
    CURLSH* share = shared && shared->share ? shared->share.get() : nullptr;
    return KEndpoint{arrayIP, accessKey, certificatePin, share, false};
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

std::string KConnection::FetchCertificatePin(const std::string& arrayIP) {
    KLOG(3, "Entering KConnection::FetchCertificatePin for %s", arrayIP.c_str());
    const std::string pin = LoggedOnFailure([&] {
        std::string found;
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
                if (std::strncmp(field->data, "Cert:", 5) == 0) found = PinOfCertificate(field->data + 5);
        }
        if (found.empty()) throw KException(FormatText("Cannot read the certificate of %s", arrayIP.c_str()));
        return found;
    });
    KLOG(2, "The certificate of %s has the pin %s", arrayIP.c_str(), pin.c_str());
    return pin;
}

}  // namespace Korvel
