// The provider's records of the snapshot sets VSS announced, kept between
// BeginPrepareSnapshot and CommitSnapshots.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vss.h"

namespace Korvel {
class KArray;
class KVolume;
}  // namespace Korvel

class KorvelShadowCopy {
public:
    explicit KorvelShadowCopy(const VSS_ID& snapshotId) : m_snapshotId(snapshotId) {}
    int AddLun(const std::string& lunId);
    int GetLuns(std::vector<std::string>& lunIds) const;

    VSS_ID m_snapshotId;
    std::vector<std::string> m_lunIds;
};

class KorvelSnapshotSet {
public:
    explicit KorvelSnapshotSet(const VSS_ID& snapshotSetId);
    ~KorvelSnapshotSet();
    KorvelSnapshotSet(const KorvelSnapshotSet&) = delete;
    KorvelSnapshotSet& operator=(const KorvelSnapshotSet&) = delete;

    KorvelShadowCopy* FindShadowCopy(const VSS_ID& snapshotId) const;
    // Returns the shadow copy the set now holds.
    KorvelShadowCopy* AddShadowCopy(std::unique_ptr<KorvelShadowCopy> shadowCopy);

    VSS_ID m_snapshotSetId;
    std::vector<std::unique_ptr<KorvelShadowCopy>> m_snapshots;
    // The appliance snapshots its commit made, with their appliance and one
    // of its volumes (both borrowed): what AbortSnapshots deletes.
    struct Created {
        Korvel::KArray* array;
        Korvel::KVolume* volume;
        std::string snapshotId;
    };
    std::vector<Created> m_created;
};
