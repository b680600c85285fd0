#include "single_circular_buffer_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vorlan_sdk2 {
namespace {

using Checkout = SingleCircularBufferList::Checkout;
using Slot = SingleCircularBufferList::Slot;

constexpr auto kGenerous = std::chrono::seconds(10);

using Hold = SingleCircularBufferList::Hold;

// kNothing: the producer that checks out and commits without the mutex
// while the ring has room.
bool write_value(SingleCircularBufferList& ring, std::uint32_t value, Hold hold = Hold::kStorage) {
    Slot slot;
    if (ring.checkout_for_write(slot, SingleCircularBufferList::kAnyGeneration, hold) != Checkout::kTaken) {
        return false;
    }
    std::memcpy(slot.data, &value, sizeof value);
    return ring.commit_write(slot);
}

std::uint32_t value_of(const Slot& slot) {
    std::uint32_t value = 0;
    std::memcpy(&value, slot.data, sizeof value);
    return value;
}

// One step on a ring of 3 slots, and what the ring looks like after it.
struct Step {
    const char* action;  // "w": write the next value; "r": read, expect, release; "p": read, expect, put back
    std::uint32_t expect_read;
    std::uint32_t size_after;
    bool full_after;
};

TEST(SingleCircularBufferList, KeepsOrderAndCountsAcrossWrapAround) {
    const std::vector<Step> steps = {
        {"w", 0, 1, false}, {"w", 0, 2, false}, {"p", 0, 2, false}, {"r", 0, 1, false}, {"w", 0, 2, false},
        {"w", 0, 3, true},  {"p", 1, 3, true},  {"r", 1, 2, false}, {"r", 2, 1, false}, {"w", 0, 2, false},
        {"r", 3, 1, false}, {"r", 4, 0, false}, {"w", 0, 1, false}, {"r", 5, 0, false},
    };
    SingleCircularBufferList ring;
    ASSERT_EQ(ring.reset(3, 64), SingleCircularBufferList::Setup::kReady);
    std::uint32_t next_value = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + " " + step.action);
        if (std::string(step.action) == "w") {
            ASSERT_TRUE(write_value(ring, next_value++));
        } else {
            Slot slot;
            ASSERT_EQ(ring.checkout_for_read(slot, 1), Checkout::kTaken);
            EXPECT_EQ(value_of(slot), step.expect_read);
            Slot second;
            EXPECT_EQ(ring.checkout_for_read(second, 1), Checkout::kRefused) << "one reader at a time";
            ASSERT_TRUE(std::string(step.action) == "r" ? ring.release_read() : ring.put_back());
        }
        EXPECT_EQ(ring.size(), step.size_after);
        EXPECT_EQ(ring.full(), step.full_after);
        EXPECT_EQ(ring.empty(), step.size_after == 0);
    }
    EXPECT_FALSE(ring.release_read()) << "nothing checked out";
    EXPECT_FALSE(ring.put_back()) << "nothing checked out";
}

TEST(SingleCircularBufferList, RefusesWhatCannotBeDone) {
    SingleCircularBufferList ring;
    Slot slot;
    EXPECT_EQ(ring.checkout_for_write(slot), Checkout::kRefused) << "no storage yet";
    EXPECT_EQ(ring.checkout_for_read(slot, 1), Checkout::kRefused) << "no storage yet";

    // Sizes whose product overflows 64 bits, or exceeds what any machine has.
    for (const auto& size : {std::pair<std::uint32_t, std::uint64_t>{2, UINT64_MAX / 2 + 1},
                             {UINT32_MAX, std::uint64_t{1} << 33},
                             {1u << 20, std::uint64_t{1} << 21}}) {
        EXPECT_EQ(ring.reset(size.first, size.second), SingleCircularBufferList::Setup::kTooLarge);
        EXPECT_EQ(ring.capacity(), 0u);
    }

    ASSERT_EQ(ring.reset(2, 16), SingleCircularBufferList::Setup::kReady);
    ASSERT_EQ(ring.checkout_for_write(slot), Checkout::kTaken);
    Slot second;
    EXPECT_EQ(ring.checkout_for_write(second), Checkout::kRefused) << "one writer at a time";
    ring.abandon_write(slot);
    EXPECT_TRUE(ring.empty()) << "an abandoned slot is not published";

    // A slot checked out before a reset belongs to the old storage.
    ASSERT_EQ(ring.checkout_for_write(slot), Checkout::kTaken);
    ASSERT_EQ(ring.reset(2, 16), SingleCircularBufferList::Setup::kReady);
    std::memset(slot.data, 0xab, 16);  // still alive through `keep`
    EXPECT_FALSE(ring.commit_write(slot));
    EXPECT_TRUE(ring.empty());

    ring.stop();
    EXPECT_EQ(ring.checkout_for_write(slot), Checkout::kRefused);
    EXPECT_EQ(ring.checkout_for_read(slot, 0), Checkout::kRefused) << "a stopped ring never waits";
}

// What wakes a reader that waits on an empty ring, for each kind of wait.
struct WakeCase {
    const char* name;
    std::uint32_t timeout_ms;
    void (*wake)(SingleCircularBufferList& ring);  // null: nothing wakes it
    Checkout expected;
};

TEST(SingleCircularBufferList, ReaderWaitsUntilDataStopOrDeadline) {
    const std::vector<WakeCase> cases = {
        {"deadline", 10, nullptr, Checkout::kTimedOut},
        {"data, without limit", 0, [](SingleCircularBufferList& ring) { write_value(ring, 7); }, Checkout::kTaken},
        {"data, with a deadline", 60000, [](SingleCircularBufferList& ring) { write_value(ring, 7); },
         Checkout::kTaken},
        {"stop", 0, [](SingleCircularBufferList& ring) { ring.stop(); }, Checkout::kRefused},
        {"disable", 60000, [](SingleCircularBufferList& ring) { ring.disable(); }, Checkout::kRefused},
    };
    for (const WakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SingleCircularBufferList ring;
        ASSERT_EQ(ring.reset(2, 16), SingleCircularBufferList::Setup::kReady);
        const auto start = std::chrono::steady_clock::now();
        auto reader = std::async(std::launch::async, [&] {
            Slot slot;
            return ring.checkout_for_read(slot, c.timeout_ms);
        });
        if (c.wake != nullptr) {
            c.wake(ring);
        }
        ASSERT_EQ(reader.wait_for(kGenerous), std::future_status::ready);
        EXPECT_EQ(reader.get(), c.expected);
        if (c.expected == Checkout::kTimedOut) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.timeout_ms));
        }
    }
}

// A full ring holds its producer until the consumer releases a slot, or
// until the ring is disabled or stopped, which drops the producer's data.
TEST(SingleCircularBufferList, FullRingHoldsTheProducer) {
    const std::vector<std::pair<const char*, void (*)(SingleCircularBufferList&)>> releases = {
        {"release", [](SingleCircularBufferList& ring) {
             Slot slot;
             ring.checkout_for_read(slot, 1);
             ring.release_read();
         }},
        {"disable", [](SingleCircularBufferList& ring) { ring.disable(); }},
        {"stop", [](SingleCircularBufferList& ring) { ring.stop(); }},
        {"refuse writers", [](SingleCircularBufferList& ring) { ring.refuse_writers(); }},
    };
    for (const auto& release : releases) {
      for (const Hold hold : {Hold::kStorage, Hold::kNothing}) {
        SCOPED_TRACE(std::string(release.first) + (hold == Hold::kNothing ? ", unlocked producer" : ""));
        SingleCircularBufferList ring;
        ASSERT_EQ(ring.reset(2, 16), SingleCircularBufferList::Setup::kReady);
        ASSERT_TRUE(write_value(ring, 0, hold));
        ASSERT_TRUE(write_value(ring, 1, hold));
        ASSERT_TRUE(ring.full());
        auto producer = std::async(std::launch::async, [&] { return write_value(ring, 2, hold); });
        // The producer cannot finish while the ring is full.
        EXPECT_EQ(producer.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
        release.second(ring);
        ASSERT_EQ(producer.wait_for(kGenerous), std::future_status::ready);
        const bool published = producer.get();
        EXPECT_EQ(published, std::string(release.first) == "release");
        if (published) {
            Slot slot;
            ASSERT_EQ(ring.checkout_for_read(slot, 1), Checkout::kTaken);
            EXPECT_EQ(value_of(slot), 1u);
        }
      }
    }
}

// Refusing writers lasts: a producer that comes after the refusal, not only
// one already waiting, gives up at once, until the ring is reset.
TEST(SingleCircularBufferList, RefusedWritersStayRefusedUntilReset) {
    SingleCircularBufferList ring;
    ASSERT_EQ(ring.reset(1, 16), SingleCircularBufferList::Setup::kReady);
    ASSERT_TRUE(write_value(ring, 0));
    ring.refuse_writers();
    auto late_producer = std::async(std::launch::async, [&] { return write_value(ring, 1); });
    ASSERT_EQ(late_producer.wait_for(kGenerous), std::future_status::ready) << "waits on a full ring";
    EXPECT_FALSE(late_producer.get());
    Slot slot;
    ASSERT_EQ(ring.checkout_for_read(slot, 1), Checkout::kTaken) << "readers are not refused";
    EXPECT_EQ(value_of(slot), 0u);
    ASSERT_TRUE(ring.release_read());
    EXPECT_FALSE(write_value(ring, 2)) << "room does not end the refusal";
    ASSERT_EQ(ring.reset(1, 16), SingleCircularBufferList::Setup::kReady);
    EXPECT_TRUE(write_value(ring, 3));
}

// One producer and one consumer on separate threads through a small ring:
// every value arrives once, in order, whether the consumer takes one slot at
// a time (with put-backs) or batches of ready slots given back a few at a
// time, and whether the producer works under the mutex or without it.
TEST(SingleCircularBufferList, ThreadedProducerAndConsumerLoseNothing) {
    constexpr std::uint32_t kValues = 20000;
    for (const int mode : {0, 1, 2, 3}) {
        const bool batches = (mode & 1) != 0;
        const Hold hold = (mode & 2) != 0 ? Hold::kNothing : Hold::kStorage;
        SCOPED_TRACE(std::string(batches ? "batches" : "one slot at a time") +
                     (hold == Hold::kNothing ? ", unlocked producer" : ""));
        SingleCircularBufferList ring;
        ASSERT_EQ(ring.reset(5, 64), SingleCircularBufferList::Setup::kReady);
        std::thread producer([&] {
            for (std::uint32_t value = 0; value < kValues; ++value) {
                if (!write_value(ring, value, hold)) {
                    return;
                }
            }
        });
        std::mt19937 random(5);
        std::uint32_t expected = 0;
        std::vector<std::string> faults;
        while (expected < kValues && faults.empty()) {
            if (batches) {
                SingleCircularBufferList::ReadBatch batch;
                if (ring.checkout_batch_for_read(batch, 1 + random() % 6) != Checkout::kTaken) {
                    faults.push_back("batch refused");
                    break;
                }
                while (batch.count > 0 && faults.empty()) {
                    const std::uint32_t n = 1 + random() % batch.count;
                    for (std::uint32_t k = 0; k < n; ++k, ++expected) {
                        std::uint32_t value;
                        std::memcpy(&value, batch.slot(k), sizeof value);
                        if (value != expected) {
                            faults.push_back("got " + std::to_string(value) + " for " + std::to_string(expected));
                        }
                    }
                    if (!ring.release_batch(batch, n)) {
                        faults.push_back("release refused");
                    }
                }
                continue;
            }
            Slot slot;
            if (ring.checkout_for_read(slot, 10000) != Checkout::kTaken) {
                faults.push_back("timed out");
                break;
            }
            ASSERT_EQ(value_of(slot), expected);
            if (random() % 4 == 0) {
                ASSERT_TRUE(ring.put_back());
            } else {
                ASSERT_TRUE(ring.release_read());
                ++expected;
            }
        }
        ring.stop();
        producer.join();
        EXPECT_TRUE(faults.empty()) << faults.front();
        EXPECT_TRUE(ring.empty());
    }
}

TEST(SingleCircularBufferList, DiscardAllWaitsForTheWriterAndEmpties) {
    SingleCircularBufferList ring;
    ASSERT_EQ(ring.reset(2, 16), SingleCircularBufferList::Setup::kReady);
    ASSERT_TRUE(write_value(ring, 1));
    Slot slot;
    ASSERT_EQ(ring.checkout_for_write(slot), Checkout::kTaken);
    auto discard = std::async(std::launch::async, [&] { ring.discard_all(); });
    EXPECT_EQ(discard.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    ASSERT_TRUE(ring.commit_write(slot));
    ASSERT_EQ(discard.wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(ring.empty());
    EXPECT_TRUE(write_value(ring, 3));
    EXPECT_EQ(ring.size(), 1u);
}

// A producer writing without the mutex holds its slot for a copy's time:
// discard_all(), stop() and reset() wait for it rather than void the slot,
// which they do at once to a producer under the mutex.
TEST(SingleCircularBufferList, WholeRingOperationsWaitForTheUnlockedWriter) {
    struct Case {
        const char* name;
        Hold hold;
        void (*operation)(SingleCircularBufferList&);
        bool waits;
        std::uint32_t size_after;  // after the operation and one more write
    };
    const auto discard = [](SingleCircularBufferList& ring) { ring.discard_all(); };
    const auto stop = [](SingleCircularBufferList& ring) { ring.stop(); };
    const auto reset = [](SingleCircularBufferList& ring) { (void)ring.reset(2, 16); };
    const Case cases[] = {
        {"discard, unlocked producer", Hold::kNothing, discard, true, 1},
        {"stop, unlocked producer", Hold::kNothing, stop, true, 2},
        {"reset, unlocked producer", Hold::kNothing, reset, true, 1},
        {"reset", Hold::kStorage, reset, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SingleCircularBufferList ring;
        ASSERT_EQ(ring.reset(2, 16), SingleCircularBufferList::Setup::kReady);
        ASSERT_TRUE(write_value(ring, 1, c.hold));
        Slot slot;
        ASSERT_EQ(ring.checkout_for_write(slot, SingleCircularBufferList::kAnyGeneration, c.hold), Checkout::kTaken);
        std::memset(slot.data, 0xAB, 16);
        auto operation = std::async(std::launch::async, [&] { c.operation(ring); });
        if (c.waits) {
            EXPECT_EQ(operation.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
            EXPECT_TRUE(ring.commit_write(slot));
        }
        ASSERT_EQ(operation.wait_for(kGenerous), std::future_status::ready);
        if (!c.waits) {
            EXPECT_FALSE(ring.commit_write(slot)) << "a voided slot is not published";
        }
        const bool stopped = std::string(c.name).find("stop") == 0;
        EXPECT_EQ(ring.size(), stopped ? 2u : 0u);
        EXPECT_EQ(write_value(ring, 3, c.hold), !stopped);
        EXPECT_EQ(ring.size(), c.size_after);
    }
}

}  // namespace
}  // namespace vorlan_sdk2
