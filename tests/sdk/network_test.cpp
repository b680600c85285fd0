// Live UDP input on 127.0.0.1, on ports found free at run time.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core.h"
#include "network.h"
#include "support/udp_socket.h"
#include "vorlan_sdk.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::free_udp_port;
using vorlan_test::udp_port_is_free;
using vorlan_test::UdpPortHolder;
using vorlan_test::UdpSender;

constexpr VorlanSensorHandle kLoopbackHandle = 0x7F000001;
constexpr auto kPatience = std::chrono::seconds(10);

// Polls `done` until it holds or the generous bound passes.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Condition waits use the wall clock: its timed waits are the ones the thread
// sanitizer understands.
std::chrono::system_clock::time_point deadline() { return std::chrono::system_clock::now() + kPatience; }

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What the client's callbacks saw, in order, from whichever thread.
struct EventLog {
    struct Entry {
        std::string kind;  // "packet" or "error"
        VorlanSensorHandle handle = 0;
        int64_t timestamp = 0;
        std::string bytes;  // payload, or the error message
        std::thread::id thread;
    };

    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, size_t size,
                          void* self) {
        static_cast<EventLog*>(self)->add({"packet", handle, timestamp,
                                           std::string(reinterpret_cast<const char*>(data), size),
                                           std::this_thread::get_id()});
    }
    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode, const char* message, const void*, size_t,
                         void* self) {
        static_cast<EventLog*>(self)->add({"error", handle, 0, message, std::this_thread::get_id()});
    }

    void add(Entry entry) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(std::move(entry));
        changed.notify_all();
    }
    bool wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_until(lock, deadline(), [&] { return entries.size() >= count; });
    }
    std::vector<Entry> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Entry> entries;
};

class NetworkTest : public ::testing::Test {
protected:
    // Stops the worker before the objects its callbacks write to are gone.
    void TearDown() override { vorlan_sdk_deinitialize(); }

    static VorlanSensorErrorCode initialize(uint16_t port, VorlanSDKControl flags = 0,
                                            VorlanSensorErrorCallback cb = nullptr, void* user_data = nullptr) {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.port = port;
        options.control_flags = flags;
        return vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, cb, user_data);
    }

    EventLog m_log;

    static std::string last_error_message() {
        const char* message = nullptr;
        vorlan_sdk_get_error(&message);
        return message != nullptr ? message : "";
    }

    // Sends `text` to `port` and waits until `log` holds `count` entries.
    static bool deliver(EventLog& log, uint16_t port, const std::string& text, std::size_t count) {
        UdpSender sender(port);
        return sender.send(text.data(), text.size()) && log.wait_for(count);
    }
};

TEST_F(NetworkTest, DatagramArrivesStampedWithTheSenderAddressAsHandle) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(initialize(port), VORLAN_SUCCESS);
    EventLog& log = m_log;
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);

    const int64_t before = now_us();
    ASSERT_TRUE(deliver(log, port, "STDP payload", 1));
    const int64_t after = now_us();

    const EventLog::Entry entry = log.snapshot().at(0);
    EXPECT_EQ(entry.handle, kLoopbackHandle);
    EXPECT_EQ(entry.bytes, "STDP payload");
    EXPECT_GE(entry.timestamp, before);
    EXPECT_LE(entry.timestamp, after);
    EXPECT_NE(entry.thread, std::this_thread::get_id());
}

// The registry delivers queued errors before it decodes a packet, so an
// error queued beforehand shows when the registry saw the packet.
TEST_F(NetworkTest, PacketCallbackRunsOnTheWorkerBeforeTheRegistry) {
    const uint16_t port = free_udp_port();
    EventLog& log = m_log;
    ASSERT_EQ(initialize(port, 0, EventLog::on_error, &log), VORLAN_SUCCESS);
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);
    CallbackManager::instance().queue_error(5, VORLAN_ERROR_GENERIC, "queued before the packet");

    ASSERT_TRUE(deliver(log, port, "ping", 2));

    const std::vector<EventLog::Entry> entries = log.snapshot();
    EXPECT_EQ(entries[0].kind, "packet");
    EXPECT_EQ(entries[1].kind, "error");
    EXPECT_EQ(entries[1].bytes, "queued before the packet");
    EXPECT_EQ(entries[0].thread, entries[1].thread);
    EXPECT_NE(entries[0].thread, std::this_thread::get_id());
}

TEST_F(NetworkTest, EmptyDatagramDoesNotSilenceTheSocket) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(initialize(port), VORLAN_SUCCESS);
    EventLog& log = m_log;
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);

    UdpSender sender(port);
    ASSERT_TRUE(sender.send("", 0));
    ASSERT_TRUE(sender.send("after", 5));
    ASSERT_TRUE(log.wait_for(1));

    // The empty datagram carries nothing to decode and is not shown.
    EXPECT_EQ(log.snapshot().at(0).bytes, "after");
    ASSERT_TRUE(eventually([] { return NetworkManager::instance().get_statistics().received >= 1u; }));
    EXPECT_EQ(NetworkManager::instance().get_statistics().received, 1u);
}

TEST_F(NetworkTest, SetPortRebindsAndKeepsTheCallbacks) {
    const uint16_t first = free_udp_port();
    ASSERT_EQ(initialize(first), VORLAN_SUCCESS);
    EventLog& log = m_log;
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);
    ASSERT_TRUE(deliver(log, first, "one", 1));

    const uint16_t second = free_udp_port();
    ASSERT_EQ(vorlan_sdk_set_port(second), VORLAN_SUCCESS);
    EXPECT_EQ(vorlan_sdk_get_port(), second);
    EXPECT_TRUE(udp_port_is_free(first));
    EXPECT_FALSE(udp_port_is_free(second));

    ASSERT_TRUE(deliver(log, second, "two", 2));
    EXPECT_EQ(log.snapshot().at(1).bytes, "two");
}

TEST_F(NetworkTest, DisableNetworkFlagUnbindsAndClearingItBinds) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(initialize(port, VORLAN_SDK_CONTROL_DISABLE_NETWORK), VORLAN_SUCCESS);
    EXPECT_TRUE(udp_port_is_free(port));
    EXPECT_EQ(vorlan_sdk_get_port(), port);

    ASSERT_EQ(vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, 0), VORLAN_SUCCESS);
    EXPECT_FALSE(udp_port_is_free(port));
    EventLog& log = m_log;
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);
    ASSERT_TRUE(deliver(log, port, "live", 1));

    ASSERT_EQ(vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, VORLAN_SDK_CONTROL_DISABLE_NETWORK),
              VORLAN_SUCCESS);
    EXPECT_TRUE(udp_port_is_free(port));
    EXPECT_FALSE(NetworkManager::instance().is_running());
}

TEST_F(NetworkTest, DeinitializeUnbindsAndKeepsThePort) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(initialize(port), VORLAN_SUCCESS);
    EXPECT_FALSE(udp_port_is_free(port));
    ASSERT_EQ(vorlan_sdk_deinitialize(), VORLAN_SUCCESS);
    EXPECT_TRUE(udp_port_is_free(port));
    EXPECT_EQ(vorlan_sdk_get_port(), port);
}

// ---- A port that cannot be bound --------------------------------------------

class BusyPortTest : public NetworkTest {
protected:
    void SetUp() override {
        m_port = free_udp_port();
        m_holder = std::make_unique<UdpPortHolder>(m_port);
        ASSERT_TRUE(m_holder->is_bound());
    }

    // The library's error names the system's reason.
    void expect_address_in_use(VorlanSensorErrorCode code) {
        EXPECT_EQ(code, VORLAN_ERROR_COMMUNICATION);
        EXPECT_NE(last_error_message().find(std::system_category().message(EADDRINUSE)), std::string::npos)
            << last_error_message();
        EXPECT_FALSE(NetworkManager::instance().is_running());
    }

    uint16_t m_port = 0;
    std::unique_ptr<UdpPortHolder> m_holder;
};

TEST_F(BusyPortTest, InitializeFailsAndLeavesTheLibraryUninitialised) {
    expect_address_in_use(initialize(m_port));
    EXPECT_EQ(vorlan_sdk_is_initialized(), 0);

    m_holder->release();
    EventLog& log = m_log;
    ASSERT_EQ(initialize(m_port, 0, EventLog::on_error, &log), VORLAN_SUCCESS);
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);
    EXPECT_TRUE(deliver(log, m_port, "bound at last", 1));
}

TEST_F(BusyPortTest, SetPortFailsKeepsThePortAndRetriesOnTheNextChange) {
    const uint16_t free_port = free_udp_port();
    ASSERT_EQ(initialize(free_port), VORLAN_SUCCESS);
    EventLog& log = m_log;
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);

    expect_address_in_use(vorlan_sdk_set_port(m_port));
    EXPECT_EQ(vorlan_sdk_get_port(), m_port);
    EXPECT_TRUE(udp_port_is_free(free_port));
    EXPECT_EQ(vorlan_sdk_is_initialized(), 1);

    m_holder->release();
    ASSERT_EQ(vorlan_sdk_set_port(m_port), VORLAN_SUCCESS);
    EXPECT_TRUE(deliver(log, m_port, "retried", 1));
}

TEST_F(BusyPortTest, EnablingTheNetworkFailsKeepsTheFlagClearAndRetries) {
    ASSERT_EQ(initialize(m_port, VORLAN_SDK_CONTROL_DISABLE_NETWORK), VORLAN_SUCCESS);
    EventLog& log = m_log;
    ASSERT_EQ(vorlan_sdk_listen_network_packet(EventLog::on_packet, &log), VORLAN_SUCCESS);

    expect_address_in_use(vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, 0));
    EXPECT_EQ(vorlan_sdk_has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK), 0);

    m_holder->release();
    ASSERT_EQ(vorlan_sdk_set_port(m_port), VORLAN_SUCCESS);
    EXPECT_TRUE(deliver(log, m_port, "retried", 1));
}

// ---- Overload -------------------------------------------------------------

// For callback state that lives in a test body: lets the worker go (`release`)
// and stops it before that state is destroyed, also when an assertion ends
// the test early.
struct StopWorkerFirst {
    explicit StopWorkerFirst(std::function<void()> release = [] {}) : m_release(std::move(release)) {}
    ~StopWorkerFirst() {
        m_release();
        vorlan_sdk_deinitialize();
    }
    std::function<void()> m_release;
};

// Holds the worker inside the packet callback until released.
struct Gate {
    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, size_t size,
                          void* self) {
        Gate& gate = *static_cast<Gate*>(self);
        gate.log.on_packet(handle, timestamp, data, size, &gate.log);
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.is_held = true;
        gate.changed.notify_all();
        gate.changed.wait(lock, [&] { return gate.is_open; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex);
        is_open = true;
        changed.notify_all();
    }
    bool wait_until_held() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_until(lock, deadline(), [&] { return is_held; });
    }

    EventLog log;
    std::mutex mutex;
    std::condition_variable changed;
    bool is_held = false;
    bool is_open = false;
};

TEST_F(NetworkTest, BurstBeyondTheBacklogKeepsOnlyTheNewestPackets) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(initialize(port), VORLAN_SUCCESS);
    Gate gate;
    const StopWorkerFirst stop([&] { gate.open(); });
    ASSERT_EQ(vorlan_sdk_listen_network_packet(Gate::on_packet, &gate), VORLAN_SUCCESS);

    UdpSender sender(port);
    const std::string first = "0";
    ASSERT_TRUE(sender.send(first.data(), first.size()));
    ASSERT_TRUE(gate.wait_until_held());

    // Paced so that the kernel never drops any: every loss is the queue's.
    constexpr int kBurst = 1500;
    for (int i = 1; i <= kBurst; ++i) {
        const std::string text = std::to_string(i);
        ASSERT_TRUE(sender.send(text.data(), text.size()));
        if (i % 50 == 0) {
            ASSERT_TRUE(eventually([&] { return NetworkManager::instance().get_statistics().received >= 1u + i; }));
        }
    }
    ASSERT_TRUE(eventually([&] { return NetworkManager::instance().get_statistics().received == 1u + kBurst; }));
    // The first 1001 waiting packets were dropped when the 1002nd came.
    EXPECT_EQ(NetworkManager::instance().get_statistics().dropped, 1001u);

    gate.open();
    const std::size_t kept = kBurst - 1001;
    ASSERT_TRUE(gate.log.wait_for(1 + kept));
    const std::vector<EventLog::Entry> entries = gate.log.snapshot();
    ASSERT_EQ(entries.size(), 1 + kept);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].bytes, std::to_string(1001 + i)) << i;
    }
}

// ---- Restarts from the worker's own callbacks and at exit ----------------------

struct PortSwitcher {
    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, size_t size,
                          void* self) {
        PortSwitcher& switcher = *static_cast<PortSwitcher*>(self);
        if (switcher.result == 1) {
            switcher.result = vorlan_sdk_set_port(switcher.next_port);
        }
        switcher.log.on_packet(handle, timestamp, data, size, &switcher.log);
    }

    uint16_t next_port = 0;
    VorlanSensorErrorCode result = 1;  // written by the first packet only
    EventLog log;
};

TEST_F(NetworkTest, SetPortFromInsideThePacketCallbackRestartsTheWorker) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(initialize(port), VORLAN_SUCCESS);
    PortSwitcher switcher;
    const StopWorkerFirst stop;
    switcher.next_port = free_udp_port();
    ASSERT_EQ(vorlan_sdk_listen_network_packet(PortSwitcher::on_packet, &switcher), VORLAN_SUCCESS);

    ASSERT_TRUE(deliver(switcher.log, port, "switch", 1));
    EXPECT_EQ(switcher.result, VORLAN_SUCCESS);
    ASSERT_TRUE(deliver(switcher.log, switcher.next_port, "switched", 2));
    EXPECT_EQ(switcher.log.snapshot().at(1).bytes, "switched");
}

// Threads still running at exit would be destroyed joinable, which ends the
// process abnormally.
TEST(NetworkExitTest, ExitWithoutDeinitializeStopsTheThreads) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VorlanSDKOptions options = vorlan_sdk_create_options();
            options.port = free_udp_port();
            if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS) {
                std::exit(2);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "SDK not deinitialized!");
}

TEST(NetworkExitTest, NetworkManagerStopsItsOwnThreadsAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            NetworkManager& network = NetworkManager::instance();
            if (network.set_port(free_udp_port()).code() != VORLAN_SUCCESS || network.initialize().code() != VORLAN_SUCCESS ||
                !network.is_running()) {
                std::exit(2);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorlan_sdk
