// Changing the appliance through an array: clones, mappings, deletion,
// rollback, and what the array's cache keeps of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "KServer.h"
#include "Logger.h"
#include "ObjectModelEnv.h"

using Korvel::KArray;
using Korvel::KException;
using Korvel::KServer;
using Korvel::KVolume;

namespace korvel_test {
namespace {

class ArrayCommandTest : public ObjectModelTest {
protected:
    KVolume* Cached(KArray& array, const std::string& volumeName) {
        std::string id = Sim().FindVolume(volumeName)->ieeeId;
        KVolume* volume = nullptr;
        EXPECT_EQ(0, array.GetVolumeByIDFromArray(id, volume));
        return volume;
    }
};

// --- Clones -----------------------------------------------------------------

TEST_F(ArrayCommandTest, CloneIsNamedAfterTheSnapshotAndCached) {
    auto array = MakeArray();
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    std::string cg = "cg-1";
    Sim().ClearJournal();

    KVolume* clone = nullptr;
    ASSERT_EQ(0, array->CloneVolume(cg, snap, clone));
    ASSERT_NE(nullptr, clone);
    std::string cloneName = DispName(clone);
    // snapshot ID, "_", a number from 1 to 1000000, ".clone"
    const std::string prefix = snap + "_", suffix = ".clone";
    ASSERT_GT(cloneName.size(), prefix.size() + suffix.size()) << cloneName;
    ASSERT_EQ(prefix, cloneName.substr(0, prefix.size())) << cloneName;
    ASSERT_EQ(suffix, cloneName.substr(cloneName.size() - suffix.size())) << cloneName;
    const std::string digits = cloneName.substr(prefix.size(), cloneName.size() - prefix.size() - suffix.size());
    ASSERT_EQ(std::string::npos, digits.find_first_not_of("0123456789")) << cloneName;
    ASSERT_LE(digits.size(), 7u) << cloneName;
    ASSERT_NE('0', digits[0]) << cloneName;
    const long number = std::stol(digits);
    EXPECT_GE(number, 1);
    EXPECT_LE(number, 1000000);

    auto onAppliance = Sim().FindVolumeByDisplayName(cloneName);
    ASSERT_TRUE(onAppliance.has_value());
    EXPECT_EQ(onAppliance->ieeeId, VolumeID(clone));
    EXPECT_EQ(onAppliance->name, Name(clone));
    EXPECT_EQ(onAppliance->cgName, CgID(clone));
    EXPECT_EQ(snap, onAppliance->sourceSnapshot);
    EXPECT_EQ((std::vector<std::string>{"POST /api/consistency_groups/cg-1/clone", "GET /api/volumes"}),
              RequestLines());

    const auto lines = LogLines();
    const std::string created =
        "Volume clone(" + onAppliance->ieeeId + " - " + onAppliance->name + ") created for snapshot(" + snap + ")";
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
                  return l.level == "INFO" && l.component == "Korvel.VssProvider" && l.message == created;
              }));
    EXPECT_EQ(1u, CountLog(4, "Added clone volume " + onAppliance->name + " to the internal volume list"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::CloneVolume() with return code : 0"));

    Sim().ClearJournal();
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeByDispName(cloneName, cached));
    EXPECT_EQ(clone, cached);
    std::string cloneID = VolumeID(clone);
    EXPECT_EQ(0, array->GetVolumeByID(cloneID, cached));
    EXPECT_EQ(clone, cached);
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(ArrayCommandTest, TwoClonesOfOneSnapshotAskForDifferentNames) {
    auto array = MakeArray();
    std::string snap = Sim().AddSnapshot("cg-2", "nightly").id;
    std::string cg = "cg-2";
    KVolume* first = nullptr;
    KVolume* second = nullptr;
    ASSERT_EQ(0, array->CloneVolume(cg, snap, first));
    ASSERT_EQ(0, array->CloneVolume(cg, snap, second));
    EXPECT_NE(DispName(first), DispName(second));
    EXPECT_NE(Name(first), Name(second));
}

TEST_F(ArrayCommandTest, CloneThatCannotBeFoundAfterwardsIsNotCached) {
    auto array = MakeArray();
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    std::string cg = "cg-1";
    // The listing that should show the new clone comes back empty.
    Sim().AddFault(qsta::Fault::Custom("GET", "/api/volumes", 200, "<volumes></volumes>"));
    KVolume* clone = nullptr;
    EXPECT_EQ(2, array->CloneVolume(cg, snap, clone));
    EXPECT_EQ(nullptr, clone);
    EXPECT_EQ(4u, Sim().VolumeCount()) << "the clone exists on the appliance";
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::CloneVolume() with return code : 2"));
    EXPECT_EQ(0u, CountLogContaining("created for snapshot"));
    std::string cloneName = Sim().Volumes().back().displayName;
    KVolume* cached = nullptr;
    EXPECT_EQ(2, array->GetVolumeByDispName(cloneName, cached));
}

TEST_F(ArrayCommandTest, RefusedCloneReachesTheCallerUnchanged) {
    auto array = MakeArray();
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    std::string cg = "cg-1";
    Sim().AddFault(qsta::Fault::Refuse("POST", "/api/consistency_groups/cg-1/clone", "7", std::string("No space")));
    KVolume* clone = nullptr;
    try {
        array->CloneVolume(cg, snap, clone);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("No space", e.what());
    }
    EXPECT_EQ(nullptr, clone);
    EXPECT_EQ(0u, CountLogContaining("Exiting KArray::CloneVolume()"));
}

TEST_F(ArrayCommandTest, CloneWithoutResponseElementReturnsOne) {
    auto array = MakeArray();
    std::string snap = Sim().AddSnapshot("cg-1", "nightly").id;
    std::string cg = "cg-1";
    Sim().AddFault(qsta::Fault::WithoutElement("POST", "/api/consistency_groups/cg-1/clone"));
    KVolume* clone = nullptr;
    EXPECT_EQ(1, array->CloneVolume(cg, snap, clone));
    EXPECT_EQ(nullptr, clone);
    EXPECT_EQ(0u, CountRequests("GET", "/api/volumes"));
}

TEST_F(ArrayCommandTest, CloneRequiresGroupAndSnapshot) {
    auto array = MakeArray();
    std::string cg = "cg-1", snap = "snap-000001", empty;
    KVolume* clone = nullptr;
    EXPECT_EQ("KArray::CloneVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->CloneVolume(empty, snap, clone); }));
    EXPECT_EQ("KArray::CloneVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->CloneVolume(cg, empty, clone); }));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::CloneVolume() with input param cgID:  snapID: snap-000001"));
    EXPECT_EQ(0u, Sim().JournalSize());
}

// --- Mapping ----------------------------------------------------------------

TEST_F(ArrayCommandTest, AttachAndDetachMapAndUnmapTheVolume) {
    auto array = MakeArray();
    std::string vol = "vol-2", server = "host-1";
    EXPECT_EQ(0, array->AttachVolume(vol, server));
    EXPECT_TRUE(Sim().IsMapped("vol-2", "host-1"));
    EXPECT_EQ(1u, CountLog(2, "Volume vol-2 successfully mapped to server ID: host-1"));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::AttachVolume() with input param volName: vol-2 serverID: host-1"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::AttachVolume() with return code : 0"));

    EXPECT_EQ(0, array->DetachVolume(vol, server));
    EXPECT_FALSE(Sim().IsMapped("vol-2", "host-1"));
    EXPECT_EQ(1u, CountLog(2, "Volume vol-2 successfully detached from server ID: host-1"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::DetachVolume() with return code : 0"));
    EXPECT_EQ((std::vector<std::string>{"POST /api/servers/host-1/volumes", "POST /api/volumes/vol-2/detach"}),
              RequestLines());
}

TEST_F(ArrayCommandTest, AttachWithoutResponseElementReturnsOneWithoutTheSuccessLine) {
    auto array = MakeArray();
    Sim().AddFault(qsta::Fault::WithoutElement("POST", "/api/servers/host-1/volumes"));
    std::string vol = "vol-2", server = "host-1";
    EXPECT_EQ(1, array->AttachVolume(vol, server));
    EXPECT_EQ(0u, CountLogContaining("successfully mapped"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::AttachVolume() with return code : 1"));
}

TEST_F(ArrayCommandTest, AttachAndDetachRequireBothNames) {
    auto array = MakeArray();
    std::string vol = "vol-2", server = "host-1", empty;
    EXPECT_EQ("KArray::AttachVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->AttachVolume(vol, empty); }));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::AttachVolume() with input param volName: vol-2 serverID: "));
    EXPECT_EQ("KArray::AttachVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->AttachVolume(empty, server); }));
    EXPECT_EQ("KArray::DetachVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->DetachVolume(vol, empty); }));
    EXPECT_EQ("KArray::DetachVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->DetachVolume(empty, server); }));
    EXPECT_EQ(0u, CountLogContaining("with return code"));
    EXPECT_EQ(0u, Sim().JournalSize());
}

// --- Deletion ---------------------------------------------------------------

TEST_F(ArrayCommandTest, DeletedVolumeLeavesTheCacheAndIsAskedForAgain) {
    auto array = MakeArray();
    KVolume* volume = Cached(*array, "vol-3");
    ASSERT_NE(nullptr, volume);
    std::string id = VolumeID(volume), name = "vol-3";
    std::string snap = "snap-00000a";
    volume->AddCreatedSnapshot(snap);
    Logger::Write(KLOG_DEBUG, "test", "mark");

    EXPECT_EQ(0, array->DeleteVolume(name));
    EXPECT_FALSE(Sim().FindVolume("vol-3").has_value());
    EXPECT_EQ(1u, CountLog(2, "Volume vol-3 successfully deleted in the array"));
    auto messages = LogMessages();
    auto mark = std::find(messages.begin(), messages.end(), "mark");
    std::vector<std::string> after(mark, messages.end());
    auto at = [&](const std::string& text) { return std::find(after.begin(), after.end(), text) - after.begin(); };
    // The volume and its snapshots are destroyed before the operation ends.
    EXPECT_LT(at("Volume vol-3 successfully deleted in the array"), at("Entering KVolume::~KVolume()"));
    EXPECT_LT(at("Entering KSnapshot::~KSnapshot()"), at("Exiting KVolume::~KVolume()"));
    EXPECT_LT(at("Exiting KVolume::~KVolume()"), at("Exiting KArray::DeleteVolume() with return code : 0"));

    KVolume* cached = nullptr;
    EXPECT_EQ(2, array->GetVolumeByID(id, cached));
    Sim().ClearJournal();
    EXPECT_EQ(2, array->GetVolumeByIDFromArray(id, cached));
    EXPECT_EQ(std::vector<std::string>{"GET /api/volumes"}, RequestLines());
}

TEST_F(ArrayCommandTest, DeletionRemovesOnlyTheFirstCachedVolumeOfThatName) {
    auto array = MakeArray();
    KVolume* first = Cached(*array, "vol-1");
    KVolume* second = Cached(*array, "vol-1");
    ASSERT_NE(first, second);
    std::string id = VolumeID(first), name = "vol-1";
    ASSERT_EQ(0, array->DeleteVolume(name));
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeByID(id, cached));
    EXPECT_EQ(second, cached);
}

TEST_F(ArrayCommandTest, DeletionTheApplianceRefusesLeavesTheCache) {
    auto array = MakeArray();
    KVolume* volume = Cached(*array, "vol-1");
    std::string id = VolumeID(volume), name = "vol-1";
    Sim().AddFault(qsta::Fault::WithoutElement("DELETE", "/api/volumes/vol-1"));
    EXPECT_EQ(1, array->DeleteVolume(name));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::DeleteVolume() with return code : 1"));
    EXPECT_EQ(0u, CountLogContaining("successfully deleted"));

    Sim().AddFault(qsta::Fault::Refuse("DELETE", "/api/volumes/vol-1", "3", std::string("Volume is mapped")));
    try {
        array->DeleteVolume(name);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("Volume is mapped", e.what());
    }
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeByID(id, cached));
    EXPECT_EQ(volume, cached);
    EXPECT_EQ("vol-1", Name(cached));
    EXPECT_TRUE(Sim().FindVolume("vol-1").has_value());
}

TEST_F(ArrayCommandTest, DeletionOfAnUncachedVolumeStillAsksTheAppliance) {
    auto array = MakeArray();
    std::string name = "vol-2";
    EXPECT_EQ(0, array->DeleteVolume(name));
    EXPECT_FALSE(Sim().FindVolume("vol-2").has_value());
    std::string empty;
    EXPECT_EQ("KArray::DeleteVolume - Invalid input parameter", ThrownText<std::invalid_argument>([&] { array->DeleteVolume(empty); }));
}

// --- Rollback ---------------------------------------------------------------

TEST_F(ArrayCommandTest, ResyncRollsTheVolumesGroupBack) {
    auto array = MakeArray();
    KVolume* volume = Cached(*array, "vol-2");
    std::string snap = Sim().AddSnapshot("cg-2", "before upgrade").id;
    Sim().ClearJournal();
    EXPECT_EQ(0, array->ResyncVolume(snap, volume));
    EXPECT_EQ(snap, Sim().FindGroup("cg-2")->rolledBackTo);
    EXPECT_EQ(std::vector<std::string>{"POST /api/consistency_groups/cg-2/rollback"}, RequestLines());
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::ResyncVolume()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::ResyncVolume() with return code : 0"));
    KVolume* cached = nullptr;
    std::string id = VolumeID(volume);
    EXPECT_EQ(0, array->GetVolumeByID(id, cached));
    EXPECT_EQ(volume, cached);
}

TEST_F(ArrayCommandTest, ResyncRequiresASnapshotAndAVolume) {
    auto array = MakeArray();
    KVolume* volume = Cached(*array, "vol-2");
    KVolume* none = nullptr;
    std::string snap = "snap-000001", empty;
    Sim().ClearJournal();
    EXPECT_EQ("KArray::ResyncVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->ResyncVolume(empty, volume); }));
    EXPECT_EQ("KArray::ResyncVolume - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->ResyncVolume(snap, none); }));
    EXPECT_EQ(0u, Sim().JournalSize());
}

// --- Ownership --------------------------------------------------------------

TEST_F(ArrayCommandTest, DestroyingAnArrayReleasesConnectionThenServersThenVolumes) {
    {
        auto array = MakeArray();
        Cached(*array, "vol-1");
        Cached(*array, "vol-2");
        std::string iqn = "iqn.2026-01.local.example:backup01", serverID;
        ASSERT_EQ(0, array->GetServerIDByIQNFromArray(iqn, serverID));
        Logger::Write(KLOG_DEBUG, "test", "mark");
    }
    auto messages = LogMessages();
    auto mark = std::find(messages.begin(), messages.end(), "mark");
    ASSERT_NE(messages.end(), mark);
    std::vector<std::string> after(std::next(mark), messages.end());
    std::vector<std::string> expected{"Entering KArray::~KArray() for " + Address(),
                                      "Entering KConnection::~KConnection()",
                                      "Exiting KConnection::~KConnection()",
                                      "Entering KServer::~KServer()",
                                      "Exiting KServer::~KServer()",
                                      "Entering KVolume::~KVolume()",
                                      "Exiting KVolume::~KVolume()",
                                      "Entering KVolume::~KVolume()",
                                      "Exiting KVolume::~KVolume()",
                                      "Exiting KArray::~KArray()"};
    EXPECT_EQ(expected, after);
}

TEST_F(ArrayCommandTest, ArrayTakesOwnershipOfAddedVolumesAndServers) {
    {
        auto array = MakeArray();
        std::string id = "6001405abcdef001", name = "vol-7", disp = "sqldata", cg = "cg-7";
        auto* volume = new KVolume(id, name, disp, cg);
        volume->SetArray(array.get());
        EXPECT_EQ(0, array->AddVolumeToList(volume));
        std::string serverID = "host-9", iqn = "iqn.2026-01.local.example:db02", ip;
        EXPECT_EQ(0, array->AddServerToList(new KServer(serverID, iqn, ip)));

        KVolume* cached = nullptr;
        EXPECT_EQ(0, array->GetVolumeByID(id, cached));
        EXPECT_EQ(volume, cached);
        std::string found;
        EXPECT_EQ(0, array->GetServerIDByIQN(iqn, found));
        EXPECT_EQ("host-9", found);
    }
    // Destroyed with the array (the sanitizer build reports a leak otherwise).
    EXPECT_EQ(1u, CountLog(3, "Exiting KVolume::~KVolume()"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KServer::~KServer()"));
}

TEST_F(ArrayCommandTest, DuplicateCachedHostEntriesGiveTheLastOnesID) {
    auto array = MakeArray();
    std::string iqn = "iqn.2026-01.local.example:db02", ip;
    std::string a = "host-a", b = "host-b";
    array->AddServerToList(new KServer(a, iqn, ip));
    array->AddServerToList(new KServer(b, iqn, ip));
    std::string found;
    EXPECT_EQ(0, array->GetServerIDByIQN(iqn, found));
    EXPECT_EQ("host-b", found);
}

}  // namespace
}  // namespace korvel_test
