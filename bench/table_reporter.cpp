#include "table_reporter.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace bench {

namespace {

std::string FormatTime(double ns) {
    char buf[32];
    if (ns >= 1e9)
        std::snprintf(buf, sizeof buf, "%.2f s", ns / 1e9);
    else if (ns >= 1e6)
        std::snprintf(buf, sizeof buf, "%.2f ms", ns / 1e6);
    else if (ns >= 1e3)
        std::snprintf(buf, sizeof buf, "%.1f us", ns / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.0f ns", ns);
    return buf;
}

std::string FormatMiB(double mib) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MiB", mib);
    return buf;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

}  // namespace

double Percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())))];
}

bool TableReporter::ReportContext(const Context& context) {
    std::fprintf(stderr, "Machine: %d x %s, %s build\n", context.cpu_info.num_cpus, CpuModel().c_str(),
#ifdef NDEBUG
                 "release"
#else
                 "debug"
#endif
    );
    // What else the machine was doing, for the reader of a table from a shared machine.
    std::ifstream load("/proc/loadavg");
    std::string averages;
    if (std::getline(load, averages)) std::fprintf(stderr, "Load average (1, 5, 15 min, tasks): %s\n", averages.c_str());
    return true;
}

void TableReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration) continue;
        std::string name = run.benchmark_name();
        size_t slash = name.find('/');
        if (slash == std::string::npos) continue;
        std::string side = name.substr(0, slash);
        std::string key = name.substr(slash + 1);
        // Drop the library's suffixes ("/iterations:1", "/real_time", ...).
        for (const char* suffix : {"/iterations:", "/real_time", "/min_time:"}) {
            size_t at = key.find(suffix);
            if (at != std::string::npos) key = key.substr(0, at);
        }
        if (!m_rows.count(key)) m_order.push_back(key);
        Side& s = side == "ours" ? m_rows[key].ours : m_rows[key].baseline;
        s.present = true;
        if (run.error_occurred) s.error = run.error_message;
        s.nanoseconds = run.GetAdjustedRealTime() * (run.time_unit == benchmark::kMillisecond   ? 1e6
                                                     : run.time_unit == benchmark::kMicrosecond ? 1e3
                                                     : run.time_unit == benchmark::kSecond      ? 1e9
                                                                                                : 1.0);
        auto counter = [&](const char* n) {
            auto it = run.counters.find(n);
            return it == run.counters.end() ? -1.0 : static_cast<double>(it->second.value);
        };
        s.requests = counter("requests");
        s.peakMiB = counter("peak_rss_mib");
        s.bodyMiB = counter("body_mib");
        std::fprintf(stderr, "  done: %s\n", name.c_str());
    }
}

void TableReporter::Finalize() {
    std::printf("| case | ours | baseline | ratio | requests | peak memory |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const std::string& key : m_order) {
        const Row& r = m_rows[key];
        if (!r.ours.error.empty() || !r.baseline.error.empty()) {
            std::printf("| %s | error: %s | %s | - | - | - |\n", key.c_str(), r.ours.error.c_str(),
                        r.baseline.error.c_str());
            continue;
        }
        bool memory = r.ours.peakMiB >= 0;
        std::string ours = memory ? FormatMiB(r.ours.peakMiB) : FormatTime(r.ours.nanoseconds);
        std::string base = !r.baseline.present ? "-"
                           : memory            ? FormatMiB(r.baseline.peakMiB)
                                               : FormatTime(r.baseline.nanoseconds);
        char ratio[32] = "-";
        if (r.baseline.present) {
            double a = memory ? r.ours.peakMiB : r.ours.nanoseconds;
            double b = memory ? r.baseline.peakMiB : r.baseline.nanoseconds;
            if (b > 0) std::snprintf(ratio, sizeof ratio, "%.2f", a / b);
        }
        char requests[32] = "-";
        if (r.ours.requests >= 0) std::snprintf(requests, sizeof requests, "%.0f", r.ours.requests);
        std::string peak = memory ? "body " + FormatMiB(r.ours.bodyMiB) : "-";
        std::printf("| %s | %s | %s | %s | %s | %s |\n", key.c_str(), ours.c_str(), base.c_str(), ratio, requests,
                    peak.c_str());
    }
    std::fflush(stdout);
}

}  // namespace bench
