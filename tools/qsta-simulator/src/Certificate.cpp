#include "Certificate.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace qsta::detail {

namespace {

struct ExtensionFree {
    void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
};

[[noreturn]] void Fail(const char* what) {
    unsigned long code = ERR_get_error();
    char reason[256] = "unknown error";
    if (code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    throw std::runtime_error(std::string("certificate: ") + what + ": " + reason);
}

bool IsIpAddress(const std::string& text) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

}  // namespace

Certificate MakeSelfSignedCertificate(const std::string& listenAddress) {
    Certificate result;
    result.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!result.key) {
        Fail("key generation failed");
    }
    result.cert.reset(X509_new());
    X509* cert = result.cert.get();
    if (cert == nullptr) {
        Fail("X509_new failed");
    }
    if (X509_set_version(cert, 2) != 1) {  // version 3
        Fail("X509_set_version failed");
    }
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        Fail("RAND_bytes failed");
    }
    serial[0] &= 0x7f;  // a positive serial number
    long long serialValue = 0;
    for (unsigned char byte : serial) {
        serialValue = (serialValue << 8) | byte;
    }
    if (ASN1_INTEGER_set_int64(X509_get_serialNumber(cert), serialValue) != 1) {
        Fail("serial number failed");
    }
    // Valid from an hour ago, so clocks that differ a little still accept it.
    if (X509_gmtime_adj(X509_getm_notBefore(cert), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600) == nullptr) {
        Fail("validity failed");
    }
    if (X509_set_pubkey(cert, result.key.get()) != 1) {
        Fail("X509_set_pubkey failed");
    }
    X509_NAME* name = X509_get_subject_name(cert);
    const auto* cn = reinterpret_cast<const unsigned char*>("qsta-simulator");
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1) {
        Fail("subject failed");
    }
    if (X509_set_issuer_name(cert, name) != 1) {
        Fail("issuer failed");
    }

    std::string altNames = "DNS:localhost,IP:127.0.0.1";
    if (IsIpAddress(listenAddress) && listenAddress != "127.0.0.1") {
        altNames += ",IP:" + listenAddress;
    }
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtensionFree> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, altNames.c_str()));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) {
        Fail("subjectAltName failed");
    }
    if (X509_sign(cert, result.key.get(), EVP_sha256()) == 0) {
        Fail("signing failed");
    }
    return result;
}

}  // namespace qsta::detail
