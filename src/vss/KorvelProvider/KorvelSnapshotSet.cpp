#include "KorvelSnapshotSet.h"

#include "KorvelProvider.h"
#include "Logger.h"

int KorvelShadowCopy::AddLun(const std::string& lunId) {
    m_lunIds.push_back(lunId);
    return 0;
}

int KorvelShadowCopy::GetLuns(std::vector<std::string>& lunIds) const {
    lunIds = m_lunIds;
    return 0;
}

KorvelSnapshotSet::KorvelSnapshotSet(const VSS_ID& snapshotSetId) : m_snapshotSetId(snapshotSetId) {
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Entering KorvelSnapshotSet::KorvelSnapshotSet()");
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Exiting KorvelSnapshotSet::KorvelSnapshotSet()");
}

KorvelSnapshotSet::~KorvelSnapshotSet() {
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Entering KorvelSnapshotSet::~KorvelSnapshotSet()");
    m_snapshots.clear();
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Exiting KorvelSnapshotSet::~KorvelSnapshotSet()");
}

KorvelShadowCopy* KorvelSnapshotSet::FindShadowCopy(const VSS_ID& snapshotId) const {
    for (const auto& shadowCopy : m_snapshots)
        if (shadowCopy != nullptr && shadowCopy->m_snapshotId == snapshotId) return shadowCopy.get();
    return nullptr;
}

KorvelShadowCopy* KorvelSnapshotSet::AddShadowCopy(std::unique_ptr<KorvelShadowCopy> shadowCopy) {
    m_snapshots.push_back(std::move(shadowCopy));
    return m_snapshots.back().get();
}
