#include "console.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vorlan_tool {
namespace {

TEST(ProgressBar, FillsInProportionAndClampsOutOfRangeFractions) {
    EXPECT_EQ("[----------]   0%  0.0/2.0 s", format_progress_bar(0.0, 10, "0.0/2.0 s"));
    EXPECT_EQ("[####------]  40%", format_progress_bar(0.4, 10, ""));
    EXPECT_EQ("[##########] 100%", format_progress_bar(1.0, 10, ""));
    EXPECT_EQ("[##########] 100%", format_progress_bar(7.5, 10, ""));
    EXPECT_EQ("[----------]   0%", format_progress_bar(-1.0, 10, ""));
    EXPECT_EQ("[----------]   0%", format_progress_bar(0.0 / 0.0, 10, ""));
}

TEST(Console, LinesPrintedUnderTheBarLeaveNoTraceOfIt) {
    std::ostringstream out, err;
    Console console(out, err, true);
    console.progress(0.5, "half");
    console.line("frame 0");
    console.error("broken");
    console.end_progress();
    const std::string bar = format_progress_bar(0.5, 30, "half");
    // Each line wipes the bar first and draws it again below.
    EXPECT_EQ(bar + "\r\033[Kframe 0\n" + bar + "\r\033[K" + bar + "\r\033[K", out.str());
    EXPECT_EQ("vorlan: broken\n", err.str());
}

TEST(Console, WithoutATerminalThereIsNoBar) {
    std::ostringstream out, err;
    Console console(out, err, false);
    console.progress(0.5, "half");
    console.line("frame 0");
    console.end_progress();
    EXPECT_EQ("frame 0\n", out.str());
}

}  // namespace
}  // namespace vorlan_tool
