// Real data on the simulated storage network: ext4 on the source disk's
// block device, shadow copies that hold the data of their moment, mounts
// that come and go with the copies, and rollbacks that bring data back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

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

// ---------------------------------------------------------------------------
// Application-consistent copies: hooks, frozen filesystems, the hold limit

// A hook script of the test's hook folder, as root keeps them (mode 0755).
void Hook(const std::string& folder, const std::string& name, const std::string& body, mode_t mode = 0755) {
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 0755);
    const std::string path = folder + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), mode);
}

// Writes 4 KiB and fsync in a loop; how long the operation under way has taken.
class Writer {
public:
    explicit Writer(const std::string& path) : m_thread([this, path] { Run(path); }) {}
    ~Writer() {
        m_stop = true;
        m_thread.join();
    }
    // Milliseconds the current write has been waiting; 0 between writes.
    long long Waiting() const {
        const long long since = m_since.load();
        return since == 0 ? 0 : Now() - since;
    }
    long long Longest() const { return m_longest.load(); }

private:
    static long long Now() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Run(const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const std::string block(4096, 'w');
        while (!m_stop && fd >= 0) {
            const long long start = Now();
            m_since = start;
            if (::pwrite(fd, block.data(), block.size(), 0) < 0 || ::fsync(fd) != 0) break;
            m_since = 0;
            m_longest = std::max(m_longest.load(), Now() - start);
            ::usleep(2000);
        }
        if (fd >= 0) ::close(fd);
    }
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_since{0};
    std::atomic<long long> m_longest{0};
    std::thread m_thread;
};

TEST_F(ShadowDataTest, FrozenForTheCommitACopyHoldsUnsyncedDataAndWhatTheHooksFlushed) {
    const std::string disk = Device(*a, "a1");
    const std::string source = MountNewFilesystem(disk);
    const std::string hooks = SanRoot() + "/freeze-hook.d";
    // The application flushes its state when told to freeze.
    Hook(hooks, "10-application",
         "echo \"$1 set $KORVEL_SNAPSHOT_SET_ID disks $KORVEL_SOURCE_DISKS\"\n"
         "[ \"$1\" = freeze ] && echo flushed > \"$KORVEL_MOUNT_POINTS/marker\"\nexit 0\n");
    Hook(hooks, "20-anyone-may-edit", "exit 0\n", 0777);
    const std::string unsynced = RandomBytes(3 << 20, 5);
    std::ofstream(source + "/unsynced.bin", std::ios::binary) << unsynced;  // no fsync
    a->AddFault(qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", std::chrono::milliseconds(300)));

    CommandResult created = Shadow({"create", disk});
    ASSERT_EQ(created.exitCode, 0) << created.out << created.err;
    // Held through the commit, which took 300 ms at least.
    const size_t held = created.out.find("Held 1 filesystem(s) frozen for ");
    ASSERT_NE(held, std::string::npos) << created.out;
    const long heldMs = std::atol(created.out.c_str() + held + 32);
    EXPECT_GE(heldMs, 300) << created.out;
    EXPECT_LT(heldMs, 10000) << created.out;
    EXPECT_NE(created.out.find("FreezeHook " + hooks + "/10-application"), std::string::npos) << created.out;
    EXPECT_NE(created.out.find("| freeze set {"), std::string::npos) << created.out;
    EXPECT_NE(created.out.find("ThawHook " + hooks + "/10-application"), std::string::npos);
    EXPECT_NE(created.out.find("Freeze hook " + hooks + "/20-anyone-may-edit is skipped: it can be changed by others "
                               "than root, and would run as root"),
              std::string::npos)
        << created.out;
    EXPECT_NE(created.out.find("application-consistent"), std::string::npos);
    const std::string id = IdOf(created);
    EXPECT_EQ(Catalogue().at(0).consistency, "application");

    const std::string copy = Folder("copy");
    ASSERT_EQ(Shadow({"expose", id, "--mount", copy}).exitCode, 0);
    EXPECT_TRUE(Contents(copy + "/unsynced.bin") == unsynced);
    EXPECT_EQ(Contents(copy + "/marker"), "flushed\n");
    ASSERT_EQ(Shadow({"release", id}).exitCode, 0);

    // Without a filesystem to freeze, or with --no-freeze: crash-consistent.
    CommandResult crash = Shadow({"create", "--no-freeze", "--json", disk});
    ASSERT_EQ(crash.exitCode, 0) << crash.out;
    EXPECT_EQ(JsonField(crash.out, "consistency"), "crash");
    EXPECT_EQ(crash.out.find("FreezeHook"), std::string::npos);
}

TEST_F(ShadowDataTest, AHookThatFailsOrOverrunsAbortsTheSetAndThawsWhatFroze) {
    const std::string disk = Device(*a, "a1");
    const std::string source = MountNewFilesystem(disk);
    const std::string hooks = SanRoot() + "/freeze-hook.d";
    const std::string journal = m_data.Path() + "/hooks.log";
    Hook(hooks, "10-first", "echo \"first $1\" >> " + journal + "\n");
    Hook(hooks, "20-fails", "echo \"cannot flush\"; exit 3\n");
    CommandResult failed = Shadow({"create", disk});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.err.find("Freeze hook " + hooks + "/20-fails exited with status 3: the snapshot set is aborted"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(Contents(journal), "first freeze\nfirst thaw\n");
    EXPECT_TRUE(a->Snapshots().empty());
    EXPECT_TRUE(Catalogue().empty());
    Write(source + "/still-writable", "yes");

    fs::remove(hooks + "/20-fails");
    Hook(hooks, "30-hangs", "sleep 30\n");
    const auto start = std::chrono::steady_clock::now();
    CommandResult overran = Shadow({"create", "--hook-timeout", "1", disk});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(overran.exitCode, 1);
    EXPECT_NE(overran.err.find(hooks + "/30-hangs overran its time limit of 1 s and was stopped"), std::string::npos)
        << overran.err;
    EXPECT_TRUE(a->Snapshots().empty());
}

TEST_F(ShadowDataTest, TheHoldLimitHoldsThroughAHangingCommitAndAKilledCommand) {
    const std::string disk = Device(*a, "a1");
    const std::string source = MountNewFilesystem(disk);
    Writer writer(source + "/busy.bin");
    // A commit that takes 3 s against a hold limit of 1 s.
    a->AddFault(qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", std::chrono::milliseconds(3000)));
    CommandResult late = Shadow({"create", "--hold-limit", "1", disk});
    EXPECT_EQ(late.exitCode, 1);
    EXPECT_NE(late.err.find("The filesystems were held for 1 s and released before the appliance committed; nothing "
                            "was kept"),
              std::string::npos)
        << late.err;
    EXPECT_LE(writer.Longest(), 2000);  // the hold limit and a second
    EXPECT_TRUE(a->Snapshots().empty());
    EXPECT_TRUE(Catalogue().empty());

    // Killed while the filesystems are frozen: writable again within a second.
    a->AddFault(qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", std::chrono::milliseconds(5000)));
    const pid_t pid = StartShadow({"create", disk});
    for (int i = 0; i < 500 && writer.Waiting() < 300; ++i) ::usleep(10000);
    ASSERT_GE(writer.Waiting(), 300) << "the filesystem was never frozen";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const auto killed = std::chrono::steady_clock::now();
    while (writer.Waiting() != 0 && std::chrono::steady_clock::now() - killed < std::chrono::seconds(5)) ::usleep(5000);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
}

TEST_F(ShadowDataTest, FilesystemsThatCannotBeFrozenNowAreRefused) {
    const std::string disk = Device(*a, "a1");
    const std::string source = MountNewFilesystem(disk);
    // Frozen by someone else: refused, and left frozen.
    const int fd = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::ioctl(fd, FIFREEZE, 0), 0);
    CommandResult frozen = Shadow({"create", disk});
    const int stillFrozen = ::ioctl(fd, FITHAW, 0);
    ::close(fd);
    EXPECT_EQ(frozen.exitCode, 2);
    EXPECT_NE(frozen.err.find("The ext4 filesystem at " + source +
                              " is frozen already, by someone else: it is left frozen, and no copy is taken"),
              std::string::npos)
        << frozen.err;
    EXPECT_EQ(stillFrozen, 0) << "the command thawed a filesystem it had not frozen";
    EXPECT_TRUE(a->Snapshots().empty());

    // A filesystem without a freeze (squashfs).
    ASSERT_EQ(::umount2(source.c_str(), 0), 0);
    if (std::system("grep -qw squashfs /proc/filesystems && command -v mksquashfs >/dev/null") != 0)
        GTEST_SKIP() << "squashfs or mksquashfs is missing here";
    const std::string tree = m_data.Path() + "/tree", image = m_data.Path() + "/image.squashfs";
    fs::create_directories(tree);
    std::ofstream(tree + "/file") << "read only";
    ASSERT_EQ(std::system(("mksquashfs " + tree + " " + image + " -quiet -noappend >/dev/null && dd if=" + image +
                           " of=" + KHostDisk(disk).Node() + " conv=fsync status=none")
                              .c_str()),
              0);
    ASSERT_EQ(::mount(KHostDisk(disk).Node().c_str(), source.c_str(), "squashfs", MS_RDONLY, nullptr), 0);
    CommandResult unsupported = Shadow({"create", disk});
    EXPECT_EQ(unsupported.exitCode, 2);
    EXPECT_NE(unsupported.err.find("The squashfs filesystem at " + source +
                                   " cannot be frozen: \"--no-freeze\" takes a crash-consistent copy instead"),
              std::string::npos)
        << unsupported.err;
    EXPECT_TRUE(a->Snapshots().empty());
}

}  // namespace
}  // namespace korvel_test
