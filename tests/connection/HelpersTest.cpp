// The access-key mask and the snapshot-number generator.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KRandom.h"
#include "KorvelAccessLibrary.h"
#include "TestEnv.h"

namespace {

TEST(MaskSecret, KeepsOnlyTheLastFourCharactersOfALongKey) {
    EXPECT_EQ("*****6789", Korvel::MaskSecret("123456789"));
    EXPECT_EQ("**************-key", Korvel::MaskSecret("qsta-simulator-key"));
}

TEST(MaskSecret, HidesShortKeysCompletely) {
    EXPECT_EQ("********", Korvel::MaskSecret("12345678"));
    EXPECT_EQ("***", Korvel::MaskSecret("abc"));
    EXPECT_EQ("", Korvel::MaskSecret(""));
}

TEST(MaskSecret, KeepsTheLengthOfALongKey) {
    const std::string key(300, 'k');
    const std::string masked = Korvel::MaskSecret(key);
    ASSERT_EQ(key.size(), masked.size());
    EXPECT_EQ(std::string(296, '*') + "kkkk", masked);
}

TEST(DrawSnapshotNumber, StaysWithinOneToOneMillion) {
    for (int i = 0; i < 10000; ++i) {
        const int n = Korvel::DrawSnapshotNumber();
        ASSERT_GE(n, 1);
        ASSERT_LE(n, 1000000);
    }
}

TEST(DrawSnapshotNumber, SuccessiveDrawsDiffer) {
    // Re-seeding from the clock on each draw would repeat the number within a second.
    std::set<int> seen;
    for (int i = 0; i < 50; ++i) seen.insert(Korvel::DrawSnapshotNumber());
    EXPECT_GE(seen.size(), 48u);
}

TEST(DrawSnapshotNumber, ServesSeveralThreadsAtOnce) {
    const int threads = 8, perThread = 500;
    std::vector<std::vector<int>> drawn(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&drawn, t] {
            for (int i = 0; i < perThread; ++i) drawn[t].push_back(Korvel::DrawSnapshotNumber());
        });
    for (auto& w : workers) w.join();
    std::set<int> all;
    for (const auto& d : drawn) {
        ASSERT_EQ(static_cast<size_t>(perThread), d.size());
        for (int n : d) {
            ASSERT_GE(n, 1);
            ASSERT_LE(n, 1000000);
            all.insert(n);
        }
    }
    // 4000 draws from a million values: a handful of collisions at most.
    EXPECT_GE(all.size(), 3950u);
}

}  // namespace
