#include "KShadowCatalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace Korvel {

namespace {

// A prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("catalogue: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, const std::string& value, bool blob = false) {
        int rc =
            blob ? sqlite3_bind_blob(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT)
                 : sqlite3_bind_text(m_stmt, index, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        if (rc != SQLITE_OK) throw std::runtime_error(std::string("catalogue: ") + sqlite3_errmsg(m_db));
        return *this;
    }
    Statement& BindNull(int index) {
        sqlite3_bind_null(m_stmt, index);
        return *this;
    }
    bool Step() {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(std::string("catalogue: ") + sqlite3_errmsg(m_db));
    }
    std::string Column(int index) const {
        const void* data = sqlite3_column_blob(m_stmt, index);
        int size = sqlite3_column_bytes(m_stmt, index);
        return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
    }
    int Int(int index) const { return sqlite3_column_int(m_stmt, index); }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// Rolls back unless committed: a failed change leaves the old state.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) { Run("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!m_done) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        Run("COMMIT");
        m_done = true;
    }

private:
    void Run(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string text = error != nullptr ? error : "unknown error";
            sqlite3_free(error);
            throw std::runtime_error("catalogue: " + text);
        }
    }
    sqlite3* m_db;
    bool m_done = false;
};

const char* const kColumns =
    "shadow_id, set_id, created_at, source_device, source_lun, target_lun, snapshot_name, exposed_device, exposed_lun,"
    " exposed_eui64, exposed_serial, mount_point, consistency, state, intent, intent_at, origin, document";

KShadowCopyEntry Row(const Statement& s) {
    KShadowCopyEntry e;
    std::string* fields[] = {&e.shadowId,      &e.setId,        &e.createdAt,     &e.sourceDevice, &e.sourceLun,
                             &e.targetLun,     &e.snapshotName, &e.exposedDevice, &e.exposedLun,   &e.exposedEui64,
                             &e.exposedSerial, &e.mountPoint,   &e.consistency,   &e.state,        &e.intent,
                             &e.intentAt,      &e.origin,       &e.document};
    for (int i = 0; i < static_cast<int>(sizeof fields / sizeof fields[0]); ++i) *fields[i] = s.Column(i);
    return e;
}

}  // namespace

std::string KShadowCatalogue::DefaultPath() {
    // Set but empty is a mistake to report, not a wish for the default.
    const char* path = std::getenv("KORVEL_CATALOGUE");
    return path != nullptr ? path : "/var/lib/korvel/shadows.db";
}

KShadowCatalogue::KShadowCatalogue(const std::string& path) : m_path(path) {
    const std::string failure = "Cannot open the shadow copy catalogue " + path + ": ";
    // The file and its folder are made private before SQLite touches them:
    // the records name every disk and snapshot of the host.
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty() && !std::filesystem::exists(parent, ec)) {
        std::filesystem::create_directories(parent, ec);
        if (!ec) ::chmod(parent.c_str(), 0700);
    }
    if (path.empty()) throw std::runtime_error("Cannot open the shadow copy catalogue: its path is empty");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error(failure + std::strerror(errno));
    // A catalogue made readable to others (by hand, or by an old release) is made private again.
    struct stat st {};
    const bool wider = ::fstat(fd, &st) == 0 && (st.st_mode & 0077) != 0;
    const int narrowed = wider ? ::fchmod(fd, 0600) : 0;
    const int error = errno;
    ::close(fd);
    if (narrowed != 0) throw std::runtime_error(failure + "cannot make it private: " + std::strerror(error));
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::string text = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error(failure + text);
    }
    try {
        sqlite3_busy_timeout(m_db, 10000);  // another command may be writing; never wait for ever
        Exec("PRAGMA foreign_keys = ON");
        Exec("PRAGMA synchronous = FULL");
        Migrate();
    } catch (const std::exception& e) {
        sqlite3_close(m_db);
        throw std::runtime_error(failure + e.what());
    }
}

KShadowCatalogue::~KShadowCatalogue() { sqlite3_close(m_db); }

void KShadowCatalogue::Exec(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error != nullptr ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

// user_version says which schema the file holds; later releases migrate from it.
void KShadowCatalogue::Migrate() {
    Transaction transaction(m_db);
    Statement version(m_db, "PRAGMA user_version");
    version.Step();
    const int current = version.Int(0);
    if (current > kSchemaVersion)
        throw std::runtime_error("schema version " + std::to_string(current) + " is newer than this release knows (" +
                                 std::to_string(kSchemaVersion) + ")");
    if (current == 0) {
        Exec(
            "CREATE TABLE snapshot_sets ("
            " set_id TEXT PRIMARY KEY,"
            " created_at TEXT NOT NULL)");
        Exec(
            "CREATE TABLE shadow_copies ("
            " shadow_id TEXT PRIMARY KEY,"
            " set_id TEXT NOT NULL REFERENCES snapshot_sets(set_id) ON DELETE CASCADE,"
            " created_at TEXT NOT NULL,"
            " source_device TEXT NOT NULL,"
            " source_lun BLOB NOT NULL,"
            " target_lun BLOB NOT NULL,"
            " snapshot_name TEXT NOT NULL,"
            " exposed_device TEXT,"
            " exposed_lun BLOB)");
        Exec("PRAGMA user_version = 1");
    }
    if (current < 2) {
        // The exposed disk's identity, the state of the row and the intent of
        // a command under way.
        Exec("ALTER TABLE shadow_copies ADD COLUMN exposed_eui64 TEXT");
        Exec("ALTER TABLE shadow_copies ADD COLUMN exposed_serial TEXT");
        Exec("ALTER TABLE shadow_copies ADD COLUMN mount_point TEXT");
        // Copies made before freezing existed were crash-consistent.
        Exec("ALTER TABLE shadow_copies ADD COLUMN consistency TEXT NOT NULL DEFAULT 'crash'");
        Exec("ALTER TABLE shadow_copies ADD COLUMN state TEXT NOT NULL DEFAULT 'created'");
        Exec("ALTER TABLE shadow_copies ADD COLUMN intent TEXT");
        Exec("ALTER TABLE shadow_copies ADD COLUMN intent_at TEXT");
        // Where the row came from, and the document that moved it between hosts.
        Exec("ALTER TABLE shadow_copies ADD COLUMN origin TEXT NOT NULL DEFAULT 'created'");
        Exec("ALTER TABLE shadow_copies ADD COLUMN document TEXT");
        Exec("PRAGMA user_version = 2");
    }
    transaction.Commit();
}

void KShadowCatalogue::AddSet(const std::string& setId, const std::string& createdAt,
                              const std::vector<KShadowCopyEntry>& copies) {
    InsertSet(setId, createdAt, copies, false);
}

void KShadowCatalogue::InsertSet(const std::string& setId, const std::string& createdAt,
                                 const std::vector<KShadowCopyEntry>& copies, bool imported) {
    Transaction transaction(m_db);
    // Another document may have brought other copies of the same set.
    Statement(m_db, imported ? "INSERT OR IGNORE INTO snapshot_sets (set_id, created_at) VALUES (?, ?)"
                             : "INSERT INTO snapshot_sets (set_id, created_at) VALUES (?, ?)")
        .Bind(1, setId)
        .Bind(2, createdAt)
        .Step();
    for (const KShadowCopyEntry& c : copies) {
        Statement insert(m_db, imported ? "INSERT INTO shadow_copies (shadow_id, set_id, created_at, source_device,"
                                          " source_lun, target_lun, snapshot_name, consistency, state, origin,"
                                          " document) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 'created', ?, ?)"
                                        : "INSERT INTO shadow_copies (shadow_id, set_id, created_at, source_device,"
                                          " source_lun, target_lun, snapshot_name, state) VALUES (?, ?, ?, ?, ?, ?,"
                                          " ?, 'pending')");
        insert.Bind(1, c.shadowId).Bind(2, setId).Bind(3, createdAt).Bind(4, c.sourceDevice);
        insert.Bind(5, c.sourceLun, true).Bind(6, c.targetLun, true).Bind(7, c.snapshotName);
        if (imported) insert.Bind(8, c.consistency).Bind(9, c.origin).Bind(10, c.document);
        insert.Step();
    }
    transaction.Commit();
}

void KShadowCatalogue::CompleteSet(const std::vector<KShadowCopyEntry>& copies) {
    Transaction transaction(m_db);
    for (const KShadowCopyEntry& c : copies) {
        Statement(m_db,
                  "UPDATE shadow_copies SET target_lun = ?, snapshot_name = ?, consistency = ?,"
                  " state = 'created' WHERE shadow_id = ?")
            .Bind(1, c.targetLun, true)
            .Bind(2, c.snapshotName)
            .Bind(3, c.consistency)
            .Bind(4, c.shadowId)
            .Step();
    }
    transaction.Commit();
}

void KShadowCatalogue::RemoveSet(const std::string& setId) {
    Transaction transaction(m_db);
    Statement(m_db, "DELETE FROM shadow_copies WHERE set_id = ?").Bind(1, setId).Step();
    Statement(m_db, "DELETE FROM snapshot_sets WHERE set_id = ?").Bind(1, setId).Step();
    transaction.Commit();
}

std::vector<KShadowCopyEntry> KShadowCatalogue::List() const {
    Statement select(m_db, (std::string("SELECT ") + kColumns + " FROM shadow_copies ORDER BY rowid").c_str());
    std::vector<KShadowCopyEntry> entries;
    while (select.Step()) entries.push_back(Row(select));
    return entries;
}

std::optional<KShadowCopyEntry> KShadowCatalogue::Find(const std::string& shadowId) const {
    Statement select(m_db, (std::string("SELECT ") + kColumns + " FROM shadow_copies WHERE shadow_id = ?").c_str());
    select.Bind(1, shadowId);
    if (!select.Step()) return std::nullopt;
    return Row(select);
}

void KShadowCatalogue::SetIntent(const std::string& shadowId, const std::string& intent, const std::string& at) {
    Transaction transaction(m_db);
    Statement update(m_db, "UPDATE shadow_copies SET intent = ?, intent_at = ? WHERE shadow_id = ?");
    if (intent.empty())
        update.BindNull(1).BindNull(2);
    else
        update.Bind(1, intent).Bind(2, at);
    update.Bind(3, shadowId).Step();
    transaction.Commit();
}

void KShadowCatalogue::SetExposed(const KShadowCopyEntry& e) {
    Transaction transaction(m_db);
    Statement(m_db,
              "UPDATE shadow_copies SET exposed_device = ?, exposed_lun = ?, exposed_eui64 = ?,"
              " exposed_serial = ?, intent = NULL, intent_at = NULL WHERE shadow_id = ?")
        .Bind(1, e.exposedDevice)
        .Bind(2, e.exposedLun, true)
        .Bind(3, e.exposedEui64)
        .Bind(4, e.exposedSerial)
        .Bind(5, e.shadowId)
        .Step();
    transaction.Commit();
}

void KShadowCatalogue::SetMountPoint(const std::string& shadowId, const std::string& mountPoint) {
    Transaction transaction(m_db);
    Statement update(m_db, "UPDATE shadow_copies SET mount_point = ? WHERE shadow_id = ?");
    if (mountPoint.empty())
        update.BindNull(1);
    else
        update.Bind(1, mountPoint);
    update.Bind(2, shadowId).Step();
    transaction.Commit();
}

void KShadowCatalogue::ClearExposed(const std::string& shadowId) {
    Transaction transaction(m_db);
    Statement(m_db,
              "UPDATE shadow_copies SET exposed_device = NULL, exposed_lun = NULL, exposed_eui64 = NULL,"
              " exposed_serial = NULL, mount_point = NULL, intent = NULL, intent_at = NULL WHERE shadow_id = ?")
        .Bind(1, shadowId)
        .Step();
    transaction.Commit();
}

void KShadowCatalogue::Remove(const std::string& shadowId) {
    Transaction transaction(m_db);
    Statement find(m_db, "SELECT set_id FROM shadow_copies WHERE shadow_id = ?");
    find.Bind(1, shadowId);
    if (!find.Step()) return;
    const std::string setId = find.Column(0);
    Statement(m_db, "DELETE FROM shadow_copies WHERE shadow_id = ?").Bind(1, shadowId).Step();
    Statement(m_db,
              "DELETE FROM snapshot_sets WHERE set_id = ? AND NOT EXISTS"
              " (SELECT 1 FROM shadow_copies WHERE set_id = ?)")
        .Bind(1, setId)
        .Bind(2, setId)
        .Step();
    transaction.Commit();
}

void KShadowCatalogue::SetExported(const std::vector<std::string>& shadowIds, const std::string& document) {
    Transaction transaction(m_db);
    for (const std::string& id : shadowIds)
        Statement(m_db, "UPDATE shadow_copies SET state = 'exported', document = ? WHERE shadow_id = ?")
            .Bind(1, document)
            .Bind(2, id)
            .Step();
    transaction.Commit();
}

void KShadowCatalogue::AddImported(const std::string& setId, const std::string& createdAt,
                                   const std::vector<KShadowCopyEntry>& copies) {
    InsertSet(setId, createdAt, copies, true);
}

}  // namespace Korvel
