// The closing lines of every benchmark: one per goal, with the figure
// measured, the ceiling it is measured against (from the same run), their
// ratio and the ratio the goal asks for, so a reader sees at a glance what
// holds.
#ifndef VORLAN_BENCH_SUPPORT_GOAL_LINES_H
#define VORLAN_BENCH_SUPPORT_GOAL_LINES_H

#include <string>
#include <vector>

namespace vorlan_bench {

struct Goal {
    std::string name;       // what was measured, e.g. "STDP sweep model 12 points/s"
    double figure = 0;      // the rate the path reached
    double ceiling = 0;     // the strongest simple alternative, same run
    double wanted = 0;      // the ratio figure / ceiling the goal asks for
    std::string unit;       // "points/s", "datagrams/s", ...
};

class GoalLines {
public:
    void add(Goal goal);
    // Adds a goal that is not a ratio, such as "zero loss": holds is decided
    // by the caller and the text says what was seen.
    void add_condition(const std::string& name, bool holds, const std::string& seen);

    // Prints the goal lines, last thing of the run. Returns the number of
    // goals that do not hold.
    int print() const;

private:
    struct Line {
        std::string text;
        bool holds;
    };
    std::vector<Line> m_lines;
};

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_GOAL_LINES_H
