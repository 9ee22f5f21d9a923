// Each kind of injected fault happens as configured, then stops.
#include "SimTestSupport.h"

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace simtest;

class FaultTest : public SimulatorTest {
protected:
    // A normal volume listing proves that a fault has stopped applying.
    void ExpectNormalListing() {
        HttpResult result = Get(Sim(), "/api/volumes");
        EXPECT_EQ(result.code, CURLE_OK);
        EXPECT_EQ(result.status, 200);
        auto xml = Xml::TryParse(result.body);
        ASSERT_TRUE(xml.has_value());
        EXPECT_EQ(xml->Count("//volumes/volume"), Sim().VolumeCount());
    }
};

// --- Status codes ----------------------------------------------------------------

class StatusFaultTest : public FaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(StatusFaultTest, AnswersTheStatusOnceThenNormally) {
    const int status = GetParam();
    int id = Sim().AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", status));
    HttpResult faulted = Get(Sim(), "/api/volumes");
    EXPECT_EQ(faulted.code, CURLE_OK);
    EXPECT_EQ(faulted.status, status);
    EXPECT_EQ(Sim().FaultHits(id), 1u);
    EXPECT_EQ(Sim().ActiveFaultCount(), 0u);
    ExpectNormalListing();
    EXPECT_EQ(Sim().FaultHits(id), 1u);
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusFaultTest, ::testing::Values(201, 204, 404, 500, 503));

TEST_F(FaultTest, StatusFaultOnACommandLeavesTheModelAlone) {
    Sim().AddFault(qsta::Fault::WithStatus("DELETE", "/api/volumes/vol-1", 500));
    EXPECT_EQ(Delete(Sim(), "/api/volumes/vol-1").status, 500);
    EXPECT_TRUE(Sim().FindVolume("vol-1").has_value());
}

TEST_F(FaultTest, RedirectPointsToAnotherPath) {
    Sim().AddFault(qsta::Fault::Redirect("GET", "/api/volumes", "/api/servers"));
    HttpResult raw = Get(Sim(), "/api/volumes");
    EXPECT_EQ(raw.status, 302);
    EXPECT_EQ(raw.location, Sim().Url() + "/api/servers");
    ExpectNormalListing();
}

TEST_F(FaultTest, FollowedRedirectEndsAtTheOtherPath) {
    Sim().AddFault(qsta::Fault::Redirect("GET", "/api/volumes", "/api/servers", 301));
    RequestOptions options;
    options.accessKey = Sim().AccessKey();
    options.followRedirects = true;
    HttpResult result = Send(Sim().Url() + "/api/volumes", options);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.redirects, 1);
    EXPECT_EQ(Xml::Parse(result.body).Count("//servers/server"), 1u);
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].status, 301);
    EXPECT_TRUE(journal[0].faulted);
    EXPECT_EQ(journal[1].path, "/api/servers");
    EXPECT_EQ(journal[1].Header("X-Access-Key"), Sim().AccessKey());
}

TEST_F(FaultTest, RedirectToAMissingPathEndsIn404) {
    Sim().AddFault(qsta::Fault::Redirect("DELETE", "/api/snapshots/*", "/api/elsewhere"));
    RequestOptions options;
    options.method = "DELETE";
    options.accessKey = Sim().AccessKey();
    options.followRedirects = true;
    HttpResult result = Send(Sim().Url() + "/api/snapshots/snap-000001", options);
    EXPECT_EQ(result.status, 404);
}

// --- Bodies ------------------------------------------------------------------------

TEST_F(FaultTest, EmptyBodyIs200WithNothingThenNormal) {
    Sim().AddFault(qsta::Fault::Empty("GET", "/api/volumes"));
    HttpResult result = Get(Sim(), "/api/volumes");
    EXPECT_EQ(result.code, CURLE_OK);
    EXPECT_EQ(result.status, 200);
    EXPECT_TRUE(result.body.empty());
    EXPECT_FALSE(Xml::TryParse(result.body).has_value());
    ExpectNormalListing();
}

TEST_F(FaultTest, MalformedBodyIsNotWellFormedXml) {
    Sim().AddFault(qsta::Fault::Malformed("POST", "/api/servers"));
    HttpResult result = Post(Sim(), "/api/servers", "display_name=a&iscsi=1.1.1.1&iqn=iqn.x");
    EXPECT_EQ(result.status, 200);
    EXPECT_FALSE(result.body.empty());
    EXPECT_FALSE(Xml::TryParse(result.body).has_value());
    EXPECT_FALSE(Sim().FindHostByIqn("iqn.x").has_value());
    ExpectNormalListing();
}

TEST_F(FaultTest, MissingElementIsWellFormedWithoutTheResponseElement) {
    Sim().AddFault(qsta::Fault::WithoutElement("DELETE", "/api/volumes/vol-1"));
    HttpResult result = Delete(Sim(), "/api/volumes/vol-1");
    EXPECT_EQ(result.status, 200);
    auto xml = Xml::TryParse(result.body);
    ASSERT_TRUE(xml.has_value());
    EXPECT_EQ(xml->Count("//delete-volume-response"), 0u);
    EXPECT_TRUE(Sim().FindVolume("vol-1").has_value());

    // The same for the drive listing's status element.
    Sim().AddFault(qsta::Fault::WithoutElement("GET", "/api/drives"));
    HttpResult drives = Get(Sim(), "/api/drives");
    EXPECT_EQ(drives.status, 200);
    EXPECT_EQ(Xml::Parse(drives.body).Count("//show-disks-response/status"), 0u);
    EXPECT_EQ(Xml::Parse(Get(Sim(), "/api/drives").body).Count("//show-disks-response/status"), 1u);
}

TEST_F(FaultTest, CustomBodyIsSentExactly) {
    const std::string body = "<volumes><volume><name>x</name></volume></volumes>";
    Sim().AddFault(qsta::Fault::Custom("GET", "/api/volumes", 200, body, "text/xml"));
    HttpResult result = Get(Sim(), "/api/volumes");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, body);
    ExpectNormalListing();
}

// --- Refused commands ------------------------------------------------------------

TEST_F(FaultTest, RefusedCommandCarriesStatusAndMessage) {
    Sim().AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "2", std::string("Pool is full")));
    HttpResult result = Post(Sim(), "/api/snapshots/snapshots_set", "snapshots_set_1_name=a&snapshots_set_1_cg=cg-1");
    ASSERT_EQ(result.status, 200);
    Xml xml = Xml::Parse(result.body);
    EXPECT_EQ(xml.Text("//create-snapshot-set-response/status"), "2");
    EXPECT_EQ(xml.Text("//create-snapshot-set-response/status-msg"), "Pool is full");
    EXPECT_TRUE(Sim().Snapshots().empty());

    HttpResult next = Post(Sim(), "/api/snapshots/snapshots_set", "snapshots_set_1_name=a&snapshots_set_1_cg=cg-1");
    EXPECT_EQ(Xml::Parse(next.body).Text("//create-snapshot-set-response/status"), "0");
}

TEST_F(FaultTest, RefusedCommandWithoutMessageHasNoStatusMsgElement) {
    Sim().AddFault(qsta::Fault::Refuse("DELETE", "/api/snapshots/*", "1", std::nullopt));
    HttpResult result = Delete(Sim(), "/api/snapshots/snap-1");
    Xml xml = Xml::Parse(result.body);
    EXPECT_EQ(xml.Text("//delete-snapshot-response/status"), "1");
    EXPECT_EQ(xml.Count("//delete-snapshot-response/status-msg"), 0u);
}

TEST_F(FaultTest, RefusedCommandWithEmptyStatus) {
    Sim().AddFault(qsta::Fault::Refuse("POST", "/api/volumes/*/detach", "", std::string("no status")));
    HttpResult result = Post(Sim(), "/api/volumes/vol-1/detach", "servers=host-1");
    Xml xml = Xml::Parse(result.body);
    EXPECT_EQ(xml.Count("//detach-volume-response/status"), 1u);
    EXPECT_EQ(xml.Text("//detach-volume-response/status"), "");
    EXPECT_EQ(xml.Text("//detach-volume-response/status-msg"), "no status");
}

TEST_F(FaultTest, RefusalUsesEachCommandsResponseElement) {
    const std::vector<std::tuple<std::string, std::string, std::string>> commands = {
        {"POST", "/api/snapshots/snapshots_set", "create-snapshot-set-response"},
        {"DELETE", "/api/snapshots/snap-1", "delete-snapshot-response"},
        {"POST", "/api/consistency_groups/cg-1/clone", "clone-cg-response"},
        {"POST", "/api/consistency_groups/cg-1/rollback", "clone-cg-response"},
        {"DELETE", "/api/volumes/vol-1", "delete-volume-response"},
        {"POST", "/api/servers", "create-server-response"},
        {"POST", "/api/servers/host-1/volumes", "attach-volume-response"},
        {"POST", "/api/volumes/vol-1/detach", "detach-volume-response"},
    };
    for (const auto& [method, path, element] : commands) {
        Sim().AddFault(qsta::Fault::Refuse(method, path, "7", std::string("refused")));
        RequestOptions options;
        options.method = method;
        options.accessKey = Sim().AccessKey();
        if (method == "POST") {
            options.body = "x=y";
        }
        HttpResult result = Send(Sim().Url() + path, options);
        Xml xml = Xml::Parse(result.body);
        EXPECT_EQ(xml.Text("//" + element + "/status"), "7") << method << " " << path;
        EXPECT_EQ(qsta::Simulator::ResponseElementFor(method, path), element);
    }
    EXPECT_EQ(Sim().VolumeCount(), 3u);
}

// --- Delays and dropped connections -------------------------------------------------

TEST_F(FaultTest, DelayedAnswerIsTheNormalAnswer) {
    int id = Sim().AddFault(qsta::Fault::Slow("GET", "/api/volumes", std::chrono::milliseconds(300)));
    HttpResult result = Get(Sim(), "/api/volumes");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Count("//volumes/volume"), 3u);
    EXPECT_EQ(Sim().FaultHits(id), 1u);
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_TRUE(journal[0].faulted);
    EXPECT_EQ(journal[0].status, 200);
}

TEST_F(FaultTest, DelayedRequestDoesNotHoldUpOthers) {
    Sim().AddFault(qsta::Fault::Slow("GET", "/api/volumes", std::chrono::minutes(10)));
    std::atomic<bool> delayedDone{false};
    HttpResult delayed;
    std::thread client([&] {
        delayed = Get(Sim(), "/api/volumes");
        delayedDone = true;
    });
    for (int i = 0; i < 2000 && Sim().JournalSize() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(Sim().JournalSize(), 1u);
    // Served while the first request still waits.
    EXPECT_EQ(Get(Sim(), "/api/drives").status, 200);
    EXPECT_EQ(Post(Sim(), "/api/servers", "display_name=a&iscsi=1.1.1.1&iqn=iqn.concurrent").status, 200);
    EXPECT_FALSE(delayedDone.load());
    Sim().Stop();  // ends the wait
    client.join();
    EXPECT_EQ(delayed.status, 200);
}

TEST_F(FaultTest, DroppedConnectionGivesTheClientNoAnswer) {
    Sim().AddFault(qsta::Fault::Drop("GET", "/api/volumes"));
    HttpResult result = Get(Sim(), "/api/volumes");
    EXPECT_NE(result.code, CURLE_OK);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.body.empty());
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].status, 0);
    EXPECT_TRUE(journal[0].faulted);
    ExpectNormalListing();
}

TEST_F(FaultTest, ExecutedCommandWhoseAnswerIsLost) {
    qsta::Fault fault = qsta::Fault::Drop("DELETE", "/api/volumes/vol-3");
    fault.execute = true;
    Sim().AddFault(fault);
    HttpResult result = Delete(Sim(), "/api/volumes/vol-3");
    EXPECT_NE(result.code, CURLE_OK);
    EXPECT_FALSE(Sim().FindVolume("vol-3").has_value());
}

// --- Matching and lifetime --------------------------------------------------------

TEST_F(FaultTest, TimesCountsRequestsThenTheFaultExpires) {
    qsta::Fault fault = qsta::Fault::WithStatus("GET", "/api/volumes", 500);
    fault.times = 2;
    int id = Sim().AddFault(fault);
    EXPECT_EQ(Get(Sim(), "/api/volumes").status, 500);
    EXPECT_EQ(Sim().ActiveFaultCount(), 1u);
    EXPECT_EQ(Get(Sim(), "/api/volumes").status, 500);
    EXPECT_EQ(Sim().ActiveFaultCount(), 0u);
    ExpectNormalListing();
    EXPECT_EQ(Sim().FaultHits(id), 2u);
}

TEST_F(FaultTest, ZeroTimesLastsUntilRemoved) {
    qsta::Fault fault = qsta::Fault::WithStatus("GET", "/api/volumes", 500);
    fault.times = 0;
    int id = Sim().AddFault(fault);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Get(Sim(), "/api/volumes").status, 500);
    }
    EXPECT_EQ(Sim().FaultHits(id), 4u);
    Sim().RemoveFault(id);
    ExpectNormalListing();
}

TEST_F(FaultTest, ClearFaultsRemovesEveryFault) {
    qsta::Fault fault = qsta::Fault::WithStatus("", "", 500);
    fault.times = 0;
    Sim().AddFault(fault);
    Sim().AddFault(qsta::Fault::Drop("*", "*"));
    EXPECT_EQ(Sim().ActiveFaultCount(), 2u);
    EXPECT_EQ(Get(Sim(), "/api/drives").status, 500);
    Sim().ClearFaults();
    EXPECT_EQ(Sim().ActiveFaultCount(), 0u);
    ExpectNormalListing();
}

TEST_F(FaultTest, MethodAndPathPatternSelectTheRequests) {
    qsta::Fault fault = qsta::Fault::WithStatus("DELETE", "/api/volumes/vol-?", 500);
    fault.times = 0;
    Sim().AddFault(fault);
    Sim().AddVolume(qsta::VolumeSpec{"vol-10", "ten", "", "", "", ""});
    ExpectNormalListing();                                                   // other method
    EXPECT_EQ(Delete(Sim(), "/api/snapshots/vol-1").status, 200);            // other path
    EXPECT_EQ(Delete(Sim(), "/api/volumes/vol-10").status, 200);             // '?' is one character
    EXPECT_EQ(Delete(Sim(), "/api/volumes/vol-2").status, 500);
    EXPECT_TRUE(Sim().FindVolume("vol-2").has_value());
    EXPECT_FALSE(Sim().FindVolume("vol-10").has_value());
}

TEST_F(FaultTest, PatternsMatchThePathAsSentAndMethodsIgnoreCase) {
    qsta::Fault fault = qsta::Fault::WithStatus("delete", "/api/volumes/*%2F*", 404);
    Sim().AddFault(fault);
    EXPECT_EQ(Delete(Sim(), "/api/volumes/a%2Fb").status, 404);
}

TEST_F(FaultTest, FirstMatchingFaultWins) {
    int first = Sim().AddFault(qsta::Fault::WithStatus("GET", "/api/*", 503));
    int second = Sim().AddFault(qsta::Fault::WithStatus("GET", "/api/volumes", 500));
    EXPECT_EQ(Get(Sim(), "/api/volumes").status, 503);
    EXPECT_EQ(Get(Sim(), "/api/volumes").status, 500);
    EXPECT_EQ(Sim().FaultHits(first), 1u);
    EXPECT_EQ(Sim().FaultHits(second), 1u);
}

TEST_F(FaultTest, FaultsApplyBeforeTheKeyIsChecked) {
    Sim().AddFault(qsta::Fault::WithStatus("GET", "/api/drives", 500));
    RequestOptions options;
    options.accessKey = "wrong";
    EXPECT_EQ(Send(Sim().Url() + "/api/drives", options).status, 500);
    EXPECT_EQ(Send(Sim().Url() + "/api/drives", options).status, 401);
}

TEST_F(FaultTest, InvalidFaultsAreRejected) {
    EXPECT_THROW(Sim().AddFault(qsta::Fault::WithStatus("GET", "/", 100)), std::invalid_argument);
    EXPECT_THROW(Sim().AddFault(qsta::Fault::WithStatus("GET", "/", 600)), std::invalid_argument);
    EXPECT_THROW(Sim().AddFault(qsta::Fault::Slow("GET", "/", std::chrono::milliseconds(-1))), std::invalid_argument);
    EXPECT_EQ(Sim().ActiveFaultCount(), 0u);
}

TEST_F(FaultTest, ExecutedCommandWhoseAnswerLacksItsElement) {
    qsta::Fault fault = qsta::Fault::WithoutElement("POST", "/api/servers");
    fault.execute = true;
    Sim().AddFault(fault);
    HttpResult result = Post(Sim(), "/api/servers", "display_name=a&iscsi=1.1.1.1&iqn=iqn.executed");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Count("//create-server-response"), 0u);
    EXPECT_TRUE(Sim().FindHostByIqn("iqn.executed").has_value());
}
