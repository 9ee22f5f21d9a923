// The appliance operations: one row each, and one executor that sends a row's
// request and judges its answer.
#include "KConnection.h"

#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <set>
#include <stdexcept>

#include "KConventions.h"
#include "KGuards.h"
#include "KParsers.h"
#include "KRandom.h"
#include "KTransport.h"
#include "KorvelAccessLibrary.h"

namespace Korvel {

namespace {

// ---------------------------------------------------------------------------
// The operations table

enum class Method { Get, Post, Delete };

// clang-format off
enum class Op {
    GetVolumesList, GetSnapshotsList, ListVolumes, ListServers, GetVolumeInfoByDispName, GetServerInfoByIQN,
    CreateSnapshotSet, DeleteSnapshot, CloneVolume, DeleteVolume, CreateServer, AttachVolume, DetachVolume,
    ResyncVolume, ListDrives
};

constexpr CommandAction kNoCommand = static_cast<CommandAction>(-1);

// One appliance operation. In `entry`, `path` and `form`, {N} stands for the
// call's N-th argument: in the path as one encoded segment, in the form as
// one encoded value.
struct Operation {
    Op op;
    const char* name;                   // named by the entry, exit and invalid-argument texts
    const char* entry;                  // the entry line after the name
    Method method = Method::Get;
    const char* path = nullptr;         // a path without {N} is logged only by a command
    const char* form = nullptr;         // the body of a POST
    const char* response = nullptr;     // a command's response element; null: a listing
    CommandAction action = kNoCommand;  // the command, as its parser's entry line names it
    Capture capture = {};               // what the command keeps of its response
    const char* failure = nullptr;      // a status other than 200; %ld is the status
    const char* found = nullptr;        // a listing's line at level 4 when it found something
};

constexpr Operation kOperations[] = {
    {Op::GetVolumesList, "GetVolumesList", "", Method::Get, "/api/volumes", nullptr, nullptr, kNoCommand, {},
     "HTTP return code: %ld. List volume failed", "Successfully obtained volume list"},
    {Op::GetSnapshotsList, "GetSnapshotsList", "", Method::Get, "/api/consistency_groups/{0}/snapshots", nullptr,
     nullptr, kNoCommand, {}, "HTTP return code: %ld. List snapshot failed", "Successfully obtained snapshot list"},
    // The raw listings leave the body in the caller's stream for a lookup.
    {Op::ListVolumes, "ListVolumes", "", Method::Get, "/api/volumes", nullptr, nullptr, kNoCommand, {},
     "List volume failed"},
    {Op::ListServers, "ListServers", "", Method::Get, "/api/servers", nullptr, nullptr, kNoCommand, {},
     "List servers failed"},
    // Lookups send no request of their own: a raw listing and a parser.
    {Op::GetVolumeInfoByDispName, "GetVolumeInfoByDispName", " for volume {0}"},
    {Op::GetServerInfoByIQN, "GetServerInfoByIQN", " for host iqn {0}"},
    // Commands. The snapshot set's form is built from its entries.
    {Op::CreateSnapshotSet, "CreateSnapshotSet", " for volumes {0}", Method::Post, "/api/snapshots/snapshots_set",
     nullptr, "//create-snapshot-set-response", CreateSnapshotSetAction, {"snapshots", "snapshot"},
     "HTTP return code: %ld. Create snapshot set failed"},
    {Op::DeleteSnapshot, "DeleteSnapshot", " for snapshot {0}", Method::Delete, "/api/snapshots/{0}", nullptr,
     "//delete-snapshot-response", DeleteSnapshotAction, {}, "HTTP return code: %ld. Delete snapshot failed"},
    // Captures nothing: the caller's text comes back empty.
    {Op::CloneVolume, "CloneVolume", " for volume {1}", Method::Post, "/api/consistency_groups/{0}/clone",
     "snapshot={1}&name={2}&timeout=30", "//clone-cg-response", CloneVolumeAction, {},
     "HTTP return code: %ld. Clone volume failed"},
    {Op::DeleteVolume, "DeleteVolume", " for volName {0}", Method::Delete, "/api/volumes/{0}", nullptr,
     "//delete-volume-response", DeleteVolumeAction, {"snapshot-name"}, "HTTP return code: %ld. Delete volume failed"},
    {Op::CreateServer, "CreateServer", " for host iqn {1}", Method::Post, "/api/servers",
     "display_name={0}&iscsi={2}&iqn={1}&ipsec=no&force=no", "//create-server-response", CreateServerAction,
     {"server-name"}, "HTTP return code: %ld. Create server failed"},
    {Op::AttachVolume, "AttachVolume", " for volName {0}", Method::Post, "/api/servers/{1}/volumes",
     "id={1}&volume_name={0}&readonly=no&force=no", "//attach-volume-response", AttachVolumeAction, {},
     "HTTP return code: %ld. Attach volume failed"},
    {Op::DetachVolume, "DetachVolume", " for volName {0}", Method::Post, "/api/volumes/{0}/detach", "servers={1}",
     "//detach-volume-response", DetachVolumeAction, {}, "HTTP return code: %ld. Detach volume failed"},
    {Op::ResyncVolume, "ResyncVolume", " with snapID {0}", Method::Post, "/api/consistency_groups/{1}/rollback",
     "snapname={0}&timeout=30", "//clone-cg-response", ResyncVolumeAction, {"cg-name"},
     "HTTP return code: %ld. Resync volume failed"},
    // Validation of an address and key.
    {Op::ListDrives, "ListDrives", "", Method::Get, "/api/drives", nullptr, nullptr, kNoCommand, {},
     "List drives failed"},
};
// clang-format on

constexpr bool InOpOrder() {
    for (size_t i = 0; i < std::size(kOperations); ++i)
        if (static_cast<size_t>(kOperations[i].op) != i) return false;
    return true;
}
static_assert(InOpOrder(), "kOperations holds one row per Op, in Op's order");

const Operation& Row(Op op) { return kOperations[static_cast<size_t>(op)]; }

// ---------------------------------------------------------------------------
// The executor

// One argument of a call: a text, which must not be empty, or an output,
// which must be given.
struct Arg {
    Arg(const std::string& value) : text(&value), given(!value.empty()) {}
    template <typename T>
    Arg(T* output) : text(nullptr), given(output != nullptr) {}
    const std::string* text;
    bool given;
};
using Args = std::initializer_list<Arg>;

// What a call does with the answer besides the row's own checks.
struct Answer {
    std::function<int(const std::ostringstream&)> read;  // a listing's parser; none: result 0
    std::ostringstream* body = nullptr;                  // the caller's stream; null: one of the request's own
    std::string* captured = nullptr;                     // a command's captured text, set on success
    ResponseInfo* info = nullptr;                        // a command's response, for a caller that reads it
};

Answer Read(std::function<int(const std::ostringstream&)> read) {
    Answer answer;
    answer.read = std::move(read);
    return answer;
}
template <typename Record>
Answer Into(std::list<Record>* records, int (*parse)(const std::ostringstream&, std::list<Record>&)) {
    return Read([records, parse](const std::ostringstream& response) { return parse(response, *records); });
}
Answer Keep(std::ostringstream& body) {
    Answer answer;
    answer.body = &body;
    return answer;
}
Answer Captured(std::string& text) {
    Answer answer;
    answer.captured = &text;
    return answer;
}

// `pattern` with each {N} replaced by the N-th argument's text, passed
// through `encode` when there is one.
std::string Fill(const char* pattern, Args args, std::string (*encode)(const std::string&) = nullptr) {
    std::string out;
    for (const char* p = pattern; p != nullptr && *p != '\0'; ++p) {
        const size_t n = static_cast<size_t>(p[1] - '0');
        if (*p == '{' && n < args.size() && p[2] == '}' && args.begin()[n].text != nullptr) {
            const std::string& text = *args.begin()[n].text;
            out += encode != nullptr ? encode(text) : text;
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

std::invalid_argument InvalidInput(const Operation& op) {
    return std::invalid_argument("KConnection::" + std::string(op.name) + " - Invalid input argument");
}

// Prepares the handle of one request: the options every request carries and
// the one header with the access key. When no handle can be created `curl`
// stays empty, and the transfer fails.
void Prepare(const KEndpoint& to, const std::string& path, CurlHandle& curl, CurlHeaderList& headers) {
    const std::string url = "https://" + to.address + path;
    if (to.check)
        KLOG(2, "URL: %s", url.c_str());
    else
        KLOG(3, "Entering KConnection::InitializeCurl");
    curl.reset(curl_easy_init());
    if (curl) {
        if (!to.check) KLOG(3, "URL: %s", url.c_str());
        ApplyRequestOptions(curl.get(), url, to.address, to.pin);
        if (to.share != nullptr) curl_easy_setopt(curl.get(), CURLOPT_SHARE, to.share);
    }
    if (curl || to.check) {
        KLOG(to.check ? 4 : 3, "X-Access-Key: %s", MaskSecret(to.key).c_str());
        headers.reset(curl_slist_append(nullptr, ("X-Access-Key: " + to.key).c_str()));
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    }
    if (!to.check) KLOG(3, "Exiting KConnection::InitializeCurl");
}

// A command's answer: the response element, then status "0" when it was found.
int Judge(const Operation& op, const std::ostringstream& response, const Answer& answer) {
    ResponseInfo own;
    ResponseInfo& info = answer.info != nullptr ? *answer.info : own;
    const int result = ParseCommandResponse(response, op.response, op.action, op.capture, info);
    if (result == 0 && info.status != "0") {
        // The appliance's own words when it gave any; a blank text would
        // leave every caller up the chain reporting nothing.
        if (!info.statusMsg.empty()) throw KException(info.statusMsg);
        throw KException(FormatText("Appliance refused the command (status %s)",
                                    info.status.empty() ? "empty" : info.status.c_str()));
    }
    if (result == 0 && answer.captured != nullptr) *answer.captured = info.value;
    return result;
}

// The request of `op`, with `form` as a POST's body. Returns the parser's result.
int Exchange(const KEndpoint& to, const Operation& op, Args args, const std::string& form, const Answer& answer) {
    for (const Arg& arg : args)
        if (!arg.given) throw InvalidInput(op);
    const std::string path = Fill(op.path, args, &EncodePathSegment);
    if (op.method != Method::Get || std::strchr(op.path, '{') != nullptr) KLOG(4, "URL: %s", path.c_str());
    CurlHandle curl;
    CurlHeaderList headers;
    Prepare(to, path, curl, headers);
    if (op.method != Method::Get) {
        // A listing may go out on a connection an earlier request left open. A
        // command never does: libcurl resends a request whose reused
        // connection turns out dead, and a connection dying after the
        // appliance acted must not make it act twice.
        curl_easy_setopt(curl.get(), CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, op.method == Method::Post ? "POST" : "DELETE");
    }
    if (op.method == Method::Post) {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, form.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    }
    std::ostringstream own;
    std::ostringstream& response = answer.body != nullptr ? *answer.body : own;
    if (const long status = Perform(curl.get(), response); status != 200)
        throw StatusFailure(curl.get(), status, FormatText(op.failure, status));
    const int result = op.response != nullptr ? Judge(op, response, answer) : answer.read ? answer.read(response) : 0;
    if (result == 0 && op.found != nullptr) KLOG(4, "%s", op.found);
    headers.reset();
    curl.reset();
    return result;
}

// An operation between its entry and exit lines; a failure is logged at
// level 0 and rethrown, without the exit line.
template <typename Work>
int Framed(Op op, Args args, Work work) {
    const Operation& row = Row(op);
    KLOG(3, "Entering KConnection::%s%s", row.name, Fill(row.entry, args).c_str());
    const int result = LoggedOnFailure(work);
    KLOG(3, "Exiting KConnection::%s with return code %d", row.name, result);
    return result;
}

// An operation whose request the row describes whole.
int Run(const KEndpoint& to, Op op, Args args, const Answer& answer = Answer()) {
    return Framed(op, args,
                  [&] { return Exchange(to, Row(op), args, Fill(Row(op).form, args, &EncodeFormValue), answer); });
}

}  // namespace

// ---------------------------------------------------------------------------
// The operations

int KConnection::GetVolumesList(std::list<VolumeInfo>* volumes) {
    return Run(Here(), Op::GetVolumesList, {volumes}, Into(volumes, &ParseVolumeList));
}

int KConnection::GetSnapshotsList(const std::string& cgName, std::list<SnapshotInfo>* snapshots) {
    return Run(Here(), Op::GetSnapshotsList, {cgName, snapshots}, Into(snapshots, &ParseSnapshotList));
}

int KConnection::ListVolumes(std::ostringstream& response) { return Run(Here(), Op::ListVolumes, {}, Keep(response)); }

int KConnection::ListServers(std::ostringstream& response) { return Run(Here(), Op::ListServers, {}, Keep(response)); }

int KConnection::GetVolumeInfoByDispName(const std::string& volDispName, std::string& volID, std::string& volName,
                                         std::string& cgName) {
    return Framed(Op::GetVolumeInfoByDispName, {volDispName}, [&] {
        std::ostringstream listing;
        ListVolumes(listing);
        return ParseVolumeXMLByName(listing, volDispName, volID, volName, cgName);
    });
}

int KConnection::GetServerInfoByIQN(const std::string& hostIQN, std::string& serverID, std::string& iscsiIP) {
    return Framed(Op::GetServerInfoByIQN, {hostIQN}, [&] {
        std::ostringstream listing;
        ListServers(listing);
        return ParseServerXMLByIQN(listing, hostIQN, serverID, iscsiIP);
    });
}

int KConnection::CreateSnapshotSet(const std::list<std::string*>& volIDs, const std::list<std::string*>& cgNames,
                                   std::list<std::string>* snapIDs) {
    std::string joined;
    for (const std::string* volID : volIDs) {
        if (volID != nullptr) joined += *volID;
        joined += ' ';
    }
    return Framed(Op::CreateSnapshotSet, {joined}, [&] {
        if (snapIDs == nullptr) throw InvalidInput(Row(Op::CreateSnapshotSet));
        // One name and group per entry; the names are drawn here so that a
        // collision can be drawn anew.
        std::vector<std::pair<std::string, std::string>> entries;
        for (auto v = volIDs.begin(), g = cgNames.begin(); v != volIDs.end() && g != cgNames.end(); ++v, ++g) {
            if (*v == nullptr || *g == nullptr || (*v)->empty() || (*g)->empty())
                throw InvalidInput(Row(Op::CreateSnapshotSet));
            entries.emplace_back("snap_" + std::to_string(DrawSnapshotNumber()) + "_" + **v, **g);
        }
        ResponseInfo info;
        try {
            return SendSnapshotSet(entries, snapIDs, info);
        } catch (const KException&) {
            // A name drawn from a million can be taken by a snapshot kept from
            // long ago: when the appliance refused, ask once more with new
            // numbers for those names.
            bool redrawn = false;
            if (!info.status.empty() && info.status != "0") {
                try {
                    redrawn = RedrawTakenNames(entries);
                } catch (const std::exception& e) {
                    KLOG(1, "The snapshots of the set's groups could not be listed: %s", e.what());
                }
            }
            if (!redrawn) throw;
            info = ResponseInfo();
            return SendSnapshotSet(entries, snapIDs, info);
        }
    });
}

int KConnection::SendSnapshotSet(const std::vector<std::pair<std::string, std::string>>& entries,
                                 std::list<std::string>* snapIDs, ResponseInfo& info) {
    std::string body;
    int index = 1;
    for (const auto& entry : entries) {
        const std::string prefix = "snapshots_set_" + std::to_string(index++);
        if (!body.empty()) body += '&';
        body +=
            prefix + "_name=" + EncodeFormValue(entry.first) + "&" + prefix + "_cg=" + EncodeFormValue(entry.second);
    }
    info.snapshotIDs = snapIDs;
    Answer answer;
    answer.info = &info;
    return Exchange(Here(), Row(Op::CreateSnapshotSet), {}, body, answer);
}

bool KConnection::RedrawTakenNames(std::vector<std::pair<std::string, std::string>>& entries) {
    std::set<std::string> groups, taken;
    for (const auto& entry : entries) {
        if (!groups.insert(entry.second).second) continue;
        std::list<SnapshotInfo> snapshots;
        GetSnapshotsList(entry.second, &snapshots);
        for (const SnapshotInfo& snapshot : snapshots) taken.insert(snapshot.snapID);
    }
    bool redrawn = false;
    for (auto& entry : entries) {
        if (taken.count(entry.first) == 0) continue;
        // snap_<number>_<volume ID>: only the number changes.
        const size_t volume = entry.first.find('_', 5);
        std::string fresh;
        do {
            fresh = "snap_" + std::to_string(DrawSnapshotNumber()) + entry.first.substr(volume);
        } while (taken.count(fresh) != 0);
        KLOG(2, "Snapshot name %s is in use already; asking for %s instead", entry.first.c_str(), fresh.c_str());
        entry.first = fresh;
        redrawn = true;
    }
    return redrawn;
}

int KConnection::DeleteSnapshot(const std::string& snapID) { return Run(Here(), Op::DeleteSnapshot, {snapID}); }

int KConnection::CloneVolume(const std::string& cgName, const std::string& snapID, const std::string& cloneDispName,
                             std::string& result) {
    return Run(Here(), Op::CloneVolume, {cgName, snapID, cloneDispName}, Captured(result));
}

int KConnection::DeleteVolume(const std::string& volName) { return Run(Here(), Op::DeleteVolume, {volName}); }

int KConnection::CreateServer(const std::string& serverDispName, const std::string& hostIQN, const std::string& iscsiIP,
                              std::string& serverID) {
    return Run(Here(), Op::CreateServer, {serverDispName, hostIQN, iscsiIP}, Captured(serverID));
}

int KConnection::AttachVolume(const std::string& volName, const std::string& serverID) {
    return Run(Here(), Op::AttachVolume, {volName, serverID});
}

int KConnection::DetachVolume(const std::string& volName, const std::string& serverID) {
    return Run(Here(), Op::DetachVolume, {volName, serverID});
}

int KConnection::ResyncVolume(const std::string& snapID, const std::string& cgName) {
    return Run(Here(), Op::ResyncVolume, {snapID, cgName});
}

int KConnection::ParseResponseXML(const std::ostringstream& response, const char* xPathID, CommandAction action,
                                  ResponseInfo& info) {
    Capture capture;  // any other action captures nothing
    for (const Operation& op : kOperations)
        if (op.response != nullptr && op.action == action) capture = op.capture;
    return ParseCommandResponse(response, xPathID, action, capture, info);
}

// ---------------------------------------------------------------------------
// Validation of an address and key

int KConnection::ListDrives(const std::string& arrayIP, const std::string& accessKey,
                            const std::string& certificatePin) {
    return Run({arrayIP, accessKey, certificatePin, nullptr, true}, Op::ListDrives, {},
               Read([](const std::ostringstream& response) { return ParseDriveList(response); }));
}

int KConnection::ValidateArray(const std::string& arrayIP, const std::string& accessKey,
                               const std::string& certificatePin) {
    KLOG(3, "Entering KConnection::ValidateArray for arrayIP: %s accessKey: %s", arrayIP.c_str(),
         MaskSecret(accessKey).c_str());
    const int result = ListDrives(arrayIP, accessKey, certificatePin);
    if (result != 0)
        KLOG(0, "List disk failed. Invalid array credentials");
    else
        KLOG(2, "List disks successfull.");
    KLOG(3, "Exiting KConnection::ValidateArray with return code %d", result);
    return result;
}

}  // namespace Korvel
