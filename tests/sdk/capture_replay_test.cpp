#include "capture_replay.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

#include "support/capture_builder.h"
#include "support/eventually.h"
#include "vorlan_sdk.h"

namespace vorlan_sdk {
namespace {

using testing::HasSubstr;
using vorlan_test::Bytes;
using vorlan_test::CaptureBuilder;
using vorlan_test::ipv4;
using vorlan_test::test_payload;

constexpr int64_t kSecond = 1000000;
constexpr int64_t kStart = 1700000000 * kSecond;
constexpr uint32_t kSensor = ipv4(192, 168, 1, 2);
// Generous bound for anything a test waits for.
constexpr std::chrono::seconds kPatience{20};

// A UDP port nobody listens on at the moment, on the loopback interface.
uint16_t free_udp_port() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ADD_FAILURE() << "no free port";
    }
    close(fd);
    return ntohs(address.sin_port);
}

std::string last_error_message() {
    const char* message = "";
    vorlan_sdk_get_error(&message);
    return message;
}

struct Received {
    VorlanSensorHandle handle = 0;
    int64_t timestamp = 0;
    Bytes payload;
};

// What the network-packet callback saw, and a hook it runs for each packet.
class Recorder {
public:
    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* buffer, size_t size,
                          void* user_data) {
        auto* self = static_cast<Recorder*>(user_data);
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_packets.push_back({handle, timestamp, Bytes(buffer, buffer + size)});
            hook = self->m_hook;
        }
        self->m_changed.notify_all();
        if (hook) {
            hook();
        }
    }

    void set_hook(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_packets.clear();
    }
    std::vector<Received> packets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packets;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packets.size();
    }
    bool wait_for(std::size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] { return m_packets.size() >= n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Received> m_packets;
    std::function<void()> m_hook;
};

using vorlan_test::eventually;

class ReplayTest : public testing::Test {
protected:
    void SetUp() override {
        initialise();
        // The settings outlive a close; start every case from the defaults
        // (refused, as nothing is open, yet stored).
        vorlan_sdk_capture_replay_set_speed(1.0f);
        vorlan_sdk_capture_replay_set_enable_loop(0);
    }
    // The library without networking, its packets going to the recorder and
    // its errors to `on_error` (none when null).
    void initialise(VorlanSensorErrorCallback on_error = nullptr, void* user = nullptr) {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, user));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(&Recorder::on_packet, &m_recorder));
    }

    void TearDown() override {
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
        // Left looping, the replays of the tests after this one in the same
        // process (the whole binary run at once) would never end.
        vorlan_sdk_capture_replay_set_speed(1.0f);
        vorlan_sdk_capture_replay_set_enable_loop(0);
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    }

    // A capture of `n` packets `interval` µs apart, payload i seeded i.
    std::string write_capture(int n, int64_t interval, const std::string& name = "run.pcap") {
        CaptureBuilder builder;
        for (int i = 0; i < n; ++i) {
            builder.udp(kStart + i * interval, kSensor, test_payload(64, uint8_t(i)));
        }
        const std::string path = m_dir.file(name);
        builder.write(path);
        return path;
    }
    std::string open_capture(int n, int64_t interval) {
        const std::string path = write_capture(n, interval);
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        return path;
    }
    // The payload seeds of what the callback saw, in order.
    std::vector<int> seeds() {
        std::vector<int> out;
        for (const Received& packet : m_recorder.packets()) {
            out.push_back(packet.payload.empty() ? -1 : packet.payload[0]);
        }
        return out;
    }

    vorlan_test::TemporaryDirectory m_dir;
    Recorder m_recorder;
};

std::vector<int> range(int first, int end) {
    std::vector<int> out;
    for (int i = first; i < end; ++i) {
        out.push_back(i);
    }
    return out;
}

// ---- Guarded functions ---------------------------------------------------------

TEST(ReplayUninitialised, GuardedFunctionsRefuseAndGettersAnswer) {
    const std::function<VorlanSensorErrorCode()> guarded[] = {
        [] { return vorlan_sdk_capture_replay_open("x.pcap"); },
        [] { return vorlan_sdk_capture_replay_rewind(); },
        [] { return vorlan_sdk_capture_replay_seek(1.0f); },
        [] { return vorlan_sdk_capture_replay_set_enable_loop(1); },
        [] { return vorlan_sdk_capture_replay_set_speed(1.0f); },
        [] { return vorlan_sdk_capture_replay_resume(); },
        [] { return vorlan_sdk_capture_replay_resume_blocking_once(); },
        [] { return vorlan_sdk_capture_replay_resume_blocking(1.0f); },
        [] { return vorlan_sdk_capture_replay_pause(); },
    };
    for (const auto& call : guarded) {
        EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, call());
    }
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
    EXPECT_STREQ("", vorlan_sdk_capture_replay_get_filename());
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_get_start_time());
    EXPECT_EQ(0.0f, vorlan_sdk_capture_replay_get_length());
}

// ---- Opening and closing ---------------------------------------------------------

TEST_F(ReplayTest, OpenDisablesTheNetworkAndStandsPausedAtTheStart) {
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.port = free_udp_port();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    ASSERT_EQ(0, vorlan_sdk_has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK));

    const std::string path = open_capture(5, 250000);
    EXPECT_EQ(1, vorlan_sdk_has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK));
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_open());
    EXPECT_EQ(path, vorlan_sdk_capture_replay_get_filename());
    EXPECT_EQ(kStart, vorlan_sdk_capture_replay_get_start_time());
    EXPECT_FLOAT_EQ(1.0f, vorlan_sdk_capture_replay_get_length());
    EXPECT_EQ(0.0f, vorlan_sdk_capture_replay_get_position());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());

    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ(0.0f, vorlan_sdk_capture_replay_get_length());
    // The live network stays off until the client turns it on.
    EXPECT_EQ(1, vorlan_sdk_has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
}

TEST_F(ReplayTest, FailedOpenLeavesTheReplayClosed) {
    const std::string empty = m_dir.file("empty.pcap");
    CaptureBuilder().write(empty);
    const std::string text = m_dir.file("text.pcap");
    vorlan_test::write_file(text, Bytes(64, 'a'));
    struct Case {
        const char* path;
        VorlanSensorErrorCode code;
        const char* message;
    };
    const std::string missing = m_dir.file("missing.pcap");
    const Case cases[] = {
        {missing.c_str(), VORLAN_ERROR_FILE_IO, ""},
        {text.c_str(), VORLAN_ERROR_INVALID_FILE_TYPE, ""},
        {empty.c_str(), VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid seek position!"},
        {nullptr, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid file name!"},
    };
    for (const Case& c : cases) {
        // Each failure also closes what was open before.
        open_capture(3, 1000);
        EXPECT_EQ(c.code, vorlan_sdk_capture_replay_open(c.path));
        EXPECT_THAT(last_error_message(), HasSubstr(c.message));
        EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
        EXPECT_EQ(1, vorlan_sdk_capture_replay_is_end());
        EXPECT_STREQ("", vorlan_sdk_capture_replay_get_filename());
    }
}

TEST_F(ReplayTest, NothingOpenRefusesTheReplayFunctions) {
    const std::function<VorlanSensorErrorCode()> calls[] = {
        [] { return vorlan_sdk_capture_replay_rewind(); },
        [] { return vorlan_sdk_capture_replay_seek(0.5f); },
        [] { return vorlan_sdk_capture_replay_resume(); },
        [] { return vorlan_sdk_capture_replay_resume_blocking_once(); },
        [] { return vorlan_sdk_capture_replay_resume_blocking(1.0f); },
        [] { return vorlan_sdk_capture_replay_pause(); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(VORLAN_ERROR_NOT_OPEN, call());
        EXPECT_THAT(last_error_message(), HasSubstr("Not open!"));
    }
    // The settings are still stored.
    EXPECT_EQ(VORLAN_ERROR_NOT_OPEN, vorlan_sdk_capture_replay_set_speed(2.0f));
    EXPECT_EQ(2.0f, vorlan_sdk_capture_replay_get_speed());
    EXPECT_EQ(VORLAN_ERROR_NOT_OPEN, vorlan_sdk_capture_replay_set_enable_loop(7));
    EXPECT_EQ(1, vorlan_sdk_capture_replay_get_enable_loop());
}

TEST_F(ReplayTest, StartTimeCountsTheTimeZoneOnce) {
    const std::string path = m_dir.file("zone.pcap");
    CaptureBuilder(3600).udp(kStart, kSensor, test_payload(8, 0)).udp(kStart + 10, kSensor, test_payload(8, 1)).write(path);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str()));
    EXPECT_EQ(kStart + 3600 * kSecond, vorlan_sdk_capture_replay_get_start_time());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(kStart + 3600 * kSecond, m_recorder.packets().at(0).timestamp);
}

TEST_F(ReplayTest, OnePacketCaptureReplays) {
    open_capture(1, 0);
    EXPECT_EQ(0.0f, vorlan_sdk_capture_replay_get_length());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(VORLAN_ERROR_EOF, vorlan_sdk_capture_replay_resume_blocking_once());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_rewind());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(2u, m_recorder.count());
}

// ---- Stepping --------------------------------------------------------------------

TEST_F(ReplayTest, SingleStepsFeedEveryPacketThenReportTheEnd) {
    open_capture(4, 1000);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once()) << last_error_message();
        EXPECT_FLOAT_EQ(i * 0.001f, vorlan_sdk_capture_replay_get_position());
    }
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ(VORLAN_ERROR_EOF, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ(VORLAN_ERROR_EOF, vorlan_sdk_capture_replay_resume_blocking(1.0f));

    const std::vector<Received> packets = m_recorder.packets();
    ASSERT_EQ(4u, packets.size());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(VORLAN_SENSOR_HANDLE_FLAG_MOCK | kSensor, packets[i].handle);
        EXPECT_EQ(kStart + i * 1000, packets[i].timestamp);
        EXPECT_EQ(test_payload(64, uint8_t(i)), packets[i].payload);
    }

    // With looping the next step starts over.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 0}), seeds());
}

TEST_F(ReplayTest, EveryLoopingStepFeedsAPacket) {
    open_capture(3, 1000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
        EXPECT_EQ(std::size_t(i + 1), m_recorder.count());
    }
    EXPECT_EQ((std::vector<int>{0, 1, 2, 0, 1, 2, 0}), seeds());

    // A capture without a single datagram ends the step instead of
    // looping for ever.
    const std::string path = m_dir.file("no_datagrams.pcap");
    vorlan_test::FrameOptions tcp;
    tcp.protocol = 6;
    CaptureBuilder()
        .record(kStart, vorlan_test::udp_frame(tcp, test_payload(8, 0)))
        .record(kStart + 10, vorlan_test::udp_frame(tcp, test_payload(8, 0)))
        .write(path);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str()));
    EXPECT_EQ(VORLAN_ERROR_EOF, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(7u, m_recorder.count());
}

TEST_F(ReplayTest, SpanStepsFeedUpToThePacketThatCrossesTheSpan) {
    CaptureBuilder builder;
    const int64_t times[] = {0, 0, 0, 100000, 200000, 300000, 400000, 500000};
    for (std::size_t i = 0; i < std::size(times); ++i) {
        builder.udp(kStart + times[i], kSensor, test_payload(16, uint8_t(i)));
    }
    const std::string path = m_dir.file("span.pcap");
    builder.write(path);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str()));

    // Packets sharing the start time all belong to a span of 0.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(0.0f));
    EXPECT_EQ(range(0, 4), seeds());
    // From 0.1 s: 0.2 and 0.3 lie within 0.2 s, 0.4 crosses.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(0.2f));
    EXPECT_EQ(range(0, 7), seeds());
    // The end of the file ends a span, without wrapping around.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
    EXPECT_EQ(range(0, 8), seeds());
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_end());

    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_capture_replay_resume_blocking(-0.5f));
    EXPECT_THAT(last_error_message(), HasSubstr("Invalid duration!"));
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS,
              vorlan_sdk_capture_replay_resume_blocking(std::numeric_limits<float>::quiet_NaN()));
}

// The errors the error callback was given.
class ErrorLog {
public:
    struct Entry {
        VorlanSensorHandle handle = 0;
        VorlanSensorErrorCode code = VORLAN_SUCCESS;
        std::string message;
    };
    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void*,
                         size_t, void* user_data) {
        auto* self = static_cast<ErrorLog*>(user_data);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_entries.push_back({handle, code, message != nullptr ? message : ""});
    }
    std::vector<Entry> entries() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

// A capture whose last record runs past the end of the file, cut short or
// with one bit of its stored length flipped, plays every packet before it,
// stepped or on the replay thread, and says where it stopped: a step
// returns the error, the thread ends with it on the error callback, and a
// looping thread tells it once and goes on from the start.
TEST_F(ReplayTest, CaptureEndingInsideARecordPlaysWhatThereIsAndSaysWhere) {
    ErrorLog errors;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    initialise(&ErrorLog::on_error, &errors);
    if (HasFatalFailure()) {
        return;
    }

    CaptureBuilder builder;
    for (int i = 0; i < 3; ++i) {
        builder.udp(kStart + i * 1000, kSensor, test_payload(64, uint8_t(i)));
    }
    const std::size_t damaged = builder.size();
    builder.udp(kStart + 3000, kSensor, test_payload(64, 3));
    Bytes cut = builder.bytes();
    cut.resize(cut.size() - 20);
    Bytes flipped = builder.bytes();
    flipped[damaged + 10] ^= 0x01;  // the stored length grows by 64 KiB
    enum class Mode { steps, thread, looping_thread };
    struct Case {
        const char* name;
        const Bytes* bytes;
        Mode mode;
    };
    const Case cases[] = {
        {"cut, stepped", &cut, Mode::steps},
        {"flipped, stepped", &flipped, Mode::steps},
        {"cut, thread", &cut, Mode::thread},
        {"flipped, thread", &flipped, Mode::thread},
        {"flipped, looping thread", &flipped, Mode::looping_thread},
    };
    const std::string where = "at 0.003000 s (record at byte " + std::to_string(damaged) + ")";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_recorder.clear();
        errors.clear();
        const std::string path = m_dir.file(std::string(c.name) + ".pcap");
        vorlan_test::write_file(path, *c.bytes);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        EXPECT_FLOAT_EQ(0.002f, vorlan_sdk_capture_replay_get_length());
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(c.mode == Mode::looping_thread));
        if (c.mode == Mode::steps) {
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
            }
            EXPECT_EQ(VORLAN_ERROR_FILE_IO, vorlan_sdk_capture_replay_resume_blocking_once());
            EXPECT_THAT(last_error_message(), HasSubstr(where));
            EXPECT_EQ(VORLAN_ERROR_EOF, vorlan_sdk_capture_replay_resume_blocking_once());
            EXPECT_EQ(range(0, 3), seeds());
            continue;
        }
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
        if (c.mode == Mode::thread) {
            ASSERT_TRUE(eventually([&] { return !errors.entries().empty(); }));
            EXPECT_EQ(range(0, 3), seeds());
            // Not the end of the file: a client polling for it would take a
            // damaged capture for a whole one.
            EXPECT_EQ(0, vorlan_sdk_capture_replay_is_end());
        } else {
            ASSERT_TRUE(m_recorder.wait_for(10));
        }
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
        // The capture holds no sensor packet, which is told apart.
        std::vector<ErrorLog::Entry> reported;
        int no_sensor = 0;
        for (const ErrorLog::Entry& entry : errors.entries()) {
            if (entry.code == VORLAN_ERROR_INVALID_FILE_TYPE) {
                EXPECT_THAT(entry.message, HasSubstr("no sensor datagram"));
                ++no_sensor;
            } else {
                reported.push_back(entry);
            }
        }
        EXPECT_EQ(1, no_sensor);
        ASSERT_EQ(1u, reported.size());
        EXPECT_EQ(0u, reported[0].handle);
        EXPECT_EQ(VORLAN_ERROR_FILE_IO, reported[0].code);
        EXPECT_THAT(reported[0].message, HasSubstr(where));
        const std::vector<int> seen = seeds();
        for (std::size_t i = 0; i < seen.size(); ++i) {
            ASSERT_EQ(int(i % 3), seen[i]) << i;
        }
    }
}

// Packets that all share one time make a capture of length 0: looping it at
// a non-zero speed must pace the passes, not spin through them.
TEST_F(ReplayTest, LoopingCaptureOfOneInstantIsPacedNotSpun) {
    open_capture(2, 0);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(5.0f));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    // Six passes: five waits for the next pass, each the shortest pass at
    // five times real speed. Only the lower bound is checked.
    ASSERT_TRUE(m_recorder.wait_for(12));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
    EXPECT_GE(elapsed, 5 * std::chrono::microseconds(CaptureReplay::kMinLoopPassMicroseconds / 5));
    const std::vector<int> seen = seeds();
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(int(i % 2), seen[i]) << i;
    }
}

// Captured traffic plays through the receive path with the sender as handle
// and each datagram's captured time; records without a datagram are counted.
// (The link layers and header forms themselves are the shared reader's and
// tested with it; two of them here show replay assumes none.)
TEST_F(ReplayTest, CapturedTrafficPlaysThroughTheReceivePath) {
    using vorlan_test::FrameOptions;
    using vorlan_test::LinkLayer;
    struct Case {
        const char* name;
        LinkLayer link;
        int outer_vlan;
        int vlan;
        uint8_t option_words;
    };
    const Case cases[] = {
        {"two vlan tags and options", LinkLayer::ethernet, 3, 4, 3},
        {"linux cooked v2", LinkLayer::linux_cooked2, -1, -1, 1},
    };
    constexpr uint32_t kOther = ipv4(192, 168, 1, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_recorder.clear();
        FrameOptions options;
        options.link = c.link;
        options.outer_vlan = c.outer_vlan;
        options.vlan = c.vlan;
        options.ip_option_words = c.option_words;
        options.source = kSensor;
        FrameOptions other = options;
        other.source = kOther;
        FrameOptions tcp = options;
        tcp.protocol = 6;
        // Fragments of two senders' datagrams, interleaved and out of order,
        // around whole datagrams and a record that is not UDP.
        const auto a = vorlan_test::udp_fragments(options, test_payload(3000, 1), 1480);
        const auto b = vorlan_test::udp_fragments(other, test_payload(2000, 2), 1480);
        CaptureBuilder builder(0, CaptureBuilder::kMicrosecondMagic, c.link);
        builder.record(kStart, vorlan_test::udp_frame(options, test_payload(10, 0)));
        builder.record(kStart + 1000, a[1]).record(kStart + 1001, b[0]).record(kStart + 1002, a[0]);
        builder.record(kStart + 1003, vorlan_test::udp_frame(tcp, test_payload(10, 9)));
        builder.record(kStart + 1004, b[1]).record(kStart + 1005, a[2]);
        builder.record(kStart + 2000, vorlan_test::udp_frame(other, test_payload(10, 3)));
        const std::string path = m_dir.file(std::string(c.name) + ".pcap");
        builder.write(path);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
        EXPECT_EQ((std::vector<int>{0, 2, 1, 3}), seeds());
        const std::vector<Received> packets = m_recorder.packets();
        ASSERT_EQ(4u, packets.size());
        const VorlanSensorHandle handles[] = {kSensor, kOther, kSensor, kOther};
        const int64_t times[] = {kStart, kStart + 1001, kStart + 1000, kStart + 2000};
        for (std::size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(VORLAN_SENSOR_HANDLE_FLAG_MOCK | handles[i], packets[i].handle) << i;
            EXPECT_EQ(times[i], packets[i].timestamp) << i;
        }
        EXPECT_EQ(test_payload(3000, 1), packets[2].payload);
        const vorlan_capture::SkipCounters counters = CaptureReplay::instance().skip_counters();
        EXPECT_EQ(1u, counters.not_udp);
        EXPECT_EQ(1u, counters.total());
    }
}

// ---- Seeking and settings ---------------------------------------------------------

TEST_F(ReplayTest, SeekMovesToThePacketAtOrAfterThePosition) {
    open_capture(10, 100000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_seek(0.15f));
    EXPECT_FLOAT_EQ(0.2f, vorlan_sdk_capture_replay_get_position());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(std::vector<int>{2}, seeds());

    const float refused[] = {0.9f, 1.0f, -0.1f, std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), 1e30f};
    for (float position : refused) {
        SCOPED_TRACE(position);
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_capture_replay_seek(position));
        EXPECT_THAT(last_error_message(), HasSubstr("Invalid seek position!"));
        EXPECT_FLOAT_EQ(0.2f, vorlan_sdk_capture_replay_get_position());
    }

    // A seek leaves the end of the file.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_end());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_rewind());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_end());
    EXPECT_EQ(0.0f, vorlan_sdk_capture_replay_get_position());
}

TEST_F(ReplayTest, SpeedMustBeZeroOrWithinRange) {
    open_capture(3, 1000);
    struct Case {
        float speed;
        VorlanSensorErrorCode code;
    };
    const Case cases[] = {
        {0.0f, VORLAN_SUCCESS},
        {5.0f, VORLAN_SUCCESS},
        {0.5f, VORLAN_SUCCESS},
        {1e-6f, VORLAN_ERROR_INVALID_ARGUMENTS},
        {5.000001f, VORLAN_ERROR_INVALID_ARGUMENTS},
        {-1.0f, VORLAN_ERROR_INVALID_ARGUMENTS},
        {std::numeric_limits<float>::quiet_NaN(), VORLAN_ERROR_INVALID_ARGUMENTS},
        {std::numeric_limits<float>::infinity(), VORLAN_ERROR_INVALID_ARGUMENTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.speed);
        const float before = vorlan_sdk_capture_replay_get_speed();
        EXPECT_EQ(c.code, vorlan_sdk_capture_replay_set_speed(c.speed));
        if (c.code == VORLAN_SUCCESS) {
            EXPECT_EQ(c.speed, vorlan_sdk_capture_replay_get_speed());
        } else {
            EXPECT_THAT(last_error_message(), HasSubstr("Invalid speed!"));
            EXPECT_EQ(before, vorlan_sdk_capture_replay_get_speed());
        }
    }
}

// ---- The replay thread --------------------------------------------------------------

TEST_F(ReplayTest, ThreadReplaysTheWholeCaptureAndStaysRunningAtTheEnd) {
    open_capture(50, 1000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    ASSERT_TRUE(eventually([] { return vorlan_sdk_capture_replay_is_end() == 1; }));
    EXPECT_EQ(range(0, 50), seeds());
    EXPECT_EQ(1, vorlan_sdk_capture_replay_is_running());
    EXPECT_EQ(VORLAN_ERROR_GENERIC, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_THAT(last_error_message(), HasSubstr("Already running!"));
    EXPECT_EQ(VORLAN_ERROR_GENERIC, vorlan_sdk_capture_replay_resume_blocking(1.0f));

    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());
    EXPECT_EQ(VORLAN_ERROR_EOF, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_EQ(50u, m_recorder.count());
}

TEST_F(ReplayTest, ThreadPacesByTheRecordedTimes) {
    // 0.4 s of capture at double speed: never faster than 0.2 s of wall time
    // (only a lower bound is checked: a loaded machine may be slower).
    open_capture(5, 100000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(2.0f));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    ASSERT_TRUE(eventually([] { return vorlan_sdk_capture_replay_is_end() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(range(0, 5), seeds());
}

// Paced replay across a jump of the capture's time, either way, starts its
// pacing afresh instead of waiting the jump out; a step back is paced from
// where it lands rather than played in a burst until the capture's time
// catches up. The length spans the earliest record to the latest.
TEST_F(ReplayTest, PacedReplayGoesOnPastAJumpOfTheCapturesTime) {
    constexpr int64_t kJump = 4096 * kSecond;
    struct Case {
        const char* name;
        int64_t interval;
        int64_t step;  // added from record 10 on
        int64_t length;
        std::chrono::milliseconds at_least;  // of wall time at speed 5
    };
    const Case cases[] = {
        {"forward jump", 1000, kJump, kJump + 19000, std::chrono::milliseconds(0)},
        {"backward jump", 1000, -kJump, kJump - 1000, std::chrono::milliseconds(0)},
        // Each half lasts 0.9 s of capture time, 0.18 s at speed 5.
        {"a step back of half a second", 100000, -1500000, 1400000, std::chrono::milliseconds(355)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder builder;
        for (int i = 0; i < 20; ++i) {
            builder.udp(kStart + i * c.interval + (i >= 10 ? c.step : 0), kSensor, test_payload(64, uint8_t(i)));
        }
        const std::string path = m_dir.file(std::string(c.name) + ".pcap");
        builder.write(path);
        m_recorder.clear();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(5.0f));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
        ASSERT_TRUE(eventually([] { return vorlan_sdk_capture_replay_is_end() == 1; })) << "the jump was waited out";
        EXPECT_GE(std::chrono::steady_clock::now() - start, c.at_least);
        EXPECT_EQ(range(0, 20), seeds());
        EXPECT_FLOAT_EQ(float(double(c.length) * 1e-6), vorlan_sdk_capture_replay_get_length());
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
    }
}

// A blocking span is the capture's time played: where the time steps back
// (captures merged by appending), the span goes on from where it lands
// instead of playing on until the time is back past the span's start.
TEST_F(ReplayTest, BlockingSpanCountsTheTimePlayedAcrossAStepBack) {
    CaptureBuilder builder;
    const int64_t times[] = {0, 100000, 200000, -5000000, -4900000, -4800000, -4700000};
    for (std::size_t i = 0; i < std::size(times); ++i) {
        builder.udp(kStart + times[i], kSensor, test_payload(16, uint8_t(i)));
    }
    const std::string path = m_dir.file("merged.pcap");
    builder.write(path);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(0.15f));
    EXPECT_EQ(range(0, 3), seeds());
    // Across the step back: 0.1 and 0.2 s played after it, the second crosses.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(0.15f));
    EXPECT_EQ(range(0, 6), seeds());
}

TEST_F(ReplayTest, PauseStopsAPacingThreadPromptly) {
    // Packets 0.9 s apart at the slowest pace that still sleeps: a pause must
    // not wait for the sleep to end, nor lose the packet being paced.
    open_capture(3, 900000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    ASSERT_TRUE(m_recorder.wait_for(1));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
    EXPECT_EQ(range(0, 3), seeds());
}

TEST_F(ReplayTest, LoopingThreadStartsOverAtTheEnd) {
    open_capture(5, 1000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    ASSERT_TRUE(m_recorder.wait_for(17));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
    const std::vector<int> seen = seeds();
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(int(i % 5), seen[i]) << i;
    }
}

TEST_F(ReplayTest, ReopeningAndDeinitialisingStopTheThread) {
    open_capture(10, 1000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    ASSERT_TRUE(m_recorder.wait_for(1));
    const std::string other = write_capture(3, 1000, "other.pcap");
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(other.c_str()));
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());
    EXPECT_EQ(other, vorlan_sdk_capture_replay_get_filename());
    EXPECT_EQ(0.0f, vorlan_sdk_capture_replay_get_position());

    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
}

// ---- Callbacks calling back in --------------------------------------------------------

TEST_F(ReplayTest, CallbackMayQueryTheReplayWhileAPacketIsDelivered) {
    open_capture(3, 500000);
    std::vector<float> positions;
    m_recorder.set_hook([&] { positions.push_back(vorlan_sdk_capture_replay_get_position()); });
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
    EXPECT_EQ((std::vector<float>{0.0f, 0.5f, 1.0f}), positions);
}

TEST_F(ReplayTest, CallbackMayCloseTheCaptureDuringAStep) {
    open_capture(3, 1000);
    m_recorder.set_hook([] { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close()); });
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
    EXPECT_EQ(1u, m_recorder.count());
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
}

TEST_F(ReplayTest, CallbackInsideAStepMayNotResume) {
    // The replay thread would overtake the packet being delivered.
    open_capture(3, 1000);
    m_recorder.set_hook([] {
        EXPECT_EQ(VORLAN_ERROR_GENERIC, vorlan_sdk_capture_replay_resume());
        EXPECT_EQ(0, vorlan_sdk_capture_replay_is_running());
    });
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(100.0f));
    EXPECT_EQ(range(0, 3), seeds());
}

TEST_F(ReplayTest, CallbackOnTheReplayThreadMayPauseCloseOrReopen) {
    const std::string other = write_capture(2, 1000, "other.pcap");
    struct Case {
        const char* name;
        std::function<void()> hook;
        int open_after;
    };
    const Case cases[] = {
        {"pause", [] { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause()); }, 1},
        {"seek", [] { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_seek(0.0f)); }, 1},
        {"close", [] { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close()); }, 0},
        {"reopen", [&] { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(other.c_str())); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open_capture(5, 1000);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
        std::atomic<bool> once{false};
        std::atomic<bool> done{false};
        m_recorder.set_hook([&] {
            if (!once.exchange(true)) {
                c.hook();
                done = true;
            }
        });
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
        ASSERT_TRUE(eventually([&] { return done.load(); }));
        // The seek keeps the thread going; the others stop it.
        if (std::string(c.name) == "seek") {
            ASSERT_TRUE(eventually([] { return vorlan_sdk_capture_replay_is_end() == 1; }));
        } else {
            ASSERT_TRUE(eventually([] { return vorlan_sdk_capture_replay_is_running() == 0; }));
        }
        EXPECT_EQ(c.open_after, vorlan_sdk_capture_replay_is_open());
        m_recorder.set_hook(nullptr);
        vorlan_sdk_capture_replay_pause();
    }
}

// ---- Several client threads ----------------------------------------------------------------

TEST_F(ReplayTest, StepsFromSeveralThreadsFeedEachPacketOnce) {
    const int n = 200;
    open_capture(n, 1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([] {
            while (vorlan_sdk_capture_replay_resume_blocking_once() == VORLAN_SUCCESS) {
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(range(0, n), seeds());
}

TEST_F(ReplayTest, ClientsMayQueryAndControlWhileTheThreadRuns) {
    open_capture(30, 1000);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_enable_loop(1));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            EXPECT_LE(vorlan_sdk_capture_replay_get_position(), vorlan_sdk_capture_replay_get_length());
            vorlan_sdk_capture_replay_get_filename();
            vorlan_sdk_capture_replay_is_end();
            vorlan_sdk_capture_replay_get_speed();
        }
    });
    std::thread controller([&] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_seek(0.001f * float(i % 10)));
            EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(i % 2 == 0 ? 0.0f : 5.0f));
            vorlan_sdk_capture_replay_resume_blocking_once();  // refused while running, or a step
            if (i % 5 == 0) {
                EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
                EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
                EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
            }
        }
    });
    controller.join();
    stop = true;
    reader.join();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
    EXPECT_GT(m_recorder.count(), 0u);
}

// ---- What reading leaves out ---------------------------------------------------

// A record of zero bytes past the start that open checks: playing steps over
// it and says so through the error queue as soon as it has (not only when
// the indexer gets there, nor only at the end), once per capture opened,
// stepped or on the replay thread.
TEST_F(ReplayTest, ARecordOfZeroBytesIsToldOnceWhenPlayingStepsOverIt) {
    ErrorLog errors;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    initialise(&ErrorLog::on_error, &errors);
    if (HasFatalFailure()) {
        return;
    }

    constexpr int kRecords = 1500;  // of about a kilobyte: past the first MiB
    constexpr int kBefore = 1200;   // records before the empty one
    CaptureBuilder builder;
    std::size_t offset = 0;
    for (int i = 0; i < kRecords; ++i) {
        if (i == kBefore) {
            offset = builder.size();
            builder.record(kStart + i * 1000, Bytes());
        }
        builder.udp(kStart + i * 1000, kSensor, test_payload(1000, uint8_t(i)));
    }
    const std::string told = ": a record of zero bytes at byte " + std::to_string(offset) + " (1.200000 s)";
    const auto times_told = [&] {
        std::size_t n = 0;
        for (const ErrorLog::Entry& entry : errors.entries()) {
            if (entry.message.find(told) != std::string::npos) {
                EXPECT_EQ(VORLAN_ERROR_CORRUPT_FILE, entry.code);
                EXPECT_EQ(0u, entry.handle);
                ++n;
            }
        }
        return n;
    };
    struct Case {
        const char* name;
        bool stepped;
    };
    for (const Case c : {Case{"stepped", true}, Case{"on the replay thread", false}}) {
        SCOPED_TRACE(c.name);
        errors.clear();
        m_recorder.clear();
        const std::string path = m_dir.file(std::string(c.name) + ".pcap");
        builder.write(path);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(0.0f));
        if (c.stepped) {
            while (m_recorder.count() < std::size_t(kBefore + 1)) {
                ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking_once());
            }
            EXPECT_EQ(1u, times_told());  // with the packet after it
        }
        for (int pass = 0; pass < 2; ++pass) {
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
            ASSERT_TRUE(eventually([] { return vorlan_sdk_capture_replay_is_end() == 1; }));
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_rewind());
        }
        EXPECT_EQ(1u, times_told());
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
    }
}

// A mirror port doubled every packet of a sensor: the copies are dropped
// (or kept when asked), counted, and told once at the end; a capture with
// no sensor packet says what it holds.
TEST_F(ReplayTest, CopiesAreDroppedCountedAndToldAndACaptureWithoutSensorsSaysWhatItHolds) {
    ErrorLog errors;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    initialise(&ErrorLog::on_error, &errors);
    if (HasFatalFailure()) {
        return;
    }

    CaptureBuilder doubled;
    for (int i = 0; i < 6; ++i) {
        Bytes payload = test_payload(64, uint8_t(i));
        std::memcpy(payload.data(), "NMEA", 4);
        doubled.udp(kStart + i * 1000, kSensor, payload).udp(kStart + i * 1000 + 3, kSensor, payload);
    }
    CaptureBuilder noise;
    for (int i = 0; i < 3; ++i) {
        noise.udp(kStart + i * 1000, kSensor, test_payload(64, uint8_t(i)));
    }
    struct Case {
        const char* name;
        const CaptureBuilder* capture;
        int keep;
        std::size_t delivered;
        uint64_t duplicates;
        VorlanSensorErrorCode reported;
        const char* message;
    };
    const Case cases[] = {
        {"copies dropped", &doubled, 0, 6, 6, VORLAN_ERROR_CORRUPT_FILE, "6 duplicated sensor datagrams dropped"},
        {"copies kept", &doubled, 1, 12, 0, VORLAN_SUCCESS, ""},
        {"no sensor", &noise, 0, 3, 0, VORLAN_ERROR_INVALID_FILE_TYPE,
         "no sensor datagram in the capture: 3 UDP datagrams to port 8808; none from a sensor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_recorder.clear();
        errors.clear();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_keep_duplicates(c.keep));
        EXPECT_EQ(c.keep, vorlan_sdk_capture_replay_get_keep_duplicates());
        const std::string path = m_dir.file(std::string(c.name) + ".pcap");
        c.capture->write(path);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        for (int pass = 0; pass < 2; ++pass) {
            // Told once per capture opened, not per pass.
            while (vorlan_sdk_capture_replay_resume_blocking_once() == VORLAN_SUCCESS) {
            }
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_rewind());
        }
        EXPECT_EQ(2 * c.delivered, m_recorder.packets().size());
        EXPECT_EQ(2 * c.duplicates, vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_DUPLICATES));
        EXPECT_EQ(2 * c.delivered, vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_DATAGRAMS));
        const std::vector<ErrorLog::Entry> reported = errors.entries();
        if (c.reported == VORLAN_SUCCESS) {
            EXPECT_TRUE(reported.empty());
        } else {
            ASSERT_EQ(1u, reported.size());
            EXPECT_EQ(0u, reported[0].handle);
            EXPECT_EQ(c.reported, reported[0].code);
            EXPECT_THAT(reported[0].message, HasSubstr(path + ": "));
            EXPECT_THAT(reported[0].message, HasSubstr(c.message));
        }
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
    }
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_keep_duplicates(0));
    EXPECT_EQ(0u, vorlan_sdk_capture_replay_get_count(99));
}

}  // namespace
}  // namespace vorlan_sdk
