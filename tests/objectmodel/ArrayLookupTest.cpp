// Finding volumes and host entries: the cache first, the appliance on request.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "ObjectModelEnv.h"

using Korvel::KArray;
using Korvel::KConnection;
using Korvel::KException;
using Korvel::KVolume;

namespace korvel_test {
namespace {

class ArrayLookupTest : public ObjectModelTest {
protected:
    std::string IeeeID(const std::string& volumeName) { return Sim().FindVolume(volumeName)->ieeeId; }
};

// --- Construction -----------------------------------------------------------

TEST_F(ArrayLookupTest, ConstructorRejectsAnEmptyAddressOrKey) {
    std::string address = Address(), key = Key(), empty;
    EXPECT_EQ("KArray Constructor: Invalid input argument", ThrownText<std::invalid_argument>([&] { KArray a(empty, key); }));
    EXPECT_EQ("KArray Constructor: Invalid input argument", ThrownText<std::invalid_argument>([&] { KArray a(address, empty); }));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::KArray() for " + address));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::KArray() for "));
    EXPECT_EQ(0u, CountLog(3, "Exiting KArray::KArray()"));
}

TEST_F(ArrayLookupTest, AddressAndConnectionPointAtTheArraysOwnObjects) {
    auto array = MakeArray();
    std::string* first = nullptr;
    std::string* second = nullptr;
    EXPECT_EQ(0, array->GetIPAddress(first));
    EXPECT_EQ(0, array->GetIPAddress(second));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(Address(), *first);
    KConnection* c1 = nullptr;
    KConnection* c2 = nullptr;
    EXPECT_EQ(0, array->GetConnection(c1));
    EXPECT_EQ(0, array->GetConnection(c2));
    EXPECT_NE(nullptr, c1);
    EXPECT_EQ(c1, c2);
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::KArray()"));
    EXPECT_EQ(0u, Sim().JournalSize()) << "creating an array asks nothing of the appliance";
}

// --- Volume by ID -----------------------------------------------------------

TEST_F(ArrayLookupTest, PlainLookupOnAnEmptyCacheAsksNothing) {
    auto array = MakeArray();
    std::string id = IeeeID("vol-1"), name = "sqldata", snap = "snap-000001";
    KVolume* volume = nullptr;
    EXPECT_EQ(2, array->GetVolumeByID(id, volume));
    EXPECT_EQ(2, array->GetVolumeByDispName(name, volume));
    EXPECT_EQ(2, array->GetVolumeBySnapID(snap, volume));
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(0u, Sim().JournalSize());
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::GetVolumeByID() with input param volID: " + id));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeByID() with return code 2"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeByDispName() with return code 2"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeBySnapID() with return code 2"));
}

TEST_F(ArrayLookupTest, FromArrayLookupCachesTheVolumeForThePlainLookup) {
    auto array = MakeArray();
    std::string id = IeeeID("vol-2");
    KVolume* found = nullptr;
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id, found));
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(id, VolumeID(found));
    EXPECT_EQ("vol-2", Name(found));
    EXPECT_EQ("sqllog", DispName(found));
    EXPECT_EQ("cg-2", CgID(found));
    EXPECT_EQ(std::vector<std::string>{"GET /api/volumes"}, RequestLines());
    EXPECT_EQ(1u, CountLog(4, "Found volume matching volume ID " + id + " in the array"));
    EXPECT_EQ(1u, CountLog(4, "Added volume vol-2 to the internal volume list"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeByIDFromArray() with return code 0"));

    Sim().ClearJournal();
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeByID(id, cached));
    EXPECT_EQ(found, cached);
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(ArrayLookupTest, TwoFromArrayLookupsCacheTwoObjectsAndThePlainLookupGivesTheFirst) {
    auto array = MakeArray();
    std::string id = IeeeID("vol-1");
    KVolume* first = nullptr;
    KVolume* second = nullptr;
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id, first));
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id, second));
    EXPECT_NE(first, second);
    EXPECT_EQ(2u, CountRequests("GET", "/api/volumes"));
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeByID(id, cached));
    EXPECT_EQ(first, cached);
}

TEST_F(ArrayLookupTest, FromArrayLookupMatchesTheIDCaseSensitively) {
    auto array = MakeArray();
    qsta::VolumeSpec spec;
    spec.displayName = "hexcase";
    spec.ieeeId = "6001405abcdef0a1";
    Sim().AddVolume(spec);
    std::string upper = "6001405ABCDEF0A1";
    KVolume* volume = nullptr;
    EXPECT_EQ(2, array->GetVolumeByIDFromArray(upper, volume));
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(1u, CountLog(2, "No volume matching id 6001405ABCDEF0A1 found in array " + Address()));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeByIDFromArray() with return code 2"));
    EXPECT_EQ(2, array->GetVolumeByID(upper, volume)) << "nothing was cached";
}

TEST_F(ArrayLookupTest, FromArrayLookupOnAnApplianceWithoutVolumesFindsNothing) {
    auto array = MakeArray();
    Sim().Clear();
    std::string id = "6001405abcdef0a1";
    KVolume* volume = nullptr;
    EXPECT_EQ(2, array->GetVolumeByIDFromArray(id, volume));
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(1u, CountLog(2, "No volume matching id 6001405abcdef0a1 found in array " + Address()));
}

TEST_F(ArrayLookupTest, FromArrayLookupReportsNotFoundEvenWithAStaleOutputPointer) {
    auto array = MakeArray();
    std::string id = IeeeID("vol-1"), unknown = "00000000deadbeef";
    KVolume* volume = nullptr;
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id, volume));
    KVolume* stale = volume;
    EXPECT_EQ(2, array->GetVolumeByIDFromArray(unknown, volume));
    EXPECT_EQ(stale, volume) << "the output is written only on success";
}

TEST_F(ArrayLookupTest, LookupsRejectEmptyInputAfterTheirEnteringLine) {
    auto array = MakeArray();
    std::string empty;
    KVolume* volume = nullptr;
    EXPECT_EQ("KArray::GetVolumeByID - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeByID(empty, volume); }));
    EXPECT_EQ("KArray::GetVolumeByIDFromArray - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeByIDFromArray(empty, volume); }));
    EXPECT_EQ("KArray::GetVolumeByDispName - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeByDispName(empty, volume); }));
    EXPECT_EQ("KArray::GetVolumeByDispNameFromArray - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeByDispNameFromArray(empty, volume); }));
    EXPECT_EQ("KArray::GetVolumeBySnapID - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeBySnapID(empty, volume); }));
    EXPECT_EQ("KArray::GetVolumeBySnapIDFromArray - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeBySnapIDFromArray(empty, volume); }));
    EXPECT_EQ("KArray::GetServerIDByIQN - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetServerIDByIQN(empty, empty); }));
    EXPECT_EQ("KArray::GetServerIDByIQNFromArray - Invalid input parameter",
              ThrownText<std::invalid_argument>([&] { array->GetServerIDByIQNFromArray(empty, empty); }));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::GetVolumeByIDFromArray() with input param volID: "));
    EXPECT_EQ(1u, CountLog(3, "Entering KArray::GetServerIDByIQNFromArray()"));
    EXPECT_EQ(0u, CountLogContaining("with return code"));
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(ArrayLookupTest, ListingFailureReachesTheCallerUnchanged) {
    auto array = MakeArray();
    Sim().AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", 500));
    std::string id = IeeeID("vol-1");
    KVolume* volume = nullptr;
    try {
        array->GetVolumeByIDFromArray(id, volume);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("HTTP return code: 500. List volume failed", e.what());
    }
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(0u, CountLogContaining("Exiting KArray::GetVolumeByIDFromArray()"));
    EXPECT_EQ(2, array->GetVolumeByID(id, volume));
}

TEST_F(ArrayLookupTest, UnreachableApplianceReachesTheCallerAsKException) {
    auto array = MakeArray();
    Sim().Stop();
    std::string id = "6001405abcdef0a1";
    KVolume* volume = nullptr;
    EXPECT_THROW(array->GetVolumeByIDFromArray(id, volume), KException);
    EXPECT_EQ(nullptr, volume);
}

// --- Volume by display name -------------------------------------------------

TEST_F(ArrayLookupTest, DisplayNameLookupUsesTheProductIDUpToItsFirstHyphen) {
    auto array = MakeArray();
    qsta::VolumeSpec spec;
    spec.displayName = "exchange";
    spec.ieeeId = "6001405abcdef0b2";
    spec.productId = "6001405abcdef0b2-QSTA-Volume";
    Sim().AddVolume(spec);
    std::string disp = "exchange";
    KVolume* volume = nullptr;
    ASSERT_EQ(0, array->GetVolumeByDispNameFromArray(disp, volume));
    EXPECT_EQ("6001405abcdef0b2", VolumeID(volume));
    EXPECT_EQ("exchange", DispName(volume));
    EXPECT_EQ(0u, CountLogContaining("Found volume matching"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeByDispNameFromArray() with return code 0"));

    Sim().ClearJournal();
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeByDispName(disp, cached));
    EXPECT_EQ(volume, cached);
    std::string byID = "6001405abcdef0b2";
    EXPECT_EQ(0, array->GetVolumeByID(byID, cached));
    EXPECT_EQ(volume, cached);
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(ArrayLookupTest, DisplayNameLookupReportsAnUnknownName) {
    auto array = MakeArray();
    std::string disp = "SQLDATA";
    KVolume* volume = nullptr;
    EXPECT_EQ(2, array->GetVolumeByDispNameFromArray(disp, volume));
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(1u, CountLog(2, "No volume matching display name SQLDATA found in array " + Address()));
}

TEST_F(ArrayLookupTest, RecordWithAnEmptyRequiredFieldCachesNothing) {
    auto array = MakeArray();
    qsta::VolumeSpec spec;
    spec.displayName = "noproduct";
    spec.productId = "-QSTA-Volume";  // nothing before the first hyphen
    Sim().AddVolume(spec);
    std::string disp = "noproduct";
    KVolume* volume = nullptr;
    EXPECT_EQ("KVolume Constructor: Invalid input argument",
              ThrownText<std::invalid_argument>([&] { array->GetVolumeByDispNameFromArray(disp, volume); }));
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(2, array->GetVolumeByDispName(disp, volume));
}

// --- Volume by snapshot -----------------------------------------------------

TEST_F(ArrayLookupTest, SnapshotOnTheThirdVolumeAsksForThreeGroupsAndNoMore) {
    auto array = MakeArray();
    Sim().AddSnapshot("cg-1", "older");
    Sim().AddSnapshot("cg-1", "old");
    std::string wanted = Sim().AddSnapshot("cg-3", "wanted").id;
    Sim().AddVolume("after");  // a fourth volume that must not be asked about
    Sim().AddSnapshot(Sim().FindVolumeByDisplayName("after")->cgName, "later");
    Sim().ClearJournal();

    KVolume* volume = nullptr;
    ASSERT_EQ(0, array->GetVolumeBySnapIDFromArray(wanted, volume));
    ASSERT_NE(nullptr, volume);
    EXPECT_EQ("vol-3", Name(volume));
    EXPECT_EQ("fileshare", DispName(volume));
    EXPECT_EQ("cg-3", CgID(volume));
    EXPECT_EQ(IeeeID("vol-3"), VolumeID(volume));  // the product ID's part before its hyphen
    EXPECT_EQ(0, volume->IsSnapAvailable(wanted));
    EXPECT_EQ("", LatestSnapshot(volume));
    EXPECT_EQ((std::vector<std::string>{"GET /api/volumes", "GET /api/consistency_groups/cg-1/snapshots",
                                        "GET /api/consistency_groups/cg-2/snapshots",
                                        "GET /api/consistency_groups/cg-3/snapshots"}),
              RequestLines());
    EXPECT_EQ(1u, CountLog(4, "Added volume vol-3 to the internal volume list"));
    EXPECT_EQ(1u, CountLog(4, "Added snapshot " + wanted + " to the internal snapshot list"));

    Sim().ClearJournal();
    KVolume* cached = nullptr;
    EXPECT_EQ(0, array->GetVolumeBySnapID(wanted, cached));
    EXPECT_EQ(volume, cached);
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(ArrayLookupTest, SnapshotNotOnTheApplianceIsReportedAfterEveryGroup) {
    auto array = MakeArray();
    Sim().AddSnapshot("cg-2", "other");
    std::string unknown = "snap-999999";
    KVolume* volume = nullptr;
    EXPECT_EQ(2, array->GetVolumeBySnapIDFromArray(unknown, volume));
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ((std::vector<std::string>{"GET /api/volumes", "GET /api/consistency_groups/cg-1/snapshots",
                                        "GET /api/consistency_groups/cg-2/snapshots",
                                        "GET /api/consistency_groups/cg-3/snapshots"}),
              RequestLines());
    EXPECT_EQ(1u, CountLog(2, "No volume having a snapshot with id snap-999999 found in array " + Address()));
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetVolumeBySnapIDFromArray() with return code 2"));
}

TEST_F(ArrayLookupTest, SnapshotListingFailureEndsTheWholeLookup) {
    auto array = MakeArray();
    std::string wanted = Sim().AddSnapshot("cg-3", "wanted").id;
    Sim().AddFault(qsta::Fault::WithStatus("GET", "/api/consistency_groups/cg-2/snapshots", 500));
    KVolume* volume = nullptr;
    try {
        array->GetVolumeBySnapIDFromArray(wanted, volume);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("HTTP return code: 500. List snapshot failed", e.what());
    }
    EXPECT_EQ(nullptr, volume);
    EXPECT_EQ(0u, CountRequests("GET", "/api/consistency_groups/cg-3/snapshots"));
}

// --- Host entries -----------------------------------------------------------

TEST_F(ArrayLookupTest, KnownHostEntryIsFoundOnTheApplianceAndCached) {
    auto array = MakeArray();
    std::string iqn = "iqn.2026-01.local.example:backup01", serverID;
    EXPECT_EQ(2, array->GetServerIDByIQN(iqn, serverID));
    EXPECT_EQ("", serverID);
    EXPECT_EQ(0u, Sim().JournalSize());

    EXPECT_EQ(0, array->GetServerIDByIQNFromArray(iqn, serverID));
    EXPECT_EQ("host-1", serverID);
    EXPECT_EQ(std::vector<std::string>{"GET /api/servers"}, RequestLines());
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetServerIDByIQNFromArray() with return code : 0"));

    Sim().ClearJournal();
    std::string cached;
    EXPECT_EQ(0, array->GetServerIDByIQN(iqn, cached));
    EXPECT_EQ("host-1", cached);
    EXPECT_EQ(0u, Sim().JournalSize());
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetServerIDByIQN() with return code : 0"));
}

TEST_F(ArrayLookupTest, UnknownInitiatorGetsAHostEntryNamedAfterItsIQN) {
    auto array = MakeArray();
    Sim().AddHost("iqn.2026-01.local.example:mail01", "192.0.2.20");
    std::string iqn = "iqn.2026-01.local.example:db02", serverID;

    ASSERT_EQ(0, array->GetServerIDByIQNFromArray(iqn, serverID));
    auto host = Sim().FindHostByIqn(iqn);
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->name, serverID);
    EXPECT_EQ(iqn, host->displayName);
    EXPECT_EQ("192.0.2.20", host->iscsiIp) << "the iSCSI IP of the last host entry listed";
    EXPECT_EQ((std::vector<std::string>{"GET /api/servers", "POST /api/servers"}), RequestLines());
    EXPECT_EQ(1u, CountLog(2, "Successfully created server(" + serverID + ") in the array"));

    Sim().ClearJournal();
    std::string cached;
    EXPECT_EQ(0, array->GetServerIDByIQN(iqn, cached));
    EXPECT_EQ(serverID, cached);
    EXPECT_EQ(0u, Sim().JournalSize());
}

TEST_F(ArrayLookupTest, ApplianceWithoutHostEntriesCannotCreateOne) {
    auto array = MakeArray();
    Sim().Clear();
    std::string iqn = "iqn.2026-01.local.example:db02", serverID = "untouched";
    EXPECT_EQ("KConnection::CreateServer - Invalid input argument",
              ThrownText<std::invalid_argument>([&] { array->GetServerIDByIQNFromArray(iqn, serverID); }));
    EXPECT_EQ("untouched", serverID);
    EXPECT_EQ(std::vector<std::string>{"GET /api/servers"}, RequestLines());
    EXPECT_TRUE(Sim().Hosts().empty());
    std::string cached;
    EXPECT_EQ(2, array->GetServerIDByIQN(iqn, cached));
}

TEST_F(ArrayLookupTest, RefusedHostCreationIsPassedOnAndNothingCached) {
    auto array = MakeArray();
    Sim().AddFault(qsta::Fault::WithoutElement("POST", "/api/servers"));
    std::string iqn = "iqn.2026-01.local.example:db02", serverID = "untouched";
    EXPECT_EQ(1, array->GetServerIDByIQNFromArray(iqn, serverID));
    EXPECT_EQ("untouched", serverID);
    EXPECT_EQ(1u, CountLog(3, "Exiting KArray::GetServerIDByIQNFromArray() with return code : 1"));
    EXPECT_EQ(0u, CountLogContaining("Successfully created server"));
    std::string cached;
    EXPECT_EQ(2, array->GetServerIDByIQN(iqn, cached));
}

TEST_F(ArrayLookupTest, CachedHostLookupComparesTheIQNExactly) {
    auto array = MakeArray();
    std::string iqn = "iqn.2026-01.local.example:backup01", serverID;
    ASSERT_EQ(0, array->GetServerIDByIQNFromArray(iqn, serverID));
    std::string upper = "IQN.2026-01.LOCAL.EXAMPLE:BACKUP01", out = "untouched";
    EXPECT_EQ(2, array->GetServerIDByIQN(upper, out));
    EXPECT_EQ("untouched", out);
}

}  // namespace
}  // namespace korvel_test
