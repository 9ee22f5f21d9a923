// Benchmarks of the provider's operations against the raw requests they come
// down to, against in-process simulators.
//   korvel_provider_bench [google benchmark flags]   prints the comparison table
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#include "KorvelProvider.h"
#include "KorvelRemoting.h"
#include "Logger.h"
#include "qsta/Simulator.h"
#include "raw_client.h"
#include "registry.h"
#include "table_reporter.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Appliances recorded in a store of their own, and LUN records for their
// volumes as the shadow copy service would pass them.
struct ProviderScene {
    std::string store;
    std::vector<std::unique_ptr<qsta::Simulator>> sims;
    std::vector<std::vector<BYTE>> ieeeBytes;
    std::vector<VDS_STORAGE_IDENTIFIER> identifiers;
    std::vector<VDS_LUN_INFORMATION> luns;
    std::vector<std::string> cgs;  // per LUN, for the raw requests

    ProviderScene(size_t appliances, size_t volumesEach, size_t lunsEach) {
        store = (std::filesystem::temp_directory_path() /
                 ("korvel-bench-store-" + std::to_string(getpid()) + "-" + std::to_string(appliances) + "-" +
                  std::to_string(volumesEach)))
                    .string();
        setenv("KORVEL_REGISTRY_ROOT", store.c_str(), 1);
        for (size_t a = 0; a < appliances; ++a) {
            qsta::Options options;
            options.defaultSeed = false;
            options.threads = 4;
            sims.push_back(std::make_unique<qsta::Simulator>(options));
            // Generated ieee-ids repeat from one simulator to the next: give each appliance its own.
            std::string seed;
            char line[96];
            for (size_t i = 1; i <= volumesEach; ++i) {
                std::snprintf(line, sizeof line, "volume display-name=bench-%zu ieee-id=6b7276%02zx%08zx\n", i, a, i);
                seed += line;
            }
            sims.back()->LoadSeed(seed);
            sims.back()->Start();
            Record(*sims.back());
            std::vector<qsta::Volume> volumes = sims.back()->Volumes();
            // The last volumes of the listing: the ones a look-up meets last.
            for (size_t i = volumes.size() - lunsEach; i < volumes.size(); ++i) {
                std::vector<BYTE> bytes;
                for (size_t k = 0; k < 16; k += 2)
                    bytes.push_back(static_cast<BYTE>(std::stoi(volumes[i].ieeeId.substr(k, 2), nullptr, 16)));
                ieeeBytes.push_back(bytes);
                cgs.push_back(volumes[i].cgName);
            }
        }
        identifiers.resize(ieeeBytes.size());
        luns.resize(ieeeBytes.size());
        for (size_t i = 0; i < ieeeBytes.size(); ++i) {
            identifiers[i] = {VDSStorageIdCodeSetBinary, VDSStorageIdTypeEUI64, 8, ieeeBytes[i].data()};
            luns[i] = VDS_LUN_INFORMATION{};
            luns[i].m_szVendorId = const_cast<char*>("Korvel");
            luns[i].m_deviceIdDescriptor.m_cIdentifiers = 1;
            luns[i].m_deviceIdDescriptor.m_rgIdentifiers = &identifiers[i];
        }
    }
    ~ProviderScene() {
        sims.clear();
        std::error_code ec;
        std::filesystem::remove_all(store, ec);
    }

    static void Record(const qsta::Simulator& sim) {
        HKEY key = nullptr;
        std::string path = "SOFTWARE\\Korvel\\HwProvider\\" + sim.Address();
        std::string accessKey = sim.AccessKey();
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr);
        RegSetValueExA(key, "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(accessKey.c_str()),
                       static_cast<DWORD>(accessKey.size() + 1));
        RegCloseKey(key);
    }
};

template <typename T>
T* Query(IUnknown* object, REFIID iid) {
    void* p = nullptr;
    object->QueryInterface(iid, &p);
    return static_cast<T*>(p);
}

VSS_ID Guid(unsigned long long n) {
    VSS_ID id{};
    std::memcpy(&id, &n, sizeof n);
    return id;
}

std::vector<double> g_commitMs;

// The KorvelProvider program as a plain local server on a socket of its own,
// reading the scene's store; stopped with SIGTERM when the case ends.
class LocalServer {
public:
    LocalServer() {
        // A folder of its own: the server refuses one that others can write to, as /tmp.
        std::string folder = (std::filesystem::temp_directory_path() / "korvel-bench-XXXXXX").string();
        if (mkdtemp(folder.data()) != nullptr) m_folder = folder;
        m_socket = m_folder + "/KorvelProvider.sock";
        setenv("KORVEL_PROVIDER_SOCKET", m_socket.c_str(), 1);
        char program[] = KORVEL_PROVIDER_PROGRAM;
        char* argv[] = {program, nullptr};
        if (posix_spawn(&m_pid, program, nullptr, nullptr, argv, environ) != 0) m_pid = -1;
        // Ready once it accepts a connection.
        for (int i = 0; i < 500 && m_pid > 0 && !Answers(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~LocalServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
        std::error_code ec;
        if (!m_folder.empty()) std::filesystem::remove_all(m_folder, ec);
    }

private:
    bool Answers() const {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_socket.c_str());
        bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return answers;
    }
    std::string m_folder;
    std::string m_socket;
    pid_t m_pid = -1;
};

// A provider object in process, or a proxy to one in the local server.
IUnknown* NewProvider(bool remote) {
    IUnknown* provider = nullptr;
    if (remote)
        CoCreateInstance(CLSID_KorvelVSSProvider, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                         reinterpret_cast<void**>(&provider));
    else
        CKorvelVSSProvider::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider));
    if (provider != nullptr && remote) {
        // The server's process starts its own transport, as the shadow copy service has it do.
        auto* notifications = Query<IVssProviderNotifications>(provider, IID_IVssProviderNotifications);
        notifications->OnLoad(nullptr);
        notifications->Release();
    }
    return provider;
}

void CommitSnapshots(benchmark::State& state, size_t appliances, size_t each, bool remote) {
    ProviderScene scene(appliances, each, each);
    std::unique_ptr<LocalServer> server(remote ? new LocalServer : nullptr);
    IUnknown* provider = NewProvider(remote);
    if (provider == nullptr) {
        state.SkipWithError("no provider object");
        return;
    }
    auto* hardware = Query<IVssHardwareSnapshotProviderEx>(provider, IID_IVssHardwareSnapshotProviderEx);
    auto* creator = Query<IVssProviderCreateSnapshotSet>(provider, IID_IVssProviderCreateSnapshotSet);
    BOOL supported = FALSE;
    // What AreLunsSupported caches is what the commit resolves from.
    if (hardware->AreLunsSupported(static_cast<LONG>(scene.luns.size()), 0, nullptr, scene.luns.data(), &supported) !=
            S_OK ||
        !supported)
        state.SkipWithError("LUNs not supported (the benchmark must run as an administrator)");
    unsigned long long next = 1;
    if (!remote) g_commitMs.clear();
    for (auto _ : state) {
        VSS_ID set = Guid(next++);
        for (size_t i = 0; i < scene.luns.size(); ++i)
            hardware->BeginPrepareSnapshot(set, Guid(next++), 0, 1, nullptr, &scene.luns[i]);
        auto start = Clock::now();
        HRESULT hr = creator->CommitSnapshots(set);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        if (!remote) g_commitMs.push_back(seconds * 1000);
        if (hr != S_OK) {
            state.SkipWithError(("commit failed: " + std::to_string(hr)).c_str());
            break;
        }
        // Each commit draws one more name per volume from the library's
        // million; with the old snapshots kept, a few hundred commits would
        // make a collision likely.
        for (auto& sim : scene.sims) sim->ClearSnapshots();
    }
    state.counters["requests"] = static_cast<double>(appliances);
    creator->Release();
    hardware->Release();
    provider->Release();
}

void OursCommitSnapshots(benchmark::State& state, size_t appliances, size_t each) {
    CommitSnapshots(state, appliances, each, false);
}

void RawCommitSnapshots(benchmark::State& state, size_t appliances, size_t each) {
    ProviderScene scene(appliances, each, each);
    unsigned long long next = 1;
    for (auto _ : state) {
        for (size_t a = 0; a < appliances; ++a) {
            RawClient raw(scene.sims[a]->Address(), scene.sims[a]->AccessKey());
            std::string body;
            for (size_t i = 0; i < each; ++i) {
                size_t lun = a * each + i;
                std::string n = "snapshots_set_" + std::to_string(i + 1);
                char ieee[17];
                for (size_t k = 0; k < 8; ++k) std::snprintf(ieee + 2 * k, 3, "%02x", scene.ieeeBytes[lun][k]);
                body += (body.empty() ? "" : "&") + n + "_name=snap_" + std::to_string(next++) + "_" + ieee + "&" + n +
                        "_cg=" + scene.cgs[lun];
            }
            auto start = Clock::now();
            benchmark::DoNotOptimize(raw.Post("/api/snapshots/snapshots_set", body));
            state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        }
    }
    state.counters["requests"] = static_cast<double>(appliances);
}

void UncachedAreLunsSupported(benchmark::State& state, size_t volumes, bool remote) {
    ProviderScene scene(1, volumes, 1);
    std::unique_ptr<LocalServer> server(remote ? new LocalServer : nullptr);
    for (auto _ : state) {
        IUnknown* provider = NewProvider(remote);  // a new object: nothing cached
        if (provider == nullptr) {
            state.SkipWithError("no provider object");
            break;
        }
        auto* hardware = Query<IVssHardwareSnapshotProviderEx>(provider, IID_IVssHardwareSnapshotProviderEx);
        BOOL supported = FALSE;
        auto start = Clock::now();
        HRESULT hr = hardware->AreLunsSupported(1, 0, nullptr, scene.luns.data(), &supported);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (hr != S_OK || !supported) state.SkipWithError("LUN not supported");
        hardware->Release();
        provider->Release();
    }
    state.counters["requests"] = 1;
}

// One call that does nothing in the provider: what a call through the socket costs by itself.
void EmptyCall(benchmark::State& state, bool remote) {
    ProviderScene scene(1, 1, 1);
    std::unique_ptr<LocalServer> server(remote ? new LocalServer : nullptr);
    IUnknown* provider = NewProvider(remote);
    if (provider == nullptr) {
        state.SkipWithError("no provider object");
        return;
    }
    auto* creator = Query<IVssProviderCreateSnapshotSet>(provider, IID_IVssProviderCreateSnapshotSet);
    for (auto _ : state) {
        auto start = Clock::now();
        HRESULT hr = creator->EndPrepareSnapshots(Guid(1));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (hr != S_OK) state.SkipWithError("call failed");
    }
    state.counters["requests"] = 0;
    creator->Release();
    provider->Release();
}

void OursUncachedAreLunsSupported(benchmark::State& state, size_t volumes) {
    UncachedAreLunsSupported(state, volumes, false);
}

void RawListAndParse(benchmark::State& state, size_t volumes) {
    ProviderScene scene(1, volumes, 1);
    RawClient raw(scene.sims[0]->Address(), scene.sims[0]->AccessKey());
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(RawParseVolumes(raw.Get("/api/volumes")));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["requests"] = 1;
}

void Register() {
    using benchmark::RegisterBenchmark;
    auto manual = [](benchmark::internal::Benchmark* b) {
        b->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
    };
    manual(RegisterBenchmark("ours/commit_snapshots/64_luns_on_4_appliances", OursCommitSnapshots, 4, 16));
    manual(RegisterBenchmark("baseline/commit_snapshots/64_luns_on_4_appliances", RawCommitSnapshots, 4, 16));
    manual(RegisterBenchmark("ours/are_luns_supported/uncached_1_of_10000", OursUncachedAreLunsSupported, 10000));
    manual(RegisterBenchmark("baseline/are_luns_supported/uncached_1_of_10000", RawListAndParse, 10000));
    // The remoting's cost: the same operations through the local server, against in process.
    for (bool remote : {true, false})
        manual(RegisterBenchmark(remote ? "ours/local_server/commit_snapshots/64_luns_on_4_appliances"
                                        : "baseline/local_server/commit_snapshots/64_luns_on_4_appliances",
                                 CommitSnapshots, 4, 16, remote));
    auto micro = [](benchmark::internal::Benchmark* b) {
        b->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(0.5);
    };
    micro(RegisterBenchmark("ours/local_server/empty_call", EmptyCall, true));
    micro(RegisterBenchmark("baseline/local_server/empty_call", EmptyCall, false));
    manual(RegisterBenchmark("ours/local_server/are_luns_supported/uncached_1_of_10000", UncachedAreLunsSupported,
                             10000, true));
    manual(RegisterBenchmark("baseline/local_server/are_luns_supported/uncached_1_of_10000",
                             UncachedAreLunsSupported, 10000, false));
}

void PrintCommitPercentiles() {
    if (g_commitMs.empty()) return;
    std::printf("\ncommit_snapshots/64_luns_on_4_appliances: %zu commits, p50 %.2f ms, p99 %.2f ms\n",
                g_commitMs.size(), Percentile(g_commitMs, 0.50), Percentile(g_commitMs, 0.99));
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    // The provider logs at the default level into a scratch folder, as it would in service.
    std::string logDir = std::filesystem::temp_directory_path() / ("korvel-pbench-" + std::to_string(getpid()));
    setenv("KORVEL_LOG_DIR", logDir.c_str(), 1);
    Logger::Initialize("bench.log", KLOG_INFO, true);
    Korvel::KAccessLayer::GlobalInit();
    KorvelInstallLocalActivator();
    benchmark::Initialize(&argc, argv);
    bench::Register();
    bench::TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    bench::PrintCommitPercentiles();
    Korvel::KAccessLayer::GlobalCleanup();
    Logger::CloseStream();
    std::error_code ec;
    std::filesystem::remove_all(logDir, ec);
    return 0;
}
