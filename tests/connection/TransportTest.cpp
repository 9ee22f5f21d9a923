// The REST transport: the connection object, request preparation, body
// capture, status judging, every failure class and the limits that keep a
// broken appliance from hanging or exhausting the caller.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <list>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "SimulatorFixture.h"

using Korvel::KConnection;
using Korvel::KException;
using Korvel::VolumeInfo;
using korvel_test::SimulatorTest;
using namespace std::chrono_literals;

using korvel_test::ThrownText;

namespace {

class ConnectionObjectTest : public korvel_test::KorvelEnvTest {};

// ---------------------------------------------------------------------------
// The object and the process-wide set-up

TEST_F(ConnectionObjectTest, ConstructionAndDestructionAreLogged) {
    {
        KConnection connection("192.0.2.1", "abcdefghijkl");
    }
    EXPECT_EQ((std::vector<std::string>{"Entering KConnection::KConnection for 192.0.2.1",
                                        "Exiting KConnection::KConnection", "Entering KConnection::~KConnection()",
                                        "Exiting KConnection::~KConnection()"}),
              LogMessages());
}

TEST_F(ConnectionObjectTest, EmptyAddressOrKeyIsRefusedWithoutAnErrorLine) {
    for (auto args : {std::make_pair("", "key-123456789"), std::make_pair("192.0.2.1", "")}) {
        try {
            KConnection connection(args.first, args.second);
            FAIL() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ("KConnection Constructor: Invalid input argument", e.what());
        }
    }
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::KConnection for "));
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::KConnection for 192.0.2.1"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::KConnection"));
    EXPECT_EQ(0u, CountLogContaining("Invalid input argument"));
}

TEST_F(ConnectionObjectTest, GlobalInitAndCleanupAreLogged) {
    KConnection::GlobalInit();
    KConnection::GlobalCleanup();
    EXPECT_EQ((std::vector<std::string>{"Entering KConnection::GlobalInit", "Exiting KConnection::GlobalInit",
                                        "Entering KConnection::GlobalCleanup", "Exiting KConnection::GlobalCleanup"}),
              LogMessages());
}

// ---------------------------------------------------------------------------
// The write callback

TEST(WriteCallback, AppendsEveryPieceInOrder) {
    std::ostringstream body;
    char first[] = "<volu";
    char second[] = "mes/>";
    EXPECT_EQ(5u, KConnection::WriteCallback(first, 1, 5, &body));
    EXPECT_EQ(5u, KConnection::WriteCallback(second, 1, 5, &body));
    EXPECT_EQ("<volumes/>", body.str());
}

TEST(WriteCallback, NullStreamAbortsTheTransfer) {
    char data[] = "abc";
    EXPECT_EQ(0u, KConnection::WriteCallback(data, 1, 3, nullptr));
}

TEST(WriteCallback, RefusesToGrowPastSixtyFourMebibytes) {
    ASSERT_EQ(static_cast<size_t>(64) * 1024 * 1024, KConnection::GetTransferLimits().maxResponseBytes);
    std::ostringstream body;
    std::string piece(1024 * 1024, 'x');
    for (int i = 0; i < 64; ++i) ASSERT_EQ(piece.size(), KConnection::WriteCallback(&piece[0], 1, piece.size(), &body));
    char one = 'y';
    EXPECT_EQ(0u, KConnection::WriteCallback(&one, 1, 1, &body));
    EXPECT_EQ(static_cast<std::streamoff>(64) * 1024 * 1024, static_cast<std::streamoff>(body.tellp()));
}

// ---------------------------------------------------------------------------
// Requests as the appliance sees them

TEST_F(SimulatorTest, RequestCarriesTheKeyInOneHeader) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, m_conn->GetVolumesList(&volumes));
    const qsta::JournalEntry request = OnlyRequest();
    EXPECT_EQ("GET", request.method);
    EXPECT_EQ("/api/volumes", request.target);
    EXPECT_EQ(Key(), request.Header("X-Access-Key"));
    size_t keyHeaders = 0;
    for (const auto& h : request.headers)
        if (h.first == "X-Access-Key") ++keyHeaders;
    EXPECT_EQ(1u, keyHeaders);
    EXPECT_FALSE(request.HasHeader("Content-Type"));
}

TEST_F(SimulatorTest, HandlePreparationIsLoggedWithTheKeyMasked) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, m_conn->GetVolumesList(&volumes));
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::InitializeCurl"));
    EXPECT_EQ(1u, CountLog(3, "URL: https://" + Address() + "/api/volumes"));
    EXPECT_EQ(1u, CountLog(3, "X-Access-Key: " + Korvel::MaskSecret(Key())));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::InitializeCurl"));
    EXPECT_EQ(1u, CountLog(4, "HTTP Return Code :200"));
    EXPECT_EQ(0u, CountLogContaining(Key()));
}

TEST_F(SimulatorTest, LongKeyIsSentWholeAndLoggedMasked) {
    const std::string longKey = "K" + std::string(400, '7') + "tail";
    m_sim.SetAccessKey(longKey);
    KConnection connection(Address(), longKey);
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(0, connection.GetVolumesList(&volumes));
    EXPECT_EQ(longKey, OnlyRequest().Header("X-Access-Key"));
    EXPECT_EQ(1u, CountLog(3, "X-Access-Key: " + std::string(401, '*') + "tail"));
    EXPECT_EQ(0u, CountLogContaining(longKey));
}

TEST_F(SimulatorTest, LongIdentifierInAPathIsSentWhole) {
    const std::string snapID(600, 's');
    EXPECT_EQ("Snapshot " + snapID + " not found",
              ThrownText<KException>([&] { m_conn->DeleteSnapshot(snapID); }));
    EXPECT_EQ("/api/snapshots/" + snapID, OnlyRequest().target);
}

TEST_F(SimulatorTest, CertificateForAnotherNameIsAccepted) {
    qsta::Options options;
    options.listenAddress = "0.0.0.0";
    qsta::Simulator other(options);
    other.Start();
    // 127.0.0.2 is neither in the self-signed certificate nor its subject.
    KConnection connection("127.0.0.2:" + std::to_string(other.Port()), other.AccessKey());
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(0, connection.GetVolumesList(&volumes));
    EXPECT_EQ(3u, volumes.size());
    other.Stop();
}

TEST_F(SimulatorTest, RequestsOnOneConnectionRunOnManyThreads) {
    std::vector<std::future<int>> results;
    for (int t = 0; t < 6; ++t)
        results.push_back(std::async(std::launch::async, [this] {
            int failures = 0;
            for (int i = 0; i < 4; ++i) {
                std::list<VolumeInfo> volumes;
                if (m_conn->GetVolumesList(&volumes) != 0 || volumes.size() != 3) ++failures;
            }
            return failures;
        }));
    for (auto& r : results) {
        ASSERT_EQ(std::future_status::ready, r.wait_for(120s));
        EXPECT_EQ(0, r.get());
    }
    EXPECT_EQ(24u, m_sim.JournalSize());
}

TEST_F(SimulatorTest, ListingsShareOneConnectionAndEveryCommandOpensItsOwn) {
    std::list<VolumeInfo> volumes;
    std::list<Korvel::SnapshotInfo> snapshots;
    std::string volID, volName, cgName, serverID, iscsiIP;
    ASSERT_EQ(0, m_conn->GetVolumesList(&volumes));
    for (const char* cg : {"cg-1", "cg-2", "cg-3"}) ASSERT_EQ(2, m_conn->GetSnapshotsList(cg, &snapshots));
    ASSERT_EQ(0, m_conn->GetVolumeInfoByDispName("sqllog", volID, volName, cgName));
    ASSERT_EQ(0, m_conn->GetServerInfoByIQN("iqn.2026-01.local.example:backup01", serverID, iscsiIP));
    ASSERT_EQ(0, m_conn->AttachVolume("vol-2", "host-1"));
    ASSERT_EQ(0, m_conn->DetachVolume("vol-2", "host-1"));

    const auto journal = m_sim.Journal();
    ASSERT_EQ(8u, journal.size());
    // Six listings, one connection and so one TLS handshake.
    std::set<int> listingPorts;
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ("GET", journal[i].method) << i;
        listingPorts.insert(journal[i].clientPort);
    }
    EXPECT_EQ(1u, listingPorts.size());
    // Two commands, two connections of their own.
    EXPECT_EQ("POST", journal[6].method);
    EXPECT_NE(journal[6].clientPort, journal[7].clientPort);
    EXPECT_EQ(0u, listingPorts.count(journal[6].clientPort));
    EXPECT_EQ(0u, listingPorts.count(journal[7].clientPort));
}

// ---------------------------------------------------------------------------
// Status judging

TEST_F(SimulatorTest, RedirectIsFollowedAndTheFinalAnswerJudged) {
    m_sim.AddFault(qsta::Fault::Redirect("GET", "/api/volumes", "/api/volumes"));
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(0, m_conn->GetVolumesList(&volumes));
    EXPECT_EQ(3u, volumes.size());
    const auto journal = m_sim.Journal();
    ASSERT_EQ(2u, journal.size());
    EXPECT_EQ(302, journal[0].status);
    EXPECT_EQ(200, journal[1].status);
    EXPECT_EQ(1u, CountLog(4, "HTTP Return Code :200"));
}

TEST_F(SimulatorTest, RedirectEndingInNotFoundThrowsTheFormattedText) {
    m_sim.AddFault(qsta::Fault::Redirect("DELETE", "/api/snapshots/snap-000001", "/api/moved/snap-000001"));
    m_sim.AddFault(qsta::Fault::WithStatus("DELETE", "/api/moved/*", 404));
    EXPECT_EQ("HTTP return code: 404. Delete snapshot failed",
              ThrownText<KException>([&] { m_conn->DeleteSnapshot("snap-000001"); }));
    const auto journal = m_sim.Journal();
    ASSERT_EQ(2u, journal.size());
    EXPECT_EQ("DELETE", journal[1].method);
    EXPECT_EQ("/api/moved/snap-000001", journal[1].target);
    EXPECT_EQ(1u, CountLog(4, "HTTP Return Code :404"));
    EXPECT_EQ(1u, CountLog(0, "HTTP return code: 404. Delete snapshot failed"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::DeleteSnapshot"));
}

TEST_F(SimulatorTest, CreatedAndNoContentAnswersAreFailures) {
    m_sim.AddFault(qsta::Fault::WithStatus("DELETE", "/api/volumes/*", 201));
    m_sim.AddFault(qsta::Fault::WithStatus("DELETE", "/api/volumes/*", 204));
    EXPECT_EQ("HTTP return code: 201. Delete volume failed",
              ThrownText<KException>([&] { m_conn->DeleteVolume("vol-3"); }));
    EXPECT_EQ("HTTP return code: 204. Delete volume failed",
              ThrownText<KException>([&] { m_conn->DeleteVolume("vol-3"); }));
    EXPECT_TRUE(m_sim.FindVolume("vol-3").has_value());
    EXPECT_EQ(1u, CountLog(0, "HTTP return code: 201. Delete volume failed"));
    EXPECT_EQ(1u, CountLog(0, "HTTP return code: 204. Delete volume failed"));
}

TEST_F(SimulatorTest, WrongKeyIsAnHttpFailure) {
    KConnection wrong(Address(), "not-the-appliance-key");
    std::list<VolumeInfo> volumes;
    EXPECT_EQ("HTTP return code: 401. List volume failed",
              ThrownText<KException>([&] { wrong.GetVolumesList(&volumes); }));
    EXPECT_TRUE(volumes.empty());
    EXPECT_EQ(1u, CountLog(0, "HTTP return code: 401. List volume failed"));
    EXPECT_EQ(0u, CountLogContaining("not-the-appliance-key"));
}

// ---------------------------------------------------------------------------
// Transfer failures

// What an administrator reads of a transfer failure.
std::string ThrownCause(const std::function<void()>& call) {
    try {
        call();
    } catch (const Korvel::KTransportFailure& failure) {
        return failure.Cause();
    }
    return "(no transport failure)";
}

TEST_F(SimulatorTest, ApplianceDownFailsThePerformStep) {
    const std::string address = Address();
    m_sim.Stop();
    std::list<VolumeInfo> volumes;
    EXPECT_EQ("Failed to perform curl action", ThrownText<KException>([&] { m_conn->GetVolumesList(&volumes); }));

    EXPECT_EQ("Failed to perform curl action", ThrownText<KException>([&] { m_conn->DeleteSnapshot("snap-1"); }));
    std::string volID, volName, cgName;
    EXPECT_EQ("Failed to perform curl action",
              ThrownText<KException>([&] { m_conn->GetVolumeInfoByDispName("sqldata", volID, volName, cgName); }));
    // Once by each of the first two operations, twice by the lookup and its listing.
    EXPECT_EQ(4u, CountLog(0, "Failed to perform curl action"));
    EXPECT_EQ(0u, CountLog(4, "HTTP Return Code :0"));

    // The cause, for the administrator: the appliance's address and what happened.
    EXPECT_EQ(0u, ThrownCause([&] { m_conn->GetVolumesList(&volumes); })
                      .rfind("appliance " + address + " could not be reached: Failed to connect to 127.0.0.1 port", 0));
    m_sim.Start();
    EXPECT_EQ("appliance " + m_sim.Address() + " refused the access key (HTTP 401)",
              ThrownCause([&] { KConnection(m_sim.Address(), Key() + "-old").DeleteSnapshot("snap-1"); }));
}

TEST_F(SimulatorTest, DroppedConnectionFailsThePerformStep) {
    m_sim.AddFault(qsta::Fault::Drop("POST", "/api/servers"));
    std::string serverID = "before";
    EXPECT_EQ("Failed to perform curl action", ThrownText<KException>([&] {
                  m_conn->CreateServer("backup02", "iqn.2026-01.local.example:backup02", "192.0.2.20", serverID);
              }));
    EXPECT_EQ("before", serverID);
    EXPECT_EQ(1u, CountLog(0, "Failed to perform curl action"));
}

TEST_F(SimulatorTest, StalledAnswerIsAbortedByTheLowSpeedLimit) {
    KConnection::TransferLimits limits;
    limits.lowSpeedTimeSeconds = 2;  // 120 in production; short here so the test stays quick
    KConnection::SetTransferLimitsForTesting(limits);
    m_sim.AddFault(qsta::Fault::Slow("GET", "/api/volumes", 90s));
    auto running = std::async(std::launch::async, [this] {
        std::list<VolumeInfo> volumes;
        return ThrownCause([&] { m_conn->GetVolumesList(&volumes); });
    });
    const bool abortedByTheClient = running.wait_for(45s) == std::future_status::ready;
    const std::string address = Address();
    m_sim.Stop();  // cuts the delay short should the client still be waiting
    EXPECT_TRUE(abortedByTheClient);
    EXPECT_EQ("appliance " + address + " did not answer within 2 s", running.get());
    EXPECT_EQ(1u, CountLog(0, "Failed to perform curl action"));
}

// A loopback port that takes connections into its backlog and never speaks.
class SilentListener {
public:
    SilentListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 8) != 0)
            throw std::runtime_error("listener");
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~SilentListener() { Close(); }
    // Closing resets the connections still waiting in the backlog.
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

TEST_F(SimulatorTest, HandshakeThatNeverCompletesIsAbortedByTheConnectTimeout) {
    KConnection::TransferLimits limits;
    limits.connectTimeoutSeconds = 2;  // 30 in production; short here so the test stays quick
    limits.lowSpeedTimeSeconds = 600;  // so that only the connect limit can end the attempt
    KConnection::SetTransferLimitsForTesting(limits);
    SilentListener silent;
    KConnection connection("127.0.0.1:" + std::to_string(silent.Port()), "silent-appliance-key");
    auto running = std::async(std::launch::async, [&connection] {
        return ThrownCause([&] { connection.DeleteSnapshot("snap-000001"); });
    });
    const bool abortedByTheClient = running.wait_for(45s) == std::future_status::ready;
    silent.Close();  // ends the attempt should the client still be waiting
    EXPECT_TRUE(abortedByTheClient);
    EXPECT_EQ("appliance 127.0.0.1:" + std::to_string(silent.Port()) + " did not answer within 2 s", running.get());
    EXPECT_EQ(1u, CountLog(0, "Failed to perform curl action"));
}

TEST_F(SimulatorTest, TransferLimitsDefaultToThirtySecondsAndOneBytePerSecondForTwoMinutes) {
    const KConnection::TransferLimits limits = KConnection::GetTransferLimits();
    EXPECT_EQ(30, limits.connectTimeoutSeconds);
    EXPECT_EQ(1, limits.lowSpeedLimitBytes);
    EXPECT_EQ(120, limits.lowSpeedTimeSeconds);
    EXPECT_EQ(static_cast<size_t>(64) * 1024 * 1024, limits.maxResponseBytes);
}

TEST_F(SimulatorTest, OversizedAnswerIsAbortedByTheResponseLimit) {
    KConnection::TransferLimits limits;
    limits.maxResponseBytes = 1024 * 1024;  // 64 MiB in production; smaller here to keep the test light
    KConnection::SetTransferLimitsForTesting(limits);
    const std::string head = "<volumes>";
    const std::string tail = "</volumes>";
    std::string exact = head + std::string(limits.maxResponseBytes - head.size() - tail.size(), ' ') + tail;
    ASSERT_EQ(limits.maxResponseBytes, exact.size());
    std::string over = head + std::string(limits.maxResponseBytes + 1 - head.size() - tail.size(), ' ') + tail;

    m_sim.AddFault(qsta::Fault::Custom("GET", "/api/volumes", 200, exact));
    m_sim.AddFault(qsta::Fault::Custom("GET", "/api/volumes", 200, over));
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(2, m_conn->GetVolumesList(&volumes));  // exactly at the limit: read and parsed
    EXPECT_EQ("Failed to perform curl action", ThrownText<KException>([&] { m_conn->GetVolumesList(&volumes); }));
    EXPECT_EQ(1u, CountLog(0, "Failed to perform curl action"));
}

// ---------------------------------------------------------------------------
// Bodies the parsers refuse

TEST_F(SimulatorTest, EmptyBodyReachesTheParserAndFails) {
    m_sim.AddFault(qsta::Fault::Empty("DELETE", "/api/snapshots/*"));
    EXPECT_EQ("Failed to open the xml document",
              ThrownText<KException>([&] { m_conn->DeleteSnapshot("snap-000001"); }));
    EXPECT_EQ(1u, CountLog(4, "HTTP Return Code :200"));
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseResponseXML with xPathID: //delete-snapshot-response "
                              "CommandAction: 1"));
    // Once by the parser, once by the operation.
    EXPECT_EQ(2u, CountLog(0, "Failed to open the xml document"));
}

TEST_F(SimulatorTest, MalformedBodyFailsTheListing) {
    m_sim.AddFault(qsta::Fault::Malformed("GET", "/api/volumes"));
    std::list<VolumeInfo> volumes;
    EXPECT_EQ("Failed to open the xml document",
              ThrownText<KException>([&] { m_conn->GetVolumesList(&volumes); }));
    EXPECT_TRUE(volumes.empty());
    EXPECT_EQ(2u, CountLog(0, "Failed to open the xml document"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::GetVolumesList"));
}

}  // namespace
