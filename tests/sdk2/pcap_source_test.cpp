#include "pcap_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework.h"
#include "library_fixture.h"
#include "payload_recorder.h"
#include "support/capture_builder.h"
#include "support/capture_forms.h"
#include "support/eventually.h"
#include "support/held_gate.h"
#include "support/point_packet_builder.h"

namespace {

using namespace vorlan_test;
using vorlan_sdk2_test::LibraryTest;
using vorlan_sdk2::kLoadAutoReplay;
using vorlan_sdk2::kLoadNoIndexing;
using vorlan_sdk2::kLoadPaused;

constexpr int64_t kStart = 1700000000LL * 1000000;
constexpr uint32_t kSensorA = ipv4(192, 168, 1, 10);
constexpr uint32_t kSensorB = ipv4(10, 0, 0, 7);
constexpr auto kBound = std::chrono::seconds(30);

// Every payload the parser chain was given, in order; a client parser that
// takes them all.
class Payloads {
public:
    struct Payload {
        uint64_t handle;
        int64_t timestamp;
        Bytes bytes;
    };

    Payloads() { EXPECT_EQ(VorlanRegisterParser(&Payloads::take, this), VORLAN_SUCCESS); }
    // Client parsers outlive a deinitialisation: this one must not.
    ~Payloads() { vorlan_sdk2::parsers().Remove(&Payloads::take, this); }
    Payloads(const Payloads&) = delete;
    Payloads& operator=(const Payloads&) = delete;

    std::vector<Payload> all() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_payloads;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_payloads.size();
    }
    bool wait_for_count(size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kBound, [&] { return m_payloads.size() >= n; });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_payloads.clear();
    }

private:
    static int take(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data) {
        auto* self = static_cast<Payloads*>(user_data);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_payloads.push_back({handle, timestamp, Bytes(data, data + size)});
        self->m_changed.notify_all();
        return 0;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Payload> m_payloads;
};

// A payload whose first bytes say which record of a stream it is.
Bytes numbered(int i, size_t size = 64) {
    Bytes bytes = test_payload(size, uint8_t(i));
    bytes[0] = uint8_t(i);
    bytes[1] = uint8_t(i >> 8);
    return bytes;
}
int number_of(const Bytes& bytes) { return bytes[0] | bytes[1] << 8; }

// `n` datagrams from kSensorA, `interval` µs apart.
std::string stream_capture(const TemporaryDirectory& dir, const char* name, int n, int64_t interval) {
    CaptureBuilder capture;
    for (int i = 0; i < n; ++i) {
        capture.udp(kStart + i * interval, kSensorA, numbered(i));
    }
    capture.write(dir.file(name));
    return dir.file(name);
}

// Five serial lines from kSensorA, each followed by its copy 3 µs later, as
// a mirror port records them.
void nmea_copies(CaptureBuilder& capture) {
    for (int i = 0; i < 5; ++i) {
        Bytes payload = numbered(i);
        payload[2] = 'N', payload[3] = 'M';
        payload.insert(payload.begin(), {'N', 'M', 'E', 'A'});
        capture.udp(kStart + i * 1000, kSensorA, payload).udp(kStart + i * 1000 + 3, kSensorA, payload);
    }
}

class PcapReplayTest : public LibraryTest {
protected:
    uint64_t load(const std::string& path, uint32_t flags) {
        uint64_t handle = 0;
        EXPECT_EQ(VorlanReplayLoadPcap(path.c_str(), flags, &handle), VORLAN_SUCCESS);
        return handle;
    }
    // Loads `path` paused with its indexer held at its start, in `hook`,
    // until the shared gate opens: nothing of the capture is indexed yet.
    uint64_t load_with_indexer_held(const std::string& path,
                                    vorlan_sdk2::IndexHook hook = &vorlan_test::HeldGate::pass) {
        vorlan_test::HeldGate& gate = vorlan_test::HeldGate::instance();
        gate.close();
        vorlan_sdk2::setIndexHook(hook);
        const uint64_t handle = load(path, kLoadPaused);
        gate.wait_held();
        return handle;
    }
    TemporaryDirectory m_dir;
};

// Every capture form the reader knows plays through the parser chain with
// the sender as handle and the record time less the time-zone offset.
TEST_F(PcapReplayTest, PlaysEveryCaptureFormToItsEnd) {
    struct Case {
        const char* name;
        LinkLayer link;
        int vlan;
        uint8_t option_words;
        int32_t time_zone;
    };
    const Case cases[] = {
        {"ethernet", LinkLayer::ethernet, -1, 0, 0},
        {"vlan with options", LinkLayer::ethernet, 4, 3, 0},
        {"linux cooked", LinkLayer::linux_cooked, -1, 0, 3600},
        {"linux cooked v2", LinkLayer::linux_cooked2, -1, 0, 0},
        {"raw ipv4", LinkLayer::raw_ipv4, -1, 0, -7200},
        {"bsd loopback", LinkLayer::bsd_loopback, -1, 0, 0},
    };
    Payloads payloads;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameOptions options;
        options.link = c.link;
        options.vlan = c.vlan;
        options.ip_option_words = c.option_words;
        options.source = kSensorA;
        CaptureBuilder capture(c.time_zone, CaptureBuilder::kMicrosecondMagic, c.link);
        capture.record(kStart, udp_frame(options, numbered(0)));
        FrameOptions tcp = options;
        tcp.protocol = 6;
        capture.record(kStart + 5, udp_frame(tcp, numbered(99)));
        options.source = kSensorB;
        options.identification = 77;
        for (const Bytes& frame : udp_fragments(options, numbered(1, 4000), 1480)) {
            capture.record(kStart + 10, frame);
        }
        // The last record is cut short: everything before it still plays.
        const Bytes last = udp_frame(options, numbered(2));
        capture.record(kStart + 20, last);
        Bytes bytes = capture.bytes();
        bytes.resize(bytes.size() - 10);
        write_file(m_dir.file("c.pcap"), bytes);

        payloads.clear();
        const uint64_t handle = load(m_dir.file("c.pcap"), kLoadPaused);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        // Played to where the file is cut, which is not its end.
        testing::internal::CaptureStderr();
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_ERROR_FILE_IO);
        (void)testing::internal::GetCapturedStderr();
        EXPECT_EQ(VorlanReplayIsFinished(handle), 1);
        const auto got = payloads.all();
        ASSERT_EQ(got.size(), 2u);
        const int64_t zone = int64_t(c.time_zone) * 1000000;
        EXPECT_EQ(got[0].handle, kSensorA);
        EXPECT_EQ(got[0].timestamp, kStart - zone);
        EXPECT_EQ(got[0].bytes, numbered(0));
        EXPECT_EQ(got[1].handle, kSensorB);
        EXPECT_EQ(got[1].timestamp, kStart + 10 - zone);
        EXPECT_EQ(got[1].bytes, numbered(1, 4000));
        const auto counters = vorlan_sdk2::replayReader(handle)->Counters();
        EXPECT_EQ(counters.not_udp, 1u);
        EXPECT_EQ(counters.broken_header, 1u);
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
}

// A capture that ends inside a record, or holds one whose stored length a
// flipped bit made run past the end of the file or past the frame on the
// wire, plays every datagram before that record and ends there, every time
// it gets there (a seek beyond it included): playing to the end says
// VORLAN_ERROR_FILE_IO, standard error says once where the readable part
// ends, and the length is the last whole record's.
TEST_F(PcapReplayTest, DamagedRecordEndsTheCaptureAndIsReported) {
    CaptureBuilder builder;
    builder.udp(kStart, kSensorA, numbered(0)).udp(kStart + 1000000, kSensorA, numbered(1));
    const size_t damaged = builder.size();
    builder.udp(kStart + 2500000, kSensorB, numbered(2));
    const size_t after = builder.size();
    builder.udp(kStart + 3000000, kSensorA, numbered(3));
    const Bytes whole = builder.bytes();
    const uint32_t frame_length = uint32_t(after - damaged - 16);
    const auto cut_at = [&](size_t size) { return Bytes(whole.begin(), whole.begin() + long(size)); };
    const auto with_length = [&](Bytes bytes, uint32_t length) {
        for (int i = 0; i < 4; ++i) {
            bytes[damaged + 8 + size_t(i)] = uint8_t(length >> (8 * i));
        }
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        const char* at;  // the time the report gives; null for an undamaged file
    };
    const Case cases[] = {
        {"undamaged", whole, nullptr},
        // Cut inside its own header, the record has no time: the last one
        // played stands for it.
        {"cut in the record header", cut_at(damaged + 10), "at 1.000000 s"},
        {"cut in the payload", cut_at(after - 1), "at 2.500000 s"},
        {"flipped bit in a middle record's length", with_length(whole, frame_length | (1u << 20)), "at 2.500000 s"},
        {"length beyond any capture", with_length(whole, 0xffffffffu), "at 2.500000 s"},
        // Inside the file, but longer than the frame was on the wire: where
        // the next record starts is lost all the same.
        {"flipped low bit in a middle record's length", with_length(whole, frame_length | 16), "at 2.500000 s"},
    };
    const std::string where = "(record at byte " + std::to_string(damaged) + ")";
    Payloads payloads;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(m_dir.file("damaged.pcap"), c.bytes);
        const uint64_t handle = load(m_dir.file("damaged.pcap"), kLoadPaused);
        const int expected = c.at != nullptr ? VORLAN_ERROR_FILE_IO : VORLAN_SUCCESS;
        const size_t playable = c.at != nullptr ? 2 : 4;
        EXPECT_EQ(VorlanReplayGetLength(handle), c.at != nullptr ? 1000000 : 3000000);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        testing::internal::CaptureStderr();
        for (const int64_t from : {int64_t(0), int64_t(0), int64_t(2000000)}) {
            payloads.clear();
            ASSERT_EQ(VorlanReplaySeek(handle, from), VORLAN_SUCCESS);
            EXPECT_EQ(VorlanReplayPlayToFinish(handle), expected);
            EXPECT_EQ(VorlanReplayIsFinished(handle), 1);
            const auto got = payloads.all();
            const size_t first = from == 0 ? 0 : 2;
            ASSERT_EQ(got.size(), playable - std::min(first, playable)) << from;
            for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(number_of(got[i].bytes), int(first + i));
            }
        }
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
        const std::string said = testing::internal::GetCapturedStderr();
        if (c.at == nullptr) {
            // Only that the capture holds no sensor packet.
            EXPECT_EQ(said.find("record at byte"), std::string::npos) << said;
            EXPECT_NE(said.find("no sensor datagram"), std::string::npos) << said;
            continue;
        }
        EXPECT_NE(said.find(c.at), std::string::npos) << said;
        EXPECT_NE(said.find(where), std::string::npos) << said;
        EXPECT_EQ(said.find(where), said.rfind(where)) << "said more than once: " << said;
    }
}

TEST_F(PcapReplayTest, RefusesWhatItCannotLoad) {
    const Bytes pcapng = {0x0a, 0x0d, 0x0d, 0x0a, 28, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0,
                          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28, 0, 0, 0};
    const Bytes one_record = CaptureBuilder().udp(kStart, kSensorA, numbered(0)).bytes();
    auto with_magic = [&](uint32_t magic) {
        Bytes bytes = one_record;
        bytes[0] = uint8_t(magic), bytes[1] = uint8_t(magic >> 8), bytes[2] = uint8_t(magic >> 16);
        bytes[3] = uint8_t(magic >> 24);
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"pcapng without a packet", pcapng},
        {"big-endian magic on little-endian records", with_magic(0xd4c3b2a1)},
        {"text", Bytes(64, 'a')},
        {"global header only", CaptureBuilder().bytes()},
        {"empty", {}},
    };
    uint64_t handle = 99;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(m_dir.file("bad"), c.bytes);
        EXPECT_EQ(VorlanReplayLoadPcap(m_dir.file("bad").c_str(), 0, &handle), VORLAN_ERROR_FILE_IO);
    }
    EXPECT_EQ(VorlanReplayLoadPcap(m_dir.file("missing").c_str(), 0, &handle), VORLAN_ERROR_FILE_IO);
    EXPECT_EQ(VorlanReplayLoadPcap(nullptr, 0, &handle), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(handle, 99u);
    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayLoadPcap(m_dir.file("bad").c_str(), 0, &handle), VORLAN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(VorlanReplayGetSeekPosition(1), VORLAN_ERROR_INVALID_ARGUMENTS);
}

// Sixteen slots, handles 1 to 16, reused after an unload; every per-handle
// function refuses handles outside them or on an empty slot.
TEST_F(PcapReplayTest, SixteenSlotsAndHandleChecks) {
    const std::string path = stream_capture(m_dir, "s.pcap", 3, 1000);
    std::vector<uint64_t> handles;
    for (int i = 0; i < 16; ++i) {
        handles.push_back(load(path, kLoadPaused | kLoadNoIndexing));
        EXPECT_EQ(handles.back(), uint64_t(i + 1));
    }
    uint64_t handle = 0;
    EXPECT_EQ(VorlanReplayLoadPcap(path.c_str(), kLoadPaused, &handle), VORLAN_ERROR_INVALID_STATE);
    ASSERT_EQ(VorlanReplayUnloadPcap(5), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayUnloadPcap(5), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(load(path, kLoadPaused), 5u);
    EXPECT_EQ(VorlanReplayIsPaused(5), 1);
    ASSERT_EQ(VorlanReplayUnloadPcap(16), VORLAN_SUCCESS);

    const std::function<int64_t(uint64_t)> calls[] = {
        [](uint64_t h) { return VorlanReplayUnloadPcap(h); },
        [](uint64_t h) { return VorlanReplayPlay(h); },
        [](uint64_t h) { return VorlanReplayPlayToFinish(h); },
        [](uint64_t h) { return VorlanReplayPause(h); },
        [](uint64_t h) { return VorlanReplayNextFrame(h); },
        [](uint64_t h) { return VorlanReplaySeek(h, 0); },
        [](uint64_t h) { return VorlanReplayGetSeekPosition(h); },
        [](uint64_t h) { return VorlanReplayGetIndexPosition(h); },
        [](uint64_t h) { return VorlanReplayGetLength(h); },
        [](uint64_t h) { return VorlanReplaySetSpeed(h, 100); },
        [](uint64_t h) { return VorlanReplayGetSpeed(h); },
        [](uint64_t h) { return VorlanReplaySetAutoReplay(h, 1); },
        [](uint64_t h) { return VorlanReplayIsFinished(h); },
        [](uint64_t h) { return VorlanReplayIsPaused(h); },
    };
    for (const auto& call : calls) {
        for (uint64_t bad : {uint64_t(0), uint64_t(16), uint64_t(17), ~uint64_t(0)}) {
            EXPECT_EQ(call(bad), VORLAN_ERROR_INVALID_ARGUMENTS) << bad;
        }
    }
    EXPECT_EQ(VorlanReplaySetAutoReplay(1, 2), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanReplaySetSpeed(1, -1), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanReplayGetSpeed(1), 100);
    ASSERT_EQ(VorlanReplaySetAutoReplay(1, 1), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayPlayToFinish(1), VORLAN_ERROR_INVALID_STATE);
    EXPECT_EQ(VorlanReplayIsFinished(1), 0);
    // Deinitialising unloads every capture; the handles are free again.
    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayIsPaused(1), VORLAN_ERROR_NOT_INITIALIZED);
    ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
    EXPECT_EQ(load(path, 0), 1u);
    EXPECT_EQ(VorlanReplayIsPaused(1), 0);
}

// Seeking goes to the first record at or after the target through the
// index, plays from that record on, and is kept for later when no worker
// runs yet.
TEST_F(PcapReplayTest, SeekPlaysFromTheFirstRecordAtOrAfterTheTarget) {
    constexpr int kRecords = 100;
    const std::string path = stream_capture(m_dir, "s.pcap", kRecords, 100000);  // 9.9 s
    Payloads payloads;
    const uint64_t handle = load(path, kLoadPaused);
    EXPECT_EQ(VorlanReplayGetLength(handle), 9900000);
    EXPECT_EQ(VorlanReplayGetIndexPosition(handle), 9900000);
    ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
    // Without a worker the request waits, and says so.
    ASSERT_EQ(VorlanReplaySeek(handle, 3000000), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayGetSeekPosition(handle), 3000000);
    struct Case {
        int64_t target;
        int first;  // record played first; kRecords for none
    };
    const Case cases[] = {
        {3000000, 30}, {3050000, 31}, {9900000, 99}, {-5, 0}, {0, 0}, {650000, 7}, {20000000, kRecords},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        // Paused, the worker carries out the seek and stays where it landed.
        ASSERT_EQ(VorlanReplayPause(handle), VORLAN_SUCCESS);
        payloads.clear();
        ASSERT_EQ(VorlanReplaySeek(handle, c.target), VORLAN_SUCCESS);
        if (c.first < kRecords) {
            EXPECT_EQ(VorlanReplayGetSeekPosition(handle), c.first * 100000);
        }
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const auto got = payloads.all();
        ASSERT_EQ(got.size(), size_t(kRecords - c.first));
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(number_of(got[i].bytes), c.first + int(i));
        }
    }
}

// In a capture whose time steps back (a second recording appended to a
// first that lasts longer), a seek plays from the first record in file
// order at or after the target, as the first library does: neither the
// index entry of the appended part's last record nor a playback position
// inside that part may cut the first recording's later records out.
TEST_F(PcapReplayTest, SeekInACaptureWhoseTimeStepsBackStartsAtTheFirstRecordInFileOrder) {
    // Records 0-99 at 0-9.9 s, then records 100-119 at 3.0-4.9 s.
    CaptureBuilder capture;
    for (int i = 0; i < 120; ++i) {
        const int64_t at = i < 100 ? i * 100000 : 3000000 + (i - 100) * 100000;
        capture.udp(kStart + at, kSensorA, numbered(i));
    }
    const std::string path = m_dir.file("appended.pcap");
    capture.write(path);
    struct Case {
        const char* name;
        uint32_t flags;
        bool play_first;  // to the end, into the appended part, before the seek
    };
    const Case cases[] = {
        {"indexed", kLoadPaused, false},
        {"indexed, after playing", kLoadPaused, true},
        {"not indexed, after playing", kLoadPaused | kLoadNoIndexing, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Payloads payloads;
        const uint64_t handle = load(path, c.flags);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        if ((c.flags & kLoadNoIndexing) == 0) {
            EXPECT_EQ(VorlanReplayGetLength(handle), 9900000);
        }
        if (c.play_first) {
            ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
            ASSERT_EQ(payloads.count(), 120u);
        }
        payloads.clear();
        ASSERT_EQ(VorlanReplaySeek(handle, 4950000), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const auto got = payloads.all();
        ASSERT_EQ(got.size(), 70u);
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(number_of(got[i].bytes), 50 + int(i));
        }
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
}

// At any speed the capture plays whole and in order; with auto replay it
// starts over at its end.
TEST_F(PcapReplayTest, PlaysInOrderAtEverySpeedAndLoops) {
    constexpr int kRecords = 20;
    const std::string path = stream_capture(m_dir, "s.pcap", kRecords, 5000);  // 95 ms
    Payloads payloads;
    for (int speed : {0, 100, 200, 1000, 7}) {
        SCOPED_TRACE(speed);
        payloads.clear();
        const uint64_t handle = load(path, kLoadPaused);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, speed), VORLAN_SUCCESS);
        if (speed == 7) {
            // Slow enough to be changed while it sleeps: the change applies at once.
            ASSERT_EQ(VorlanReplayPlay(handle), VORLAN_SUCCESS);
            ASSERT_TRUE(payloads.wait_for_count(2));
            ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        }
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const auto got = payloads.all();
        ASSERT_EQ(got.size(), size_t(kRecords));
        for (int i = 0; i < kRecords; ++i) {
            EXPECT_EQ(number_of(got[size_t(i)].bytes), i);
            EXPECT_EQ(got[size_t(i)].timestamp, kStart + i * 5000);
        }
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }

    payloads.clear();
    const uint64_t looping = load(path, kLoadAutoReplay);
    ASSERT_EQ(VorlanReplaySetSpeed(looping, 0), VORLAN_SUCCESS);
    ASSERT_TRUE(payloads.wait_for_count(3 * kRecords));
    ASSERT_EQ(VorlanReplayPause(looping), VORLAN_SUCCESS);
    const auto got = payloads.all();
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(number_of(got[i].bytes), int(i % kRecords));
    }
    EXPECT_EQ(VorlanReplayIsFinished(looping), 0);
}

// A looping replay of a capture whose packets all carry one time has no
// capture time to pace by; it plays a pass per sensor frame period (100 ms)
// instead of handing the same packets on in a busy loop.
TEST_F(PcapReplayTest, ALoopOfOneInstantIsPacedNotSpun) {
    const std::string path = stream_capture(m_dir, "instant.pcap", 3, 0);
    Payloads payloads;
    const auto start = std::chrono::steady_clock::now();
    const uint64_t looping = load(path, kLoadAutoReplay);
    ASSERT_TRUE(payloads.wait_for_count(4 * 3));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(VorlanReplayPause(looping), VORLAN_SUCCESS);
    // Three waits between the four passes.
    EXPECT_GE(elapsed, std::chrono::milliseconds(3 * 100));
    const auto got = payloads.all();
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(number_of(got[i].bytes), int(i % 3));
    }
}

// Single-frame stepping pauses after each frame published, in the mode
// the client's frame listeners use; at the end of the file it returns
// instead of waiting for a frame that never comes.
TEST_F(PcapReplayTest, NextFrameStepsOneFrameAtATime) {
    // 100 point packets; the frame parity flips every 10.
    CaptureBuilder capture;
    for (int i = 0; i < 100; ++i) {
        std::vector<PointRecord> points(100);
        for (PointRecord& point : points) {
            point.x = int16_t(i);
            point.flags = uint8_t((i / 10) % 2 ? 0x04 : 0);
        }
        capture.udp(kStart + i * 1000, kSensorA, build_stdv_packet((kStart + i * 1000) * 1000, points));
    }
    capture.write(m_dir.file("points.pcap"));
    std::atomic<int> frames{0};
    ASSERT_EQ(VorlanListenFrames(
                  0, [](uint64_t, int64_t, size_t, size_t, const uint8_t*, void* user) { ++*static_cast<std::atomic<int>*>(user); },
                  &frames),
              VORLAN_SUCCESS);
    const uint64_t handle = load(m_dir.file("points.pcap"), kLoadPaused);
    ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
    int steps = 0;
    while (VorlanReplayIsFinished(handle) == 0) {
        ASSERT_LT(steps, 20);
        ASSERT_EQ(VorlanReplayNextFrame(handle), VORLAN_SUCCESS);
        ++steps;
        if (VorlanReplayIsFinished(handle) == 0) {
            EXPECT_EQ(VorlanReplayIsPaused(handle), 1);
            EXPECT_EQ(frames.load(), steps);
            EXPECT_LT(VorlanReplayGetSeekPosition(handle), 99000);
        }
    }
    EXPECT_GE(steps, 5) << "frames " << frames.load() << " position " << VorlanReplayGetSeekPosition(handle);
    // A step registered while another mode is in use follows that mode.
    ASSERT_EQ(VorlanReplaySeek(handle, 0), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayNextFrame(handle), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayIsPaused(handle), 1);
}

// Sixteen captures play at once while other threads seek, pause, step,
// change speed and unload them: nothing crashes or hangs, and the library
// deinitialises with replays still running.
TEST_F(PcapReplayTest, SixteenReplaysUnderConcurrentControl) {
    const std::string path = stream_capture(m_dir, "s.pcap", 200, 1000);
    Payloads payloads;
    for (int i = 0; i < 16; ++i) {
        const uint64_t handle = load(path, i % 2 == 0 ? kLoadAutoReplay : 0);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, i % 3 == 0 ? 0 : 1000), VORLAN_SUCCESS);
    }
    std::vector<std::thread> clients;
    for (unsigned t = 0; t < 4; ++t) {
        clients.emplace_back([t, &path] {
            std::mt19937 random(t);
            for (int step = 0; step < 150; ++step) {
                const uint64_t handle = 1 + random() % 16;
                switch (random() % 9) {
                case 0: (void)VorlanReplaySeek(handle, int64_t(random() % 300000) - 50000); break;
                case 1: (void)VorlanReplayPause(handle); break;
                case 2: (void)VorlanReplayPlay(handle); break;
                case 3: (void)VorlanReplaySetSpeed(handle, int(random() % 3) * 500); break;
                case 4: (void)VorlanReplayGetLength(handle); break;
                case 5: (void)VorlanReplaySetAutoReplay(handle, random() % 2); break;
                case 6: {
                    if (VorlanReplayUnloadPcap(handle) == VORLAN_SUCCESS) {
                        uint64_t again = 0;
                        (void)VorlanReplayLoadPcap(path.c_str(), kLoadAutoReplay, &again);
                        (void)VorlanReplaySetSpeed(again, 0);
                    }
                    break;
                }
                case 7: (void)VorlanReplayGetSeekPosition(handle); (void)VorlanReplayIsFinished(handle); break;
                default: (void)VorlanReplayIsPaused(handle); (void)VorlanReplayGetIndexPosition(handle); break;
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    EXPECT_GT(payloads.count(), 0u);
}

// A client blocked in a replay function while another thread unloads the
// capture returns; it never uses the destroyed reader.
TEST_F(PcapReplayTest, UnloadReleasesClientsWaitingOnTheReplay) {
    const std::string path = stream_capture(m_dir, "s.pcap", 50, 1000000);  // 49 s at speed 100
    const uint64_t handle = load(path, 0);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = VorlanReplayPlayToFinish(handle); });
    std::thread length([&] { (void)VorlanReplayGetLength(handle); });
    ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    waiter.join();
    length.join();
    EXPECT_NE(result.load(), 1);
    EXPECT_EQ(VorlanReplayIsPaused(handle), VORLAN_ERROR_INVALID_ARGUMENTS);
}

// A capture plays, and seeks, from the moment it is loaded: nothing waits
// for the index but the length. Here the indexer is held before it starts.
TEST_F(PcapReplayTest, PlaysAndSeeksWhileTheCaptureIsBeingIndexed) {
    constexpr int kRecords = 400;
    const std::string path = stream_capture(m_dir, "s.pcap", kRecords, 100000);  // 39.9 s
    Payloads payloads;
    const uint64_t handle = load_with_indexer_held(path);
    ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayPlay(handle), VORLAN_SUCCESS);
    ASSERT_TRUE(payloads.wait_for_count(10));
    ASSERT_EQ(VorlanReplayPause(handle), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayGetIndexPosition(handle), 0);
    payloads.clear();
    ASSERT_EQ(VorlanReplaySeek(handle, 30000001), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayPlay(handle), VORLAN_SUCCESS);
    ASSERT_TRUE(payloads.wait_for_count(1));
    ASSERT_EQ(VorlanReplayPause(handle), VORLAN_SUCCESS);
    EXPECT_EQ(number_of(payloads.all().front().bytes), 301);
    EXPECT_EQ(VorlanReplayGetIndexPosition(handle), 0);

    vorlan_test::HeldGate::instance().open();
    vorlan_sdk2::setIndexHook(nullptr);
    EXPECT_EQ(VorlanReplayGetLength(handle), (kRecords - 1) * 100000);
    payloads.clear();
    ASSERT_EQ(VorlanReplaySeek(handle, 12000000), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
    const auto got = payloads.all();
    ASSERT_EQ(got.size(), size_t(kRecords - 120));
    EXPECT_EQ(number_of(got.front().bytes), 120);
    EXPECT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
}

// Unloading a capture that is being indexed stops the indexer and releases
// a client waiting for the length.
TEST_F(PcapReplayTest, UnloadStopsIndexing) {
    const std::string path = stream_capture(m_dir, "s.pcap", 400, 100000);
    const uint64_t handle = load_with_indexer_held(path);
    std::thread waiter([&] { (void)VorlanReplayGetLength(handle); });
    std::thread unloader([&] { EXPECT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS); });
    // The unload waits for the indexer, which leaves the hook once the gate
    // opens and then stops without indexing the capture.
    ASSERT_TRUE(vorlan_test::eventually([&] { return VorlanReplayIsPaused(handle) == VORLAN_ERROR_INVALID_ARGUMENTS; }));
    vorlan_test::HeldGate::instance().open();
    vorlan_sdk2::setIndexHook(nullptr);
    unloader.join();
    waiter.join();
}

// Playing to the end stops an indexer nobody waits for (here held before it
// starts, so that it has indexed nothing): it leaves the file untouched.
// The length asked for afterwards indexes the capture afresh and is right.
TEST_F(PcapReplayTest, PlayingToTheEndStopsIndexingAndTheLengthIndexesAgain) {
    static std::atomic<int> starts{0};
    starts = 0;
    constexpr int kRecords = 400;
    const std::string path = stream_capture(m_dir, "s.pcap", kRecords, 100000);
    const uint64_t handle = load_with_indexer_held(path, [] {
        ++starts;
        vorlan_test::HeldGate::pass();
    });
    ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
    const std::shared_ptr<vorlan_sdk2::PcapReader> reader = vorlan_sdk2::replayReader(handle);
    ASSERT_TRUE(reader);
    vorlan_test::HeldGate::instance().open();
    ASSERT_TRUE(vorlan_test::eventually([&] { return !reader->Indexing(); }));
    EXPECT_EQ(VorlanReplayGetIndexPosition(handle), 0);
    EXPECT_EQ(VorlanReplayGetLength(handle), (kRecords - 1) * 100000);
    vorlan_sdk2::setIndexHook(nullptr);
    EXPECT_EQ(starts.load(), 2);
    EXPECT_EQ(VorlanReplayGetIndexPosition(handle), (kRecords - 1) * 100000);
    EXPECT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
}

// The indexing that a length asks for after playing ended walks the capture
// that was loaded, even where its path no longer leads to it: removed, or
// another capture put in its place (a recorder that starts its file anew).
// The length is the loaded capture's, and a seek lands on its records.
TEST_F(PcapReplayTest, TheLengthAskedForLateIndexesTheCaptureLoaded) {
    constexpr int kRecords = 400;
    struct Case {
        const char* name;
        bool replaced;  // by a capture of 50 records 1 ms apart; else removed
    };
    for (const Case c : {Case{"removed", false}, Case{"replaced", true}}) {
        SCOPED_TRACE(c.name);
        const std::string path = stream_capture(m_dir, "s.pcap", kRecords, 100000);  // 39.9 s
        Payloads payloads;
        const uint64_t handle = load_with_indexer_held(path);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        vorlan_sdk2::setIndexHook(nullptr);
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const std::shared_ptr<vorlan_sdk2::PcapReader> reader = vorlan_sdk2::replayReader(handle);
        ASSERT_TRUE(reader);
        vorlan_test::HeldGate::instance().open();
        ASSERT_TRUE(vorlan_test::eventually([&] { return !reader->Indexing(); }));
        ASSERT_EQ(std::remove(path.c_str()), 0);
        if (c.replaced) {
            (void)stream_capture(m_dir, "s.pcap", 50, 1000);
        }
        EXPECT_EQ(VorlanReplayGetLength(handle), (kRecords - 1) * 100000);
        payloads.clear();
        ASSERT_EQ(VorlanReplaySeek(handle, 30000000), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const auto got = payloads.all();
        ASSERT_EQ(got.size(), size_t(kRecords - 300));
        EXPECT_EQ(number_of(got.front().bytes), 300);
        EXPECT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
}

// With the relay on, a listener runs on the relay thread while the replay's
// worker may be waiting for room in the relay: nothing the listener calls on
// the replay may wait for the worker. A seek takes effect without waiting
// (what the relay had queued is dropped once the listener returns), playing
// to the end and unloading are refused, and the capture plays again from its
// start.
TEST_F(PcapReplayTest, ListenerOnTheRelayThreadControlsTheReplayWithoutWaitingForIt) {
    constexpr int kRecords = 200;
    const std::string path = stream_capture(m_dir, "relayed.pcap", kRecords, 10);
    ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
    const uint64_t handle = load(path, kLoadPaused);
    std::atomic<int> seek{1};
    std::atomic<int> finish{1};
    std::atomic<int> unload{1};
    bool controlled = false;  // on the relay thread only
    vorlan_sdk2_test::PayloadRecorder recorder;
    recorder.before_record = [&](const vorlan_sdk2_test::Payload& payload) {
        if (controlled || number_of(payload.bytes) != 50) {
            return;
        }
        controlled = true;
        // Time for the worker to fill the relay and wait for room.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        seek = VorlanReplaySeek(handle, 0);
        finish = VorlanReplayPlayToFinish(handle);
        unload = VorlanReplayUnloadPcap(handle);
    };
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayPlay(handle), VORLAN_SUCCESS);
    // Records 0-50, at most one more that was on its way, then all again.
    ASSERT_TRUE(recorder.waitUntil([&](const std::vector<vorlan_sdk2_test::Payload>& payloads) {
        return payloads.size() > 51 + kRecords ||
               (payloads.size() == 51 + kRecords && number_of(payloads.back().bytes) == kRecords - 1);
    }));
    EXPECT_EQ(seek.load(), VORLAN_SUCCESS);
    EXPECT_EQ(finish.load(), VORLAN_ERROR_INVALID_STATE);
    EXPECT_EQ(unload.load(), VORLAN_ERROR_INVALID_STATE);
    ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    std::vector<int> numbers;
    for (const vorlan_sdk2_test::Payload& payload : recorder.payloads()) {
        numbers.push_back(number_of(payload.bytes));
    }
    ASSERT_GE(numbers.size(), 51u + kRecords);
    for (int i = 0; i <= 50; ++i) {
        EXPECT_EQ(numbers[i], i);
    }
    const auto restart = std::find(numbers.begin() + 51, numbers.end(), 0);
    EXPECT_LE(restart - (numbers.begin() + 51), 1) << "more than the record on its way outlived the seek";
    ASSERT_GE(numbers.end() - restart, kRecords);
    for (int i = 0; i < kRecords; ++i) {
        EXPECT_EQ(restart[i], i);
    }
}

// Every form a capture is written in plays as the classic capture of the
// same traffic does: the same payloads, senders and times, a length from
// the index, and seeks to the same packets.
TEST_F(PcapReplayTest, EveryCaptureFormPlaysAndSeeksAsTheClassicOne) {
    CaptureBuilder classic;
    for (int i = 0; i < 8; ++i) {
        classic.udp(kStart + i * 700000, i % 2 == 0 ? kSensorA : kSensorB, numbered(i));
    }
    FrameOptions options;
    options.source = kSensorA;
    options.identification = 5;
    for (const Bytes& frame : udp_fragments(options, numbered(8, 3000), 1480)) {
        classic.record(kStart + 5600000, frame);
    }
    Payloads payloads;
    for (vorlan_test::CaptureForm form : vorlan_test::all_capture_forms()) {
        SCOPED_TRACE(vorlan_test::form_name(form));
        write_file(m_dir.file("f.cap"), vorlan_test::reform(classic.bytes(), form));
        payloads.clear();
        const uint64_t handle = load(m_dir.file("f.cap"), kLoadPaused);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        EXPECT_EQ(VorlanReplayGetLength(handle), 5600000);
        testing::internal::CaptureStderr();
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_NE(told.find("no sensor datagram in the capture: 9 UDP datagrams to port 8808"), std::string::npos)
            << told;
        auto got = payloads.all();
        ASSERT_EQ(got.size(), 9u);
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(got[std::size_t(i)].bytes, i < 8 ? numbered(i) : numbered(8, 3000)) << i;
            EXPECT_EQ(got[std::size_t(i)].handle, i % 2 == 0 ? kSensorA : kSensorB) << i;
            EXPECT_EQ(got[std::size_t(i)].timestamp, kStart + i * 700000) << i;
        }
        payloads.clear();
        ASSERT_EQ(VorlanReplayPause(handle), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplaySeek(handle, 3000000), VORLAN_SUCCESS);
        EXPECT_EQ(VorlanReplayGetSeekPosition(handle), 3500000);
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        got = payloads.all();
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0].bytes, numbered(5));
        EXPECT_EQ(VorlanReplayGetCount(handle, VORLAN_REPLAY_COUNT_DATAGRAMS), 13);
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
}

// Copies of sensor datagrams (a mirror port seeing both directions) are
// dropped and counted unless the capture is loaded to keep them, and told
// on standard error once, at the first end.
TEST_F(PcapReplayTest, CopiesOfSensorDatagramsAreDroppedUnlessKept) {
    CaptureBuilder doubled;
    nmea_copies(doubled);
    doubled.write(m_dir.file("d.pcap"));
    struct Case {
        const char* name;
        uint32_t flags;
        std::size_t delivered;
        int64_t duplicates;
        bool told;
    };
    const Case cases[] = {
        {"dropped", kLoadPaused, 5, 5, true},
        {"kept", kLoadPaused | VORLAN_REPLAY_LOAD_KEEP_DUPLICATES, 10, 0, false},
    };
    Payloads payloads;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        payloads.clear();
        const uint64_t handle = load(m_dir.file("d.pcap"), c.flags);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        testing::internal::CaptureStderr();
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const std::string first = testing::internal::GetCapturedStderr();
        ASSERT_EQ(VorlanReplaySeek(handle, 0), VORLAN_SUCCESS);
        testing::internal::CaptureStderr();
        ASSERT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_SUCCESS);
        const std::string second = testing::internal::GetCapturedStderr();
        EXPECT_EQ(payloads.count(), 2 * c.delivered);
        EXPECT_EQ(VorlanReplayGetCount(handle, VORLAN_REPLAY_COUNT_DUPLICATES), 2 * c.duplicates);
        EXPECT_EQ(VorlanReplayGetCount(handle, VORLAN_REPLAY_COUNT_SENSOR_DATAGRAMS), int64_t(2 * c.delivered));
        EXPECT_EQ(first.find("5 duplicated sensor datagrams dropped") != std::string::npos, c.told) << first;
        EXPECT_EQ(second, "");
        EXPECT_EQ(VorlanReplayGetCount(handle, 42), VORLAN_ERROR_INVALID_ARGUMENTS);
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
    EXPECT_EQ(VorlanReplayGetCount(3, VORLAN_REPLAY_COUNT_DATAGRAMS), VORLAN_ERROR_INVALID_ARGUMENTS);
}

// A client that tells the end of reading itself loads with
// VORLAN_REPLAY_LOAD_NO_END_REPORT: it gets the same code and counts, and
// standard error is told nothing of copies or of the cut.
TEST_F(PcapReplayTest, AClientThatReportsTheEndItselfSilencesStandardError) {
    CaptureBuilder capture;
    nmea_copies(capture);
    Bytes bytes = capture.udp(kStart + 10000, kSensorA, numbered(9)).bytes();
    bytes.resize(bytes.size() - 10);
    write_file(m_dir.file("cut.pcap"), bytes);
    const struct Case {
        const char* name;
        uint32_t flags;
        bool told;
    } cases[] = {
        {"library reports", kLoadPaused, true},
        {"client reports", kLoadPaused | VORLAN_REPLAY_LOAD_NO_END_REPORT, false},
    };
    Payloads payloads;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t handle = load(m_dir.file("cut.pcap"), c.flags);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        testing::internal::CaptureStderr();
        const int played = VorlanReplayPlayToFinish(handle);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(played, VORLAN_ERROR_FILE_IO);
        EXPECT_EQ(VorlanReplayGetCount(handle, VORLAN_REPLAY_COUNT_DUPLICATES), 5);
        EXPECT_EQ(said.find("5 duplicated sensor datagrams dropped") != std::string::npos, c.told) << said;
        EXPECT_EQ(said.find("capture cut short") != std::string::npos, c.told) << said;
        if (!c.told) {
            EXPECT_EQ(said, "");
        }
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
}

// `n` point packets from kSensorA, 1 ms apart, whose frame parity flips with
// every packet: each packet ends a natural frame.
std::string frames_capture(const TemporaryDirectory& dir, const char* name, int n) {
    CaptureBuilder capture;
    for (int i = 0; i < n; ++i) {
        std::vector<PointRecord> points(50);
        for (PointRecord& point : points) {
            point.x = int16_t(i);
            point.flags = uint8_t(i % 2 ? 0x04 : 0);
        }
        capture.udp(kStart + i * 1000, kSensorA, build_stdv_packet((kStart + i * 1000) * 1000, points));
    }
    capture.write(dir.file(name));
    return dir.file(name);
}

// A frame FIFO the client has stopped reading holds the replay's worker (or
// the relay thread it feeds) waiting for room. Control calls still return:
// an unload or a seek calls off the delivery that waits, stopping the relay
// ends its thread, and a single step, which no frame could end, is refused
// and leaves the replay playing.
TEST_F(PcapReplayTest, ControlCallsReturnWhileAFullFrameFifoIsNotRead) {
    const std::string path = frames_capture(m_dir, "frames.pcap", 300);
    struct Case {
        const char* name;
        bool relay;
        std::function<int(uint64_t)> call;
        int expected;
    };
    const auto unload = [](uint64_t handle) { return VorlanReplayUnloadPcap(handle); };
    const auto seek = [](uint64_t handle) { return VorlanReplaySeek(handle, 100000); };
    const auto step = [](uint64_t handle) { return VorlanReplayNextFrame(handle); };
    const Case cases[] = {
        {"unload", false, unload, VORLAN_SUCCESS},
        {"unload, relayed", true, unload, VORLAN_SUCCESS},
        {"seek", false, seek, VORLAN_SUCCESS},
        {"seek, relayed", true, seek, VORLAN_SUCCESS},
        {"next frame", false, step, VORLAN_ERROR_INVALID_STATE},
        {"next frame, relayed", true, step, VORLAN_ERROR_INVALID_STATE},
        {"stop relay", true, [](uint64_t) { return VorlanStopAsyncRelay(); }, VORLAN_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(VorlanEnableFrameFifo(0, 2), VORLAN_SUCCESS);
        if (c.relay) {
            ASSERT_EQ(VorlanStartAsyncRelay(4), VORLAN_SUCCESS);
        }
        const uint64_t handle = load(path, kLoadPaused);
        ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplayPlay(handle), VORLAN_SUCCESS);
        const auto full_until = std::chrono::steady_clock::now() + kBound;
        while (VorlanFrameFifoFull() != 1 && std::chrono::steady_clock::now() < full_until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(VorlanFrameFifoFull(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the producer settles into its wait
        auto call = std::async(std::launch::async, [&] { return c.call(handle); });
        ASSERT_EQ(call.wait_for(kBound), std::future_status::ready) << "the call waits for the client";
        EXPECT_EQ(call.get(), c.expected);
        if (c.expected != VORLAN_SUCCESS) {
            EXPECT_EQ(VorlanReplayIsPaused(handle), 0) << "a refused step changed the replay";
        }
        (void)VorlanReplayUnloadPcap(handle);
        (void)VorlanStopAsyncRelay();
        ASSERT_EQ(VorlanDisableFrameFifo(), VORLAN_SUCCESS);
    }
}

// With the relay on, a seek drops what the relay had queued at once, even
// while the relay thread is busy with a payload: after the seek, nothing of
// the position left behind plays, and the sought part follows the payload
// that was being relayed.
TEST_F(PcapReplayTest, SeekDiscardsWhatTheRelayQueuedWhateverTheRelayThreadDoes) {
    constexpr int kRecords = 100;
    const std::string path = stream_capture(m_dir, "relayed.pcap", kRecords, 1000);
    ASSERT_EQ(VorlanStartAsyncRelay(8), VORLAN_SUCCESS);
    const uint64_t handle = load(path, kLoadPaused);
    ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;
    vorlan_sdk2_test::PayloadRecorder recorder;
    recorder.before_record = [&](const vorlan_sdk2_test::Payload& payload) {
        if (number_of(payload.bytes) != 10) {
            return;
        }
        // A slow listener: the relay fills and the worker waits for room.
        std::unique_lock<std::mutex> lock(mutex);
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    };
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplayPlay(handle), VORLAN_SUCCESS);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kBound, [&] { return holding; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the relay fills meanwhile
    EXPECT_EQ(VorlanReplaySeek(handle, 60 * 1000), VORLAN_SUCCESS);
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_TRUE(recorder.waitUntil([&](const std::vector<vorlan_sdk2_test::Payload>& payloads) {
        return !payloads.empty() && number_of(payloads.back().bytes) == kRecords - 1;
    }));
    std::vector<int> numbers;
    for (const vorlan_sdk2_test::Payload& payload : recorder.payloads()) {
        numbers.push_back(number_of(payload.bytes));
    }
    std::vector<int> expected;
    for (int i = 0; i <= 10; ++i) {
        expected.push_back(i);
    }
    for (int i = 60; i < kRecords; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(numbers, expected);
}

// A blocking play refused because the capture loops starts nothing: a
// capture loaded paused stays paused and plays none of its records.
TEST_F(PcapReplayTest, RefusedPlayToFinishChangesNothing) {
    const std::string path = stream_capture(m_dir, "looped.pcap", 20, 1000);
    Payloads payloads;
    const uint64_t handle = load(path, kLoadPaused | kLoadAutoReplay);
    ASSERT_EQ(VorlanReplaySetSpeed(handle, 0), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayPlayToFinish(handle), VORLAN_ERROR_INVALID_STATE);
    EXPECT_EQ(VorlanReplayIsPaused(handle), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a worker that should not exist
    EXPECT_EQ(payloads.count(), 0u);
}

// Paced replay starts its pacing afresh at a jump of the capture's time,
// either way, instead of waiting it out, and says so once; an ordinary gap
// is waited and not reported. The length is the span from the earliest
// record to the latest, wherever they lie in the file.
TEST_F(PcapReplayTest, PacedReplayGoesOnPastAJumpOfTheCapturesTime) {
    constexpr int64_t kJump = 4096LL * 1000000;
    struct Case {
        const char* name;
        int64_t step;  // from record 9 to record 10
        bool reported;
        int64_t length;
    };
    const Case cases[] = {
        {"forward jump", kJump, true, kJump + 19000},
        {"backward jump", -kJump, true, kJump - 1000},
        {"two jumps, one report", 0, true, 2 * kJump - 1000},
        {"a gap of a quarter second", 250000, false, 250000 + 19000},
        {"a step back of a quarter second", -250000, false, 250000 - 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureBuilder capture;
        int64_t time = kStart;
        for (int i = 0; i < 20; ++i) {
            if (i == 10) {
                time += c.step != 0 ? c.step : 4096LL * 1000000;
            }
            if (c.step == 0 && i == 15) {
                time -= 8192LL * 1000000;
            }
            capture.udp(time, kSensorA, numbered(i));
            time += 1000;
        }
        capture.write(m_dir.file("jump.pcap"));
        Payloads payloads;
        const uint64_t handle = load(m_dir.file("jump.pcap"), kLoadPaused);
        testing::internal::CaptureStderr();
        auto played = std::async(std::launch::async, [&] { return VorlanReplayPlayToFinish(handle); });
        const bool finished = played.wait_for(kBound) == std::future_status::ready;
        if (!finished) {
            (void)VorlanReplayUnloadPcap(handle);  // lets the blocking play return
        }
        const int result = played.get();
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(finished) << "the replay waited out the jump";
        EXPECT_EQ(result, VORLAN_SUCCESS);
        EXPECT_EQ(payloads.count(), 20u);
        size_t reports = 0;
        for (size_t at = said.find("time jumps"); at != std::string::npos; at = said.find("time jumps", at + 1)) {
            ++reports;
        }
        EXPECT_EQ(reports, c.reported ? 1u : 0u) << said;
        EXPECT_EQ(VorlanReplayGetLength(handle), c.length);
        ASSERT_EQ(VorlanReplayUnloadPcap(handle), VORLAN_SUCCESS);
    }
}

}  // namespace
