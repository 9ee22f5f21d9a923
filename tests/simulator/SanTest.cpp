// The storage network as hosts see it: disks that appear on a rescan and stay
// stale until deleted, several hosts, and the volumes' data on real loop
// devices through snapshot, clone and rollback.
#include "SimTestSupport.h"
#include "TestEnv.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace simtest;
using korvel_test::ReadFile;
using korvel_test::RunInChild;
using korvel_test::TempDir;
namespace fs = std::filesystem;

namespace {

const char* const kIqn = "iqn.2026-12.local.example:san-test";
const char* const kOtherIqn = "iqn.2026-12.local.example:backup-host";
constexpr off_t kMiB = 1 << 20;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string Sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    char hex[3];
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        out += hex;
    }
    return out;
}

// A whole block device or file, read as the host reads it. For a device,
// its buffers are dropped first (BLKFLSBUF): after the appliance changed the
// data underneath, as a host does after a rollback.
std::string ReadAll(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return std::string();
    }
    struct stat st {};
    fstat(fd, &st);
    if (S_ISBLK(st.st_mode)) {
        EXPECT_EQ(ioctl(fd, BLKFLSBUF, 0), 0) << path;
    }
    std::string bytes;
    char buffer[1 << 16];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<size_t>(n));
    close(fd);
    return bytes;
}

void WriteAt(const std::string& path, off_t offset, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(fsync(fd), 0);
    close(fd);
}

std::optional<qsta::SanDisk> DiskOf(const qsta::Simulator& sim, const std::string& volume,
                                    const std::string& iqn = kIqn) {
    for (const auto& disk : sim.SanDisks())
        if (disk.volumeName == volume && disk.hostIqn == iqn) return disk;
    return std::nullopt;
}

// Which volume each sdX of a tree shows, read as a host reads it.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> shown;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root + "/class/block", ec)) {
        std::string page = ReadFile(entry.path().string() + "/device/vpd_pg80");
        shown[entry.path().filename().string()] = page.size() > 4 ? page.substr(4) : "?";
    }
    return shown;
}

// Runs `body` in a forked child that may not use loop devices (root drops to
// user and group 65534 first); returns what it returned.
std::string RunWithoutLoopDevices(const std::function<std::string()>& body) {
    return RunInChild(
        [] {
            if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                                   setresuid(65534, 65534, 65534) != 0))
                return std::string("cannot drop to user 65534");
            return std::string();
        },
        body);
}

class SanTest : public ::testing::Test {
protected:
    // A started simulator playing the storage network for kIqn (host entry
    // "h") under Root(), seeded with `seed`.
    qsta::Simulator& Start(const std::string& seed, bool withData) {
        qsta::Options options;
        options.defaultSeed = false;
        options.accessKey = "san-key";
        options.sanRoot = Root();
        options.hostIqn = kIqn;
        if (withData) options.dataDir = m_dir.Path() + "/data";
        options.requestLog = [this](const std::string& line) {
            std::lock_guard lock(m_logMutex);
            m_log.push_back(line);
        };
        m_sim = std::make_unique<qsta::Simulator>(options);
        m_sim->LoadSeed("host name=h iqn=" + std::string(kIqn) + "\n" + seed);
        m_sim->Start();
        return *m_sim;
    }

    // Whatever the test did, the simulator goes and takes its loop devices.
    void TearDown() override {
        m_sim.reset();
        if (!WaitFor([&] { return LoopsBackedBy(m_dir.Path()).empty(); })) {
            for (const auto& line : LoopsBackedBy(m_dir.Path())) {
                ADD_FAILURE() << "loop device left: " << line;
                if (std::system(("losetup -d " + line.substr(0, line.find(' '))).c_str()) != 0)
                    ADD_FAILURE() << "cannot detach it";
            }
        }
    }

    std::string Root() const { return m_dir.Path() + "/sys"; }
    bool Logged(const std::string& fragment) {
        std::lock_guard lock(m_logMutex);
        for (const auto& line : m_log)
            if (line.find(fragment) != std::string::npos) return true;
        return false;
    }

    TempDir m_dir;
    std::unique_ptr<qsta::Simulator> m_sim;
    std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

}  // namespace

TEST_F(SanTest, MappedDiskAppearsOnARescanAndAnUnmappedOneStaysUntilDeletedOrTheNextScan) {
    qsta::Simulator& sim = Start("volume name=v1\nvolume name=v2\n", false);
    const std::string scan = sim.ScanFile();
    ASSERT_FALSE(scan.empty());
    const std::string hostDir = fs::path(scan).parent_path().filename().string();  // "hostN"
    EXPECT_EQ(ReadFile(Root() + "/class/scsi_host/" + hostDir + "/proc_name"), "iscsi_tcp\n");
    EXPECT_EQ(ReadFile(scan), "");

    ASSERT_EQ(CommandStatus(Post(sim, "/api/servers/h/volumes", "id=h&volume_name=v1")), "0 Success");
    // Anything but "- - -" is no scan: once the watcher has said so, still no disk.
    WriteText(scan, "rescan please\n");
    ASSERT_TRUE(WaitFor([&] { return Logged("scan: ignored \"rescan please\""); }));
    EXPECT_TRUE(Tree(Root()).empty());
    EXPECT_TRUE(sim.SanDisks().empty());

    WriteText(scan, "- - -\n");
    ASSERT_TRUE(WaitFor([&] { return Tree(Root()).size() == 1; }));
    EXPECT_EQ(Tree(Root()), (std::map<std::string, std::string>{{"sdb", "v1"}}));
    auto disk = DiskOf(sim, "v1");
    ASSERT_TRUE(disk);
    EXPECT_EQ("host" + std::to_string(disk->scsiHost), hostDir);
    const std::string h = std::to_string(disk->scsiHost);
    EXPECT_EQ(fs::read_symlink(Root() + "/class/block/sdb").string(),
              "../../devices/platform/host" + h + "/session" + h + "/target" + h + ":0:0/" + h + ":0:0:0/block/sdb");
    EXPECT_EQ(ReadFile(Root() + "/class/block/sdb/size"), std::to_string(qsta::kDefaultVolumeSize / 512) + "\n");
    EXPECT_FALSE(fs::exists(Root() + "/class/block/sdb/dev"));  // no data folder: no block device to name

    // v1 unmapped: its disk stays, stale, until deleted; v2 waits for a scan.
    ASSERT_EQ(CommandStatus(Post(sim, "/api/servers/h/volumes", "id=h&volume_name=v2")), "0 Success");
    ASSERT_EQ(CommandStatus(Post(sim, "/api/volumes/v1/detach", "servers=h")), "0 Success");
    EXPECT_EQ(Tree(Root()), (std::map<std::string, std::string>{{"sdb", "v1"}}));
    ASSERT_TRUE(DiskOf(sim, "v1"));
    EXPECT_TRUE(DiskOf(sim, "v1")->stale);
    WriteText(Root() + "/class/block/sdb/device/delete", "1\n");
    ASSERT_TRUE(WaitFor([&] { return Tree(Root()).empty(); }));
    EXPECT_TRUE(sim.SanDisks().empty());
    EXPECT_FALSE(fs::exists(Root() + "/devices/platform/host" + h + "/session" + h + "/target" + h + ":0:0/" + h +
                            ":0:0:0"));

    WriteText(scan, "- - -\n");
    ASSERT_TRUE(WaitFor([&] { return Tree(Root()).size() == 1; }));
    EXPECT_EQ(Tree(Root()), (std::map<std::string, std::string>{{"sdb", "v2"}}));
    EXPECT_FALSE(DiskOf(sim, "v2")->stale);

    // The next scan takes a stale disk away too.
    ASSERT_EQ(CommandStatus(Post(sim, "/api/volumes/v2/detach", "servers=h")), "0 Success");
    EXPECT_TRUE(DiskOf(sim, "v2")->stale);
    WriteText(scan, "- - -\n");
    ASSERT_TRUE(WaitFor([&] { return Tree(Root()).empty(); }));
    EXPECT_TRUE(sim.SanDisks().empty());
}

TEST_F(SanTest, EachHostSeesTheDisksMappedToItsInitiatorUnderItsOwnTree) {
    const std::string rootA = m_dir.Path() + "/host-a";
    const std::string rootB = m_dir.Path() + "/host-b";
    qsta::Options options;
    options.defaultSeed = false;
    options.sanHosts = {{kIqn, rootA}, {kOtherIqn, rootB}};
    options.seedFile = m_dir.Path() + "/seed";
    WriteText(options.seedFile, "volume name=v1\nvolume name=v2\nhost name=a iqn=" + std::string(kIqn) +
                                    "\nhost name=b iqn=" + kOtherIqn + "\nmap volume=v1 host=a\nmap volume=v2 host=b\n");
    qsta::Simulator sim(options);
    sim.Start();
    EXPECT_EQ(Tree(rootA), (std::map<std::string, std::string>{{"sdb", "v1"}}));
    EXPECT_EQ(Tree(rootB), (std::map<std::string, std::string>{{"sdb", "v2"}}));
    ASSERT_NE(sim.ScanFile(kIqn), sim.ScanFile(kOtherIqn));
    EXPECT_EQ(sim.ScanFile(kOtherIqn).rfind(rootB + "/class/scsi_host/host", 0), 0u);

    // v1 mapped to the backup host too: only that host's scan shows it there.
    ASSERT_EQ(CommandStatus(Post(sim, "/api/servers/b/volumes", "id=b&volume_name=v1")), "0 Success");
    WriteText(sim.ScanFile(kIqn), "- - -\n");
    WriteText(sim.ScanFile(kOtherIqn), "- - -\n");
    ASSERT_TRUE(WaitFor([&] { return Tree(rootB).size() == 2; }));
    EXPECT_EQ(Tree(rootB), (std::map<std::string, std::string>{{"sdb", "v2"}, {"sdc", "v1"}}));
    EXPECT_EQ(Tree(rootA), (std::map<std::string, std::string>{{"sdb", "v1"}}));

    ASSERT_EQ(CommandStatus(Post(sim, "/api/volumes/v1/detach", "servers=b")), "0 Success");
    WriteText(sim.ScanFile(kOtherIqn), "- - -\n");
    ASSERT_TRUE(WaitFor([&] { return Tree(rootB).size() == 1; }));
    EXPECT_EQ(Tree(rootA), (std::map<std::string, std::string>{{"sdb", "v1"}}));

    options.sanHosts.push_back({kIqn, m_dir.Path() + "/again"});
    EXPECT_EQ(korvel_test::ThrownText<std::invalid_argument>([&] { qsta::Simulator twice(options); }),
              std::string("qsta-simulator: SAN host ") + kIqn + " is given twice");
}

TEST_F(SanTest, DataWrittenOnTheBlockDeviceSurvivesSnapshotCloneAndRollback) {
    std::string why;
    if (!LoopDevicesUsable(why)) GTEST_SKIP() << why;
    qsta::Simulator& sim = Start("volume name=src cg-name=g size=8M\nmap volume=src host=h\n", true);
    auto source = DiskOf(sim, "src");
    ASSERT_TRUE(source);
    ASSERT_FALSE(source->loopDevice.empty()) << "the simulator said why not in its log";
    struct stat st {};
    ASSERT_EQ(stat(source->loopDevice.c_str(), &st), 0);
    EXPECT_EQ(ReadFile(Root() + "/class/block/sdb/dev"),
              std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "\n");
    EXPECT_EQ(ReadFile(Root() + "/class/block/sdb/size"), "16384\n");
    EXPECT_EQ(LoopsBackedBy(m_dir.Path()).size(), 1u);

    // What the host wrote before the snapshot, and what the snapshot must hold.
    const std::string early(kMiB, 'E');
    WriteAt(source->loopDevice, 0, early);
    WriteAt(source->loopDevice, 4 * kMiB, early);
    std::string expected(8 * kMiB, '\0');
    expected.replace(0, kMiB, early);
    expected.replace(4 * kMiB, kMiB, early);
    ASSERT_EQ(CommandStatus(Post(sim, "/api/snapshots/snapshots_set", "snapshots_set_1_name=snap_1&snapshots_set_1_cg=g")),
              "0 Success");
    EXPECT_EQ(Sha256(ReadAll(sim.SnapshotImage("snap_1", "src"))), Sha256(expected));

    // Later writes, one where the snapshot has a hole.
    WriteAt(source->loopDevice, 0, std::string(kMiB, 'L'));
    WriteAt(source->loopDevice, 6 * kMiB, std::string(kMiB, 'L'));

    // The clone holds the snapshot's data, on its own disk once the host rescans.
    auto cloned = Xml::Parse(Post(sim, "/api/consistency_groups/g/clone", "snapshot=snap_1&name=copy").body);
    ASSERT_EQ(cloned.Text("/*/status"), "0");
    const std::string clone = sim.FindVolumeByDisplayName("copy")->name;
    ASSERT_EQ(CommandStatus(Post(sim, "/api/servers/h/volumes", "id=h&volume_name=" + clone)), "0 Success");
    EXPECT_FALSE(DiskOf(sim, clone));
    WriteText(sim.ScanFile(), "- - -\n");
    ASSERT_TRUE(WaitFor([&] { return DiskOf(sim, clone).has_value(); }));
    const auto copy = *DiskOf(sim, clone);
    ASSERT_FALSE(copy.loopDevice.empty());
    EXPECT_EQ(Sha256(ReadAll(copy.loopDevice)), Sha256(expected));

    // The rollback writes the volume's image in place, under its loop device.
    const std::string image = sim.VolumeImage("src");
    struct stat before {};
    ASSERT_EQ(stat(image.c_str(), &before), 0);
    ASSERT_EQ(CommandStatus(Post(sim, "/api/consistency_groups/g/rollback", "snapname=snap_1")), "0 Success");
    struct stat after {};
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(Sha256(ReadAll(source->loopDevice)), Sha256(expected));
    EXPECT_EQ(Sha256(ReadAll(image)), Sha256(expected));
    // Where the snapshot has a hole, the image has one again.
    int snapFd = open(sim.SnapshotImage("snap_1", "src").c_str(), O_RDONLY | O_CLOEXEC);
    int imageFd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(lseek(imageFd, 5 * kMiB, SEEK_DATA), lseek(snapFd, 5 * kMiB, SEEK_DATA));
    close(snapFd);
    close(imageFd);

    // Unmapped, the clone's disk stays until the host deletes it; then its
    // loop device goes, and deleting the volume and snapshot deletes their images.
    ASSERT_EQ(CommandStatus(Post(sim, "/api/volumes/" + clone + "/detach", "servers=h")), "0 Success");
    ASSERT_TRUE(DiskOf(sim, clone));
    EXPECT_TRUE(DiskOf(sim, clone)->stale);
    EXPECT_EQ(LoopsBackedBy(m_dir.Path()).size(), 2u);
    WriteText(Root() + "/class/block/" + copy.device + "/device/delete", "1\n");
    ASSERT_TRUE(WaitFor([&] { return LoopsBackedBy(m_dir.Path()).size() == 1; }));
    EXPECT_FALSE(fs::exists(Root() + "/class/block/" + copy.device));
    ASSERT_EQ(CommandStatus(Delete(sim, "/api/volumes/" + clone)), "0 Success");
    EXPECT_FALSE(fs::exists(sim.VolumeImage(clone)));
    ASSERT_EQ(CommandStatus(Delete(sim, "/api/snapshots/snap_1")), "0 Success");
    EXPECT_FALSE(fs::exists(sim.SnapshotImage("snap_1", "src")));
    EXPECT_TRUE(fs::exists(image));
}

TEST_F(SanTest, WithoutLoopDevicesTheSimulatorSaysSoOnceAndShowsDisksWithoutABlockDevice) {
    fs::permissions(m_dir.Path(), fs::perms::all);  // for user 65534
    const std::string result = RunWithoutLoopDevices([&] {
        std::vector<std::string> said;
        std::mutex mutex;
        qsta::Options options;
        options.defaultSeed = false;
        options.sanRoot = Root();
        options.hostIqn = kIqn;
        options.dataDir = m_dir.Path() + "/data";
        options.requestLog = [&](const std::string& line) {
            std::lock_guard lock(mutex);
            said.push_back(line);
        };
        std::string out;
        try {
            qsta::Simulator sim(options);
            sim.LoadSeed("volume name=v1\nvolume name=v2\nhost name=h iqn=" + std::string(kIqn) +
                         "\nmap volume=v1 host=h\nmap volume=v2 host=h\n");
            sim.Start();
            for (const auto& disk : sim.SanDisks())
                out += disk.device + (disk.loopDevice.empty() ? " no loop" : " loop") +
                       (fs::exists(Root() + "/class/block/" + disk.device + "/dev") ? " dev" : " no dev") +
                       (fs::exists(sim.VolumeImage(disk.volumeName)) ? " image\n" : " no image\n");
        } catch (const std::exception& error) {
            out += std::string("threw: ") + error.what() + "\n";
        }
        std::lock_guard lock(mutex);
        for (const auto& line : said) out += line + "\n";
        return out;
    });
    const std::string disks = "sdb no loop no dev image\nsdc no loop no dev image\n";
    ASSERT_EQ(result.substr(0, disks.size()), disks) << result;
    const std::string said = result.substr(disks.size());
    EXPECT_EQ(said.rfind("qsta-simulator: loop devices cannot be used (/dev/loop-control: ", 0), 0u) << said;
    EXPECT_NE(said.find("): the disks have no block device\n"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;  // once, for two disks
}
