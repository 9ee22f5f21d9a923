#include "KRandom.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

namespace Korvel {

namespace {

std::mt19937 MakeSeededGenerator() {
    // random_device alone may be deterministic on some platforms; mixing in the
    // clock and the process ID keeps two processes started together apart.
    std::random_device device;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::seed_seq seq{device(),
                      device(),
                      device(),
                      static_cast<unsigned>(now),
                      static_cast<unsigned>(now >> 32),
                      static_cast<unsigned>(::getpid())};
    return std::mt19937(seq);
}

std::mutex g_guard;
std::mt19937& Generator() {
    static std::mt19937 generator = MakeSeededGenerator();  // seeded once per process
    return generator;
}

}  // namespace

int DrawSnapshotNumber() {
    std::uniform_int_distribution<std::uint32_t> uniform;  // the whole 32-bit range
    std::uint32_t r;
    {
        std::lock_guard<std::mutex> lock(g_guard);
        r = uniform(Generator());
    }
    return static_cast<int>(r % 1000000u) + 1;
}

void SeedSnapshotNumbersForTesting(unsigned seed) {
    std::lock_guard<std::mutex> lock(g_guard);
    Generator().seed(seed);
}

}  // namespace Korvel
