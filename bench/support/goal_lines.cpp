#include "support/goal_lines.h"

#include <cstdio>

namespace vorlan_bench {

void GoalLines::add(Goal goal) {
    const double ratio = goal.ceiling > 0 ? goal.figure / goal.ceiling : 0.0;
    const bool holds = goal.ceiling > 0 && ratio >= goal.wanted;
    char text[256];
    std::snprintf(text, sizeof text, "%-44s %11.4g %-13s ceiling %11.4g  ratio %5.2f  goal >= %.2f",
                  goal.name.c_str(), goal.figure, goal.unit.c_str(), goal.ceiling, ratio, goal.wanted);
    m_lines.push_back({text, holds});
}

void GoalLines::add_condition(const std::string& name, bool holds, const std::string& seen) {
    char text[256];
    std::snprintf(text, sizeof text, "%-44s %s", name.c_str(), seen.c_str());
    m_lines.push_back({text, holds});
}

int GoalLines::print() const {
    int short_of = 0;
    std::printf("\ngoals\n");
    for (const Line& line : m_lines) {
        std::printf("%-6s %s\n", line.holds ? "holds" : "SHORT", line.text.c_str());
        short_of += line.holds ? 0 : 1;
    }
    std::fflush(stdout);
    return short_of;
}

}  // namespace vorlan_bench
