// The rate search of the network benchmarks: receivers climb a ladder of
// send rates together, one trial after the other at each rung, for a short
// trial each; the best rung each took without loss is then held for a longer
// trial, stepping down a rung until one is lossless.
#ifndef VORLAN_BENCH_SUPPORT_RATE_LADDER_H
#define VORLAN_BENCH_SUPPORT_RATE_LADDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/udp_load.h"

namespace vorlan_bench {

struct Ladder {
    std::vector<double> rates;     // datagrams per second, rising
    double trial_seconds = 0.0;    // each trial on the way up
    double confirm_seconds = 0.0;  // the trial that holds the best rung
};

// What one trial of a receiver saw; a benchmark adds its own figures (the
// CPU of its threads) to it.
struct LadderTrial {
    double target_rate = 0.0;
    double seconds = 0.0;
    Sent sent;
    uint64_t received = 0;
    uint64_t allocations = 0;  // in the whole process, from the first datagram sent
    bool ran() const { return sent.count > 0; }
    uint64_t lost() const { return sent.count > received ? sent.count - received : 0; }
    bool lossless() const { return ran() && received >= sent.count; }
    // The sender fell clearly short of the rung: higher rungs ask more of it.
    bool sender_saturated() const { return sent.rate() < 0.9 * target_rate; }
};

// One receiver's climb: the last rung it took without loss, and whether it
// is still climbing.
template <class Target>
struct Climb {
    static constexpr std::size_t kNoRung = static_cast<std::size_t>(-1);

    const Target* target;
    std::size_t best = kNoRung;
    bool climbing = true;
    // Took everything at a rung the sender could not reach.
    bool sender_limited = false;
};

// The best lossless rung of `climb`, held for the confirming time; a loss
// there steps down a rung. A trial that did not run when no rung is
// lossless. `run_trial(target, rate, seconds)` runs and prints one trial.
template <class Target, class RunTrial>
auto confirm_rung(const Ladder& ladder, const Climb<Target>& climb, RunTrial& run_trial) {
    using Trial = decltype(run_trial(*climb.target, 0.0, 0.0));
    std::size_t rung = climb.best;
    while (rung < ladder.rates.size()) {
        const Trial trial = run_trial(*climb.target, ladder.rates[rung], ladder.confirm_seconds);
        if (trial.lossless()) {
            return trial;
        }
        rung = rung == 0 ? Climb<Target>::kNoRung : rung - 1;
    }
    return Trial();
}

// Every receiver up the ladder, one trial after the other at each rung so
// that a busy moment of the machine weighs on all alike; then the confirmed
// best of each, in the order of `climbs`.
template <class Target, class RunTrial>
auto climb_ladder(const Ladder& ladder, std::vector<Climb<Target>>& climbs, RunTrial run_trial) {
    for (std::size_t rung = 0; rung < ladder.rates.size(); ++rung) {
        for (Climb<Target>& climb : climbs) {
            if (!climb.climbing) {
                continue;
            }
            const auto trial = run_trial(*climb.target, ladder.rates[rung], ladder.trial_seconds);
            // A rung the sender fell short of proves nothing about the rung,
            // and the confirming trial at it would not reach it either.
            const bool counts = trial.lossless() && !trial.sender_saturated();
            if (counts) {
                climb.best = rung;
            }
            climb.climbing = counts;
            climb.sender_limited = climb.sender_limited || (trial.lossless() && trial.sender_saturated());
        }
    }
    std::vector<decltype(run_trial(*climbs.front().target, 0.0, 0.0))> best;
    for (const Climb<Target>& climb : climbs) {
        best.push_back(confirm_rung(ladder, climb, run_trial));
    }
    return best;
}

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_RATE_LADDER_H
