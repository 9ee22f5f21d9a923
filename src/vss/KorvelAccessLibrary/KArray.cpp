#include <cctype>
#include <set>
#include <stdexcept>

#include "KConnection.h"
#include "KConventions.h"
#include "KRandom.h"
#include "KServer.h"
#include "KSnapshot.h"
#include "KorvelAccessLibrary.h"
#include "Logger.h"

namespace Korvel {

namespace {
const char* const kComponent = kAccessComponent;
// The clone's creation line belongs to the provider's story of an exposed
// snapshot, so it is written under the provider's component.
const char* const kProviderComponent = KorvelLog::kProviderComponent;
const char* const kCloneSuffix = ".clone";

// Caches a volume of `array`'s appliance in its list `volumes`, says so
// (`kind`: "volume" or "clone volume") and returns it.
KVolume* Cache(std::list<std::unique_ptr<KVolume>>& volumes, KArray* array, const char* kind, std::string& volID,
               std::string& volName, std::string& volDispName, std::string& cgID) {
    auto created = std::make_unique<KVolume>(volID, volName, volDispName, cgID);
    created->SetArray(array);
    volumes.push_back(std::move(created));
    Logger::Write(KLOG_TRACE, kComponent, "Added %s %s to the internal volume list", kind, volName.c_str());
    return volumes.back().get();
}

// A lookup in the cache `volumes`: the first volume that `matches` accepts.
// `name` names the lines and the failure, `param` the key `value`.
template <typename Matches>
int FindCached(const char* name, const char* param, std::string& value,
               const std::list<std::unique_ptr<KVolume>>& volumes, KVolume*& volume, Matches matches) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::%s() with input param %s: %s", name, param, value.c_str());
    if (value.empty()) throw std::invalid_argument(std::string("KArray::") + name + " - Invalid input parameter");
    int result = 2;
    for (const auto& candidate : volumes) {
        if (matches(*candidate)) {
            volume = candidate.get();
            result = 0;
            break;
        }
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::%s() with return code %d", name, result);
    return result;
}

// Attaches a volume to a server entry or detaches it: `name` names the lines
// and the failure, `how` says what was done ("mapped to").
int ChangeMapping(const char* name, const char* how,
                  int (KConnection::*request)(const std::string&, const std::string&), KConnection& connection,
                  std::string& volName, std::string& serverID) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::%s() with input param volName: %s serverID: %s", name,
                  volName.c_str(), serverID.c_str());
    if (volName.empty() || serverID.empty())
        throw std::invalid_argument(std::string("KArray::") + name + " - Invalid input parameter");
    const int result = (connection.*request)(volName, serverID);
    if (result == 0)
        Logger::Write(KLOG_INFO, kComponent, "Volume %s successfully %s server ID: %s", volName.c_str(), how,
                      serverID.c_str());
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::%s() with return code : %d", name, result);
    return result;
}
}  // namespace

bool ParseCloneDisplayName(const std::string& displayName, std::string& snapshotID) {
    const size_t suffix = std::string(kCloneSuffix).size();
    if (displayName.size() <= suffix || displayName.compare(displayName.size() - suffix, suffix, kCloneSuffix) != 0)
        return false;
    const size_t digitsEnd = displayName.size() - suffix;
    size_t digitsBegin = digitsEnd;
    while (digitsBegin > 0 && std::isdigit(static_cast<unsigned char>(displayName[digitsBegin - 1]))) --digitsBegin;
    // At least one digit, an underscore before them, and a snapshot ID before that.
    if (digitsBegin == digitsEnd || digitsBegin < 2 || displayName[digitsBegin - 1] != '_') return false;
    snapshotID = displayName.substr(0, digitsBegin - 1);
    return true;
}

KArray::KArray(std::string& arrayIP, std::string& accessKey) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::KArray() for %s", arrayIP.c_str());
    if (arrayIP.empty() || accessKey.empty()) throw std::invalid_argument("KArray Constructor: Invalid input argument");
    m_arrayIP = std::make_unique<std::string>(arrayIP);
    m_accessKey = std::make_unique<std::string>(accessKey);
    m_connection = std::make_unique<KConnection>(*m_arrayIP, *m_accessKey);
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::KArray()");
}

KArray::~KArray() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::~KArray() for %s", m_arrayIP->c_str());
    m_arrayIP.reset();
    m_accessKey.reset();
    m_connection.reset();
    while (!m_servers.empty()) m_servers.pop_front();
    while (!m_volumes.empty()) m_volumes.pop_front();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::~KArray()");
}

int KArray::GetConnection(KConnection*& connection) {
    connection = m_connection.get();
    return 0;
}

int KArray::GetIPAddress(std::string*& arrayIP) {
    arrayIP = m_arrayIP.get();
    return 0;
}

int KArray::AddVolumeToList(KVolume* volume) {
    std::unique_ptr<KVolume> owned(volume);  // released even if the append fails
    m_volumes.push_back(std::move(owned));
    return 0;
}

int KArray::AddServerToList(KServer* server) {
    std::unique_ptr<KServer> owned(server);
    m_servers.push_back(std::move(owned));
    return 0;
}

int KArray::GetVolumeByID(std::string& volID, KVolume*& volume) {
    return FindCached("GetVolumeByID", "volID", volID, m_volumes, volume, [&volID](KVolume& candidate) {
        std::string* candidateID = nullptr;
        candidate.GetVolumeID(candidateID);
        return *candidateID == volID;
    });
}

int KArray::GetVolumeByDispName(std::string& volDispName, KVolume*& volume) {
    std::string candidateName;
    return FindCached("GetVolumeByDispName", "volDispName", volDispName, m_volumes, volume, [&](KVolume& candidate) {
        candidate.GetVolumeDispName(candidateName);
        return candidateName == volDispName;
    });
}

int KArray::GetVolumeBySnapID(std::string& snapID, KVolume*& volume) {
    return FindCached("GetVolumeBySnapID", "snapID", snapID, m_volumes, volume,
                      [&snapID](KVolume& candidate) { return candidate.IsSnapAvailable(snapID) == 0; });
}

int KArray::GetVolumeByIDFromArray(std::string& volID, KVolume*& volume) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::GetVolumeByIDFromArray() with input param volID: %s",
                  volID.c_str());
    if (volID.empty()) throw std::invalid_argument("KArray::GetVolumeByIDFromArray - Invalid input parameter");

    // Always asks the appliance: a second call for a cached ID caches a
    // second object, and the plain lookup keeps returning the first.
    bool found = false;
    std::list<VolumeInfo> records;
    if (m_connection->GetVolumesList(&records) == 0) {
        for (auto& record : records) {
            if (record.volID != volID) continue;
            Logger::Write(KLOG_TRACE, kComponent, "Found volume matching volume ID %s in the array", volID.c_str());
            volume = Cache(m_volumes, this, "volume", volID, record.volName, record.volDispName, record.cgName);
            found = true;
            break;
        }
    }
    int result = 0;
    if (!found) {
        Logger::Write(KLOG_INFO, kComponent, "No volume matching id %s found in array %s", volID.c_str(),
                      m_arrayIP->c_str());
        result = 2;
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::GetVolumeByIDFromArray() with return code %d", result);
    return result;
}

int KArray::GetVolumeByDispNameFromArray(std::string& volDispName, KVolume*& volume) {
    Logger::Write(KLOG_DEBUG, kComponent,
                  "Entering KArray::GetVolumeByDispNameFromArray() with input param volDispName: %s",
                  volDispName.c_str());
    if (volDispName.empty())
        throw std::invalid_argument("KArray::GetVolumeByDispNameFromArray - Invalid input parameter");

    bool found = false;
    std::list<VolumeInfo> records;
    if (m_connection->GetVolumesList(&records) == 0) {
        for (auto& record : records) {
            if (record.volDispName != volDispName) continue;
            volume =
                Cache(m_volumes, this, "volume", record.productID, record.volName, record.volDispName, record.cgName);
            found = true;
            break;
        }
    }
    int result = 0;
    if (!found) {
        Logger::Write(KLOG_INFO, kComponent, "No volume matching display name %s found in array %s",
                      volDispName.c_str(), m_arrayIP->c_str());
        result = 2;
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::GetVolumeByDispNameFromArray() with return code %d", result);
    return result;
}

int KArray::GetVolumeBySnapIDFromArray(std::string& snapID, KVolume*& volume) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::GetVolumeBySnapIDFromArray() with input param snapID: %s",
                  snapID.c_str());
    if (snapID.empty()) throw std::invalid_argument("KArray::GetVolumeBySnapIDFromArray - Invalid input parameter");

    bool found = false;
    std::list<VolumeInfo> records;
    if (m_connection->GetVolumesList(&records) == 0) {
        // One snapshot list for the whole walk; only the entries a group adds
        // can match, since nothing before them did.
        std::list<SnapshotInfo> snapshots;
        for (auto& record : records) {
            const bool hadEntries = !snapshots.empty();
            auto lastBefore = hadEntries ? std::prev(snapshots.end()) : snapshots.end();
            if (m_connection->GetSnapshotsList(record.cgName, &snapshots) != 0) continue;
            auto first = hadEntries ? std::next(lastBefore) : snapshots.begin();
            bool match = false;
            for (auto it = first; it != snapshots.end(); ++it) {
                if (it->snapID == snapID) {
                    match = true;
                    break;
                }
            }
            if (!match) continue;

            KVolume* owner =
                Cache(m_volumes, this, "volume", record.productID, record.volName, record.volDispName, record.cgName);
            volume = owner;
            found = true;
            auto snapshot = std::make_unique<KSnapshot>(snapID);
            snapshot->SetVolume(owner);
            owner->AddSnapshotToList(snapshot.release());  // the exported interface takes ownership of a pointer
            Logger::Write(KLOG_TRACE, kComponent, "Added snapshot %s to the internal snapshot list", snapID.c_str());
            break;
        }
    }
    int result = 0;
    if (!found) {
        Logger::Write(KLOG_INFO, kComponent, "No volume having a snapshot with id %s found in array %s", snapID.c_str(),
                      m_arrayIP->c_str());
        result = 2;
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::GetVolumeBySnapIDFromArray() with return code %d", result);
    return result;
}

int KArray::CloneVolume(std::string& cgID, std::string& snapID, KVolume*& cloneVolume) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::CloneVolume() with input param cgID: %s snapID: %s",
                  cgID.c_str(), snapID.c_str());
    if (cgID.empty() || snapID.empty()) throw std::invalid_argument("KArray::CloneVolume - Invalid input parameter");

    // The shared generator keeps two clones of one snapshot requested in the
    // same second from asking for the same name.
    std::string cloneName = snapID + "_" + std::to_string(DrawSnapshotNumber()) + kCloneSuffix;
    std::string workCgName;
    int result = m_connection->CloneVolume(cgID, snapID, cloneName, workCgName);
    if (result == 0) {
        std::string newVolID;
        std::string newVolName;
        result = m_connection->GetVolumeInfoByDispName(cloneName, newVolID, newVolName, workCgName);
        if (result == 0) {
            Logger::Write(KLOG_INFO, kProviderComponent, "Volume clone(%s - %s) created for snapshot(%s)",
                          newVolID.c_str(), newVolName.c_str(), snapID.c_str());
            cloneVolume = Cache(m_volumes, this, "clone volume", newVolID, newVolName, cloneName, workCgName);
        }
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::CloneVolume() with return code : %d", result);
    return result;
}

int KArray::AttachVolume(std::string& volName, std::string& serverID) {
    return ChangeMapping("AttachVolume", "mapped to", &KConnection::AttachVolume, *m_connection, volName, serverID);
}

int KArray::DetachVolume(std::string& volName, std::string& serverID) {
    return ChangeMapping("DetachVolume", "detached from", &KConnection::DetachVolume, *m_connection, volName, serverID);
}

int KArray::DeleteVolume(std::string& volName) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::DeleteVolume() with input param volName: %s",
                  volName.c_str());
    if (volName.empty()) throw std::invalid_argument("KArray::DeleteVolume - Invalid input parameter");
    int result = m_connection->DeleteVolume(volName);
    if (result == 0) {
        Logger::Write(KLOG_INFO, kComponent, "Volume %s successfully deleted in the array", volName.c_str());
        std::string candidateName;
        for (auto it = m_volumes.begin(); it != m_volumes.end(); ++it) {
            (*it)->GetVolumeName(candidateName);
            if (candidateName == volName) {
                m_volumes.erase(it);
                break;
            }
        }
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::DeleteVolume() with return code : %d", result);
    return result;
}

int KArray::ResyncVolume(std::string& snapID, KVolume*& volume) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::ResyncVolume()");
    if (snapID.empty() || volume == nullptr)
        throw std::invalid_argument("KArray::ResyncVolume - Invalid input parameter");
    std::string cgID;
    volume->GetCgID(cgID);
    int result = m_connection->ResyncVolume(snapID, cgID);
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::ResyncVolume() with return code : %d", result);
    return result;
}

int KArray::GetServerIDByIQN(std::string& hostIQN, std::string& serverID) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::GetServerIDByIQN()");
    if (hostIQN.empty()) throw std::invalid_argument("KArray::GetServerIDByIQN - Invalid input parameter");
    // The whole list is walked: with duplicates, the last entry added wins.
    int result = 2;
    for (const auto& server : m_servers) {
        if (server->GetHostIQN() == hostIQN) {
            serverID = server->GetServerID();
            result = 0;
        }
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::GetServerIDByIQN() with return code : %d", result);
    return result;
}

int KArray::GetServerIDByIQNFromArray(std::string& hostIQN, std::string& serverID) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::GetServerIDByIQNFromArray()");
    if (hostIQN.empty()) throw std::invalid_argument("KArray::GetServerIDByIQNFromArray - Invalid input parameter");

    std::string foundID;
    // When no entry matches, the lookup leaves the last listed entry's iSCSI
    // IP here, and the new entry is created with it.
    std::string iscsiIP;
    int result = m_connection->GetServerInfoByIQN(hostIQN, foundID, iscsiIP);
    if (result == 2) {
        std::string displayName = hostIQN;
        result = m_connection->CreateServer(displayName, hostIQN, iscsiIP, foundID);
        if (result == 0)
            Logger::Write(KLOG_INFO, kComponent, "Successfully created server(%s) in the array", foundID.c_str());
    }
    if (result == 0) {
        m_servers.push_back(std::make_unique<KServer>(foundID, hostIQN, iscsiIP));
        serverID = foundID;
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::GetServerIDByIQNFromArray() with return code : %d", result);
    return result;
}

int KArray::GetSnapshotIDsFromArray(std::list<std::string>& snapIDs) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::GetSnapshotIDsFromArray()");
    std::list<VolumeInfo> records;
    int result = m_connection->GetVolumesList(&records);
    std::set<std::string> groups;
    for (auto it = records.begin(); result == 0 && it != records.end(); ++it) {
        if (!groups.insert(it->cgName).second) continue;  // a group of several volumes is listed once
        std::list<SnapshotInfo> snapshots;
        result = m_connection->GetSnapshotsList(it->cgName, &snapshots);
        if (result == 2) result = 0;  // a group without snapshots
        for (const auto& snapshot : snapshots) snapIDs.push_back(snapshot.snapID);
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::GetSnapshotIDsFromArray() with return code : %d", result);
    return result;
}

int KArray::ListVolumesFromArray(std::list<KVolumeListing>& volumes) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KArray::ListVolumesFromArray()");
    std::list<VolumeInfo> records;
    int result = m_connection->GetVolumesList(&records);
    for (const VolumeInfo& record : records)
        volumes.push_back(KVolumeListing{record.volID, record.volName, record.volDispName, record.cgName});
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KArray::ListVolumesFromArray() with return code : %d", result);
    return result;
}

}  // namespace Korvel
