#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "library_fixture.h"
#include "payload_recorder.h"
#include "support/eventually.h"
#include "support/udp_socket.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {
namespace {

using vorlan_test::free_udp_port;
using vorlan_test::UdpPortHolder;

int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint32_t address_number(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return ntohl(address.s_addr);
}

// A UDP socket bound to `source` (any address of 127/8 is the loopback host),
// sending to `destination`:port, looping multicast back through 127.0.0.1.
class Sender {
public:
    explicit Sender(const char* source) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(address_number(source));
        m_bound = bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof(loopback));
        const unsigned char on = 1;
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof(on));
    }
    ~Sender() { close(m_fd); }
    bool send(const std::vector<uint8_t>& bytes, uint16_t port, const char* destination = "127.0.0.1") {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(address_number(destination));
        address.sin_port = htons(port);
        return m_bound && sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                                 sizeof(address)) == static_cast<ssize_t>(bytes.size());
    }

private:
    int m_fd;
    bool m_bound = false;
};

std::vector<uint8_t> numbered(size_t size, uint32_t number) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(number * 31 + i);
    }
    return bytes;
}

TEST_F(LibraryTest, NetworkingRefusesWhatItCannotDoAndKeepsNothingThen) {
    const uint16_t port = free_udp_port();
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE);
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_ERROR_INVALID_STATE);
    EXPECT_EQ(VorlanStartNetworking(), VORLAN_ERROR_INVALID_STATE);
    EXPECT_EQ(VorlanStartNetworkingMulticast("239.255.0.1", "127.0.0.1", port), VORLAN_ERROR_INVALID_STATE);
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE);

    const uint16_t held_port = free_udp_port();
    UdpPortHolder holder(held_port);  // bound without address reuse
    ASSERT_TRUE(holder.is_bound());
    EXPECT_EQ(VorlanStartNetworkingOnPort(held_port), VORLAN_ERROR_COMMUNICATION);
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE);

    struct Case {
        const char* group;
        const char* interface_address;
        int expected;
    };
    const Case cases[] = {
        {"not an address", "127.0.0.1", VORLAN_ERROR_COMMUNICATION},
        {"239.255.0.1", "", VORLAN_ERROR_COMMUNICATION},
        {"ff02::1", "127.0.0.1", VORLAN_ERROR_COMMUNICATION},    // parses, but IPv6
        {"239.255.0.1", "::1", VORLAN_ERROR_COMMUNICATION},      // parses, but IPv6
        {"239.255.0.1", "192.0.2.77", VORLAN_ERROR_COMMUNICATION},  // no local interface has it
        {"127.0.0.1", "127.0.0.1", VORLAN_ERROR_COMMUNICATION},  // not a group
        {nullptr, "127.0.0.1", VORLAN_ERROR_INVALID_ARGUMENTS},
        {"239.255.0.1", nullptr, VORLAN_ERROR_INVALID_ARGUMENTS},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(c.group ? c.group : "null") + " on " +
                                 (c.interface_address ? c.interface_address : "null");
        EXPECT_EQ(VorlanStartNetworkingMulticast(c.group, c.interface_address, port), c.expected) << name;
        EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE) << name;
    }

    // Deinitialising closes the socket: the port can be bound without reuse.
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    EXPECT_TRUE(UdpPortHolder(port).is_bound());
}

// A listener that falls behind loses datagrams in the system's receive
// buffer; the counts say so, and what was received and what was dropped add
// up to what was sent, with the relay on as without it.
TEST_F(LibraryTest, NetworkCountsAddUpToWhatWasSent) {
    uint64_t received = 1;
    uint64_t dropped = 1;
    ASSERT_EQ(VorlanGetNetworkCounts(&received, &dropped), VORLAN_SUCCESS);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(dropped, 0u);
    for (const bool relay : {false, true}) {
        SCOPED_TRACE(relay ? "through the relay" : "direct");
        std::atomic<bool> hold{true};
        PayloadRecorder recorder;
        recorder.before_record = [&](const Payload&) {
            // A listener far slower than the sender, until let go.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (hold.load() && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
        if (relay) {
            ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
        }
        const uint16_t port = free_udp_port();
        ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
        // Far more than the largest receive buffer the system grants.
        constexpr uint64_t kSent = 40000;
        Sender sender("127.0.0.1");
        for (uint64_t i = 0; i < kSent; ++i) {
            ASSERT_TRUE(sender.send(numbered(1400, uint32_t(i)), port));
        }
        hold = false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            ASSERT_EQ(VorlanGetNetworkCounts(&received, &dropped), VORLAN_SUCCESS);
            if (received + dropped >= kSent) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < until);
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(received + dropped, kSent);
        ASSERT_EQ(VorlanStopNetworking(), VORLAN_SUCCESS);
        // The counts outlive the listener, and the payloads received all arrived.
        uint64_t received_after = 0;
        uint64_t dropped_after = 0;
        ASSERT_EQ(VorlanGetNetworkCounts(&received_after, &dropped_after), VORLAN_SUCCESS);
        EXPECT_EQ(received_after, received);
        EXPECT_EQ(dropped_after, dropped);
        if (relay) {
            EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);
        }
        EXPECT_LE(recorder.payloads().size(), received);
    }
}

// Datagrams from several loopback addresses, an empty one among them, reach
// the parsers whole, in order, with the sender's address as the handle and
// the wall clock of their arrival; with the relay on as without it.
TEST_F(LibraryTest, LiveStreamArrivesWholeInOrderFromEachSender) {
    struct Datagram {
        const char* source;
        size_t size;
    };
    const Datagram stream[] = {
        {"127.0.0.1", 1}, {"127.1.2.3", 1000}, {"127.0.0.1", 0}, {"127.200.0.7", 65507}, {"127.0.0.1", 0},
        {"127.1.2.3", 24}, {"127.0.0.1", 1400},
    };
    for (const bool relay : {false, true}) {
        SCOPED_TRACE(relay ? "through the relay" : "direct");
        PayloadRecorder recorder;
        ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
        if (relay) {
            ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
        }
        const uint16_t port = free_udp_port();
        ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
        const int64_t before = wall_clock_us();
        std::vector<Datagram> expected;
        constexpr uint32_t kRounds = 40;
        for (uint32_t round = 0; round < kRounds; ++round) {
            for (const Datagram& datagram : stream) {
                ASSERT_TRUE(Sender(datagram.source).send(numbered(datagram.size, round), port));
                if (datagram.size != 0) {
                    expected.push_back(datagram);
                }
            }
        }
        ASSERT_TRUE(recorder.waitFor(expected.size()));
        const int64_t after = wall_clock_us();
        const std::vector<Payload> payloads = recorder.payloads();
        ASSERT_EQ(payloads.size(), expected.size());
        for (size_t i = 0; i < payloads.size(); ++i) {
            const uint32_t round = static_cast<uint32_t>(i / (expected.size() / kRounds));
            EXPECT_EQ(payloads[i].handle, address_number(expected[i].source)) << i;
            EXPECT_EQ(payloads[i].bytes, numbered(expected[i].size, round)) << i;
            EXPECT_GE(payloads[i].timestamp, before) << i;
            EXPECT_LE(payloads[i].timestamp, after) << i;
        }
        EXPECT_EQ(VorlanStopNetworking(), VORLAN_SUCCESS);
        if (relay) {
            EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);
        }
    }
}

// Why multicast on loopback cannot be tried here, or empty when it can: a
// plain socket joins the group on 127.0.0.1 and must hear its own datagram.
std::string multicast_unavailable(const char* group, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    std::string reason;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(address_number(group));
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        reason = "the probe could not bind a port";
    } else if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
        reason = std::string("this machine refuses to join a multicast group on loopback: ") + std::strerror(errno);
    } else if (!Sender("127.0.0.1").send({1, 2, 3}, port, group)) {
        reason = std::string("this machine refuses to send to a multicast group on loopback: ") +
                 std::strerror(errno);
    } else {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 5000) != 1) {
            reason = "multicast datagrams sent on loopback do not come back on this machine";
        }
    }
    close(fd);
    return reason;
}

TEST_F(LibraryTest, MulticastGroupJoinedOnLoopbackIsHeard) {
    const char* group = "239.255.77.1";
    const uint16_t port = free_udp_port();
    const std::string unavailable = multicast_unavailable(group, port);
    if (!unavailable.empty()) {
        GTEST_SKIP() << unavailable;
    }
    PayloadRecorder recorder;
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartNetworkingMulticast(group, "127.0.0.1", port), VORLAN_SUCCESS);
    Sender sender("127.3.4.5");
    for (uint32_t i = 0; i < 10; ++i) {
        ASSERT_TRUE(sender.send(numbered(300, i), port, group));
    }
    ASSERT_TRUE(recorder.waitFor(10));
    const std::vector<Payload> payloads = recorder.payloads();
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(payloads[i].handle, address_number("127.3.4.5"));
        EXPECT_EQ(payloads[i].bytes, numbered(300, i));
    }
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_SUCCESS);
}

// A parser runs on the networking worker; stopping networking from there
// cannot wait for the worker, and must neither hang nor crash.
TEST_F(LibraryTest, ParserOnTheWorkerMayStopNetworking) {
    PayloadRecorder recorder;
    std::atomic<int> stopped{1};
    recorder.before_record = [&](const Payload&) {
        if (stopped.load() == 1) {
            stopped.store(VorlanStopNetworking());
        }
    };
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    const uint16_t port = free_udp_port();
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    ASSERT_TRUE(Sender("127.0.0.1").send({1}, port));
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(stopped.load(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE);
    // The worker closes its socket once the parser has returned.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(vorlan_test::udp_port_is_free(port));
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    ASSERT_TRUE(Sender("127.0.0.1").send({2}, port));
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.payloads()[1].bytes, std::vector<uint8_t>{2});
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_SUCCESS);
}

// The worker reads datagrams in bursts; a stop from a parser in the middle
// of one hands on nothing more of it, though more was read.
TEST_F(LibraryTest, StopFromTheWorkerEndsTheBurstUnderWay) {
    constexpr uint32_t kWaiting = 100;
    const uint16_t port = free_udp_port();
    std::atomic<bool> holding{false};
    std::atomic<bool> all_sent{false};
    std::atomic<int> stopped{1};
    PayloadRecorder recorder;
    recorder.before_record = [&](const Payload& payload) {
        if (payload.bytes == numbered(64, 0)) {
            // Holds the worker until the rest waits in the socket, so that
            // the next read takes a full burst.
            holding.store(true);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!all_sent.load() && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } else if (stopped.load() == 1) {
            stopped.store(VorlanStopNetworking());
        }
    };
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    Sender sender("127.0.0.1");
    ASSERT_TRUE(sender.send(numbered(64, 0), port));
    ASSERT_TRUE(vorlan_test::eventually([&] { return holding.load(); }));
    for (uint32_t i = 1; i <= kWaiting; ++i) {
        ASSERT_TRUE(sender.send(numbered(64, i), port));
    }
    all_sent.store(true);
    ASSERT_TRUE(recorder.waitFor(2));
    // The worker closes its socket once it has left the burst.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(vorlan_test::udp_port_is_free(port));
    EXPECT_EQ(stopped.load(), VORLAN_SUCCESS);
    const std::vector<Payload> payloads = recorder.payloads();
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[1].bytes, numbered(64, 1));
    uint64_t received = 0;
    ASSERT_EQ(VorlanGetNetworkCounts(&received, nullptr), VORLAN_SUCCESS);
    EXPECT_EQ(received, 2u);
}

TEST_F(LibraryTest, NetworkingStartsAndStopsRacingWithTrafficEndCleanly) {
    PayloadRecorder recorder;
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    const uint16_t port = free_udp_port();
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        Sender sender("127.0.0.1");
        for (uint32_t i = 0; !done.load(); ++i) {
            sender.send(numbered(200, i), port);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> clients;
    std::atomic<int> unexpected{0};
    for (int client = 0; client < 3; ++client) {
        clients.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                const int started = VorlanStartNetworkingOnPort(port);
                const int stopped = VorlanStopNetworking();
                if ((started != VORLAN_SUCCESS && started != VORLAN_ERROR_INVALID_STATE) ||
                    (stopped != VORLAN_SUCCESS && stopped != VORLAN_ERROR_INVALID_STATE)) {
                    unexpected.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    done.store(true);
    traffic.join();
    EXPECT_EQ(unexpected.load(), 0);
    // Every listener is gone, its socket closed with it.
    EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE);
    EXPECT_TRUE(UdpPortHolder(port).is_bound());
}

}  // namespace
}  // namespace vorlan_sdk2_test
