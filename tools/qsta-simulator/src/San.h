// The storage network as this host sees it: a disk in a sysfs-shaped tree
// for every volume mapped to the host's initiator, the way the kernel shows
// an iSCSI LUN (class/block/sdX, through a sessionN folder).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Model.h"

namespace qsta::detail {

class San {
public:
    San(std::string root, std::string hostIqn);
    ~San();  // the session ends: the simulator's disks go
    San(const San&) = delete;
    San& operator=(const San&) = delete;

    // Brings the disks in line with the model's mappings.
    void Sync(const Model& model);
    std::vector<SanDisk> Disks() const;

private:
    struct Disk {
        SanDisk disk;
        std::string scsiDir;
    };
    void AddDisk(const Volume& volume, const std::string& model);
    void RemoveDisk(const Disk& disk);

    const std::string m_root;
    const std::string m_hostIqn;
    mutable std::mutex m_mutex;
    int m_host = -1;  // SCSI host and session number, taken at the first disk
    unsigned m_nextLun = 0;
    std::map<std::string, Disk> m_disks;  // by volume name
};

}  // namespace qsta::detail
