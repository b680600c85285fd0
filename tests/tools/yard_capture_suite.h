// Tests over one second of the simulated yard, written once for the suite
// and run with a parameter (the library, say). Each test starts and ends
// with no stop request pending.
#ifndef VORLAN_TESTS_TOOLS_YARD_CAPTURE_SUITE_H
#define VORLAN_TESTS_TOOLS_YARD_CAPTURE_SUITE_H

#include <gtest/gtest.h>

#include <string>

#include "stop_signal.h"
#include "support/capture_builder.h"
#include "tool_run.h"

namespace vorlan_tool {

template <typename Param>
class YardCaptureSuite : public ::testing::TestWithParam<Param> {
protected:
    static void SetUpTestSuite() {
        s_folder = new vorlan_test::TemporaryDirectory();
        write_sim_capture(s_folder->file("yard.pcap"), 1.0);
    }
    static void TearDownTestSuite() {
        delete s_folder;
        s_folder = nullptr;
    }
    void SetUp() override { clear_stop_request(); }
    void TearDown() override { clear_stop_request(); }

    static std::string capture() { return s_folder->file("yard.pcap"); }

    inline static vorlan_test::TemporaryDirectory* s_folder = nullptr;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_YARD_CAPTURE_SUITE_H
