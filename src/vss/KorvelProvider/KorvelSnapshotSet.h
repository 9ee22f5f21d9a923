// The provider's records of the snapshot sets VSS announced, kept between
// BeginPrepareSnapshot and CommitSnapshots.
#pragma once

#include <string>
#include <vector>

#include "vss.h"

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
    void AddShadowCopy(KorvelShadowCopy* shadowCopy);

    VSS_ID m_snapshotSetId;
    std::vector<KorvelShadowCopy*> m_snapshots;  // owned
};
