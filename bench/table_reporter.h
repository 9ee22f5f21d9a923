// Collects "ours/<case>" and "baseline/<case>" runs and prints one table:
// case, our time, baseline time, ratio, requests, peak memory.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// The value at fraction q (0 to 1) of the sorted values, nearest rank below; 0 for none.
double Percentile(std::vector<double> values, double q);

class TableReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    struct Side {
        bool present = false;
        double nanoseconds = 0;
        double requests = -1;
        double peakMiB = -1;
        double bodyMiB = -1;
        std::string error;
    };
    struct Row {
        Side ours, baseline;
    };
    std::vector<std::string> m_order;
    std::map<std::string, Row> m_rows;
};

}  // namespace bench
