// Benchmarks of the provider's operations against the raw requests they come
// down to, against in-process simulators.
//   korvel_provider_bench [google benchmark flags]   prints the comparison table
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "KorvelProvider.h"
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

void OursCommitSnapshots(benchmark::State& state, size_t appliances, size_t each) {
    ProviderScene scene(appliances, each, each);
    IUnknown* provider = nullptr;
    CKorvelVSSProvider::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider));
    auto* hardware = Query<IVssHardwareSnapshotProviderEx>(provider, IID_IVssHardwareSnapshotProviderEx);
    auto* creator = Query<IVssProviderCreateSnapshotSet>(provider, IID_IVssProviderCreateSnapshotSet);
    BOOL supported = FALSE;
    // What AreLunsSupported caches is what the commit resolves from.
    if (hardware->AreLunsSupported(static_cast<LONG>(scene.luns.size()), 0, nullptr, scene.luns.data(), &supported) !=
            S_OK ||
        !supported)
        state.SkipWithError("LUNs not supported (the benchmark must run as an administrator)");
    unsigned long long next = 1;
    g_commitMs.clear();
    for (auto _ : state) {
        VSS_ID set = Guid(next++);
        for (size_t i = 0; i < scene.luns.size(); ++i)
            hardware->BeginPrepareSnapshot(set, Guid(next++), 0, 1, nullptr, &scene.luns[i]);
        auto start = Clock::now();
        HRESULT hr = creator->CommitSnapshots(set);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        g_commitMs.push_back(seconds * 1000);
        if (hr != S_OK) {
            state.SkipWithError(("commit failed: " + std::to_string(hr)).c_str());
            break;
        }
    }
    state.counters["requests"] = static_cast<double>(appliances);
    creator->Release();
    hardware->Release();
    provider->Release();
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

void OursUncachedAreLunsSupported(benchmark::State& state, size_t volumes) {
    ProviderScene scene(1, volumes, 1);
    for (auto _ : state) {
        IUnknown* provider = nullptr;  // a new object: nothing cached
        CKorvelVSSProvider::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider));
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
}

void PrintCommitPercentiles() {
    if (g_commitMs.empty()) return;
    std::vector<double> sorted = g_commitMs;
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double q) { return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))]; };
    std::printf("\ncommit_snapshots/64_luns_on_4_appliances: %zu commits, p50 %.2f ms, p99 %.2f ms\n", sorted.size(),
                at(0.50), at(0.99));
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    // The provider logs at the default level into a scratch folder, as it would in service.
    std::string logDir = std::filesystem::temp_directory_path() / ("korvel-pbench-" + std::to_string(getpid()));
    setenv("KORVEL_LOG_DIR", logDir.c_str(), 1);
    Logger::Initialize("bench.log", SEVERITY_INFO, true);
    Korvel::KAccessLayer::GlobalInit();
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
