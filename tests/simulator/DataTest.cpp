// The volumes' data as image files (Options::dataDir), without loop devices:
// sizes, the moment a snapshot is taken, an in-place rollback, refusals that
// leave nothing behind, and the images going with their volume or snapshot.
#include "SimTestSupport.h"
#include "TestEnv.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace simtest;
using korvel_test::ReadFile;
using korvel_test::TempDir;
using korvel_test::ThrownText;
namespace fs = std::filesystem;

namespace {

void WriteAt(const std::string& path, off_t offset, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

std::string ReadAt(const std::string& path, off_t offset, size_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    return bytes.substr(0, static_cast<size_t>(in.gcount()));
}

qsta::Options DataOptions(const std::string& dataDir) {
    qsta::Options options;
    options.defaultSeed = false;
    options.accessKey = "data-key";
    options.dataDir = dataDir;
    return options;
}

// A small tmpfs, so that an image copy runs out of space.
class SmallFilesystem {
public:
    SmallFilesystem(const std::string& dir, const std::string& size) : m_dir(dir) {
        fs::create_directories(dir);
        m_mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        if (!m_mounted) m_error = std::strerror(errno);
    }
    ~SmallFilesystem() {
        if (m_mounted) umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }
    const std::string& Error() const { return m_error; }

private:
    std::string m_dir;
    bool m_mounted = false;
    std::string m_error;
};

}  // namespace

TEST(SimulatorData, SizesAreCheckedAndImagesAreSparseFilesOfThatSize) {
    TempDir dir;
    qsta::Simulator sim(DataOptions(dir.Path() + "/data"));
    sim.LoadSeed("volume name=big size=1G\nvolume name=plain\nvolume name=exact size=4096\n");
    struct stat st {};
    ASSERT_EQ(stat(sim.VolumeImage("big").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1 << 30);
    EXPECT_EQ(st.st_blocks, 0);
    EXPECT_EQ(sim.FindVolume("big")->size, 1ull << 30);
    EXPECT_EQ(fs::file_size(sim.VolumeImage("plain")), qsta::kDefaultVolumeSize);
    EXPECT_EQ(fs::file_size(sim.VolumeImage("exact")), 4096u);

    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { sim.LoadSeed("volume size=1000\n"); }),
              "seed line 1: size 1000 is not a multiple of 512 bytes up to 16 TiB");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { sim.LoadSeed("volume size=2X\n"); }),
              "seed line 1: size \"2X\" is not a number of bytes or of K, M, G or T");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { sim.LoadSeed("volume size=17T\n"); }),
              "seed line 1: size \"17T\" is over 16 TiB");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { sim.LoadSeed("volume size=0\n"); }),
              "seed line 1: size must not be 0");
    EXPECT_EQ(sim.VolumeCount(), 3u);

    // One simulator per data folder.
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { qsta::Simulator second(DataOptions(dir.Path() + "/data")); }),
              "the data folder " + dir.Path() + "/data is in use by another simulator");
}

// A delayed snapshot-set request (Fault::Slow) is carried out after its
// delay: the snapshot holds what was written while it waited.
TEST(SimulatorData, SnapshotCopiesTheImageWhenTheRequestIsCarriedOutAndRollbackRestoresItInPlace) {
    TempDir dir;
    qsta::Simulator sim(DataOptions(dir.Path() + "/data"));
    sim.LoadSeed("volume name=d cg-name=g size=4M\n");
    sim.Start();
    const std::string image = sim.VolumeImage("d");
    WriteAt(image, 0, "before the request");
    sim.AddFault(qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", std::chrono::milliseconds(400)));
    auto answer = std::async(std::launch::async, [&] {
        return Post(sim, "/api/snapshots/snapshots_set", "snapshots_set_1_name=s1&snapshots_set_1_cg=g");
    });
    ASSERT_TRUE(WaitFor([&] { return sim.JournalSize() == 1; }));
    EXPECT_FALSE(sim.FindSnapshot("s1"));
    WriteAt(image, 0, "while it was delayed");
    ASSERT_EQ(CommandStatus(answer.get()), "0 Success");
    const std::string snapshot = sim.SnapshotImage("s1", "d");
    EXPECT_EQ(ReadAt(snapshot, 0, 20), "while it was delayed");
    EXPECT_EQ(fs::file_size(snapshot), 4u << 20);

    // Changed after the snapshot, at the start and where the snapshot has a hole.
    WriteAt(image, 0, "after the snapshot!!");
    WriteAt(image, 3 << 20, "in a hole");
    struct stat before {};
    ASSERT_EQ(stat(image.c_str(), &before), 0);
    ASSERT_EQ(CommandStatus(Post(sim, "/api/consistency_groups/g/rollback", "snapname=s1")), "0 Success");
    struct stat after {};
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ReadFile(image), ReadFile(snapshot));
    EXPECT_LE(after.st_blocks, before.st_blocks);

    // A clone is a copy of the snapshot; deleting takes the images away.
    ASSERT_EQ(CommandStatus(Post(sim, "/api/consistency_groups/g/clone", "snapshot=s1&name=c")), "0 Success");
    const std::string clone = sim.FindVolumeByDisplayName("c")->name;
    EXPECT_EQ(ReadFile(sim.VolumeImage(clone)), ReadFile(snapshot));
    ASSERT_EQ(CommandStatus(Delete(sim, "/api/volumes/" + clone)), "0 Success");
    EXPECT_FALSE(fs::exists(sim.VolumeImage(clone)));
    ASSERT_EQ(CommandStatus(Delete(sim, "/api/snapshots/s1")), "0 Success");
    EXPECT_FALSE(fs::exists(snapshot));
    // Clearing the snapshots takes their images too: a long run of snapshot sets must not fill the disk.
    // (IDs as long as the provider's: beyond the 15 characters a string holds without allocating.)
    const std::string first = sim.AddSnapshot("g", "x", "snap_2_6b72760000000001").id;
    const std::string second = sim.AddSnapshot("g", "y", "snap_3_6b72760000000001").id;
    sim.ClearSnapshots();
    EXPECT_FALSE(fs::exists(sim.SnapshotImage(first, "d")));
    EXPECT_FALSE(fs::exists(sim.SnapshotImage(second, "d")));
    ASSERT_EQ(CommandStatus(Delete(sim, "/api/volumes/d")), "0 Success");
    EXPECT_FALSE(fs::exists(image));
}

TEST(SimulatorData, SnapshotSetThatRunsOutOfSpaceIsRefusedAndLeavesNothing) {
    TempDir dir;
    SmallFilesystem small(dir.Path() + "/data", "3584k");
    if (!small.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << small.Error();
    {
        qsta::Simulator sim(DataOptions(dir.Path() + "/data"));
        sim.LoadSeed("volume name=a cg-name=ga size=8M\nvolume name=b cg-name=gb size=8M\n");
        sim.Start();
        WriteAt(sim.VolumeImage("a"), 0, std::string(1 << 20, 'a'));
        WriteAt(sim.VolumeImage("b"), 0, std::string(1 << 20, 'b'));
        // Room for the copy of a, not for b's as well.
        auto answer = Post(sim, "/api/snapshots/snapshots_set",
                           "snapshots_set_1_name=sa&snapshots_set_1_cg=ga&snapshots_set_2_name=sb&snapshots_set_2_cg=gb");
        const std::string message = CommandStatus(answer);
        EXPECT_EQ(message.rfind("1 Cannot make snapshot sb: cannot ", 0), 0u) << message;
        EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
        EXPECT_TRUE(sim.Snapshots().empty());
        EXPECT_TRUE(fs::is_empty(dir.Path() + "/data/snapshots"));
        EXPECT_EQ(ReadAt(sim.VolumeImage("b"), 0, 1), "b");
    }
    EXPECT_FALSE(fs::exists(dir.Path() + "/data/volumes"));  // the images go with the simulator
}

// Where the filesystem shares blocks, a snapshot and a clone cost no data
// blocks, and a rollback still lands in the same file, byte for byte.
TEST(SimulatorData, OnAFilesystemThatSharesBlocksCopiesAreReflinks) {
    std::string why;
    if (!LoopDevicesUsable(why)) GTEST_SKIP() << why;
    if (access("/usr/sbin/mkfs.xfs", X_OK) != 0 && access("/sbin/mkfs.xfs", X_OK) != 0)
        GTEST_SKIP() << "mkfs.xfs is not installed (Debian package xfsprogs)";
    TempDir dir;
    const std::string file = dir.Path() + "/xfs.img";
    const std::string mountPoint = dir.Path() + "/xfs";
    fs::create_directories(mountPoint);
    { std::ofstream(file).close(); }
    fs::resize_file(file, 512u << 20);
    ASSERT_EQ(std::system(("mkfs.xfs -q -m reflink=1 " + file).c_str()), 0);
    ASSERT_EQ(std::system(("mount -o loop " + file + " " + mountPoint).c_str()), 0);
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }  // the loop device it made detaches with it
    } unmount{mountPoint};

    qsta::Simulator sim(DataOptions(mountPoint + "/data"));
    sim.LoadSeed("volume name=d cg-name=g size=64M\n");
    sim.Start();
    const std::string image = sim.VolumeImage("d");
    WriteAt(image, 0, std::string(16 << 20, 's'));
    int held = open(image.c_str(), O_RDONLY | O_CLOEXEC);  // as a loop device holds it
    ASSERT_GE(held, 0);
    sync();
    auto freeBytes = [&] {
        struct statvfs st {};
        statvfs(mountPoint.c_str(), &st);
        return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    };
    const std::uint64_t before = freeBytes();
    ASSERT_EQ(CommandStatus(Post(sim, "/api/snapshots/snapshots_set", "snapshots_set_1_name=s&snapshots_set_1_cg=g")),
              "0 Success");
    ASSERT_EQ(CommandStatus(Post(sim, "/api/consistency_groups/g/clone", "snapshot=s&name=c")), "0 Success");
    sync();
    EXPECT_LT(before - freeBytes(), 4u << 20) << "the copies took data blocks";

    WriteAt(image, 0, std::string(1 << 20, 'x'));
    ASSERT_EQ(CommandStatus(Post(sim, "/api/consistency_groups/g/rollback", "snapname=s")), "0 Success");
    std::string first(4, '\0');
    ASSERT_EQ(pread(held, first.data(), first.size(), 0), 4);
    EXPECT_EQ(first, "ssss");
    close(held);
    EXPECT_EQ(ReadFile(image), ReadFile(sim.SnapshotImage("s", "d")));
    EXPECT_EQ(ReadFile(sim.VolumeImage(sim.FindVolumeByDisplayName("c")->name)), ReadFile(image));
}
