// The storage network as one host sees it: a SCSI host of an iSCSI session
// and a disk in a sysfs-shaped tree for every volume mapped to the host's
// initiator, the way the kernel shows iSCSI LUNs (class/block/sdX through a
// sessionN folder, class/scsi_host/hostN/scan, device/delete).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Images.h"
#include "Loop.h"
#include "Model.h"

namespace qsta::detail {

class San {
public:
    using Say = std::function<void(const std::string&)>;

    // Claims a SCSI host number in the tree and starts watching its scan
    // file. `images` and `loops` (both or neither) back each disk with a loop
    // device on its volume's image. Throws std::runtime_error when the tree
    // cannot be made or watched.
    San(const Model& model, std::string root, std::string hostIqn, bool autoScan, const Images* images,
        LoopDevices* loops, Say say);
    ~San();  // the session ends: its disks and its SCSI host go
    San(const San&) = delete;
    San& operator=(const San&) = delete;

    // After a change of the mappings. With autoScan the disks follow at once;
    // otherwise a newly mapped disk waits for a scan, an unmapped one turns stale.
    void Sync();
    // What "- - -" written to the scan file does: pending disks appear,
    // stale ones go.
    void Scan();
    std::vector<SanDisk> Disks() const;
    const std::string& HostIqn() const { return m_hostIqn; }
    std::string ScanFile() const;

private:
    struct Disk {
        SanDisk disk;
        std::string scsiDir;
        std::unique_ptr<LoopDevice> loop;
        int deleteWatch = -1;
    };
    // A mapped volume's loop device, attached before its disk shows: the
    // kernel takes tens of milliseconds to set one up, which a scan should not wait for.
    struct Ready {
        std::string ieeeId;
        std::unique_ptr<LoopDevice> loop;
    };
    std::map<std::string, Volume> Wanted() const;
    void ScanLocked(const std::map<std::string, Volume>& wanted);
    void PrepareLocked(const std::map<std::string, Volume>& wanted);
    std::unique_ptr<LoopDevice> AttachLoop(const Volume& volume, bool& gone);
    void AddDisk(const Volume& volume);
    void RemoveDisk(Disk& disk);
    void MakeHost();
    void Watch();
    void OnWrite(int watch);

    const Model& m_model;
    const std::string m_root;
    const std::string m_hostIqn;
    const bool m_autoScan;
    const Images* const m_images;
    LoopDevices* const m_loops;
    const Say m_say;

    mutable std::mutex m_mutex;
    int m_host = -1;  // SCSI host and session number
    unsigned m_nextLun = 0;
    std::map<std::string, Disk> m_disks;   // shown, by volume name
    std::map<std::string, Ready> m_ready;  // mapped, not shown yet, by volume name

    int m_inotify = -1;
    int m_wake = -1;  // eventfd that ends the watcher
    int m_scanWatch = -1;
    std::thread m_watcher;
};

}  // namespace qsta::detail
