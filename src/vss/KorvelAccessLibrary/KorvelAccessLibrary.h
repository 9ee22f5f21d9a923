// Public interface of the access library.
#pragma once

#include <exception>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include "export.h"

#ifdef KORVEL_ACCESS_BUILD
#define KORVEL_API KORVEL_SYMBOL_EXPORT
#else
#define KORVEL_API KORVEL_SYMBOL_IMPORT
#endif

namespace Korvel {

// The system's exception for run-time failures. Header-only and not exported:
// the library and its callers are built with one toolchain.
class KException : public std::exception {
public:
    explicit KException(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// A request that got no usable answer from an appliance. what() is the
// transport's own text; Cause() names the appliance and what went wrong, in
// words for an administrator ("appliance 10.0.0.5:443 refused the access key
// (HTTP 401)").
class KTransportFailure : public KException {
public:
    KTransportFailure(std::string message, std::string cause)
        : KException(std::move(message)), m_cause(std::move(cause)) {}
    const std::string& Cause() const noexcept { return m_cause; }

private:
    std::string m_cause;
};

// The words to report a failure with: a transport failure's cause, otherwise
// the exception's own text.
inline std::string FailureText(const std::exception& e) {
    const auto* transport = dynamic_cast<const KTransportFailure*>(&e);
    return transport != nullptr ? transport->Cause() : std::string(e.what());
}

// The text to log in place of an access key: every character replaced by '*'
// except the last four; all of them when the key has 8 characters or fewer.
// Exported so that every program of the system masks keys the same way.
KORVEL_API std::string MaskSecret(const std::string& secret);

// The snapshot a clone was made from, when `displayName` has the form the
// library gives the clones it makes: <snapshot ID>_<digits>.clone. Any other
// name (a production volume called "nightly.clone", say) is not a clone.
KORVEL_API bool ParseCloneDisplayName(const std::string& displayName, std::string& snapshotID);

// A volume as the appliance lists it, for callers that survey an appliance.
struct KVolumeListing {
    std::string volID;        // "ieee-id"
    std::string volName;      // "name"
    std::string volDispName;  // "display-name"
    std::string cgID;         // "cg-name"
};

// Internal to the library; callers only ever hold pointers to them.
class KConnection;
class KServer;
class KSnapshot;
class KArray;

// Results of every operation: 0 success, 1 the appliance's answer lacked the
// expected element, 2 not found. Everything else is an exception.

// One appliance volume as the library has cached it. Owned by its KArray;
// callers borrow the pointer and never delete it.
class KORVEL_API KVolume {
public:
    KVolume(std::string& volID, std::string& volName, std::string& volDispName, std::string& cgID);
    ~KVolume();

    // A memberwise copy would share the owned strings and snapshots: volumes
    // are handled through pointers only.
    KVolume(const KVolume&) = delete;
    KVolume& operator=(const KVolume&) = delete;

    int GetVolumeID(std::string*& volID);
    int GetVolumeName(std::string& volName);
    int GetVolumeDispName(std::string& volDispName);
    int GetCgID(std::string& cgID);
    int GetCgIDPtr(std::string*& cgID);
    int GetLatestSnapshotID(std::string& snapID);

    int SetArray(KArray* array);
    int SetLatestSnapshotID(std::string& snapID);
    int AddSnapshotToList(KSnapshot* snapshot);

    // 0 when the cached snapshot list holds snapID, otherwise 2.
    int IsSnapAvailable(std::string& snapID);

    // One snapshot-set request for volumes of one array; the created snapshot
    // IDs are appended to snapIDs in the appliance's order.
    static int CreateSnapshotSet(KArray* array, std::list<std::string*>& volIDs, std::list<std::string*>& cgIDs,
                                 std::list<std::string>* snapIDs);
    int AddCreatedSnapshot(std::string& snapID);
    int DeleteSnapshot(std::string& snapID);

private:
    // The strings stay behind pointers: callers may construct the class, so
    // its size is part of the installed interface.
    std::unique_ptr<std::string> m_volID;
    std::unique_ptr<std::string> m_volName;
    std::unique_ptr<std::string> m_volDispName;
    std::unique_ptr<std::string> m_cgID;
    std::unique_ptr<std::string> m_latestSnapID;
    KArray* m_array;
    std::list<std::unique_ptr<KSnapshot>> m_snapshots;
};

// One configured appliance: its connection and the cache of volumes and host
// entries looked up on it. Owned by the access layer.
class KORVEL_API KArray {
public:
    KArray(std::string& arrayIP, std::string& accessKey);
    ~KArray();

    KArray(const KArray&) = delete;
    KArray& operator=(const KArray&) = delete;

    int GetConnection(KConnection*& connection);
    int GetIPAddress(std::string*& arrayIP);
    int AddVolumeToList(KVolume* volume);
    int AddServerToList(KServer* server);

    // Plain lookups consult the cache only; the FromArray forms ask the
    // appliance and cache what they find (their output must be null on entry).
    int GetVolumeByID(std::string& volID, KVolume*& volume);
    int GetVolumeByIDFromArray(std::string& volID, KVolume*& volume);
    int GetVolumeByDispName(std::string& volDispName, KVolume*& volume);
    int GetVolumeByDispNameFromArray(std::string& volDispName, KVolume*& volume);
    int GetVolumeBySnapID(std::string& snapID, KVolume*& volume);
    int GetVolumeBySnapIDFromArray(std::string& snapID, KVolume*& volume);

    int CloneVolume(std::string& cgID, std::string& snapID, KVolume*& cloneVolume);
    int AttachVolume(std::string& volName, std::string& serverID);
    int DetachVolume(std::string& volName, std::string& serverID);
    // On success the cached volume of that name is destroyed: pointers to it
    // become invalid.
    int DeleteVolume(std::string& volName);
    int ResyncVolume(std::string& snapID, KVolume*& volume);

    int GetServerIDByIQN(std::string& hostIQN, std::string& serverID);
    int GetServerIDByIQNFromArray(std::string& hostIQN, std::string& serverID);

    // Appends the ID of every snapshot on the appliance (the listing of each
    // consistency group that holds a volume) to snapIDs. Caches nothing.
    int GetSnapshotIDsFromArray(std::list<std::string>& snapIDs);
    // Appends every volume of the appliance's listing to volumes. Caches nothing.
    int ListVolumesFromArray(std::list<KVolumeListing>& volumes);

private:
    // Behind pointers for the same reason as KVolume's strings.
    std::unique_ptr<std::string> m_arrayIP;
    std::unique_ptr<std::string> m_accessKey;
    std::unique_ptr<KConnection> m_connection;
    std::list<std::unique_ptr<KServer>> m_servers;
    std::list<std::unique_ptr<KVolume>> m_volumes;
};

// Entry object of the library: the configured appliances as KArray objects.
class KORVEL_API KAccessLayer {
public:
    KAccessLayer();
    ~KAccessLayer();

    KAccessLayer(const KAccessLayer&) = delete;
    KAccessLayer& operator=(const KAccessLayer&) = delete;

    // Bracket the process's use of the REST transport; call while no request
    // is in flight.
    static void GlobalInit();
    static void GlobalCleanup();

    // 0, or 1 when an error stopped the scan (arrays added before it stay).
    int DiscoverArrays();
    // Adds appliances recorded since the last scan; never removes one.
    int Refresh();
    // Replaces the caller's list with borrowed pointers, valid until this
    // access layer is destroyed.
    int GetArrays(std::list<KArray*>& arrays);
    int ValidateArray(std::string& arrayIP, std::string& accessKey);
    // The same check, sending the key only to the holder of the certificate
    // `certificatePin` names (the form GetCertificatePin returns).
    int ValidateArray(std::string& arrayIP, std::string& accessKey, const std::string& certificatePin);

    // The pin to record as the appliance's "CertificatePin": "sha256//" and the
    // base64 SHA-256 digest of the public key of the certificate it presents.
    // No access key is sent. Throws KException when none can be read.
    static std::string GetCertificatePin(const std::string& arrayIP);

private:
    std::list<std::unique_ptr<KArray>> m_arrays;
};

}  // namespace Korvel
