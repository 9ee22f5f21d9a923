// The appliance operations: what each sends, what it returns, what it logs,
// and how it fails.
#include <functional>
#include <list>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "KRandom.h"
#include "SimulatorFixture.h"

using Korvel::KConnection;
using Korvel::KException;
using Korvel::SnapshotInfo;
using Korvel::VolumeInfo;
using korvel_test::SimulatorTest;

using korvel_test::ThrownText;

namespace {

class OperationTest : public SimulatorTest {
protected:
    // The numbers R of the snapshot names "snap_R_<volID>" in a snapshot-set body, in order.
    static std::vector<std::string> SnapshotNumbers(const std::string& body) {
        std::vector<std::string> numbers;
        const std::string marker = "_name=snap_";
        for (size_t at = body.find(marker); at != std::string::npos; at = body.find(marker, at + 1)) {
            const size_t start = at + marker.size();
            const size_t end = body.find('_', start);
            numbers.push_back(body.substr(start, end == std::string::npos ? std::string::npos : end - start));
        }
        return numbers;
    }
};

// ---------------------------------------------------------------------------
// Listings

TEST_F(OperationTest, GetVolumesListReadsEveryVolume) {
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(0, m_conn->GetVolumesList(&volumes));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("GET", request.method);
    EXPECT_EQ("/api/volumes", request.target);
    EXPECT_EQ("", request.body);
    const auto expected = m_sim.Volumes();
    ASSERT_EQ(expected.size(), volumes.size());
    auto it = volumes.begin();
    for (const qsta::Volume& v : expected) {
        EXPECT_EQ(v.name, it->volName);
        EXPECT_EQ(v.displayName, it->volDispName);
        EXPECT_EQ(v.ieeeId, it->volID);
        EXPECT_EQ(v.cgName, it->cgName);
        EXPECT_EQ(v.productId.substr(0, v.productId.find('-')), it->productID);
        ++it;
    }
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::GetVolumesList"));
    EXPECT_EQ(1u, CountLog(4, "Successfully obtained volume list"));
    EXPECT_EQ(0u, CountLog(4, "URL: /api/volumes"));  // this fixed path is not logged
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::GetVolumesList with return code 0"));
}

TEST_F(OperationTest, GetVolumesListOnAnEmptyApplianceGivesTwoAndKeepsTheList) {
    m_sim.Clear();
    std::list<VolumeInfo> volumes(2);
    EXPECT_EQ(2, m_conn->GetVolumesList(&volumes));
    EXPECT_EQ(2u, volumes.size());
    EXPECT_EQ(0u, CountLog(4, "Successfully obtained volume list"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::GetVolumesList with return code 2"));
}

TEST_F(OperationTest, GetVolumesListWithoutAListSendsNothing) {
    EXPECT_EQ("KConnection::GetVolumesList - Invalid input argument",
              ThrownText<std::invalid_argument>([&] { m_conn->GetVolumesList(nullptr); }));
    EXPECT_EQ(0u, m_sim.JournalSize());
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::GetVolumesList"));
    EXPECT_EQ(1u, CountLog(0, "KConnection::GetVolumesList - Invalid input argument"));
}

TEST_F(OperationTest, GetVolumesListFailureTextCarriesTheStatus) {
    m_sim.AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", 503));
    std::list<VolumeInfo> volumes;
    EXPECT_EQ("HTTP return code: 503. List volume failed",
              ThrownText<KException>([&] { m_conn->GetVolumesList(&volumes); }));
    EXPECT_EQ(1u, CountLog(0, "HTTP return code: 503. List volume failed"));
}

TEST_F(OperationTest, GetSnapshotsListReadsTheGroupsSnapshots) {
    m_sim.AddSnapshot("cg-1", "snap_11_x", "snap-000101");
    m_sim.AddSnapshot("cg-1", "snap_12_x", "snap-000102");
    std::list<SnapshotInfo> snapshots;
    EXPECT_EQ(0, m_conn->GetSnapshotsList("cg-1", &snapshots));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("GET", request.method);
    EXPECT_EQ("/api/consistency_groups/cg-1/snapshots", request.target);
    ASSERT_EQ(2u, snapshots.size());
    EXPECT_EQ("snap-000101", snapshots.front().snapID);
    EXPECT_EQ("snap_11_x", snapshots.front().snapDispName);
    EXPECT_EQ("snap-000102", snapshots.back().snapID);
    EXPECT_EQ(1u, CountLog(4, "URL: /api/consistency_groups/cg-1/snapshots"));
    EXPECT_EQ(1u, CountLog(4, "Successfully obtained snapshot list"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::GetSnapshotsList with return code 0"));
}

TEST_F(OperationTest, GetSnapshotsListOfAGroupWithoutSnapshotsGivesTwo) {
    std::list<SnapshotInfo> snapshots;
    EXPECT_EQ(2, m_conn->GetSnapshotsList("cg-2", &snapshots));
    EXPECT_TRUE(snapshots.empty());
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::GetSnapshotsList with return code 2"));
}

TEST_F(OperationTest, GetSnapshotsListRefusesEmptyInputs) {
    std::list<SnapshotInfo> snapshots;
    EXPECT_EQ("KConnection::GetSnapshotsList - Invalid input argument",
              ThrownText<std::invalid_argument>([&] { m_conn->GetSnapshotsList("", &snapshots); }));
    EXPECT_EQ("KConnection::GetSnapshotsList - Invalid input argument",
              ThrownText<std::invalid_argument>([&] { m_conn->GetSnapshotsList("cg-1", nullptr); }));
    EXPECT_EQ(0u, m_sim.JournalSize());
    EXPECT_EQ(2u, CountLog(0, "KConnection::GetSnapshotsList - Invalid input argument"));
}

TEST_F(OperationTest, GetSnapshotsListOfAnUnknownGroupFails) {
    std::list<SnapshotInfo> snapshots;
    EXPECT_EQ("HTTP return code: 404. List snapshot failed",
              ThrownText<KException>([&] { m_conn->GetSnapshotsList("cg-404", &snapshots); }));
}

TEST_F(OperationTest, ListVolumesLeavesTheRawBodyInTheCallersStream) {
    std::ostringstream raw;
    EXPECT_EQ(0, m_conn->ListVolumes(raw));
    EXPECT_NE(std::string::npos, raw.str().find("<display-name>sqldata</display-name>"));
    EXPECT_EQ("/api/volumes", OnlyRequest().target);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ListVolumes"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ListVolumes with return code 0"));
    EXPECT_EQ(0u, CountLogContaining("ParseVolume"));
}

TEST_F(OperationTest, ListServersLeavesTheRawBodyInTheCallersStream) {
    std::ostringstream raw;
    EXPECT_EQ(0, m_conn->ListServers(raw));
    EXPECT_NE(std::string::npos, raw.str().find("<iqn>iqn.2026-01.local.example:backup01</iqn>"));
    EXPECT_EQ("/api/servers", OnlyRequest().target);
    EXPECT_EQ("GET", OnlyRequest().method);
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ListServers with return code 0"));
}

TEST_F(OperationTest, RawListingsThrowTheirFixedTexts) {
    m_sim.AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", 500));
    m_sim.AddFault(qsta::Fault::WithStatus("GET", "/api/servers", 500));
    std::ostringstream raw;
    EXPECT_EQ("List volume failed", ThrownText<KException>([&] { m_conn->ListVolumes(raw); }));
    EXPECT_EQ("List servers failed", ThrownText<KException>([&] { m_conn->ListServers(raw); }));
    EXPECT_EQ(1u, CountLog(0, "List volume failed"));
    EXPECT_EQ(1u, CountLog(0, "List servers failed"));
}

// ---------------------------------------------------------------------------
// Lookups

TEST_F(OperationTest, GetVolumeInfoByDispNameFillsTheOutputs) {
    std::string volID, volName, cgName;
    EXPECT_EQ(0, m_conn->GetVolumeInfoByDispName("sqllog", volID, volName, cgName));
    const auto expected = m_sim.FindVolumeByDisplayName("sqllog");
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(expected->ieeeId, volID);
    EXPECT_EQ("vol-2", volName);
    EXPECT_EQ("cg-2", cgName);
    EXPECT_EQ("/api/volumes", OnlyRequest().target);
    const auto messages = TestMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ("Entering KConnection::GetVolumeInfoByDispName for volume sqllog", messages[0]);
    EXPECT_EQ("Entering KConnection::ListVolumes", messages[1]);
    EXPECT_EQ("Exiting KConnection::GetVolumeInfoByDispName with return code 0", messages.back());
}

TEST_F(OperationTest, GetVolumeInfoByDispNameOfAnUnknownNameGivesTwo) {
    std::string volID = "a", volName = "b", cgName = "c";
    EXPECT_EQ(2, m_conn->GetVolumeInfoByDispName("nosuchvolume", volID, volName, cgName));
    EXPECT_EQ("a", volID);
    EXPECT_EQ("b", volName);
    EXPECT_EQ("c", cgName);
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::GetVolumeInfoByDispName with return code 2"));
}

TEST_F(OperationTest, GetVolumeInfoByDispNameLogsAListingFailureTwice) {
    m_sim.AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", 500));
    std::string volID, volName, cgName;
    EXPECT_EQ("List volume failed", ThrownText<KException>([&] {
                  m_conn->GetVolumeInfoByDispName("sqldata", volID, volName, cgName);
              }));
    EXPECT_EQ(2u, CountLog(0, "List volume failed"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::GetVolumeInfoByDispName"));
}

TEST_F(OperationTest, GetServerInfoByIQNFindsTheHost) {
    std::string serverID, iscsiIP;
    EXPECT_EQ(0, m_conn->GetServerInfoByIQN("iqn.2026-01.local.example:backup01", serverID, iscsiIP));
    EXPECT_EQ("host-1", serverID);
    EXPECT_EQ("192.0.2.10", iscsiIP);
    EXPECT_EQ("/api/servers", OnlyRequest().target);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::GetServerInfoByIQN for host iqn "
                              "iqn.2026-01.local.example:backup01"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::GetServerInfoByIQN with return code 0"));
}

TEST_F(OperationTest, GetServerInfoByIQNWithoutMatchGivesTheLastHostsAddress) {
    m_sim.AddHost("iqn.2026-01.local.example:other", "192.0.2.99");
    std::string serverID, iscsiIP;
    EXPECT_EQ(2, m_conn->GetServerInfoByIQN("iqn.2026-01.local.example:absent", serverID, iscsiIP));
    EXPECT_EQ("", serverID);
    EXPECT_EQ("192.0.2.99", iscsiIP);
}

TEST_F(OperationTest, GetServerInfoByIQNLogsAListingFailureTwice) {
    m_sim.AddFault(qsta::Fault::Malformed("GET", "/api/servers"));
    std::string serverID, iscsiIP;
    EXPECT_EQ("Failed to open the xml document", ThrownText<KException>([&] {
                  m_conn->GetServerInfoByIQN("iqn.2026-01.local.example:backup01", serverID, iscsiIP);
              }));
    // The parser and the lookup; the raw listing itself succeeded.
    EXPECT_EQ(2u, CountLog(0, "Failed to open the xml document"));
}

// ---------------------------------------------------------------------------
// Snapshot sets

TEST_F(OperationTest, CreateSnapshotSetSendsOneEntryPerVolumeAndReturnsTheNewIDs) {
    const auto v1 = *m_sim.FindVolume("vol-1");
    const auto v2 = *m_sim.FindVolume("vol-2");
    std::string id1 = v1.ieeeId, id2 = v2.ieeeId, cg1 = v1.cgName, cg2 = v2.cgName;
    std::list<std::string> created = {"earlier"};
    EXPECT_EQ(0, m_conn->CreateSnapshotSet({&id1, &id2}, {&cg1, &cg2}, &created));

    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/api/snapshots/snapshots_set", request.target);
    EXPECT_EQ("application/x-www-form-urlencoded", request.Header("Content-Type"));
    EXPECT_EQ(Key(), request.Header("X-Access-Key"));
    const auto numbers = SnapshotNumbers(request.body);
    ASSERT_EQ(2u, numbers.size()) << request.body;
    EXPECT_EQ("snapshots_set_1_name=snap_" + numbers[0] + "_" + id1 + "&snapshots_set_1_cg=" + cg1 +
                  "&snapshots_set_2_name=snap_" + numbers[1] + "_" + id2 + "&snapshots_set_2_cg=" + cg2,
              request.body);
    for (const std::string& number : numbers) {
        ASSERT_FALSE(number.empty());
        ASSERT_EQ(std::string::npos, number.find_first_not_of("0123456789")) << number;
        const long r = std::stol(number);
        EXPECT_GE(r, 1);
        EXPECT_LE(r, 1000000);
        EXPECT_EQ(number, std::to_string(r));  // plain decimal, no leading zeros
    }

    const auto snaps1 = m_sim.Snapshots(cg1);
    const auto snaps2 = m_sim.Snapshots(cg2);
    ASSERT_EQ(1u, snaps1.size());
    ASSERT_EQ(1u, snaps2.size());
    EXPECT_EQ((std::list<std::string>{"earlier", snaps1[0].id, snaps2[0].id}), created);
    EXPECT_EQ("snap_" + numbers[0] + "_" + id1, snaps1[0].displayName);

    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::CreateSnapshotSet for volumes " + id1 + " " + id2 + " "));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/snapshots/snapshots_set"));
    EXPECT_EQ(1u, CountLog(4, "snapshot: " + snaps1[0].id));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::CreateSnapshotSet with return code 0"));
}

TEST_F(OperationTest, CreateSnapshotSetPairsTheListsUntilTheShorterEnds) {
    std::string v1 = "0000000000000001", v2 = "0000000000000002", v3 = "0000000000000003";
    std::string g1 = "cg-1", g2 = "cg-2";
    std::list<std::string> created;
    EXPECT_EQ(0, m_conn->CreateSnapshotSet({&v1, &v2, &v3}, {&g1, &g2}, &created));
    const std::string body = OnlyRequest().body;
    EXPECT_NE(std::string::npos, body.find("snapshots_set_2_cg=cg-2"));
    EXPECT_EQ(std::string::npos, body.find("snapshots_set_3"));
    EXPECT_EQ(std::string::npos, body.find(v3));
    EXPECT_EQ(2u, created.size());
    // The entry line still names every volume of the caller's list.
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::CreateSnapshotSet for volumes " + v1 + " " + v2 + " " + v3 +
                                  " "));
}

TEST_F(OperationTest, CreateSnapshotSetWithAnEmptyVolumeSendsNothing) {
    std::string v1 = "0000000000000001", empty, g1 = "cg-1", g2 = "cg-2";
    std::list<std::string> created;
    EXPECT_EQ("KConnection::CreateSnapshotSet - Invalid input argument",
              ThrownText<std::invalid_argument>([&] { m_conn->CreateSnapshotSet({&v1, &empty}, {&g1, &g2}, &created); }));
    EXPECT_EQ("KConnection::CreateSnapshotSet - Invalid input argument",
              ThrownText<std::invalid_argument>([&] { m_conn->CreateSnapshotSet({&v1}, {&empty}, &created); }));
    EXPECT_EQ(0u, m_sim.JournalSize());
    EXPECT_TRUE(created.empty());
    EXPECT_EQ(2u, CountLog(0, "KConnection::CreateSnapshotSet - Invalid input argument"));
}

TEST_F(OperationTest, CreateSnapshotSetWithEmptyListsSendsAnEmptyBody) {
    std::list<std::string> created;
    // The simulator refuses a set without entries, as an appliance would.
    EXPECT_EQ("No consistency group given for the snapshot set",
              ThrownText<KException>([&] { m_conn->CreateSnapshotSet({}, {}, &created); }));
    EXPECT_EQ("", OnlyRequest().body);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::CreateSnapshotSet for volumes "));
}

TEST_F(OperationTest, SnapshotNamesInOneCallDiffer) {
    // A generator re-seeded from the clock per entry would give every entry of
    // one call the same number.
    std::vector<std::string> ids;
    std::vector<std::string> groups;
    for (int i = 0; i < 6; ++i) {
        const auto v = m_sim.AddVolume("multi-" + std::to_string(i));
        ids.push_back(v.ieeeId);
        groups.push_back(v.cgName);
    }
    std::list<std::string*> idPtrs, groupPtrs;
    for (int i = 0; i < 6; ++i) {
        idPtrs.push_back(&ids[i]);
        groupPtrs.push_back(&groups[i]);
    }
    std::list<std::string> created;
    ASSERT_EQ(0, m_conn->CreateSnapshotSet(idPtrs, groupPtrs, &created));
    const auto numbers = SnapshotNumbers(OnlyRequest().body);
    ASSERT_EQ(6u, numbers.size());
    EXPECT_EQ(6u, std::set<std::string>(numbers.begin(), numbers.end()).size());
}

TEST_F(OperationTest, TwoSnapshotSetsInOneSecondGetDifferentNumbers) {
    std::string id = m_sim.FindVolume("vol-1")->ieeeId, cg = "cg-1";
    std::list<std::string> created;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(0, m_conn->CreateSnapshotSet({&id}, {&cg}, &created));
    std::set<std::string> numbers;
    for (const auto& request : m_sim.Journal()) {
        const auto n = SnapshotNumbers(request.body);
        ASSERT_EQ(1u, n.size());
        numbers.insert(n[0]);
    }
    EXPECT_EQ(4u, numbers.size());
    EXPECT_EQ(4u, m_sim.Snapshots("cg-1").size());
}

TEST_F(OperationTest, RefusedSnapshotSetThrowsTheStatusMessage) {
    std::string id = "0000000000000001", cg = "cg-missing";
    std::list<std::string> created;
    EXPECT_EQ("Consistency group cg-missing not found",
              ThrownText<KException>([&] { m_conn->CreateSnapshotSet({&id}, {&cg}, &created); }));
    EXPECT_TRUE(created.empty());
    // No name collided: the set is not asked for again.
    size_t posts = 0;
    for (const auto& request : m_sim.Journal()) posts += request.method == "POST";
    EXPECT_EQ(1u, posts);
    EXPECT_EQ(1u, CountLog(0, "Consistency group cg-missing not found"));
}

TEST_F(OperationTest, ASnapshotNameTakenByAKeptSnapshotIsDrawnAnewOnce) {
    std::string id = m_sim.FindVolume("vol-1")->ieeeId, cg = "cg-1";
    Korvel::SeedSnapshotNumbersForTesting(7);
    const std::string taken = "snap_" + std::to_string(Korvel::DrawSnapshotNumber()) + "_" + id;
    Korvel::SeedSnapshotNumbersForTesting(7);
    m_sim.AddSnapshot(cg, "kept from long ago", taken);
    std::list<std::string> created;
    ASSERT_EQ(0, m_conn->CreateSnapshotSet({&id}, {&cg}, &created));

    // Refused, one listing of the group, and the same set with a new number.
    const auto journal = m_sim.Journal();
    ASSERT_EQ(3u, journal.size());
    EXPECT_EQ("POST", journal[0].method);
    EXPECT_NE(std::string::npos, journal[0].body.find("snapshots_set_1_name=" + taken + "&"));
    EXPECT_EQ("GET /api/consistency_groups/cg-1/snapshots", journal[1].method + " " + journal[1].target);
    EXPECT_EQ("POST", journal[2].method);
    ASSERT_EQ(1u, created.size());
    EXPECT_NE(taken, created.front());
    EXPECT_EQ("snapshots_set_1_name=" + created.front() + "&snapshots_set_1_cg=cg-1", journal[2].body);
    EXPECT_EQ(2u, m_sim.Snapshots(cg).size());
    EXPECT_EQ(1u, CountLog(2, "Snapshot name " + taken + " is in use already; asking for " + created.front() +
                                  " instead"));
}

// ---------------------------------------------------------------------------
// Other commands

TEST_F(OperationTest, DeleteSnapshotSendsADeleteForTheSnapshot) {
    m_sim.AddSnapshot("cg-1", "snap_5_x", "snap-000555");
    EXPECT_EQ(0, m_conn->DeleteSnapshot("snap-000555"));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("DELETE", request.method);
    EXPECT_EQ("/api/snapshots/snap-000555", request.target);
    EXPECT_EQ("", request.body);
    EXPECT_FALSE(m_sim.FindSnapshot("snap-000555").has_value());
    const auto messages = TestMessages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ("Entering KConnection::DeleteSnapshot for snapshot snap-000555", messages[0]);
    EXPECT_EQ("URL: /api/snapshots/snap-000555", messages[1]);
    EXPECT_EQ("Entering KConnection::InitializeCurl", messages[2]);
    EXPECT_EQ("Exiting KConnection::DeleteSnapshot with return code 0", messages.back());
}

TEST_F(OperationTest, CloneVolumeSendsSnapshotNameAndTimeoutAndLeavesTheOutEmpty) {
    m_sim.AddSnapshot("cg-1", "snap_5_x", "snap-000555");
    std::string out = "prefilled";
    EXPECT_EQ(0, m_conn->CloneVolume("cg-1", "snap-000555", "clone-of-sqldata", out));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/api/consistency_groups/cg-1/clone", request.target);
    EXPECT_EQ("snapshot=snap-000555&name=clone-of-sqldata&timeout=30", request.body);
    EXPECT_EQ("", out);
    EXPECT_TRUE(m_sim.FindVolumeByDisplayName("clone-of-sqldata").has_value());
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::CloneVolume for volume snap-000555"));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/consistency_groups/cg-1/clone"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::CloneVolume with return code 0"));
}

TEST_F(OperationTest, DeleteVolumeSendsADeleteForTheVolume) {
    EXPECT_EQ(0, m_conn->DeleteVolume("vol-3"));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("DELETE", request.method);
    EXPECT_EQ("/api/volumes/vol-3", request.target);
    EXPECT_FALSE(m_sim.FindVolume("vol-3").has_value());
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::DeleteVolume for volName vol-3"));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/volumes/vol-3"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::DeleteVolume with return code 0"));
}

TEST_F(OperationTest, DeleteVolumeWithoutTheResponseElementGivesOne) {
    m_sim.AddFault(qsta::Fault::WithoutElement("DELETE", "/api/volumes/*"));
    EXPECT_EQ(1, m_conn->DeleteVolume("vol-3"));
    EXPECT_EQ(1u, CountLog(2, "Response not found. Error Condition"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::DeleteVolume with return code 1"));
    for (const auto& line : LogLines()) EXPECT_NE("ERROR", line.level) << line.message;
}

TEST_F(OperationTest, CreateServerSendsTheFormAndReturnsTheNewServerID) {
    std::string serverID;
    EXPECT_EQ(0, m_conn->CreateServer("backup02", "iqn.2026-01.local.example:backup02", "192.0.2.20", serverID));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/api/servers", request.target);
    EXPECT_EQ("display_name=backup02&iscsi=192.0.2.20&iqn=iqn.2026-01.local.example%3Abackup02&ipsec=no&force=no",
              request.body);
    const auto host = m_sim.FindHostByIqn("iqn.2026-01.local.example:backup02");
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->name, serverID);
    EXPECT_EQ("192.0.2.20", host->iscsiIp);
    EXPECT_EQ("backup02", host->displayName);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::CreateServer for host iqn iqn.2026-01.local.example:backup02"));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/servers"));
    EXPECT_EQ(1u, CountLog(4, "server-name: " + host->name));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::CreateServer with return code 0"));
}

TEST_F(OperationTest, CreateServerWithoutAnAddressSendsNothing) {
    std::string serverID = "kept";
    EXPECT_EQ("KConnection::CreateServer - Invalid input argument", ThrownText<std::invalid_argument>([&] {
                  m_conn->CreateServer("iqn.x", "iqn.x", "", serverID);
              }));
    EXPECT_EQ(0u, m_sim.JournalSize());
    EXPECT_EQ("kept", serverID);
    EXPECT_EQ(1u, CountLog(0, "KConnection::CreateServer - Invalid input argument"));
}

TEST_F(OperationTest, RefusedCreateServerLeavesTheServerIDAlone) {
    std::string serverID = "kept";
    EXPECT_EQ("A server with iqn iqn.2026-01.local.example:backup01 already exists",
              ThrownText<KException>([&] {
                  m_conn->CreateServer("again", "iqn.2026-01.local.example:backup01", "192.0.2.1", serverID);
              }));
    EXPECT_EQ("kept", serverID);
}

TEST_F(OperationTest, AttachVolumeMapsTheVolume) {
    EXPECT_EQ(0, m_conn->AttachVolume("vol-1", "host-1"));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/api/servers/host-1/volumes", request.target);
    EXPECT_EQ("id=host-1&volume_name=vol-1&readonly=no&force=no", request.body);
    EXPECT_TRUE(m_sim.IsMapped("vol-1", "host-1"));
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::AttachVolume for volName vol-1"));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/servers/host-1/volumes"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::AttachVolume with return code 0"));
}

TEST_F(OperationTest, DetachVolumeUnmapsTheVolume) {
    m_sim.MapVolume("vol-1", "host-1");
    EXPECT_EQ(0, m_conn->DetachVolume("vol-1", "host-1"));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/api/volumes/vol-1/detach", request.target);
    EXPECT_EQ("servers=host-1", request.body);
    EXPECT_FALSE(m_sim.IsMapped("vol-1", "host-1"));
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::DetachVolume for volName vol-1"));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/volumes/vol-1/detach"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::DetachVolume with return code 0"));
}

TEST_F(OperationTest, ResyncVolumeRollsTheGroupBack) {
    m_sim.AddSnapshot("cg-2", "snap_7_y", "snap-000777");
    EXPECT_EQ(0, m_conn->ResyncVolume("snap-000777", "cg-2"));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/api/consistency_groups/cg-2/rollback", request.target);
    EXPECT_EQ("snapname=snap-000777&timeout=30", request.body);
    EXPECT_EQ("snap-000777", m_sim.FindGroup("cg-2")->rolledBackTo);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ResyncVolume with snapID snap-000777"));
    EXPECT_EQ(1u, CountLog(4, "URL: /api/consistency_groups/cg-2/rollback"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ResyncVolume with return code 0"));
}

// ---------------------------------------------------------------------------
// The library's operations table, row for row and in its order: what each
// operation sends, how its failures read, what a command keeps of its answer.

struct OperationCase {
    const char* name;
    const char* method;
    std::string target;    // the path as sent; faults are set on it
    std::string body;      // the form as sent
    const char* response;  // a command's response element; null: a listing or lookup
    const char* failure;   // the failure text when the appliance answers 500
    size_t failureLines;   // how often that text is logged at level 0: a lookup logs it twice
    std::function<int()> call;
    std::function<int()> callWithEmptyInput = nullptr;  // null: no input to leave empty
    // What the caller holds of a command's answer afterwards, and what it
    // should be; null where the captured text reaches no caller (DeleteVolume,
    // ResyncVolume).
    std::function<std::string()> kept = nullptr;
    const char* keeps = nullptr;
};

class OperationTableTest : public OperationTest {
protected:
    std::vector<OperationCase> Operations() {
        // The one number the snapshot set draws, once the test seeds the generator with 7.
        Korvel::SeedSnapshotNumbersForTesting(7);
        const std::string number = std::to_string(Korvel::DrawSnapshotNumber());
        return {
            {"GetVolumesList", "GET", "/api/volumes", "", nullptr, "HTTP return code: 500. List volume failed", 1,
             [this] { return m_conn->GetVolumesList(&m_volumes); }, [this] { return m_conn->GetVolumesList(nullptr); }},
            {"GetSnapshotsList", "GET", "/api/consistency_groups/cg-1/snapshots", "", nullptr,
             "HTTP return code: 500. List snapshot failed", 1,
             [this] { return m_conn->GetSnapshotsList("cg-1", &m_snapshots); },
             [this] { return m_conn->GetSnapshotsList("", &m_snapshots); }},
            {"ListVolumes", "GET", "/api/volumes", "", nullptr, "List volume failed", 1,
             [this] { return m_conn->ListVolumes(m_raw); }},
            {"ListServers", "GET", "/api/servers", "", nullptr, "List servers failed", 1,
             [this] { return m_conn->ListServers(m_raw); }},
            {"GetVolumeInfoByDispName", "GET", "/api/volumes", "", nullptr, "List volume failed", 2,
             [this] { return m_conn->GetVolumeInfoByDispName("sqldata", m_a, m_b, m_c); }},
            {"GetServerInfoByIQN", "GET", "/api/servers", "", nullptr, "List servers failed", 2,
             [this] { return m_conn->GetServerInfoByIQN("iqn.2026-01.local.example:backup01", m_a, m_b); }},
            {"CreateSnapshotSet", "POST", "/api/snapshots/snapshots_set",
             "snapshots_set_1_name=snap_" + number + "_" + m_id + "&snapshots_set_1_cg=cg-1",
             "create-snapshot-set-response", "HTTP return code: 500. Create snapshot set failed", 1,
             [this] {
                 m_created.clear();
                 return m_conn->CreateSnapshotSet({&m_id}, {&m_cg}, &m_created);
             },
             [this] { return m_conn->CreateSnapshotSet({&m_id}, {&m_cg}, nullptr); },
             [this] { return m_created.empty() ? std::string() : m_created.front(); }, "snap-6"},
            {"DeleteSnapshot", "DELETE", "/api/snapshots/snap-1", "", "delete-snapshot-response",
             "HTTP return code: 500. Delete snapshot failed", 1, [this] { return m_conn->DeleteSnapshot("snap-1"); },
             [this] { return m_conn->DeleteSnapshot(""); }},
            {"CloneVolume", "POST", "/api/consistency_groups/cg-1/clone", "snapshot=snap-1&name=clone-1&timeout=30",
             "clone-cg-response", "HTTP return code: 500. Clone volume failed", 1,
             [this] {
                 m_text = "prefilled";
                 return m_conn->CloneVolume("cg-1", "snap-1", "clone-1", m_text);
             },
             [this] { return m_conn->CloneVolume("cg-1", "snap-1", "", m_text); }, [this] { return m_text; }, ""},
            {"DeleteVolume", "DELETE", "/api/volumes/vol-1", "", "delete-volume-response",
             "HTTP return code: 500. Delete volume failed", 1, [this] { return m_conn->DeleteVolume("vol-1"); },
             [this] { return m_conn->DeleteVolume(""); }},
            {"CreateServer", "POST", "/api/servers", "display_name=h&iscsi=192.0.2.1&iqn=iqn.h&ipsec=no&force=no",
             "create-server-response", "HTTP return code: 500. Create server failed", 1,
             [this] {
                 m_text = "prefilled";
                 return m_conn->CreateServer("h", "iqn.h", "192.0.2.1", m_text);
             },
             [this] { return m_conn->CreateServer("", "iqn.h", "192.0.2.1", m_text); }, [this] { return m_text; },
             "host-9"},
            {"AttachVolume", "POST", "/api/servers/host-1/volumes", "id=host-1&volume_name=vol-1&readonly=no&force=no",
             "attach-volume-response", "HTTP return code: 500. Attach volume failed", 1,
             [this] { return m_conn->AttachVolume("vol-1", "host-1"); },
             [this] { return m_conn->AttachVolume("vol-1", ""); }},
            {"DetachVolume", "POST", "/api/volumes/vol-1/detach", "servers=host-1", "detach-volume-response",
             "HTTP return code: 500. Detach volume failed", 1, [this] { return m_conn->DetachVolume("vol-1", "host-1"); },
             [this] { return m_conn->DetachVolume("", "host-1"); }},
            {"ResyncVolume", "POST", "/api/consistency_groups/cg-1/rollback", "snapname=snap-1&timeout=30",
             "clone-cg-response", "HTTP return code: 500. Resync volume failed", 1,
             [this] { return m_conn->ResyncVolume("snap-1", "cg-1"); },
             [this] { return m_conn->ResyncVolume("snap-1", ""); }},
            {"ListDrives", "GET", "/api/drives", "", nullptr, "List drives failed", 1,
             [this] { return KConnection::ListDrives(Address(), Key()); }},
        };
    }

    std::string m_id = "0000000000000001", m_cg = "cg-1";
    std::string m_text, m_a, m_b, m_c;
    std::list<std::string> m_created;
    std::list<VolumeInfo> m_volumes;
    std::list<SnapshotInfo> m_snapshots;
    std::ostringstream m_raw;
};

TEST_F(OperationTableTest, EveryOperationSendsTheRequestOfItsRow) {
    for (const OperationCase& c : Operations()) {
        m_sim.ClearJournal();
        Korvel::SeedSnapshotNumbersForTesting(7);
        ThrownText<std::exception>(c.call);  // the appliance may know no such object: only the request matters
        const auto journal = m_sim.Journal();
        ASSERT_FALSE(journal.empty()) << c.name;
        EXPECT_EQ(c.method, journal[0].method) << c.name;
        EXPECT_EQ(c.target, journal[0].target) << c.name;
        EXPECT_EQ(c.body, journal[0].body) << c.name;
        EXPECT_EQ(Key(), journal[0].Header("X-Access-Key")) << c.name;
    }
}

TEST_F(OperationTableTest, EveryOperationRefusesAnEmptyInputWithoutSending) {
    for (const OperationCase& c : Operations()) {
        if (!c.callWithEmptyInput) continue;
        const std::string text = std::string("KConnection::") + c.name + " - Invalid input argument";
        EXPECT_EQ(text, ThrownText<std::invalid_argument>([&] { c.callWithEmptyInput(); })) << c.name;
        EXPECT_EQ(1u, CountLog(0, text)) << c.name;
        EXPECT_EQ(0u, CountLogContaining(std::string("Exiting KConnection::") + c.name)) << c.name;
    }
    EXPECT_EQ(0u, m_sim.JournalSize());
}

TEST_F(OperationTableTest, EveryOperationFormatsItsHttpFailure) {
    const auto operations = Operations();
    for (const OperationCase& c : operations) {
        m_sim.AddFault(qsta::Fault::WithStatus(c.method, c.target, 500));
        const size_t before = CountLog(0, c.failure);
        EXPECT_EQ(c.failure, ThrownText<KException>([&] { c.call(); })) << c.name;
        EXPECT_EQ(before + c.failureLines, CountLog(0, c.failure)) << c.name;
        EXPECT_EQ(0u, CountLogContaining(std::string("Exiting KConnection::") + c.name)) << c.name;
    }
    EXPECT_EQ(operations.size(), m_sim.JournalSize());
}

TEST_F(OperationTableTest, EveryCommandThrowsTheStatusMessageOfARefusal) {
    for (const OperationCase& c : Operations()) {
        if (c.response == nullptr) continue;
        m_sim.AddFault(qsta::Fault::Refuse(c.method, c.target, "1", std::string("Refused by ") + c.name));
        EXPECT_EQ(std::string("Refused by ") + c.name, ThrownText<KException>([&] { c.call(); })) << c.name;
        EXPECT_EQ(1u, CountLog(0, std::string("Refused by ") + c.name)) << c.name;
    }
}

TEST_F(OperationTableTest, EveryCommandGivesOneWhenTheResponseElementIsMissing) {
    size_t commands = 0;
    for (const OperationCase& c : Operations()) {
        if (c.response == nullptr) continue;
        ++commands;
        m_sim.AddFault(qsta::Fault::WithoutElement(c.method, c.target));
        EXPECT_EQ(1, c.call()) << c.name;
        EXPECT_EQ(1u, CountLog(3, std::string("Exiting KConnection::") + c.name + " with return code 1")) << c.name;
    }
    EXPECT_EQ(8u, commands);
    EXPECT_EQ(commands, CountLog(2, "Response not found. Error Condition"));
}

// Each answer carries every element some command captures; each command
// keeps only its own (the clone nothing: its caller's text comes back empty).
TEST_F(OperationTableTest, EveryCommandKeepsWhatItsRowCaptures) {
    for (const OperationCase& c : Operations()) {
        if (c.response == nullptr) continue;
        const std::string element = c.response;
        m_sim.AddFault(qsta::Fault::Custom(c.method, c.target, 200,
                                           "<" + element + "><status>0</status><server-name>host-9</server-name>"
                                           "<snapshot-name>snap-8</snapshot-name><cg-name>cg-7</cg-name>"
                                           "<snapshots><snapshot>snap-6</snapshot></snapshots></" + element + ">"));
        EXPECT_EQ(0, c.call()) << c.name;
        if (c.kept) {
            EXPECT_EQ(c.keeps, c.kept()) << c.name;
        }
    }
    EXPECT_EQ(1u, m_created.size());
}

TEST_F(OperationTest, EmptyStatusIsARefusalToo) {
    m_sim.AddFault(qsta::Fault::Refuse("DELETE", "/api/snapshots/*", "", std::string("Snapshot is busy")));
    EXPECT_EQ("Snapshot is busy", ThrownText<KException>([&] { m_conn->DeleteSnapshot("snap-1"); }));
    EXPECT_EQ(1u, CountLog(0, "Snapshot is busy"));
}

TEST_F(OperationTest, RefusalWithoutAMessageNamesTheStatus) {
    // No status-msg element, then an empty one with an empty status.
    m_sim.AddFault(qsta::Fault::Refuse("DELETE", "/api/snapshots/*", "2", std::nullopt));
    EXPECT_EQ("Appliance refused the command (status 2)",
              ThrownText<KException>([&] { m_conn->DeleteSnapshot("snap-1"); }));
    m_sim.AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "", std::string()));
    std::string id = "0000000000000001", cg = "cg-1";
    std::list<std::string> created;
    EXPECT_EQ("Appliance refused the command (status empty)",
              ThrownText<KException>([&] { m_conn->CreateSnapshotSet({&id}, {&cg}, &created); }));
    EXPECT_TRUE(created.empty());
    EXPECT_EQ(1u, CountLog(0, "Appliance refused the command (status 2)"));
    EXPECT_EQ(1u, CountLog(0, "Appliance refused the command (status empty)"));
    EXPECT_EQ(0u, CountLog(0, ""));
}

TEST_F(OperationTest, StatusZeroSucceedsWhateverTheMessageSays) {
    m_sim.AddFault(qsta::Fault::Refuse("POST", "/api/servers/*/volumes", "0", std::string("Failure, really")));
    EXPECT_EQ(0, m_conn->AttachVolume("vol-1", "host-1"));
    EXPECT_EQ(0u, CountLog(0, "Failure, really"));
}

// ---------------------------------------------------------------------------
// Validation of an address and key

TEST_F(OperationTest, ValidateArrayListsTheDrives) {
    EXPECT_EQ(0, KConnection::ValidateArray(Address(), Key()));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("GET", request.method);
    EXPECT_EQ("/api/drives", request.target);
    EXPECT_EQ(Key(), request.Header("X-Access-Key"));
    EXPECT_EQ((std::vector<std::string>{
                  "Entering KConnection::ValidateArray for arrayIP: " + Address() +
                      " accessKey: " + Korvel::MaskSecret(Key()),
                  "Entering KConnection::ListDrives", "URL: https://" + Address() + "/api/drives",
                  "X-Access-Key: " + Korvel::MaskSecret(Key()), "HTTP Return Code :200",
                  "Entering KConnection::ParseDriveList", "Exiting KConnection::ParseDriveList with return code 0",
                  "Exiting KConnection::ListDrives with return code 0", "List disks successfull.",
                  "Exiting KConnection::ValidateArray with return code 0"}),
              TestMessages());
    EXPECT_EQ(1u, CountLog(2, "URL: https://" + Address() + "/api/drives"));
    EXPECT_EQ(1u, CountLog(4, "X-Access-Key: " + Korvel::MaskSecret(Key())));
    EXPECT_EQ(1u, CountLog(2, "List disks successfull."));
    EXPECT_EQ(0u, CountLogContaining(Key()));
}

TEST_F(OperationTest, ValidateArrayWithARefusedKeyThrowsListDrivesFailed) {
    EXPECT_EQ("List drives failed",
              ThrownText<KException>([&] { KConnection::ValidateArray(Address(), "wrong-key-0000"); }));
    EXPECT_EQ(1u, CountLog(4, "HTTP Return Code :401"));
    EXPECT_EQ(1u, CountLog(0, "List drives failed"));
    EXPECT_EQ(0u, CountLogContaining("List disk failed. Invalid array credentials"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::ValidateArray"));
    EXPECT_EQ(0u, CountLogContaining("wrong-key-0000"));
    // Masked in the entry line and in the header line.
    EXPECT_EQ(2u, CountLogContaining("**********0000"));
}

TEST_F(OperationTest, ValidateArrayWithoutTheStatusElementGivesOne) {
    m_sim.AddFault(qsta::Fault::WithoutElement("GET", "/api/drives"));
    EXPECT_EQ(1, KConnection::ValidateArray(Address(), Key()));
    EXPECT_EQ(1u, CountLog(2, "No response for disk list received"));
    EXPECT_EQ(1u, CountLog(0, "List disk failed. Invalid array credentials"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ValidateArray with return code 1"));
}

TEST_F(OperationTest, ValidateArrayOfAnApplianceThatIsDown) {
    const std::string address = Address();
    m_sim.Stop();
    EXPECT_EQ("Failed to perform curl action",
              ThrownText<KException>([&] { KConnection::ValidateArray(address, Key()); }));
    EXPECT_EQ(1u, CountLog(0, "Failed to perform curl action"));
}

// ---------------------------------------------------------------------------
// Identifiers that hold URL syntax

TEST_F(OperationTest, IdentifierWithUrlSyntaxStaysOnePathSegmentInEveryOperation) {
    const std::string id = "a&b/c?d#e f%g=h";
    const std::string encoded = "a%26b%2Fc%3Fd%23e%20f%25g%3Dh";
    std::string out;
    std::list<SnapshotInfo> snapshots;
    struct PathCase {
        const char* name;
        std::string path;  // with "@" where the identifier goes
        std::function<void()> call;
    };
    const std::vector<PathCase> cases = {
        {"DeleteSnapshot", "/api/snapshots/@", [&] { m_conn->DeleteSnapshot(id); }},
        {"GetSnapshotsList", "/api/consistency_groups/@/snapshots", [&] { m_conn->GetSnapshotsList(id, &snapshots); }},
        {"CloneVolume", "/api/consistency_groups/@/clone", [&] { m_conn->CloneVolume(id, "snap-1", "c", out); }},
        {"ResyncVolume", "/api/consistency_groups/@/rollback", [&] { m_conn->ResyncVolume("snap-1", id); }},
        {"DeleteVolume", "/api/volumes/@", [&] { m_conn->DeleteVolume(id); }},
        {"AttachVolume", "/api/servers/@/volumes", [&] { m_conn->AttachVolume("vol-1", id); }},
        {"DetachVolume", "/api/volumes/@/detach", [&] { m_conn->DetachVolume(id, "host-1"); }},
    };
    for (const PathCase& c : cases) {
        m_sim.ClearJournal();
        ThrownText<std::exception>(c.call);  // the appliance knows no such object: only the path matters
        const size_t at = c.path.find('@');
        const std::string sent = c.path.substr(0, at) + encoded + c.path.substr(at + 1);
        const qsta::JournalEntry request = OnlyRequest();
        EXPECT_EQ(sent, request.target) << c.name;
        EXPECT_EQ(c.path.substr(0, at) + id + c.path.substr(at + 1), request.path) << c.name;
        EXPECT_EQ(1u, CountLog(4, "URL: " + sent)) << c.name;
    }
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::DeleteSnapshot for snapshot " + id));
}

TEST_F(OperationTest, IdentifierCannotReachAnotherResource) {
    // Unencoded, "../volumes/vol-1" would walk out of /api/snapshots/.
    EXPECT_THROW(m_conn->DeleteSnapshot("../volumes/vol-1"), KException);
    EXPECT_TRUE(m_sim.FindVolume("vol-1").has_value());
    EXPECT_EQ("/api/snapshots/..%2Fvolumes%2Fvol-1", OnlyRequest().rawPath);
}

TEST_F(OperationTest, FormValueWithAmpersandAndEqualsCannotAddFields) {
    std::string serverID;
    const std::string display = "Backup & Restore/=?#% host";
    const std::string iqn = "iqn.2026-01.local.example:inject&iqn=iqn.evil";
    ASSERT_EQ(0, m_conn->CreateServer(display, iqn, "192.0.2.30", serverID));
    const auto host = m_sim.FindHost(serverID);
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(display, host->displayName);
    EXPECT_EQ(iqn, host->iqn);
    EXPECT_FALSE(m_sim.FindHostByIqn("iqn.evil").has_value());
    EXPECT_EQ("display_name=Backup+%26+Restore%2F%3D%3F%23%25+host&iscsi=192.0.2.30"
              "&iqn=iqn.2026-01.local.example%3Ainject%26iqn%3Diqn.evil&ipsec=no&force=no",
              OnlyRequest().body);
}

TEST_F(OperationTest, CloneNameWithAmpersandStaysOneField) {
    m_sim.AddSnapshot("cg-1", "snap_5_x", "snap-000555");
    std::string out;
    ASSERT_EQ(0, m_conn->CloneVolume("cg-1", "snap-000555", "clone&timeout=1", out));
    EXPECT_TRUE(m_sim.FindVolumeByDisplayName("clone&timeout=1").has_value());
    EXPECT_EQ("snapshot=snap-000555&name=clone%26timeout%3D1&timeout=30", OnlyRequest().body);
}

TEST_F(OperationTest, PlainIdentifiersGoOutByteForByte) {
    const auto v = m_sim.AddVolume(qsta::VolumeSpec{"Vol_9.a-B", "disp_9.a-B", "Cg_9.a-B", "", "", ""});
    m_sim.AddHost("iqn.x", "192.0.2.40", "Host_9.a-B");
    ASSERT_EQ(0, m_conn->AttachVolume("Vol_9.a-B", "Host_9.a-B"));
    ASSERT_EQ(0, m_conn->DetachVolume("Vol_9.a-B", "Host_9.a-B"));
    const auto journal = m_sim.Journal();
    ASSERT_EQ(2u, journal.size());
    EXPECT_EQ("/api/servers/Host_9.a-B/volumes", journal[0].target);
    EXPECT_EQ("id=Host_9.a-B&volume_name=Vol_9.a-B&readonly=no&force=no", journal[0].body);
    EXPECT_EQ("/api/volumes/Vol_9.a-B/detach", journal[1].target);
    EXPECT_EQ("servers=Host_9.a-B", journal[1].body);
}

// ---------------------------------------------------------------------------
// The key never reaches the log in clear

TEST_F(OperationTest, AccessKeyIsMaskedInEveryLine) {
    std::list<VolumeInfo> volumes;
    m_conn->GetVolumesList(&volumes);
    std::string serverID, iscsiIP;
    m_conn->GetServerInfoByIQN("iqn.2026-01.local.example:backup01", serverID, iscsiIP);
    m_conn->AttachVolume("vol-1", "host-1");
    KConnection::ValidateArray(Address(), Key());
    ASSERT_EQ(4u, m_sim.JournalSize());
    EXPECT_EQ(0u, CountLogContaining(Key()));
    EXPECT_EQ(3u, CountLog(3, "X-Access-Key: " + Korvel::MaskSecret(Key())));
    EXPECT_EQ(1u, CountLog(4, "X-Access-Key: " + Korvel::MaskSecret(Key())));
}

}  // namespace
