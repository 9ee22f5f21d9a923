// Fuzz target: a document of "KorvelShadow import" through the reader, as it
// comes and with its checksum made to match, so that inputs also reach the
// checks of the values behind it. Only KShadowDocumentError is an
// acceptable failure; a document that reads must write again, and what is
// written must read as the same document.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KShadowTransport.h"

namespace {

using Korvel::KShadowDocument;

void Fail(const char* what) {
    std::fprintf(stderr, "shadow document: %s\n", what);
    std::abort();
}

bool Same(const KShadowDocument& a, const KShadowDocument& b) {
    if (a.setId != b.setId || a.createdAt != b.createdAt || a.exportedAt != b.exportedAt ||
        a.hostName != b.hostName || a.hostInitiator != b.hostInitiator || a.copies.size() != b.copies.size())
        return false;
    for (size_t i = 0; i < a.copies.size(); ++i) {
        const KShadowDocument::Copy &x = a.copies[i], &y = b.copies[i];
        if (x.shadowId != y.shadowId || x.sourceDevice != y.sourceDevice || x.appliance != y.appliance ||
            x.snapshot != y.snapshot || x.consistency != y.consistency || x.sourceLun != y.sourceLun ||
            x.targetLun != y.targetLun)
            return false;
    }
    return true;
}

void Read(const std::string& bytes) {
    KShadowDocument read;
    try {
        read = Korvel::ReadShadowDocument(bytes);
    } catch (const Korvel::KShadowDocumentError&) {
        return;
    }
    KShadowDocument again = read;
    const std::string written = Korvel::WriteShadowDocument(again);
    if (!Same(Korvel::ReadShadowDocument(written), read)) Fail("the written document reads as another");
}

// The checksum of the bytes before the last "<sha256>", put in the 64 bytes after it.
std::string WithMatchingChecksum(std::string bytes) {
    const size_t at = bytes.rfind("<sha256>");
    if (at == std::string::npos || bytes.size() - at < 8 + 64) return bytes;
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), at, digest, &length, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        bytes[at + 8 + 2 * i] = hex[digest[i] >> 4];
        bytes[at + 9 + 2 * i] = hex[digest[i] & 0x0F];
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Read(bytes);
    Read(WithMatchingChecksum(bytes));
    return 0;
}
