#include "single_circular_buffer_list.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <new>
#include <thread>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlan_sdk2 {

namespace {

// A side with nothing to do watches the other side's counter this many times
// (a microsecond or two: long enough to catch a partner that is busy with the
// slot before on another core, short enough to give the processor up soon
// when the partner is not running) before it sleeps.
constexpr int kSpinPauses = 64;
constexpr int kLockSpins = 100;
constexpr int kGatherPauses = 64;
constexpr std::uint32_t kGatherSlots = 16;

void cpu_relax() {
#if defined(__SSE2__)
    _mm_pause();
#endif
}

}  // namespace

template <class Ready>
bool SingleCircularBufferList::spin_until(std::unique_lock<std::mutex>& lock,
                                          const std::atomic<std::uint64_t>& counter, Ready ready) {
    const std::uint64_t seen = counter.load(std::memory_order_acquire);
    lock.unlock();
    bool moved = false;
    for (int i = 0; i < kSpinPauses && !moved; ++i) {
        cpu_relax();
        moved = counter.load(std::memory_order_acquire) != seen || m_stopped_flag.load(std::memory_order_acquire);
    }
    lock = locked();
    return ready();
}

void SingleCircularBufferList::gather(std::uint32_t wanted) const {
    std::uint64_t ready = m_written.load(std::memory_order_acquire) - m_consumed.load(std::memory_order_acquire);
    if (ready == 0 || ready > (std::uint64_t{1} << 32)) {
        return;  // nothing under way (the checkout spins, then sleeps), or a reset under way
    }
    for (int i = 0; i < kGatherPauses && ready < wanted; ++i) {
        cpu_relax();
        ready = m_written.load(std::memory_order_acquire) - m_consumed.load(std::memory_order_acquire);
    }
}

std::unique_lock<std::mutex> SingleCircularBufferList::locked() const {
    // The two sides hold the mutex only for a few instructions; a side that
    // finds it taken waits a moment rather than going to sleep, which would
    // cost a trip through the scheduler.
    for (int i = 0; i < kLockSpins; ++i) {
        if (m_mutex.try_lock()) {
            return std::unique_lock<std::mutex>(m_mutex, std::adopt_lock);
        }
        cpu_relax();
    }
    return std::unique_lock<std::mutex>(m_mutex);
}

// ---- Whole-ring operations and the unlocked producer -----------------------
//
// An unlocked checkout announces itself in m_unlocked_writer and then looks
// at m_exclusive; a whole-ring operation announces itself in m_exclusive
// and then looks at m_unlocked_writer. Both in sequentially consistent
// order, so at least one of them sees the other: either the checkout backs
// off to the mutex, or the operation waits until the slot is committed.

void SingleCircularBufferList::begin_exclusive(std::unique_lock<std::mutex>& lock) {
    m_exclusive.fetch_add(1, std::memory_order_seq_cst);
    m_checkout.wait(lock, [&] { return !m_unlocked_writer.load(std::memory_order_seq_cst); });
}

void SingleCircularBufferList::end_exclusive() { m_exclusive.fetch_sub(1, std::memory_order_seq_cst); }

void SingleCircularBufferList::publish_unlocked_view() {
    m_unlocked_view.open = m_capacity != 0 && !m_stopped && !m_writers_refused;
    m_unlocked_view.storage = m_storage.get();
    m_unlocked_view.capacity = m_capacity;
    m_unlocked_view.slot_size = m_slot_size;
    m_unlocked_view.generation = m_generation;
}

bool SingleCircularBufferList::checkout_unlocked(Slot& slot) {
    if (m_unlocked_writer.exchange(true, std::memory_order_seq_cst)) {
        return false;  // another producer is at it: the mutex sorts it out
    }
    if (m_exclusive.load(std::memory_order_seq_cst) == 0 && m_unlocked_view.open) {
        const UnlockedView& view = m_unlocked_view;
        const std::uint64_t written = m_written.load(std::memory_order_relaxed);
        if (written - m_consumed.load(std::memory_order_acquire) < view.capacity) {
            slot.data = view.storage + (written % view.capacity) * view.slot_size;
            slot.generation = view.generation;
            slot.keep.reset();
            slot.unlocked = true;
            return true;
        }
    }
    end_unlocked_checkout();
    return false;
}

void SingleCircularBufferList::end_unlocked_checkout() {
    m_unlocked_writer.store(false, std::memory_order_seq_cst);
    if (m_exclusive.load(std::memory_order_seq_cst) != 0) {
        // A whole-ring operation waits for this checkout to end.
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_checkout.notify_all();
    }
}

SingleCircularBufferList::~SingleCircularBufferList() {
    stop();
}

SingleCircularBufferList::Setup SingleCircularBufferList::reset(std::uint32_t capacity, std::uint64_t slot_size) {
    std::shared_ptr<std::uint8_t[]> storage;
    Setup result = Setup::kReady;
    if (capacity != 0) {
        if (slot_size == 0 || slot_size > kMaxStorageBytes / capacity) {
            result = Setup::kTooLarge;
        } else {
            std::uint8_t* bytes = new (std::nothrow) std::uint8_t[capacity * slot_size];
            if (bytes == nullptr) {
                result = Setup::kOutOfMemory;
            } else {
                try {
                    storage.reset(bytes);
                } catch (const std::bad_alloc&) {  // the control block; reset() has freed `bytes`
                    result = Setup::kOutOfMemory;
                }
            }
        }
    }
    if (result != Setup::kReady) {
        disable();
        return result;
    }
    std::shared_ptr<std::uint8_t[]> old;
    {
        std::unique_lock<std::mutex> lock = locked();
        begin_exclusive(lock);
        old = std::move(m_storage);
        m_storage = std::move(storage);
        m_capacity = capacity;
        m_slot_size = capacity != 0 ? slot_size : 0;
        m_written.store(0, std::memory_order_seq_cst);
        m_consumed.store(0, std::memory_order_seq_cst);
        m_stopped = false;
        m_stopped_flag.store(false, std::memory_order_release);
        m_writers_refused = false;
        m_reader_active = m_writer_active = false;
        m_discard_pending.store(false, std::memory_order_seq_cst);
        ++m_generation;
        publish_unlocked_view();
        end_exclusive();
    }
    m_not_empty.notify_all();
    m_not_full.notify_all();
    m_checkout.notify_all();
    return Setup::kReady;  // `old` is freed here, outside the mutex
}

void SingleCircularBufferList::disable() {
    std::shared_ptr<std::uint8_t[]> old;
    {
        std::unique_lock<std::mutex> lock = locked();
        begin_exclusive(lock);
        old = std::move(m_storage);
        m_capacity = 0;
        m_slot_size = 0;
        m_written.store(0, std::memory_order_seq_cst);
        m_consumed.store(0, std::memory_order_seq_cst);
        m_reader_active = m_writer_active = false;
        m_discard_pending.store(false, std::memory_order_seq_cst);
        ++m_generation;
        publish_unlocked_view();
        end_exclusive();
    }
    m_not_empty.notify_all();
    m_not_full.notify_all();
    m_checkout.notify_all();
}

void SingleCircularBufferList::stop() {
    {
        std::unique_lock<std::mutex> lock = locked();
        begin_exclusive(lock);
        m_stopped = true;
        m_stopped_flag.store(true, std::memory_order_release);
        publish_unlocked_view();
        end_exclusive();
    }
    m_not_empty.notify_all();
    m_not_full.notify_all();
    m_checkout.notify_all();
}

std::uint64_t SingleCircularBufferList::generation() const {
    std::unique_lock<std::mutex> lock = locked();
    return m_generation;
}

SingleCircularBufferList::Checkout SingleCircularBufferList::checkout_for_write(Slot& slot,
                                                                                std::uint64_t expected_generation,
                                                                                Hold hold, const WaitCancel* cancel) {
    slot.unlocked = false;
    if (cancel != nullptr && cancel->cancelled()) {
        return Checkout::kRefused;
    }
    if (hold == Hold::kNothing && expected_generation == kAnyGeneration && checkout_unlocked(slot)) {
        return Checkout::kTaken;
    }
    std::unique_lock<std::mutex> lock = locked();
    if (m_capacity == 0 || m_stopped || m_writer_active || m_writers_refused ||
        (expected_generation != kAnyGeneration && expected_generation != m_generation)) {
        return Checkout::kRefused;
    }
    const std::uint64_t generation = m_generation;
    const auto given_up = [&] {
        return m_stopped || m_generation != generation || m_writers_refused ||
               (cancel != nullptr && cancel->cancelled());
    };
    const auto ready = [&] { return !full_locked() || given_up(); };
    if (!ready() && !spin_until(lock, m_consumed, ready)) {
        ++m_writer_sleeping;
        m_not_full.wait(lock, ready);
        --m_writer_sleeping;
    }
    if (given_up()) {
        return Checkout::kRefused;
    }
    m_writer_active = true;
    slot.data = slot_at(written());
    slot.generation = generation;
    if (hold == Hold::kStorage) {
        slot.keep = m_storage;
    }
    return Checkout::kTaken;
}

void SingleCircularBufferList::wake_writers() {
    { std::unique_lock<std::mutex> lock = locked(); }
    m_not_full.notify_all();
}

bool SingleCircularBufferList::writer_waiting() const {
    std::unique_lock<std::mutex> lock = locked();
    return m_writer_sleeping != 0;
}

void SingleCircularBufferList::interrupt_readers() {
    {
        std::unique_lock<std::mutex> lock = locked();
        ++m_reader_interrupts;
    }
    m_not_empty.notify_all();
}

void SingleCircularBufferList::refuse_writers() {
    {
        std::unique_lock<std::mutex> lock = locked();
        begin_exclusive(lock);
        m_writers_refused = true;
        publish_unlocked_view();
        end_exclusive();
    }
    m_not_full.notify_all();
}

bool SingleCircularBufferList::commit_write(const Slot& slot) {
    if (slot.unlocked) {
        // No whole-ring operation can have changed anything since the
        // checkout: they wait for it. The release order makes the slot's
        // bytes visible to the consumer that sees the new count.
        m_written.store(m_written.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        m_unlocked_writer.store(false, std::memory_order_release);
        // One fence orders both stores before both looks below. A consumer
        // counts itself asleep before its last look at the count, and a
        // whole-ring operation announces itself before it looks at the
        // writer: either side sees the other.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        const bool exclusive = m_exclusive.load(std::memory_order_relaxed) != 0;
        const bool reader_sleeping = m_reader_sleeping.load(std::memory_order_relaxed) != 0;
        if (exclusive || reader_sleeping) {
            { std::lock_guard<std::mutex> lock(m_mutex); }
            if (exclusive) {
                m_checkout.notify_all();
            }
            if (reader_sleeping) {
                m_not_empty.notify_all();
            }
        }
        return true;
    }
    bool reader_sleeping = false;
    bool discarding = false;
    {
        std::unique_lock<std::mutex> lock = locked();
        if (slot.generation != m_generation || !m_writer_active) {
            return false;
        }
        m_writer_active = false;
        discarding = m_discarding != 0;
        if (m_stopped) {
            lock.unlock();
            m_checkout.notify_all();
            return false;
        }
        m_written.store(written() + 1, std::memory_order_seq_cst);
        reader_sleeping = m_reader_sleeping.load(std::memory_order_relaxed) != 0;
    }
    if (reader_sleeping) {
        m_not_empty.notify_all();
    }
    if (discarding) {
        m_checkout.notify_all();
    }
    return true;
}

void SingleCircularBufferList::abandon_write(const Slot& slot) {
    if (slot.unlocked) {
        end_unlocked_checkout();
        return;
    }
    {
        std::unique_lock<std::mutex> lock = locked();
        if (slot.generation != m_generation) {
            return;
        }
        m_writer_active = false;
    }
    m_checkout.notify_all();
}

SingleCircularBufferList::Checkout SingleCircularBufferList::checkout_for_read(Slot& slot, std::uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock = locked();
    if (m_capacity == 0 || m_stopped || m_reader_active) {
        return Checkout::kRefused;
    }
    const std::uint64_t generation = m_generation;
    const std::uint64_t interrupts = m_reader_interrupts;
    const auto interrupted = [&] { return m_reader_interrupts != interrupts; };
    const auto ready = [&] {
        return size_locked() != 0 || m_stopped || m_generation != generation || interrupted();
    };
    if (!ready() && !spin_until(lock, m_written, ready)) {
        m_reader_sleeping.fetch_add(1, std::memory_order_seq_cst);
        bool arrived = true;
        if (timeout_ms == 0) {
            m_not_empty.wait(lock, ready);
        } else {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            arrived = m_not_empty.wait_until(lock, deadline, ready);
        }
        m_reader_sleeping.fetch_sub(1, std::memory_order_seq_cst);
        if (!arrived) {
            return Checkout::kTimedOut;
        }
    }
    if (m_stopped || m_generation != generation || (interrupted() && size_locked() == 0)) {
        return Checkout::kRefused;
    }
    m_reader_active = true;
    slot.data = slot_at(consumed());
    slot.generation = generation;
    slot.keep = m_storage;
    return Checkout::kTaken;
}

bool SingleCircularBufferList::release_read() {
    bool writer_sleeping = false;
    bool discarding = false;
    {
        std::unique_lock<std::mutex> lock = locked();
        if (!m_reader_active) {
            return false;
        }
        if (!apply_pending_discard_locked()) {
            m_consumed.store(consumed() + 1, std::memory_order_seq_cst);
            m_reader_active = false;
        }
        writer_sleeping = m_writer_sleeping != 0;
        discarding = m_discarding != 0;
    }
    if (writer_sleeping) {
        m_not_full.notify_all();
    }
    if (discarding) {
        m_checkout.notify_all();
    }
    return true;
}

SingleCircularBufferList::Checkout SingleCircularBufferList::checkout_batch_for_read(ReadBatch& batch,
                                                                                     std::uint32_t max) {
    gather(std::min<std::uint32_t>(max, kGatherSlots));
    std::unique_lock<std::mutex> lock = locked();
    if (m_capacity == 0 || m_stopped || m_reader_active || max == 0) {
        return Checkout::kRefused;
    }
    const std::uint64_t generation = m_generation;
    const auto ready = [&] { return size_locked() != 0 || m_stopped || m_generation != generation; };
    bool yielded = false;
    // Checked again after every wait: while the lock was given up, a discard
    // may have emptied the ring again, and a batch of no slots would leave
    // the reader checked out with nothing to release.
    while (!ready() && !spin_until(lock, m_written, ready)) {
        m_reader_sleeping.fetch_add(1, std::memory_order_seq_cst);
        m_not_empty.wait(lock, ready);
        m_reader_sleeping.fetch_sub(1, std::memory_order_seq_cst);
        if (!yielded && !m_stopped && m_generation == generation && size_locked() < std::min(max, m_capacity / 2)) {
            yielded = true;
            // Woken for a few slots: the producer that woke this thread may
            // share its core and be preempted by the wake-up. Giving the core
            // back once lets it fill more slots (or returns at once when
            // nothing else waits for this core), so that the two sides do
            // not take turns for every slot.
            lock.unlock();
            std::this_thread::yield();
            lock = locked();
        }
    }
    if (m_stopped || m_generation != generation) {
        return Checkout::kRefused;
    }
    m_reader_active = true;
    const std::uint64_t first = consumed();
    batch.count = std::min(size_locked(), max);
    batch.first = static_cast<std::uint32_t>(first % m_capacity);
    batch.capacity = m_capacity;
    batch.slot_size = m_slot_size;
    batch.storage.data = m_storage.get();
    batch.storage.generation = generation;
    batch.storage.keep = m_storage;
    return Checkout::kTaken;
}

bool SingleCircularBufferList::release_batch(ReadBatch& batch, std::uint32_t n) {
    bool writer_sleeping = false;
    bool discarding = false;
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock = locked();
        if (batch.storage.generation != m_generation || !m_reader_active || n > batch.count) {
            return false;
        }
        if (apply_pending_discard_locked()) {
            batch.count = 0;  // the rest of the batch went with the discard
            ended = true;
        } else {
            if (n == 0) {
                return false;
            }
            m_consumed.store(consumed() + n, std::memory_order_seq_cst);
            batch.first = static_cast<std::uint32_t>((std::uint64_t{batch.first} + n) % batch.capacity);
            batch.count -= n;
            ended = batch.count == 0;
            m_reader_active = !ended;
        }
        // A producer asleep on a full ring is woken once half the ring is
        // free, not for every slot: it then fills them in one go, on another
        // core while this side works on, or on this core after it.
        writer_sleeping = m_writer_sleeping != 0 && m_capacity - size_locked() >= std::max(1u, m_capacity / 2);
        discarding = m_discarding != 0;
    }
    if (writer_sleeping) {
        m_not_full.notify_all();
    }
    if (ended && discarding) {
        m_checkout.notify_all();
    }
    return true;
}

bool SingleCircularBufferList::put_back() {
    {
        std::unique_lock<std::mutex> lock = locked();
        if (!m_reader_active) {
            return false;
        }
        (void)apply_pending_discard_locked();
        m_reader_active = false;
    }
    m_not_full.notify_all();
    m_checkout.notify_all();
    return true;
}

void SingleCircularBufferList::discard_all() {
    {
        std::unique_lock<std::mutex> lock = locked();
        const std::uint64_t generation = m_generation;
        // Unlocked checkouts are kept out first: the producer then checks out
        // under the mutex, where the writer mark covers it.
        begin_exclusive(lock);
        ++m_discarding;
        m_checkout.wait(lock, [&] { return !m_writer_active; });
        --m_discarding;
        if (generation == m_generation) {
            if (m_reader_active) {
                // The consumer may be busy with a slot for long (a listener
                // waiting on its own reader); what it holds goes when it
                // gives it back.
                m_discard_to = written();
                m_discard_pending.store(true, std::memory_order_seq_cst);
            } else {
                m_consumed.store(written(), std::memory_order_seq_cst);
            }
        }
        end_exclusive();
    }
    m_not_full.notify_all();
}

bool SingleCircularBufferList::apply_pending_discard_locked() {
    if (!m_discard_pending.load(std::memory_order_relaxed)) {
        return false;
    }
    m_discard_pending.store(false, std::memory_order_seq_cst);
    // Whatever the consumer held was written before the discard.
    if (m_discard_to > consumed()) {
        m_consumed.store(m_discard_to, std::memory_order_seq_cst);
    }
    m_reader_active = false;
    return true;
}

bool SingleCircularBufferList::empty() const {
    std::unique_lock<std::mutex> lock = locked();
    return size_locked() == 0;
}

bool SingleCircularBufferList::full() const {
    std::unique_lock<std::mutex> lock = locked();
    return full_locked();
}

std::uint32_t SingleCircularBufferList::size() const {
    std::unique_lock<std::mutex> lock = locked();
    return size_locked();
}

std::uint32_t SingleCircularBufferList::capacity() const {
    std::unique_lock<std::mutex> lock = locked();
    return m_capacity;
}

std::uint64_t SingleCircularBufferList::slot_size() const {
    std::unique_lock<std::mutex> lock = locked();
    return m_slot_size;
}

}  // namespace vorlan_sdk2
