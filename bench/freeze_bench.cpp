// The pause an application-consistent shadow copy makes: how long `create`
// holds the source disks' filesystems frozen while four appliances commit,
// against one appliance's snapshot-set request, and the longest wait that a
// writing application sees. Real ext4 filesystems on the simulated disks'
// loop devices; needs root, and skips its cases with the reason elsewhere.
//   korvel_freeze_bench [google benchmark flags] [--images-on-disk]
// prints the comparison table. The volume images lie in a tmpfs; with
// --images-on-disk on the temporary folder's filesystem, where each flush of
// a frozen filesystem waits for what that disk has queued.
//
// Everything it makes (registry store, log folder, sysfs tree, catalogue,
// initiator file, hook folder, volume images, mounts) lies in one private
// folder. The cases run in a child process; the parent removes the folder
// when the child has ended, unmounting first what a child that failed left.
#include <fcntl.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KHostDisks.h"
#include "KShadowCatalogue.h"
#include "KShadowCoordinator.h"
#include "KorvelAccessLibrary.h"
#include "KorvelProvider.h"
#include "KorvelProviderHost.h"
#include "Logger.h"
#include "RegistryOperations.h"
#include "qsta/Simulator.h"
#include "raw_client.h"
#include "table_reporter.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr size_t kAppliances = 4;
constexpr size_t kVolumesEach = 16;
constexpr std::chrono::milliseconds kCommitDelay{50};
const char* const kHostIqn = "iqn.2026-12.local.example:freeze-bench";

std::string g_root;  // the private folder, made before the fork
bool g_imagesOnDisk = false;  // --images-on-disk: the volume images on the private folder's filesystem

std::string At(const std::string& relative) { return g_root + "/" + relative; }

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

// Four appliances of 16 volumes each, every volume a disk of this host with a
// loop device under it; each appliance's first volume carries a mounted ext4
// filesystem. Every snapshot-set request waits 50 ms before it is served.
class FreezeScene {
public:
    // Throws std::runtime_error naming why the cases cannot run here.
    FreezeScene() {
        if (::geteuid() != 0) throw std::runtime_error("mounting filesystems needs root");
        const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (control < 0)
            throw std::runtime_error(std::string("loop devices cannot be used here: /dev/loop-control: ") +
                                     std::strerror(errno));
        ::close(control);
        if (!Run("command -v mkfs.ext4 >/dev/null")) throw std::runtime_error("mkfs.ext4 is missing (e2fsprogs)");
        try {
            Build();
        } catch (...) {
            TearDown();
            throw;
        }
    }
    ~FreezeScene() { TearDown(); }
    FreezeScene(const FreezeScene&) = delete;
    FreezeScene& operator=(const FreezeScene&) = delete;

    qsta::Simulator& Appliance(size_t i) { return *m_sims[i]; }
    // The first appliance's filesystem, where the writer writes.
    const std::string& WriterFolder() const { return m_mounts.front(); }

    // One create of all 64 disks; the freeze window as the coordinator
    // reported it. Throws when the create failed or froze other than the
    // four filesystems.
    double Create() {
        m_notes.clear();
        std::vector<Korvel::KShadowCopyEntry> made = m_coordinator->Create(m_disks);
        m_sets.push_back(made.front().setId);
        for (const std::string& note : m_notes) {
            unsigned filesystems = 0, ms = 0;
            if (std::sscanf(note.c_str(), "Held %u filesystem(s) frozen for %u ms", &filesystems, &ms) != 2) continue;
            if (filesystems != kAppliances)
                throw std::runtime_error("the create froze " + std::to_string(filesystems) + " filesystem(s), not " +
                                         std::to_string(kAppliances));
            return ms;
        }
        throw std::runtime_error("the create reported no freeze window");
    }
    // Untimed, between creates: the snapshots and the catalogue's rows go, so
    // every create does the same work.
    void Reset() {
        for (auto& sim : m_sims) sim->ClearSnapshots();

        for (const std::string& set : m_sets) m_rows->RemoveSet(set);
        m_sets.clear();
    }
    // The four filesystems frozen and thawed in reverse order with nothing in
    // between: the part of the window that is the freezing itself. One after
    // another in mount-point order, as `create` does, or each from a thread
    // of its own, all at once.
    double FreezeAndThawAlone(bool together) {
        std::vector<int> fds(m_mounts.size(), -1);
        std::vector<int> errors(m_mounts.size(), 0);
        auto freeze = [&](size_t i) {
            fds[i] = ::open(m_mounts[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fds[i] < 0 || ::ioctl(fds[i], FIFREEZE, 0) != 0) errors[i] = errno;
        };
        const Clock::time_point start = Clock::now();
        if (together) {
            std::vector<std::thread> threads;
            for (size_t i = 0; i < m_mounts.size(); ++i) threads.emplace_back(freeze, i);
            for (std::thread& t : threads) t.join();
        } else {
            for (size_t i = 0; i < m_mounts.size() && (i == 0 || errors[i - 1] == 0); ++i) freeze(i);
        }
        std::string failure;
        for (size_t i = m_mounts.size(); i-- > 0;) {
            if (fds[i] >= 0 && errors[i] == 0) ::ioctl(fds[i], FITHAW, 0);
            if (fds[i] >= 0) ::close(fds[i]);
            if (errors[i] != 0) failure = "cannot freeze " + m_mounts[i] + ": " + std::strerror(errors[i]);
        }
        if (!failure.empty()) throw std::runtime_error(failure);
        return Milliseconds(Clock::now() - start);
    }
    // The form of one raw snapshot-set request for every volume of an appliance.
    std::string SnapshotSetBody(size_t appliance) {
        std::string body;
        size_t i = 0;
        for (const qsta::Volume& v : m_sims[appliance]->Volumes()) {
            const std::string n = "snapshots_set_" + std::to_string(++i);
            body += (body.empty() ? "" : "&") + n + "_name=snap_" + std::to_string(++m_nextSnapshot) + "_" +
                    v.ieeeId + "&" + n + "_cg=" + v.cgName;
        }
        return body;
    }

private:
    void Build() {
        RegisterKorvelProvider();  // the installer's step, into the private store
        // The images in memory, as an appliance's write cache holds them: a
        // flush of the disks is then the appliance's, not the work that this
        // machine's own disk has queued (the snapshot copies of the creates before).
        if (!g_imagesOnDisk) {
            if (::mount("tmpfs", At("data").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2g,mode=0700") != 0)
                throw std::runtime_error("cannot mount a tmpfs for the volume images at " + At("data") + ": " +
                                         std::strerror(errno) + " (--images-on-disk keeps them on disk)");
            m_imagesInMemory = true;
        }
        for (size_t a = 0; a < kAppliances; ++a) {
            qsta::Options options;
            options.defaultSeed = false;
            options.sanRoot = At("san");
            options.hostIqn = kHostIqn;
            options.dataDir = At("data/appliance-" + std::to_string(a + 1));
            options.threads = 2;
            m_sims.push_back(std::make_unique<qsta::Simulator>(options));
            qsta::Simulator& sim = *m_sims.back();
            // Small images: the filesystem needs a few MiB, the other volumes none.
            std::string seed = "host name=this-host iscsi-ip=192.0.2.20 iqn=" + std::string(kHostIqn) + "\n";
            char line[160];
            for (size_t i = 1; i <= kVolumesEach; ++i) {
                std::snprintf(line, sizeof line,
                              "volume name=a%zuv%02zu display-name=bench-%zu-%zu ieee-id=6b7276%02zx%08zx size=%s\n"
                              "map volume=a%zuv%02zu host=this-host\n",
                              a + 1, i, a + 1, i, a + 1, i, i == 1 ? "32M" : "1M", a + 1, i);
                seed += line;
            }
            sim.LoadSeed(seed);
            sim.Start();
            const int recorded = AddKorvelArray(sim.Address(), sim.AccessKey());
            if (recorded != KRT_SUCCESS)
                throw std::runtime_error("cannot record appliance " + sim.Address() + ": " + GetErrorMsg(recorded));
            qsta::Fault slow = qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", kCommitDelay);
            slow.times = 0;  // every request
            sim.AddFault(slow);
            for (const qsta::Volume& v : sim.Volumes())
                for (const qsta::SanDisk& disk : sim.SanDisks())
                    if (disk.volumeName == v.name && !disk.stale) m_disks.push_back("/dev/" + disk.device);
            if (m_disks.size() != (a + 1) * kVolumesEach)
                throw std::runtime_error("appliance " + sim.Address() + " shows " +
                                         std::to_string(m_disks.size() - a * kVolumesEach) + " disks, not " +
                                         std::to_string(kVolumesEach));
            MountFilesystem(m_disks[a * kVolumesEach], At("mnt/appliance-" + std::to_string(a + 1)));
        }
        Korvel::KShadowCoordinator::Options options;
        options.cataloguePath = At("catalogue/shadows.db");
        options.clsContext = CLSCTX_INPROC_SERVER;
        options.onNote = [this](const std::string& note) { m_notes.push_back(note); };
        options.hookFolder = At("freeze-hook.d");
        m_coordinator = std::make_unique<Korvel::KShadowCoordinator>(options);
        m_rows = std::make_unique<Korvel::KShadowCatalogue>(options.cataloguePath);
        // One create before any is measured: whatever mkfs and mount left to
        // write goes now, and a create that cannot work here says so once.
        Create();
        Reset();
    }

    void MountFilesystem(const std::string& disk, const std::string& dir) {
        if (!Korvel::KHostDisk(disk).DevNo())
            throw std::runtime_error("the simulated disks have no block device here (loop devices refused)");
        const std::string node = Korvel::KHostDisk(disk).Node();
        // Initialised whole at once, as a filesystem in use is: no background
        // zeroing of inode tables and journal competes with the freezes.
        if (!Run("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + node + " >/dev/null 2>&1"))
            throw std::runtime_error("mkfs.ext4 failed on " + node);
        fs::create_directories(dir);
        if (::mount(node.c_str(), dir.c_str(), "ext4", 0, nullptr) != 0)
            throw std::runtime_error("cannot mount the ext4 filesystem of " + node + " at " + dir + ": " +
                                     std::strerror(errno));
        m_mounts.push_back(dir);
    }

    void TearDown() {
        m_rows.reset();
        m_coordinator.reset();
        for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it)
            if (::umount2(it->c_str(), 0) != 0) ::umount2(it->c_str(), MNT_DETACH);
        m_mounts.clear();
        m_sims.clear();  // their loop devices go with them
        if (m_imagesInMemory && ::umount2(At("data").c_str(), 0) != 0)
            ::umount2(At("data").c_str(), MNT_DETACH);  // a loop device not yet let go
        m_imagesInMemory = false;
    }

    std::vector<std::unique_ptr<qsta::Simulator>> m_sims;
    std::vector<std::string> m_disks;   // all 64, appliance by appliance, in volume order
    std::vector<std::string> m_mounts;  // one per appliance
    std::unique_ptr<Korvel::KShadowCoordinator> m_coordinator;
    std::unique_ptr<Korvel::KShadowCatalogue> m_rows;  // the coordinator's catalogue, to drop rows
    std::vector<std::string> m_notes;
    std::vector<std::string> m_sets;
    unsigned long long m_nextSnapshot = 0;
    bool m_imagesInMemory = false;
};

std::unique_ptr<FreezeScene> g_scene;
std::string g_sceneError;

// The scene, built on first use; null (the case skipped with the reason) where it cannot be.
FreezeScene* Scene(benchmark::State& state) {
    if (!g_scene && g_sceneError.empty()) {
        try {
            g_scene = std::make_unique<FreezeScene>();
        } catch (const std::exception& e) {
            g_sceneError = e.what();
        }
    }
    if (!g_scene) state.SkipWithError(g_sceneError.c_str());
    return g_scene.get();
}

// Writes a 4 KiB block and fsyncs it, over and over, and keeps when each
// write began and ended.
class StallWriter {
public:
    explicit StallWriter(const std::string& path) {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        m_thread = std::thread([this] { Loop(); });
    }
    ~StallWriter() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    StallWriter(const StallWriter&) = delete;
    StallWriter& operator=(const StallWriter&) = delete;

    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writes.clear();
    }
    // The longest of the writes under way at some moment from `from` to `to`,
    // once a write has begun after `to` (the one a freeze held has ended then).
    Clock::duration Longest(Clock::time_point from, Clock::time_point to) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool after = m_wrote.wait_for(lock, std::chrono::seconds(15), [&] {
            return !m_error.empty() || (!m_writes.empty() && m_writes.back().first > to);
        });
        if (!m_error.empty()) throw std::runtime_error(m_error);
        if (!after) throw std::runtime_error("the writer's last write has not ended within 15 s");
        Clock::duration longest{0};
        for (const auto& write : m_writes)
            if (write.second >= from && write.first <= to) longest = std::max(longest, write.second - write.first);
        return longest;
    }

private:
    void Loop() {
        const std::string block(4096, 'w');
        for (off_t offset = 0; !m_stop; offset = (offset + 4096) % (1 << 20)) {
            const Clock::time_point start = Clock::now();
            const bool ok = ::pwrite(m_fd, block.data(), block.size(), offset) == 4096 && ::fsync(m_fd) == 0;
            const int error = ok ? 0 : errno;
            const Clock::time_point end = Clock::now();
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!ok) {
                m_error = std::string("the writer's write failed: ") + std::strerror(error);
                m_wrote.notify_all();
                return;
            }
            m_writes.emplace_back(start, end);
            m_wrote.notify_all();
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_wrote;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> m_writes;
    std::string m_error;
    std::thread m_thread;
};

// What the summary below the table reports.
std::vector<double> g_windowMs, g_requestMs, g_freezeSerialMs, g_freezeTogetherMs;
struct Stall {
    double longestMs, windowMs, spanMs;
};
std::vector<Stall> g_stalls;
std::vector<double> g_quietLongestMs;

void OursFreezeWindow(benchmark::State& state) {
    FreezeScene* scene = Scene(state);
    if (scene == nullptr) return;
    for (auto _ : state) {
        try {
            const double ms = scene->Create();
            state.SetIterationTime(ms / 1000);
            g_windowMs.push_back(ms);
            scene->Reset();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
    state.counters["requests"] = kAppliances;
    // Untimed, for the summary: how much of the window the freezing is. The
    // kernel's freeze is cheap right after a thaw and costs grace periods
    // after a pause, so each round comes after a pause like the one between
    // creates.
    try {
        for (int round = 0; round < 40 && !state.error_occurred(); ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            (round % 2 == 0 ? g_freezeSerialMs : g_freezeTogetherMs)
                .push_back(scene->FreezeAndThawAlone(round % 2 != 0));
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void RawSnapshotSetRequest(benchmark::State& state) {
    FreezeScene* scene = Scene(state);
    if (scene == nullptr) return;
    size_t next = 0;
    for (auto _ : state) {
        const size_t appliance = next++ % kAppliances;  // each in turn, as each holds a filesystem
        qsta::Simulator& sim = scene->Appliance(appliance);
        RawClient raw(sim.Address(), sim.AccessKey());
        const std::string body = scene->SnapshotSetBody(appliance);
        try {
            const Clock::time_point start = Clock::now();
            benchmark::DoNotOptimize(raw.Post("/api/snapshots/snapshots_set", body));
            const Clock::duration took = Clock::now() - start;
            state.SetIterationTime(std::chrono::duration<double>(took).count());
            g_requestMs.push_back(Milliseconds(took));
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        sim.ClearSnapshots();
    }
    state.counters["requests"] = 1;
}

void OursWriteStall(benchmark::State& state) {
    FreezeScene* scene = Scene(state);
    if (scene == nullptr) return;
    try {
        StallWriter writer(scene->WriterFolder() + "/writer.bin");
        for (auto _ : state) {
            writer.Clear();
            const Clock::time_point from = Clock::now();
            const double window = scene->Create();
            const Clock::time_point to = Clock::now();
            const Clock::duration longest = writer.Longest(from, to);
            state.SetIterationTime(std::chrono::duration<double>(longest).count());
            g_stalls.push_back({Milliseconds(longest), window, Milliseconds(to - from)});
            scene->Reset();
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    state.counters["requests"] = kAppliances;
}

// The same writer over spans as long as the creates took, with no create.
void QuietWriter(benchmark::State& state) {
    FreezeScene* scene = Scene(state);
    if (scene == nullptr) return;
    try {
        std::vector<double> spans;
        for (const Stall& s : g_stalls) spans.push_back(s.spanMs);
        if (spans.empty()) {  // the create case was filtered out: one create, untimed, says how long
            const Clock::time_point start = Clock::now();
            scene->Create();
            spans.push_back(Milliseconds(Clock::now() - start));
            scene->Reset();
        }
        const auto span = std::chrono::duration<double, std::milli>(Percentile(spans, 0.5));
        StallWriter writer(scene->WriterFolder() + "/writer.bin");
        for (auto _ : state) {
            writer.Clear();
            const Clock::time_point from = Clock::now();
            std::this_thread::sleep_for(span);
            const Clock::duration longest = writer.Longest(from, Clock::now());
            state.SetIterationTime(std::chrono::duration<double>(longest).count());
            g_quietLongestMs.push_back(Milliseconds(longest));
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void Register() {
    using benchmark::RegisterBenchmark;
    // Fixed counts: enough creates for a 99th percentile, without the
    // library's growing rounds of 1, 10, 100 creates first.
    auto manual = [](benchmark::internal::Benchmark* b, int iterations) {
        b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(iterations);
    };
    manual(RegisterBenchmark("ours/freeze_window/64_luns_on_4_appliances", OursFreezeWindow), 200);
    manual(RegisterBenchmark("baseline/freeze_window/64_luns_on_4_appliances", RawSnapshotSetRequest), 200);
    manual(RegisterBenchmark("ours/write_stall/create_with_freeze", OursWriteStall), 40);
    manual(RegisterBenchmark("baseline/write_stall/create_with_freeze", QuietWriter), 40);
}

void PrintSummary() {
    if (!g_windowMs.empty())
        std::printf("\nfreeze_window/64_luns_on_4_appliances: %zu creates, window p50 %.0f ms, p99 %.0f ms; "
                    "one raw snapshot-set request p50 %.2f ms, p99 %.2f ms\n",
                    g_windowMs.size(), Percentile(g_windowMs, 0.5), Percentile(g_windowMs, 0.99),
                    Percentile(g_requestMs, 0.5), Percentile(g_requestMs, 0.99));
    if (!g_freezeSerialMs.empty())
        std::printf("freeze_window/64_luns_on_4_appliances: the four filesystems frozen and thawed with no commit "
                    "between, after a pause of 300 ms: one after another p50 %.1f ms, p99 %.1f ms; all at once "
                    "p50 %.1f ms, p99 %.1f ms\n",
                    Percentile(g_freezeSerialMs, 0.5), Percentile(g_freezeSerialMs, 0.99),
                    Percentile(g_freezeTogetherMs, 0.5), Percentile(g_freezeTogetherMs, 0.99));
    if (!g_stalls.empty()) {
        std::vector<double> longest, window, beyond, span;
        for (const Stall& s : g_stalls) {
            longest.push_back(s.longestMs);
            window.push_back(s.windowMs);
            beyond.push_back(s.longestMs - s.windowMs);
            span.push_back(s.spanMs);
        }
        std::printf("write_stall/create_with_freeze: %zu creates of %.0f ms (p50); longest write p50 %.1f ms, "
                    "max %.1f ms; freeze window p50 %.0f ms; longest write minus window p50 %.1f ms, "
                    "max %.1f ms\n",
                    g_stalls.size(), Percentile(span, 0.5), Percentile(longest, 0.5), Percentile(longest, 1),
                    Percentile(window, 0.5), Percentile(beyond, 0.5), Percentile(beyond, 1));
    }
    if (!g_quietLongestMs.empty())
        std::printf("write_stall without a create: %zu spans, longest write p50 %.1f ms, max %.1f ms\n",
                    g_quietLongestMs.size(), Percentile(g_quietLongestMs, 0.5), Percentile(g_quietLongestMs, 1));
    std::fflush(stdout);
}

int RunCases(int argc, char** argv) {
    const std::string san = At("san");
    for (const char* dir : {"registry", "log", "san", "catalogue", "freeze-hook.d", "data", "mnt"})
        fs::create_directories(At(dir));
    ::chmod(At("freeze-hook.d").c_str(), 0755);  // empty: no hook runs
    std::ofstream(san + "/initiatorname.iscsi") << "InitiatorName=" << kHostIqn << "\n";
    setenv("KORVEL_REGISTRY_ROOT", At("registry").c_str(), 1);
    setenv("KORVEL_LOG_DIR", At("log").c_str(), 1);
    setenv("KORVEL_SYSFS_ROOT", san.c_str(), 1);
    setenv("KORVEL_INITIATOR_FILE", (san + "/initiatorname.iscsi").c_str(), 1);
    setenv("KORVEL_CATALOGUE", At("catalogue/shadows.db").c_str(), 1);
    setenv("KORVEL_FREEZE_HOOK_DIR", At("freeze-hook.d").c_str(), 1);

    // The provider logs at the default level, as it would in service.
    Logger::Initialize("bench.log", KLOG_INFO, true);
    Korvel::KAccessLayer::GlobalInit();
    DWORD cookie = 0;
    KorvelRegisterProviderClass(CLSCTX_INPROC_SERVER, &cookie);
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--images-on-disk") != 0) {
            std::fprintf(stderr, "korvel_freeze_bench: unknown argument %s\n", argv[i]);
            return 2;
        }
        g_imagesOnDisk = true;
    }
    std::fprintf(stderr, "Volume images: %s\n", g_imagesOnDisk ? ("on the filesystem of " + g_root).c_str() : "in a tmpfs");
    Register();
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintSummary();
    g_scene.reset();
    CoRevokeClassObject(cookie);
    Korvel::KAccessLayer::GlobalCleanup();
    Logger::CloseStream();
    return 0;
}

// After the child: mounts it left under the folder go (deepest first), then
// the folder, once the loop devices on its images have let go.
void RemoveWhatIsLeft() {
    std::vector<std::string> targets;
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, target;
        if (fields >> id >> parent >> devno >> root >> target && target.rfind(g_root + "/", 0) == 0)
            targets.push_back(target);
    }
    std::sort(targets.rbegin(), targets.rend());
    for (const std::string& target : targets) {
        std::fprintf(stderr, "korvel_freeze_bench: unmounting %s, left by the run\n", target.c_str());
        ::umount2(target.c_str(), MNT_DETACH);
    }
    for (int i = 0; i < 250; ++i) {
        bool attached = false;
        std::error_code ec;
        for (const auto& loop : fs::directory_iterator("/sys/block", ec)) {
            std::ifstream backing(loop.path() / "loop/backing_file");
            std::string file;
            if (std::getline(backing, file) && file.rfind(g_root + "/", 0) == 0) attached = true;
        }
        if (!attached) break;
        if (i == 249) std::fprintf(stderr, "korvel_freeze_bench: loop devices on %s are still attached\n", g_root.c_str());
        ::usleep(20000);
    }
    std::error_code ec;
    fs::remove_all(g_root, ec);
    if (ec) std::fprintf(stderr, "korvel_freeze_bench: cannot remove %s: %s\n", g_root.c_str(), ec.message().c_str());
}

pid_t g_child = -1;

// The child may ignore SIGINT (started in the background by a shell): it is
// told to end with SIGTERM, whichever signal asked.
void Forward(int) {
    if (g_child > 0) ::kill(g_child, SIGTERM);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    std::string folder = (std::filesystem::temp_directory_path() / "korvel-freeze-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("korvel_freeze_bench: mkdtemp");
        return 1;
    }
    bench::g_root = folder;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) std::exit(bench::RunCases(argc, argv));
    if (child < 0) {
        std::perror("korvel_freeze_bench: fork");
        bench::RemoveWhatIsLeft();
        return 1;
    }
    bench::g_child = child;
    struct sigaction forward {};
    forward.sa_handler = bench::Forward;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &forward, nullptr);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    bench::RemoveWhatIsLeft();
    if (WIFSIGNALED(status)) std::fprintf(stderr, "korvel_freeze_bench: the run ended by signal %d\n", WTERMSIG(status));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
