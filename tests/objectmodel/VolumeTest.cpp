// Volumes, their snapshots and host entries as the library caches them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <stdexcept>

#include "KServer.h"
#include "KSnapshot.h"
#include "Logger.h"
#include "ObjectModelEnv.h"

using Korvel::KArray;
using Korvel::KException;
using Korvel::KServer;
using Korvel::KSnapshot;
using Korvel::KVolume;

namespace korvel_test {
namespace {

class VolumeTest : public ObjectModelTest {
protected:
    // vol-1 of the default seed, cached in `array` the way the provider finds it.
    KVolume* FirstVolume(KArray& array) {
        std::string id = Sim().FindVolume("vol-1")->ieeeId;
        KVolume* volume = nullptr;
        EXPECT_EQ(0, array.GetVolumeByIDFromArray(id, volume));
        return volume;
    }
};

// --- Construction -----------------------------------------------------------

TEST_F(VolumeTest, ConstructorKeepsTheFourTextsAndStartsWithoutSnapshots) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    EXPECT_EQ("6001405abcdef001", VolumeID(&volume));
    EXPECT_EQ("vol-7", Name(&volume));
    EXPECT_EQ("sqldata", DispName(&volume));
    EXPECT_EQ("cg-7", CgID(&volume));
    EXPECT_EQ("", LatestSnapshot(&volume));
    std::string anySnapshot = "snap-000001";
    EXPECT_EQ(2, volume.IsSnapAvailable(anySnapshot));
    EXPECT_EQ(1u, CountLog(3, "Entering KVolume::KVolume()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KVolume::KVolume()"));
}

TEST_F(VolumeTest, ConstructorRejectsEachEmptyTextAfterItsEnteringLine) {
    for (int empty = 0; empty < 4; ++empty) {
        std::string texts[4] = {"6001405abcdef001", "vol-7", "sqldata", "cg-7"};
        texts[empty].clear();
        EXPECT_EQ("KVolume Constructor: Invalid input argument",
                  ThrownText<std::invalid_argument>([&] { KVolume volume(texts[0], texts[1], texts[2], texts[3]); }))
            << "empty text " << empty;
    }
    EXPECT_EQ(4u, CountLog(3, "Entering KVolume::KVolume()"));
    EXPECT_EQ(0u, CountLog(3, "Exiting KVolume::KVolume()"));
}

TEST_F(VolumeTest, PointerGettersHandOutTheVolumesOwnStrings) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    std::string* idFirst = nullptr;
    std::string* idSecond = nullptr;
    std::string* cgFirst = nullptr;
    std::string* cgSecond = nullptr;
    EXPECT_EQ(0, volume.GetVolumeID(idFirst));
    EXPECT_EQ(0, volume.GetVolumeID(idSecond));
    EXPECT_EQ(0, volume.GetCgIDPtr(cgFirst));
    EXPECT_EQ(0, volume.GetCgIDPtr(cgSecond));
    ASSERT_NE(nullptr, idFirst);
    ASSERT_NE(nullptr, cgFirst);
    EXPECT_EQ(idFirst, idSecond);
    EXPECT_EQ(cgFirst, cgSecond);
    // Not the caller's strings: the volume keeps copies of its own.
    EXPECT_NE(&id, idFirst);
    EXPECT_NE(&cg, cgFirst);
    EXPECT_EQ("6001405abcdef001", *idFirst);
    EXPECT_EQ("cg-7", *cgFirst);
}

TEST_F(VolumeTest, SetLatestSnapshotIDReplacesTheLatestID) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    std::string latest = "snap-000042";
    EXPECT_EQ(0, volume.SetLatestSnapshotID(latest));
    EXPECT_EQ("snap-000042", LatestSnapshot(&volume));
    // Only the latest ID changes: the snapshot list is not touched.
    EXPECT_EQ(2, volume.IsSnapAvailable(latest));
}

TEST_F(VolumeTest, SnapshotRequiresAnID) {
    std::string empty;
    EXPECT_EQ("KSnapshot Constructor: Invalid input argument", ThrownText<std::invalid_argument>([&] { KSnapshot s(empty); }));
    EXPECT_EQ(1u, CountLog(3, "Entering KSnapshot::KSnapshot()"));
    EXPECT_EQ(0u, CountLog(3, "Exiting KSnapshot::KSnapshot()"));

    std::string id = "snap-000001";
    KSnapshot snapshot(id);
    EXPECT_EQ("snap-000001", snapshot.GetSnapshotID());
    EXPECT_EQ(nullptr, snapshot.GetVolume());
}

TEST_F(VolumeTest, ServerRequiresIDAndIQNButNotAnIscsiIP) {
    std::string id = "host-9", iqn = "iqn.2026-01.local.example:db02", ip, empty;
    KServer server(id, iqn, ip);
    EXPECT_EQ("host-9", server.GetServerID());
    EXPECT_EQ("iqn.2026-01.local.example:db02", server.GetHostIQN());
    EXPECT_EQ("", server.GetIscsiIP());
    EXPECT_EQ("KServer Constructor: Invalid input argument", ThrownText<std::invalid_argument>([&] { KServer s(empty, iqn, ip); }));
    EXPECT_EQ("KServer Constructor: Invalid input argument", ThrownText<std::invalid_argument>([&] { KServer s(id, empty, ip); }));
    EXPECT_EQ(3u, CountLog(3, "Entering KServer::KServer()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KServer::KServer()"));
}

// --- Snapshot bookkeeping ---------------------------------------------------

TEST_F(VolumeTest, AddCreatedSnapshotRecordsEachAndMovesTheLatestID) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    std::string a = "snap-00000a", b = "snap-00000b";
    EXPECT_EQ(0, volume.AddCreatedSnapshot(a));
    EXPECT_EQ(0, volume.AddCreatedSnapshot(b));
    EXPECT_EQ(0, volume.IsSnapAvailable(a));
    EXPECT_EQ(0, volume.IsSnapAvailable(b));
    EXPECT_EQ("snap-00000b", LatestSnapshot(&volume));
    EXPECT_EQ(1u, CountLog(4, "Added snapshot snap-00000a to the internal snapshot list"));
    EXPECT_EQ(1u, CountLog(4, "Added snapshot snap-00000b to the internal snapshot list"));
}

TEST_F(VolumeTest, IsSnapAvailableComparesWholeCaseSensitiveIDs) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    std::string snap = "snap-00000a";
    volume.AddCreatedSnapshot(snap);
    std::string upper = "SNAP-00000A", prefix = "snap-00000", longer = "snap-00000a1";
    EXPECT_EQ(2, volume.IsSnapAvailable(upper));
    EXPECT_EQ(2, volume.IsSnapAvailable(prefix));
    EXPECT_EQ(2, volume.IsSnapAvailable(longer));
}

TEST_F(VolumeTest, AddCreatedSnapshotWithEmptyIDChangesNothing) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    std::string a = "snap-00000a", empty;
    volume.AddCreatedSnapshot(a);
    EXPECT_EQ("KSnapshot Constructor: Invalid input argument",
              ThrownText<std::invalid_argument>([&] { volume.AddCreatedSnapshot(empty); }));
    EXPECT_EQ("snap-00000a", LatestSnapshot(&volume));
    EXPECT_EQ(0, volume.IsSnapAvailable(a));
}

TEST_F(VolumeTest, DeleteSnapshotOfTheLatestRemovesItButKeepsTheLatestID) {
    auto array = MakeArray();
    KVolume* volume = FirstVolume(*array);
    ASSERT_NE(nullptr, volume);
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    volume->AddCreatedSnapshot(snap);
    Sim().ClearJournal();

    EXPECT_EQ(0, volume->DeleteSnapshot(snap));
    EXPECT_EQ(2, volume->IsSnapAvailable(snap));
    EXPECT_EQ(snap, LatestSnapshot(volume));
    EXPECT_FALSE(Sim().FindSnapshot(snap).has_value());
    EXPECT_EQ(std::vector<std::string>{"DELETE /api/snapshots/" + snap}, RequestLines());
}

TEST_F(VolumeTest, DeleteSnapshotOfAnUnknownIDLeavesTheListAsItWas) {
    auto array = MakeArray();
    KVolume* volume = FirstVolume(*array);
    ASSERT_NE(nullptr, volume);
    std::string kept = Sim().AddSnapshot("cg-1", "nightly").id;
    std::string other = Sim().AddSnapshot("cg-2", "weekly").id;
    volume->AddCreatedSnapshot(kept);

    EXPECT_EQ(0, volume->DeleteSnapshot(other));
    EXPECT_EQ(0, volume->IsSnapAvailable(kept));
    EXPECT_EQ(kept, LatestSnapshot(volume));
    EXPECT_FALSE(Sim().FindSnapshot(other).has_value());
}

TEST_F(VolumeTest, DeleteSnapshotWithDuplicateIDsRemovesOneEntryAtATime) {
    auto array = MakeArray();
    KVolume* volume = FirstVolume(*array);
    ASSERT_NE(nullptr, volume);
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    volume->AddCreatedSnapshot(snap);
    volume->AddCreatedSnapshot(snap);

    EXPECT_EQ(0, volume->DeleteSnapshot(snap));
    EXPECT_EQ(0, volume->IsSnapAvailable(snap)) << "the second entry stays";
    // The appliance has forgotten it already; a repeated deletion is refused
    // there and the remaining entry stays.
    EXPECT_THROW(volume->DeleteSnapshot(snap), KException);
    EXPECT_EQ(0, volume->IsSnapAvailable(snap));

    Sim().AddSnapshot("cg-1", "nightly again", snap);
    EXPECT_EQ(0, volume->DeleteSnapshot(snap));
    EXPECT_EQ(2, volume->IsSnapAvailable(snap));
}

TEST_F(VolumeTest, DeleteSnapshotWithoutResponseElementReturnsOneAndKeepsTheEntry) {
    auto array = MakeArray();
    KVolume* volume = FirstVolume(*array);
    ASSERT_NE(nullptr, volume);
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    volume->AddCreatedSnapshot(snap);
    Sim().AddFault(qsta::Fault::WithoutElement("DELETE", "/api/snapshots/*"));

    EXPECT_EQ(1, volume->DeleteSnapshot(snap));
    EXPECT_EQ(0, volume->IsSnapAvailable(snap));
}

TEST_F(VolumeTest, RefusedSnapshotDeletionReachesTheCallerUnchanged) {
    auto array = MakeArray();
    KVolume* volume = FirstVolume(*array);
    ASSERT_NE(nullptr, volume);
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    volume->AddCreatedSnapshot(snap);
    Sim().AddFault(qsta::Fault::Refuse("DELETE", "/api/snapshots/*", "4", std::string("Snapshot is busy")));

    try {
        volume->DeleteSnapshot(snap);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("Snapshot is busy", e.what());
    }
    EXPECT_EQ(0, volume->IsSnapAvailable(snap));
    EXPECT_TRUE(Sim().FindSnapshot(snap).has_value());
}

TEST_F(VolumeTest, DeleteSnapshotOnAVolumeOutsideAnyArrayIsRefused) {
    std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
    KVolume volume(id, name, disp, cg);
    std::string snap = "snap-00000a";
    volume.AddCreatedSnapshot(snap);
    EXPECT_EQ("KVolume::DeleteSnapshot - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { volume.DeleteSnapshot(snap); }));
    EXPECT_EQ(0, volume.IsSnapAvailable(snap));
}

// --- Snapshot sets ----------------------------------------------------------

TEST_F(VolumeTest, CreateSnapshotSetSnapshotsEveryVolumeInOneRequest) {
    auto array = MakeArray();
    std::string id1 = Sim().FindVolume("vol-1")->ieeeId, id3 = Sim().FindVolume("vol-3")->ieeeId;
    KVolume* v1 = nullptr;
    KVolume* v3 = nullptr;
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id1, v1));
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id3, v3));
    std::list<std::string*> volIDs, cgIDs;
    for (KVolume* v : {v1, v3}) {
        std::string* p = nullptr;
        v->GetVolumeID(p);
        volIDs.push_back(p);
        v->GetCgIDPtr(p);
        cgIDs.push_back(p);
    }
    std::list<std::string> created{"kept from before"};
    Sim().ClearJournal();

    ASSERT_EQ(0, KVolume::CreateSnapshotSet(array.get(), volIDs, cgIDs, &created));
    ASSERT_EQ(3u, created.size());
    EXPECT_EQ("kept from before", created.front());
    auto second = std::next(created.begin());
    EXPECT_EQ("cg-1", Sim().FindSnapshot(*second)->cgName);
    EXPECT_EQ("cg-3", Sim().FindSnapshot(*std::next(second))->cgName);
    EXPECT_EQ(std::vector<std::string>{"POST /api/snapshots/snapshots_set"}, RequestLines());

    // The provider then records each ID on its volume.
    v1->AddCreatedSnapshot(*second);
    EXPECT_EQ(*second, LatestSnapshot(v1));
}

TEST_F(VolumeTest, CreateSnapshotSetPassesTheMissingElementResultOn) {
    auto array = MakeArray();
    std::string id = "6001405abcdef001", cg = "cg-1";
    std::list<std::string*> volIDs{&id}, cgIDs{&cg};
    std::list<std::string> created;
    Sim().AddFault(qsta::Fault::WithoutElement("POST", "/api/snapshots/snapshots_set"));
    EXPECT_EQ(1, KVolume::CreateSnapshotSet(array.get(), volIDs, cgIDs, &created));
    EXPECT_TRUE(created.empty());
}

TEST_F(VolumeTest, CreateSnapshotSetWithoutArrayIsRefused) {
    std::string id = "6001405abcdef001", cg = "cg-1";
    std::list<std::string*> volIDs{&id}, cgIDs{&cg};
    std::list<std::string> created;
    EXPECT_EQ("KVolume::CreateSnapshotSet - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { KVolume::CreateSnapshotSet(nullptr, volIDs, cgIDs, &created); }));
    EXPECT_EQ(0u, Sim().JournalSize());
}

// --- Destruction ------------------------------------------------------------

TEST_F(VolumeTest, DestroyingAVolumeDestroysItsSnapshotsBetweenItsOwnLines) {
    {
        std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
        KVolume volume(id, name, disp, cg);
        for (std::string snap : {"snap-00000a", "snap-00000b", "snap-00000c"}) volume.AddCreatedSnapshot(snap);
        Logger::Write(KLOG_DEBUG, "test", "mark");
    }
    auto messages = LogMessages();
    auto mark = std::find(messages.begin(), messages.end(), "mark");
    ASSERT_NE(messages.end(), mark);
    std::vector<std::string> after(std::next(mark), messages.end());
    std::vector<std::string> expected{"Entering KVolume::~KVolume()"};
    for (int i = 0; i < 3; ++i) {
        expected.push_back("Entering KSnapshot::~KSnapshot()");
        expected.push_back("Exiting KSnapshot::~KSnapshot()");
    }
    expected.push_back("Exiting KVolume::~KVolume()");
    EXPECT_EQ(expected, after);
}

}  // namespace
}  // namespace korvel_test
