#include "KShadowCoordinator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "KFreeze.h"
#include "KHostDisks.h"
#include "KLunRecord.h"
#include "KShadowAppliances.h"
#include "KorvelAccessLibrary.h"
#include "Logger.h"
#include "LunIdentity.h"
#include "registry.h"
#include "vss.h"

namespace Korvel {

namespace {

const char* const kProvidersKey = "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers";
constexpr DWORD kHardwareProvider = 3;  // VSS_PROV_HARDWARE

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The provider's event file, read from where a step began.
class EventFile {
public:
    EventFile() : m_path(KorvelLog::EventsFilePath()) {}
    std::streamoff Size() const {
        std::ifstream in(m_path, std::ios::binary | std::ios::ate);
        return in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }
    std::vector<std::string> Since(std::streamoff offset) const {
        std::ifstream in(m_path, std::ios::binary);
        std::vector<std::string> lines;
        if (!in) return lines;
        in.seekg(offset);
        for (std::string line; std::getline(in, line);) {
            // The entry without the line's time and process prefix.
            size_t at = line.find("] ");
            lines.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return lines;
    }

private:
    std::string m_path;
};

// A key under `parent` opened for reading; empty when it cannot be.
KorvelRegKey OpenForReading(HKEY parent, const std::string& path) {
    KorvelRegKey key;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) key.release();
    return key;
}

bool ReadText(HKEY key, const char* name, std::string& value) {
    char buffer[512];
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ || size == 0)
        return false;
    value.assign(buffer, strnlen(buffer, size));
    return true;
}

bool ReadDword(HKEY key, const char* name, DWORD& value) {
    DWORD type = 0;
    DWORD size = sizeof value;
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

}  // namespace

std::string HResultName(HRESULT hr) {
    static const std::pair<HRESULT, const char*> names[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_FAIL, "E_FAIL"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_POINTER, "E_POINTER"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {VSS_E_PROVIDER_VETO, "VSS_E_PROVIDER_VETO"},
        {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
    };
    for (const auto& entry : names)
        if (entry.first == hr) return entry.second;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string GuidText(const GUID& g) { return KorvelGuidText(g); }

bool ParseGuid(const std::string& text, GUID& guid) {
    std::string t = text;
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
    std::string hex;
    for (size_t i = 0; i < t.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) continue;
        if (!std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
        hex += t[i];
    }
    auto field = [&hex](size_t at, size_t digits) { return std::stoul(hex.substr(at, digits), nullptr, 16); };
    guid.Data1 = static_cast<DWORD>(field(0, 8));
    guid.Data2 = static_cast<WORD>(field(8, 4));
    guid.Data3 = static_cast<WORD>(field(12, 4));
    for (size_t i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(field(16 + 2 * i, 2));
    return true;
}

std::string UtcNowText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string JoinedText(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

GUID NewRandomGuid() {
    static thread_local std::mt19937_64 generator(std::random_device{}());
    uint64_t halves[2] = {generator(), generator()};
    GUID guid;
    std::memcpy(&guid, halves, sizeof guid);
    guid.Data3 = static_cast<WORD>((guid.Data3 & 0x0FFF) | 0x4000);  // version 4
    guid.Data4[0] = static_cast<BYTE>((guid.Data4[0] & 0x3F) | 0x80);
    return guid;
}

std::string KShadowCoordinator::DefaultHookFolder() {
    const char* folder = std::getenv("KORVEL_FREEZE_HOOK_DIR");
    return folder != nullptr && *folder != '\0' ? folder : "/etc/korvel/freeze-hook.d";
}

CLSID KShadowCoordinator::FindHardwareProvider() {
    const KorvelRegKey providers = OpenForReading(HKEY_LOCAL_MACHINE, kProvidersKey);
    for (DWORD index = 0; providers; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(providers.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const KorvelRegKey provider = OpenForReading(providers.get(), name);
        DWORD type = 0;
        if (!provider || !ReadDword(provider.get(), "Type", type) || type != kHardwareProvider) continue;
        const KorvelRegKey clsidKey = OpenForReading(provider.get(), "CLSID");
        std::string text;
        CLSID clsid;
        if (clsidKey && ReadText(clsidKey.get(), nullptr, text) && ParseGuid(text, clsid)) return clsid;
    }
    throw KShadowRefusal(std::string("No hardware provider is registered (HKLM\\") + kProvidersKey + ")");
}

// One activated provider object for the length of a command: OnLoad first,
// OnUnload and the last Release at the end, on every path.
class KShadowCoordinator::Session {
public:
    explicit Session(const Options& options) : m_options(options) {
        try {
            Activate();
        } catch (...) {
            ReleaseAll();
            throw;
        }
    }
    ~Session() {
        if (m_loaded) m_notifications->OnUnload(FALSE);
        ReleaseAll();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    IVssHardwareSnapshotProviderEx* Hardware() { return m_hardware; }
    IVssProviderCreateSnapshotSet* Creator() { return m_creator; }

    // Reports the step; a failure throws with the provider's events of that step.
    void Check(const std::string& operation, const std::string& subject, HRESULT hr) {
        const std::vector<std::string> events = Report(operation, subject, hr);
        if (hr != S_OK)
            throw KShadowFailure(operation + (subject.empty() ? "" : " " + subject) + " failed: " + HResultName(hr),
                                 KShadowStep{operation, subject, hr}, events);
    }
    // Reports the step and returns the provider's events written during it.
    std::vector<std::string> Report(const std::string& operation, const std::string& subject, HRESULT hr) {
        if (m_options.onStep) m_options.onStep(KShadowStep{operation, subject, hr});
        std::vector<std::string> events = m_events.Since(m_mark);
        m_mark = m_events.Size();
        return events;
    }

private:
    void Activate() {
        CLSID clsid = FindHardwareProvider();
        IUnknown* object = nullptr;
        Check("CoCreateInstance", GuidText(clsid),
              CoCreateInstance(clsid, nullptr, m_options.clsContext, IID_IUnknown, reinterpret_cast<void**>(&object)));
        m_object = object;
        Check("QueryInterface", "IVssHardwareSnapshotProviderEx",
              object->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(&m_hardware)));
        Check("QueryInterface", "IVssProviderCreateSnapshotSet",
              object->QueryInterface(IID_IVssProviderCreateSnapshotSet, reinterpret_cast<void**>(&m_creator)));
        Check("QueryInterface", "IVssProviderNotifications",
              object->QueryInterface(IID_IVssProviderNotifications, reinterpret_cast<void**>(&m_notifications)));
        Check("OnLoad", "", m_notifications->OnLoad(nullptr));
        m_loaded = true;
    }
    void ReleaseAll() {
        for (IUnknown* p : {static_cast<IUnknown*>(m_notifications), static_cast<IUnknown*>(m_creator),
                            static_cast<IUnknown*>(m_hardware), m_object})
            if (p != nullptr) p->Release();
        m_notifications = nullptr;
        m_creator = nullptr;
        m_hardware = nullptr;
        m_object = nullptr;
    }

    const Options& m_options;
    EventFile m_events;
    std::streamoff m_mark = EventFile().Size();
    IUnknown* m_object = nullptr;
    IVssHardwareSnapshotProviderEx* m_hardware = nullptr;
    IVssProviderCreateSnapshotSet* m_creator = nullptr;
    IVssProviderNotifications* m_notifications = nullptr;
    bool m_loaded = false;
};

// One shadow copy's lock, held by the command that works on it: an advisory
// lock on a file of its own, which the kernel drops when the process dies,
// so a killed command never leaves a shadow copy locked.
class KShadowCoordinator::RowLock {
public:
    RowLock(const std::string& cataloguePath, const std::string& shadowId, const std::string& operation) {
        const std::string folder = cataloguePath + ".locks";
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            throw KShadowRefusal("Cannot lock shadow copy " + shadowId + ": " + folder + ": " + std::strerror(errno));
        m_path = folder + "/" + shadowId;
        for (int attempt = 0; m_fd < 0; ++attempt) {
            int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0)
                throw KShadowRefusal("Cannot lock shadow copy " + shadowId + ": " + m_path + ": " +
                                     std::strerror(errno));
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                char holder[64] = "";
                const ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
                ::close(fd);
                const std::string what = n > 0 ? std::string(holder, static_cast<size_t>(n)) : "another command";
                throw KShadowRefusal("Shadow copy " + shadowId + " is busy (" + what + " in progress)");
            }
            // The holder before us may have removed the file after we opened
            // it: the lock must be on the file that is there now.
            struct stat held {
            }, named{};
            if (::fstat(fd, &held) == 0 && ::stat(m_path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
                held.st_dev == named.st_dev) {
                m_fd = fd;
            } else {
                ::close(fd);
                if (attempt >= 10)
                    throw KShadowRefusal("Shadow copy " + shadowId + " is busy (another command in progress)");
            }
        }
        const std::string text = operation;
        if (::ftruncate(m_fd, 0) != 0 || ::pwrite(m_fd, text.data(), text.size(), 0) < 0) {
            // Only the busy message would lack the operation's name.
        }
    }
    ~RowLock() {
        ::unlink(m_path.c_str());
        ::close(m_fd);
    }
    RowLock(const RowLock&) = delete;
    RowLock& operator=(const RowLock&) = delete;

private:
    std::string m_path;
    int m_fd = -1;
};

namespace {

std::string SerialOf(const VDS_LUN_INFORMATION& info) {
    return info.m_szSerialNumber != nullptr ? info.m_szSerialNumber : std::string();
}

// The disks of this host by their LUN IEEE ID.
std::map<std::string, std::string> DisksByIdentity() {
    std::map<std::string, std::string> disks;
    for (const std::string& name : BlockDevices()) {
        try {
            const std::string id = LunIeeeIdOf(KLunRecord::FromDisk("/dev/" + name).Info());
            if (!id.empty()) disks.emplace(id, "/dev/" + name);
        } catch (const std::exception&) {
            // Not a disk (a partition, a device gone meanwhile).
        }
    }
    return disks;
}

// "/dev/NAME" for a disk named on the command line; anything else is refused.
std::string DiskPath(const std::string& text) {
    const std::filesystem::path normal = std::filesystem::path(text).lexically_normal();
    const std::string name = normal.filename().string();
    if (normal.parent_path() != "/dev" || name.empty() || name == "." || name == "..")
        throw KShadowRefusal(text + " is not a disk: name it as /dev/NAME");
    return normal.string();
}

// "10 s", or "1.5 s" for a limit that is no whole number of seconds.
std::string HoldText(std::chrono::milliseconds limit) {
    char text[32];
    if (limit.count() % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(limit.count() / 1000));
    else
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(limit.count()) / 1000.0);
    return text;
}

}  // namespace

KShadowCoordinator::KShadowCoordinator(Options options) try
    : m_options(std::move(options)), m_catalogue(m_options.cataloguePath) {
} catch (const KShadowRefusal&) {
    throw;
} catch (const std::exception& e) {
    throw KShadowRefusal(e.what());
}

void KShadowCoordinator::Note(const std::string& text) const {
    if (m_options.onNote) m_options.onNote(text);
}

KShadowCopyEntry KShadowCoordinator::Entry(const std::string& shadowId) const {
    GUID id;
    if (!ParseGuid(shadowId, id)) throw KShadowRefusal("\"" + shadowId + "\" is not a shadow copy ID");
    auto entry = m_catalogue.Find(GuidText(id));
    if (!entry) throw KShadowRefusal("Unknown shadow copy " + GuidText(id));
    return *entry;
}

namespace {

// A create that never finished has no snapshot the catalogue could name.
void RefusePending(const KShadowCopyEntry& entry) {
    if (entry.state == "pending")
        throw KShadowRefusal("Shadow copy " + entry.shadowId +
                             " was never completed: its create stopped half-way. \"forget\" drops it; "
                             "\"list --orphans\" shows what the create left on the appliances");
    // Export moved it to another host, which may be using it now.
    if (entry.state == "exported")
        throw KShadowRefusal("Shadow copy " + entry.shadowId +
                             " is exported: it belongs to the host that imports it, and only \"forget\" is "
                             "allowed here");
}

}  // namespace

std::vector<KShadowCopyEntry> KShadowCoordinator::Create(const std::vector<std::string>& devices) {
    if (devices.empty()) throw KShadowRefusal("Name at least one disk");
    // Every disk is checked before anything is written or asked.
    std::vector<KLunRecord> sources;
    std::vector<std::string> paths;
    std::map<std::string, std::string> named;  // identity -> as the command line named it
    for (const std::string& device : devices) {
        const std::string path = DiskPath(device);
        sources.push_back(RefusedOnFailure([&] { return KLunRecord::FromDisk(path); }));
        paths.push_back(path);
        const char* vendor = sources.back().Info().m_szVendorId;
        if (!IsApplianceVendorId(vendor))
            throw KShadowRefusal(device + " is not a disk of a Korvel appliance (vendor \"" +
                                 std::string(vendor != nullptr ? vendor : "") + "\")");
        const std::string identity = LunIeeeIdOf(sources.back().Info()) + "/" + SerialOf(sources.back().Info());
        auto first = named.emplace(identity, device);
        if (!first.second) throw KShadowRefusal(device + " names the same disk as " + first.first->second);
    }

    // The filesystems on the source disks, each once (a filesystem mounted
    // twice is frozen once), in mount-point order.
    std::vector<KMount> filesystems;
    if (m_options.freeze) {
        std::map<std::string, KMount> byTarget;
        for (const std::string& path : paths)
            for (const KMount& mount : KHostDisk(path).Mounts()) byTarget.emplace(mount.target, mount);
        std::set<dev_t> seen;
        for (const auto& mount : byTarget)
            if (seen.insert(mount.second.devno).second) filesystems.push_back(mount.second);
    }

    const VSS_ID setId = NewRandomGuid();
    const std::string set = GuidText(setId);
    const std::string now = UtcNowText();
    std::vector<VSS_ID> snapshotIds;
    std::vector<KShadowCopyEntry> entries;
    for (size_t i = 0; i < sources.size(); ++i) {
        snapshotIds.push_back(NewRandomGuid());
        KShadowCopyEntry entry;
        entry.shadowId = GuidText(snapshotIds.back());
        entry.setId = set;
        entry.createdAt = now;
        entry.sourceDevice = paths[i];
        entry.sourceLun = sources[i].Encode();
        entry.state = "pending";
        entries.push_back(entry);
    }
    // The set is written before the provider is asked anything: a catalogue
    // that cannot take it refuses the create while nothing exists yet. A
    // create killed later leaves it pending, which tells "list --orphans"
    // whose snapshots it may have left.
    try {
        m_catalogue.AddSet(set, now, entries);
    } catch (const std::exception& e) {
        throw KShadowRefusal("Cannot write the shadow copy catalogue " + m_options.cataloguePath + ": " + e.what());
    }
    struct Pending {
        KShadowCatalogue& catalogue;
        const std::string& set;
        bool keep = false;
        ~Pending() {
            if (keep) return;
            try {
                catalogue.RemoveSet(set);
            } catch (const std::exception&) {
                // Left pending: it only marks whose snapshots are orphans.
            }
        }
    } pending{m_catalogue, set};

    Session session(m_options);
    for (size_t i = 0; i < sources.size(); ++i) {
        BOOL supported = FALSE;
        const HRESULT hr = session.Hardware()->AreLunsSupported(1, 0, nullptr, &sources[i].Info(), &supported);
        if (hr != S_OK) session.Check("AreLunsSupported", paths[i], hr);
        std::vector<std::string> events = session.Report("AreLunsSupported", paths[i], hr);
        if (supported) continue;
        // An appliance that could not be asked is a failure to report, not a
        // disk that is not ours.
        std::vector<std::string> causes;
        for (const std::string& event : events) {
            const size_t at = event.find("0xC0004003: ");
            if (at != std::string::npos) causes.push_back(event.substr(at + 12));
        }
        if (!causes.empty())
            throw KShadowFailure(JoinedText(causes), KShadowStep{"AreLunsSupported", paths[i], hr}, events);
        throw KShadowRefusal(devices[i] + " is not a volume of a configured appliance");
    }

    // From the first preparation on, a failure aborts the set, and the
    // provider deletes what its commit made.
    struct Abort {
        Session& session;
        const VSS_ID& setId;
        const std::string& set;
        Pending& pending;
        bool armed = true;
        ~Abort() {
            if (!armed) return;
            const HRESULT hr = session.Creator()->AbortSnapshots(setId);
            session.Report("AbortSnapshots", set, hr);
            // Snapshots it could not delete are orphans: the pending set names their volumes.
            if (hr != S_OK) pending.keep = true;
        }
    } abort{session, setId, set, pending};
    for (size_t i = 0; i < sources.size(); ++i)
        session.Check(
            "BeginPrepareSnapshot", paths[i],
            session.Hardware()->BeginPrepareSnapshot(setId, snapshotIds[i], 0, 1, nullptr, &sources[i].Info()));
    session.Check("EndPrepareSnapshots", set, session.Creator()->EndPrepareSnapshots(setId));

    // The applications flush and hold their writes, then the filesystems are
    // frozen for the commit and thawed as soon as it returns.
    std::string disks, mountPoints;
    for (const std::string& path : paths) disks += (disks.empty() ? "" : " ") + path;
    for (const KMount& mount : filesystems) mountPoints += (mountPoints.empty() ? "" : " ") + mount.target;
    KFreezeHooks hooks(
        m_options.freeze ? m_options.hookFolder : std::string(), m_options.hookTimeout,
        {{"KORVEL_SNAPSHOT_SET_ID", set}, {"KORVEL_SOURCE_DISKS", disks}, {"KORVEL_MOUNT_POINTS", mountPoints}},
        [this](const KShadowStep& step) {
            if (m_options.onStep) m_options.onStep(step);
        },
        [this](const std::string& warning) { Note(warning); });
    hooks.Freeze();
    session.Check("PreCommitSnapshots", set, session.Creator()->PreCommitSnapshots(setId));
    std::optional<KFreezeWatchdog> frozen;
    if (!filesystems.empty()) frozen.emplace(filesystems, m_options.holdLimit);
    session.Check("CommitSnapshots", set, session.Creator()->CommitSnapshots(setId));
    const bool heldThroughout = !frozen || frozen->Thaw();
    if (frozen)
        Note("Held " + std::to_string(filesystems.size()) + " filesystem(s) frozen for " +
             std::to_string((frozen->Held().count() + 500) / 1000) + " ms");
    if (!hooks.Thaw()) Note("A thaw hook failed: see its output above");
    if (!heldThroughout)
        throw KShadowFailure("The filesystems were held for " + HoldText(m_options.holdLimit) +
                                 " and released before the appliance committed; nothing was kept",
                             KShadowStep{"CommitSnapshots", set, S_OK}, {});
    const std::string consistency = filesystems.empty() ? "crash" : hooks.Empty() ? "filesystem" : "application";
    session.Check("PostCommitSnapshots", set,
                  session.Creator()->PostCommitSnapshots(setId, static_cast<LONG>(sources.size())));

    std::vector<VDS_LUN_INFORMATION> sourceInfo;
    for (KLunRecord& source : sources) sourceInfo.push_back(source.Info());
    std::vector<KLunRecord> targets(sources.size());
    std::vector<VDS_LUN_INFORMATION> targetInfo(sources.size(), VDS_LUN_INFORMATION{});
    HRESULT hr = session.Hardware()->GetTargetLuns(static_cast<LONG>(sources.size()), nullptr, sourceInfo.data(),
                                                   targetInfo.data());
    // What the provider wrote belongs to us now, also after a failure.
    for (size_t i = 0; i < targets.size(); ++i) targets[i].Info() = targetInfo[i];
    session.Check("GetTargetLuns", set, hr);

    for (size_t i = 0; i < sources.size(); ++i) {
        entries[i].targetLun = targets[i].Encode();
        entries[i].snapshotName = SerialOf(targets[i].Info());
        entries[i].consistency = consistency;
        entries[i].state = "created";
    }
    try {
        m_catalogue.CompleteSet(entries);
    } catch (const std::exception& e) {
        // Not recorded, not kept: the abort deletes the snapshots.
        throw KShadowFailure("The shadow copies were made but the catalogue " + m_options.cataloguePath +
                                 " could not record them: " + e.what(),
                             KShadowStep{"KorvelShadow", set, E_FAIL}, {});
    }
    abort.armed = false;
    pending.keep = true;
    return entries;
}

std::string KShadowCoordinator::ExposeWith(Session& session, KShadowCopyEntry& entry) {
    KLunRecord target = KLunRecord::Decode(entry.targetLun);
    // Disks already here are not the new one, whatever names they carry.
    std::set<std::string> offered;
    for (const auto& disk : DisksByIdentity()) offered.insert(disk.first);
    m_catalogue.SetIntent(entry.shadowId, "exposing", UtcNowText());
    entry.intent = "exposing";  // so an undone expose ends it again
    try {
        session.Check("LocateLuns", entry.shadowId, session.Hardware()->LocateLuns(1, &target.Info()));
        RescanIscsiHosts();

        // The new disk shows up after the host's rescan; wait for it, but not for ever.
        const auto deadline = std::chrono::steady_clock::now() + m_options.rescanTimeout;
        for (;;) {
            for (const std::string& name : BlockDevices()) {
                const std::string device = "/dev/" + name;
                KLunRecord disk;
                try {
                    disk = KLunRecord::FromDisk(device);
                } catch (const std::exception&) {
                    continue;  // not a disk (a partition, a gone device)
                }
                // Without an identity a disk cannot be a clone.
                const std::string eui64 = LunIeeeIdOf(disk.Info());
                if (eui64.empty() || !offered.insert(eui64).second) continue;
                if (ClaimExposedDisk(session, entry, device, disk)) return device;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        throw KShadowFailure("No disk of shadow copy " + entry.shadowId + " appeared within " +
                                 std::to_string(m_options.rescanTimeout.count()) + " ms",
                             KShadowStep{"FillInLunInfo", entry.shadowId, E_FAIL}, {});
    } catch (const std::exception&) {
        // Whatever the provider made for this expose goes again; when that
        // cannot be done now, the intent stays for the next command.
        try {
            Repair(entry, false);
        } catch (const std::exception& e) {
            Note(e.what());
        }
        throw;
    }
}

void KShadowCoordinator::Repair(KShadowCopyEntry& entry, bool adopt) {
    KShadowAppliances appliances;
    const std::vector<KShadowAppliances::Volume> clones = appliances.ClonesOf(entry.snapshotName);
    // A clone mapped here shows only after a rescan.
    if (!clones.empty()) RescanIscsiHosts();
    const std::map<std::string, std::string> disks = DisksByIdentity();
    std::vector<std::string> left = appliances.Failures();
    for (const KShadowAppliances::Volume& clone : clones) {
        // The clone an expose recorded stays; any other is a leftover.
        if (!entry.exposedEui64.empty() && clone.listing.volID == entry.exposedEui64) continue;
        auto disk = disks.find(clone.listing.volID);
        if (adopt && entry.exposedDevice.empty() && disk != disks.end() && Adopt(entry, disk->second)) {
            Note("Shadow copy " + entry.shadowId + " was exposed as " + disk->second +
                 " by a command that stopped before recording it");
            continue;
        }
        if (disk != disks.end()) {
            try {
                TakeAway(entry, disk->second, false);
            } catch (const std::exception& e) {
                left.push_back("the clone volume " + clone.listing.volName + " stays: " + e.what());
                continue;
            }
        }
        const std::string why = appliances.RemoveClone(clone);
        if (why.empty())
            Note("Deleted the clone volume " + clone.listing.volName + " (" + clone.listing.volDispName +
                 ") that an unfinished expose of shadow copy " + entry.shadowId + " left on " + clone.appliance);
        else
            left.push_back(why);
    }
    if (!left.empty())
        throw KShadowFailure("The expose of shadow copy " + entry.shadowId +
                                 " that stopped half-way could not be finished or undone: " + JoinedText(left),
                             KShadowStep{"LocateLuns", entry.shadowId, E_FAIL}, {});
    if (!entry.intent.empty() && entry.exposedDevice.empty()) m_catalogue.SetIntent(entry.shadowId, "", "");
    entry.intent.clear();
    entry.intentAt.clear();
}

bool KShadowCoordinator::Adopt(KShadowCopyEntry& entry, const std::string& device) {
    // Mapped to this host and its disk is here: the expose finished but for
    // its record, which the provider gives as it would have then.
    KLunRecord disk = KLunRecord::FromDisk(device);
    Session session(m_options);
    return ClaimExposedDisk(session, entry, device, disk);
}

bool KShadowCoordinator::ClaimExposedDisk(Session& session, KShadowCopyEntry& entry, const std::string& device,
                                          KLunRecord& disk) {
    // The identity as the disk gives it, before the provider fills the record in.
    const std::string eui64 = LunIeeeIdOf(disk.Info());
    const std::string serial = SerialOf(disk.Info());
    std::u16string wide = Wide(device);
    BOOL supported = FALSE;
    session.Check("FillInLunInfo", device,
                  session.Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &disk.Info(), &supported));
    if (!supported || entry.snapshotName != SerialOf(disk.Info())) return false;
    entry.exposedDevice = device;
    entry.exposedLun = disk.Encode();
    entry.exposedEui64 = eui64;
    entry.exposedSerial = serial;
    m_catalogue.SetExposed(entry);
    return true;
}

std::string KShadowCoordinator::Expose(const std::string& shadowId, const std::string& mountDir) {
    RowLock lock(m_options.cataloguePath, Entry(shadowId).shadowId, "expose");
    KShadowCopyEntry entry = Entry(shadowId);  // as it is now that it is ours
    RefusePending(entry);
    if (!entry.intent.empty()) Repair(entry, true);
    if (!entry.exposedDevice.empty())
        throw KShadowRefusal("Shadow copy " + entry.shadowId + " is already exposed as " + entry.exposedDevice);
    if (!mountDir.empty() && std::filesystem::path(mountDir).is_relative())
        throw KShadowRefusal("The mount point " + mountDir + " is not an absolute path");
    std::string device;
    {
        Session session(m_options);
        device = ExposeWith(session, entry);
    }
    if (mountDir.empty()) return device;
    try {
        const std::string type = MountReadOnly(KHostDisk(device).Node(), mountDir);
        m_catalogue.SetMountPoint(entry.shadowId, mountDir);
        Note("Mounted the " + type + " filesystem of " + device + " read-only at " + mountDir);
    } catch (const std::exception& e) {
        throw KShadowFailure(
            "Shadow copy " + entry.shadowId + " is exposed as " + device + ", but not mounted: " + e.what(),
            KShadowStep{"mount", device, S_OK}, {});
    }
    return device;
}

void KShadowCoordinator::UnmountVanished(const KShadowCopyEntry& entry) {
    if (entry.mountPoint.empty()) return;
    const std::optional<dev_t> mounted = MountedDevice(entry.mountPoint);
    if (!mounted) return;
    // Whatever a disk of this host shows there now is not the vanished copy.
    for (const std::string& name : BlockDevices()) {
        if (KHostDisk(name).DevNo() == mounted) {
            Note(entry.mountPoint + " now shows /dev/" + name + ", not shadow copy " + entry.shadowId +
                 ": it stays mounted");
            return;
        }
    }
    try {
        Unmount(entry.mountPoint);
    } catch (const KBusyMount& busy) {
        throw KShadowRefusal(std::string(busy.what()) + "; shadow copy " + entry.shadowId + " stays as it is");
    }
    Note("Unmounted " + entry.mountPoint);
}

void KShadowCoordinator::TakeAway(const KShadowCopyEntry& entry, const std::string& device, bool ownDisk) {
    const KHostDisk disk(device);
    const std::vector<KMount> mounts = disk.Mounts();
    // The last mount first: one may sit inside another.
    for (auto mount = mounts.rbegin(); mount != mounts.rend(); ++mount) {
        try {
            Unmount(mount->target);
        } catch (const KBusyMount& busy) {
            throw KShadowRefusal(std::string(busy.what()) + "; shadow copy " + entry.shadowId + " stays as it is");
        }
        Note("Unmounted " + mount->target);
    }
    if (ownDisk && !entry.mountPoint.empty()) m_catalogue.SetMountPoint(entry.shadowId, "");
    disk.Remove(static_cast<int>(m_options.rescanTimeout.count()));
}

std::string KShadowCoordinator::FindExposedDisk(const KShadowCopyEntry& entry) const {
    // An entry an older release exposed lacks the disk's identity: its disk
    // is the one that shows a clone of its snapshot.
    const bool recorded = !entry.exposedEui64.empty();
    std::set<std::string> clones;
    if (!recorded) {
        KShadowAppliances appliances;
        for (const KShadowAppliances::Volume& clone : appliances.ClonesOf(entry.snapshotName))
            clones.insert(clone.listing.volID);
    }
    for (const std::string& name : BlockDevices()) {
        const std::string device = "/dev/" + name;
        try {
            KLunRecord disk = KLunRecord::FromDisk(device);
            const std::string eui64 = LunIeeeIdOf(disk.Info());
            if (eui64.empty()) continue;
            if (recorded ? eui64 == entry.exposedEui64 && SerialOf(disk.Info()) == entry.exposedSerial
                         : clones.count(eui64) != 0)
                return device;
        } catch (const std::exception&) {
            // Not a disk (a partition, a device gone meanwhile).
        }
    }
    return std::string();
}

void KShadowCoordinator::ReleaseOnDisk(Session& session, const KShadowCopyEntry& entry, const std::string& device) {
    KLunRecord disk = KLunRecord::FromDisk(device);
    // A new provider object has not met the disk yet: it learns which clone
    // the device shows when it is offered the disk.
    std::u16string wide = Wide(device);
    BOOL supported = FALSE;
    const HRESULT hr =
        session.Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &disk.Info(), &supported);
    session.Report("FillInLunInfo", device, hr);
    if (hr != S_OK || !supported || entry.snapshotName != SerialOf(disk.Info())) {
        // A stale disk whose clone is gone from the appliance already (a
        // release that stopped half-way): what is left goes without it.
        Note(device + " no longer shows a clone of shadow copy " + entry.shadowId);
        TakeAway(entry, device);
        FinishOnAppliance(entry, false);
        return;
    }
    // The host lets go of the disk before its LUN goes, as a SCSI host must.
    TakeAway(entry, device);
    session.Check("OnLunEmpty", device,
                  session.Hardware()->OnLunEmpty(reinterpret_cast<VSS_PWSZ>(wide.data()), &disk.Info()));
}

void KShadowCoordinator::MaskOnDisk(Session& session, const KShadowCopyEntry& entry, const std::string& device) {
    KLunRecord disk = KLunRecord::FromDisk(device);
    TakeAway(entry, device);
    session.Check("OnLunStateChange", device,
                  session.Hardware()->OnLunStateChange(&disk.Info(), nullptr, 1, VSS_ONLUNSTATECHANGE_DO_MASK_LUNS));
}

void KShadowCoordinator::FinishOnAppliance(const KShadowCopyEntry& entry, bool keepSnapshot) {
    KShadowAppliances appliances;
    std::vector<std::string> left;
    for (const KShadowAppliances::Volume& clone : appliances.ClonesOf(entry.snapshotName)) {
        const std::string why = appliances.RemoveClone(clone);
        if (why.empty())
            Note("Deleted the clone volume " + clone.listing.volName + " (" + clone.listing.volDispName + ") on " +
                 clone.appliance);
        else
            left.push_back(why);
    }
    if (!keepSnapshot && left.empty()) {
        const std::string why = appliances.RemoveSnapshot(entry.snapshotName);
        if (!why.empty()) left.push_back(why);
    }
    for (const std::string& failure : appliances.Failures()) left.push_back(failure);
    if (!left.empty())
        throw KShadowFailure(
            "Shadow copy " + entry.shadowId + " could not be removed from the appliance: " + JoinedText(left),
            KShadowStep{keepSnapshot ? "mask" : "delete", entry.shadowId, E_FAIL}, {});
}

void KShadowCoordinator::CheckGone(const KShadowCopyEntry& entry, bool keepSnapshot,
                                   const std::string& operation) const {
    // The provider answers S_OK even when the appliance kept something: look.
    KShadowAppliances appliances;
    std::vector<std::string> left;
    for (const KShadowAppliances::Volume& clone : appliances.ClonesOf(entry.snapshotName))
        if (entry.exposedEui64.empty() || clone.listing.volID == entry.exposedEui64)
            left.push_back("the clone volume " + clone.listing.volName + " (" + clone.listing.volDispName + ") on " +
                           clone.appliance);
    if (!keepSnapshot) {
        for (const KShadowAppliances::Snapshot& snapshot : appliances.Snapshots())
            if (snapshot.id == entry.snapshotName)
                left.push_back("the snapshot " + snapshot.id + " on " + snapshot.appliance);
    }
    for (const std::string& failure : appliances.Failures()) left.push_back("unconfirmed, since " + failure);
    if (!left.empty())
        throw KShadowFailure(operation + " of shadow copy " + entry.shadowId + " left " + JoinedText(left),
                             KShadowStep{operation, entry.shadowId, S_OK}, {});
}

void KShadowCoordinator::Unexpose(const std::string& shadowId, bool keepSnapshot) {
    const char* operation = keepSnapshot ? "mask" : "release";
    RowLock lock(m_options.cataloguePath, Entry(shadowId).shadowId, operation);
    KShadowCopyEntry entry = Entry(shadowId);
    RefusePending(entry);
    if (!entry.intent.empty()) Repair(entry, true);
    if (entry.exposedDevice.empty())
        throw KShadowRefusal("Shadow copy " + entry.shadowId + " is not exposed" +
                             (keepSnapshot ? "" : " (\"delete\" removes it)"));
    const std::string device = FindExposedDisk(entry);
    if (device.empty()) {
        Note("The exposed disk of shadow copy " + entry.shadowId + " is gone");
        UnmountVanished(entry);
        FinishOnAppliance(entry, keepSnapshot);
    } else {
        Session session(m_options);
        if (keepSnapshot)
            MaskOnDisk(session, entry, device);
        else
            ReleaseOnDisk(session, entry, device);
    }
    CheckGone(entry, keepSnapshot, operation);
    if (keepSnapshot)
        m_catalogue.ClearExposed(entry.shadowId);
    else
        m_catalogue.Remove(entry.shadowId);
}

void KShadowCoordinator::Release(const std::string& shadowId) { Unexpose(shadowId, false); }

void KShadowCoordinator::Mask(const std::string& shadowId) { Unexpose(shadowId, true); }

void KShadowCoordinator::Revert(const std::string& shadowId) {
    RowLock lock(m_options.cataloguePath, Entry(shadowId).shadowId, "revert");
    KShadowCopyEntry entry = Entry(shadowId);
    RefusePending(entry);
    if (!entry.intent.empty()) Repair(entry, true);
    KLunRecord source = RefusedOnFailure([&] { return KLunRecord::FromDisk(entry.sourceDevice); });
    const std::string expected = LunIeeeIdOf(KLunRecord::Decode(entry.sourceLun).Info());
    // Two empty identities would match whatever volume the name shows now.
    if (expected.empty())
        throw KShadowRefusal("Shadow copy " + entry.shadowId + " records no identity of its source volume: " +
                             entry.sourceDevice + " cannot be checked, so it is not rolled back");
    if (LunIeeeIdOf(source.Info()) != expected)
        throw KShadowRefusal(entry.sourceDevice + " no longer shows the volume of shadow copy " + entry.shadowId);
    // Rolling a mounted filesystem back underneath the kernel corrupts it.
    const KHostDisk sourceDisk(entry.sourceDevice);
    const std::vector<KMount> mounts = sourceDisk.Mounts();
    if (!mounts.empty())
        throw KShadowRefusal(entry.sourceDevice + " is mounted at " + mounts.front().target +
                             ": unmount it before rolling back");
    KLunRecord tagged = KLunRecord::Decode(entry.targetLun);
    Session session(m_options);
    IVssAsync* async = nullptr;
    HRESULT hr = session.Hardware()->ResyncLuns(&tagged.Info(), &source.Info(), 1, &async);
    HRESULT status = VSS_S_ASYNC_FINISHED;
    if (async != nullptr) {
        if (SUCCEEDED(hr)) {
            async->Wait(INFINITE);
            async->QueryStatus(&status, nullptr);
        }
        async->Release();
    }
    session.Check("ResyncLuns", entry.sourceDevice, hr);
    if (status != VSS_S_ASYNC_FINISHED) session.Check("ResyncLuns", entry.sourceDevice, status);
    // What the host cached of the disk predates the rollback.
    if (sourceDisk.DevNo()) {
        try {
            FlushBuffers(sourceDisk.Node());
        } catch (const std::exception& e) {
            throw KShadowFailure(std::string("Rolled back, but ") + e.what() + ": read " + entry.sourceDevice +
                                     " only after its cache was dropped",
                                 KShadowStep{"ResyncLuns", entry.sourceDevice, S_OK}, {});
        }
    }
}

void KShadowCoordinator::Delete(const std::string& shadowId) {
    RowLock lock(m_options.cataloguePath, Entry(shadowId).shadowId, "delete");
    KShadowCopyEntry entry = Entry(shadowId);
    RefusePending(entry);
    if (!entry.intent.empty()) Repair(entry, true);
    const std::string device = entry.exposedDevice.empty() ? std::string() : FindExposedDisk(entry);
    if (!device.empty()) {
        Session session(m_options);
        ReleaseOnDisk(session, entry, device);
    } else {
        // Never exposed, or its disk is gone: the appliance is told directly.
        if (!entry.exposedDevice.empty()) {
            Note("The exposed disk of shadow copy " + entry.shadowId + " is gone");
            UnmountVanished(entry);
        }
        FinishOnAppliance(entry, false);
    }
    CheckGone(entry, false, "delete");
    m_catalogue.Remove(entry.shadowId);
}

std::vector<std::string> KShadowCoordinator::Forget(const std::string& shadowId) {
    RowLock lock(m_options.cataloguePath, Entry(shadowId).shadowId, "forget");
    const KShadowCopyEntry entry = Entry(shadowId);
    m_catalogue.Remove(entry.shadowId);
    std::vector<std::string> left;
    if (entry.snapshotName.empty()) return left;
    KShadowAppliances appliances;
    for (const KShadowAppliances::Snapshot& snapshot : appliances.Snapshots())
        if (snapshot.id == entry.snapshotName) left.push_back("snapshot " + snapshot.id + " on " + snapshot.appliance);
    for (const KShadowAppliances::Volume& clone : appliances.ClonesOf(entry.snapshotName))
        left.push_back("clone volume " + clone.listing.volName + " (" + clone.listing.volDispName + ") on " +
                       clone.appliance);
    for (const std::string& failure : appliances.Failures()) left.push_back("unknown: " + failure);
    return left;
}

std::shared_ptr<void> KShadowCoordinator::LockRow(const std::string& shadowId, const std::string& operation) const {
    return std::make_shared<RowLock>(m_options.cataloguePath, shadowId, operation);
}

std::map<std::string, std::string> KShadowCoordinator::DisksHere() { return DisksByIdentity(); }

KShadowOrphans KShadowCoordinator::Orphans() const {
    std::set<std::string> knownSnapshots, knownClones, pendingVolumes, exportedSnapshots;
    for (const KShadowCopyEntry& entry : m_catalogue.List()) {
        knownSnapshots.insert(entry.snapshotName);
        if (entry.state == "exported") exportedSnapshots.insert(entry.snapshotName);
        if (!entry.exposedEui64.empty()) knownClones.insert(entry.exposedEui64);
        if (entry.state == "pending") pendingVolumes.insert(LunIeeeIdOf(KLunRecord::Decode(entry.sourceLun).Info()));
    }
    KShadowOrphans orphans;
    KShadowAppliances appliances;
    for (const KShadowAppliances::Snapshot& snapshot : appliances.Snapshots()) {
        if (knownSnapshots.count(snapshot.id) != 0) continue;
        // snap_<number>_<volume ID>, as the library names the snapshots of a set.
        const size_t number = snapshot.id.rfind("snap_", 0) == 0 ? snapshot.id.find('_', 5) : std::string::npos;
        const bool ours = number != std::string::npos && pendingVolumes.count(snapshot.id.substr(number + 1)) != 0;
        (ours ? orphans.snapshots : orphans.notMadeHere).push_back({snapshot.appliance, snapshot.id});
    }
    const std::map<std::string, std::string> disks = DisksByIdentity();
    for (const KShadowAppliances::Volume& volume : appliances.Volumes()) {
        if (volume.cloneOf.empty() || knownClones.count(volume.listing.volID) != 0) continue;
        auto disk = disks.find(volume.listing.volID);
        // A clone of another host's snapshot, not mapped here, is that host's business.
        if (disk == disks.end() && knownSnapshots.count(volume.cloneOf) == 0) continue;
        // Nor is a clone of a copy exported to another host, not mapped here: that host exposed it.
        if (disk == disks.end() && exportedSnapshots.count(volume.cloneOf) != 0) continue;
        orphans.clones.push_back({volume.appliance, volume.listing.volName, volume.listing.volDispName,
                                  disk != disks.end() ? disk->second : std::string()});
    }
    orphans.failures = appliances.Failures();
    return orphans;
}

}  // namespace Korvel
