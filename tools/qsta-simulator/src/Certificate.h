// A self-signed server certificate made in memory at start.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace qsta::detail {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct Certificate {
    PkeyPtr key;
    X509Ptr cert;
};

// An EC P-256 key and a certificate for "localhost", 127.0.0.1 and, when it
// is an IP address, `listenAddress`. Throws std::runtime_error on failure.
Certificate MakeSelfSignedCertificate(const std::string& listenAddress);

}  // namespace qsta::detail
