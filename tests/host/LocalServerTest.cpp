// The provider in the KorvelProvider process, reached through the socket as
// the shadow copy service reaches it: the same results as in process, the
// caller's identity, bad frames, a server lost mid-call and a stop mid-call.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "Frames.h"
#include "HostEnv.h"
#include "KorvelProviderHost.h"
#include "KorvelRemoting.h"
#include "Marshal.h"

namespace korvel_test {
namespace {

namespace pb = ::korvel::remoting;

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hr));
    return text;
}

std::string Bytes(const BYTE* bytes, ULONG size) {
    if (bytes == nullptr) return "<null>";
    std::string text(reinterpret_cast<const char*>(bytes), size);
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) {
            std::ostringstream hex;
            for (ULONG i = 0; i < size; ++i) hex << std::hex << std::setw(2) << std::setfill('0') << int(bytes[i]);
            return hex.str();
        }
    return text;
}

// Every field of a record, pointers as their contents.
std::string Render(const VDS_LUN_INFORMATION& r) {
    auto text = [](const char* t) { return t != nullptr ? "'" + std::string(t) + "'" : std::string("<null>"); };
    std::ostringstream out;
    out << "v" << r.m_version << " type " << int(r.m_DeviceType) << "/" << int(r.m_DeviceTypeModifier) << " cq "
        << r.m_bCommandQueueing << " bus " << r.m_BusType << " vendor " << text(r.m_szVendorId) << " product "
        << text(r.m_szProductId) << " rev " << text(r.m_szProductRevision) << " serial " << text(r.m_szSerialNumber)
        << " signature " << Bytes(reinterpret_cast<const BYTE*>(&r.m_diskSignature), 16) << " ids v"
        << r.m_deviceIdDescriptor.m_version << " x" << r.m_deviceIdDescriptor.m_cIdentifiers;
    for (ULONG i = 0; r.m_deviceIdDescriptor.m_rgIdentifiers != nullptr && i < r.m_deviceIdDescriptor.m_cIdentifiers;
         ++i) {
        const VDS_STORAGE_IDENTIFIER& id = r.m_deviceIdDescriptor.m_rgIdentifiers[i];
        // The size shows in the bytes (snapshot IDs differ in length from run to run).
        out << " [" << id.m_CodeSet << " " << id.m_Type << " " << Bytes(id.m_rgbIdentifier, id.m_cbIdentifier) << "]";
    }
    out << " interconnects " << r.m_cInterconnects;
    return out.str();
}

// Snapshot IDs and clone numbers are drawn anew by every run: name them by
// order of appearance, so two runs compare.
std::string Normalized(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    std::map<std::string, int> names;
    std::string out;
    std::regex snapshot("snap_[0-9]+_[0-9a-f]+");
    auto begin = std::sregex_iterator(all.begin(), all.end(), snapshot);
    size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        out += all.substr(last, it->position() - last);
        auto found = names.emplace(it->str(), static_cast<int>(names.size()));
        out += "snapshot#" + std::to_string(found.first->second);
        last = it->position() + it->length();
    }
    return out + all.substr(last);
}

class LocalServerTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        a = &AddAppliance(kSeedA);
        b = &AddAppliance(kSeedB);
    }

    // The whole sequence: create a set of three, expose two, release one,
    // mask the other, roll the third's volume back; what the caller sees,
    // and what changed on the appliances.
    std::vector<std::string> Lifecycle(IUnknown* provider) {
        std::vector<std::string> t;
        // Volumes, snapshots and mappings of both appliances, and a2's rollbacks.
        auto appliances = [&]() {
            return std::vector<size_t>{a->VolumeCount(), a->Snapshots().size(), a->Mappings().size(),
                                       b->VolumeCount(), b->Snapshots().size(), b->Mappings().size(),
                                       a->FindGroup(a->FindVolume("a2")->cgName)->rollbackCount};
        };
        const std::vector<size_t> before = appliances();
        VssDriver driver(provider);
        t.push_back("load " + Hex(driver.Notifications()->OnLoad(nullptr)));
        ULONGLONG mask = 0x55;
        t.push_back("capabilities " + Hex(driver.Hardware()->GetProviderCapabilities(&mask)) + " " +
                    std::to_string(mask));
        std::vector<LunRecord> sources;
        for (auto d : {std::make_pair(a, "a1"), std::make_pair(b, "b1"), std::make_pair(a, "a2")})
            sources.push_back(LunRecord::FromDisk(Device(*d.first, d.second)));
        VssDriver::Created created = driver.Create(sources);
        t.push_back("create " + Hex(created.result) + " " + created.failedStep + " supported " +
                    std::to_string(created.supported));
        for (auto& target : created.targets) t.push_back("target " + Render(target.Info()));
        if (created.targets.size() != 3) return t;

        std::vector<LunRecord> toExpose;
        toExpose.push_back(std::move(created.targets[0]));
        toExpose.push_back(std::move(created.targets[1]));
        std::vector<VssDriver::Exposed> exposed;
        const HRESULT exposedResult = driver.Expose(toExpose, exposed);
        t.push_back("expose " + Hex(exposedResult) + " disks " + std::to_string(exposed.size()));
        // New disks are met in name order, which differs from run to run.
        std::sort(exposed.begin(), exposed.end(), [](const auto& x, const auto& y) {
            return std::string(x.record.Info().m_szProductId) < std::string(y.record.Info().m_szProductId);
        });
        for (auto& e : exposed) t.push_back("exposed " + Render(e.record.Info()));
        if (exposed.size() != 2) return t;
        t.push_back("release " + Hex(driver.Release(exposed[0])));
        std::vector<LunRecord> masked;
        masked.push_back(LunRecord::FromDisk(exposed[1].device));
        t.push_back("mask " + Hex(driver.Mask(masked)));
        LunRecord a2 = LunRecord::FromDisk(Device(*a, "a2"));
        t.push_back("revert " + Hex(driver.Revert(created.targets[2], a2)));
        t.push_back("unload " + Hex(driver.Notifications()->OnUnload(FALSE)));
        std::string changes = "appliance changes";
        const std::vector<size_t> after = appliances();
        for (size_t i = 0; i < after.size(); ++i) changes += " " + std::to_string(after[i] - before[i]);
        t.push_back(changes);
        return t;
    }

    qsta::Simulator* a = nullptr;
    qsta::Simulator* b = nullptr;
};


TEST_F(LocalServerTest, LifecycleThroughTheLocalServerMatchesInProcess) {
    std::vector<std::string> inProcess;
    {
        ComRef<IUnknown> provider = NewProvider();
        inProcess = Lifecycle(provider.Get());
    }
    ASSERT_EQ(inProcess.size(), 14u) << Normalized(inProcess);

    auto server = StartServer();
    const size_t testLogLines = LogLines().size();
    std::vector<std::string> remote;
    {
        ComRef<IUnknown> provider = Remote();
        ASSERT_NE(provider.Get(), nullptr);
        // The proxy answers for the provider's interfaces and no other.
        void* p = nullptr;
        for (const IID* iid : {&IID_IVssHardwareSnapshotProvider, &IID_IVssHardwareSnapshotProviderEx,
                               &IID_IVssProviderCreateSnapshotSet, &IID_IVssProviderNotifications}) {
            ASSERT_EQ(provider->QueryInterface(*iid, &p), S_OK);
            static_cast<IUnknown*>(p)->Release();
        }
        EXPECT_EQ(provider->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
        remote = Lifecycle(provider.Get());
    }
    EXPECT_EQ(Normalized(remote), Normalized(inProcess));
    EXPECT_EQ(remote.front(), "load 00000000");
    EXPECT_EQ(remote[1], "capabilities 00000000 85");  // the caller's mask stays as it was

    // The calls ran in the server: its log has them, the test's has none of them.
    EXPECT_EQ(CountServerLog("Entering CKorvelVSSProvider::CommitSnapshots()"), 1u);
    EXPECT_EQ(LogLines().size(), testLogLines);
    // Its last client gone, the plain server releases the object and ends by itself.
    EXPECT_EQ(server->Wait(std::chrono::seconds(20)), 0);
    EXPECT_EQ(CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()"), 1u);
    EXPECT_EQ(CountEvents("Information category 0 event 0x00000000: Service started/resumed"), 1u);
    EXPECT_EQ(CountEvents("Information category 0 event 0x00000000: Service stopped"), 1u);
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
    // No server: activation fails at once.
    Remote(CO_E_SERVER_EXEC_FAILURE);
}

// A member of the socket's group who is no administrator gets no object at
// all: not for the guarded operations, and not for the unguarded ones that
// would mask (delete) an administrator's exposed clone.
TEST_F(LocalServerTest, CallerOutsideAdministratorsIsRefusedAtActivation) {
    // An administrator's shadow copy, exposed as a clone mapped to this host.
    std::vector<VssDriver::Exposed> exposed;
    {
        ComRef<IUnknown> provider = NewProvider();
        VssDriver driver(provider.Get());
        std::vector<LunRecord> sources;
        sources.push_back(LunRecord::FromDisk(Device(*a, "a1")));
        VssDriver::Created created = driver.Create(sources);
        ASSERT_EQ(created.result, S_OK) << created.failedStep;
        ASSERT_EQ(driver.Expose(created.targets, exposed), S_OK);
        ASSERT_EQ(exposed.size(), 1u);
    }
    std::string cloneIeeeId;
    for (const qsta::Volume& v : a->Volumes())
        if (!v.sourceSnapshot.empty()) cloneIeeeId = v.ieeeId;
    ASSERT_FALSE(cloneIeeeId.empty());
    const size_t volumes = a->VolumeCount(), mappings = a->Mappings().size();

    auto server = StartServer();
    a->ClearJournal();
    b->ClearJournal();
    // An ordinary user that may reach the socket (its group) but is no administrator.
    for (const std::vector<std::string>& how :
         {std::vector<std::string>{"guarded"}, std::vector<std::string>{"mask", cloneIeeeId}}) {
        std::vector<std::string> args = {"65534", "65534", "0"};
        args.insert(args.end(), how.begin(), how.end());
        ChildProcess caller(KORVEL_REMOTE_CALLER, args);
        EXPECT_EQ(caller.Wait(std::chrono::seconds(60)), 1) << caller.Stderr();
        EXPECT_EQ(caller.Stdout(), "Activate 80070005\n") << how[0];
    }
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004000"), 2u);
    EXPECT_EQ(CountServerLog("the caller is not an administrator"), 2u);
    // No object was made for that caller, and nothing reached an appliance.
    EXPECT_EQ(CountServerLog("Entering CKorvelVSSProvider::CKorvelVSSProvider()"), 0u);
    EXPECT_EQ(a->Journal().size() + b->Journal().size(), 0u);
    EXPECT_EQ(a->VolumeCount(), volumes);
    EXPECT_EQ(a->Mappings().size(), mappings);
    EXPECT_TRUE(a->FindVolumeByIeeeId(cloneIeeeId).has_value());

    // Root, through the same server, is let through.
    ComRef<IUnknown> provider = Remote();
    VssDriver driver(provider.Get());
    LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
    BOOL supported = FALSE;
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported), S_OK);
    EXPECT_TRUE(supported);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004000"), 2u);
}

TEST_F(LocalServerTest, BadFramesCloseOnlyTheirOwnConnection) {
    auto server = StartServer();
    // A well-behaved client that keeps its object throughout.
    ComRef<IUnknown> good = Remote();
    VssDriver driver(good.Get());
    LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
    auto goodCallWorks = [&]() {
        BOOL supported = FALSE;
        return driver.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported) == S_OK && supported;
    };
    ASSERT_TRUE(goodCallWorks());

    struct Case {
        const char* name;
        std::function<void(RawClient&)> send;
        const char* logged;  // why the server closed the connection
        bool activated;      // an object was made first, so one more must be released
    };
    std::string unknownBytes = std::string("\xfa\x06\x02", 3) + "hi";  // field 111, length-delimited
    pb::Call lyingCount = AreLunsSupportedCall(3, 1);
    pb::Call lyingIdentifiers = AreLunsSupportedCall(1, 1);
    lyingIdentifiers.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->set_id_count(2);
    pb::Call lyingBytes = AreLunsSupportedCall(1, 1);
    lyingBytes.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->mutable_ids(0)->set_cb_identifier(4096);
    pb::Call badGuid;
    badGuid.mutable_snapshot_set()->set_operation(pb::SnapshotSetCall::COMMIT_SNAPSHOTS);
    badGuid.mutable_snapshot_set()->set_snapshot_set_id("short");
    pb::Call oddName;  // three bytes are no UTF-16 text
    oddName.mutable_fill_in_lun_info()->mutable_device_name()->set_utf16("sda");
    *oddName.mutable_fill_in_lun_info()->mutable_lun() = AreLunsSupportedCall(1, 1).are_luns_supported().luns();
    pb::Call activation;
    korvel_remoting::EncodeGuid(CLSID_KorvelVSSProvider, activation.mutable_activate()->mutable_clsid());
    const std::vector<Case> cases = {
        {"garbage first frame", [](RawClient& c) {
             const std::string garbage = "\xff\xff\xff garbage";
             c.SendFrame(garbage, static_cast<uint32_t>(garbage.size()));
         },
         "the first call is not a well-formed activation", false},
        {"garbage call", [](RawClient& c) { c.SendFrame(std::string("\x0a\xff\xff\xff\xff\x0f", 6), 6); },
         "a malformed call", true},
        {"truncated frame", [](RawClient& c) { c.SendFrame("only a part", 100); }, "connection closed inside a frame",
         true},
        {"oversized frame", [](RawClient& c) { c.SendFrame("", 16u * 1024 * 1024 + 1); }, "frame over 16 MiB", true},
        {"unknown operation", [&](RawClient& c) { c.SendFrame(unknownBytes, static_cast<uint32_t>(unknownBytes.size())); },
         "an unknown operation", true},
        {"count above its records", [&](RawClient& c) { c.SendMessage(lyingCount); },
         "LUN records that disagree with their count", true},
        {"identifier count above its identifiers", [&](RawClient& c) { c.SendMessage(lyingIdentifiers); },
         "LUN records that disagree with their count", true},
        {"identifier size above its bytes", [&](RawClient& c) { c.SendMessage(lyingBytes); },
         "LUN records that disagree with their count", true},
        {"malformed snapshot-set ID", [&](RawClient& c) { c.SendMessage(badGuid); }, "a malformed GUID", true},
        {"device name of odd length", [&](RawClient& c) { c.SendMessage(oddName); }, "a malformed device name", true},
        {"second activation", [&](RawClient& c) { c.SendMessage(activation); }, "a second activation", true},
    };
    size_t released = CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t logged = CountServerLog(c.logged);
        {
            RawClient raw(SocketPath());
            ASSERT_TRUE(raw.Connected());
            if (c.activated) {
                ASSERT_EQ(raw.Activate(), S_OK);
            }
            c.send(raw);
            // A frame cut short is only noticed once the client goes.
            if (std::string(c.name) != "truncated frame") {
                EXPECT_TRUE(raw.ClosedByServer());
            }
        }
        EXPECT_TRUE(WaitUntil([&]() { return CountServerLog(c.logged) == logged + 1; }, std::chrono::seconds(10)));
        if (c.activated) ++released;
        EXPECT_TRUE(WaitUntil(
            [&]() { return CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()") == released; },
            std::chrono::seconds(10)));
        EXPECT_TRUE(goodCallWorks());
    }
    // A client that dies with a call in flight: the server finishes it, finds
    // nobody to answer and releases the object.
    int slow = a->AddFault(qsta::Fault::Slow("GET", "/api/volumes", std::chrono::milliseconds(1500)));
    {
        RawClient raw(SocketPath());
        ASSERT_EQ(raw.Activate(), S_OK);
        raw.SendMessage(AreLunsSupportedCall(1, 1));
        ASSERT_TRUE(WaitUntil([&]() { return a->FaultHits(slow) == 1; }, std::chrono::seconds(10)));
    }
    ++released;
    EXPECT_TRUE(WaitUntil(
        [&]() { return CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()") == released; },
        std::chrono::seconds(20)));
    EXPECT_TRUE(goodCallWorks());

    // Every object released and nothing leaked: the server stops cleanly (a
    // sanitizer build turns a leak into a failing exit).
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(std::chrono::seconds(30)), 0) << server->Stderr();
    EXPECT_EQ(CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()"),
              CountServerLog("Exiting CKorvelVSSProvider::CKorvelVSSProvider()"));
}

TEST_F(LocalServerTest, ServerKilledMidCallGivesDisconnected) {
    auto server = StartServer();
    ComRef<IUnknown> provider = Remote();
    VssDriver driver(provider.Get());
    LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
    const std::string before = Render(a1.Info());
    int slow = a->AddFault(qsta::Fault::Slow("GET", "/api/volumes", std::chrono::seconds(5)));
    auto call = std::async(std::launch::async, [&]() {
        BOOL supported = FALSE;
        return driver.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported);
    });
    ASSERT_TRUE(WaitUntil([&]() { return a->FaultHits(slow) == 1; }, std::chrono::seconds(10)));
    server->Signal(SIGKILL);
    ASSERT_EQ(call.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(call.get(), RPC_E_DISCONNECTED);
    EXPECT_EQ(Render(a1.Info()), before);  // no out-value from a call that did not come back
    // The connection is gone for good.
    EXPECT_EQ(driver.Creator()->CommitSnapshots(NewGuid()), RPC_E_DISCONNECTED);

    // The killed server left its socket: the next one takes the path over.
    server->Wait(std::chrono::seconds(10));
    ASSERT_TRUE(std::filesystem::exists(SocketPath()));
    auto next = StartServer();
    {
        ComRef<IUnknown> again = Remote();
        VssDriver second(again.Get());
        BOOL supported = FALSE;
        EXPECT_EQ(second.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported), S_OK);
        EXPECT_TRUE(supported);
    }
    EXPECT_EQ(next->Wait(std::chrono::seconds(20)), 0);
    // Where something else than a socket is, no server starts, and it stays.
    std::ofstream(SocketPath()) << "an administrator's file";
    EXPECT_EQ(RunProvider({}).exitCode, 0x57);  // ERROR_INVALID_PARAMETER's low byte
    EXPECT_EQ(CountServerLog("Cannot listen on " + SocketPath() + ": something else is there"), 1u);
    EXPECT_EQ(ReadFile(SocketPath()), "an administrator's file");
}

// The proxy against a server of the test's own: a reply that comes late, in
// pieces, cut short, with another number of records, or of the largest size.
TEST_F(LocalServerTest, TheProxyTakesOnlyWholeRepliesInTime) {
    setenv("KORVEL_RPC_TIMEOUT_SECONDS", "2", 1);
    // How the server answers, chosen by the call's context.
    enum Answer { AtOnce, InPieces, Largest, Late, CutShort, TwoRecords, OverTheLargest };
    pb::Activated interfaces;  // the Ex interface alone brings its base
    interfaces.set_hardware_ex(true);
    FakeServer server(
        SocketPath(),
        [](RawClient& connection, const pb::Call& call) {
            pb::Reply reply;
            if (call.has_get_provider_capabilities()) {
                reply.set_capability_mask(call.get_provider_capabilities().capability_mask() + 1);
                connection.SendMessage(reply);
                return true;
            }
            const int answer = call.are_luns_supported().context();
            *reply.add_luns() = call.are_luns_supported().luns();
            reply.mutable_luns(0)->mutable_luns(0)->set_serial_number("changed");
            reply.set_is_supported(TRUE);
            if (answer == TwoRecords) *reply.mutable_luns(0)->add_luns() = reply.luns(0).luns(0);
            std::string bytes = reply.SerializeAsString();
            if (answer == Largest || answer == OverTheLargest)
                bytes = PaddedTo(bytes, korvel_remoting::kMaxFrameBytes + (answer == Largest ? 0 : 1));
            if (answer == Late) return true;
            if (answer == CutShort) {
                connection.SendFrame(bytes.substr(0, bytes.size() / 2), static_cast<uint32_t>(bytes.size()));
                return false;
            }
            if (answer == InPieces) {
                connection.SendFrame("", static_cast<uint32_t>(bytes.size()));
                for (size_t at = 0; at < bytes.size(); at += 8) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    connection.Send(bytes.substr(at, 8));
                }
                return true;
            }
            connection.SendFrame(bytes, static_cast<uint32_t>(bytes.size()));
            return true;
        },
        interfaces);
    struct Outcome {
        HRESULT hr;
        std::string serial;
        BOOL supported;
    };
    auto call = [&](Answer answer) {
        ComRef<IUnknown> proxy = Remote();
        ComRef<IVssHardwareSnapshotProvider> hardware;
        if (proxy.Get() == nullptr ||
            proxy->QueryInterface(IID_IVssHardwareSnapshotProvider, reinterpret_cast<void**>(hardware.Out())) != S_OK)
            return Outcome{E_NOINTERFACE, "", FALSE};
        LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
        BOOL supported = FALSE;
        const HRESULT hr = hardware->AreLunsSupported(1, answer, nullptr, &a1.Info(), &supported);
        return Outcome{hr, a1.Info().m_szSerialNumber, supported};
    };
    for (Answer whole : {AtOnce, InPieces, Largest}) {
        const Outcome o = call(whole);
        EXPECT_EQ(o.hr, S_OK) << whole;
        EXPECT_EQ(o.serial, "changed") << whole;
        EXPECT_TRUE(o.supported) << whole;
    }
    // No out-value from a reply that did not come whole and in time. (The
    // server lets a silent connection go after 10 s: no time-out is no hang.)
    for (Answer broken : {Late, CutShort, TwoRecords, OverTheLargest}) {
        const Outcome o = call(broken);
        EXPECT_EQ(o.hr, broken == Late ? RPC_E_TIMEOUT : RPC_E_DISCONNECTED) << broken;
        EXPECT_EQ(o.serial, "a1") << broken;
        EXPECT_FALSE(o.supported) << broken;
    }

    ComRef<IUnknown> proxy = Remote();
    void* p = nullptr;
    EXPECT_EQ(proxy->QueryInterface(IID_IVssProviderNotifications, &p), E_NOINTERFACE);
    ComRef<IVssHardwareSnapshotProviderEx> ex;
    ASSERT_EQ(proxy->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(ex.Out())), S_OK);
    ULONGLONG mask = 0x55;
    EXPECT_EQ(ex->GetProviderCapabilities(&mask), S_OK);
    EXPECT_EQ(mask, 0x56u);  // what the server wrote, from what the caller sent
}

TEST_F(LocalServerTest, StopWithACallInFlightFinishesTheCallAndExitsZero) {
    // Registered as a service, started by "systemd": a notify socket of our own.
    {
        KorvelRegKey key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, KorvelAppIdKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, key.out(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key.get(), "LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>("KorvelProvider"),
                                 15),
                  ERROR_SUCCESS);
    }
    const std::string notifyPath = SanRoot() + "/notify.sock";
    int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, notifyPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{10, 0};
    ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    auto nextNotification = [&]() {
        char buffer[512];
        ssize_t n = ::recv(notify, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("<none>");
    };

    auto server = StartServer({{"NOTIFY_SOCKET", notifyPath}});
    std::string notes;
    while (notes.find("READY=1") == std::string::npos) {
        std::string note = nextNotification();
        ASSERT_NE(note, "<none>") << notes;
        notes += note + "\n";
    }
    ComRef<IUnknown> provider = Remote();
    VssDriver driver(provider.Get());
    LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
    int slow = a->AddFault(qsta::Fault::Slow("GET", "/api/volumes", std::chrono::milliseconds(1500)));
    BOOL supported = FALSE;
    auto call = std::async(std::launch::async,
                           [&]() { return driver.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported); });
    ASSERT_TRUE(WaitUntil([&]() { return a->FaultHits(slow) == 1; }, std::chrono::seconds(10)));
    server->Signal(SIGTERM);

    // It stops accepting at once, while the call goes on.
    EXPECT_TRUE(WaitUntil([&]() { return !std::filesystem::exists(SocketPath()); }, std::chrono::seconds(10)));
    Remote(CO_E_SERVER_EXEC_FAILURE);
    ASSERT_EQ(call.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(call.get(), S_OK);
    EXPECT_TRUE(supported);
    EXPECT_EQ(server->Wait(std::chrono::seconds(30)), 0) << server->Stderr();
    timeout = {1, 0};
    ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    for (std::string note = nextNotification(); note != "<none>"; note = nextNotification()) notes += note + "\n";
    ::close(notify);
    EXPECT_NE(notes.find("STOPPING=1"), std::string::npos) << notes;
    EXPECT_EQ(CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()"), 1u);
    EXPECT_EQ(CountEvents("Service started/resumed"), 1u);
    EXPECT_EQ(CountEvents("Service stopped"), 1u);
    // Announced once the server has stopped, not while its call still ran.
    auto stampOf = [](const std::string& text, const std::string& what) {
        const size_t at = text.find(what);
        return at == std::string::npos ? std::string("never") : text.substr(text.rfind('\n', at) + 1, 23);
    };
    EXPECT_LE(stampOf(ServerLog(), "Stopped listening on"),
              stampOf(ReadFile(LogDir() + "/KorvelProvider.events.log"), "Service stopped"));
    // The proxy's connection ended with the server.
    EXPECT_EQ(driver.Creator()->CommitSnapshots(NewGuid()), RPC_E_DISCONNECTED);
}

}  // namespace
}  // namespace korvel_test
