// The document that moves shadow copies from the host that made them to a
// backup host ("KorvelShadow export" and "import"): XML written with
// libxml2's writer and read back with libxml2, every element, attribute and
// value checked, and a SHA-256 that covers every byte before it.
//
// Why the document may be handed to a backup server, copied by a backup
// application or left in its job folder:
// - it holds no access key and nothing else secret: an appliance's address,
//   snapshot names, shadow and set IDs, device names and the LUN records
//   (vendor, product, serial, the EUI-64 and the snapshot's provider tag)
//   that any host on the storage network reads from the disks themselves;
// - it grants nothing: the importing host reaches the appliances only with
//   the access keys recorded in its own configuration store, and import
//   refuses an appliance that is not recorded there;
// - a damaged or altered document is refused before anything is recorded:
//   the checksum catches damage in transit, and since SHA-256 is no
//   signature, every value is also checked on its own, the LUN records are
//   decoded with the catalogue's checked decoder, and every snapshot must
//   still exist on the appliance the document names. A forged document can
//   thus only name snapshots the importing host could already reach.
// It names disks and snapshots of the host, as the catalogue does, so it is
// written private (mode 0600).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace Korvel {

// The document cannot be read or written; the text says what is wrong.
class KShadowDocumentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct KShadowDocument {
    static constexpr int kFormat = 1;
    static constexpr size_t kMaxCopies = 64;          // shadow copies in one document
    static constexpr size_t kMaxBytes = 1024 * 1024;  // a document's size, read or written

    struct Copy {
        std::string shadowId;      // "{...}"
        std::string sourceDevice;  // "/dev/sdb" on the creating host
        std::string appliance;     // the address the appliance is recorded by, "10.0.0.5:443"
        std::string snapshot;      // the appliance snapshot
        std::string consistency;   // "filesystem", "application" or "crash"
        std::string sourceLun;     // the catalogue's encoded LUN records
        std::string targetLun;
    };

    std::string setId;      // "{...}"
    std::string createdAt;  // UTC, "2026-12-07T10:30:00Z"
    std::string exportedAt;
    std::string hostName;       // the creating host
    std::string hostInitiator;  // its iSCSI initiator name, "" when it has none
    std::vector<Copy> copies;
    // Lowercase hex SHA-256 over the document's bytes from its first byte up
    // to, not including, the "<sha256>" start tag: set by Write and Read.
    std::string checksum;
};

// The document's bytes; sets `checksum`. Throws KShadowDocumentError for a
// value that Read would refuse, so nothing is written that cannot be imported.
std::string WriteShadowDocument(KShadowDocument& document);
// Checks, in this order, that the bytes are a well-formed document of ours,
// its format, its checksum, and then every element, attribute and value.
// Throws KShadowDocumentError naming the first fault.
KShadowDocument ReadShadowDocument(const std::string& bytes);

// The file's bytes: a regular file of at most kMaxBytes (a FIFO or device is
// refused, never waited on).
std::string LoadShadowDocument(const std::string& path);
// Writes atomically: a private temporary file beside `path`, synced, renamed
// over it, and the folder synced. Mode 0600. Throws KShadowDocumentError.
void SaveShadowDocument(const std::string& path, const std::string& bytes);

}  // namespace Korvel
