// Tests over one second of the simulated yard, written once for the suite
// and run with a parameter (the library, say). Each test starts and ends
// with no stop request pending.
//
// EachLibrarySuite runs its tests once per library: instantiate it with
//   INSTANTIATE_TEST_SUITE_P(Sdk, MyTest, ::testing::Values("1", "2"), library_instance_name);
// and run commands through tool(), which passes the library as --sdk.
#ifndef VORLAN_TESTS_TOOLS_YARD_CAPTURE_SUITE_H
#define VORLAN_TESTS_TOOLS_YARD_CAPTURE_SUITE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

class EachLibrarySuite : public YardCaptureSuite<const char*> {
protected:
    ToolResult tool(std::vector<std::string> args) const {
        args.insert(args.end(), {"--sdk", GetParam()});
        return run_tool(args);
    }
};

// "sdk1" and "sdk2".
inline std::string library_instance_name(const ::testing::TestParamInfo<const char*>& info) {
    return std::string("sdk") + info.param;
}

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_YARD_CAPTURE_SUITE_H
