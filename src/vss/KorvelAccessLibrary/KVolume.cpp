#include <stdexcept>

#include "KConnection.h"
#include "KConventions.h"
#include "KSnapshot.h"
#include "KorvelAccessLibrary.h"

namespace Korvel {

namespace {
const char* const kComponent = kAccessComponent;
}

KVolume::KVolume(std::string& volID, std::string& volName, std::string& volDispName, std::string& cgID)
    : m_array(nullptr) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KVolume::KVolume()");
    if (volID.empty() || volName.empty() || volDispName.empty() || cgID.empty())
        throw std::invalid_argument("KVolume Constructor: Invalid input argument");
    m_volID = std::make_unique<std::string>(volID);
    m_volName = std::make_unique<std::string>(volName);
    m_volDispName = std::make_unique<std::string>(volDispName);
    m_cgID = std::make_unique<std::string>(cgID);
    m_latestSnapID = std::make_unique<std::string>();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KVolume::KVolume()");
}

KVolume::~KVolume() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KVolume::~KVolume()");
    m_volID.reset();
    m_volName.reset();
    m_volDispName.reset();
    m_cgID.reset();
    m_latestSnapID.reset();
    // Front to back, so the snapshots' own lines appear in list order.
    while (!m_snapshots.empty()) m_snapshots.pop_front();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KVolume::~KVolume()");
}

int KVolume::GetVolumeID(std::string*& volID) {
    volID = m_volID.get();
    return 0;
}

int KVolume::GetVolumeName(std::string& volName) {
    volName = *m_volName;
    return 0;
}

int KVolume::GetVolumeDispName(std::string& volDispName) {
    volDispName = *m_volDispName;
    return 0;
}

int KVolume::GetCgID(std::string& cgID) {
    cgID = *m_cgID;
    return 0;
}

int KVolume::GetCgIDPtr(std::string*& cgID) {
    cgID = m_cgID.get();
    return 0;
}

int KVolume::GetLatestSnapshotID(std::string& snapID) {
    snapID = *m_latestSnapID;
    return 0;
}

int KVolume::SetArray(KArray* array) {
    m_array = array;
    return 0;
}

int KVolume::SetLatestSnapshotID(std::string& snapID) {
    *m_latestSnapID = snapID;
    return 0;
}

int KVolume::AddSnapshotToList(KSnapshot* snapshot) {
    std::unique_ptr<KSnapshot> owned(snapshot);  // released even if the append fails
    m_snapshots.push_back(std::move(owned));
    return 0;
}

int KVolume::IsSnapAvailable(std::string& snapID) {
    for (const auto& snapshot : m_snapshots)
        if (snapshot->GetSnapshotID() == snapID) return 0;
    return 2;
}

int KVolume::CreateSnapshotSet(KArray* array, std::list<std::string*>& volIDs, std::list<std::string*>& cgIDs,
                               std::list<std::string>* snapIDs) {
    // A null array is a caller's mistake; refuse it rather than dereference it.
    if (array == nullptr) throw std::invalid_argument("KVolume::CreateSnapshotSet - Invalid input parameter");
    KConnection* connection = nullptr;
    array->GetConnection(connection);
    return connection->CreateSnapshotSet(volIDs, cgIDs, snapIDs);
}

int KVolume::AddCreatedSnapshot(std::string& snapID) {
    auto snapshot = std::make_unique<KSnapshot>(snapID);
    snapshot->SetVolume(this);
    m_snapshots.push_back(std::move(snapshot));
    Logger::Write(KLOG_TRACE, kComponent, "Added snapshot %s to the internal snapshot list", snapID.c_str());
    *m_latestSnapID = snapID;
    Logger::Write(KLOG_DEBUG, kComponent, "Latest snapshot ID of volume %s is now %s", m_volID->c_str(),
                  m_latestSnapID->c_str());
    return 0;
}

int KVolume::DeleteSnapshot(std::string& snapID) {
    // Volumes made by the library always belong to an array; one constructed
    // by hand has no connection to ask.
    if (m_array == nullptr) throw std::invalid_argument("KVolume::DeleteSnapshot - Invalid input parameter");
    KConnection* connection = nullptr;
    m_array->GetConnection(connection);
    int result = connection->DeleteSnapshot(snapID);
    if (result != 0) return result;
    for (auto it = m_snapshots.begin(); it != m_snapshots.end(); ++it) {
        if ((*it)->GetSnapshotID() == snapID) {
            m_snapshots.erase(it);
            break;
        }
    }
    // The latest snapshot ID stays, even when it named the deleted snapshot.
    return 0;
}

}  // namespace Korvel
