// A console reporter that keeps the best rate (items per second) of each
// benchmark's repetitions: noise on a shared machine only ever slows a run
// down. Benchmarks derive from it to print their goal lines in Finalize().
#ifndef VORLAN_BENCH_SUPPORT_BEST_RATE_REPORTER_H
#define VORLAN_BENCH_SUPPORT_BEST_RATE_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace vorlan_bench {

class BestRateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (run.run_type != Run::RT_Iteration || run.error_occurred || rate == run.counters.end()) {
                continue;
            }
            double& best = m_rates[run.run_name.function_name];
            best = std::max(best, rate->second.value);
        }
    }

    // The best rate of the benchmark of that name; 0 when it did not run.
    double rate_of(const std::string& name) const {
        auto found = m_rates.find(name);
        return found == m_rates.end() ? 0.0 : found->second;
    }

private:
    std::map<std::string, double> m_rates;
};

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_BEST_RATE_REPORTER_H
