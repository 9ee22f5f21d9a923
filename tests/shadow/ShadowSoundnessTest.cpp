// KorvelShadow under the disturbances of a real site: disks renumbered,
// commands killed or run twice at once, answers lost, appliances that refuse
// or cannot be reached. Each scenario checks what the administrator would
// see: exit code, message, catalogue, and what the appliances hold.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include "KLunRecord.h"
#include "KShadowCatalogue.h"
#include "KorvelAccessLibrary.h"
#include "ShadowEnv.h"
#include "registry.h"
#include "registry_internal.h"

namespace korvel_test {
namespace {

using Korvel::KShadowCopyEntry;
using Korvel::KShadowFailure;

// The provider with one operation of the test's choosing failing: it is
// carried out, then reported failed, as when its answer is lost on the way.
// Every call is counted.
std::string g_failing;
std::map<std::string, int> g_calls;

class FailingProvider final : public IVssHardwareSnapshotProviderEx,
                              public IVssProviderCreateSnapshotSet,
                              public IVssProviderNotifications {
public:
    explicit FailingProvider(IUnknown* inner) {
        inner->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(&m_hardware));
        inner->QueryInterface(IID_IVssProviderCreateSnapshotSet, reinterpret_cast<void**>(&m_creator));
        inner->QueryInterface(IID_IVssProviderNotifications, reinterpret_cast<void**>(&m_notifications));
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IVssHardwareSnapshotProvider) ||
            IsEqualIID(riid, IID_IVssHardwareSnapshotProviderEx))
            *ppv = static_cast<IVssHardwareSnapshotProviderEx*>(this);
        else if (IsEqualIID(riid, IID_IVssProviderCreateSnapshotSet))
            *ppv = static_cast<IVssProviderCreateSnapshotSet*>(this);
        else if (IsEqualIID(riid, IID_IVssProviderNotifications))
            *ppv = static_cast<IVssProviderNotifications*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
#define FORWARD(to, name, params, args) \
    HRESULT name params override { return Counted(#name, to->name args); }
    FORWARD(m_hardware, AreLunsSupported, (LONG n, LONG c, VSS_PWSZ* d, VDS_LUN_INFORMATION* l, BOOL* s), (n, c, d, l, s))
    FORWARD(m_hardware, FillInLunInfo, (VSS_PWSZ d, VDS_LUN_INFORMATION* l, BOOL* s), (d, l, s))
    FORWARD(m_hardware, BeginPrepareSnapshot, (VSS_ID set, VSS_ID id, LONG c, LONG n, VSS_PWSZ* d, VDS_LUN_INFORMATION* l),
            (set, id, c, n, d, l))
    FORWARD(m_hardware, GetTargetLuns, (LONG n, VSS_PWSZ* d, VDS_LUN_INFORMATION* s, VDS_LUN_INFORMATION* t), (n, d, s, t))
    FORWARD(m_hardware, LocateLuns, (LONG n, VDS_LUN_INFORMATION* l), (n, l))
    FORWARD(m_hardware, OnLunEmpty, (VSS_PWSZ d, VDS_LUN_INFORMATION* l), (d, l))
    FORWARD(m_hardware, GetProviderCapabilities, (ULONGLONG* mask), (mask))
    FORWARD(m_hardware, OnLunStateChange, (VDS_LUN_INFORMATION* s, VDS_LUN_INFORMATION* o, DWORD n, DWORD f), (s, o, n, f))
    FORWARD(m_hardware, OnReuseLuns, (VDS_LUN_INFORMATION* s, VDS_LUN_INFORMATION* o, DWORD n), (s, o, n))
    FORWARD(m_creator, EndPrepareSnapshots, (VSS_ID set), (set))
    FORWARD(m_creator, PreCommitSnapshots, (VSS_ID set), (set))
    FORWARD(m_creator, CommitSnapshots, (VSS_ID set), (set))
    FORWARD(m_creator, PostCommitSnapshots, (VSS_ID set, LONG n), (set, n))
    FORWARD(m_creator, PreFinalCommitSnapshots, (VSS_ID set), (set))
    FORWARD(m_creator, PostFinalCommitSnapshots, (VSS_ID set), (set))
    FORWARD(m_creator, AbortSnapshots, (VSS_ID set), (set))
    FORWARD(m_notifications, OnLoad, (IUnknown* callback), (callback))
    FORWARD(m_notifications, OnUnload, (BOOL force), (force))
#undef FORWARD
    HRESULT ResyncLuns(VDS_LUN_INFORMATION* s, VDS_LUN_INFORMATION* t, DWORD n, IVssAsync** async) override {
        const HRESULT hr = Counted("ResyncLuns", m_hardware->ResyncLuns(s, t, n, async));
        if (hr != S_OK && async != nullptr && *async != nullptr) {
            (*async)->Release();  // a failed operation hands back none
            *async = nullptr;
        }
        return hr;
    }

private:
    ~FailingProvider() {
        m_hardware->Release();
        m_creator->Release();
        m_notifications->Release();
    }
    static HRESULT Counted(const std::string& operation, HRESULT hr) {
        ++g_calls[operation];
        return operation == g_failing ? VSS_E_PROVIDER_VETO : hr;
    }
    ULONG m_refs = 1;
    IVssHardwareSnapshotProviderEx* m_hardware = nullptr;
    IVssProviderCreateSnapshotSet* m_creator = nullptr;
    IVssProviderNotifications* m_notifications = nullptr;
};

class FailingProviderClass final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        IUnknown* inner = nullptr;
        HRESULT hr = CKorvelVSSProviderFactory::Instance()->CreateInstance(nullptr, IID_IUnknown,
                                                                           reinterpret_cast<void**>(&inner));
        if (FAILED(hr)) return hr;
        auto* provider = new FailingProvider(inner);
        inner->Release();
        hr = provider->QueryInterface(riid, ppv);
        provider->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

// Descriptors of this process open on files below `folder`.
size_t OpenBelow(const std::string& folder) {
    size_t n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(fd.path(), ec).string().rfind(folder + "/", 0) == 0;
    }
    return n;
}

class ShadowSoundnessTest : public TwoApplianceShadowTest {
protected:
    // Creates a shadow copy of one disk; its ID.
    std::string Create(const std::string& device) {
        CommandResult r = Shadow({"create", device});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        for (const auto& e : Catalogue())
            if (e.sourceDevice == device && r.out.find(e.shadowId) != std::string::npos) return e.shadowId;
        ADD_FAILURE() << "no shadow copy of " << device;
        return std::string();
    }
    KShadowCopyEntry Row(const std::string& id) const {
        for (const auto& e : Catalogue())
            if (e.shadowId == id) return e;
        return KShadowCopyEntry{};
    }
    static std::vector<std::string> ClonesOf(const qsta::Simulator& sim, const std::string& snapshot) {
        std::vector<std::string> clones;
        for (const auto& v : sim.Volumes())
            if (v.sourceSnapshot == snapshot) clones.push_back(v.name);
        return clones;
    }
    // What the appliance does behind the host's back, through its REST interface.
    static void OnAppliance(qsta::Simulator& sim, const std::function<void(Korvel::KArray&)>& act) {
        Korvel::KAccessLayer::GlobalInit();
        {
            std::string address = sim.Address(), key = sim.AccessKey();
            Korvel::KArray array(address, key);
            act(array);
        }
        Korvel::KAccessLayer::GlobalCleanup();
    }
    static void Detach(qsta::Simulator& sim, std::string volume) {
        OnAppliance(sim, [&](Korvel::KArray& array) {
            std::string iqn = kHostIqn, server;
            ASSERT_EQ(array.GetServerIDByIQNFromArray(iqn, server), 0);
            ASSERT_EQ(array.DetachVolume(volume, server), 0);
        });
    }
    static void Record(const std::string& address, const std::string& key) {
        HKEY handle = nullptr;
        const std::string path = "SOFTWARE\\Korvel\\HwProvider\\" + address;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(handle, "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(key.c_str()),
                       static_cast<DWORD>(key.size() + 1));
        RegCloseKey(handle);
    }
    static size_t Commands(const qsta::Simulator& sim) {
        size_t n = 0;
        for (const auto& e : sim.Journal()) n += e.method != "GET";
        return n;
    }
    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
    // Changes a row behind the command's back; the LUN records are blobs.
    void UpdateRow(const std::string& id, const std::string& column, const std::string& value) const {
        sqlite3* db = nullptr;
        sqlite3_stmt* update = nullptr;
        const std::string sql = "UPDATE shadow_copies SET " + column + " = ? WHERE shadow_id = ?";
        if (sqlite3_open(CataloguePath().c_str(), &db) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql.c_str(), -1, &update, nullptr) == SQLITE_OK) {
            if (column.find("_lun") != std::string::npos)
                sqlite3_bind_blob(update, 1, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
            else
                sqlite3_bind_text(update, 1, value.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(update, 2, id.c_str(), -1, SQLITE_TRANSIENT);
            EXPECT_EQ(sqlite3_step(update), SQLITE_DONE) << sqlite3_errmsg(db);
        } else {
            ADD_FAILURE() << sqlite3_errmsg(db);
        }
        sqlite3_finalize(update);
        sqlite3_close(db);
    }
};

TEST_F(ShadowSoundnessTest, NamesNeverDecideWhichDiskIsTouched) {
    const std::string a1 = Device(*a, "a1"), a2 = Device(*a, "a2");
    const std::string name = a1.substr(5);
    // One disk named twice, or named by anything but /dev/NAME: refused before anything is made.
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"create", a1, "/dev//" + name}, "/dev//" + name + " names the same disk as " + a1},
        {{"create", name}, name + " is not a disk: name it as /dev/NAME"},
        {{"create", "/etc/" + name}, "/etc/" + name + " is not a disk: name it as /dev/NAME"},
    };
    for (const Case& c : cases) {
        CommandResult r = Shadow(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args[1];
        EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    }
    EXPECT_EQ(Commands(*a), 0u);
    EXPECT_TRUE(Catalogue().empty());

    // A's clone is unmapped by the appliance; B, exposed next, takes the name A's disk had.
    const std::string idA = Create(a1), idB = Create(a2);
    const std::string snapA = Row(idA).snapshotName, snapB = Row(idB).snapshotName;
    ASSERT_EQ(Shadow({"expose", idA}).exitCode, 0);
    const std::string diskA = Row(idA).exposedDevice;
    const std::string cloneA = ClonesOf(*a, snapA).at(0);
    Detach(*a, cloneA);
    // Stale until the host rescans, which B's expose does.
    ASSERT_TRUE(std::filesystem::exists(SanRoot() + "/class/block/" + diskA.substr(5)));
    ASSERT_EQ(Shadow({"expose", idB}).exitCode, 0);
    ASSERT_EQ(Row(idB).exposedDevice, diskA);
    const std::string cloneB = ClonesOf(*a, snapB).at(0);

    // Releasing A finds that its own disk is gone and finishes on the
    // appliance; B's disk, clone and snapshot are not touched.
    CommandResult released = Shadow({"release", idA});
    EXPECT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_TRUE(Has(released.out, "The exposed disk of shadow copy " + idA + " is gone")) << released.out;
    EXPECT_FALSE(a->FindVolume(cloneA).has_value());
    EXPECT_FALSE(a->FindSnapshot(snapA).has_value());
    EXPECT_TRUE(a->IsMapped(cloneB, "this-host"));
    EXPECT_TRUE(a->FindSnapshot(snapB).has_value());
    EXPECT_TRUE(std::filesystem::exists(SanRoot() + "/class/block/" + diskA.substr(5)));
    EXPECT_TRUE(Has(released.out, "Deleted the clone volume " + cloneA + " (")) << released.out;
    ASSERT_EQ(Catalogue().size(), 1u);
    EXPECT_EQ(Catalogue()[0].shadowId, idB);
    EXPECT_EQ(Catalogue()[0].exposedDevice, diskA);

    // A rollback goes to the volume the copy was taken of, whatever its name
    // shows now; a record without that volume's identity proves nothing, and
    // a source that cannot be read is refused too.
    Korvel::KLunRecord bare = Korvel::KLunRecord::Decode(Row(idB).sourceLun);
    for (ULONG i = 0; i < bare.Info().m_deviceIdDescriptor.m_cIdentifiers; ++i)
        bare.Info().m_deviceIdDescriptor.m_rgIdentifiers[i].m_Type = VDSStorageIdTypeVendorSpecific;
    const size_t commands = Commands(*a);
    UpdateRow(idB, "source_device", a1);
    CommandResult other = Shadow({"revert", idB});
    EXPECT_EQ(other.exitCode, 2);
    EXPECT_TRUE(Has(other.err, a1 + " no longer shows the volume of shadow copy " + idB)) << other.err;
    UpdateRow(idB, "source_device", a2);
    UpdateRow(idB, "source_lun", bare.Encode());
    CommandResult unknown = Shadow({"revert", idB});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(Has(unknown.err, "Shadow copy " + idB + " records no identity of its source volume")) << unknown.err;
    UpdateRow(idB, "source_device", "/dev/sdzz");
    CommandResult unreadable = Shadow({"revert", idB});
    EXPECT_EQ(unreadable.exitCode, 2);
    EXPECT_TRUE(Has(unreadable.err, "/dev/sdzz is not a disk")) << unreadable.err;
    EXPECT_EQ(Commands(*a), commands);
    for (const char* volume : {"a1", "a2"}) EXPECT_EQ(a->FindGroup(a->FindVolume(volume)->cgName)->rollbackCount, 0u);
}

TEST_F(ShadowSoundnessTest, ConcurrentAndKilledExposesLeaveOneClone) {
    const std::string idA = Create(Device(*a, "a1")), idB = Create(Device(*a, "a2"));
    const std::string snapA = Row(idA).snapshotName, snapB = Row(idB).snapshotName;
    qsta::Fault slow = qsta::Fault::Slow("POST", "/api/consistency_groups/*/clone", std::chrono::milliseconds(1500));
    slow.times = 0;
    const int slowFault = a->AddFault(slow);

    // Three exposes of one shadow copy at once: one works, two are refused.
    std::vector<std::future<CommandResult>> runs;
    for (int i = 0; i < 3; ++i)
        runs.push_back(std::async(std::launch::async, [this, &idA] { return Shadow({"expose", idA}); }));
    int worked = 0, busy = 0;
    for (auto& run : runs) {
        CommandResult r = run.get();
        worked += r.exitCode == 0;
        busy += r.exitCode == 2 && Has(r.err, "Shadow copy " + idA + " is busy (expose in progress)");
    }
    EXPECT_EQ(worked, 1);
    EXPECT_EQ(busy, 2);
    ASSERT_EQ(ClonesOf(*a, snapA).size(), 1u);
    EXPECT_TRUE(a->IsMapped(ClonesOf(*a, snapA)[0], "this-host"));

    // An expose killed while the clone is being made: the appliance makes it
    // all the same, and the row says an expose was under way.
    const size_t before = a->JournalSize();
    pid_t pid = StartShadow({"expose", idB});
    for (int i = 0; i < 100 && a->JournalSize() == before + 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    for (int i = 0; i < 100 && ClonesOf(*a, snapB).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(ClonesOf(*a, snapB).size(), 1u);
    const std::string leaked = ClonesOf(*a, snapB)[0];
    EXPECT_EQ(Row(idB).intent, "exposing");
    EXPECT_TRUE(Has(Shadow({"list"}).out, "exposing"));

    // The next command undoes it, then exposes.
    a->RemoveFault(slowFault);
    CommandResult again = Shadow({"expose", idB});
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_TRUE(Has(again.out, "Deleted the clone volume " + leaked)) << again.out;
    EXPECT_FALSE(a->FindVolume(leaked).has_value());
    ASSERT_EQ(ClonesOf(*a, snapB).size(), 1u);
    EXPECT_EQ(Row(idB).intent, "");
    EXPECT_FALSE(Row(idB).exposedDevice.empty());

    // Killed after the disk appeared but before the row said so: the disk is
    // the shadow copy's, and the next command takes it as such.
    const std::string disk = Row(idB).exposedDevice;
    {
        Korvel::KShadowCatalogue catalogue(CataloguePath());
        catalogue.ClearExposed(idB);
        catalogue.SetIntent(idB, "exposing", "2026-12-07T00:00:00Z");
    }
    CommandResult released = Shadow({"release", idB});
    ASSERT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_TRUE(Has(released.out, "Shadow copy " + idB + " was exposed as " + disk +
                                      " by a command that stopped before recording it"))
        << released.out;
    EXPECT_TRUE(ClonesOf(*a, snapB).empty());
    EXPECT_FALSE(a->FindSnapshot(snapB).has_value());
    EXPECT_EQ(Catalogue().size(), 1u);

    // An expose whose disk never shows (this host's initiator name is now
    // another host's) gives up at its deadline and takes its clone away.
    const std::string idC = Create(Device(*b, "b1"));
    SetInitiatorName("iqn.2026-12.local.example:stranger");
    CommandResult lost = Shadow({"expose", idC});
    SetInitiatorName(kHostIqn);
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_TRUE(Has(lost.err, "No disk of shadow copy " + idC + " appeared within 10000 ms")) << lost.err;
    EXPECT_TRUE(ClonesOf(*b, Row(idC).snapshotName).empty());
    EXPECT_EQ(Row(idC).exposedDevice, "");
    EXPECT_EQ(Row(idC).intent, "");
}

TEST_F(ShadowSoundnessTest, ReleasesReportWhatIsLeftAndStuckRowsCanBeFinished) {
    const std::string idA = Create(Device(*a, "a1"));
    const std::string snapA = Row(idA).snapshotName;
    ASSERT_EQ(Shadow({"expose", idA}).exitCode, 0);
    const std::string cloneA = ClonesOf(*a, snapA).at(0);

    // The clone's deletion is answered without its element and not carried
    // out: the release must not claim it was deleted.
    a->AddFault(qsta::Fault::WithoutElement("DELETE", "/api/volumes/*"));
    CommandResult released = Shadow({"release", idA});
    EXPECT_EQ(released.exitCode, 1);
    EXPECT_TRUE(Has(released.err, "release of shadow copy " + idA + " left the clone volume " + cloneA)) << released.err;
    EXPECT_TRUE(a->FindVolume(cloneA).has_value());
    EXPECT_EQ(Row(idA).shadowId, idA);

    // Its disk is gone now: delete finishes the work on the appliance.
    CommandResult deleted = Shadow({"delete", idA});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.out << deleted.err;
    EXPECT_TRUE(Has(deleted.out, "The exposed disk of shadow copy " + idA + " is gone"));
    EXPECT_FALSE(a->FindVolume(cloneA).has_value());
    EXPECT_FALSE(a->FindSnapshot(snapA).has_value());
    EXPECT_TRUE(Catalogue().empty());

    // A release killed after the appliance deleted clone and snapshot: the
    // row is finished, not stuck.
    const std::string idB = Create(Device(*a, "a2"));
    const std::string snapB = Row(idB).snapshotName;
    ASSERT_EQ(Shadow({"expose", idB}).exitCode, 0);
    const std::string cloneB = ClonesOf(*a, snapB).at(0);
    Detach(*a, cloneB);
    OnAppliance(*a, [&](Korvel::KArray& array) {
        std::string name = cloneB, snapshot = snapB;
        ASSERT_EQ(array.DeleteVolume(name), 0);
        Korvel::KVolume* volume = nullptr;
        ASSERT_EQ(array.GetVolumeBySnapIDFromArray(snapshot, volume), 0);
        ASSERT_EQ(volume->DeleteSnapshot(snapshot), 0);
    });
    CommandResult finished = Shadow({"release", idB});
    EXPECT_EQ(finished.exitCode, 0) << finished.out << finished.err;
    EXPECT_TRUE(Catalogue().empty());

    // forget drops a row and says what the appliance still holds of it.
    const std::string idC = Create(Device(*b, "b1"));
    const std::string snapC = Row(idC).snapshotName;
    b->ClearJournal();
    CommandResult forgotten = Shadow({"forget", idC});
    EXPECT_EQ(forgotten.exitCode, 0) << forgotten.err;
    EXPECT_TRUE(Has(forgotten.out, "snapshot " + snapC + " on " + b->Address())) << forgotten.out;
    EXPECT_TRUE(Catalogue().empty());
    EXPECT_TRUE(b->FindSnapshot(snapC).has_value());
    EXPECT_EQ(Commands(*b), 0u);

    // Another host's catalogue on the same appliances: their snapshots are
    // not its orphans.
    const std::string idD = Create(Device(*a, "a1"));
    CommandResult other = Shadow({"list", "--orphans", "--json", "--catalogue", SanRoot() + "/other-host.db"});
    EXPECT_EQ(other.exitCode, 0) << other.err;
    EXPECT_FALSE(Has(other.out, "\"kind\":\"snapshot\"")) << other.out;
    EXPECT_TRUE(Has(other.out, "\"kind\":\"not_made_by_this_host\",\"appliance\":\"" + b->Address() +
                                   "\",\"snapshot\":\"" + snapC + "\""))
        << other.out;
    EXPECT_TRUE(Has(other.out, Row(idD).snapshotName));
}

TEST_F(ShadowSoundnessTest, ACatalogueOfTheFirstSchemaIsMigratedAndItsExposedCopyReleased) {
    const std::string id = Create(Device(*a, "a1"));
    const std::string snap = Row(id).snapshotName;
    ASSERT_EQ(Shadow({"expose", id}).exitCode, 0);
    const std::string disk = Row(id).exposedDevice;
    // The file as the first release wrote it: no identities, states or intents.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(CataloguePath().c_str(), &db), SQLITE_OK);
        const char* downgrade =
            "CREATE TABLE old AS SELECT shadow_id, set_id, created_at, source_device, source_lun, target_lun,"
            " snapshot_name, exposed_device, exposed_lun FROM shadow_copies;"
            "DROP TABLE shadow_copies;"
            "CREATE TABLE shadow_copies (shadow_id TEXT PRIMARY KEY,"
            " set_id TEXT NOT NULL REFERENCES snapshot_sets(set_id) ON DELETE CASCADE, created_at TEXT NOT NULL,"
            " source_device TEXT NOT NULL, source_lun BLOB NOT NULL, target_lun BLOB NOT NULL,"
            " snapshot_name TEXT NOT NULL, exposed_device TEXT, exposed_lun BLOB);"
            "INSERT INTO shadow_copies SELECT * FROM old; DROP TABLE old; PRAGMA user_version = 1;";
        ASSERT_EQ(sqlite3_exec(db, downgrade, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    // A disk without any identity must never pass for the exposed one.
    AddForeignDisk("sda");
    ASSERT_EQ(Row(id).state, "created");
    EXPECT_EQ(Row(id).exposedDevice, disk);
    CommandResult released = Shadow({"release", id});
    EXPECT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_TRUE(Has(released.out, "OnLunEmpty " + disk)) << released.out;
    EXPECT_TRUE(ClonesOf(*a, snap).empty());
    EXPECT_FALSE(a->FindSnapshot(snap).has_value());
    EXPECT_TRUE(Catalogue().empty());
}

TEST_F(ShadowSoundnessTest, UnreachableAndRefusingAppliancesAreFailuresNotRefusals) {
    // A dead appliance recorded before the live ones: the search goes on past it.
    Record("127.0.0.1:1", "some-key");
    const std::string idB = Create(Device(*b, "b1"));
    EXPECT_TRUE(Has(ReadFile(LogDir() + "/KorvelShadow.log"),
                    "Array 127.0.0.1:1 could not be searched: appliance 127.0.0.1:1 could not be reached"));
    CommandResult orphans = Shadow({"list", "--orphans"});
    EXPECT_EQ(orphans.exitCode, 1);
    EXPECT_TRUE(Has(orphans.out, "Not searched: appliance 127.0.0.1:1 could not be reached")) << orphans.out;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\HwProvider\\127.0.0.1:1");

    // A wrong access key.
    a->SetAccessKey("a-key-nobody-recorded");
    const auto rows = Catalogue().size();
    CommandResult refused = Shadow({"create", Device(*a, "a1")});
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    EXPECT_TRUE(Has(refused.err, "appliance " + a->Address() + " refused the access key (HTTP 401)")) << refused.err;
    EXPECT_TRUE(Has(refused.err, "provider event: Error category 1 event 0xC0004003")) << refused.err;
    EXPECT_EQ(Commands(*a), 0u);
    EXPECT_EQ(Catalogue().size(), rows);

    // An appliance that stopped.
    const std::string disk = Device(*a, "a1"), address = a->Address();
    a->Stop();
    CommandResult unreachable = Shadow({"create", disk});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_TRUE(Has(unreachable.err, "appliance " + address + " could not be reached")) << unreachable.err;
    EXPECT_EQ(Catalogue().size(), rows);
    EXPECT_EQ(Row(idB).shadowId, idB);
}

// The coordinator in this process, with a provider that fails one step after
// another: whatever the step, nothing is stored, what the provider made goes
// again, a set is aborted once, and a row stays until the provider finished.
TEST_F(ShadowSoundnessTest, AProviderThatFailsAnyStepLeavesNothingBehind) {
    FailingProviderClass failing;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_KorvelVSSProvider, &failing, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    Korvel::KShadowCoordinator::Options options;
    options.cataloguePath = CataloguePath();
    options.freeze = false;
    options.rescanTimeout = std::chrono::seconds(60);  // a slow machine's rescan is no failure here
    const size_t keys = RegistryOpenHandleCount();
    {
        Korvel::KShadowCoordinator coordinator(options);
        auto failure = [](const std::function<void()>& action) {
            try {
                action();
            } catch (const KShadowFailure& e) {
                return e.Step().operation + " " + Korvel::HResultName(e.Step().result);
            }
            return std::string("no failure");
        };
        for (const std::string step : {"AreLunsSupported", "BeginPrepareSnapshot", "EndPrepareSnapshots",
                                       "PreCommitSnapshots", "CommitSnapshots", "PostCommitSnapshots", "GetTargetLuns"}) {
            g_failing = step;
            g_calls.clear();
            EXPECT_EQ(failure([&] { coordinator.Create({Device(*a, "a1"), Device(*b, "b1")}); }),
                      step + " VSS_E_PROVIDER_VETO");
            EXPECT_EQ(g_calls["AbortSnapshots"], step == "AreLunsSupported" ? 0 : 1) << step;
            EXPECT_TRUE(Catalogue().empty()) << step;
            EXPECT_TRUE(a->Snapshots().empty()) << step;
            EXPECT_TRUE(b->Snapshots().empty()) << step;
        }

        g_failing.clear();
        const std::string id = coordinator.Create({Device(*a, "a1")}).at(0).shadowId;
        const std::string snapshot = Row(id).snapshotName;
        for (const std::string step : {"LocateLuns", "FillInLunInfo"}) {
            g_failing = step;
            EXPECT_EQ(failure([&] { coordinator.Expose(id); }), step + " VSS_E_PROVIDER_VETO");
            EXPECT_TRUE(ClonesOf(*a, snapshot).empty()) << step;
            EXPECT_EQ(Row(id).exposedDevice, "") << step;
            EXPECT_EQ(Row(id).intent, "") << step;
        }
        g_failing = "ResyncLuns";
        EXPECT_EQ(failure([&] { coordinator.Revert(id); }), "ResyncLuns VSS_E_PROVIDER_VETO");
        g_failing.clear();
        EXPECT_EQ(failure([&] { coordinator.Expose(id); }), "no failure");
        g_failing = "OnLunEmpty";
        EXPECT_EQ(failure([&] { coordinator.Release(id); }), "OnLunEmpty VSS_E_PROVIDER_VETO");
        EXPECT_EQ(Row(id).shadowId, id);
        // What the provider did before it failed is found done.
        g_failing.clear();
        EXPECT_EQ(failure([&] { coordinator.Release(id); }), "no failure");
        EXPECT_TRUE(Catalogue().empty());
        EXPECT_TRUE(a->Snapshots().empty());
    }
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    // Neither the catalogue, nor a shadow copy's lock, nor a registry key is left open.
    EXPECT_EQ(OpenBelow(std::filesystem::path(CataloguePath()).parent_path()), 0u);
    EXPECT_EQ(RegistryOpenHandleCount(), keys);
}

}  // namespace
}  // namespace korvel_test
