// The access library's REST connection to one appliance: the process-wide
// transport set-up, the appliance operations and the parsers of its XML
// answers. Internal to the library.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "KRecords.h"

namespace Korvel {

// Where a request goes and what it carries (KConnection.cpp).
struct KEndpoint;

class KConnection {
public:
    // Throws std::invalid_argument when either string is empty. The pin the
    // configuration store records for the appliance ("CertificatePin"), if
    // any, holds for every request of the object: an appliance presenting
    // another certificate gets no request (KException "The certificate of
    // ... does not match the recorded one", and an event).
    KConnection(const std::string& arrayIP, const std::string& accessKey);
    ~KConnection();
    KConnection(const KConnection&) = delete;
    KConnection& operator=(const KConnection&) = delete;

    // libcurl's global initialisation and cleanup; not thread-safe, run them
    // while no request is in flight.
    static void GlobalInit();
    static void GlobalCleanup();

    // libcurl write function; userdata is the std::ostringstream that
    // receives the body. Returns 0 (abort) for a null stream or once the body
    // would grow beyond the response limit.
    static size_t WriteCallback(char* data, size_t size, size_t count, void* userdata);

    // Operations. Results: 0 success, 1 the answer lacked the response
    // element, 2 nothing found. Everything else throws std::invalid_argument
    // or KException, logged at level 0 here and rethrown.
    int GetVolumesList(std::list<VolumeInfo>* volumes);
    int GetSnapshotsList(const std::string& cgName, std::list<SnapshotInfo>* snapshots);
    int GetVolumeInfoByDispName(const std::string& volDispName, std::string& volID, std::string& volName,
                                std::string& cgName);
    int GetServerInfoByIQN(const std::string& hostIQN, std::string& serverID, std::string& iscsiIP);
    int CreateSnapshotSet(const std::list<std::string*>& volIDs, const std::list<std::string*>& cgNames,
                          std::list<std::string>* snapIDs);
    int DeleteSnapshot(const std::string& snapID);
    int CloneVolume(const std::string& cgName, const std::string& snapID, const std::string& cloneDispName,
                    std::string& result);
    int DeleteVolume(const std::string& volName);
    int CreateServer(const std::string& serverDispName, const std::string& hostIQN, const std::string& iscsiIP,
                     std::string& serverID);
    int AttachVolume(const std::string& volName, const std::string& serverID);
    int DetachVolume(const std::string& volName, const std::string& serverID);
    int ResyncVolume(const std::string& snapID, const std::string& cgName);

    // Raw listings for the two lookups: the body is left in the caller's stream.
    int ListVolumes(std::ostringstream& response);
    int ListServers(std::ostringstream& response);

    // Need no connection object, so an appliance can be checked before it is
    // recorded. With a certificate pin only the holder of that key gets the
    // access key.
    static int ListDrives(const std::string& arrayIP, const std::string& accessKey,
                          const std::string& certificatePin = std::string());
    static int ValidateArray(const std::string& arrayIP, const std::string& accessKey,
                             const std::string& certificatePin = std::string());

    // The pin of the certificate the appliance presents: "sha256//" and the
    // base64 SHA-256 digest of its public key (the form CURLOPT_PINNEDPUBLICKEY
    // takes). Only the TLS handshake is made; no access key is sent. Throws
    // KException "Cannot read the certificate of <address>".
    static std::string FetchCertificatePin(const std::string& arrayIP);

    // Parsers of the appliance's answers; each reads the whole stream.
    static int ParseVolumeList(const std::ostringstream& response, std::list<VolumeInfo>& volumes);
    static int ParseSnapshotList(const std::ostringstream& response, std::list<SnapshotInfo>& snapshots);
    static int ParseVolumeXMLByName(const std::ostringstream& response, const std::string& volDispName,
                                    std::string& volID, std::string& volName, std::string& cgName);
    static int ParseServerXMLByIQN(const std::ostringstream& response, const std::string& hostIQN,
                                   std::string& serverID, std::string& iscsiIP);
    static int ParseResponseXML(const std::ostringstream& response, const char* xPathID, CommandAction action,
                                ResponseInfo& info);
    static int ParseDriveList(const std::ostringstream& response);

    // Limits that keep a dead or hostile appliance from hanging a request or
    // exhausting memory. Only tests change them, to keep their run short.
    struct TransferLimits {
        long connectTimeoutSeconds = 30;  // CURLOPT_CONNECTTIMEOUT
        long lowSpeedLimitBytes = 1;      // CURLOPT_LOW_SPEED_LIMIT (bytes per second)
        long lowSpeedTimeSeconds = 120;   // CURLOPT_LOW_SPEED_TIME
        size_t maxResponseBytes = static_cast<size_t>(64) * 1024 * 1024;
    };
    static TransferLimits GetTransferLimits();
    static void SetTransferLimitsForTesting(const TransferLimits& limits);

private:
    // One snapshot-set request for (snapshot name, group) entries.
    int SendSnapshotSet(const std::vector<std::pair<std::string, std::string>>& entries,
                        std::list<std::string>* snapIDs, ResponseInfo& info);
    // After a refused snapshot set: new numbers for the names its groups
    // already hold. False when none of them was taken.
    bool RedrawTakenNames(std::vector<std::pair<std::string, std::string>>& entries);

    // Where this connection's requests go and what they carry.
    KEndpoint Here() const;

    std::string arrayIP;
    std::string accessKey;
    std::string certificatePin;  // empty: not pinned
    // Connections and TLS sessions that this connection's requests share.
    struct SharedConnections;
    std::unique_ptr<SharedConnections> shared;
};

}  // namespace Korvel
