// A stateful QSTA appliance for tests and demonstrations.
//
// The simulator serves the appliance's REST interface over HTTPS (self-signed
// certificate made at start) on a loopback port, checks the "X-Access-Key"
// header of every request, keeps a consistent model of volumes, consistency
// groups, snapshots, host entries and mappings, answers in the appliance's XML
// documents, records every request, and can be told to misbehave.
//
// Typical test use:
//
//     qsta::Simulator sim;                  // default seed, ephemeral port
//     sim.Start();                          // returns once it accepts connections
//     std::string address = sim.Address();  // "127.0.0.1:<port>", goes after "https://"
//     sim.AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", 500));
//     ... run the client ...
//     auto requests = sim.Journal();
//
// All members are thread-safe: tests may inspect and change the model, the
// faults and the journal while requests are being served.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qsta {

// ---------------------------------------------------------------------------
// Model records. Inspection calls return copies; changing a copy changes
// nothing in the simulator.
// ---------------------------------------------------------------------------

struct Volume {
    std::string name;            // "name": the appliance's internal name, used in paths
    std::string displayName;     // "display-name"
    std::string ieeeId;          // "ieee-id": 16 hexadecimal digits
    std::string productId;       // "product-id": ieee-id, '-', model text (unless given verbatim)
    std::string cgName;          // "cg-name": the volume's consistency group
    std::string sourceSnapshot;  // for a clone, the snapshot it was made from; empty otherwise
    std::uint64_t size = 0;      // bytes
};

constexpr std::uint64_t kDefaultVolumeSize = 64ull << 20;  // 64 MiB

// What AddVolume(VolumeSpec) creates. Empty fields are generated.
struct VolumeSpec {
    std::string name;         // empty: "vol-<n>"
    std::string displayName;  // empty: the volume's name
    std::string cgName;       // empty: a new group "cg-<n>"; an unknown name creates that group;
                              // a known name adds the volume to that group
    std::string ieeeId;       // empty: 16 lowercase hex digits, unique; otherwise any 16 hex digits, kept verbatim
    std::string model;        // empty: "QSTA-Volume"
    std::string productId;    // empty: ieeeId + "-" + model; otherwise used verbatim
    std::uint64_t size = 0;   // bytes, a multiple of 512 up to 16 TiB; 0: kDefaultVolumeSize
};

struct ConsistencyGroup {
    std::string name;                    // "cg-name"
    std::vector<std::string> volumes;    // volume names, in the order they joined
    std::vector<std::string> snapshots;  // snapshot IDs, oldest first
    std::string clonedFrom;              // for a clone group, the snapshot it was made from
    std::string rolledBackTo;            // snapshot ID of the last rollback; empty if never rolled back
    unsigned rollbackCount = 0;          // number of rollbacks carried out
};

struct Snapshot {
    std::string id;           // "name" in the snapshot listing: the name a snapshot set asked for
                              // ("snap_<n>_<ieee-id>"), or "snap-<nnnnnn>" when seeded without one
    std::string displayName;  // "display-name": for a snapshot set, the requested name too
    std::string cgName;       // the group the snapshot belongs to
};

struct Host {
    std::string name;         // "name": the server ID used in paths
    std::string displayName;  // the display_name it was created with
    std::string iqn;          // "iqn"
    std::string iscsiIp;      // "iscsi-ip"
};

struct Mapping {
    std::string volumeName;
    std::string hostName;
};

// A disk the simulator shows a host (Options::sanHosts, Options::sanRoot).
struct SanDisk {
    std::string device;      // "sdb": <sanRoot>/class/block/<device>
    std::string volumeName;  // the mapped volume
    std::string ieeeId;      // its EUI-64 designator in vpd_pg83
    std::string hostIqn;     // the host that sees it
    std::string sanRoot;     // that host's tree
    int scsiHost = 0;        // N of <sanRoot>/class/scsi_host/hostN, whose scan file brings disks
    unsigned lun = 0;        // the LUN in its SCSI address N:0:0:LUN
    bool stale = false;      // unmapped, still shown until its device/delete or the next scan
    std::string loopDevice;  // "/dev/loop3" holding the volume's image; empty without one
    unsigned major = 0;      // the loop device's numbers, in the disk's "dev" file
    unsigned minor = 0;
};

// A host whose storage network the simulator plays.
struct SanHost {
    std::string iqn;   // its initiator name: volumes mapped to a host entry with it are its disks
    std::string root;  // its sysfs-shaped tree (KORVEL_SYSFS_ROOT on that host)
};

// ---------------------------------------------------------------------------
// Fault injection.
//
// A fault applies to requests whose method and path match. Faults are tried
// in the order they were added; the first match wins. A fault is applied
// before the access key is checked, so it behaves like the network or a broken
// appliance. Each application counts as one hit; a fault with `times` N is
// removed after N hits, one with `times` 0 stays until removed or cleared.
// ---------------------------------------------------------------------------

enum class FaultKind {
    Status,          // answer with `status` (200..599; a 3xx carries "Location: <location>") and a short
                     // XML error body (none for 204 and 304); the request is not carried out
    EmptyBody,       // 200 with an empty body
    MalformedBody,   // 200 with a body that is not well-formed XML
    MissingElement,  // 200 with a well-formed document that lacks the response element the client selects
    RefusedCommand,  // 200 with the command's response element, "status" = refusalStatus
                     // ("" gives an empty status element), "status-msg" = refusalMessage (nullopt: no element)
    Delay,           // wait `delay`, then answer normally
    DropConnection,  // close the connection without answering
    CustomBody,      // answer with `status`, `contentType` and exactly `body`
};

struct Fault {
    std::string method;       // "GET", "POST", "DELETE", ...; empty or "*" matches any method
    std::string pathPattern;  // glob on the path as sent (percent-encoded, without query):
                              // '*' matches any run of characters ('/' included), '?' one character;
                              // empty matches every path
    FaultKind kind = FaultKind::Status;
    unsigned times = 1;    // number of requests to affect; 0 = until removed
    int status = 500;      // Status and CustomBody: the HTTP status
    std::string location;  // Status with 3xx: where to redirect; a path ("/api/other") or a full URL
    std::string refusalStatus = "1";
    std::optional<std::string> refusalMessage = std::string("Operation refused");
    std::chrono::milliseconds delay{0};  // waited before answering; applies to every kind
    std::string body;                    // CustomBody: the body bytes
    std::string contentType = "application/xml";
    bool execute = false;  // carry the request out on the model first, then answer as the fault says
                           // (a command that was done but whose answer was lost or garbled);
                           // without it only Delay carries the request out

    // Shorthands for the common cases; each returns a fault for one request
    // (set `times` on the result for more).
    static Fault WithStatus(const std::string& method, const std::string& pathPattern, int status);
    static Fault Redirect(const std::string& method, const std::string& pathPattern, const std::string& location,
                          int status = 302);
    static Fault Empty(const std::string& method, const std::string& pathPattern);
    static Fault Malformed(const std::string& method, const std::string& pathPattern);
    static Fault WithoutElement(const std::string& method, const std::string& pathPattern);
    static Fault Refuse(const std::string& method, const std::string& pathPattern, const std::string& statusText = "1",
                        const std::optional<std::string>& message = std::string("Operation refused"));
    static Fault Slow(const std::string& method, const std::string& pathPattern, std::chrono::milliseconds delay);
    static Fault Drop(const std::string& method, const std::string& pathPattern);
    static Fault Custom(const std::string& method, const std::string& pathPattern, int status, const std::string& body,
                        const std::string& contentType = "application/xml");
};

// ---------------------------------------------------------------------------
// Request journal.
// ---------------------------------------------------------------------------

struct JournalEntry {
    std::uint64_t sequence = 0;  // 1 for the first request; keeps counting across ClearJournal
    std::string method;          // "GET", "POST", "DELETE", ...
    std::string target;          // the request target exactly as sent (percent-encoded, query included)
    std::string rawPath;         // target without the query, still percent-encoded
    std::string path;            // rawPath percent-decoded
    // Request headers as received (names as the client spelled them). The HTTP
    // library keeps them sorted by name, not in arrival order.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;      // the body bytes exactly as received
    int status = 0;        // status answered; 0 when the connection was dropped
    bool faulted = false;  // a fault was applied to this request
    int clientPort = 0;    // the client's port: requests with the same one came over one connection

    // First value of a header (name compared without regard to case); "" if absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

// ---------------------------------------------------------------------------
// The simulator.
// ---------------------------------------------------------------------------

struct Options {
    std::string listenAddress = "127.0.0.1";  // address to bind
    int port = 0;                             // 0: an ephemeral port chosen at start
    std::string accessKey = "qsta-simulator-key";
    bool defaultSeed = true;  // load the default seed when constructed (ignored when seedFile is set)
    std::string seedFile;     // load this seed file instead of the default seed when constructed
    unsigned threads = 8;     // request worker threads
    std::chrono::milliseconds startTimeout{10000};  // Start() gives up after this long
    // Playing the storage network: for each host, every volume mapped to a
    // host entry with its iqn shows as a disk under <root>/class/block/sdX
    // (sysfs layout, an iSCSI sessionN in its path: vendor "Korvel", the
    // volume's model as product, vpd_pg80 with the volume name, vpd_pg83 with
    // its ieee-id as EUI-64, size in sectors). The disks mapped when the
    // simulator starts show at once, as at an iSCSI login; later ones when
    // "- - -" is written to <root>/class/scsi_host/hostN/scan. An unmapped
    // disk stays, stale, until "1" is written to its device/delete or the next
    // scan. Several simulators may share one tree; each takes its own hostN.
    // Throws std::invalid_argument for an empty iqn or root, or an iqn twice.
    std::vector<SanHost> sanHosts;
    std::string sanRoot;  // with hostIqn: one more host, the one-host shorthand
    std::string hostIqn;
    // Disks appear and go as soon as the mappings change, with no scan.
    bool autoScan = false;
    // With a folder, every volume has a sparse image file of its size there:
    // a snapshot copies its group's images when it is made, a clone copies
    // the snapshot's, a rollback copies them back in place, and deleting a
    // volume or snapshot deletes its images. With a SAN as well, each disk is
    // a loop device on its volume's image (the disk's "dev" file names it),
    // where this process may use loop devices; otherwise that is said once
    // and the disks have no block device. One simulator per folder.
    std::string dataDir;
    // Called once per request, after it was answered, with a one-line summary
    // (never the access key), and with the storage network's notices (those
    // go to stderr without it). Called on worker threads; must be thread-safe.
    std::function<void(const std::string& line)> requestLog;
};

class Simulator {
public:
    // Builds the model (default seed, or Options::seedFile) but does not listen yet.
    // A bad seed file throws std::invalid_argument naming the file and line.
    Simulator();
    explicit Simulator(Options options);
    ~Simulator();  // stops if running
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // --- Life cycle --------------------------------------------------------

    // Binds, starts serving and returns once the server accepts connections.
    // Throws std::runtime_error when the address cannot be bound, the
    // certificate cannot be made, or the server is not up within the start
    // timeout. Calling Start on a running simulator does nothing.
    void Start();
    // Stops serving and waits until every worker has finished (pending delays
    // are cut short). Safe to call at any time, also twice or before Start.
    // The model, faults and journal are kept; Start may be called again.
    void Stop();
    bool IsRunning() const;
    int Port() const;             // bound port; 0 when not started
    std::string Address() const;  // "<listen address>:<port>", what goes between "https://" and the path
    std::string Url() const;      // "https://<listen address>:<port>"
    std::string AccessKey() const;
    void SetAccessKey(const std::string& key);  // takes effect for the next request

    // --- Seeding -------------------------------------------------------------

    // Removes every volume, group, snapshot, host entry and mapping. Generated
    // names keep counting, so names are never reused within one simulator.
    void Clear();
    // Removes every snapshot, keeping volumes, groups, host entries and
    // mappings: a long run of snapshot sets then never meets a name it used.
    void ClearSnapshots();
    // Adds the default seed: volumes "vol-1" ("sqldata"), "vol-2" ("sqllog"),
    // "vol-3" ("fileshare") in groups "cg-1", "cg-2", "cg-3", and the host entry
    // "host-1" (iqn "iqn.2026-01.local.example:backup01", iscsi-ip "192.0.2.10").
    // Its names and ieee-ids are fixed (6b72760000000001..03): it throws
    // std::invalid_argument, adding nothing, when one of them is taken already.
    void LoadDefaultSeed();
    // Adds what a seed text describes (format in README.md); throws
    // std::invalid_argument "seed line N: ..." on a bad line (the lines
    // before it stay applied).
    void LoadSeed(const std::string& text);
    void LoadSeedFile(const std::string& path);

    // Adds a volume with this display name in a new group.
    Volume AddVolume(const std::string& displayName);
    // Adds a volume; throws std::invalid_argument for a name or ieee-id that
    // exists, an ieee-id that is not 16 hex digits or a bad size, and
    // std::runtime_error when its image cannot be made.
    Volume AddVolume(const VolumeSpec& spec);
    // Adds `count` volumes quickly, each in a new group, with display names
    // "<displayPrefix>-<i>" (i from 1). Returns the names of the new volumes.
    std::vector<std::string> AddVolumes(std::size_t count, const std::string& displayPrefix = "bulk");
    // Adds a host entry; empty name: "host-<n>"; empty display name: the IQN.
    // Throws std::invalid_argument for an existing name or IQN, or an empty IQN.
    Host AddHost(const std::string& iqn, const std::string& iscsiIp, const std::string& name = std::string(),
                 const std::string& displayName = std::string());
    // Adds a snapshot of an existing group; empty id: "snap-<nnnnnn>".
    // Throws std::invalid_argument for an unknown group or an existing ID.
    Snapshot AddSnapshot(const std::string& cgName, const std::string& displayName,
                         const std::string& id = std::string());
    // Maps a volume to a host entry; throws std::invalid_argument when either
    // is unknown or the mapping exists.
    void MapVolume(const std::string& volumeName, const std::string& hostName);

    // --- Inspection ------------------------------------------------------------

    std::vector<Volume> Volumes() const;  // in listing order
    std::size_t VolumeCount() const;
    std::optional<Volume> FindVolume(const std::string& name) const;
    std::optional<Volume> FindVolumeByDisplayName(const std::string& displayName) const;  // first in listing order
    std::optional<Volume> FindVolumeByIeeeId(const std::string& ieeeId) const;
    std::vector<ConsistencyGroup> Groups() const;  // in creation order
    std::optional<ConsistencyGroup> FindGroup(const std::string& cgName) const;
    std::vector<Snapshot> Snapshots() const;                           // all, in creation order
    std::vector<Snapshot> Snapshots(const std::string& cgName) const;  // one group's, oldest first
    std::optional<Snapshot> FindSnapshot(const std::string& id) const;
    std::vector<Host> Hosts() const;  // in listing order
    std::optional<Host> FindHost(const std::string& name) const;
    std::optional<Host> FindHostByIqn(const std::string& iqn) const;
    std::vector<Mapping> Mappings() const;  // in the order they were made
    bool IsMapped(const std::string& volumeName, const std::string& hostName) const;
    // The disks shown to every host, stale ones included; per host by volume name.
    std::vector<SanDisk> SanDisks() const;
    // The scan file of a host's SCSI host ("" iqn: the first host); "" for none.
    std::string ScanFile(const std::string& hostIqn = std::string()) const;
    // Image files (Options::dataDir); "" without a data folder. The path is
    // given whether or not the volume or snapshot exists.
    std::string VolumeImage(const std::string& volumeName) const;
    std::string SnapshotImage(const std::string& snapshotId, const std::string& volumeName) const;

    // --- Faults ------------------------------------------------------------------

    // Adds a fault and returns its ID. Throws std::invalid_argument when a
    // Status or CustomBody fault has a status outside 200..599 (a 1xx answer
    // is not final and would leave the client waiting) or the delay is negative.
    int AddFault(const Fault& fault);
    void RemoveFault(int faultId);  // unknown IDs are ignored
    void ClearFaults();
    std::size_t FaultHits(int faultId) const;  // times the fault was applied (kept after it expired)
    std::size_t ActiveFaultCount() const;      // faults that will still apply

    // --- Journal -----------------------------------------------------------------

    std::vector<JournalEntry> Journal() const;  // every request since start or ClearJournal, in arrival order
    std::size_t JournalSize() const;
    void ClearJournal();

    // The root element a command's answer carries, by method and path as sent,
    // e.g. ("DELETE", "/api/volumes/vol-1") -> "delete-volume-response";
    // "" for listings and unknown paths.
    static std::string ResponseElementFor(const std::string& method, const std::string& rawPath);

    // Percent-decodes a text ("%2F" -> "/"); with plusAsSpace, '+' becomes ' '
    // (form values). Malformed escapes are kept as they are.
    static std::string PercentDecode(const std::string& text, bool plusAsSpace = false);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qsta
