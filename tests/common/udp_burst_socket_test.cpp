// The UDP socket both libraries receive on, against plain senders on
// 127.0.0.1 and ports found free at run time.
#include "udp_burst_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "support/eventually.h"
#include "support/udp_socket.h"

namespace {

using vorlan_common::UdpBurstSocket;
using vorlan_test::eventually;
using vorlan_test::free_udp_port;
using vorlan_test::UdpPortHolder;
using vorlan_test::UdpSender;

constexpr uint32_t kLoopback = 0x7F000001;

std::vector<uint8_t> numbered(std::size_t size, uint32_t number) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(number * 31 + i);
    }
    return bytes;
}

struct Read {
    uint32_t sender;
    bool is_ipv4;
    std::vector<uint8_t> bytes;
};

// Reads bursts until `count` datagrams have come (or the patience ends);
// `largest_burst` is the most one read returned.
std::vector<Read> read_datagrams(UdpBurstSocket& socket, std::size_t count, std::size_t& largest_burst) {
    std::vector<Read> reads;
    largest_burst = 0;
    eventually([&] {
        std::error_code error;
        const std::size_t n_read = socket.read_burst(error);
        EXPECT_FALSE(error) << error.message();
        largest_burst = std::max(largest_burst, n_read);
        for (std::size_t i = 0; i < n_read; ++i) {
            const UdpBurstSocket::Datagram datagram = socket.datagram(i);
            reads.push_back({datagram.sender, datagram.is_ipv4,
                             std::vector<uint8_t>(datagram.data, datagram.data + datagram.size)});
        }
        return reads.size() >= count;
    });
    return reads;
}

TEST(UdpBurstSocketTest, BurstsHandOutEveryDatagramWholeInOrderWithItsSender) {
    UdpBurstSocket socket;
    std::error_code error;
    ASSERT_TRUE(socket.open(0, "", error)) << error.message();
    ASSERT_NE(socket.local_port(), 0);
    EXPECT_GT(socket.buffer_size(), 0);

    // Empty datagrams are legal and handed out as such; the largest one a
    // UDP socket can carry arrives whole. More wait than one burst holds.
    const std::size_t sizes[] = {1, 0, 1400, 65507, 24, 0, 1000};
    std::vector<std::vector<uint8_t>> sent;
    UdpSender sender(socket.local_port());
    for (uint32_t round = 0; sent.size() <= 2 * UdpBurstSocket::kMaxBurst; ++round) {
        for (const std::size_t size : sizes) {
            sent.push_back(numbered(size, round));
            ASSERT_TRUE(sender.send(sent.back().data(), size));
        }
    }
    std::size_t largest_burst = 0;
    const std::vector<Read> reads = read_datagrams(socket, sent.size(), largest_burst);
    ASSERT_EQ(reads.size(), sent.size());
    EXPECT_LE(largest_burst, UdpBurstSocket::kMaxBurst);
    EXPECT_GT(largest_burst, 1u);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_TRUE(reads[i].is_ipv4) << i;
        EXPECT_EQ(reads[i].sender, kLoopback) << i;
        EXPECT_EQ(reads[i].bytes, sent[i]) << i;
    }
    std::error_code read_error;
    EXPECT_EQ(socket.read_burst(read_error), 0u);
    EXPECT_FALSE(read_error);
}

TEST(UdpBurstSocketTest, OpeningOrJoiningFailsWithTheSystemsReasonAndKeepsNothing) {
    const uint16_t held_port = free_udp_port();
    UdpPortHolder holder(held_port);  // bound without address reuse
    ASSERT_TRUE(holder.is_bound());
    UdpBurstSocket refused;
    std::error_code error;
    EXPECT_FALSE(refused.open(held_port, "", error));
    EXPECT_EQ(error.value(), EADDRINUSE) << error.message();
    EXPECT_FALSE(refused.is_open());

    struct Case {
        const char* group;
        const char* interface_address;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1"},    // not a group
        {"239.255.0.1", "192.0.2.77"},  // no local interface has the address
    };
    for (const Case& c : cases) {
        UdpBurstSocket socket;
        ASSERT_TRUE(socket.open(0, "", error)) << error.message();
        EXPECT_FALSE(socket.join_multicast(asio::ip::make_address_v4(c.group),
                                           asio::ip::make_address_v4(c.interface_address), error))
            << c.group << " on " << c.interface_address;
        EXPECT_TRUE(error) << c.group << " on " << c.interface_address;
    }
}

// A socket nobody reads overflows: what the system dropped and what can
// still be read add up to what was sent, and the count outlives the socket.
TEST(UdpBurstSocketTest, DatagramsTheSystemDroppedAreCountedAndTheCountOutlivesTheClose) {
    UdpBurstSocket socket;
    std::error_code error;
    ASSERT_TRUE(socket.open(0, "", error)) << error.message();
    EXPECT_EQ(socket.system_drops(), 0u);
    // Far more bytes than the largest receive buffer the system grants.
    constexpr std::size_t kSent = 1200;
    const std::vector<uint8_t> payload = numbered(60000, 7);
    UdpSender sender(socket.local_port());
    ASSERT_EQ(sender.send_many(payload.data(), payload.size(), kSent), kSent);

    uint64_t read = 0;
    eventually([&] {
        std::error_code read_error;
        read += socket.read_burst(read_error);
        return read + socket.system_drops() >= kSent;
    });
    const uint64_t dropped = socket.system_drops();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(read + dropped, kSent);
    socket.close();
    EXPECT_FALSE(socket.is_open());
    EXPECT_EQ(socket.system_drops(), dropped);
}

}  // namespace
