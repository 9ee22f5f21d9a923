#include "Model.h"

#include "Xml.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

namespace qsta::detail {

namespace {

const char* const kDefaultModel = "QSTA-Volume";
const char* const kSuccess = "Success";
// The largest file ext4 keeps with 4 KiB blocks: any image can then be made.
const std::uint64_t kMaxVolumeSize = 16ull << 40;

bool IsHexId(const std::string& text) {
    if (text.size() != 16) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// The answer to a command: its root element, "status", "status-msg" and the
// command's extra elements (already formatted, indented lines).
Answer CommandAnswer(const char* root, const std::string& status, const std::string& message,
                     const std::string& extra = std::string()) {
    Answer answer;
    answer.body = XmlDeclaration();
    answer.body += '<';
    answer.body += root;
    answer.body += ">\n";
    AppendElement(answer.body, "  ", "status", status);
    AppendElement(answer.body, "  ", "status-msg", message);
    answer.body += extra;
    answer.body += "</";
    answer.body += root;
    answer.body += ">\n";
    return answer;
}

Answer Refused(const char* root, const std::string& message) { return CommandAnswer(root, "1", message); }

Answer NotFound(const std::string& what) {
    Answer answer;
    answer.status = 404;
    answer.body = XmlDeclaration();
    answer.body += "<error>\n";
    AppendElement(answer.body, "  ", "code", "404");
    AppendElement(answer.body, "  ", "message", what);
    answer.body += "</error>\n";
    return answer;
}

Answer MethodNotAllowed() {
    Answer answer;
    answer.status = 405;
    answer.body = XmlDeclaration();
    answer.body += "<error>\n";
    AppendElement(answer.body, "  ", "code", "405");
    AppendElement(answer.body, "  ", "message", "Method not allowed");
    answer.body += "</error>\n";
    return answer;
}

// Splits "key=value key2=value2" (values percent-decoded) for seed lines.
std::map<std::string, std::string> ParseSeedFields(std::istringstream& in) {
    std::map<std::string, std::string> fields;
    std::string token;
    while (in >> token) {
        if (token[0] == '#') {
            break;  // the rest of the line is a comment
        }
        auto eq = token.find('=');
        if (eq == std::string::npos || eq == 0) {
            throw std::invalid_argument("expected key=value, got \"" + token + "\"");
        }
        fields[token.substr(0, eq)] = Simulator::PercentDecode(token.substr(eq + 1));
    }
    return fields;
}

std::string Take(std::map<std::string, std::string>& fields, const std::string& key) {
    auto it = fields.find(key);
    if (it == fields.end()) {
        return std::string();
    }
    std::string value = it->second;
    fields.erase(it);
    return value;
}

// "size=": bytes, or a number with K, M, G or T (KiB, MiB, GiB, TiB also
// spelled so), powers of 1024.
std::uint64_t ParseSize(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    static const std::map<std::string, unsigned> shifts = {{"", 0},   {"K", 10},   {"KiB", 10}, {"M", 20},  {"MiB", 20},
                                                           {"G", 30}, {"GiB", 30}, {"T", 40},   {"TiB", 40}};
    auto shift = shifts.find(text.substr(digits));
    if (digits == 0 || digits > 15 || shift == shifts.end()) {
        throw std::invalid_argument("size \"" + text + "\" is not a number of bytes or of K, M, G or T");
    }
    const std::uint64_t value = std::stoull(text.substr(0, digits));
    if (value > (kMaxVolumeSize >> shift->second)) {
        throw std::invalid_argument("size \"" + text + "\" is over 16 TiB");
    }
    return value << shift->second;
}

void RejectLeftovers(const std::map<std::string, std::string>& fields) {
    if (!fields.empty()) {
        throw std::invalid_argument("unknown field \"" + fields.begin()->first + "\"");
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Form bodies
// ---------------------------------------------------------------------------

FormFields FormFields::Parse(const std::string& body) {
    FormFields form;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            auto eq = pair.find('=');
            std::string key = pair.substr(0, eq);
            std::string value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
            form.m_fields.emplace_back(Simulator::PercentDecode(key, true), Simulator::PercentDecode(value, true));
        }
        start = end + 1;
    }
    return form;
}

const std::string* FormFields::Find(const std::string& name) const {
    for (const auto& field : m_fields) {
        if (field.first == name) {
            return &field.second;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

namespace {

// The first name from `format` and the running counter that `taken` does not
// hold yet; the counter never goes back, so names are not reused.
template <typename Map>
std::string NextFree(const char* format, std::uint64_t& counter, const Map& taken) {
    for (;;) {
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, format, static_cast<unsigned long long>(counter++));
        if (taken.count(buffer) == 0) return buffer;
    }
}

}  // namespace

std::string Model::NextVolumeName() { return NextFree("vol-%llu", m_nextVolume, m_volumeByName); }
std::string Model::NextGroupName() { return NextFree("cg-%llu", m_nextGroup, m_groupByName); }
std::string Model::NextSnapshotId() { return NextFree("snap-%06llu", m_nextSnapshot, m_snapshotById); }
std::string Model::NextHostName() { return NextFree("host-%llu", m_nextHost, m_hostByName); }
unsigned Model::DrawIeeeSeries() { return std::random_device{}() & 0xFFFFu; }

std::string Model::NextIeeeId() {
    char format[32];
    std::snprintf(format, sizeof format, "6b7276%04x%%06llx", m_ieeeSeries);
    return NextFree(format, m_nextIeee, m_volumeNameByIeee);
}

// ---------------------------------------------------------------------------
// Seeding
// ---------------------------------------------------------------------------

void Model::ClearLocked() {
    m_volumes.clear();
    m_volumeByName.clear();
    m_volumeNameByIeee.clear();
    m_groups.clear();
    m_groupByName.clear();
    m_snapshots.clear();
    m_snapshotById.clear();
    m_hosts.clear();
    m_hostByName.clear();
    m_hostNameByIqn.clear();
    m_mappings.clear();
    m_mappingSet.clear();
    m_mappingCountByVolume.clear();
    if (m_images != nullptr) m_images->Clear();
}

void Model::Clear() {
    std::unique_lock lock(m_mutex);
    ClearLocked();
}

void Model::LoadDefaultSeedLocked() {
    // All or nothing: check every fixed name first.
    for (const char* name : {"vol-1", "vol-2", "vol-3"}) {
        if (m_volumeByName.count(name) != 0) {
            throw std::invalid_argument(std::string("default seed: volume \"") + name + "\" exists");
        }
    }
    for (const char* id : {"6b72760000000001", "6b72760000000002", "6b72760000000003"}) {
        if (m_volumeNameByIeee.count(id) != 0) {
            throw std::invalid_argument(std::string("default seed: ieee-id \"") + id + "\" exists");
        }
    }
    for (const char* group : {"cg-1", "cg-2", "cg-3"}) {
        if (m_groupByName.count(group) != 0) {
            throw std::invalid_argument(std::string("default seed: consistency group \"") + group + "\" exists");
        }
    }
    if (m_hostByName.count("host-1") != 0 || m_hostNameByIqn.count("iqn.2026-01.local.example:backup01") != 0) {
        throw std::invalid_argument("default seed: host entry host-1 exists");
    }
    VolumeSpec spec;
    spec.name = "vol-1";
    spec.displayName = "sqldata";
    spec.cgName = "cg-1";
    spec.ieeeId = "6b72760000000001";
    AddVolumeLocked(spec);
    spec.name = "vol-2";
    spec.displayName = "sqllog";
    spec.cgName = "cg-2";
    spec.ieeeId = "6b72760000000002";
    AddVolumeLocked(spec);
    spec.name = "vol-3";
    spec.displayName = "fileshare";
    spec.cgName = "cg-3";
    spec.ieeeId = "6b72760000000003";
    AddVolumeLocked(spec);
    AddHostLocked("iqn.2026-01.local.example:backup01", "192.0.2.10", "host-1", "backup01");
}

void Model::LoadDefaultSeed() {
    std::unique_lock lock(m_mutex);
    LoadDefaultSeedLocked();
}

void Model::ApplySeedLine(const std::string& line) {
    std::istringstream in(line);
    std::string keyword;
    in >> keyword;
    auto fields = ParseSeedFields(in);
    if (keyword == "volume") {
        VolumeSpec spec;
        spec.name = Take(fields, "name");
        spec.displayName = Take(fields, "display-name");
        spec.cgName = Take(fields, "cg-name");
        spec.ieeeId = Take(fields, "ieee-id");
        spec.model = Take(fields, "model");
        spec.productId = Take(fields, "product-id");
        const std::string size = Take(fields, "size");
        if (!size.empty()) {
            spec.size = ParseSize(size);
            if (spec.size == 0) throw std::invalid_argument("size must not be 0");
        }
        RejectLeftovers(fields);
        AddVolumeLocked(spec);
    } else if (keyword == "volumes") {
        std::string countText = Take(fields, "count");
        std::string prefix = Take(fields, "prefix");
        RejectLeftovers(fields);
        std::size_t used = 0;
        unsigned long long count = 0;
        try {
            count = std::stoull(countText, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (countText.empty() || used != countText.size()) {
            throw std::invalid_argument("volumes needs count=<number>");
        }
        for (unsigned long long i = 1; i <= count; ++i) {
            VolumeSpec spec;
            spec.displayName = (prefix.empty() ? std::string("bulk") : prefix) + "-" + std::to_string(i);
            AddVolumeLocked(spec);
        }
    } else if (keyword == "host") {
        std::string name = Take(fields, "name");
        std::string iqn = Take(fields, "iqn");
        std::string ip = Take(fields, "iscsi-ip");
        std::string display = Take(fields, "display-name");
        RejectLeftovers(fields);
        AddHostLocked(iqn, ip, name, display);
    } else if (keyword == "snapshot") {
        std::string cg = Take(fields, "cg-name");
        std::string display = Take(fields, "display-name");
        std::string id = Take(fields, "id");
        RejectLeftovers(fields);
        AddSnapshotLocked(cg, display, id);
    } else if (keyword == "map") {
        std::string volume = Take(fields, "volume");
        std::string host = Take(fields, "host");
        RejectLeftovers(fields);
        MapVolumeLocked(volume, host);
    } else if (keyword == "clear") {
        RejectLeftovers(fields);
        ClearLocked();
    } else if (keyword == "default") {
        RejectLeftovers(fields);
        LoadDefaultSeedLocked();
    } else {
        throw std::invalid_argument("unknown keyword \"" + keyword + "\"");
    }
}

void Model::LoadSeed(const std::string& text) {
    std::unique_lock lock(m_mutex);
    std::istringstream in(text);
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        try {
            ApplySeedLine(line);
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument("seed line " + std::to_string(number) + ": " + error.what());
        }
    }
}

ConsistencyGroup& Model::CreateGroupLocked(const std::string& name) {
    ConsistencyGroup group;
    group.name = name;
    m_groups.push_back(group);
    auto it = std::prev(m_groups.end());
    m_groupByName.emplace(name, it);
    return *it;
}

Volume Model::AddVolumeLocked(const VolumeSpec& spec, const CloneSource* source) {
    if (!spec.name.empty() && m_volumeByName.count(spec.name) != 0) {
        throw std::invalid_argument("volume \"" + spec.name + "\" exists");
    }
    if (!spec.ieeeId.empty()) {
        if (!IsHexId(spec.ieeeId)) {
            throw std::invalid_argument("ieee-id \"" + spec.ieeeId + "\" is not 16 hexadecimal digits");
        }
        if (m_volumeNameByIeee.count(spec.ieeeId) != 0) {
            throw std::invalid_argument("ieee-id \"" + spec.ieeeId + "\" exists");
        }
    }
    if (spec.size % 512 != 0 || spec.size > kMaxVolumeSize) {
        throw std::invalid_argument("size " + std::to_string(spec.size) +
                                    " is not a multiple of 512 bytes up to 16 TiB");
    }
    VolumeRec rec;
    rec.volume.name = spec.name.empty() ? NextVolumeName() : spec.name;
    rec.volume.size = spec.size == 0 ? kDefaultVolumeSize : spec.size;
    rec.volume.displayName = spec.displayName.empty() ? rec.volume.name : spec.displayName;
    rec.volume.ieeeId = spec.ieeeId.empty() ? NextIeeeId() : spec.ieeeId;
    rec.model = spec.model.empty() ? std::string(kDefaultModel) : spec.model;
    rec.volume.productId = spec.productId.empty() ? rec.volume.ieeeId + "-" + rec.model : spec.productId;
    std::string cgName = spec.cgName.empty() ? NextGroupName() : spec.cgName;
    if (m_images != nullptr) {
        if (source != nullptr)
            m_images->CreateClone(rec.volume.name, rec.volume.size, source->snapshotId, source->volume);
        else
            m_images->CreateVolume(rec.volume.name, rec.volume.size);
    }
    auto groupIt = m_groupByName.find(cgName);
    ConsistencyGroup& group = groupIt == m_groupByName.end() ? CreateGroupLocked(cgName) : *groupIt->second;
    rec.volume.cgName = cgName;
    group.volumes.push_back(rec.volume.name);

    m_volumes.push_back(rec);
    auto it = std::prev(m_volumes.end());
    m_volumeByName.emplace(it->volume.name, it);
    m_volumeNameByIeee.emplace(it->volume.ieeeId, it->volume.name);
    return it->volume;
}

Volume Model::AddVolume(const VolumeSpec& spec) {
    std::unique_lock lock(m_mutex);
    return AddVolumeLocked(spec);
}

std::vector<std::string> Model::AddVolumes(std::size_t count, const std::string& displayPrefix) {
    std::unique_lock lock(m_mutex);
    std::vector<std::string> names;
    names.reserve(count);
    m_volumeByName.reserve(m_volumeByName.size() + count);
    m_volumeNameByIeee.reserve(m_volumeNameByIeee.size() + count);
    m_groupByName.reserve(m_groupByName.size() + count);
    for (std::size_t i = 1; i <= count; ++i) {
        VolumeSpec spec;
        spec.displayName = displayPrefix + "-" + std::to_string(i);
        names.push_back(AddVolumeLocked(spec).name);
    }
    return names;
}

Host Model::AddHostLocked(const std::string& iqn, const std::string& iscsiIp, const std::string& name,
                          const std::string& displayName) {
    if (iqn.empty()) {
        throw std::invalid_argument("a host entry needs an iqn");
    }
    if (m_hostNameByIqn.count(iqn) != 0) {
        throw std::invalid_argument("a host entry with iqn \"" + iqn + "\" exists");
    }
    if (!name.empty() && m_hostByName.count(name) != 0) {
        throw std::invalid_argument("host entry \"" + name + "\" exists");
    }
    Host host;
    host.name = name.empty() ? NextHostName() : name;
    host.displayName = displayName.empty() ? iqn : displayName;
    host.iqn = iqn;
    host.iscsiIp = iscsiIp;
    m_hosts.push_back(host);
    auto it = std::prev(m_hosts.end());
    m_hostByName.emplace(host.name, it);
    m_hostNameByIqn.emplace(iqn, host.name);
    return host;
}

Host Model::AddHost(const std::string& iqn, const std::string& iscsiIp, const std::string& name,
                    const std::string& displayName) {
    std::unique_lock lock(m_mutex);
    return AddHostLocked(iqn, iscsiIp, name, displayName);
}

Snapshot Model::AddSnapshotLocked(const std::string& cgName, const std::string& displayName, const std::string& id) {
    auto groupIt = m_groupByName.find(cgName);
    if (groupIt == m_groupByName.end()) {
        throw std::invalid_argument("consistency group \"" + cgName + "\" does not exist");
    }
    if (!id.empty() && m_snapshotById.count(id) != 0) {
        throw std::invalid_argument("snapshot \"" + id + "\" exists");
    }
    Snapshot snapshot;
    snapshot.id = id.empty() ? NextSnapshotId() : id;
    snapshot.displayName = displayName;
    snapshot.cgName = cgName;
    if (m_images != nullptr) m_images->TakeSnapshot(snapshot.id, groupIt->second->volumes);
    m_snapshots.push_back(snapshot);
    m_snapshotById.emplace(snapshot.id, std::prev(m_snapshots.end()));
    groupIt->second->snapshots.push_back(snapshot.id);
    return snapshot;
}

Snapshot Model::AddSnapshot(const std::string& cgName, const std::string& displayName, const std::string& id) {
    std::unique_lock lock(m_mutex);
    return AddSnapshotLocked(cgName, displayName, id);
}

void Model::MapVolumeLocked(const std::string& volumeName, const std::string& hostName) {
    if (m_volumeByName.count(volumeName) == 0) {
        throw std::invalid_argument("volume \"" + volumeName + "\" does not exist");
    }
    if (m_hostByName.count(hostName) == 0) {
        throw std::invalid_argument("host entry \"" + hostName + "\" does not exist");
    }
    if (!m_mappingSet.emplace(volumeName, hostName).second) {
        throw std::invalid_argument("volume \"" + volumeName + "\" is already mapped to \"" + hostName + "\"");
    }
    m_mappings.push_back(Mapping{volumeName, hostName});
    ++m_mappingCountByVolume[volumeName];
}

void Model::MapVolume(const std::string& volumeName, const std::string& hostName) {
    std::unique_lock lock(m_mutex);
    MapVolumeLocked(volumeName, hostName);
}

void Model::RemoveSnapshotLocked(const std::string& id) {
    auto it = m_snapshotById.find(id);
    if (it == m_snapshotById.end()) {
        return;
    }
    auto groupIt = m_groupByName.find(it->second->cgName);
    if (groupIt != m_groupByName.end()) {
        auto& ids = groupIt->second->snapshots;
        ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    }
    m_snapshots.erase(it->second);
    m_snapshotById.erase(it);
    if (m_images != nullptr) m_images->DeleteSnapshot(id);
}

// Removes a volume that is not mapped. A group that loses its last volume
// goes too, with its snapshots: nothing would be left to restore them to.
void Model::RemoveVolumeLocked(const std::string& name) {
    auto it = m_volumeByName.find(name);
    if (it == m_volumeByName.end()) {
        return;
    }
    const std::string cgName = it->second->volume.cgName;
    m_volumeNameByIeee.erase(it->second->volume.ieeeId);
    m_volumes.erase(it->second);
    m_volumeByName.erase(it);
    m_mappingCountByVolume.erase(name);
    if (m_images != nullptr) m_images->DeleteVolume(name);

    auto groupIt = m_groupByName.find(cgName);
    if (groupIt == m_groupByName.end()) {
        return;
    }
    auto& members = groupIt->second->volumes;
    members.erase(std::remove(members.begin(), members.end(), name), members.end());
    if (members.empty()) {
        std::vector<std::string> snapshots = groupIt->second->snapshots;
        for (const auto& id : snapshots) {
            RemoveSnapshotLocked(id);
        }
        m_groups.erase(groupIt->second);
        m_groupByName.erase(groupIt);
    }
}

// ---------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------

void Model::ClearSnapshots() {
    std::unique_lock lock(m_mutex);
    // A copy of the ID: the removal frees the record it lives in before the images go.
    while (!m_snapshots.empty()) RemoveSnapshotLocked(std::string(m_snapshots.front().id));
}

std::string Model::ModelOf(const std::string& volumeName) const {
    std::shared_lock lock(m_mutex);
    auto it = m_volumeByName.find(volumeName);
    return it == m_volumeByName.end() ? std::string() : it->second->model;
}

std::vector<Volume> Model::Volumes() const {
    std::shared_lock lock(m_mutex);
    std::vector<Volume> result;
    result.reserve(m_volumes.size());
    for (const auto& rec : m_volumes) {
        result.push_back(rec.volume);
    }
    return result;
}

std::size_t Model::VolumeCount() const {
    std::shared_lock lock(m_mutex);
    return m_volumes.size();
}

std::optional<Volume> Model::FindVolume(const std::string& name) const {
    std::shared_lock lock(m_mutex);
    auto it = m_volumeByName.find(name);
    if (it == m_volumeByName.end()) {
        return std::nullopt;
    }
    return it->second->volume;
}

std::optional<Volume> Model::FindVolumeByDisplayName(const std::string& displayName) const {
    std::shared_lock lock(m_mutex);
    for (const auto& rec : m_volumes) {
        if (rec.volume.displayName == displayName) {
            return rec.volume;
        }
    }
    return std::nullopt;
}

std::optional<Volume> Model::FindVolumeByIeeeId(const std::string& ieeeId) const {
    std::shared_lock lock(m_mutex);
    auto it = m_volumeNameByIeee.find(ieeeId);
    if (it == m_volumeNameByIeee.end()) {
        return std::nullopt;
    }
    return m_volumeByName.at(it->second)->volume;
}

std::vector<ConsistencyGroup> Model::Groups() const {
    std::shared_lock lock(m_mutex);
    return std::vector<ConsistencyGroup>(m_groups.begin(), m_groups.end());
}

std::optional<ConsistencyGroup> Model::FindGroup(const std::string& cgName) const {
    std::shared_lock lock(m_mutex);
    auto it = m_groupByName.find(cgName);
    if (it == m_groupByName.end()) {
        return std::nullopt;
    }
    return *it->second;
}

std::vector<Snapshot> Model::Snapshots() const {
    std::shared_lock lock(m_mutex);
    return std::vector<Snapshot>(m_snapshots.begin(), m_snapshots.end());
}

std::vector<Snapshot> Model::Snapshots(const std::string& cgName) const {
    std::shared_lock lock(m_mutex);
    std::vector<Snapshot> result;
    auto it = m_groupByName.find(cgName);
    if (it == m_groupByName.end()) {
        return result;
    }
    for (const auto& id : it->second->snapshots) {
        result.push_back(*m_snapshotById.at(id));
    }
    return result;
}

std::optional<Snapshot> Model::FindSnapshot(const std::string& id) const {
    std::shared_lock lock(m_mutex);
    auto it = m_snapshotById.find(id);
    if (it == m_snapshotById.end()) {
        return std::nullopt;
    }
    return *it->second;
}

std::vector<Host> Model::Hosts() const {
    std::shared_lock lock(m_mutex);
    return std::vector<Host>(m_hosts.begin(), m_hosts.end());
}

std::optional<Host> Model::FindHost(const std::string& name) const {
    std::shared_lock lock(m_mutex);
    auto it = m_hostByName.find(name);
    if (it == m_hostByName.end()) {
        return std::nullopt;
    }
    return *it->second;
}

std::optional<Host> Model::FindHostByIqn(const std::string& iqn) const {
    std::shared_lock lock(m_mutex);
    auto it = m_hostNameByIqn.find(iqn);
    if (it == m_hostNameByIqn.end()) {
        return std::nullopt;
    }
    return *m_hostByName.at(it->second);
}

std::vector<Mapping> Model::Mappings() const {
    std::shared_lock lock(m_mutex);
    return m_mappings;
}

bool Model::IsMapped(const std::string& volumeName, const std::string& hostName) const {
    std::shared_lock lock(m_mutex);
    return m_mappingSet.count({volumeName, hostName}) != 0;
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

Answer Model::Handle(const std::string& method, const std::vector<std::string>& segments, const std::string& body) {
    const std::size_t n = segments.size();
    const bool get = method == "GET" || method == "HEAD";
    if (n == 1 && segments[0] == "volumes") {
        return get ? ListVolumes() : MethodNotAllowed();
    }
    if (n == 1 && segments[0] == "servers") {
        if (get) {
            return ListServers();
        }
        return method == "POST" ? CreateServer(FormFields::Parse(body)) : MethodNotAllowed();
    }
    if (n == 1 && segments[0] == "drives") {
        return get ? ListDrives() : MethodNotAllowed();
    }
    if (n == 2 && segments[0] == "snapshots" && segments[1] == "snapshots_set" && method == "POST") {
        return CreateSnapshotSet(FormFields::Parse(body));
    }
    if (n == 2 && segments[0] == "snapshots" && !segments[1].empty()) {
        return method == "DELETE" ? DeleteSnapshot(segments[1]) : MethodNotAllowed();
    }
    if (n == 2 && segments[0] == "volumes" && !segments[1].empty()) {
        return method == "DELETE" ? DeleteVolume(segments[1]) : MethodNotAllowed();
    }
    if (n == 3 && segments[0] == "consistency_groups" && !segments[1].empty()) {
        if (segments[2] == "snapshots") {
            return get ? ListSnapshots(segments[1]) : MethodNotAllowed();
        }
        if (segments[2] == "clone") {
            return method == "POST" ? CloneGroup(segments[1], FormFields::Parse(body)) : MethodNotAllowed();
        }
        if (segments[2] == "rollback") {
            return method == "POST" ? RollbackGroup(segments[1], FormFields::Parse(body)) : MethodNotAllowed();
        }
    }
    if (n == 3 && segments[0] == "servers" && !segments[1].empty() && segments[2] == "volumes") {
        return method == "POST" ? AttachVolume(segments[1], FormFields::Parse(body)) : MethodNotAllowed();
    }
    if (n == 3 && segments[0] == "volumes" && !segments[1].empty() && segments[2] == "detach") {
        return method == "POST" ? DetachVolume(segments[1], FormFields::Parse(body)) : MethodNotAllowed();
    }
    return NotFound("No such resource");
}

Answer Model::ListVolumes() const {
    std::shared_lock lock(m_mutex);
    Answer answer;
    std::string& out = answer.body;
    out.reserve(64 + m_volumes.size() * 260);
    out += XmlDeclaration();
    out += "<volumes>\n";
    for (const auto& rec : m_volumes) {
        const Volume& v = rec.volume;
        out += "  <volume>\n";
        AppendElement(out, "    ", "name", v.name);
        AppendElement(out, "    ", "display-name", v.displayName);
        AppendElement(out, "    ", "ieee-id", v.ieeeId);
        AppendElement(out, "    ", "product-id", v.productId);
        AppendElement(out, "    ", "cg-name", v.cgName);
        out += "  </volume>\n";
    }
    out += "</volumes>\n";
    return answer;
}

Answer Model::ListServers() const {
    std::shared_lock lock(m_mutex);
    Answer answer;
    std::string& out = answer.body;
    out += XmlDeclaration();
    out += "<servers>\n";
    for (const auto& host : m_hosts) {
        out += "  <server>\n";
        AppendElement(out, "    ", "name", host.name);
        AppendElement(out, "    ", "display-name", host.displayName);
        AppendElement(out, "    ", "iqn", host.iqn);
        AppendElement(out, "    ", "iscsi-ip", host.iscsiIp);
        out += "  </server>\n";
    }
    out += "</servers>\n";
    return answer;
}

Answer Model::ListDrives() const {
    Answer answer;
    std::string& out = answer.body;
    out += XmlDeclaration();
    out += "<show-disks-response>\n";
    AppendElement(out, "  ", "status", "0");
    AppendElement(out, "  ", "status-msg", kSuccess);
    out += "  <disks>\n";
    for (int i = 1; i <= 4; ++i) {
        out += "    <disk>\n";
        AppendElement(out, "      ", "id", std::to_string(i));
        AppendElement(out, "      ", "state", "healthy");
        out += "    </disk>\n";
    }
    out += "  </disks>\n";
    out += "</show-disks-response>\n";
    return answer;
}

Answer Model::ListSnapshots(const std::string& cgName) const {
    std::shared_lock lock(m_mutex);
    auto it = m_groupByName.find(cgName);
    if (it == m_groupByName.end()) {
        return NotFound("Consistency group " + cgName + " not found");
    }
    Answer answer;
    std::string& out = answer.body;
    out += XmlDeclaration();
    out += "<snapshots>\n";
    for (const auto& id : it->second->snapshots) {
        const Snapshot& snapshot = *m_snapshotById.at(id);
        out += "  <snapshot>\n";
        AppendElement(out, "    ", "name", snapshot.id);
        AppendElement(out, "    ", "display-name", snapshot.displayName);
        AppendElement(out, "    ", "cg-name", snapshot.cgName);
        out += "  </snapshot>\n";
    }
    out += "</snapshots>\n";
    return answer;
}

// Fields "snapshots_set_<i>_name" and "snapshots_set_<i>_cg": one snapshot
// per entry, in entry order. Every entry is checked before anything is made,
// so a refused set leaves the model as it was.
Answer Model::CreateSnapshotSet(const FormFields& form) {
    static const char* const root = "create-snapshot-set-response";
    std::map<unsigned long, std::pair<const std::string*, const std::string*>> entries;
    const std::string prefix = "snapshots_set_";
    for (const auto& field : form.All()) {
        const std::string& key = field.first;
        if (key.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        std::size_t digitsEnd = prefix.size();
        while (digitsEnd < key.size() && std::isdigit(static_cast<unsigned char>(key[digitsEnd]))) {
            ++digitsEnd;
        }
        if (digitsEnd == prefix.size() || digitsEnd - prefix.size() > 9) {
            continue;
        }
        unsigned long index = std::stoul(key.substr(prefix.size(), digitsEnd - prefix.size()));
        std::string suffix = key.substr(digitsEnd);
        auto& entry = entries[index];
        if (suffix == "_name" && entry.first == nullptr) {
            entry.first = &field.second;
        } else if (suffix == "_cg" && entry.second == nullptr) {
            entry.second = &field.second;
        }
    }
    if (entries.empty()) {
        return Refused(root, "No consistency group given for the snapshot set");
    }

    std::unique_lock lock(m_mutex);
    std::set<std::string> names;
    for (const auto& entry : entries) {
        const std::string number = std::to_string(entry.first);
        if (entry.second.first == nullptr || entry.second.first->empty()) {
            return Refused(root, "Snapshot set entry " + number + " has no name");
        }
        if (entry.second.second == nullptr || entry.second.second->empty()) {
            return Refused(root, "Snapshot set entry " + number + " has no consistency group");
        }
        if (m_groupByName.count(*entry.second.second) == 0) {
            return Refused(root, "Consistency group " + *entry.second.second + " not found");
        }
        // An appliance names a snapshot as it was asked, so a name is taken once.
        if (m_snapshotById.count(*entry.second.first) != 0 || !names.insert(*entry.second.first).second) {
            return Refused(root, "Snapshot name " + *entry.second.first + " is already in use");
        }
    }
    std::string extra = "  <snapshots>\n";
    std::vector<std::string> made;
    for (const auto& entry : entries) {
        try {
            made.push_back(AddSnapshotLocked(*entry.second.second, *entry.second.first, *entry.second.first).id);
        } catch (const std::runtime_error& error) {
            // All or nothing, as the checks above promise.
            for (const auto& id : made) RemoveSnapshotLocked(id);
            return Refused(root, "Cannot make snapshot " + *entry.second.first + ": " + error.what());
        }
        AppendElement(extra, "    ", "snapshot", made.back());
    }
    extra += "  </snapshots>\n";
    return CommandAnswer(root, "0", kSuccess, extra);
}

Answer Model::DeleteSnapshot(const std::string& id) {
    static const char* const root = "delete-snapshot-response";
    std::unique_lock lock(m_mutex);
    if (m_snapshotById.count(id) == 0) {
        return Refused(root, "Snapshot " + id + " not found");
    }
    RemoveSnapshotLocked(id);
    return CommandAnswer(root, "0", kSuccess);
}

// A clone is a new group holding a new volume for each volume of the source
// group; the first takes the requested display name.
Answer Model::CloneGroup(const std::string& cgName, const FormFields& form) {
    static const char* const root = "clone-cg-response";
    const std::string* snapshotId = form.Find("snapshot");
    const std::string* name = form.Find("name");
    std::unique_lock lock(m_mutex);
    auto groupIt = m_groupByName.find(cgName);
    if (groupIt == m_groupByName.end()) {
        return Refused(root, "Consistency group " + cgName + " not found");
    }
    if (snapshotId == nullptr || snapshotId->empty()) {
        return Refused(root, "No snapshot given");
    }
    auto snapIt = m_snapshotById.find(*snapshotId);
    if (snapIt == m_snapshotById.end() || snapIt->second->cgName != cgName) {
        return Refused(root, "Snapshot " + *snapshotId + " not found in consistency group " + cgName);
    }
    if (name == nullptr || name->empty()) {
        return Refused(root, "No name given for the clone");
    }
    for (const auto& rec : m_volumes) {
        if (rec.volume.displayName == *name) {
            return Refused(root, "Volume name " + *name + " already exists");
        }
    }
    const std::vector<std::string> sources = groupIt->second->volumes;
    const std::string newGroup = NextGroupName();
    CreateGroupLocked(newGroup).clonedFrom = *snapshotId;
    std::vector<std::string> made;
    try {
        for (const auto& sourceName : sources) {
            const VolumeRec& source = *m_volumeByName.at(sourceName);
            VolumeSpec spec;
            spec.displayName = made.empty() ? *name : *name + "-" + std::to_string(made.size() + 1);
            spec.cgName = newGroup;
            spec.model = source.model;
            spec.size = source.volume.size;
            const CloneSource from{*snapshotId, sourceName};
            Volume clone = AddVolumeLocked(spec, &from);
            m_volumeByName.at(clone.name)->volume.sourceSnapshot = *snapshotId;
            made.push_back(clone.name);
        }
    } catch (const std::runtime_error& error) {
        // Nothing of the clone stays: its volumes, and the group with the last of them.
        for (const auto& volume : made) RemoveVolumeLocked(volume);
        auto left = m_groupByName.find(newGroup);
        if (left != m_groupByName.end()) {
            m_groups.erase(left->second);
            m_groupByName.erase(left);
        }
        return Refused(root, "Cannot clone " + cgName + ": " + error.what());
    }
    std::string extra;
    AppendElement(extra, "  ", "cg-name", newGroup);
    return CommandAnswer(root, "0", kSuccess, extra);
}

Answer Model::RollbackGroup(const std::string& cgName, const FormFields& form) {
    static const char* const root = "clone-cg-response";
    const std::string* snapshotId = form.Find("snapname");
    std::unique_lock lock(m_mutex);
    auto groupIt = m_groupByName.find(cgName);
    if (groupIt == m_groupByName.end()) {
        return Refused(root, "Consistency group " + cgName + " not found");
    }
    if (snapshotId == nullptr || snapshotId->empty()) {
        return Refused(root, "No snapshot given");
    }
    auto snapIt = m_snapshotById.find(*snapshotId);
    if (snapIt == m_snapshotById.end() || snapIt->second->cgName != cgName) {
        return Refused(root, "Snapshot " + *snapshotId + " not found in consistency group " + cgName);
    }
    if (m_images != nullptr) {
        try {
            m_images->Rollback(*snapshotId, groupIt->second->volumes);
        } catch (const std::runtime_error& error) {
            return Refused(root, "Cannot roll " + cgName + " back: " + error.what());
        }
    }
    groupIt->second->rolledBackTo = *snapshotId;
    ++groupIt->second->rollbackCount;
    std::string extra;
    AppendElement(extra, "  ", "cg-name", cgName);
    return CommandAnswer(root, "0", kSuccess, extra);
}

Answer Model::DeleteVolume(const std::string& name) {
    static const char* const root = "delete-volume-response";
    std::unique_lock lock(m_mutex);
    auto it = m_volumeByName.find(name);
    if (it == m_volumeByName.end()) {
        return Refused(root, "Volume " + name + " not found");
    }
    auto mapped = m_mappingCountByVolume.find(name);
    if (mapped != m_mappingCountByVolume.end() && mapped->second > 0) {
        return Refused(root, "Volume " + name + " is mapped to a server");
    }
    const std::string source = it->second->volume.sourceSnapshot;
    RemoveVolumeLocked(name);
    std::string extra;
    AppendElement(extra, "  ", "snapshot-name", source);
    return CommandAnswer(root, "0", kSuccess, extra);
}

Answer Model::CreateServer(const FormFields& form) {
    static const char* const root = "create-server-response";
    const std::string* display = form.Find("display_name");
    const std::string* iscsi = form.Find("iscsi");
    const std::string* iqn = form.Find("iqn");
    if (iqn == nullptr || iqn->empty()) {
        return Refused(root, "No iqn given");
    }
    std::unique_lock lock(m_mutex);
    if (m_hostNameByIqn.count(*iqn) != 0) {
        return Refused(root, "A server with iqn " + *iqn + " already exists");
    }
    Host host = AddHostLocked(*iqn, iscsi == nullptr ? std::string() : *iscsi, std::string(),
                              display == nullptr ? std::string() : *display);
    std::string extra;
    AppendElement(extra, "  ", "server-name", host.name);
    return CommandAnswer(root, "0", kSuccess, extra);
}

Answer Model::AttachVolume(const std::string& hostName, const FormFields& form) {
    static const char* const root = "attach-volume-response";
    const std::string* id = form.Find("id");
    const std::string* volumeName = form.Find("volume_name");
    std::unique_lock lock(m_mutex);
    if (m_hostByName.count(hostName) == 0) {
        return Refused(root, "Server " + hostName + " not found");
    }
    if (id != nullptr && *id != hostName) {
        return Refused(root, "Server id " + *id + " does not match server " + hostName);
    }
    if (volumeName == nullptr || volumeName->empty()) {
        return Refused(root, "No volume given");
    }
    if (m_volumeByName.count(*volumeName) == 0) {
        return Refused(root, "Volume " + *volumeName + " not found");
    }
    if (m_mappingSet.count({*volumeName, hostName}) != 0) {
        return Refused(root, "Volume " + *volumeName + " is already mapped to server " + hostName);
    }
    MapVolumeLocked(*volumeName, hostName);
    return CommandAnswer(root, "0", kSuccess);
}

// "servers" may name several host entries separated by commas; all are
// checked before any mapping is removed.
Answer Model::DetachVolume(const std::string& volumeName, const FormFields& form) {
    static const char* const root = "detach-volume-response";
    const std::string* servers = form.Find("servers");
    std::unique_lock lock(m_mutex);
    if (m_volumeByName.count(volumeName) == 0) {
        return Refused(root, "Volume " + volumeName + " not found");
    }
    if (servers == nullptr || servers->empty()) {
        return Refused(root, "No server given");
    }
    std::vector<std::string> hosts;
    std::size_t start = 0;
    while (start <= servers->size()) {
        std::size_t end = servers->find(',', start);
        if (end == std::string::npos) {
            end = servers->size();
        }
        hosts.push_back(servers->substr(start, end - start));
        start = end + 1;
    }
    for (const auto& host : hosts) {
        if (m_hostByName.count(host) == 0) {
            return Refused(root, "Server " + host + " not found");
        }
        if (m_mappingSet.count({volumeName, host}) == 0) {
            return Refused(root, "Volume " + volumeName + " is not mapped to server " + host);
        }
    }
    for (const auto& host : hosts) {
        if (m_mappingSet.erase({volumeName, host}) == 0) {
            continue;  // named twice in the list
        }
        m_mappings.erase(
            std::remove_if(m_mappings.begin(), m_mappings.end(),
                           [&](const Mapping& m) { return m.volumeName == volumeName && m.hostName == host; }),
            m_mappings.end());
        if (--m_mappingCountByVolume[volumeName] == 0) {
            m_mappingCountByVolume.erase(volumeName);
        }
    }
    return CommandAnswer(root, "0", kSuccess);
}

}  // namespace qsta::detail
