// The appliance simulator's snapshot of a volume image against copying the
// same file with cp, in one run: the simulator must not be what makes the
// data tests slow.
//   korvel_simulator_bench [google benchmark flags]   prints the comparison table
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qsta/Simulator.h"
#include "table_reporter.h"

extern char** environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// 1 GiB, 10% written: 1 MiB of data at the start of every 10 MiB, as a
// filesystem spreads its metadata and files over a disk.
constexpr off_t kImageSize = off_t(1) << 30;
constexpr off_t kWritten = off_t(1) << 20;
constexpr off_t kStride = off_t(10) << 20;

// One volume image shared by both sides, so both copy the same file.
struct ImageScene {
    std::string dir;
    std::unique_ptr<qsta::Simulator> sim;
    std::string image;

    ImageScene() {
        std::string pattern = (fs::temp_directory_path() / "korvel-simbench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        qsta::Options options;
        options.defaultSeed = false;
        options.dataDir = dir + "/data";
        sim = std::make_unique<qsta::Simulator>(options);
        sim->LoadSeed("volume name=bench cg-name=g size=1G\n");
        image = sim->VolumeImage("bench");
        int fd = open(image.c_str(), O_WRONLY | O_CLOEXEC);
        std::mt19937_64 random(42);
        std::string block(kWritten, '\0');
        for (off_t offset = 0; offset < kImageSize; offset += kStride) {
            for (size_t i = 0; i + 8 <= block.size(); i += 8) {
                std::uint64_t value = random();
                std::memcpy(&block[i], &value, 8);
            }
            if (pwrite(fd, block.data(), block.size(), offset) != static_cast<ssize_t>(block.size()))
                throw std::runtime_error("cannot write " + image);
        }
        // On disk and clean in the cache: no writeback of the source during a copy.
        fsync(fd);
        close(fd);
    }
    ~ImageScene() {
        sim.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

ImageScene& Scene() {
    static ImageScene scene;
    return scene;
}

void OursSnapshot(benchmark::State& state) {
    ImageScene& scene = Scene();
    for (auto _ : state) {
        auto start = Clock::now();
        scene.sim->AddSnapshot("g", "bench");  // copies the group's image, as a snapshot-set request does
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        scene.sim->ClearSnapshots();
    }
}

bool Cp(const std::string& option, const std::string& from, const std::string& to) {
    std::string program = "cp";
    std::vector<char*> argv = {program.data(), const_cast<char*>(option.c_str()), const_cast<char*>(from.c_str()),
                               const_cast<char*>(to.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::map<std::string, std::pair<double, int>> g_cpSeconds;  // option -> (sum, count)

// The better of the two ways cp copies a sparse file, in each iteration.
void CpCopy(benchmark::State& state) {
    ImageScene& scene = Scene();
    const std::string copy = scene.dir + "/copy.img";
    for (auto _ : state) {
        double best = 0;
        for (const std::string option : {"--reflink=auto", "--sparse=always"}) {
            auto start = Clock::now();
            if (!Cp(option, scene.image, copy)) {
                state.SkipWithError(("cp " + option + " failed").c_str());
                return;
            }
            double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            std::error_code ec;
            fs::remove(copy, ec);
            g_cpSeconds[option].first += seconds;
            ++g_cpSeconds[option].second;
            best = best == 0 ? seconds : std::min(best, seconds);
        }
        state.SetIterationTime(best);
    }
}

void Register() {
    auto manual = [](benchmark::internal::Benchmark* b) {
        b->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
    };
    manual(benchmark::RegisterBenchmark("ours/snapshot_image/1GiB_10pct_written", OursSnapshot));
    manual(benchmark::RegisterBenchmark("baseline/snapshot_image/1GiB_10pct_written", CpCopy));
}

void PrintCpMeans() {
    std::printf("\nsnapshot_image/1GiB_10pct_written, cp alone:");
    for (const auto& entry : g_cpSeconds)
        if (entry.second.second > 0)
            std::printf(" %s %.2f ms", entry.first.c_str(), 1e3 * entry.second.first / entry.second.second);
    std::printf(" (mean of %d copies each)\n", g_cpSeconds.empty() ? 0 : g_cpSeconds.begin()->second.second);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::Register();
    bench::TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    bench::PrintCpMeans();
    return 0;
}
