#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <thread>
#include <vector>

#include "async_relay.h"
#include "library_fixture.h"
#include "payload_recorder.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {
namespace {

// A payload that says who sent it and its place in that producer's sequence.
std::vector<uint8_t> sequenced(uint32_t producer, uint32_t sequence, size_t size = 64) {
    std::vector<uint8_t> bytes(size, static_cast<uint8_t>(sequence));
    std::memcpy(bytes.data(), &producer, 4);
    std::memcpy(bytes.data() + 4, &sequence, 4);
    return bytes;
}

// Checks that each producer's payloads arrived at most once each, and in
// order when `ordered`; returns how many arrived per producer.
std::map<uint32_t, uint32_t> check_sequences(const std::vector<Payload>& payloads, bool ordered = true) {
    std::map<uint32_t, uint32_t> next;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (const Payload& payload : payloads) {
        uint32_t producer = 0;
        uint32_t sequence = 0;
        std::memcpy(&producer, payload.bytes.data(), 4);
        std::memcpy(&sequence, payload.bytes.data() + 4, 4);
        EXPECT_EQ(payload.handle, producer);
        EXPECT_TRUE(seen.insert({producer, sequence}).second) << "producer " << producer << " repeated " << sequence;
        if (ordered) {
            EXPECT_EQ(sequence, next[producer]) << "producer " << producer << " lost or reordered";
        }
        next[producer] = sequence + 1;
    }
    return next;
}

TEST_F(LibraryTest, RelayRefusesBadBlockCountsAndStopsOnlyWhatRuns) {
    struct Case {
        uint32_t n_blocks;
        int expected;
    };
    for (const Case& c : {Case{0, VORLAN_ERROR_INVALID_ARGUMENTS}, Case{1, VORLAN_ERROR_INVALID_ARGUMENTS},
                          Case{4097, VORLAN_ERROR_INVALID_ARGUMENTS}, Case{2, VORLAN_SUCCESS},
                          Case{3, VORLAN_SUCCESS}}) {
        EXPECT_EQ(VorlanStartAsyncRelay(c.n_blocks), c.expected) << c.n_blocks;
    }
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);  // one relay, the latest
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_ERROR_INVALID_STATE);
    ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_ERROR_INVALID_STATE);
}

// Payloads up to a block's room arrive on the relay thread; a larger one is
// dropped while the caller is still told 0, and standard error tells of it.
TEST_F(LibraryTest, RelayCarriesPayloadsThatFitABlockToTheRelayThread) {
    PayloadRecorder recorder;
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
    const size_t sizes[] = {1, 0, 65576, 65577, 1000, 65576};
    std::vector<size_t> delivered;
    testing::internal::CaptureStderr();
    for (uint32_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
        const std::vector<uint8_t> payload = sequenced(7, i, sizes[i] < 8 ? 8 : sizes[i]);
        const size_t size = sizes[i];
        EXPECT_EQ(VorlanReceiveData(7, 1000 + i, payload.data(), size), VORLAN_SUCCESS) << size;
        if (size <= 65576) {
            delivered.push_back(i);
        }
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("1 payload(s) larger than a relay block (65576 bytes) dropped"), std::string::npos) << said;
    ASSERT_TRUE(recorder.waitFor(delivered.size()));
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);
    const std::vector<Payload> payloads = recorder.payloads();
    ASSERT_EQ(payloads.size(), delivered.size());
    for (size_t k = 0; k < payloads.size(); ++k) {
        const uint32_t i = static_cast<uint32_t>(delivered[k]);
        std::vector<uint8_t> expected = sequenced(7, i, sizes[i] < 8 ? 8 : sizes[i]);
        expected.resize(sizes[i]);
        EXPECT_EQ(payloads[k].bytes, expected) << "payload " << i;
        EXPECT_EQ(payloads[k].timestamp, 1000 + i);
        EXPECT_EQ(payloads[k].handle, 7u);
        EXPECT_NE(payloads[k].thread, std::this_thread::get_id());
    }
}

// Producers on several threads feed two blocks while the listener is slow:
// they wait for room, and every payload arrives, in each producer's order.
TEST_F(LibraryTest, SlowListenerLosesNoPayloadOfAnyProducer) {
    PayloadRecorder recorder;
    recorder.before_record = [](const Payload&) { std::this_thread::sleep_for(std::chrono::microseconds(50)); };
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kEach = 200;
    // Large payloads keep a producer in its copy long enough for the others
    // to wake beside it.
    constexpr size_t kSize = 16000;
    std::vector<std::thread> producers;
    for (uint32_t producer = 1; producer <= kProducers; ++producer) {
        producers.emplace_back([producer] {
            for (uint32_t sequence = 0; sequence < kEach; ++sequence) {
                const std::vector<uint8_t> payload = sequenced(producer, sequence, kSize);
                VorlanReceiveData(producer, 0, payload.data(), payload.size());
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    ASSERT_TRUE(recorder.waitFor(kProducers * kEach));
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);
    const std::vector<Payload> payloads = recorder.payloads();
    EXPECT_EQ(payloads.size(), kProducers * kEach);
    for (const auto& [producer, next] : check_sequences(payloads)) {
        EXPECT_EQ(next, kEach) << "producer " << producer;
    }
}

// A parser runs on the relay thread; stopping the relay from there cannot
// wait for the thread, and must neither hang nor crash. Payloads then go
// straight to the chain on the caller's thread.
TEST_F(LibraryTest, ParserOnTheRelayThreadMayStopTheRelay) {
    PayloadRecorder recorder;
    std::atomic<int> stopped{1};
    recorder.before_record = [&](const Payload&) {
        if (stopped.load() == 1) {
            stopped.store(VorlanStopAsyncRelay());
        }
    };
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartAsyncRelay(2), VORLAN_SUCCESS);
    const std::vector<uint8_t> first = sequenced(1, 0);
    ASSERT_EQ(VorlanReceiveData(1, 0, first.data(), first.size()), VORLAN_SUCCESS);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(stopped.load(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_ERROR_INVALID_STATE);
    const std::vector<uint8_t> second = sequenced(1, 1);
    ASSERT_EQ(VorlanReceiveData(1, 0, second.data(), second.size()), VORLAN_SUCCESS);
    const std::vector<Payload> payloads = recorder.payloads();
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_NE(payloads[0].thread, std::this_thread::get_id());
    EXPECT_EQ(payloads[1].thread, std::this_thread::get_id());
}

// Producers keep pushing while the relay is started, cleared and stopped
// from other threads: nothing crashes or hangs, no payload arrives twice,
// and with the relay gone payloads go straight to the chain. (Order is not
// checked: queued payloads are dropped at a stop, and the one being relayed
// then may be overtaken by the next payload.)
TEST_F(LibraryTest, RelayStartsStopsAndClearsRacingWithProducers) {
    PayloadRecorder recorder;
    ASSERT_EQ(recorder.registerAsParser(), VORLAN_SUCCESS);
    std::atomic<bool> done{false};
    std::vector<std::thread> producers;
    for (uint32_t producer = 1; producer <= 2; ++producer) {
        producers.emplace_back([&, producer] {
            for (uint32_t sequence = 0; !done.load(); ++sequence) {
                const std::vector<uint8_t> payload = sequenced(producer, sequence);
                EXPECT_EQ(VorlanReceiveData(producer, 0, payload.data(), payload.size()), VORLAN_SUCCESS);
            }
        });
    }
    std::thread clearer([&] {
        while (!done.load()) {
            vorlan_sdk2::clearAsyncRelay();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 60; ++i) {
        const int started = VorlanStartAsyncRelay(2 + i % 3);
        EXPECT_EQ(started, VORLAN_SUCCESS);
        std::this_thread::yield();
        if (i % 2 == 0) {
            EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);
        }
    }
    EXPECT_EQ(VorlanStopAsyncRelay(), VORLAN_SUCCESS);
    done.store(true);
    for (std::thread& producer : producers) {
        producer.join();
    }
    clearer.join();
    check_sequences(recorder.payloads(), false);

    const size_t before = recorder.payloads().size();
    const std::vector<uint8_t> payload = sequenced(9, 0);
    ASSERT_EQ(VorlanReceiveData(9, 0, payload.data(), payload.size()), VORLAN_SUCCESS);
    const std::vector<Payload> payloads = recorder.payloads();
    ASSERT_EQ(payloads.size(), before + 1);  // delivered before the call returned
    EXPECT_EQ(payloads.back().thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace vorlan_sdk2_test
