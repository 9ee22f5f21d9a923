// Starting and stopping, the access key, routing and concurrent service.
#include "SimTestSupport.h"

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace simtest;

namespace {

qsta::Options KeyOptions(const std::string& key) {
    qsta::Options options;
    options.accessKey = key;
    return options;
}

}  // namespace

// --- Life cycle ------------------------------------------------------------

TEST(SimulatorLifecycle, StartsOnAnEphemeralLoopbackPortAndServesHttps) {
    qsta::Simulator sim(KeyOptions("k"));
    EXPECT_FALSE(sim.IsRunning());
    EXPECT_EQ(sim.Port(), 0);
    sim.Start();
    EXPECT_TRUE(sim.IsRunning());
    ASSERT_GT(sim.Port(), 0);
    EXPECT_EQ(sim.Address(), "127.0.0.1:" + std::to_string(sim.Port()));
    EXPECT_EQ(sim.Url(), "https://127.0.0.1:" + std::to_string(sim.Port()));

    HttpResult result = Get(sim, "/api/drives");
    EXPECT_EQ(result.code, CURLE_OK);
    EXPECT_EQ(result.status, 200);
}

TEST(SimulatorLifecycle, StopClosesThePortAndKeepsTheModel) {
    qsta::Simulator sim(KeyOptions("k"));
    sim.Start();
    const std::string url = sim.Url();
    sim.AddVolume("kept-across-restart");
    sim.Stop();
    EXPECT_FALSE(sim.IsRunning());
    EXPECT_EQ(sim.Port(), 0);

    RequestOptions options;
    options.accessKey = "k";
    HttpResult refused = Send(url + "/api/volumes", options);
    EXPECT_EQ(refused.code, CURLE_COULDNT_CONNECT);

    sim.Start();
    HttpResult result = Get(sim, "/api/volumes");
    ASSERT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Count("//volumes/volume[display-name='kept-across-restart']"), 1u);
}

TEST(SimulatorLifecycle, StopAndStartAreSafeToRepeat) {
    qsta::Simulator sim(KeyOptions("k"));
    sim.Stop();  // before any start
    sim.Start();
    const int port = sim.Port();
    sim.Start();  // already running: nothing changes
    EXPECT_EQ(sim.Port(), port);
    sim.Stop();
    sim.Stop();
    for (int round = 0; round < 3; ++round) {
        sim.Start();
        EXPECT_EQ(Get(sim, "/api/drives").status, 200) << "round " << round;
        sim.Stop();
    }
}

TEST(SimulatorLifecycle, TwoSimulatorsRunSideBySide) {
    qsta::Simulator first(KeyOptions("first-key"));
    qsta::Simulator second(KeyOptions("second-key"));
    first.Start();
    second.Start();
    EXPECT_NE(first.Port(), second.Port());
    second.AddVolume("only-on-second");
    EXPECT_EQ(Xml::Parse(Get(first, "/api/volumes").body).Count("//volume[display-name='only-on-second']"), 0u);
    EXPECT_EQ(Xml::Parse(Get(second, "/api/volumes").body).Count("//volume[display-name='only-on-second']"), 1u);
}

TEST(SimulatorLifecycle, APortInUseMakesStartThrow) {
    qsta::Simulator first(KeyOptions("k"));
    first.Start();
    qsta::Options options = KeyOptions("k");
    options.port = first.Port();
    qsta::Simulator second(options);
    EXPECT_THROW(second.Start(), std::runtime_error);
    EXPECT_FALSE(second.IsRunning());
    EXPECT_EQ(Get(first, "/api/drives").status, 200);
}

TEST(SimulatorLifecycle, StopCutsAPendingDelayShortAndTheClientStillGetsItsAnswer) {
    qsta::Simulator sim(KeyOptions("k"));
    sim.Start();
    sim.AddFault(qsta::Fault::Slow("GET", "/api/volumes", std::chrono::minutes(10)));
    HttpResult delayed;
    std::thread client([&] { delayed = Get(sim, "/api/volumes"); });
    // Wait (bounded) until the request has arrived, then stop.
    for (int i = 0; i < 2000 && sim.JournalSize() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(sim.JournalSize(), 1u);
    sim.Stop();
    client.join();
    EXPECT_EQ(delayed.code, CURLE_OK);
    EXPECT_EQ(delayed.status, 200);
    EXPECT_EQ(Xml::Parse(delayed.body).Count("//volumes/volume"), 3u);
}

// --- Access key --------------------------------------------------------------

class AccessKeyTest : public SimulatorTest {};

TEST_F(AccessKeyTest, RequestWithoutTheHeaderGets401) {
    RequestOptions options;
    HttpResult result = Send(Sim().Url() + "/api/volumes", options);
    EXPECT_EQ(result.code, CURLE_OK);
    EXPECT_EQ(result.status, 401);
    EXPECT_EQ(Xml::Parse(result.body).Count("//volumes/volume"), 0u);
}

TEST_F(AccessKeyTest, WrongKeyGets401OnEveryEndpoint) {
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"GET", "/api/volumes"},
        {"GET", "/api/servers"},
        {"GET", "/api/drives"},
        {"GET", "/api/consistency_groups/cg-1/snapshots"},
        {"POST", "/api/snapshots/snapshots_set"},
        {"DELETE", "/api/snapshots/snap-000001"},
        {"POST", "/api/consistency_groups/cg-1/clone"},
        {"POST", "/api/consistency_groups/cg-1/rollback"},
        {"DELETE", "/api/volumes/vol-1"},
        {"POST", "/api/servers"},
        {"POST", "/api/servers/host-1/volumes"},
        {"POST", "/api/volumes/vol-1/detach"},
        {"GET", "/api/no-such-thing"},
    };
    for (const auto& request : requests) {
        RequestOptions options;
        options.method = request.first;
        options.accessKey = "test-key-0123x";
        if (request.first == "POST") {
            options.body = "a=b";
        }
        HttpResult result = Send(Sim().Url() + request.second, options);
        EXPECT_EQ(result.status, 401) << request.first << " " << request.second;
    }
}

TEST_F(AccessKeyTest, KeyIsComparedExactly) {
    for (const std::string key : {"TEST-KEY-0123", "test-key-012", "test-key-01234", "test-key-0124", ""}) {
        RequestOptions options;
        options.accessKey = key;
        EXPECT_EQ(Send(Sim().Url() + "/api/drives", options).status, 401) << "key '" << key << "'";
    }
    RequestOptions options;
    options.accessKey = "test-key-0123";
    EXPECT_EQ(Send(Sim().Url() + "/api/drives", options).status, 200);
}

TEST_F(AccessKeyTest, RefusedCommandChangesNothing) {
    RequestOptions options;
    options.method = "DELETE";
    options.accessKey = "wrong";
    EXPECT_EQ(Send(Sim().Url() + "/api/volumes/vol-1", options).status, 401);
    EXPECT_TRUE(Sim().FindVolume("vol-1").has_value());
}

TEST_F(AccessKeyTest, SetAccessKeyTakesEffectForTheNextRequest) {
    Sim().SetAccessKey("rotated");
    EXPECT_EQ(Sim().AccessKey(), "rotated");
    RequestOptions old;
    old.accessKey = "test-key-0123";
    EXPECT_EQ(Send(Sim().Url() + "/api/drives", old).status, 401);
    EXPECT_EQ(Get(Sim(), "/api/drives").status, 200);
}

// --- Routing ---------------------------------------------------------------

class RoutingTest : public SimulatorTest {};

TEST_F(RoutingTest, UnknownPathsGet404) {
    for (const std::string path :
         {"/api/unknown", "/other", "/", "/api/volumes/vol-1/extra", "/api/volumes/", "/api",
          "/api/consistency_groups/cg-1", "/api/consistency_groups//snapshots"}) {
        HttpResult result = Get(Sim(), path);
        EXPECT_EQ(result.status, 404) << path;
    }
    EXPECT_EQ(Post(Sim(), "/api/unknown", "a=b").status, 404);
    EXPECT_EQ(Delete(Sim(), "/api/servers/host-1").status, 404);
}

TEST_F(RoutingTest, KnownPathWithAnotherMethodGets405) {
    EXPECT_EQ(Delete(Sim(), "/api/volumes").status, 405);
    EXPECT_EQ(Get(Sim(), "/api/volumes/vol-1").status, 405);
    EXPECT_EQ(Get(Sim(), "/api/consistency_groups/cg-1/clone").status, 405);
    EXPECT_EQ(Post(Sim(), "/api/drives", "").status, 405);
    EXPECT_TRUE(Sim().FindVolume("vol-1").has_value());
}

TEST_F(RoutingTest, QueryStringIsIgnoredForRouting) {
    HttpResult result = Get(Sim(), "/api/volumes?verbose=1");
    ASSERT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Count("//volumes/volume"), 3u);
}

TEST_F(RoutingTest, PercentEncodedPathSegmentsAreDecoded) {
    qsta::VolumeSpec spec;
    spec.name = "odd/name with%";
    Sim().AddVolume(spec);
    // "%2F" stays inside the segment: the volume is found, not a longer path.
    HttpResult result = Delete(Sim(), "/api/volumes/odd%2Fname%20with%25");
    ASSERT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Text("//delete-volume-response/status"), "0");
    EXPECT_FALSE(Sim().FindVolume("odd/name with%").has_value());

    HttpResult snapshots = Get(Sim(), "/api/consistency_groups/cg%2D1/snapshots");
    EXPECT_EQ(snapshots.status, 200);
}

TEST_F(RoutingTest, PercentEncodedFormValuesAreDecoded) {
    HttpResult result =
        Post(Sim(), "/api/servers",
             "display_name=My%20Host&iscsi=10.0.0.7&iqn=iqn.2026-02.local.example%3Aencoded&ipsec=no&force=no");
    ASSERT_EQ(result.status, 200);
    EXPECT_EQ(Xml::Parse(result.body).Text("//create-server-response/status"), "0");
    auto host = Sim().FindHostByIqn("iqn.2026-02.local.example:encoded");
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->displayName, "My Host");
    EXPECT_EQ(host->iscsiIp, "10.0.0.7");
}

// --- Concurrency ---------------------------------------------------------------

TEST_F(RoutingTest, ServesConcurrentClientsConsistently) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 6;
    std::atomic<int> okListings{0};
    std::atomic<int> okCreates{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                HttpResult listing = Get(Sim(), "/api/volumes");
                if (listing.status == 200) {
                    ++okListings;
                }
                std::string iqn = "iqn.2026-03.local.example:t" + std::to_string(t) + "-" + std::to_string(i);
                HttpResult created = Post(Sim(), "/api/servers", "display_name=x&iscsi=10.0.0.1&iqn=" + iqn);
                if (created.status == 200 && created.body.find("<status>0</status>") != std::string::npos) {
                    ++okCreates;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(okListings.load(), kThreads * kPerThread);
    EXPECT_EQ(okCreates.load(), kThreads * kPerThread);
    EXPECT_EQ(Sim().Hosts().size(), 1u + kThreads * kPerThread);
    EXPECT_EQ(Sim().JournalSize(), 2u * kThreads * kPerThread);
}
