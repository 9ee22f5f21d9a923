#include "KShadowCoordinator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "KLunRecord.h"
#include "KorvelAccessLibrary.h"
#include "registry.h"
#include "vss.h"

namespace Korvel {

namespace {

const char* const kProvidersKey = "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers";
constexpr DWORD kHardwareProvider = 3;  // VSS_PROV_HARDWARE

std::string Now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The provider's event file, read from where a step began.
class EventFile {
public:
    EventFile() {
        const char* dir = std::getenv("KORVEL_LOG_DIR");
        m_path = std::string(dir != nullptr && *dir ? dir : "/var/log/korvel") + "/KorvelProvider.events.log";
    }
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

class RegKey {
public:
    RegKey(HKEY parent, const std::string& path) {
        m_ok = RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &m_key) == ERROR_SUCCESS;
    }
    ~RegKey() {
        if (m_ok) RegCloseKey(m_key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    bool Ok() const { return m_ok; }
    HKEY Get() const { return m_key; }
    bool Text(const char* name, std::string& value) const {
        char buffer[512];
        DWORD type = 0;
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
            type != REG_SZ || size == 0)
            return false;
        value.assign(buffer, strnlen(buffer, size));
        return true;
    }
    bool Dword(const char* name, DWORD& value) const {
        DWORD type = 0;
        DWORD size = sizeof value;
        return RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                   ERROR_SUCCESS &&
               type == REG_DWORD;
    }

private:
    HKEY m_key = nullptr;
    bool m_ok = false;
};

std::string LunIeeeIdOf(const VDS_LUN_INFORMATION& info) {
    std::string id;
    char digits[3];
    for (ULONG i = 0; info.m_deviceIdDescriptor.m_rgIdentifiers != nullptr && i < info.m_deviceIdDescriptor.m_cIdentifiers;
         ++i) {
        const VDS_STORAGE_IDENTIFIER& identifier = info.m_deviceIdDescriptor.m_rgIdentifiers[i];
        if (identifier.m_Type != VDSStorageIdTypeEUI64 || identifier.m_rgbIdentifier == nullptr) continue;
        for (ULONG b = 0; b < identifier.m_cbIdentifier; ++b) {
            std::snprintf(digits, sizeof digits, "%02x", identifier.m_rgbIdentifier[b]);
            id += digits;
        }
    }
    return id;
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
    };
    for (const auto& entry : names)
        if (entry.first == hr) return entry.second;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

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

GUID NewRandomGuid() {
    static thread_local std::mt19937_64 generator(std::random_device{}());
    uint64_t halves[2] = {generator(), generator()};
    GUID guid;
    std::memcpy(&guid, halves, sizeof guid);
    guid.Data3 = static_cast<WORD>((guid.Data3 & 0x0FFF) | 0x4000);  // version 4
    guid.Data4[0] = static_cast<BYTE>((guid.Data4[0] & 0x3F) | 0x80);
    return guid;
}

CLSID KShadowCoordinator::FindHardwareProvider() {
    RegKey providers(HKEY_LOCAL_MACHINE, kProvidersKey);
    for (DWORD index = 0; providers.Ok(); ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(providers.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        RegKey provider(providers.Get(), name);
        DWORD type = 0;
        if (!provider.Ok() || !provider.Dword("Type", type) || type != kHardwareProvider) continue;
        RegKey clsidKey(provider.Get(), "CLSID");
        std::string text;
        CLSID clsid;
        if (clsidKey.Ok() && clsidKey.Text(nullptr, text) && ParseGuid(text, clsid)) return clsid;
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
        KShadowStep step{operation, subject, hr};
        if (m_options.onStep) m_options.onStep(step);
        if (hr != S_OK)
            throw KShadowFailure(operation + (subject.empty() ? "" : " " + subject) + " failed: " + HResultName(hr),
                                 step, m_events.Since(m_mark));
        m_mark = m_events.Size();
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

KShadowCoordinator::KShadowCoordinator(Options options) try
    : m_options(std::move(options)), m_catalogue(m_options.cataloguePath) {
} catch (const KShadowRefusal&) {
    throw;
} catch (const std::exception& e) {
    throw KShadowRefusal(e.what());
}

KShadowCopyEntry KShadowCoordinator::Entry(const std::string& shadowId) const {
    GUID id;
    if (!ParseGuid(shadowId, id)) throw KShadowRefusal("\"" + shadowId + "\" is not a shadow copy ID");
    auto entry = m_catalogue.Find(GuidText(id));
    if (!entry) throw KShadowRefusal("Unknown shadow copy " + GuidText(id));
    return *entry;
}

std::vector<KShadowCopyEntry> KShadowCoordinator::Create(const std::vector<std::string>& devices) {
    if (devices.empty()) throw KShadowRefusal("Name at least one disk");
    // Every disk is checked before the provider is asked anything.
    std::vector<KLunRecord> sources;
    std::set<std::string> seen;
    for (const std::string& device : devices) {
        if (!seen.insert(device).second) throw KShadowRefusal(device + " is named twice");
        try {
            sources.push_back(KLunRecord::FromDisk(device));
        } catch (const std::exception& e) {
            throw KShadowRefusal(e.what());
        }
        const char* vendor = sources.back().Info().m_szVendorId;
        if (vendor == nullptr || std::strcmp(vendor, "Korvel") != 0)
            throw KShadowRefusal(device + " is not a disk of a Korvel appliance (vendor \"" +
                                 std::string(vendor != nullptr ? vendor : "") + "\")");
    }

    Session session(m_options);
    for (size_t i = 0; i < sources.size(); ++i) {
        BOOL supported = FALSE;
        session.Check("AreLunsSupported", devices[i],
                      session.Hardware()->AreLunsSupported(1, 0, nullptr, &sources[i].Info(), &supported));
        if (!supported) throw KShadowRefusal(devices[i] + " is not a volume of a configured appliance");
    }

    const VSS_ID setId = NewRandomGuid();
    std::vector<VSS_ID> snapshotIds;
    // From the first preparation on, a failure aborts the set.
    struct Abort {
        Session& session;
        const VSS_ID& setId;
        bool armed = true;
        ~Abort() {
            if (armed) session.Creator()->AbortSnapshots(setId);
        }
    } abort{session, setId};
    for (size_t i = 0; i < sources.size(); ++i) {
        snapshotIds.push_back(NewRandomGuid());
        session.Check("BeginPrepareSnapshot", devices[i],
                      session.Hardware()->BeginPrepareSnapshot(setId, snapshotIds.back(), 0, 1, nullptr,
                                                               &sources[i].Info()));
    }
    const std::string set = GuidText(setId);
    session.Check("EndPrepareSnapshots", set, session.Creator()->EndPrepareSnapshots(setId));
    session.Check("PreCommitSnapshots", set, session.Creator()->PreCommitSnapshots(setId));
    session.Check("CommitSnapshots", set, session.Creator()->CommitSnapshots(setId));
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
    abort.armed = false;

    std::vector<KShadowCopyEntry> entries;
    const std::string now = Now();
    for (size_t i = 0; i < sources.size(); ++i) {
        KShadowCopyEntry entry;
        entry.shadowId = GuidText(snapshotIds[i]);
        entry.setId = set;
        entry.createdAt = now;
        entry.sourceDevice = devices[i];
        entry.sourceLun = sources[i].Encode();
        entry.targetLun = targets[i].Encode();
        const char* serial = targets[i].Info().m_szSerialNumber;
        entry.snapshotName = serial != nullptr ? serial : "";
        entries.push_back(entry);
    }
    m_catalogue.AddSet(set, now, entries);
    return entries;
}

std::string KShadowCoordinator::ExposeWith(Session& session, const KShadowCopyEntry& entry) {
    KLunRecord target = KLunRecord::Decode(entry.targetLun);
    const std::vector<std::string> before = BlockDevices();
    session.Check("LocateLuns", entry.shadowId, session.Hardware()->LocateLuns(1, &target.Info()));

    // The new disk shows up after the host's rescan; wait for it, but not for ever.
    std::set<std::string> offered(before.begin(), before.end());
    const auto deadline = std::chrono::steady_clock::now() + m_options.rescanTimeout;
    for (;;) {
        for (const std::string& name : BlockDevices()) {
            if (!offered.insert(name).second) continue;
            const std::string device = "/dev/" + name;
            KLunRecord disk;
            try {
                disk = KLunRecord::FromDisk(device);
            } catch (const std::exception&) {
                continue;  // not a disk (a partition, a gone device)
            }
            std::u16string wide = Wide(device);
            BOOL supported = FALSE;
            session.Check("FillInLunInfo", device,
                          session.Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &disk.Info(),
                                                            &supported));
            const char* serial = disk.Info().m_szSerialNumber;
            if (supported && serial != nullptr && entry.snapshotName == serial) {
                m_catalogue.SetExposed(entry.shadowId, device, disk.Encode());
                return device;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw KShadowFailure("No disk of shadow copy " + entry.shadowId + " appeared within " +
                             std::to_string(m_options.rescanTimeout.count()) + " ms",
                         KShadowStep{"FillInLunInfo", entry.shadowId, E_FAIL}, {});
}

std::string KShadowCoordinator::Expose(const std::string& shadowId) {
    KShadowCopyEntry entry = Entry(shadowId);
    if (!entry.exposedDevice.empty())
        throw KShadowRefusal("Shadow copy " + entry.shadowId + " is already exposed as " + entry.exposedDevice);
    Session session(m_options);
    return ExposeWith(session, entry);
}

void KShadowCoordinator::ReleaseWith(Session& session, const KShadowCopyEntry& entry) {
    KLunRecord disk;
    try {
        disk = KLunRecord::FromDisk(entry.exposedDevice);
    } catch (const std::exception& e) {
        throw KShadowFailure(std::string("The exposed disk is gone: ") + e.what(),
                             KShadowStep{"FillInLunInfo", entry.exposedDevice, E_FAIL}, {});
    }
    // A new provider object has not met the disk yet: it learns which clone
    // belongs to which snapshot when it is offered the disk.
    std::u16string wide = Wide(entry.exposedDevice);
    BOOL supported = FALSE;
    session.Check("FillInLunInfo", entry.exposedDevice,
                  session.Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &disk.Info(), &supported));
    if (!supported)
        throw KShadowFailure(entry.exposedDevice + " is no longer a disk of shadow copy " + entry.shadowId,
                             KShadowStep{"FillInLunInfo", entry.exposedDevice, S_FALSE}, {});
    session.Check("OnLunEmpty", entry.exposedDevice,
                  session.Hardware()->OnLunEmpty(reinterpret_cast<VSS_PWSZ>(wide.data()), &disk.Info()));
    m_catalogue.Remove(entry.shadowId);
}

void KShadowCoordinator::Release(const std::string& shadowId) {
    KShadowCopyEntry entry = Entry(shadowId);
    if (entry.exposedDevice.empty())
        throw KShadowRefusal("Shadow copy " + entry.shadowId + " is not exposed (\"delete\" removes it)");
    Session session(m_options);
    ReleaseWith(session, entry);
}

void KShadowCoordinator::Mask(const std::string& shadowId) {
    KShadowCopyEntry entry = Entry(shadowId);
    if (entry.exposedDevice.empty()) throw KShadowRefusal("Shadow copy " + entry.shadowId + " is not exposed");
    KLunRecord disk;
    try {
        disk = KLunRecord::FromDisk(entry.exposedDevice);
    } catch (const std::exception& e) {
        throw KShadowFailure(std::string("The exposed disk is gone: ") + e.what(),
                             KShadowStep{"OnLunStateChange", entry.exposedDevice, E_FAIL}, {});
    }
    Session session(m_options);
    session.Check("OnLunStateChange", entry.exposedDevice,
                  session.Hardware()->OnLunStateChange(&disk.Info(), nullptr, 1, VSS_ONLUNSTATECHANGE_DO_MASK_LUNS));
    // Masking answers S_OK even when it could not unmap: look.
    const std::string name = entry.exposedDevice.substr(entry.exposedDevice.rfind('/') + 1);
    const std::vector<std::string> now = BlockDevices();
    if (std::binary_search(now.begin(), now.end(), name))
        throw KShadowFailure(entry.exposedDevice + " is still attached after masking",
                             KShadowStep{"OnLunStateChange", entry.exposedDevice, S_OK}, {});
    m_catalogue.ClearExposed(entry.shadowId);
}

void KShadowCoordinator::Revert(const std::string& shadowId) {
    KShadowCopyEntry entry = Entry(shadowId);
    KLunRecord source;
    try {
        source = KLunRecord::FromDisk(entry.sourceDevice);
    } catch (const std::exception& e) {
        throw KShadowRefusal(e.what());
    }
    const std::string expected = LunIeeeIdOf(KLunRecord::Decode(entry.sourceLun).Info());
    if (LunIeeeIdOf(source.Info()) != expected)
        throw KShadowRefusal(entry.sourceDevice + " no longer shows the volume of shadow copy " + entry.shadowId);
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
}

void KShadowCoordinator::Delete(const std::string& shadowId) {
    KShadowCopyEntry entry = Entry(shadowId);
    Session session(m_options);
    // The provider deletes an appliance snapshot only when its exposed clone is released.
    if (entry.exposedDevice.empty()) {
        entry.exposedDevice = ExposeWith(session, entry);
    }
    ReleaseWith(session, entry);
}

std::vector<std::pair<std::string, std::string>> KShadowCoordinator::Orphans() const {
    std::set<std::string> known;
    for (const KShadowCopyEntry& entry : m_catalogue.List()) known.insert(entry.snapshotName);
    std::vector<std::pair<std::string, std::string>> orphans;
    KAccessLayer::GlobalInit();
    try {
        KAccessLayer layer;
        layer.DiscoverArrays();
        std::list<KArray*> arrays;
        layer.GetArrays(arrays);
        for (KArray* array : arrays) {
            std::string* address = nullptr;
            array->GetIPAddress(address);
            std::list<std::string> snapshots;
            if (array->GetSnapshotIDsFromArray(snapshots) != 0)
                throw KShadowFailure("Cannot list the snapshots of " + *address,
                                     KShadowStep{"ListSnapshots", *address, E_FAIL}, {});
            for (const std::string& id : snapshots)
                if (id.rfind("snap_", 0) == 0 && known.count(id) == 0) orphans.emplace_back(*address, id);
        }
    } catch (...) {
        KAccessLayer::GlobalCleanup();
        throw;
    }
    KAccessLayer::GlobalCleanup();
    return orphans;
}

}  // namespace Korvel
