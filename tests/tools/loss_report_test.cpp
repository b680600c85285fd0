// Loss is never silent: a loopback burst far faster than the packet worker
// decodes leaves every datagram accounted for, as received (and then
// recorded, dropped by the library's queue or left in it at the stop) or
// dropped by the kernel.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "commands.h"
#include "loss_report.h"
#include "network.h"
#include "stop_signal.h"
#include "support/capture_builder.h"
#include "support/eventually.h"
#include "support/udp_socket.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

constexpr auto kBound = std::chrono::seconds(30);

using vorlan_test::eventually;

struct LossLine {
    uint64_t received = 0, queue_dropped = 0, left_queued = 0, kernel_dropped = 0;
};

bool parse_losses(const std::string& text, LossLine& line) {
    const std::regex pattern(
        "received ([0-9]+)  queue dropped ([0-9]+)(  left queued ([0-9]+))?  kernel dropped ([0-9]+)");
    std::smatch match;
    if (!std::regex_search(text, match, pattern)) {
        return false;
    }
    line = {std::stoull(match[1]), std::stoull(match[2]), match[4].matched ? std::stoull(match[4]) : 0,
            std::stoull(match[5])};
    return true;
}

TEST(LossReport, EveryDatagramOfABurstIsAccountedFor) {
    constexpr std::size_t kBurst = 30000;
    for (const char* command : {"record", "listen"}) {
        SCOPED_TRACE(command);
        vorlan_test::TemporaryDirectory directory;
        const uint16_t port = vorlan_test::free_udp_port();
        std::vector<std::string> args{command, "--port", std::to_string(port)};
        if (std::string(command) == "record") {
            args.insert(args.begin() + 1, directory.file("burst.pcap"));
        }
        const auto before = vorlan_sdk::NetworkManager::instance().get_statistics();
        ToolResult result;
        std::thread tool([&] { result = run_tool(args); });
        ASSERT_TRUE(eventually([&] { return !vorlan_test::udp_port_is_free(port); }, kBound));
        vorlan_test::UdpSender sender(port);
        const vorlan_test::Bytes payload = vorlan_test::test_payload(1200, 5);
        const std::size_t sent = sender.send_many(payload.data(), payload.size(), kBurst);
        // Every datagram reached the socket or was dropped there.
        const bool settled = eventually(
            [&] {
                const auto now = vorlan_sdk::NetworkManager::instance().get_statistics();
                return (now.received - before.received) + (now.lost_in_socket - before.lost_in_socket) >= sent;
            },
            kBound);
        request_stop();
        tool.join();
        ASSERT_TRUE(settled);
        ASSERT_EQ(kExitSuccess, result.code) << result.err;
        LossLine line;
        ASSERT_TRUE(parse_losses(result.out, line)) << result.out;
        EXPECT_EQ(sent, line.received + line.kernel_dropped);
        EXPECT_LE(line.queue_dropped + line.left_queued, line.received);
        if (std::string(command) == "record") {
            const uint64_t recorded = line.received - line.queue_dropped - line.left_queued;
            EXPECT_NE(std::string::npos, result.out.find("recorded " + std::to_string(recorded) + " packets"))
                << result.out;
            if (recorded != sent) {
                EXPECT_NE(std::string::npos, result.err.find("the recording misses")) << result.err;
            }
        }
    }
}

TEST(LossReport, SaysWhereTheSystemCountsNoSocketDrops) {
    LossCounts counts;
    counts.received = 12;
    counts.queue_dropped = 3;
    EXPECT_EQ("received 12  queue dropped 3  kernel drops not reported by this system", format_losses(counts));
    counts.kernel_counted = true;
    counts.kernel_dropped = 4;
    EXPECT_EQ("received 12  queue dropped 3  kernel dropped 4", format_losses(counts));
    counts.left_queued = 2;
    EXPECT_EQ("received 12  queue dropped 3  left queued 2  kernel dropped 4", format_losses(counts));
}

}  // namespace
}  // namespace vorlan_tool
