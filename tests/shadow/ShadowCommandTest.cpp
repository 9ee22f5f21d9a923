// KorvelShadow as administrators and backup scripts run it: one process per
// command, checked through the catalogue, the appliances' state and the
// requests they received.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "KLunRecord.h"
#include "ShadowEnv.h"

namespace korvel_test {
namespace {

using Korvel::KLunRecord;
using Korvel::KShadowCopyEntry;


std::string LastLine(const std::string& text) {
    std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

const KShadowCopyEntry* BySource(const std::vector<KShadowCopyEntry>& entries, const std::string& device) {
    for (const auto& e : entries)
        if (e.sourceDevice == device) return &e;
    return nullptr;
}

size_t Commands(const qsta::Simulator& sim) {
    size_t n = 0;
    for (const auto& e : sim.Journal())
        if (e.method != "GET") ++n;
    return n;
}

class ShadowCommandTest : public TwoApplianceShadowTest {};

TEST_F(ShadowCommandTest, LifecycleAcrossSeparateCommands) {
    const std::string a1 = Device(*a, "a1"), a2 = Device(*a, "a2"), b1 = Device(*b, "b1");
    CommandResult created = Shadow({"create", a1, a2, b1});
    ASSERT_EQ(created.exitCode, 0) << created.out << created.err;
    EXPECT_NE(created.out.find("  S_OK                   CommitSnapshots {"), std::string::npos) << created.out;

    std::vector<KShadowCopyEntry> entries = Catalogue();
    ASSERT_EQ(entries.size(), 3u);
    for (const auto& e : entries) {
        SCOPED_TRACE(e.sourceDevice);
        EXPECT_EQ(e.setId, entries[0].setId);
        KLunRecord target = KLunRecord::Decode(e.targetLun);
        EXPECT_EQ(std::string(target.Info().m_szSerialNumber), e.snapshotName);
        ASSERT_EQ(target.Info().m_deviceIdDescriptor.m_cIdentifiers, 1u);
        EXPECT_EQ(Korvel::IdentifierText(target.Info().m_deviceIdDescriptor.m_rgIdentifiers[0]),
                  "Korvel-" + e.snapshotName);
        EXPECT_EQ(KLunRecord::Decode(e.sourceLun).Encode(), KLunRecord::FromDisk(e.sourceDevice).Encode());
        EXPECT_TRUE((e.sourceDevice == b1 ? b : a)->FindSnapshot(e.snapshotName).has_value());
        EXPECT_TRUE(e.exposedDevice.empty());
    }
    EXPECT_EQ(Commands(*a), 1u);  // one snapshot set per appliance
    EXPECT_EQ(Commands(*b), 1u);
    EXPECT_NE(created.out.find("\nSnapshot set " + entries[0].setId + "\n"), std::string::npos) << created.out;
    const KShadowCopyEntry dataA = *BySource(entries, a1), logA = *BySource(entries, a2), dataB = *BySource(entries, b1);

    CommandResult listed = Shadow({"list", "--json"});
    ASSERT_EQ(listed.exitCode, 0);
    for (const auto& e : entries) EXPECT_NE(listed.out.find(e.shadowId), std::string::npos);
    EXPECT_EQ(JsonField(listed.out, "snapshot", listed.out.find(dataA.shadowId)), dataA.snapshotName);

    // Exposed by one command, released by another: a new provider object each time.
    CommandResult exposed = Shadow({"expose", dataA.shadowId});
    ASSERT_EQ(exposed.exitCode, 0) << exposed.err;
    const std::string disk = LastLine(exposed.out);
    EXPECT_EQ(Catalogue()[0].exposedDevice.empty() && Catalogue()[1].exposedDevice.empty() &&
                  Catalogue()[2].exposedDevice.empty(),
              false);
    std::string cloneName;
    for (const auto& v : a->Volumes())
        if (v.sourceSnapshot == dataA.snapshotName) cloneName = v.name;
    ASSERT_FALSE(cloneName.empty());
    EXPECT_EQ("/dev/" + a->SanDisks().back().device, disk);
    KLunRecord exposedRecord = KLunRecord::Decode(BySource(Catalogue(), a1)->exposedLun);
    EXPECT_EQ(std::string(exposedRecord.Info().m_szSerialNumber), dataA.snapshotName);

    a->ClearJournal();
    CommandResult again = Shadow({"expose", dataA.shadowId});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_NE(again.err.find("is already exposed as " + disk), std::string::npos) << again.err;
    EXPECT_EQ(a->JournalSize(), 0u);

    CommandResult released = Shadow({"release", dataA.shadowId});
    ASSERT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_FALSE(a->FindVolume(cloneName).has_value());
    EXPECT_FALSE(a->FindSnapshot(dataA.snapshotName).has_value());
    EXPECT_FALSE(BySource(Catalogue(), a1));
    EXPECT_FALSE(std::filesystem::exists(SanRoot() + "/class/block/" + disk.substr(5)));

    // Masking deletes the clone and keeps the snapshot.
    ASSERT_EQ(Shadow({"expose", dataB.shadowId}).exitCode, 0);
    CommandResult masked = Shadow({"mask", dataB.shadowId});
    ASSERT_EQ(masked.exitCode, 0) << masked.err;
    EXPECT_EQ(b->Volumes().size(), 1u);
    EXPECT_TRUE(b->FindSnapshot(dataB.snapshotName).has_value());
    EXPECT_TRUE(BySource(Catalogue(), b1)->exposedDevice.empty());

    CommandResult reverted = Shadow({"revert", logA.shadowId});
    ASSERT_EQ(reverted.exitCode, 0) << reverted.err;
    auto group = a->FindGroup(a->FindVolume("a2")->cgName);
    EXPECT_EQ(group->rolledBackTo, logA.snapshotName);
    EXPECT_EQ(group->rollbackCount, 1u);

    // Deleting a shadow copy that was never exposed removes its snapshot too.
    CommandResult deleted = Shadow({"delete", dataB.shadowId});
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_FALSE(b->FindSnapshot(dataB.snapshotName).has_value());
    EXPECT_EQ(b->Volumes().size(), 1u);
    EXPECT_EQ(b->SanDisks().size(), 1u);
    ASSERT_EQ(Catalogue().size(), 1u);
    EXPECT_EQ(Catalogue()[0].shadowId, logA.shadowId);

    // A failure names the result and carries the provider's event, as text and as JSON.
    a->AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "4", std::string("Pool is full")));
    CommandResult failed = Shadow({"create", a1});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.err.find("CommitSnapshots failed with VSS_E_PROVIDER_VETO (0x80042306)"), std::string::npos)
        << failed.err;
    EXPECT_NE(failed.err.find("provider event: Error category 1 event 0xC0004003: Pool is full"), std::string::npos)
        << failed.err;
    a->AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "4", std::string("Pool is full")));
    CommandResult failedJson = Shadow({"create", "--json", a1});
    EXPECT_EQ(failedJson.exitCode, 1);
    // Every call to the provider, in order, with its result; the set is aborted.
    std::vector<std::string> steps;
    for (size_t at = failedJson.out.find("{\"operation\":"); at != std::string::npos;
         at = failedJson.out.find("{\"operation\":", at + 1))
        steps.push_back(JsonField(failedJson.out, "operation", at) + " " + JsonField(failedJson.out, "result", at));
    EXPECT_EQ(steps, (std::vector<std::string>{"CoCreateInstance S_OK", "QueryInterface S_OK", "QueryInterface S_OK",
                                               "QueryInterface S_OK", "OnLoad S_OK", "AreLunsSupported S_OK",
                                               "BeginPrepareSnapshot S_OK", "EndPrepareSnapshots S_OK",
                                               "PreCommitSnapshots S_OK", "CommitSnapshots VSS_E_PROVIDER_VETO",
                                               "AbortSnapshots S_OK"}));
    EXPECT_EQ(JsonField(failedJson.out, "subject", failedJson.out.find("\"AreLunsSupported\"")), a1);
    EXPECT_EQ(JsonField(failedJson.out, "hresult"), "VSS_E_PROVIDER_VETO");
    EXPECT_NE(failedJson.out.find("\"value\":2147754758"), std::string::npos) << failedJson.out;
    EXPECT_NE(failedJson.out.find("0xC0004003: Pool is full"), std::string::npos);
    EXPECT_EQ(Catalogue().size(), 1u);
}

TEST_F(ShadowCommandTest, RefusalsNameTheProblemAndChangeNothing) {
    const std::string a1 = Device(*a, "a1");
    ASSERT_EQ(Shadow({"create", a1}).exitCode, 0);
    const std::vector<KShadowCopyEntry> before = Catalogue();
    const std::string foreign = AddForeignDisk("sda");
    a->ClearJournal();

    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"expose", "{00000000-0000-4000-8000-000000000000}"},
         "Unknown shadow copy {00000000-0000-4000-8000-000000000000}"},
        {{"release", "not-an-id"}, "\"not-an-id\" is not a shadow copy ID"},
        {{"create", "/dev/sdzz"}, "/dev/sdzz is not a disk (error 2)"},
        {{"create", a1, foreign}, foreign + " is not a disk of a Korvel appliance (vendor \"ATA\")"},
        {{"release", before[0].shadowId}, "is not exposed"},
        {{"create", a1, "--catalogue", SanRoot()}, "Cannot open the shadow copy catalogue " + SanRoot()},
    };
    for (const Case& c : cases) {
        CommandResult result = Shadow(c.args);
        EXPECT_EQ(result.exitCode, 2) << c.args[0] << " " << c.args[1];
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    CommandResult json = Shadow({"revert", "--json", "{00000000-0000-4000-8000-000000000000}"});
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_NE(json.out.find("{\"ok\":false"), std::string::npos);
    EXPECT_EQ(JsonField(json.out, "kind"), "refused");

    std::ofstream(SanRoot() + "/garbage.db") << "this is not a catalogue";
    CommandResult garbage = Shadow({"list", "--catalogue", SanRoot() + "/garbage.db"});
    EXPECT_EQ(garbage.exitCode, 2);
    EXPECT_NE(garbage.err.find("Cannot open the shadow copy catalogue"), std::string::npos) << garbage.err;

    EXPECT_EQ(a->JournalSize(), 0u);
    const std::vector<KShadowCopyEntry> after = Catalogue();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[0].targetLun, before[0].targetLun);
    struct stat st {};
    ASSERT_EQ(stat(CataloguePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    for (const char* command : {"create", "list", "expose", "release", "mask", "revert", "delete", "forget"}) {
        CommandResult help = Shadow({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_NE(help.out.find(command), std::string::npos) << help.out;
    }
    // Usage errors are refusals too, and say what was wrong.
    const std::pair<std::vector<std::string>, std::string> usages[] = {
        {{"create"}, "DEVICE is required"},
        {{"list", "--no-such-option"}, "The following argument was not expected: --no-such-option"},
        {{"frobnicate"}, "A subcommand is required"}};
    for (const auto& usage : usages) {
        CommandResult wrong = Shadow(usage.first);
        EXPECT_EQ(wrong.exitCode, 2) << usage.second;
        EXPECT_NE(wrong.err.find(usage.second), std::string::npos) << wrong.err;
    }

    // A name that is not UTF-8 (a stray byte, a sequence too long for its
    // character, a code point past U+10FFFF) still gives a valid JSON document.
    CommandResult odd = Shadow({"create", "--json", "/dev/sd\xff\xe0\x80\x80\xf4\x90\x80\x80"});
    EXPECT_EQ(odd.exitCode, 2);
    std::string replaced;
    for (int i = 0; i < 8; ++i) replaced += "\\ufffd";
    EXPECT_NE(odd.out.find("/dev/sd" + replaced + " is not a disk"), std::string::npos) << odd.out;

    // An empty catalogue setting is a mistake, not the default.
    setenv("KORVEL_CATALOGUE", "", 1);
    CommandResult empty = Shadow({"list"});
    setenv("KORVEL_CATALOGUE", CataloguePath().c_str(), 1);
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_NE(empty.err.find("its path is empty"), std::string::npos) << empty.err;

    // The highest code point is text, not a fault.
    CommandResult top = Shadow({"create", "--json", "/dev/sd\xf4\x8f\xbf\xbf"});
    EXPECT_EQ(top.exitCode, 2);
    EXPECT_NE(top.out.find("/dev/sd\xf4\x8f\xbf\xbf is not a disk"), std::string::npos) << top.out;

    // A catalogue made readable to others is made private again; the folder
    // it was put in, which the administrator chose, keeps its mode.
    const std::string folder = std::filesystem::path(CataloguePath()).parent_path();
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(chmod(CataloguePath().c_str(), 0644), 0);
    ASSERT_EQ(Shadow({"list"}).exitCode, 0);
    ASSERT_EQ(stat(CataloguePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(a->JournalSize(), 0u);
}

TEST_F(ShadowCommandTest, ACatalogueThatCannotBeWrittenRefusesTheCreateBeforeAnythingIsMade) {
    const std::string a1 = Device(*a, "a1");
    ASSERT_EQ(Shadow({"list"}).exitCode, 0);  // the catalogue exists
    const std::string folder = std::filesystem::path(CataloguePath()).parent_path();
    // An immutable folder: the catalogue opens, but no change can be written.
    if (std::system(("chattr +i '" + folder + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not permitted here (needs root and a filesystem that has it)";
    CommandResult r = Shadow({"create", a1});
    std::system(("chattr -i '" + folder + "'").c_str());
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("Cannot write the shadow copy catalogue " + CataloguePath()), std::string::npos) << r.err;
    EXPECT_EQ(a->JournalSize(), 0u);
    EXPECT_TRUE(a->Snapshots().empty());
    EXPECT_TRUE(Catalogue().empty());
}

TEST_F(ShadowCommandTest, KilledCreatesLeaveAWholeCatalogueAndTheirSnapshotsAreListedAsOrphans) {
    const std::string a1 = Device(*a, "a1"), b1 = Device(*b, "b1");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Shadow({"create", a1, b1}).exitCode, 0);
    const auto full = std::chrono::steady_clock::now() - start;
    const long spanUs = std::max<long>(1000, std::chrono::duration_cast<std::chrono::microseconds>(full).count());

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> when(0, spanUs + spanUs / 5);
    for (int round = 0; round < 200; ++round) {
        pid_t pid = StartShadow({"create", a1, b1});
        std::this_thread::sleep_for(std::chrono::microseconds(when(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }

    // The catalogue opens and every set in it is whole: made, or pending when
    // its create was killed after writing it.
    std::vector<KShadowCopyEntry> entries = Catalogue();
    std::map<std::string, std::set<std::string>> perSet;
    for (const auto& e : entries) perSet[e.setId].insert(e.state);
    for (const auto& e : entries) EXPECT_EQ(perSet[e.setId].size(), 1u) << e.setId;
    std::map<std::string, int> rows;
    for (const auto& e : entries) ++rows[e.setId];
    for (const auto& set : rows) EXPECT_EQ(set.second, 2) << set.first;
    EXPECT_GE(rows.size(), 1u);

    // What the killed creates left on the appliances is listed as orphaned, and only that.
    std::set<std::string> known, expected, listed;
    for (const auto& e : entries)
        if (e.state == "created") known.insert(e.snapshotName);
    for (qsta::Simulator* sim : {a, b})
        for (const auto& s : sim->Snapshots())
            if (known.count(s.id) == 0) expected.insert(sim->Address() + " " + s.id);
    CommandResult orphans = Shadow({"list", "--orphans", "--json"});
    ASSERT_EQ(orphans.exitCode, 0) << orphans.err;
    for (size_t at = orphans.out.find("\"kind\":\"snapshot\""); at != std::string::npos;
         at = orphans.out.find("\"kind\":\"snapshot\"", at + 1))
        listed.insert(JsonField(orphans.out, "appliance", at) + " " + JsonField(orphans.out, "snapshot", at));
    EXPECT_EQ(listed, expected);
    for (const auto& name : known) EXPECT_EQ(orphans.out.find(name), std::string::npos) << name;
    EXPECT_EQ(orphans.out.find("not_made_by_this_host"), std::string::npos) << orphans.out;
}

}  // namespace
}  // namespace korvel_test
