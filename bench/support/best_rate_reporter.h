// A console reporter that keeps the best rate (items per second) of each
// benchmark's repetitions: noise on a shared machine only ever slows a run
// down. Benchmarks derive from it to print their goal lines in Finalize(),
// and to keep counters of their own in keep_counters().
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
            const std::string name = full_name(run);
            double& best = m_rates[name];
            best = std::max(best, rate->second.value);
            keep_counters(name, run);
        }
    }

    // The best rate of the benchmark of that name (with its arguments, as in
    // "BM_Calibrate/returns:1"); 0 when it did not run.
    double rate_of(const std::string& name) const {
        auto found = m_rates.find(name);
        return found == m_rates.end() ? 0.0 : found->second;
    }

protected:
    // Called for each repetition whose rate was kept, under the same name.
    virtual void keep_counters(const std::string& /*name*/, const Run& /*run*/) {}

private:
    static std::string full_name(const Run& run) {
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty()) {
            name += "/" + run.run_name.args;
        }
        return name;
    }

    std::map<std::string, double> m_rates;
};

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_BEST_RATE_REPORTER_H
