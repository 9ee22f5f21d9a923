// The appliance's state and what its REST requests do to it.
#pragma once

#include "qsta/Simulator.h"

#include "Images.h"

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qsta::detail {

// One HTTP answer as the model produces it.
struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/xml";
};

// Decoded form fields in the order they were sent; the first occurrence of a
// name wins on lookup.
class FormFields {
public:
    static FormFields Parse(const std::string& body);
    const std::string* Find(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& All() const { return m_fields; }

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

class Model {
public:
    Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // The volumes' data, kept from now on (before anything is seeded); null: none.
    void SetImages(Images* images) { m_images = images; }

    // Seeding (each takes the write lock).
    void Clear();
    void ClearSnapshots();
    void LoadDefaultSeed();
    void LoadSeed(const std::string& text);
    Volume AddVolume(const VolumeSpec& spec);
    std::vector<std::string> AddVolumes(std::size_t count, const std::string& displayPrefix);
    Host AddHost(const std::string& iqn, const std::string& iscsiIp, const std::string& name,
                 const std::string& displayName);
    Snapshot AddSnapshot(const std::string& cgName, const std::string& displayName, const std::string& id);
    void MapVolume(const std::string& volumeName, const std::string& hostName);

    // Inspection (each takes the read lock).
    std::vector<Volume> Volumes() const;
    std::size_t VolumeCount() const;
    std::optional<Volume> FindVolume(const std::string& name) const;
    std::optional<Volume> FindVolumeByDisplayName(const std::string& displayName) const;
    std::optional<Volume> FindVolumeByIeeeId(const std::string& ieeeId) const;
    std::vector<ConsistencyGroup> Groups() const;
    std::optional<ConsistencyGroup> FindGroup(const std::string& cgName) const;
    std::vector<Snapshot> Snapshots() const;
    std::vector<Snapshot> Snapshots(const std::string& cgName) const;
    std::optional<Snapshot> FindSnapshot(const std::string& id) const;
    std::vector<Host> Hosts() const;
    std::optional<Host> FindHost(const std::string& name) const;
    std::optional<Host> FindHostByIqn(const std::string& iqn) const;
    std::vector<Mapping> Mappings() const;
    bool IsMapped(const std::string& volumeName, const std::string& hostName) const;
    // The model text a volume's disk reports as its SCSI product; "" for an unknown volume.
    std::string ModelOf(const std::string& volumeName) const;

    // Serves one authenticated request. `segments` are the path's segments
    // after "/api", already percent-decoded.
    Answer Handle(const std::string& method, const std::vector<std::string>& segments, const std::string& body);

private:
    struct VolumeRec {
        Volume volume;
        std::string model;
    };
    using VolumeList = std::list<VolumeRec>;
    using GroupList = std::list<ConsistencyGroup>;
    using SnapshotList = std::list<Snapshot>;
    using HostList = std::list<Host>;

    // A clone's data: the snapshot's image of one source volume.
    struct CloneSource {
        std::string snapshotId;
        std::string volume;
    };

    // Unlocked helpers; callers hold the right lock.
    Volume AddVolumeLocked(const VolumeSpec& spec, const CloneSource* source = nullptr);
    Host AddHostLocked(const std::string& iqn, const std::string& iscsiIp, const std::string& name,
                       const std::string& displayName);
    Snapshot AddSnapshotLocked(const std::string& cgName, const std::string& displayName, const std::string& id);
    void MapVolumeLocked(const std::string& volumeName, const std::string& hostName);
    ConsistencyGroup& CreateGroupLocked(const std::string& name);
    void RemoveVolumeLocked(const std::string& name);
    void RemoveSnapshotLocked(const std::string& id);
    std::string NextVolumeName();
    std::string NextGroupName();
    std::string NextSnapshotId();
    std::string NextHostName();
    std::string NextIeeeId();
    void ClearLocked();
    void LoadDefaultSeedLocked();
    void ApplySeedLine(const std::string& line);

    Answer ListVolumes() const;
    Answer ListServers() const;
    Answer ListDrives() const;
    Answer ListSnapshots(const std::string& cgName) const;
    Answer CreateSnapshotSet(const FormFields& form);
    Answer DeleteSnapshot(const std::string& id);
    Answer CloneGroup(const std::string& cgName, const FormFields& form);
    Answer RollbackGroup(const std::string& cgName, const FormFields& form);
    Answer DeleteVolume(const std::string& name);
    Answer CreateServer(const FormFields& form);
    Answer AttachVolume(const std::string& hostName, const FormFields& form);
    Answer DetachVolume(const std::string& volumeName, const FormFields& form);

    mutable std::shared_mutex m_mutex;
    Images* m_images = nullptr;

    VolumeList m_volumes;
    std::unordered_map<std::string, VolumeList::iterator> m_volumeByName;
    std::unordered_map<std::string, std::string> m_volumeNameByIeee;
    GroupList m_groups;
    std::unordered_map<std::string, GroupList::iterator> m_groupByName;
    SnapshotList m_snapshots;
    std::unordered_map<std::string, SnapshotList::iterator> m_snapshotById;
    HostList m_hosts;
    std::unordered_map<std::string, HostList::iterator> m_hostByName;
    std::unordered_map<std::string, std::string> m_hostNameByIqn;
    std::vector<Mapping> m_mappings;
    std::set<std::pair<std::string, std::string>> m_mappingSet;  // (volume, host)
    std::unordered_map<std::string, std::size_t> m_mappingCountByVolume;

    std::uint64_t m_nextVolume = 1;
    std::uint64_t m_nextGroup = 1;
    std::uint64_t m_nextSnapshot = 1;
    std::uint64_t m_nextHost = 1;
    std::uint64_t m_nextIeee = 1;
    // Generated ieee-ids carry a series drawn per simulator, so that volumes
    // made on two simulators (clones, bulk volumes) never share an EUI-64, as
    // on real appliances.
    unsigned m_ieeeSeries = DrawIeeeSeries();
    static unsigned DrawIeeeSeries();
};

}  // namespace qsta::detail
