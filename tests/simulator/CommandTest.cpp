// What each command does to the model and how it answers.
#include "SimTestSupport.h"

using namespace simtest;

namespace {

// The command's response element, read as the access library reads it.
Record Response(const HttpResult& result, const std::string& element) {
    EXPECT_EQ(result.code, CURLE_OK);
    EXPECT_EQ(result.status, 200);
    auto records = Xml::Parse(result.body).Select("//" + element);
    EXPECT_EQ(records.size(), 1u) << result.body;
    return records.empty() ? Record() : records[0];
}

std::vector<std::string> SnapshotIds(const HttpResult& result) {
    return Xml::Parse(result.body).Texts("//create-snapshot-set-response/snapshots/snapshot");
}

}  // namespace

class CommandTest : public SimulatorTest {};

// --- Snapshot sets -------------------------------------------------------------

TEST_F(CommandTest, SnapshotSetNamesEachSnapshotAsAskedInRequestOrder) {
    HttpResult result = Post(Sim(), "/api/snapshots/snapshots_set",
                             "snapshots_set_1_name=snap_42_6b72760000000002&snapshots_set_1_cg=cg-2"
                             "&snapshots_set_2_name=snap_42_6b72760000000001&snapshots_set_2_cg=cg-1");
    Record response = Response(result, "create-snapshot-set-response");
    EXPECT_EQ(response["status"], "0");
    auto ids = SnapshotIds(result);
    EXPECT_EQ(ids, (std::vector<std::string>{"snap_42_6b72760000000002", "snap_42_6b72760000000001"}));
    ASSERT_EQ(ids.size(), 2u);
    auto first = Sim().FindSnapshot(ids[0]);
    auto second = Sim().FindSnapshot(ids[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->cgName, "cg-2");
    EXPECT_EQ(first->displayName, "snap_42_6b72760000000002");
    EXPECT_EQ(second->cgName, "cg-1");
    EXPECT_EQ(second->displayName, "snap_42_6b72760000000001");

    auto listed = Xml::Parse(Get(Sim(), "/api/consistency_groups/cg-2/snapshots").body).Select("//snapshots/snapshot");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["name"], ids[0]);
    EXPECT_EQ(listed[0]["display-name"], "snap_42_6b72760000000002");
}

TEST_F(CommandTest, SnapshotSetWithAnUnknownGroupIsRefusedAndMakesNothing) {
    HttpResult result = Post(Sim(), "/api/snapshots/snapshots_set",
                             "snapshots_set_1_name=snap_1_a&snapshots_set_1_cg=cg-1"
                             "&snapshots_set_2_name=snap_1_b&snapshots_set_2_cg=cg-nope");
    Record response = Response(result, "create-snapshot-set-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_EQ(response["status-msg"], "Consistency group cg-nope not found");
    EXPECT_TRUE(SnapshotIds(result).empty());
    EXPECT_TRUE(Sim().Snapshots().empty());
}

TEST_F(CommandTest, SnapshotSetAskingForANameInUseIsRefusedAndMakesNothing) {
    ASSERT_EQ(Response(Post(Sim(), "/api/snapshots/snapshots_set", "snapshots_set_1_name=snap_7_a&snapshots_set_1_cg=cg-1"),
                       "create-snapshot-set-response")["status"],
              "0");
    for (const char* body : {"snapshots_set_1_name=snap_8_b&snapshots_set_1_cg=cg-2"
                             "&snapshots_set_2_name=snap_7_a&snapshots_set_2_cg=cg-3",
                             "snapshots_set_1_name=snap_9_c&snapshots_set_1_cg=cg-2"
                             "&snapshots_set_2_name=snap_9_c&snapshots_set_2_cg=cg-3"}) {
        Record response = Response(Post(Sim(), "/api/snapshots/snapshots_set", body), "create-snapshot-set-response");
        EXPECT_EQ(response["status"], "1") << body;
        EXPECT_NE(response["status-msg"].find("is already in use"), std::string::npos) << response["status-msg"];
    }
    ASSERT_EQ(Sim().Snapshots().size(), 1u);
    EXPECT_EQ(Sim().Snapshots()[0].id, "snap_7_a");
}

TEST_F(CommandTest, SnapshotSetWithAnEmptyBodyIsRefused) {
    Record response = Response(Post(Sim(), "/api/snapshots/snapshots_set", ""), "create-snapshot-set-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_FALSE(response["status-msg"].empty());
    EXPECT_TRUE(Sim().Snapshots().empty());
}

TEST_F(CommandTest, SnapshotSetLargerThanAFormLimitIsServed) {
    // 400 entries make a body far beyond 8 KiB.
    std::string body;
    for (int i = 1; i <= 400; ++i) {
        if (i > 1) {
            body += "&";
        }
        body += "snapshots_set_" + std::to_string(i) + "_name=snap_7_" + std::to_string(i) + "&snapshots_set_" +
                std::to_string(i) + "_cg=cg-" + std::to_string(1 + i % 3);
    }
    ASSERT_GT(body.size(), 8192u);
    HttpResult result = Post(Sim(), "/api/snapshots/snapshots_set", body);
    EXPECT_EQ(Response(result, "create-snapshot-set-response")["status"], "0");
    auto ids = SnapshotIds(result);
    ASSERT_EQ(ids.size(), 400u);
    EXPECT_EQ(Sim().FindSnapshot(ids[399])->displayName, "snap_7_400");
}

// --- Snapshot deletion ---------------------------------------------------------

TEST_F(CommandTest, DeleteSnapshotRemovesIt) {
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-1", "nightly");
    Record response = Response(Delete(Sim(), "/api/snapshots/" + snapshot.id), "delete-snapshot-response");
    EXPECT_EQ(response["status"], "0");
    EXPECT_FALSE(Sim().FindSnapshot(snapshot.id).has_value());
    EXPECT_EQ(Xml::Parse(Get(Sim(), "/api/consistency_groups/cg-1/snapshots").body).Count("//snapshot"), 0u);
}

TEST_F(CommandTest, DeleteUnknownSnapshotIsRefusedWithAMessage) {
    Record response = Response(Delete(Sim(), "/api/snapshots/snap-999999"), "delete-snapshot-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_EQ(response["status-msg"], "Snapshot snap-999999 not found");
}

// --- Clone and rollback ----------------------------------------------------------

TEST_F(CommandTest, CloneMakesANewGroupWithAVolumeOfTheRequestedName) {
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-1", "snap_5_6b72760000000001");
    const std::string cloneName = snapshot.id + "_1234.clone";
    HttpResult result = Post(Sim(), "/api/consistency_groups/cg-1/clone",
                             "snapshot=" + snapshot.id + "&name=" + cloneName + "&timeout=30");
    Record response = Response(result, "clone-cg-response");
    EXPECT_EQ(response["status"], "0");
    ASSERT_FALSE(response["cg-name"].empty());
    EXPECT_NE(response["cg-name"], "cg-1");

    auto volumes = Xml::Parse(Get(Sim(), "/api/volumes").body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 4u);
    EXPECT_EQ(volumes[3]["display-name"], cloneName);
    EXPECT_EQ(volumes[3]["cg-name"], response["cg-name"]);
    EXPECT_NE(volumes[3]["ieee-id"], volumes[0]["ieee-id"]);
    EXPECT_EQ(volumes[3]["product-id"], volumes[3]["ieee-id"] + "-QSTA-Volume");

    auto clone = Sim().FindVolumeByDisplayName(cloneName);
    ASSERT_TRUE(clone.has_value());
    EXPECT_EQ(clone->sourceSnapshot, snapshot.id);
    EXPECT_EQ(Sim().FindGroup(response["cg-name"])->clonedFrom, snapshot.id);
}

TEST_F(CommandTest, CloneIsRefusedForUnknownOrForeignSnapshotsAndTakenNames) {
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-1", "s");
    const std::string path = "/api/consistency_groups/cg-1/clone";

    Record unknown = Response(Post(Sim(), path, "snapshot=snap-777777&name=c1&timeout=30"), "clone-cg-response");
    EXPECT_EQ(unknown["status"], "1");
    EXPECT_EQ(unknown["status-msg"], "Snapshot snap-777777 not found in consistency group cg-1");

    Record foreign = Response(Post(Sim(), "/api/consistency_groups/cg-2/clone",
                                   "snapshot=" + snapshot.id + "&name=c2&timeout=30"),
                              "clone-cg-response");
    EXPECT_EQ(foreign["status"], "1");

    Record taken = Response(Post(Sim(), path, "snapshot=" + snapshot.id + "&name=sqllog&timeout=30"),
                            "clone-cg-response");
    EXPECT_EQ(taken["status"], "1");
    EXPECT_EQ(taken["status-msg"], "Volume name sqllog already exists");

    Record group = Response(Post(Sim(), "/api/consistency_groups/cg-9/clone",
                                 "snapshot=" + snapshot.id + "&name=c3&timeout=30"),
                            "clone-cg-response");
    EXPECT_EQ(group["status"], "1");
    EXPECT_EQ(group["status-msg"], "Consistency group cg-9 not found");
    EXPECT_EQ(Sim().VolumeCount(), 3u);
    EXPECT_EQ(Sim().Groups().size(), 3u);
}

TEST_F(CommandTest, RollbackAnswersWithTheGroupAndRecordsTheSnapshot) {
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-3", "s");
    Record response = Response(Post(Sim(), "/api/consistency_groups/cg-3/rollback",
                                    "snapname=" + snapshot.id + "&timeout=30"),
                               "clone-cg-response");
    EXPECT_EQ(response["status"], "0");
    EXPECT_EQ(response["cg-name"], "cg-3");
    auto group = Sim().FindGroup("cg-3");
    ASSERT_TRUE(group.has_value());
    EXPECT_EQ(group->rolledBackTo, snapshot.id);
    EXPECT_EQ(group->rollbackCount, 1u);
    EXPECT_EQ(Sim().VolumeCount(), 3u);
}

TEST_F(CommandTest, RollbackToAnUnknownSnapshotIsRefused) {
    Record response = Response(Post(Sim(), "/api/consistency_groups/cg-3/rollback", "snapname=snap-1&timeout=30"),
                               "clone-cg-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_EQ(response["status-msg"], "Snapshot snap-1 not found in consistency group cg-3");
    EXPECT_EQ(Sim().FindGroup("cg-3")->rollbackCount, 0u);
}

// --- Volumes -----------------------------------------------------------------

TEST_F(CommandTest, DeleteVolumeRemovesItAndItsEmptyGroup) {
    Record response = Response(Delete(Sim(), "/api/volumes/vol-2"), "delete-volume-response");
    EXPECT_EQ(response["status"], "0");
    EXPECT_FALSE(Sim().FindVolume("vol-2").has_value());
    EXPECT_FALSE(Sim().FindGroup("cg-2").has_value());
    auto volumes = Xml::Parse(Get(Sim(), "/api/volumes").body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0]["name"], "vol-1");
    EXPECT_EQ(volumes[1]["name"], "vol-3");
}

TEST_F(CommandTest, DeleteCloneNamesTheSnapshotItCameFrom) {
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-1", "s");
    Post(Sim(), "/api/consistency_groups/cg-1/clone", "snapshot=" + snapshot.id + "&name=the-clone&timeout=30");
    auto clone = Sim().FindVolumeByDisplayName("the-clone");
    ASSERT_TRUE(clone.has_value());
    Record response = Response(Delete(Sim(), "/api/volumes/" + clone->name), "delete-volume-response");
    EXPECT_EQ(response["status"], "0");
    EXPECT_EQ(response["snapshot-name"], snapshot.id);
    EXPECT_TRUE(Sim().FindSnapshot(snapshot.id).has_value());
}

TEST_F(CommandTest, DeleteMappedVolumeIsRefusedWithAMessage) {
    Sim().MapVolume("vol-1", "host-1");
    Record response = Response(Delete(Sim(), "/api/volumes/vol-1"), "delete-volume-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_EQ(response["status-msg"], "Volume vol-1 is mapped to a server");
    EXPECT_TRUE(Sim().FindVolume("vol-1").has_value());
}

TEST_F(CommandTest, DeleteUnknownVolumeIsRefusedWithAMessage) {
    Record response = Response(Delete(Sim(), "/api/volumes/vol-404"), "delete-volume-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_EQ(response["status-msg"], "Volume vol-404 not found");
}

// --- Host entries and mappings --------------------------------------------------

TEST_F(CommandTest, CreateServerAddsAHostEntryAndNamesIt) {
    HttpResult result = Post(Sim(), "/api/servers",
                             "display_name=iqn.2026-04.local.example:new&iscsi=192.0.2.10"
                             "&iqn=iqn.2026-04.local.example:new&ipsec=no&force=no");
    Record response = Response(result, "create-server-response");
    EXPECT_EQ(response["status"], "0");
    const std::string name = response["server-name"];
    ASSERT_FALSE(name.empty());
    auto host = Sim().FindHost(name);
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->iqn, "iqn.2026-04.local.example:new");
    EXPECT_EQ(host->iscsiIp, "192.0.2.10");
    auto servers = Xml::Parse(Get(Sim(), "/api/servers").body).Select("//servers/server");
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[1]["name"], name);
}

TEST_F(CommandTest, CreateServerForAKnownIqnIsRefused) {
    Record response = Response(Post(Sim(), "/api/servers",
                                    "display_name=x&iscsi=1.2.3.4&iqn=iqn.2026-01.local.example:backup01"
                                    "&ipsec=no&force=no"),
                               "create-server-response");
    EXPECT_EQ(response["status"], "1");
    EXPECT_EQ(response["status-msg"], "A server with iqn iqn.2026-01.local.example:backup01 already exists");
    EXPECT_EQ(response.count("server-name"), 0u);
    EXPECT_EQ(Sim().Hosts().size(), 1u);
}

TEST_F(CommandTest, AttachMapsAndDetachUnmaps) {
    Record attached = Response(Post(Sim(), "/api/servers/host-1/volumes",
                                    "id=host-1&volume_name=vol-2&readonly=no&force=no"),
                               "attach-volume-response");
    EXPECT_EQ(attached["status"], "0");
    EXPECT_TRUE(Sim().IsMapped("vol-2", "host-1"));
    ASSERT_EQ(Sim().Mappings().size(), 1u);

    Record again = Response(Post(Sim(), "/api/servers/host-1/volumes",
                                 "id=host-1&volume_name=vol-2&readonly=no&force=no"),
                            "attach-volume-response");
    EXPECT_EQ(again["status"], "1");
    EXPECT_EQ(again["status-msg"], "Volume vol-2 is already mapped to server host-1");

    Record detached = Response(Post(Sim(), "/api/volumes/vol-2/detach", "servers=host-1"), "detach-volume-response");
    EXPECT_EQ(detached["status"], "0");
    EXPECT_FALSE(Sim().IsMapped("vol-2", "host-1"));
    EXPECT_TRUE(Sim().Mappings().empty());

    // Unmapped now, so it may go.
    EXPECT_EQ(Response(Delete(Sim(), "/api/volumes/vol-2"), "delete-volume-response")["status"], "0");
}

TEST_F(CommandTest, AttachAndDetachOfUnknownObjectsAreRefused) {
    Record noServer = Response(Post(Sim(), "/api/servers/host-9/volumes",
                                    "id=host-9&volume_name=vol-1&readonly=no&force=no"),
                               "attach-volume-response");
    EXPECT_EQ(noServer["status"], "1");
    EXPECT_EQ(noServer["status-msg"], "Server host-9 not found");

    Record noVolume = Response(Post(Sim(), "/api/servers/host-1/volumes",
                                    "id=host-1&volume_name=vol-9&readonly=no&force=no"),
                               "attach-volume-response");
    EXPECT_EQ(noVolume["status"], "1");
    EXPECT_EQ(noVolume["status-msg"], "Volume vol-9 not found");

    Record notMapped = Response(Post(Sim(), "/api/volumes/vol-1/detach", "servers=host-1"), "detach-volume-response");
    EXPECT_EQ(notMapped["status"], "1");
    EXPECT_EQ(notMapped["status-msg"], "Volume vol-1 is not mapped to server host-1");

    Record unknownVolume =
        Response(Post(Sim(), "/api/volumes/vol-9/detach", "servers=host-1"), "detach-volume-response");
    EXPECT_EQ(unknownVolume["status"], "1");
    EXPECT_EQ(unknownVolume["status-msg"], "Volume vol-9 not found");
    EXPECT_TRUE(Sim().Mappings().empty());
}

TEST_F(CommandTest, DetachTakesSeveralServersAtOnce) {
    Sim().AddHost("iqn.2026-06.local.example:b", "192.0.2.11", "host-b");
    Sim().MapVolume("vol-1", "host-1");
    Sim().MapVolume("vol-1", "host-b");
    Sim().MapVolume("vol-2", "host-b");
    Record response = Response(Post(Sim(), "/api/volumes/vol-1/detach", "servers=host-1,host-b"),
                               "detach-volume-response");
    EXPECT_EQ(response["status"], "0");
    auto mappings = Sim().Mappings();
    ASSERT_EQ(mappings.size(), 1u);
    EXPECT_EQ(mappings[0].volumeName, "vol-2");
    EXPECT_EQ(mappings[0].hostName, "host-b");
}

TEST_F(CommandTest, CommandsWithoutTheirFieldsAreRefused) {
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-1", "s");
    struct Case {
        std::string path;
        std::string body;
        std::string element;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"/api/consistency_groups/cg-1/clone", "name=c&timeout=30", "clone-cg-response", "No snapshot given"},
        {"/api/consistency_groups/cg-1/clone", "snapshot=" + snapshot.id + "&timeout=30", "clone-cg-response",
         "No name given for the clone"},
        {"/api/consistency_groups/cg-1/rollback", "timeout=30", "clone-cg-response", "No snapshot given"},
        {"/api/servers", "display_name=x&iscsi=1.1.1.1&ipsec=no&force=no", "create-server-response",
         "No iqn given"},
        {"/api/servers/host-1/volumes", "id=host-1&readonly=no&force=no", "attach-volume-response",
         "No volume given"},
        {"/api/servers/host-1/volumes", "id=host-2&volume_name=vol-1", "attach-volume-response",
         "Server id host-2 does not match server host-1"},
        {"/api/volumes/vol-1/detach", "", "detach-volume-response", "No server given"},
        {"/api/snapshots/snapshots_set", "snapshots_set_1_cg=cg-1", "create-snapshot-set-response",
         "Snapshot set entry 1 has no name"},
        {"/api/snapshots/snapshots_set", "snapshots_set_1_name=n", "create-snapshot-set-response",
         "Snapshot set entry 1 has no consistency group"},
    };
    for (const auto& c : cases) {
        Record response = Response(Post(Sim(), c.path, c.body), c.element);
        EXPECT_EQ(response["status"], "1") << c.path << " " << c.body;
        EXPECT_EQ(response["status-msg"], c.message) << c.path << " " << c.body;
    }
    EXPECT_EQ(Sim().VolumeCount(), 3u);
    EXPECT_EQ(Sim().Hosts().size(), 1u);
    EXPECT_EQ(Sim().Snapshots().size(), 1u);
    EXPECT_TRUE(Sim().Mappings().empty());
    EXPECT_EQ(Sim().FindGroup("cg-1")->rollbackCount, 0u);
}

TEST_F(CommandTest, CloneOfAGroupWithSeveralVolumesClonesEachOne) {
    qsta::VolumeSpec spec;
    spec.displayName = "second-in-cg-1";
    spec.cgName = "cg-1";
    Sim().AddVolume(spec);
    qsta::Snapshot snapshot = Sim().AddSnapshot("cg-1", "s");
    Record response = Response(Post(Sim(), "/api/consistency_groups/cg-1/clone",
                                    "snapshot=" + snapshot.id + "&name=multi&timeout=30"),
                               "clone-cg-response");
    ASSERT_EQ(response["status"], "0");
    auto group = Sim().FindGroup(response["cg-name"]);
    ASSERT_TRUE(group.has_value());
    ASSERT_EQ(group->volumes.size(), 2u);
    EXPECT_EQ(Sim().FindVolume(group->volumes[0])->displayName, "multi");
    EXPECT_EQ(Sim().FindVolume(group->volumes[1])->displayName, "multi-2");
}
