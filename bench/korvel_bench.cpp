// Benchmarks of the access library against the raw libcurl and libxml2 calls
// it makes, both measured in the same run against in-process simulators.
//   korvel_bench [google benchmark flags]      prints the comparison table
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "KConnection.h"
#include "KRandom.h"
#include "KorvelAccessLibrary.h"
#include "Logger.h"
#include "qsta/Simulator.h"
#include "raw_client.h"
#include "table_reporter.h"

extern char** environ;

namespace {

using Korvel::KArray;
using Korvel::KConnection;
using Korvel::KVolume;

std::unique_ptr<qsta::Simulator> MakeSimulator(size_t volumes) {
    qsta::Options options;
    options.defaultSeed = false;
    options.threads = 4;
    auto sim = std::make_unique<qsta::Simulator>(options);
    if (volumes) sim->AddVolumes(volumes, "bench");
    sim->Start();
    return sim;
}

double MiB(double bytes) { return bytes / (1024.0 * 1024.0); }

// ---- parsing ---------------------------------------------------------------

std::map<size_t, std::string>& ListingBodies() {
    static std::map<size_t, std::string> bodies;
    return bodies;
}

const std::string& ListingBody(size_t volumes) {
    auto& bodies = ListingBodies();
    auto it = bodies.find(volumes);
    if (it != bodies.end()) return it->second;
    auto sim = MakeSimulator(volumes);
    bench::RawClient raw(sim->Address(), sim->AccessKey());
    return bodies[volumes] = raw.Get("/api/volumes");
}

void OursParseVolumeList(benchmark::State& state, size_t volumes) {
    std::ostringstream response;
    response << ListingBody(volumes);
    {
        std::list<Korvel::VolumeInfo> warmUp;  // the large cases run once or twice: time no first touch
        KConnection::ParseVolumeList(response, warmUp);
    }
    for (auto _ : state) {
        std::list<Korvel::VolumeInfo> list;
        KConnection::ParseVolumeList(response, list);
        if (list.size() != volumes) state.SkipWithError("wrong volume count");
        benchmark::DoNotOptimize(list);
    }
}

void RawParseVolumeList(benchmark::State& state, size_t volumes) {
    const std::string& body = ListingBody(volumes);
    bench::RawParseVolumes(body);  // warm-up, as for ours
    for (auto _ : state) {
        if (bench::RawParseVolumes(body) != volumes) state.SkipWithError("wrong volume count");
    }
}

// ---- one request -----------------------------------------------------------

qsta::Simulator& RequestSimulator() {
    static auto sim = MakeSimulator(10000);
    return *sim;
}

void OursGetVolumesList(benchmark::State& state) {
    qsta::Simulator& sim = RequestSimulator();
    KConnection connection(sim.Address(), sim.AccessKey());
    {
        std::list<Korvel::VolumeInfo> warmUp;  // the first side to run must not pay the new appliance's start
        connection.GetVolumesList(&warmUp);
    }
    for (auto _ : state) {
        std::list<Korvel::VolumeInfo> list;
        if (connection.GetVolumesList(&list) != 0 || list.size() != 10000) state.SkipWithError("listing failed");
    }
    state.counters["requests"] = 1;
}

void RawGetVolumesList(benchmark::State& state) {
    qsta::Simulator& sim = RequestSimulator();
    bench::RawClient raw(sim.Address(), sim.AccessKey());
    bench::RawParseVolumes(raw.GetReusing("/api/volumes"));  // warm-up, as for ours
    for (auto _ : state) {
        if (bench::RawParseVolumes(raw.GetReusing("/api/volumes")) != 10000) state.SkipWithError("listing failed");
    }
    state.counters["requests"] = 1;
}

void OursSmallRequest(benchmark::State& state) {
    qsta::Simulator& sim = RequestSimulator();
    for (auto _ : state) {
        if (KConnection::ListDrives(sim.Address(), sim.AccessKey()) != 0) state.SkipWithError("drives failed");
    }
    state.counters["requests"] = 1;
}

// A listing on a connection object that has made one before: its connection
// is still open, so no TLS handshake (the groups have no snapshot, so the
// answer is small).
void OursWarmSmallRequest(benchmark::State& state) {
    qsta::Simulator& sim = RequestSimulator();
    KConnection connection(sim.Address(), sim.AccessKey());
    std::list<Korvel::SnapshotInfo> snapshots;
    connection.GetSnapshotsList("cg-1", &snapshots);  // warm-up: opens the connection
    for (auto _ : state) {
        if (connection.GetSnapshotsList("cg-1", &snapshots) != 2) state.SkipWithError("listing failed");
    }
    state.counters["requests"] = 1;
}

void RawWarmSmallRequest(benchmark::State& state) {
    qsta::Simulator& sim = RequestSimulator();
    bench::RawClient raw(sim.Address(), sim.AccessKey());
    raw.GetReusing("/api/consistency_groups/cg-1/snapshots");
    for (auto _ : state)
        benchmark::DoNotOptimize(bench::RawParseSnapshots(raw.GetReusing("/api/consistency_groups/cg-1/snapshots")));
    state.counters["requests"] = 1;
}

void RawSmallRequest(benchmark::State& state, bool reuse) {
    qsta::Simulator& sim = RequestSimulator();
    bench::RawClient raw(sim.Address(), sim.AccessKey());
    for (auto _ : state) benchmark::DoNotOptimize(reuse ? raw.GetReusing("/api/drives") : raw.Get("/api/drives"));
    state.counters["requests"] = 1;
}

// ---- snapshot sets -----------------------------------------------------------

// An appliance with `volumes` volumes and an array object that has them all cached.
struct SnapshotTarget {
    std::unique_ptr<qsta::Simulator> sim;
    std::unique_ptr<KArray> array;
    std::vector<KVolume*> volumes;
};

std::vector<SnapshotTarget>& SnapshotTargets(size_t appliances, size_t volumesEach) {
    static std::map<std::pair<size_t, size_t>, std::vector<SnapshotTarget>> all;
    auto& targets = all[{appliances, volumesEach}];
    if (!targets.empty()) return targets;
    for (size_t a = 0; a < appliances; ++a) {
        SnapshotTarget t;
        t.sim = MakeSimulator(volumesEach);
        std::string address = t.sim->Address(), key = t.sim->AccessKey();
        t.array = std::make_unique<KArray>(address, key);
        for (const auto& v : t.sim->Volumes()) {
            std::string id = v.ieeeId;
            KVolume* volume = nullptr;
            if (t.array->GetVolumeByIDFromArray(id, volume) != 0) throw std::runtime_error("volume not found");
            t.volumes.push_back(volume);
        }
        targets.push_back(std::move(t));
    }
    return targets;
}

// Snapshots of earlier iterations go between iterations, untimed: names
// drawn from a million would otherwise meet one another in a long run.
void ClearSnapshots(benchmark::State& state, std::vector<SnapshotTarget>& targets) {
    state.PauseTiming();
    for (auto& t : targets) t.sim->ClearSnapshots();
    state.ResumeTiming();
}

void OursSnapshotSet(benchmark::State& state, size_t appliances, size_t volumesEach) {
    auto& targets = SnapshotTargets(appliances, volumesEach);
    for (auto _ : state) {
        ClearSnapshots(state, targets);
        for (auto& t : targets) {
            std::list<std::string*> ids, cgs;
            for (KVolume* v : t.volumes) {
                std::string *id = nullptr, *cg = nullptr;
                v->GetVolumeID(id);
                v->GetCgIDPtr(cg);
                ids.push_back(id);
                cgs.push_back(cg);
            }
            std::list<std::string> snapIDs;
            try {
                if (KVolume::CreateSnapshotSet(t.array.get(), ids, cgs, &snapIDs) != 0 ||
                    snapIDs.size() != volumesEach)
                    state.SkipWithError("snapshot set failed");
            } catch (const std::exception& e) {
                state.SkipWithError(e.what());
            }
        }
    }
    state.counters["requests"] = static_cast<double>(appliances);
}

void RawSnapshotSet(benchmark::State& state, size_t appliances, size_t volumesEach) {
    auto& targets = SnapshotTargets(appliances, volumesEach);
    for (auto _ : state) {
        ClearSnapshots(state, targets);
        for (auto& t : targets) {
            std::string body;
            size_t i = 1;
            for (KVolume* v : t.volumes) {
                std::string *id = nullptr, *cg = nullptr;
                v->GetVolumeID(id);
                v->GetCgIDPtr(cg);
                std::string p = "snapshots_set_" + std::to_string(i++);
                if (!body.empty()) body += '&';
                body += p + "_name=snap_" + std::to_string(Korvel::DrawSnapshotNumber()) + "_" + *id + "&" + p +
                        "_cg=" + *cg;
            }
            bench::RawClient raw(t.sim->Address(), t.sim->AccessKey());
            benchmark::DoNotOptimize(raw.Post("/api/snapshots/snapshots_set", body));
        }
    }
    state.counters["requests"] = static_cast<double>(appliances);
}

// ---- lookup by snapshot ----------------------------------------------------------

struct LookupTarget {
    std::unique_ptr<qsta::Simulator> sim;
    std::string snapID;               // a snapshot of the last volume
    std::vector<std::string> paths;   // the requests one lookup makes, in order
};

LookupTarget& Lookup(size_t volumes) {
    static std::map<size_t, LookupTarget> all;
    LookupTarget& t = all[volumes];
    if (t.sim) return t;
    t.sim = MakeSimulator(volumes);
    for (const auto& g : t.sim->Groups()) t.snapID = t.sim->AddSnapshot(g.name, "bench-snap").id;
    std::string address = t.sim->Address(), key = t.sim->AccessKey();
    KArray array(address, key);
    KVolume* volume = nullptr;
    t.sim->ClearJournal();
    if (array.GetVolumeBySnapIDFromArray(t.snapID, volume) != 0) throw std::runtime_error("snapshot not found");
    for (const auto& e : t.sim->Journal()) t.paths.push_back(e.rawPath);
    return t;
}

void OursLookupBySnapshot(benchmark::State& state, size_t volumes) {
    LookupTarget& t = Lookup(volumes);
    std::string address = t.sim->Address(), key = t.sim->AccessKey();
    for (auto _ : state) {
        KArray array(address, key);
        KVolume* volume = nullptr;
        if (array.GetVolumeBySnapIDFromArray(t.snapID, volume) != 0) state.SkipWithError("lookup failed");
    }
    state.counters["requests"] = static_cast<double>(t.paths.size());
}

void RawLookupBySnapshot(benchmark::State& state, size_t volumes) {
    LookupTarget& t = Lookup(volumes);
    for (auto _ : state) {
        bench::RawClient raw(t.sim->Address(), t.sim->AccessKey());  // a new connection per lookup, as ours
        for (const auto& path : t.paths) {
            std::string body = raw.GetReusing(path);
            benchmark::DoNotOptimize(path == "/api/volumes" ? bench::RawParseVolumes(body)
                                                            : bench::RawParseSnapshots(body));
        }
    }
    state.counters["requests"] = static_cast<double>(t.paths.size());
}

// ---- peak memory -------------------------------------------------------------------
// Each measurement runs in a child process of its own (this program, started
// with --memory-child), so its peak resident size is its own.

// The child's own high-water mark. Not ru_maxrss from wait4: that keeps the
// parent's size across exec.
long PeakKiBOfThisProcess() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(status);
    return kib;
}

int MemoryChild(const std::string& mode, const std::string& address, const std::string& key) {
    bool ok = false;
    if (mode == "ours") {
        KConnection::GlobalInit();
        {
            KConnection connection(address, key);
            std::list<Korvel::VolumeInfo> list;
            ok = connection.GetVolumesList(&list) == 0;
            std::printf("%ld\n", PeakKiBOfThisProcess());  // while the records are still held
        }
        KConnection::GlobalCleanup();
    } else {
        bench::RawClient raw(address, key);
        ok = bench::RawParseVolumes(raw.Get("/api/volumes")) > 0;
        std::printf("%ld\n", PeakKiBOfThisProcess());
    }
    return ok ? 0 : 1;
}

double ChildPeakMiB(const std::string& mode, const qsta::Simulator& sim) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string address = sim.Address(), key = sim.AccessKey();
    std::vector<char*> argv = {self.data(), const_cast<char*>("--memory-child"), const_cast<char*>(mode.c_str()),
                               address.data(), key.data(), nullptr};
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buf[64];
    ssize_t n;
    while (spawned == 0 && (n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    long kib = std::strtol(text.c_str(), nullptr, 10);
    return kib > 0 ? kib / 1024.0 : -1;
}

void PeakMemory(benchmark::State& state, const std::string& mode, size_t volumes) {
    auto sim = MakeSimulator(volumes);
    double peak = 0;
    for (auto _ : state) peak = ChildPeakMiB(mode, *sim);
    if (peak < 0) state.SkipWithError("memory child failed");
    state.counters["peak_rss_mib"] = peak;
    state.counters["body_mib"] = MiB(static_cast<double>(ListingBody(volumes).size()));
    state.counters["requests"] = 1;
}

void Register() {
    using benchmark::RegisterBenchmark;
    auto timed = [](benchmark::internal::Benchmark* b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.3);
    };
    for (size_t n : {10, 1000, 10000, 100000}) {
        std::string c = "parse_volume_list/" + std::to_string(n);
        timed(RegisterBenchmark(("ours/" + c).c_str(), OursParseVolumeList, n));
        timed(RegisterBenchmark(("baseline/" + c).c_str(), RawParseVolumeList, n));
    }
    timed(RegisterBenchmark("ours/get_volumes_list/10000", OursGetVolumesList));
    timed(RegisterBenchmark("baseline/get_volumes_list/10000", RawGetVolumesList));
    timed(RegisterBenchmark("ours/small_request/list_drives", OursSmallRequest));
    timed(RegisterBenchmark("baseline/small_request/list_drives", RawSmallRequest, false));
    timed(RegisterBenchmark("ours/small_request/warm_connection", OursWarmSmallRequest));
    timed(RegisterBenchmark("baseline/small_request/warm_connection", RawWarmSmallRequest));
    timed(RegisterBenchmark("ours/small_request/fresh_vs_reused_connection", RawSmallRequest, false));
    timed(RegisterBenchmark("baseline/small_request/fresh_vs_reused_connection", RawSmallRequest, true));
    for (auto [appliances, each] : {std::pair<size_t, size_t>{1, 16}, {1, 64}, {4, 16}}) {
        std::string c = "snapshot_set/" + std::to_string(appliances * each) + "_volumes_on_" +
                        std::to_string(appliances) + "_appliance" + (appliances > 1 ? "s" : "");
        timed(RegisterBenchmark(("ours/" + c).c_str(), OursSnapshotSet, appliances, each));
        timed(RegisterBenchmark(("baseline/" + c).c_str(), RawSnapshotSet, appliances, each));
    }
    for (size_t n : {10, 100, 1000}) {
        std::string c = "volume_by_snapshot/last_of_" + std::to_string(n);
        for (auto* b : {RegisterBenchmark(("ours/" + c).c_str(), OursLookupBySnapshot, n),
                        RegisterBenchmark(("baseline/" + c).c_str(), RawLookupBySnapshot, n)}) {
            // A thousand requests a lookup: a few runs say enough.
            if (n >= 1000)
                b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
            else
                timed(b);
        }
    }
    for (size_t n : {10000, 100000}) {
        std::string c = "peak_memory/list_and_parse_" + std::to_string(n);
        RegisterBenchmark(("ours/" + c).c_str(), PeakMemory, std::string("ours"), n)->Iterations(1);
        RegisterBenchmark(("baseline/" + c).c_str(), PeakMemory, std::string("raw"), n)->Iterations(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--memory-child") == 0) return MemoryChild(argv[2], argv[3], argv[4]);

    // Steady state for the timed cases: freed memory stays with the process
    // instead of being returned to the kernel and faulted in again on the
    // next iteration, which otherwise dominates large parses and depends on
    // what the previous case left in the allocator.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest the allocator accepts

    // The library logs at the default level into a scratch folder, as it would in service.
    std::string logDir = std::filesystem::temp_directory_path() / ("korvel-bench-" + std::to_string(getpid()));
    setenv("KORVEL_LOG_DIR", logDir.c_str(), 1);
    Logger::Initialize("bench.log", KLOG_INFO, true);
    KConnection::GlobalInit();

    benchmark::Initialize(&argc, argv);
    Register();
    bench::TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    ListingBodies().clear();
    KConnection::GlobalCleanup();
    Logger::CloseStream();
    std::error_code ec;
    std::filesystem::remove_all(logDir, ec);
    return 0;
}
