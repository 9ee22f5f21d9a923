// Real data on the simulated storage network: ext4 on the source disk's
// block device, shadow copies that hold the data of their moment, mounts
// that come and go with the copies, and rollbacks that bring data back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "KHostDisks.h"
#include "KorvelAccessLibrary.h"
#include "ShadowEnv.h"

namespace korvel_test {
namespace {

namespace fs = std::filesystem;
using Korvel::KHostDisk;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::syncfs(fd);
    ::close(fd);
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

class ShadowDataTest : public ShadowTest {
protected:
    void SetUp() override {
        ShadowTest::SetUp();
        if (const std::string why = WhyNoData(); !why.empty()) GTEST_SKIP() << why;
        m_dataRoot = m_data.Path();
        RegisterProvider();
        a = &AddAppliance(kSeedA);
        if (Device(*a, "a1").empty() || !KHostDisk(Device(*a, "a1")).DevNo())
            GTEST_SKIP() << "the simulator's disks have no block device here";
    }
    void TearDown() override {
        // Whatever a failed test left mounted goes before the disks do.
        for (auto it = m_mounted.rbegin(); it != m_mounted.rend(); ++it)
            if (IsMountPoint(*it)) ::umount2(it->c_str(), MNT_DETACH);
        ShadowTest::TearDown();
        // The simulators are gone; the kernel lets go of their loop devices a moment later.
        for (int i = 0; i < 100 && LoopsUnder(m_data.Path()) != 0; ++i) ::usleep(20000);
        EXPECT_EQ(LoopsUnder(m_data.Path()), 0u) << "loop devices left attached";
    }

    // A fresh ext4 filesystem on the disk, mounted at a folder of the test.
    std::string MountNewFilesystem(const std::string& device) {
        const std::string node = KHostDisk(device).Node();
        EXPECT_EQ(std::system(("mkfs.ext4 -q -F " + node + " >/dev/null 2>&1").c_str()), 0);
        const std::string dir = Folder("source");
        EXPECT_EQ(::mount(node.c_str(), dir.c_str(), "ext4", 0, nullptr), 0) << std::strerror(errno);
        return dir;
    }
    std::string Folder(const std::string& name) {
        const std::string dir = m_data.Path() + "/" + name;
        fs::create_directories(dir);
        m_mounted.push_back(dir);
        return dir;
    }
    std::string IdOf(const CommandResult& created) {
        for (const auto& e : Catalogue())
            if (created.out.find(e.shadowId) != std::string::npos) return e.shadowId;
        return std::string();
    }

    qsta::Simulator* a = nullptr;
    TempDir m_data;
    std::vector<std::string> m_mounted;
};

TEST_F(ShadowDataTest, ACopyHoldsTheDataOfItsMomentAndARollbackBringsItBack) {
    const std::string disk = Device(*a, "a1");
    const std::string source = MountNewFilesystem(disk);
    const std::string before = RandomBytes(3 << 20, 1), after = RandomBytes(3 << 20, 2);
    Write(source + "/data.bin", before);
    CommandResult created = Shadow({"create", disk});
    ASSERT_EQ(created.exitCode, 0) << created.out << created.err;
    const std::string id = IdOf(created);
    Write(source + "/data.bin", after);

    // The copy shows the data as it was; the source as it is.
    const std::string copy = Folder("copy");
    CommandResult exposed = Shadow({"expose", id, "--mount", copy});
    ASSERT_EQ(exposed.exitCode, 0) << exposed.out << exposed.err;
    EXPECT_NE(exposed.out.find("Mounted the ext4 filesystem of"), std::string::npos) << exposed.out;
    EXPECT_TRUE(Contents(copy + "/data.bin") == before);
    EXPECT_TRUE(Contents(source + "/data.bin") == after);
    EXPECT_NE(Shadow({"list"}).out.find(" at " + copy), std::string::npos);
    const std::string copyDisk = Catalogue().at(0).exposedDevice;

    // Masking unmounts the copy and takes its disk away: nothing of it stays on the host.
    CommandResult masked = Shadow({"mask", id});
    ASSERT_EQ(masked.exitCode, 0) << masked.out << masked.err;
    EXPECT_FALSE(IsMountPoint(copy));
    EXPECT_FALSE(fs::exists(SanRoot() + "/class/block/" + copyDisk.substr(5)));
    EXPECT_EQ(LoopsUnder(m_data.Path()), 2u);  // a1 and a2 only

    // No rollback under a mounted filesystem.
    CommandResult refused = Shadow({"revert", id});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(disk + " is mounted at " + source + ": unmount it before rolling back"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(a->FindGroup(a->FindVolume("a1")->cgName)->rollbackCount, 0u);

    ASSERT_EQ(::umount2(source.c_str(), 0), 0);
    CommandResult reverted = Shadow({"revert", id});
    ASSERT_EQ(reverted.exitCode, 0) << reverted.out << reverted.err;
    ASSERT_EQ(::mount(KHostDisk(disk).Node().c_str(), source.c_str(), "ext4", 0, nullptr), 0);
    EXPECT_TRUE(Contents(source + "/data.bin") == before);

    // A copy in use is not taken away; once left, release removes mount, disk and loop device.
    ASSERT_EQ(Shadow({"expose", id, "--mount", copy}).exitCode, 0);
    const int inside = ::open((copy + "/data.bin").c_str(), O_RDONLY | O_CLOEXEC);
    CommandResult busy = Shadow({"release", id});
    EXPECT_EQ(busy.exitCode, 2);
    EXPECT_NE(busy.err.find(copy + " is in use"), std::string::npos) << busy.err;
    EXPECT_TRUE(IsMountPoint(copy));
    ::close(inside);
    CommandResult released = Shadow({"release", id});
    ASSERT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_FALSE(IsMountPoint(copy));
    EXPECT_EQ(LoopsUnder(m_data.Path()), 2u);
    EXPECT_TRUE(a->Snapshots().empty());
    EXPECT_TRUE(Catalogue().empty());
}

TEST_F(ShadowDataTest, ARenumberedDiskNeverCostsTheOtherCopyItsData) {
    const std::string a1 = Device(*a, "a1"), a2 = Device(*a, "a2");
    const std::string dataA = RandomBytes(1 << 20, 3), dataB = RandomBytes(1 << 20, 4);
    const std::string source = MountNewFilesystem(a1);
    Write(source + "/a.bin", dataA);
    ASSERT_EQ(::umount2(source.c_str(), 0), 0);
    const std::string node2 = KHostDisk(a2).Node();
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + node2 + " >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(::mount(node2.c_str(), source.c_str(), "ext4", 0, nullptr), 0);
    Write(source + "/b.bin", dataB);
    ASSERT_EQ(::umount2(source.c_str(), 0), 0);
    const std::string idA = IdOf(Shadow({"create", a1})), idB = IdOf(Shadow({"create", a2}));

    const std::string copyA = Folder("copy-a"), copyB = Folder("copy-b");
    ASSERT_EQ(Shadow({"expose", idA, "--mount", copyA}).exitCode, 0);
    const std::string diskA = Catalogue().at(0).exposedDevice;
    // The appliance unmaps A's clone; B, exposed next, takes the name A's disk had.
    Korvel::KAccessLayer::GlobalInit();
    {
        std::string address = a->Address(), key = a->AccessKey(), iqn = kHostIqn, server;
        Korvel::KArray array(address, key);
        ASSERT_EQ(array.GetServerIDByIQNFromArray(iqn, server), 0);
        for (auto v : a->Volumes())
            if (v.sourceSnapshot == Catalogue().at(0).snapshotName) array.DetachVolume(v.name, server);
    }
    Korvel::KAccessLayer::GlobalCleanup();
    CommandResult exposedB = Shadow({"expose", idB, "--mount", copyB});
    ASSERT_EQ(exposedB.exitCode, 0) << exposedB.out << exposedB.err;
    EXPECT_EQ(exposedB.out.substr(exposedB.out.rfind('\n', exposedB.out.size() - 2) + 1), diskA + "\n");

    CommandResult released = Shadow({"release", idA});
    ASSERT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_FALSE(IsMountPoint(copyA));
    EXPECT_TRUE(IsMountPoint(copyB));
    EXPECT_TRUE(Contents(copyB + "/b.bin") == dataB);
    ASSERT_EQ(Shadow({"release", idB}).exitCode, 0);
    EXPECT_FALSE(IsMountPoint(copyB));
}

}  // namespace
}  // namespace korvel_test
