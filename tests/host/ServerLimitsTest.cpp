// The local server against hostile and greedy clients: connections held or
// left silent, idle connections, frames over the bounds or with values no
// enumeration has, a call that exhausts memory, records whose buffers the
// provider drops, one client's unload, and a server that is not the service.
#include <gtest/gtest.h>

#include <grp.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "HostEnv.h"
#include "KorvelRemoting.h"

namespace korvel_test {
namespace {

namespace pb = ::korvel::remoting;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr size_t kMiB = 1024 * 1024;

void SetStoreValue(const char* name, const std::string& value) {
    KorvelRegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\HwProvider", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
}

// A group whose members are administrators, for a client that is one without being root.
bool AdministratorsGroup(gid_t& gid) {
    for (const char* name : {"sudo", "wheel"}) {
        if (const group* g = ::getgrnam(name)) {
            gid = g->gr_gid;
            return true;
        }
    }
    return false;
}

size_t CountLines(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

// The memory attack as it came: an AreLunsSupported frame of 16 MiB holding
// 838,857 minimal records (a disk signature each), and as many as its count.
std::string FloodOfMinimalRecords() {
    constexpr uint64_t kRecords = 838857;
    const std::string record = WireField(2, WireField(10, std::string(16, '\0')));
    std::string luns = "\x08\x01";  // present
    luns.reserve(kRecords * record.size() + 2);
    for (uint64_t i = 0; i < kRecords; ++i) luns += record;
    std::string call = "\x08";  // lun_count
    AppendVarint(call, kRecords);
    call += WireField(4, luns);
    return WireField(2, call);
}

class ServerLimitsTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        a = &AddAppliance(kSeedA);
    }
    size_t Released() const { return CountServerLog("Exiting CKorvelVSSProvider::~CKorvelVSSProvider()"); }

    qsta::Simulator* a = nullptr;
};

TEST_F(ServerLimitsTest, HeldAndSilentConnectionsLeaveRootItsWay) {
    if (::geteuid() != 0) GTEST_SKIP() << "clients of other users can only be started by root";
    gid_t administrators = 0;
    if (!AdministratorsGroup(administrators))
        GTEST_SKIP() << "no group sudo or wheel: no administrator but root to hold connections";
    auto server = StartServer();

    // An administrator who is not root asks for 20 objects and holds them.
    ChildProcess holder(KORVEL_REMOTE_CALLER, {"65534", std::to_string(administrators), "0", "hold", "20"});
    ASSERT_TRUE(WaitUntil([&]() { return holder.Stdout().find("holding") != std::string::npos; }, seconds(60)))
        << holder.Stderr();
    EXPECT_EQ(CountLines(holder.Stdout(), "Activate 00000000\n"), 16u) << holder.Stdout();
    EXPECT_EQ(CountLines(holder.Stdout(), "Activate 800706bb\n"), 4u) << holder.Stdout();  // RPC_S_SERVER_TOO_BUSY

    // Another user floods the socket with connections that never send a byte.
    ChildProcess silent(KORVEL_REMOTE_CALLER, {"65533", "65533", "0", "silent", "100"});
    ASSERT_TRUE(WaitUntil([&]() { return silent.Stdout().find("holding") != std::string::npos; }, seconds(60)))
        << silent.Stderr();
    EXPECT_EQ(silent.Stdout(), "holding 16\n");

    // Root still gets its objects, more than any other user may hold, and its snapshot meanwhile.
    {
        std::vector<ComRef<IUnknown>> held;
        for (size_t i = 0; i < 20; ++i) held.push_back(Remote());
        ComRef<IUnknown> provider = Remote();
        ASSERT_NE(provider.Get(), nullptr);
        VssDriver driver(provider.Get());
        std::vector<LunRecord> sources;
        sources.push_back(LunRecord::FromDisk(Device(*a, "a1")));
        VssDriver::Created created = driver.Create(sources);
        EXPECT_EQ(created.result, S_OK) << created.failedStep;
        EXPECT_EQ(a->Snapshots().size(), 1u);
    }

    // The silent connections go once their 5 s are up; the held objects stay.
    EXPECT_TRUE(WaitUntil([&]() { return CountServerLog("closed: no activation within 5 s") == 16; }, seconds(20)));
    EXPECT_EQ(CountServerLog("refused: 16 connections of that user are open"), 4u + 84u);
    EXPECT_EQ(Released(), 21u);  // root's
    holder.Signal(SIGKILL);
    holder.Wait(seconds(10));
    EXPECT_TRUE(WaitUntil([&]() { return Released() == 37; }, seconds(20)));
    EXPECT_TRUE(server->Running());
}

TEST_F(ServerLimitsTest, IdleConnectionIsClosedAfterTheConfiguredLimit) {
    SetStoreValue("ConnectionIdleSeconds", "3");
    auto server = StartServer();
    ComRef<IUnknown> provider = Remote();
    ASSERT_NE(provider.Get(), nullptr);
    VssDriver driver(provider.Get());
    // Calls a second apart keep it open.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(driver.Creator()->EndPrepareSnapshots(NewGuid()), S_OK);
        std::this_thread::sleep_for(seconds(1));
    }
    EXPECT_EQ(CountServerLog("closed: idle for longer than 3 s"), 0u);
    EXPECT_TRUE(WaitUntil([&]() { return CountServerLog("closed: idle for longer than 3 s") == 1; }, seconds(15)));
    EXPECT_EQ(Released(), 1u);
    EXPECT_EQ(driver.Creator()->EndPrepareSnapshots(NewGuid()), RPC_E_DISCONNECTED);
}

TEST_F(ServerLimitsTest, FramesOverABoundAreRefusedAndMemoryReturns) {
    auto server = StartServer();
    RawClient raw(SocketPath());
    ASSERT_EQ(raw.Activate(), S_OK);
    auto works = [&]() {
        pb::Reply reply = raw.Call(AreLunsSupportedCall(1, 1));
        return reply.hr() == S_OK && reply.is_supported() == 1;
    };
    ASSERT_TRUE(works());
    const size_t before = ResidentBytes(server->Pid());

    struct Case {
        const char* name;
        std::string frame;
        const char* why;  // logged with the refusal
    };
    std::vector<Case> cases;
    const std::string flood = FloodOfMinimalRecords();
    ASSERT_LE(flood.size(), 16 * kMiB);
    for (int i = 0; i < 6; ++i) cases.push_back({"16 MiB of minimal records", flood, "a LUN count over 4096"});
    auto add = [&](const char* name, const pb::Call& call, const char* why) {
        cases.push_back({name, call.SerializeAsString(), why});
    };
    pb::Call call = AreLunsSupportedCall(4096, 4097);
    add("4097 records", call, "more than 4096 LUN records");
    // A field the schema does not know is passed over, not the end of the check.
    cases.push_back({"4097 records after an unknown field", WireField(111, "x") + call.SerializeAsString(),
                     "more than 4096 LUN records"});
    call = AreLunsSupportedCall(1, 1);
    for (int i = 0; i < 64; ++i) *call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->add_ids() = {};
    add("65 identifiers", call, "more than 64 identifiers in a LUN record");
    call = AreLunsSupportedCall(1, 1);
    for (int i = 0; i < 65; ++i) call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->add_interconnects();
    add("65 interconnects", call, "more than 64 interconnects in a LUN record");
    call = AreLunsSupportedCall(1, 1);
    call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->set_serial_number(std::string(64 * 1024 + 1, 'x'));
    add("a serial number over 64 KiB", call, "a text or byte array over 64 KiB");
    call = AreLunsSupportedCall(1, 1);
    call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->set_id_count(65);
    add("an identifier count over 64", call, "an identifier count over 64");
    // The one that stopped the service under UBSan.
    call.Clear();
    *call.mutable_on_reuse_luns()->mutable_snapshot_luns() = AreLunsSupportedCall(1, 1).are_luns_supported().luns();
    call.mutable_on_reuse_luns()->set_count(1);
    call.mutable_on_reuse_luns()->mutable_snapshot_luns()->mutable_luns(0)->mutable_ids(0)->set_code_set(115);
    add("code set 115", call, "a code set that does not exist");
    call = AreLunsSupportedCall(1, 1);
    call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->mutable_ids(0)->set_type(9);
    add("identifier type 9", call, "an identifier type that does not exist");
    call = AreLunsSupportedCall(1, 1);
    call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->set_bus_type(0x50);
    add("bus type 0x50", call, "a bus type that does not exist");
    call = AreLunsSupportedCall(1, 1);
    call.mutable_are_luns_supported()->mutable_luns()->mutable_luns(0)->add_interconnects()->set_address_type(-1);
    add("address type -1", call, "an address type that does not exist");
    call.Clear();
    call.mutable_snapshot_set()->set_operation(static_cast<pb::SnapshotSetCall::Operation>(99));
    add("snapshot-set operation 99", call, "a snapshot-set operation that does not exist");

    const size_t refused = CountServerLog("Call from process");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t logged = CountServerLog(c.why);
        raw.SendFrame(c.frame, static_cast<uint32_t>(c.frame.size()));
        pb::Reply reply;
        ASSERT_TRUE(reply.ParseFromString(raw.Receive()));
        EXPECT_EQ(reply.hr(), E_INVALIDARG);
        EXPECT_EQ(reply.luns_size(), 0);
        EXPECT_EQ(CountServerLog(c.why), logged + 1);
    }
    EXPECT_EQ(CountServerLog("Call from process"), refused + cases.size());
    // The connection and its object are still there, and the memory is back.
    EXPECT_TRUE(works());
    const size_t after = ResidentBytes(server->Pid());
    EXPECT_LT(after, before + 8 * kMiB) << "before " << before / kMiB << " MiB, after " << after / kMiB << " MiB";
    EXPECT_EQ(Released(), 0u);
    // A frame of the largest size is a frame like any other.
    const std::string largest = PaddedTo(AreLunsSupportedCall(1, 1).SerializeAsString(), 16 * kMiB);
    raw.SendFrame(largest, static_cast<uint32_t>(largest.size()));
    pb::Reply reply;
    ASSERT_TRUE(reply.ParseFromString(raw.Receive()));
    EXPECT_EQ(reply.hr(), S_OK);
    EXPECT_EQ(reply.is_supported(), TRUE);
    // The caller's capability mask goes to the provider and comes back as it left it.
    call.Clear();
    call.mutable_get_provider_capabilities()->set_capability_mask(0x55);
    reply = raw.Call(call);
    EXPECT_EQ(reply.hr(), S_OK);
    EXPECT_TRUE(reply.has_capability_mask());
    EXPECT_EQ(reply.capability_mask(), 0x55u);
    call.mutable_get_provider_capabilities()->clear_capability_mask();
    EXPECT_FALSE(raw.Call(call).has_capability_mask());

    // Through the proxy: the caller gets E_INVALIDARG, its records stay as
    // they were, and its connection goes on.
    ComRef<IUnknown> provider = Remote();
    VssDriver driver(provider.Get());
    std::vector<VDS_LUN_INFORMATION> many(4097);
    BOOL supported = TRUE;
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(4097, 0, nullptr, many.data(), &supported), E_INVALIDARG);
    EXPECT_TRUE(supported);
    EXPECT_EQ(driver.Creator()->EndPrepareSnapshots(NewGuid()), S_OK);
}

// A frame within every bound that needs more memory than there is: only
// its own connection goes.
TEST_F(ServerLimitsTest, AnExceptionClosesOnlyItsConnection) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer ends a process whose allocation fails instead of throwing bad_alloc";
#endif
    if (::geteuid() != 0) GTEST_SKIP() << "only root may lower another process's memory limit";
    auto server = StartServer();
    ComRef<IUnknown> bystander = Remote();
    VssDriver driver(bystander.Get());
    ASSERT_EQ(driver.Creator()->EndPrepareSnapshots(NewGuid()), S_OK);

    // Two arrays of 4096 records, each with 64 empty identifiers and 64 empty
    // interconnects: 2 MiB that become half a million objects when parsed,
    // and as many again for the provider and the answer.
    pb::Call call;
    pb::GetTargetLuns* targets = call.mutable_get_target_luns();
    targets->set_lun_count(4096);
    for (pb::LunArray* array : {targets->mutable_source_luns(), targets->mutable_destination_luns()}) {
        array->set_present(true);
        for (int i = 0; i < 4096; ++i) {
            pb::LunInformation* lun = array->add_luns();
            for (int k = 0; k < 64; ++k) {
                lun->add_ids();
                lun->add_interconnects();
            }
        }
    }
    const std::string frame = call.SerializeAsString();
    ASSERT_LT(frame.size(), 16 * kMiB);
    call.Clear();

    RawClient raw(SocketPath());
    ASSERT_EQ(raw.Activate(), S_OK);
    // Room for the frame itself and little more.
    rlimit unlimited{};
    ASSERT_EQ(::prlimit(server->Pid(), RLIMIT_AS, nullptr, &unlimited), 0);
    std::ifstream status("/proc/" + std::to_string(server->Pid()) + "/status");
    size_t mapped = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) mapped = std::stoull(line.substr(7)) * 1024;
    rlimit tight{mapped + frame.size() + kMiB, unlimited.rlim_max};
    ASSERT_EQ(::prlimit(server->Pid(), RLIMIT_AS, &tight, nullptr), 0);
    raw.SendFrame(frame, static_cast<uint32_t>(frame.size()));
    const bool closed = raw.ClosedByServer();
    ASSERT_EQ(::prlimit(server->Pid(), RLIMIT_AS, &unlimited, nullptr), 0);

    EXPECT_TRUE(closed) << ServerLog();
    EXPECT_EQ(CountServerLog("closed: std::bad_alloc"), 1u);
    EXPECT_TRUE(WaitUntil([&]() { return Released() == 1; }, seconds(10)));
    // The server and the other connection go on.
    EXPECT_TRUE(server->Running());
    EXPECT_EQ(driver.Creator()->EndPrepareSnapshots(NewGuid()), S_OK);
    ComRef<IUnknown> next = Remote();
    EXPECT_NE(next.Get(), nullptr);
}

// Records that arrive with interconnects: GetTargetLuns and FillInLunInfo
// drop them from what they describe, and their buffers must go too.
TEST_F(ServerLimitsTest, InterconnectBuffersOfRecordsAreFreed) {
    auto server = StartServer();
    {
        ComRef<IUnknown> provider = Remote();
        VssDriver driver(provider.Get());
        std::vector<LunRecord> sources;
        sources.push_back(LunRecord::FromDisk(Device(*a, "a1")));
        VssDriver::Created created = driver.Create(sources);
        ASSERT_EQ(created.result, S_OK) << created.failedStep;

        // Two interconnects of 60,000-byte ports and 50,000-byte addresses,
        // in an array with room for eight.
        auto withInterconnects = [](VDS_LUN_INFORMATION& lun) {
            lun.m_cInterconnects = 2;
            lun.m_rgInterconnects = static_cast<VDS_INTERCONNECT*>(CoTaskMemAlloc(8 * sizeof(VDS_INTERCONNECT)));
            for (int i = 0; i < 2; ++i) {
                VDS_INTERCONNECT& ic = lun.m_rgInterconnects[i];
                ic.m_addressType = VDS_IA_SCSI;
                ic.m_cbPort = 60000;
                ic.m_cbAddress = 50000;
                ic.m_pbPort = static_cast<BYTE*>(CoTaskMemAlloc(60000));
                ic.m_pbAddress = static_cast<BYTE*>(CoTaskMemAlloc(50000));
                std::memset(ic.m_pbPort, 'p', 60000);
                std::memset(ic.m_pbAddress, 'a', 50000);
            }
        };
        LunRecord source = LunRecord::FromDisk(Device(*a, "a1"));
        // A call that leaves them alone leaves the caller its own buffers, as
        // they were (a copy of two would be smaller, wherever it lay).
        withInterconnects(source.Info());
        const VDS_INTERCONNECT* own = source.Info().m_rgInterconnects;
        const size_t room = malloc_usable_size(source.Info().m_rgInterconnects);
        BOOL supported = FALSE;
        ASSERT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &source.Info(), &supported), S_OK);
        EXPECT_TRUE(supported);
        ASSERT_EQ(source.Info().m_rgInterconnects, own);
        EXPECT_EQ(malloc_usable_size(source.Info().m_rgInterconnects), room);
        EXPECT_EQ(own[1].m_cbAddress, 50000u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(own[1].m_pbAddress), 50000), std::string(50000, 'a'));
        auto targets = [&]() {
            VDS_LUN_INFORMATION target{};
            withInterconnects(target);
            HRESULT hr = driver.Hardware()->GetTargetLuns(1, nullptr, &source.Info(), &target);
            const bool cleared = target.m_cInterconnects == 0 && target.m_rgInterconnects == nullptr;
            KorvelFreeLunInformation(target);
            return hr == S_OK && cleared;
        };
        std::vector<VssDriver::Exposed> exposed;
        ASSERT_EQ(driver.Expose(created.targets, exposed), S_OK);
        ASSERT_EQ(exposed.size(), 1u);
        std::u16string device = Wide(exposed[0].device);
        auto fillIn = [&]() {
            LunRecord clone = LunRecord::FromDisk(exposed[0].device);
            withInterconnects(clone.Info());
            BOOL supported = FALSE;
            HRESULT hr = driver.Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(device.data()), &clone.Info(),
                                                          &supported);
            return hr == S_OK && supported && clone.Info().m_cInterconnects == 0;
        };
        ASSERT_TRUE(targets());
        ASSERT_TRUE(fillIn());
        const size_t before = ResidentBytes(server->Pid());
        // 240,000 bytes of buffers a call: 100 calls of each would keep 48 MB.
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(targets()) << i;
            ASSERT_TRUE(fillIn()) << i;
        }
        const size_t after = ResidentBytes(server->Pid());
        // AddressSanitizer keeps what is freed in quarantine: there the leak
        // check at the server's exit stands for this one.
#if defined(__SANITIZE_ADDRESS__)
        static_cast<void>(before + after);
#else
        EXPECT_LT(after, before + 12 * kMiB) << "before " << before / kMiB << " MiB, after " << after / kMiB << " MiB";
#endif
        driver.Release(exposed[0]);
    }
    // Nothing left behind: a LeakSanitizer build fails the exit on a leak.
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(seconds(30)), 0) << server->Stderr();
}

TEST_F(ServerLimitsTest, OneClientsUnloadLeavesTheTransportOfOthersAlone) {
    SetStoreValue("LogLevel", "3");  // the transport's own lines
    auto server = StartServer();
    ComRef<IUnknown> first = Remote(), second = Remote();
    VssDriver one(first.Get()), two(second.Get());
    EXPECT_EQ(one.Notifications()->OnLoad(nullptr), S_OK);
    EXPECT_EQ(two.Notifications()->OnLoad(nullptr), S_OK);
    LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
    int slow = a->AddFault(qsta::Fault::Slow("GET", "/api/volumes", milliseconds(1500)));
    BOOL supported = FALSE;
    auto call = std::async(std::launch::async,
                           [&]() { return one.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported); });
    ASSERT_TRUE(WaitUntil([&]() { return a->FaultHits(slow) == 1; }, seconds(10)));
    // The second client unloads, more often than it loaded, while the first one's request runs.
    EXPECT_EQ(two.Notifications()->OnUnload(FALSE), S_OK);
    EXPECT_EQ(two.Notifications()->OnUnload(TRUE), S_OK);
    ASSERT_EQ(call.wait_for(seconds(30)), std::future_status::ready);
    EXPECT_EQ(call.get(), S_OK);
    EXPECT_TRUE(supported);
    // Set up once when the server started, never torn down while it runs.
    EXPECT_EQ(CountServerLog("Entering KConnection::GlobalInit"), 1u);
    EXPECT_EQ(CountServerLog("Entering KConnection::GlobalCleanup"), 0u);
    EXPECT_EQ(CountServerLog("Entering CKorvelVSSProvider::OnUnload()"), 2u);
    ComRef<IUnknown> third = Remote();
    VssDriver three(third.Get());
    EXPECT_EQ(three.Hardware()->AreLunsSupported(1, 0, nullptr, &a1.Info(), &supported), S_OK);
}

TEST_F(ServerLimitsTest, ServerThatIsNotTheServiceIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "a server of another user can only be started by root";
    // A folder everybody may write to, as /tmp: another user binds the path first.
    TempDir shared;
    ::chmod(shared.Path().c_str(), 01777);
    const std::string path = shared.Path() + "/KorvelProvider.sock";
    setenv("KORVEL_PROVIDER_SOCKET", path.c_str(), 1);
    {
        ChildProcess impostor(KORVEL_REMOTE_CALLER, {"65534", "65534", "0", "listen", path});
        ASSERT_TRUE(WaitUntil([&]() { return impostor.Stdout() == "listening\n"; }, seconds(20))) << impostor.Stderr();
        Remote(E_ACCESSDENIED);
        EXPECT_EQ(CountLogContaining("the server on " + path +
                                     " runs as uid 65534, not as the KorvelProvider service"),
                  1u);
        EXPECT_EQ(impostor.Wait(seconds(30)), 0);
        EXPECT_EQ(impostor.Stdout(), "listening\nreceived 0\n");  // not even the activation
    }
    // The service does not listen there either.
    {
        ChildProcess service(KORVEL_PROVIDER_PROGRAM, {}, {{"KORVEL_PROVIDER_SOCKET", path}});
        EXPECT_EQ(service.Wait(seconds(20)), 5);  // E_ACCESSDENIED's low byte
        EXPECT_EQ(CountServerLog("Cannot listen on " + path + ": its folder can be written by other users"), 1u);
    }
    // A folder of the user's own that nobody else may write to: that user's server is taken.
    TempDir own;
    ASSERT_EQ(::chown(own.Path().c_str(), 65534, 65534), 0);
    ::chmod(own.Path().c_str(), 0755);
    const std::string ownPath = own.Path() + "/KorvelProvider.sock";
    setenv("KORVEL_PROVIDER_SOCKET", ownPath.c_str(), 1);
    ChildProcess server(KORVEL_REMOTE_CALLER, {"65534", "65534", "0", "listen", ownPath});
    ASSERT_TRUE(WaitUntil([&]() { return server.Stdout() == "listening\n"; }, seconds(20))) << server.Stderr();
    Remote(RPC_E_DISCONNECTED);  // it took the activation, and never answered
    EXPECT_EQ(server.Wait(seconds(30)), 0);
    EXPECT_NE(server.Stdout(), "listening\nreceived 0\n");
}

// Stop wakes the event loop once, whatever errno an earlier call left behind.
TEST(RemoteServerStop, StopsWithAStaleInterruptedErrno) {
    TempDir run;
    KorvelRemoteServer server(CLSID_KorvelVSSProvider);
    ASSERT_EQ(server.Start(run.Path() + "/KorvelProvider.sock"), S_OK);
    std::promise<void> stopped;
    std::thread stopper([&] {
        errno = EINTR;
        server.Stop();
        stopped.set_value();
    });
    if (stopped.get_future().wait_for(seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "Stop did not return within 30 s";
        std::_Exit(1);  // the thread cannot be joined
    }
    stopper.join();
    EXPECT_EQ(server.OpenConnections(), 0u);
}

}  // namespace
}  // namespace korvel_test
