// Seeding the model: the default seed, seed texts and files, and code.
#include "SimTestSupport.h"
#include "TestEnv.h"

#include <fstream>
#include <stdexcept>

using namespace simtest;

namespace {

qsta::Options Unseeded() {
    qsta::Options options;
    options.defaultSeed = false;
    return options;
}

// A seed file in a temporary folder that goes away with the test.
class SeedFile {
public:
    explicit SeedFile(const std::string& text) : m_path(m_dir.Path() + "/seed.txt") { std::ofstream(m_path) << text; }
    const std::string& Path() const { return m_path; }

private:
    korvel_test::TempDir m_dir;
    std::string m_path;
};

}  // namespace

TEST(SimulatorSeed, DefaultSeedHasThreeVolumesInSeparateGroupsAndOneHost) {
    qsta::Simulator sim;
    auto volumes = sim.Volumes();
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].name, "vol-1");
    EXPECT_EQ(volumes[0].displayName, "sqldata");
    EXPECT_EQ(volumes[0].ieeeId, "6b72760000000001");
    EXPECT_EQ(volumes[0].productId, "6b72760000000001-QSTA-Volume");
    EXPECT_EQ(volumes[2].cgName, "cg-3");
    EXPECT_EQ(sim.Groups().size(), 3u);
    auto hosts = sim.Hosts();
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].name, "host-1");
    EXPECT_EQ(hosts[0].iqn, "iqn.2026-01.local.example:backup01");
    EXPECT_EQ(hosts[0].iscsiIp, "192.0.2.10");
    EXPECT_TRUE(sim.Snapshots().empty());
    EXPECT_TRUE(sim.Mappings().empty());
}

TEST(SimulatorSeed, WithoutDefaultSeedTheModelIsEmpty) {
    qsta::Simulator sim(Unseeded());
    EXPECT_EQ(sim.VolumeCount(), 0u);
    EXPECT_TRUE(sim.Hosts().empty());
    EXPECT_TRUE(sim.Groups().empty());
}

TEST(SimulatorSeed, SeedTextBuildsTheModel) {
    qsta::Simulator sim(Unseeded());
    sim.LoadSeed(
        "# a comment, then a blank line\n"
        "\n"
        "volume name=data display-name=Data%20Disk cg-name=grp ieee-id=00112233445566aa model=X1\n"
        "volume name=log cg-name=grp\n"
        "volumes count=3 prefix=many   # three more, one group each\n"
        "host name=h1 iqn=iqn.2026-05.local.example:a iscsi-ip=10.1.1.1 display-name=alpha\r\n"
        "snapshot cg-name=grp display-name=first id=snap-first\n"
        "map volume=data host=h1\n");
    auto data = sim.FindVolume("data");
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->displayName, "Data Disk");
    EXPECT_EQ(data->productId, "00112233445566aa-X1");
    EXPECT_EQ(sim.FindGroup("grp")->volumes, (std::vector<std::string>{"data", "log"}));
    EXPECT_EQ(sim.VolumeCount(), 5u);
    EXPECT_TRUE(sim.FindVolumeByDisplayName("many-3").has_value());
    EXPECT_EQ(sim.FindHost("h1")->displayName, "alpha");
    EXPECT_EQ(sim.FindSnapshot("snap-first")->cgName, "grp");
    EXPECT_TRUE(sim.IsMapped("data", "h1"));
}

TEST(SimulatorSeed, BadSeedLineNamesItsNumber) {
    qsta::Simulator sim(Unseeded());
    try {
        sim.LoadSeed("volume name=a\nvolume name=a\n");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), "seed line 2: volume \"a\" exists");
    }
    EXPECT_THROW(sim.LoadSeed("teapot short=stout"), std::invalid_argument);
    EXPECT_THROW(sim.LoadSeed("volume colour=blue"), std::invalid_argument);
    EXPECT_THROW(sim.LoadSeed("volume name"), std::invalid_argument);
    EXPECT_THROW(sim.LoadSeed("volumes count=many"), std::invalid_argument);
}

TEST(SimulatorSeed, SeedFileReplacesTheDefaultSeed) {
    SeedFile file("volume name=only display-name=only-one\nhost iqn=iqn.x iscsi-ip=1.2.3.4\n");
    qsta::Options options;
    options.seedFile = file.Path();
    qsta::Simulator sim(options);
    ASSERT_EQ(sim.VolumeCount(), 1u);
    EXPECT_EQ(sim.Volumes()[0].name, "only");
    ASSERT_EQ(sim.Hosts().size(), 1u);
    EXPECT_EQ(sim.Hosts()[0].iqn, "iqn.x");
    EXPECT_EQ(sim.Hosts()[0].displayName, "iqn.x");

    sim.Start();
    auto volumes = Xml::Parse(Get(sim, "/api/volumes").body).Select("//volumes/volume");
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]["display-name"], "only-one");
}

TEST(SimulatorSeed, MissingOrBadSeedFileThrowsNamingTheFile) {
    qsta::Options options;
    options.seedFile = "/nonexistent/seed.txt";
    EXPECT_THROW({ qsta::Simulator sim(options); }, std::invalid_argument);

    SeedFile bad("host iscsi-ip=1.1.1.1\n");
    options.seedFile = bad.Path();
    try {
        qsta::Simulator sim(options);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), bad.Path() + ": seed line 1: a host entry needs an iqn");
    }
}

TEST(SimulatorSeed, AddVolumeRejectsDuplicatesAndBadIds) {
    qsta::Simulator sim;
    qsta::VolumeSpec spec;
    spec.name = "vol-1";
    EXPECT_THROW(sim.AddVolume(spec), std::invalid_argument);
    spec.name = "fresh";
    spec.ieeeId = "6b72760000000001";
    EXPECT_THROW(sim.AddVolume(spec), std::invalid_argument);
    spec.ieeeId = "12345";
    EXPECT_THROW(sim.AddVolume(spec), std::invalid_argument);
    spec.ieeeId = "00000000000000zz";
    EXPECT_THROW(sim.AddVolume(spec), std::invalid_argument);
    spec.ieeeId = "ABCDEF0123456789";  // kept verbatim, upper case included
    EXPECT_EQ(sim.AddVolume(spec).ieeeId, "ABCDEF0123456789");
    EXPECT_EQ(sim.VolumeCount(), 4u);
}

TEST(SimulatorSeed, AddVolumeGeneratesWhatIsNotGiven) {
    qsta::Simulator sim(Unseeded());
    qsta::Volume first = sim.AddVolume("first");
    qsta::Volume second = sim.AddVolume("second");
    EXPECT_NE(first.name, second.name);
    EXPECT_NE(first.cgName, second.cgName);
    EXPECT_NE(first.ieeeId, second.ieeeId);
    EXPECT_EQ(first.displayName, "first");
    qsta::VolumeSpec joined;
    joined.cgName = first.cgName;
    qsta::Volume third = sim.AddVolume(joined);
    EXPECT_EQ(third.displayName, third.name);
    EXPECT_EQ(sim.FindGroup(first.cgName)->volumes.size(), 2u);
}

TEST(SimulatorSeed, HostsSnapshotsAndMappingsRejectInconsistentInput) {
    qsta::Simulator sim;
    EXPECT_THROW(sim.AddHost("iqn.2026-01.local.example:backup01", "1.1.1.1"), std::invalid_argument);
    EXPECT_THROW(sim.AddHost("", "1.1.1.1"), std::invalid_argument);
    EXPECT_THROW(sim.AddHost("iqn.new", "1.1.1.1", "host-1"), std::invalid_argument);
    EXPECT_THROW(sim.AddSnapshot("cg-404", "x"), std::invalid_argument);
    // IDs are names as a snapshot set asks for them, '_' included.
    EXPECT_EQ(sim.AddSnapshot("cg-1", "x", "snap_1_6b72760000000001").id, "snap_1_6b72760000000001");
    sim.AddSnapshot("cg-1", "x", "snap-x");
    EXPECT_THROW(sim.AddSnapshot("cg-2", "y", "snap-x"), std::invalid_argument);
    EXPECT_THROW(sim.MapVolume("vol-404", "host-1"), std::invalid_argument);
    EXPECT_THROW(sim.MapVolume("vol-1", "host-404"), std::invalid_argument);
    sim.MapVolume("vol-1", "host-1");
    EXPECT_THROW(sim.MapVolume("vol-1", "host-1"), std::invalid_argument);
    EXPECT_EQ(sim.Mappings().size(), 1u);

    // Clearing snapshots keeps everything else, and a cleared ID can be taken again.
    sim.ClearSnapshots();
    EXPECT_TRUE(sim.Snapshots().empty());
    EXPECT_TRUE(sim.FindGroup("cg-1")->snapshots.empty());
    EXPECT_EQ(sim.VolumeCount(), 3u);
    EXPECT_TRUE(sim.IsMapped("vol-1", "host-1"));
    EXPECT_EQ(sim.AddSnapshot("cg-2", "y", "snap-x").id, "snap-x");
}

TEST(SimulatorSeed, ClearEmptiesTheModelAndNamesAreNotReused) {
    qsta::Simulator sim(Unseeded());
    qsta::Volume before = sim.AddVolume("a");
    sim.Clear();
    EXPECT_EQ(sim.VolumeCount(), 0u);
    EXPECT_TRUE(sim.Groups().empty());
    sim.LoadDefaultSeed();
    EXPECT_EQ(sim.VolumeCount(), 3u);
    qsta::Volume after = sim.AddVolume("a");
    EXPECT_NE(before.name, after.name);
    EXPECT_NE(before.ieeeId, after.ieeeId);
    EXPECT_NE(after.name, "vol-1");
    EXPECT_NE(after.name, "vol-2");
    EXPECT_NE(after.name, "vol-3");
    // The default seed's fixed names are now taken.
    EXPECT_THROW(sim.LoadDefaultSeed(), std::invalid_argument);
    EXPECT_EQ(sim.VolumeCount(), 4u);
}
