// The receive path's building blocks: the single-consumer queue, the object
// pool and the listener list.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "callback_list.h"
#include "large_object_pool.h"
#include "single_consumer_queue.h"

namespace vorlan_sdk {
namespace {

using util::LargeObjectPool;
using util::SingleConsumerQueue;

const auto kPast = std::chrono::system_clock::now() - std::chrono::seconds(1);

std::vector<int> drain(SingleConsumerQueue<int>& queue) {
    std::vector<int> items;
    int item = 0;
    while (queue.pop(item, kPast)) {
        items.push_back(item);
    }
    return items;
}

std::vector<int> range(int first, int last) {
    std::vector<int> items;
    for (int i = first; i <= last; ++i) {
        items.push_back(i);
    }
    return items;
}

TEST(SingleConsumerQueueTest, KeepsOrderWhileTheRingWrapsAndGrows) {
    SingleConsumerQueue<int> queue;
    for (int i = 0; i < 50; ++i) {
        queue.push(i);
    }
    int item = -1;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(queue.pop(item, kPast));
        EXPECT_EQ(item, i);
    }
    // The head now sits deep in the ring: these wrap around, then force growth.
    for (int i = 50; i < 300; ++i) {
        queue.push(i);
    }
    EXPECT_EQ(queue.size(), 260);
    EXPECT_EQ(drain(queue), range(40, 299));
    EXPECT_EQ(queue.size(), 0);
}

// Whole bursts go in at once, into a ring whose head sits deep inside: they
// wrap, make it grow, and still come out in order, after the single pushes.
TEST(SingleConsumerQueueTest, BurstsKeepOrderWhileTheRingWrapsAndGrows) {
    SingleConsumerQueue<int> queue;
    queue.reserve(64);
    for (int i = 0; i < 60; ++i) {
        queue.push(i);
    }
    EXPECT_EQ(drain(queue).size(), 60u);
    queue.push(0);
    int burst[32];
    for (int first = 1; first < 300; first += 32) {
        const int count = std::min(32, 300 - first);
        for (int i = 0; i < count; ++i) {
            burst[i] = first + i;
        }
        ASSERT_EQ(queue.push_all(burst, static_cast<std::size_t>(count)), 0u);
    }
    EXPECT_EQ(queue.size(), 300);
    EXPECT_EQ(drain(queue), range(0, 299));
}

TEST(SingleConsumerQueueTest, BacklogBeyondTheLimitIsDroppedWholeBeforeTheNextPush) {
    SingleConsumerQueue<int> queue;
    for (int i = 1; i <= 1001; ++i) {
        ASSERT_EQ(queue.push(i, 1000), 0u) << i;
    }
    EXPECT_EQ(queue.push(1002, 1000), 1001u);
    EXPECT_EQ(queue.push(1003, 1000), 0u);
    EXPECT_EQ(drain(queue), range(1002, 1003));
}

TEST(SingleConsumerQueueTest, DroppedItemsAreReleased) {
    SingleConsumerQueue<std::shared_ptr<int>> queue;
    auto item = std::make_shared<int>(7);
    std::weak_ptr<int> watch = item;
    queue.push(std::move(item));
    EXPECT_EQ(queue.clear(), 1u);
    EXPECT_TRUE(watch.expired());
}

TEST(SingleConsumerQueueTest, EmptyQueueReturnsNothingAtTheDeadline) {
    SingleConsumerQueue<int> queue;
    int item = 42;
    EXPECT_FALSE(queue.pop(item, kPast));
    EXPECT_EQ(item, 42);
}

TEST(SingleConsumerQueueTest, WaitingConsumerWakesForAPush) {
    SingleConsumerQueue<int> queue;
    std::atomic<int> received{0};
    std::thread consumer([&] {
        int item = 0;
        // A lost wake-up would show as the generous deadline passing.
        if (queue.pop(item, std::chrono::system_clock::now() + std::chrono::seconds(30))) {
            received = item;
        }
    });
    queue.push(5);
    consumer.join();
    EXPECT_EQ(received.load(), 5);
}

// The waits below have a deadline far beyond any scheduling delay: a lost
// wake-up shows as a wait that lasted until its deadline.
const auto kFar = std::chrono::seconds(60);

TEST(SingleConsumerQueueTest, QuietPushesAreAnnouncedByNotify) {
    SingleConsumerQueue<int> queue;
    const auto deadline = std::chrono::system_clock::now() + kFar;
    std::vector<int> received;
    bool woke_before_deadline = false;
    std::thread consumer([&] {
        int item = 0;
        while (received.size() < 3 && queue.pop(item, deadline)) {
            received.push_back(item);
        }
        woke_before_deadline = std::chrono::system_clock::now() < deadline;
    });
    queue.push_quietly(1);
    queue.push_quietly(2);
    queue.push_quietly(3);
    queue.notify();
    consumer.join();
    EXPECT_EQ(received, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(woke_before_deadline);
}

// A batch wakes a consumer asleep on its own: the receive path relies on
// it to have a long burst decoded while the rest is still being read.
TEST(SingleConsumerQueueTest, BatchesWakeASleepingConsumer) {
    SingleConsumerQueue<int> queue;
    const auto deadline = std::chrono::system_clock::now() + kFar;
    std::vector<int> received;
    bool woke_before_deadline = false;
    std::thread consumer([&] {
        int item = 0;
        while (received.size() < 6 && queue.pop(item, deadline)) {
            received.push_back(item);
        }
        woke_before_deadline = std::chrono::system_clock::now() < deadline;
    });
    int first[3] = {1, 2, 3};
    int second[3] = {4, 5, 6};
    EXPECT_EQ(queue.push_all(first, 3), 0u);
    // The second batch lands while the consumer sleeps or drains the first.
    while (queue.size() != 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(queue.push_all(second, 3), 0u);
    consumer.join();
    EXPECT_EQ(received, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(woke_before_deadline);
}

TEST(SingleConsumerQueueTest, InterruptEndsTheConsumersWait) {
    SingleConsumerQueue<int> queue;
    const auto deadline = std::chrono::system_clock::now() + kFar;
    bool popped = true;
    bool woke_before_deadline = false;
    std::thread consumer([&] {
        int item = 0;
        popped = queue.pop(item, deadline);
        woke_before_deadline = std::chrono::system_clock::now() < deadline;
    });
    queue.interrupt();  // before or during the wait: either way it ends
    consumer.join();
    EXPECT_FALSE(popped);
    EXPECT_TRUE(woke_before_deadline);
}

TEST(SingleConsumerQueueTest, ProducerWaitsForTheBacklogToShrink) {
    SingleConsumerQueue<int> queue;
    for (int i = 0; i < 10; ++i) {
        queue.push_quietly(i);
    }
    const auto deadline = std::chrono::system_clock::now() + kFar;
    bool drained = false;
    std::thread producer([&] { drained = queue.wait_until_at_most(2, deadline); });
    int item = 0;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(queue.pop(item, kPast));
    }
    producer.join();
    EXPECT_TRUE(drained);
    EXPECT_EQ(queue.size(), 2);
    EXPECT_FALSE(queue.wait_until_at_most(1, kPast));
}

TEST(SingleConsumerQueueTest, ManyProducersLoseNothing) {
    SingleConsumerQueue<int> queue;
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < kEach; ++i) {
                queue.push(p * kEach + i);
            }
        });
    }
    std::vector<int> last(kProducers, -1);
    int popped = 0;
    while (popped < kProducers * kEach) {
        int item = 0;
        if (queue.pop(item, std::chrono::system_clock::now() + std::chrono::seconds(30))) {
            // Each producer's items come out in the order it pushed them.
            EXPECT_GT(item, last[item / kEach]);
            last[item / kEach] = item;
            ++popped;
        } else {
            FAIL() << "stalled after " << popped;
        }
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
}

struct Buffer {
    std::vector<uint8_t> bytes;
};

TEST(LargeObjectPoolTest, ReleasedObjectComesBackWithItsCapacity) {
    auto pool = LargeObjectPool<Buffer>::create();
    Buffer* first = nullptr;
    {
        std::shared_ptr<Buffer> buffer = pool->get();
        buffer->bytes.assign(1500, 0xAB);
        first = buffer.get();
    }
    std::shared_ptr<Buffer> again = pool->get();
    EXPECT_EQ(again.get(), first);
    EXPECT_GE(again->bytes.capacity(), 1500u);
    EXPECT_EQ(pool->created(), 1u);
}

TEST(LargeObjectPoolTest, GrowsToTheMostObjectsAliveAtOnce) {
    auto pool = LargeObjectPool<Buffer>::create();
    for (int round = 0; round < 3; ++round) {
        std::vector<std::shared_ptr<Buffer>> alive;
        for (int i = 0; i < 5; ++i) {
            alive.push_back(pool->get());
        }
    }
    EXPECT_EQ(pool->created(), 5u);
}

TEST(LargeObjectPoolTest, ObjectsOutliveTheOwnerOfThePool) {
    auto pool = LargeObjectPool<Buffer>::create();
    std::shared_ptr<Buffer> buffer = pool->get();
    pool.reset();
    buffer->bytes.assign(100, 1);  // still ours: the pool lives until it is given back
    buffer.reset();
}

TEST(LargeObjectPoolTest, ObjectsGivenBackOnAnotherThread) {
    auto pool = LargeObjectPool<Buffer>::create();
    SingleConsumerQueue<std::shared_ptr<Buffer>> queue;
    constexpr int kCount = 5000;
    std::thread consumer([&] {
        std::shared_ptr<Buffer> buffer;
        for (int received = 0; received < kCount;) {
            if (queue.pop(buffer, std::chrono::system_clock::now() + std::chrono::seconds(30))) {
                EXPECT_EQ(buffer->bytes.size(), 64u);
                buffer.reset();
                ++received;
            } else {
                ADD_FAILURE() << "stalled";
                return;
            }
        }
    });
    for (int i = 0; i < kCount; ++i) {
        std::shared_ptr<Buffer> buffer = pool->get();
        buffer->bytes.assign(64, static_cast<uint8_t>(i));
        queue.push(std::move(buffer));
    }
    consumer.join();
    pool.reset();  // the last objects may still be on their way back
}

// The steps the receive path takes for every datagram, once warmed up.
TEST(LargeObjectPoolTest, WarmedReceivePathAllocatesNothing) {
    auto pool = LargeObjectPool<Buffer>::create();
    SingleConsumerQueue<std::shared_ptr<Buffer>> queue;
    const std::vector<uint8_t> datagram(1000, 0x5A);
    auto one_datagram = [&] {
        std::shared_ptr<Buffer> buffer = pool->get();
        buffer->bytes.assign(datagram.begin(), datagram.end());
        queue.push(std::move(buffer), 1000);
        std::shared_ptr<Buffer> taken;
        ASSERT_TRUE(queue.pop(taken, kPast));
    };
    for (int i = 0; i < 10; ++i) {
        one_datagram();
    }
    const vorlan_test::ThisThreadAllocations allocations;
    for (int i = 0; i < 1000; ++i) {
        one_datagram();
    }
    EXPECT_EQ(allocations.count(), 0u);
}

TEST(CallbackListTest, ListenersRunInTheOrderTheyWereAdded) {
    util::Callback<int, const std::string&> list;
    std::vector<std::string> calls;
    uint64_t first_id = 99;
    uint64_t second_id = 99;
    list.listen([&](int n, const std::string& text) { calls.push_back("a" + std::to_string(n) + text); }, &first_id);
    list.listen([&](int n, const std::string& text) { calls.push_back("b" + std::to_string(n) + text); }, &second_id);
    list.listen([&](int, const std::string&) { calls.push_back("c"); });
    EXPECT_NE(first_id, second_id);

    list.emit(1, "x");
    list.unlisten(first_id);
    list.unlisten(12345);  // unknown ids are ignored
    list.emit(2, "y");
    EXPECT_EQ(calls, (std::vector<std::string>{"a1x", "b1x", "c", "b2y", "c"}));
}

}  // namespace
}  // namespace vorlan_sdk
