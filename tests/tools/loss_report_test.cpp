// Loss is never silent: a loopback burst far faster than the packet worker
// decodes leaves every datagram accounted for, from what the library reports
// publicly: received (and then recorded, or dropped by the library's queue)
// or dropped by the kernel. The second library counts what it receives but
// reports no drops: its line says so.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "commands.h"
#include "frame_source_core.h"
#include "stop_signal.h"
#include "support/capture_builder.h"
#include "support/eventually.h"
#include "support/udp_socket.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

constexpr auto kBound = std::chrono::seconds(30);


struct LossLine {
    uint64_t received = 0, queue_dropped = 0, kernel_dropped = 0;
    bool drops_reported = false;
};

bool parse_losses(const std::string& text, LossLine& line) {
    const std::regex counted("received ([0-9]+)  queue dropped ([0-9]+)  kernel dropped ([0-9]+)");
    const std::regex uncounted("received ([0-9]+)  queue drops not reported  kernel drops not reported");
    std::smatch match;
    if (std::regex_search(text, match, counted)) {
        line = {std::stoull(match[1]), std::stoull(match[2]), std::stoull(match[3]), true};
        return true;
    }
    if (std::regex_search(text, match, uncounted)) {
        line = {std::stoull(match[1]), 0, 0, false};
        return true;
    }
    return false;
}

TEST(LossReport, EveryDatagramOfABurstIsAccountedFor) {
    constexpr std::size_t kBurst = 30000;
    for (const char* sdk : {"1", "2"}) {
        for (const char* command : {"record", "listen"}) {
            SCOPED_TRACE(std::string(command) + " --sdk " + sdk);
            clear_stop_request();
            vorlan_test::TemporaryDirectory directory;
            const uint16_t port = vorlan_test::free_udp_port();
            std::vector<std::string> args{command, "--port", std::to_string(port)};
            if (std::string(command) == "record") {
                args.insert(args.begin() + 1, directory.file("burst.pcap"));
            } else {
                args.insert(args.end(), {"--sdk", sdk});
            }
            if (std::string(command) == "record" && std::string(sdk) == "2") {
                continue;  // record listens through the first library
            }
            ToolResult result;
            std::thread tool([&] { result = run_tool(args); });
            ASSERT_TRUE(vorlan_test::eventually([&] { return !vorlan_test::udp_port_is_free(port); }, kBound));
            vorlan_test::UdpSender sender(port);
            const vorlan_test::Bytes payload = vorlan_test::test_payload(1200, 5);
            const std::size_t sent = sender.send_many(payload.data(), payload.size(), kBurst);
            // The tool lets the traffic settle before it stops the library.
            request_stop();
            tool.join();
            clear_stop_request();
            ASSERT_EQ(kExitInterrupted, result.code) << result.err;
            LossLine line;
            ASSERT_TRUE(parse_losses(result.out, line)) << result.out;
            // Both libraries count what they took from the socket and what
            // the system dropped there.
            ASSERT_TRUE(line.drops_reported) << result.out;
            EXPECT_EQ(sent, line.received + line.kernel_dropped);
            EXPECT_LE(line.queue_dropped, line.received);
            if (std::string(command) == "record") {
                const uint64_t recorded = line.received - line.queue_dropped;
                EXPECT_NE(std::string::npos, result.out.find("recorded " + std::to_string(recorded) + " packets"))
                    << result.out;
                if (recorded != sent) {
                    EXPECT_NE(std::string::npos, result.err.find("the recording misses")) << result.err;
                }
            }
        }
    }
}

TEST(LossReport, SaysWhatTheLibraryDoesNotCount) {
    const struct {
        bool queue_counted;
        bool kernel_counted;
        const char* line;
    } cases[] = {
        {true, true, "received 12  queue dropped 3  kernel dropped 4"},
        {true, false, "received 12  queue dropped 3  kernel drops not reported"},
        {false, false, "received 12  queue drops not reported  kernel drops not reported"},
    };
    for (const auto& c : cases) {
        LossCounts counts;
        counts.received = 12;
        counts.queue_dropped = 3;
        counts.kernel_dropped = 4;
        counts.queue_counted = c.queue_counted;
        counts.kernel_counted = c.kernel_counted;
        EXPECT_EQ(c.line, format_loss_counts(counts));
    }
}

}  // namespace
}  // namespace vorlan_tool
