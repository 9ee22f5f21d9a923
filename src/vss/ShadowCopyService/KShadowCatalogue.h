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
    std::string shadowId;       // the VSS snapshot ID, "{...}"
    std::string setId;          // the VSS snapshot-set ID, "{...}"
    std::string createdAt;      // UTC, ISO 8601
    std::string sourceDevice;   // "/dev/sdb"
    std::string sourceLun;      // the source's LUN record, encoded
    std::string targetLun;      // the record GetTargetLuns returned, encoded
    std::string snapshotName;   // the appliance snapshot (the target record's serial)
    std::string exposedDevice;  // "" when not exposed; the name the disk had then
    std::string exposedLun;     // the record FillInLunInfo returned, encoded
    // The exposed disk itself: names change, so it is found again by these.
    std::string exposedEui64;   // its LUN IEEE ID (the EUI-64 of page 83)
    std::string exposedSerial;  // its serial (page 80)
    std::string mountPoint;     // where expose --mount mounted it, or ""
    // "application" (filesystems frozen, hooks ran), "filesystem" (frozen, no
    // hooks) or "crash" (nothing frozen)
    std::string consistency;
    std::string state;     // "created", or "pending" until its create finished
    std::string intent;    // "exposing" while an expose is under way, else ""
    std::string intentAt;  // when that began, UTC
    // "created" on this host, or "imported from HOST"; a copy exported to
    // another host keeps its origin and is in state "exported".
    std::string origin;
    // The checksum of the document it was exported in or imported from, or "".
    std::string document;
};

class KShadowCatalogue {
public:
    static constexpr int kSchemaVersion = 2;

    // Opens (creating when missing) the catalogue; throws std::runtime_error
    // with a text naming the file when it cannot be opened or is not ours.
    explicit KShadowCatalogue(const std::string& path);
    ~KShadowCatalogue();
    KShadowCatalogue(const KShadowCatalogue&) = delete;
    KShadowCatalogue& operator=(const KShadowCatalogue&) = delete;

    static std::string DefaultPath();  // KORVEL_CATALOGUE or /var/lib/korvel/shadows.db

    // One snapshot set with all its shadow copies, "pending" until
    // CompleteSet records what the provider made; one transaction each.
    void AddSet(const std::string& setId, const std::string& createdAt, const std::vector<KShadowCopyEntry>& copies);
    void CompleteSet(const std::vector<KShadowCopyEntry>& copies);
    void RemoveSet(const std::string& setId);
    std::vector<KShadowCopyEntry> List() const;
    std::optional<KShadowCopyEntry> Find(const std::string& shadowId) const;
    void SetIntent(const std::string& shadowId, const std::string& intent, const std::string& at);
    // Records the exposed disk and ends the intent.
    void SetExposed(const KShadowCopyEntry& exposed);
    void SetMountPoint(const std::string& shadowId, const std::string& mountPoint);
    void ClearExposed(const std::string& shadowId);
    // Forgets a shadow copy, and its set when that was the set's last one.
    void Remove(const std::string& shadowId);
    // Moving shadow copies between hosts: one transaction each.
    void SetExported(const std::vector<std::string>& shadowIds, const std::string& document);
    void AddImported(const std::string& setId, const std::string& createdAt,
                     const std::vector<KShadowCopyEntry>& copies);

private:
    // A set's rows in one transaction: "pending" ones of a create, or
    // "created" ones of an import with their origin and document.
    void InsertSet(const std::string& setId, const std::string& createdAt, const std::vector<KShadowCopyEntry>& copies,
                   bool imported);
    void Exec(const char* sql) const;
    void Migrate();

    std::string m_path;
    sqlite3* m_db = nullptr;
};

}  // namespace Korvel
