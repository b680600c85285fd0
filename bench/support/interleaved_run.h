// Runs the registered benchmarks with the repetitions of every case in
// random order, so that a figure and its ceiling see the same load on a
// shared machine rather than whatever it was when each one's turn came.
// --benchmark_enable_random_interleaving=false on the command line runs them
// in turn: it comes after the flag added here, and the last one counts.
#ifndef VORLAN_BENCH_SUPPORT_INTERLEAVED_RUN_H
#define VORLAN_BENCH_SUPPORT_INTERLEAVED_RUN_H

#include <benchmark/benchmark.h>

#include <vector>

namespace vorlan_bench {

inline void run_interleaved(int argc, char** argv, benchmark::BenchmarkReporter& reporter) {
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int n_args = static_cast<int>(args.size());
    benchmark::Initialize(&n_args, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_INTERLEAVED_RUN_H
