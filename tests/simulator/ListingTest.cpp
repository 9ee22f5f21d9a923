// The listings, read with the XPath expressions the access library uses.
#include "SimTestSupport.h"

#include <cctype>
#include <set>

using namespace simtest;

namespace {

bool IsLowerHex16(const std::string& text) {
    if (text.size() != 16) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) {
            return false;
        }
    }
    return true;
}

}  // namespace

class ListingTest : public SimulatorTest {};

TEST_F(ListingTest, VolumeListingCarriesTheDefaultSeedInOrder) {
    HttpResult result = Get(Sim(), "/api/volumes");
    ASSERT_EQ(result.code, CURLE_OK);
    ASSERT_EQ(result.status, 200);
    auto volumes = Xml::Parse(result.body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 3u);
    const char* names[] = {"vol-1", "vol-2", "vol-3"};
    const char* displays[] = {"sqldata", "sqllog", "fileshare"};
    const char* groups[] = {"cg-1", "cg-2", "cg-3"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(volumes[i]["name"], names[i]);
        EXPECT_EQ(volumes[i]["display-name"], displays[i]);
        EXPECT_EQ(volumes[i]["cg-name"], groups[i]);
        EXPECT_TRUE(IsLowerHex16(volumes[i]["ieee-id"])) << volumes[i]["ieee-id"];
        // product-id: the ieee-id, a hyphen, the model text
        EXPECT_EQ(volumes[i]["product-id"], volumes[i]["ieee-id"] + "-QSTA-Volume");
    }
    EXPECT_EQ(volumes[0]["ieee-id"], "6b72760000000001");
}

TEST_F(ListingTest, VolumeListingFollowsTheModel) {
    qsta::VolumeSpec spec;
    spec.displayName = "with <markup> & \"quotes\"";
    spec.cgName = "cg-1";
    spec.productId = "no-hyphen-here-at-all";
    qsta::Volume added = Sim().AddVolume(spec);
    auto volumes = Xml::Parse(Get(Sim(), "/api/volumes").body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 4u);
    EXPECT_EQ(volumes[3]["name"], added.name);
    EXPECT_EQ(volumes[3]["display-name"], "with <markup> & \"quotes\"");
    EXPECT_EQ(volumes[3]["cg-name"], "cg-1");
    EXPECT_EQ(volumes[3]["product-id"], "no-hyphen-here-at-all");
    EXPECT_EQ(volumes[3]["ieee-id"], added.ieeeId);
    EXPECT_TRUE(IsLowerHex16(added.ieeeId));
}

TEST_F(ListingTest, EmptyApplianceListsNoVolumeElement) {
    Sim().Clear();
    HttpResult result = Get(Sim(), "/api/volumes");
    ASSERT_EQ(result.status, 200);
    Xml xml = Xml::Parse(result.body);
    EXPECT_EQ(xml.Count("//volumes"), 1u);
    EXPECT_EQ(xml.Count("//volumes/volume"), 0u);
    EXPECT_EQ(Xml::Parse(Get(Sim(), "/api/servers").body).Count("//servers/server"), 0u);
}

TEST_F(ListingTest, TenThousandVolumesAreAllListedWithDistinctIds) {
    auto names = Sim().AddVolumes(10000, "bench");
    ASSERT_EQ(names.size(), 10000u);
    EXPECT_EQ(Sim().VolumeCount(), 10003u);
    HttpResult result = Get(Sim(), "/api/volumes");
    ASSERT_EQ(result.status, 200);
    auto volumes = Xml::Parse(result.body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 10003u);
    std::set<std::string> ids;
    std::set<std::string> groups;
    for (const auto& volume : volumes) {
        ids.insert(volume.at("ieee-id"));
        groups.insert(volume.at("cg-name"));
    }
    EXPECT_EQ(ids.size(), 10003u);
    EXPECT_EQ(groups.size(), 10003u);
    EXPECT_EQ(volumes[3]["display-name"], "bench-1");
    EXPECT_EQ(volumes[10002]["display-name"], "bench-10000");
    EXPECT_EQ(volumes[10002]["name"], names.back());
}

TEST_F(ListingTest, ServerListingCarriesNameIqnAndAddress) {
    Sim().AddHost("iqn.2026-01.local.example:second", "192.0.2.20", "", "second");
    HttpResult result = Get(Sim(), "/api/servers");
    ASSERT_EQ(result.status, 200);
    auto servers = Xml::Parse(result.body).Select("//servers/server");
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0]["name"], "host-1");
    EXPECT_EQ(servers[0]["iqn"], "iqn.2026-01.local.example:backup01");
    EXPECT_EQ(servers[0]["iscsi-ip"], "192.0.2.10");
    EXPECT_EQ(servers[1]["iqn"], "iqn.2026-01.local.example:second");
    EXPECT_EQ(servers[1]["iscsi-ip"], "192.0.2.20");
    EXPECT_FALSE(servers[1]["name"].empty());
    EXPECT_NE(servers[1]["name"], "host-1");
}

TEST_F(ListingTest, SnapshotListingOfAGroupOldestFirst) {
    Sim().AddSnapshot("cg-2", "first", "snap-a");
    Sim().AddSnapshot("cg-2", "second");
    Sim().AddSnapshot("cg-1", "other group");
    HttpResult result = Get(Sim(), "/api/consistency_groups/cg-2/snapshots");
    ASSERT_EQ(result.status, 200);
    auto snapshots = Xml::Parse(result.body).Select("//snapshots/snapshot");
    ASSERT_EQ(snapshots.size(), 2u);
    EXPECT_EQ(snapshots[0]["name"], "snap-a");
    EXPECT_EQ(snapshots[0]["display-name"], "first");
    EXPECT_EQ(snapshots[1]["display-name"], "second");
    EXPECT_EQ(snapshots[1]["name"].find('_'), std::string::npos);
}

TEST_F(ListingTest, GroupWithoutSnapshotsListsNoSnapshotElement) {
    HttpResult result = Get(Sim(), "/api/consistency_groups/cg-3/snapshots");
    ASSERT_EQ(result.status, 200);
    Xml xml = Xml::Parse(result.body);
    EXPECT_EQ(xml.Count("//snapshots"), 1u);
    EXPECT_EQ(xml.Count("//snapshots/snapshot"), 0u);
}

TEST_F(ListingTest, SnapshotListingOfAnUnknownGroupIs404) {
    EXPECT_EQ(Get(Sim(), "/api/consistency_groups/cg-404/snapshots").status, 404);
}

TEST_F(ListingTest, DriveListingHasAStatusUnderShowDisksResponse) {
    HttpResult result = Get(Sim(), "/api/drives");
    ASSERT_EQ(result.status, 200);
    Xml xml = Xml::Parse(result.body);
    EXPECT_EQ(xml.Count("//show-disks-response/status"), 1u);
    EXPECT_EQ(xml.Text("//show-disks-response/status"), "0");
}
