#include "KHostDisks.h"

#include <blkid.h>
#include <fcntl.h>
#include <libmount.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "KLunRecord.h"
#include "storage.h"

namespace fs = std::filesystem;

namespace Korvel {

namespace {

std::string ReadLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::optional<dev_t> DevNoOf(const fs::path& devFile) {
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::istringstream in(ReadLine(devFile));
    if (!(in >> major >> colon >> minor) || colon != ':') return std::nullopt;
    return makedev(major, minor);
}

bool IsBlockNode(const std::string& path, dev_t devno) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == devno;
}

// A folder of this process for block device nodes that no /dev entry gives.
class PrivateNodes {
public:
    ~PrivateNodes() {
        std::error_code ec;
        if (!m_dir.empty()) fs::remove_all(m_dir, ec);
    }
    std::string Make(dev_t devno) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_dir.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/korvel-devices.XXXXXX";
            if (::mkdtemp(pattern.data()) == nullptr)
                throw std::runtime_error("cannot make a folder for block device nodes: " +
                                         std::string(std::strerror(errno)));
            m_dir = pattern;
        }
        const std::string node = m_dir + "/" + std::to_string(major(devno)) + ":" + std::to_string(minor(devno));
        if (!IsBlockNode(node, devno) && ::mknod(node.c_str(), S_IFBLK | 0600, devno) != 0)
            throw std::runtime_error("cannot make a block device node " + node + ": " + std::strerror(errno));
        return node;
    }

private:
    std::mutex m_mutex;
    std::string m_dir;
};

PrivateNodes& Nodes() {
    static PrivateNodes nodes;
    return nodes;
}

// The device numbers whose mounts are a disk's: the disk, its partitions, and
// whatever holds them (device-mapper), followed down.
void CollectDevNos(const fs::path& dir, std::set<dev_t>& devnos, int depth) {
    if (depth > 8) return;  // a holder chain this long is a loop in a damaged tree
    if (auto devno = DevNoOf(dir / "dev")) devnos.insert(*devno);
    std::error_code ec;
    for (const auto& child : fs::directory_iterator(dir, ec))
        if (fs::exists(child.path() / "partition", ec)) CollectDevNos(child.path(), devnos, depth + 1);
    for (const auto& holder : fs::directory_iterator(dir / "holders", ec))
        CollectDevNos(fs::canonical(holder.path(), ec), devnos, depth + 1);
}

}  // namespace

KHostDisk::KHostDisk(const std::string& device) {
    m_name = device.substr(device.find_last_of('/') + 1);
    m_dir = KorvelSysfsRoot() + "/class/block/" + m_name;
}

std::optional<dev_t> KHostDisk::DevNo() const { return DevNoOf(fs::path(m_dir) / "dev"); }

std::string KHostDisk::Node() const {
    const std::optional<dev_t> devno = DevNo();
    if (!devno) throw std::runtime_error("/dev/" + m_name + " has no block device on this host");
    const std::string number = std::to_string(major(*devno)) + ":" + std::to_string(minor(*devno));
    if (IsBlockNode("/dev/block/" + number, *devno)) return "/dev/block/" + number;
    // The kernel's own name for that number (devtmpfs), checked by its number.
    std::ifstream uevent("/sys/dev/block/" + number + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line.rfind("DEVNAME=", 0) != 0) continue;
        const std::string node = "/dev/" + line.substr(8);
        if (IsBlockNode(node, *devno)) return node;
    }
    return Nodes().Make(*devno);
}

namespace {

// Every mount of this process's namespace, in mount order, with its device.
std::vector<std::pair<KMount, dev_t>> MountTable() {
    std::unique_ptr<libmnt_table, decltype(&mnt_unref_table)> table(mnt_new_table_from_file("/proc/self/mountinfo"),
                                                                    &mnt_unref_table);
    if (!table) throw std::runtime_error("cannot read /proc/self/mountinfo");
    std::unique_ptr<libmnt_iter, decltype(&mnt_free_iter)> it(mnt_new_iter(MNT_ITER_FORWARD), &mnt_free_iter);
    std::vector<std::pair<KMount, dev_t>> mounts;
    libmnt_fs* entry = nullptr;
    while (it && mnt_table_next_fs(table.get(), it.get(), &entry) == 0) {
        const char* target = mnt_fs_get_target(entry);
        const char* source = mnt_fs_get_source(entry);
        const char* type = mnt_fs_get_fstype(entry);
        mounts.emplace_back(KMount{target != nullptr ? target : "", source != nullptr ? source : "",
                                   type != nullptr ? type : "", mnt_fs_get_devno(entry)},
                            mnt_fs_get_devno(entry));
    }
    return mounts;
}

}  // namespace

std::vector<KMount> KHostDisk::Mounts() const {
    std::set<dev_t> devnos;
    std::error_code ec;
    CollectDevNos(fs::canonical(m_dir, ec), devnos, 0);
    std::vector<KMount> mounts;
    if (devnos.empty()) return mounts;
    for (const auto& mount : MountTable())
        if (devnos.count(mount.second) != 0) mounts.push_back(mount.first);
    return mounts;
}

std::optional<dev_t> MountedDevice(const std::string& target) {
    std::optional<dev_t> device;
    for (const auto& mount : MountTable())
        if (mount.first.target == target) device = mount.second;  // the last mount there is the one seen
    return device;
}

void KHostDisk::Remove(int timeoutMs) const {
    const std::string control = m_dir + "/device/delete";
    const int fd = ::open(control.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return;  // not a SCSI disk: nothing to take away before its LUN goes
    const bool written = fd >= 0 && ::write(fd, "1\n", 2) == 2;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (!written)
        throw std::runtime_error("cannot remove /dev/" + m_name + " from this host: " + control + ": " +
                                 std::strerror(error));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::error_code ec;
    while (fs::exists(fs::symlink_status(m_dir, ec))) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("/dev/" + m_name + " did not go from this host within " +
                                     std::to_string(timeoutMs) + " ms");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void RescanIscsiHosts() {
    const std::string root = KorvelSysfsRoot();
    std::error_code ec;
    bool asked = false;
    for (const auto& host : fs::directory_iterator(root + "/class/iscsi_host", ec)) {
        std::ofstream scan(root + "/class/scsi_host/" + host.path().filename().string() + "/scan");
        scan << "- - -\n";
        asked = asked || static_cast<bool>(scan);
    }
    if (!asked) return;
    // A kernel has scanned when the write returns; a tree that is watched
    // answers a moment later: wait until the list of disks holds still.
    std::vector<std::string> last = BlockDevices();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<std::string> now = BlockDevices();
        if (now == last) break;
        last = std::move(now);
    }
}

std::string MountReadOnly(const std::string& node, const std::string& dir) {
    std::unique_ptr<blkid_struct_probe, decltype(&blkid_free_probe)> probe(blkid_new_probe_from_filename(node.c_str()),
                                                                           &blkid_free_probe);
    if (!probe) throw std::runtime_error("cannot read " + node + ": " + std::strerror(errno));
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE);
    const char* type = nullptr;
    if (blkid_do_safeprobe(probe.get()) != 0 || blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) != 0 ||
        type == nullptr)
        throw std::runtime_error("no filesystem was found on " + node);
    const std::string fstype = type;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw std::runtime_error("cannot make " + dir + ": " + ec.message());
    // A snapshot is crash-consistent at best: replaying its journal would
    // write to the copy, which must stay as it was taken.
    const char* options = fstype == "ext4" || fstype == "ext3" ? "noload" : fstype == "xfs" ? "norecovery" : "";
    if (::mount(node.c_str(), dir.c_str(), fstype.c_str(), MS_RDONLY | MS_NODEV | MS_NOSUID, options) != 0)
        throw std::runtime_error("cannot mount the " + fstype + " filesystem of " + node + " at " + dir + ": " +
                                 std::strerror(errno));
    return fstype;
}

void Unmount(const std::string& target) {
    if (::umount2(target.c_str(), 0) == 0) return;
    if (errno == EBUSY) throw KBusyMount(target + " is in use: leave it (close what is open there) and try again");
    throw std::runtime_error("cannot unmount " + target + ": " + std::strerror(errno));
}

void FlushBuffers(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + node + ": " + std::strerror(errno));
    const int result = ::ioctl(fd, BLKFLSBUF, 0);
    const int error = errno;
    ::close(fd);
    if (result != 0) throw std::runtime_error("cannot flush the buffers of " + node + ": " + std::strerror(error));
}

}  // namespace Korvel
