// The request journal records what the client really sent.
#include "SimTestSupport.h"

#include <mutex>

using namespace simtest;

class JournalTest : public SimulatorTest {};

TEST_F(JournalTest, RecordsRequestsInOrderWithMethodPathAndHeaders) {
    Get(Sim(), "/api/volumes");
    Delete(Sim(), "/api/snapshots/snap%2D7");
    Post(Sim(), "/api/servers", "display_name=a&iscsi=1.1.1.1&iqn=iqn.j");
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 3u);

    EXPECT_EQ(journal[0].sequence, 1u);
    EXPECT_EQ(journal[0].method, "GET");
    EXPECT_EQ(journal[0].rawPath, "/api/volumes");
    EXPECT_EQ(journal[0].status, 200);
    EXPECT_FALSE(journal[0].faulted);
    EXPECT_TRUE(journal[0].body.empty());

    EXPECT_EQ(journal[1].sequence, 2u);
    EXPECT_EQ(journal[1].method, "DELETE");
    EXPECT_EQ(journal[1].target, "/api/snapshots/snap%2D7");
    EXPECT_EQ(journal[1].rawPath, "/api/snapshots/snap%2D7");
    EXPECT_EQ(journal[1].path, "/api/snapshots/snap-7");

    EXPECT_EQ(journal[2].method, "POST");
    EXPECT_EQ(journal[2].Header("x-access-key"), "test-key-0123");
    EXPECT_TRUE(journal[2].HasHeader("Content-Type"));
    EXPECT_EQ(journal[2].Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(journal[2].HasHeader("REMOTE_ADDR"));
    EXPECT_EQ(journal[2].Header("Host"), Sim().Address());
}

TEST_F(JournalTest, RecordsTheExactBodyBytes) {
    // Characters a form would normally escape, sent verbatim, plus a NUL and
    // bytes above 0x7f.
    std::string body = "snapshots_set_1_name=snap_1_a&b=%zz&c=a+b=c&d=";
    body += '\0';
    body += "\xff\xfe tail";
    RequestOptions options;
    options.method = "POST";
    options.body = body;
    options.accessKey = Sim().AccessKey();
    Send(Sim().Url() + "/api/snapshots/snapshots_set", options);
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].body.size(), body.size());
    EXPECT_EQ(journal[0].body, body);
}

TEST_F(JournalTest, KeepsTheTargetWithItsQueryAsSent) {
    Get(Sim(), "/api/volumes?x=%41&y");
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].target, "/api/volumes?x=%41&y");
    EXPECT_EQ(journal[0].rawPath, "/api/volumes");
}

TEST_F(JournalTest, RecordsRefusedAndUnknownRequestsToo) {
    RequestOptions options;
    options.accessKey = "wrong";
    Send(Sim().Url() + "/api/volumes", options);
    Get(Sim(), "/nowhere");
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].status, 401);
    EXPECT_EQ(journal[0].Header("X-Access-Key"), "wrong");
    EXPECT_EQ(journal[1].status, 404);
}

TEST_F(JournalTest, ClearEmptiesItAndSequenceKeepsCounting) {
    Get(Sim(), "/api/drives");
    Get(Sim(), "/api/drives");
    EXPECT_EQ(Sim().JournalSize(), 2u);
    Sim().ClearJournal();
    EXPECT_EQ(Sim().JournalSize(), 0u);
    EXPECT_TRUE(Sim().Journal().empty());
    Get(Sim(), "/api/servers");
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].sequence, 3u);
    EXPECT_EQ(journal[0].rawPath, "/api/servers");
}

TEST_F(JournalTest, RequestLogLineOmitsTheAccessKey) {
    std::vector<std::string> lines;
    std::mutex mutex;
    qsta::Options options;
    options.accessKey = "very-secret-key";
    options.requestLog = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    };
    qsta::Simulator sim(options);
    sim.Start();
    Get(sim, "/api/volumes");
    sim.AddFault(qsta::Fault::Drop("GET", "/api/drives"));
    Get(sim, "/api/drives");
    sim.Stop();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" GET /api/volumes 200 "), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" GET /api/drives dropped [fault drop-connection]"), std::string::npos) << lines[1];
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("very-secret-key"), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}
