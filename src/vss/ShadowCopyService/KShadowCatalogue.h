// The shadow copy catalogue: every snapshot set and shadow copy the service
// made, with the LUN records it needs again to expose, release and roll back.
// One SQLite file (KORVEL_CATALOGUE, default /var/lib/korvel/shadows.db,
// mode 0600); every change is one transaction.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

namespace Korvel {

struct KShadowCopyEntry {
    std::string shadowId;      // the VSS snapshot ID, "{...}"
    std::string setId;         // the VSS snapshot-set ID, "{...}"
    std::string createdAt;     // UTC, ISO 8601
    std::string sourceDevice;  // "/dev/sdb"
    std::string sourceLun;     // the source's LUN record, encoded
    std::string targetLun;     // the record GetTargetLuns returned, encoded
    std::string snapshotName;  // the appliance snapshot (the target record's serial)
    std::string exposedDevice; // "" when not exposed
    std::string exposedLun;    // the record FillInLunInfo returned, encoded
};

class KShadowCatalogue {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens (creating when missing) the catalogue; throws std::runtime_error
    // with a text naming the file when it cannot be opened or is not ours.
    explicit KShadowCatalogue(const std::string& path);
    ~KShadowCatalogue();
    KShadowCatalogue(const KShadowCatalogue&) = delete;
    KShadowCatalogue& operator=(const KShadowCatalogue&) = delete;

    static std::string DefaultPath();  // KORVEL_CATALOGUE or /var/lib/korvel/shadows.db

    // One snapshot set with all its shadow copies, in one transaction.
    void AddSet(const std::string& setId, const std::string& createdAt, const std::vector<KShadowCopyEntry>& copies);
    std::vector<KShadowCopyEntry> List() const;
    std::optional<KShadowCopyEntry> Find(const std::string& shadowId) const;
    void SetExposed(const std::string& shadowId, const std::string& device, const std::string& lun);
    void ClearExposed(const std::string& shadowId);
    // Forgets a shadow copy, and its set when that was the set's last one.
    void Remove(const std::string& shadowId);

private:
    void Exec(const char* sql) const;
    void Migrate();

    std::string m_path;
    sqlite3* m_db = nullptr;
};

}  // namespace Korvel
