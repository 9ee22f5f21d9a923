// The volumes' data: one sparse image file per volume and per volume of a
// snapshot, in a folder of the simulator's own (Options::dataDir).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qsta::detail {

// Copies `from` into a new file `to` (replacing one that is there): a reflink
// where the filesystem can, otherwise the data ranges only, so holes stay
// holes. Throws std::runtime_error naming the file and the cause.
void CopyImage(const std::string& from, const std::string& to);

// Makes the existing file `to` equal to `from` byte for byte without
// replacing it (same inode, so a loop device on it sees the new data): data
// ranges copied, holes punched where `from` has holes.
void RestoreImage(const std::string& from, const std::string& to);

class Images {
public:
    // Takes the folder for this simulator alone (a lock file refuses a second
    // one) and removes the images a previous run left in it.
    explicit Images(std::string dir);
    ~Images();  // removes every image: the model they belong to ends here
    Images(const Images&) = delete;
    Images& operator=(const Images&) = delete;

    std::string VolumePath(const std::string& volume) const;
    std::string SnapshotPath(const std::string& snapshotId, const std::string& volume) const;

    // Each throws std::runtime_error and leaves nothing behind when it fails.
    void CreateVolume(const std::string& volume, std::uint64_t size);
    // A clone's image: a copy of the snapshot's image of `sourceVolume`, or an
    // empty one of `size` when the snapshot holds none for it.
    void CreateClone(const std::string& volume, std::uint64_t size, const std::string& snapshotId,
                     const std::string& sourceVolume);
    // Copies every volume's image into the snapshot, all or none.
    void TakeSnapshot(const std::string& snapshotId, const std::vector<std::string>& volumes);
    // Copies the snapshot's images back over the volumes' images, in place.
    void Rollback(const std::string& snapshotId, const std::vector<std::string>& volumes);

    // Never throw: a file already gone is what was asked for.
    void DeleteVolume(const std::string& volume);
    void DeleteSnapshot(const std::string& snapshotId);
    void Clear();

private:
    std::string SnapshotDir(const std::string& snapshotId) const;

    const std::string m_dir;
    int m_lock = -1;
};

}  // namespace qsta::detail
