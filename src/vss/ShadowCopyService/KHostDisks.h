// What a Linux host must do around hardware snapshots, on the disks found
// under KORVEL_SYSFS_ROOT: reach a disk's block device, find and make its
// mounts, rescan the iSCSI hosts, remove a disk before its LUN goes, and
// drop cached blocks after a rollback. The same code serves a real host
// (/sys, /proc/self/mountinfo) and the simulator's tree.
#pragma once

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Korvel {

// A mount that is in use cannot be taken away: nothing was changed.
class KBusyMount : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct KMount {
    std::string target;  // the mount point
    std::string source;
    std::string fstype;
    dev_t devno = 0;  // the filesystem's device: two mounts of one filesystem share it
};

class KHostDisk {
public:
    // "/dev/sdb" or "sdb": a disk of the sysfs tree.
    explicit KHostDisk(const std::string& device);

    const std::string& Name() const { return m_name; }
    // MAJOR:MINOR from its "dev" file; nothing when the disk has no block device.
    std::optional<dev_t> DevNo() const;
    // A node of its block device: /dev/block/MAJOR:MINOR, the kernel's own
    // node of that number, or one made in a private folder. Never /dev/NAME,
    // which may be another disk of this machine. Throws when there is none.
    std::string Node() const;
    // The mounts of the disk, its partitions and the devices that hold it
    // (device-mapper), in mount order.
    std::vector<KMount> Mounts() const;
    // Takes the disk away from this host (device/delete) and waits until it
    // is gone, at most `timeoutMs`. Throws when it stays.
    void Remove(int timeoutMs) const;

private:
    std::string m_name;
    std::string m_dir;  // <root>/class/block/<name>
};

// The device mounted at `target`, when something is.
std::optional<dev_t> MountedDevice(const std::string& target);

// Writes "- - -" to the scan file of every iSCSI SCSI host under the sysfs
// root, so that newly mapped LUNs show, then waits until the disks settle.
void RescanIscsiHosts();

// Mounts a block device read-only at `dir` (made when missing) with the
// type libblkid finds on it, and the options that keep a crash-consistent
// copy's filesystem from writing to it. Returns the type. Throws with the cause.
std::string MountReadOnly(const std::string& node, const std::string& dir);
// Unmounts; throws KBusyMount naming the mount point when it is in use.
void Unmount(const std::string& target);
// The kernel's cached blocks of a device go (BLKFLSBUF): what is read next
// comes from the device.
void FlushBuffers(const std::string& node);

}  // namespace Korvel
