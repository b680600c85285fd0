// A bounded ring of fixed-size slots between exactly one producer thread and
// exactly one consumer thread. Each side checks a slot out, fills or reads it
// without holding the ring's mutex, and then hands it on; the writer and
// reader marks keep the two sides off the same slot. A full ring makes the
// producer wait instead of dropping data, so a slow consumer slows the source.
//
// The frame FIFO stores one frame per slot; the asynchronous relay stores one
// datagram per slot.
//
// Handing a slot across costs little when both sides are busy: a side that
// finds nothing to do spins briefly before it sleeps, a side is woken only
// when it sleeps, the consumer may take every ready slot in one checkout
// (checkout_batch_for_read) and give them back a few at a time, and a
// producer sleeping on a full ring is woken once a share of the ring is free
// rather than at every slot. A producer that holds no storage reference
// (Hold::kNothing) checks out and publishes a slot without the mutex while
// the ring has room: the write count is published with release order and
// the mutex is taken only to sleep, to wake a sleeping consumer, or when an
// operation on the whole ring (reset, disable, stop, discard) is under way.
#ifndef VORLAN_SDK2_SINGLE_CIRCULAR_BUFFER_LIST_H
#define VORLAN_SDK2_SINGLE_CIRCULAR_BUFFER_LIST_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vorlan_sdk2 {

class SingleCircularBufferList {
public:
    enum class Checkout {
        kTaken,     // the slot is yours until you commit, release or put it back
        kTimedOut,  // the deadline passed with nothing to read
        kRefused,   // no storage, the ring is stopped, or the side is already checked out
    };

    // Larger storage is refused outright: no machine this runs on has it,
    // and allocators (sanitizers' among them) treat such requests as bugs.
    static constexpr std::uint64_t kMaxStorageBytes = std::uint64_t{1} << 40;

    enum class Setup {
        kReady,
        kTooLarge,     // capacity x slot size exceeds kMaxStorageBytes
        kOutOfMemory,  // the storage could not be allocated
    };

    // A checked-out slot. `keep` holds the storage alive while the holder
    // copies, even if another thread resets or disables the ring meanwhile;
    // `generation` tells whether the slot still belongs to the current storage.
    struct Slot {
        std::uint8_t* data = nullptr;
        std::uint64_t generation = 0;
        std::shared_ptr<std::uint8_t[]> keep;
        bool unlocked = false;  // checked out without the mutex; committed the same way
    };

    SingleCircularBufferList() = default;
    SingleCircularBufferList(const SingleCircularBufferList&) = delete;
    SingleCircularBufferList& operator=(const SingleCircularBufferList&) = delete;
    ~SingleCircularBufferList();

    // Replaces the storage with `capacity` empty slots of `slot_size` bytes
    // each (no storage for a capacity of 0) and clears the stopped flag. Any
    // checkout of the old storage is void: waiters return kRefused and a
    // commit of an old slot is refused. On failure the ring is left disabled.
    Setup reset(std::uint32_t capacity, std::uint64_t slot_size);

    // Frees the storage (capacity 0) and wakes every waiter, which returns
    // kRefused. Slots still checked out stay readable through their `keep`.
    void disable();

    // Ends all waiting for good: every waiter and every later checkout gets
    // kRefused, until the next reset().
    void stop();

    // Identifies the current storage; changes with every reset() and disable().
    std::uint64_t generation() const;

    // Lets whoever started a producer's wait call it off: once the counter
    // has moved past `seen`, the checkout is refused. The one who moves it
    // then calls wake_writers().
    struct WaitCancel {
        const std::atomic<std::uint64_t>* counter = nullptr;
        std::uint64_t seen = 0;
        bool cancelled() const { return counter != nullptr && counter->load(std::memory_order_seq_cst) != seen; }
    };

    // Producer. Waits while the ring is full, without limit (unless
    // `cancel` fires), then checks out the slot at the write position. With
    // `expected_generation`, refuses unless the storage is still that one.
    static constexpr std::uint64_t kAnyGeneration = ~std::uint64_t{0};
    // kNothing leaves `keep` empty, for a producer that knows the storage
    // outlives its checkout, and lets the checkout and its commit go
    // without the mutex while the ring has room. Operations on the whole
    // ring then wait for the slot to be committed or abandoned (a copy's
    // time) instead of voiding it, and such a commit succeeds even when
    // stop() came meanwhile.
    enum class Hold { kStorage, kNothing };
    Checkout checkout_for_write(Slot& slot, std::uint64_t expected_generation = kAnyGeneration,
                                Hold hold = Hold::kStorage, const WaitCancel* cancel = nullptr);
    // Wakes a producer waiting for room, so that it looks at its cancel.
    void wake_writers();
    // True while a producer sleeps waiting for room.
    bool writer_waiting() const;
    // Slots consumed since the last reset: moves whenever the consumer makes room.
    std::uint64_t consumed_count() const { return consumed(); }
    // Makes producers give up: one waiting in checkout_for_write() returns
    // kRefused, and so does every later checkout for writing, until the next
    // reset(). For when nobody may produce any more: a producer call still
    // under way then never waits for a consumer that may be gone.
    void refuse_writers();
    // Publishes the slot to the consumer. False when the storage was reset,
    // disabled or stopped since the checkout (the data is then dropped).
    bool commit_write(const Slot& slot);
    // Gives the slot back unpublished.
    void abandon_write(const Slot& slot);

    // Consumer. Checks out the oldest slot. A `timeout_ms` of 0 waits without
    // limit (until data arrives, the ring is stopped or disabled, or
    // interrupt_readers() is called); otherwise waits until the deadline and
    // returns kTimedOut if nothing came.
    Checkout checkout_for_read(Slot& slot, std::uint32_t timeout_ms);
    // A consumer waiting now in checkout_for_read() returns kRefused; later
    // checkouts are not affected.
    void interrupt_readers();
    // Consumes the checked-out slot. False when nothing is checked out.
    bool release_read();
    // Ends the checkout without consuming: the next read gets the same slot.
    // False when nothing is checked out.
    bool put_back();

    // Consumer, many slots at once: the slots ready now, up to `max`, in the
    // order written. Waits without limit (until data arrives or the ring is
    // stopped or disabled) while none is ready.
    struct ReadBatch {
        std::uint32_t count = 0;
        Slot storage;  // data: the start of the storage
        std::uint64_t slot_size = 0;
        std::uint32_t capacity = 0;
        std::uint32_t first = 0;
        std::uint8_t* slot(std::uint32_t k) const {
            const std::uint32_t index = first + k < capacity ? first + k : first + k - capacity;
            return storage.data + index * slot_size;
        }
    };
    Checkout checkout_batch_for_read(ReadBatch& batch, std::uint32_t max);
    // Consumes the batch's first `n` slots (n > 0) and moves the batch past
    // them; the checkout ends once none is left. False when the storage was
    // reset, disabled or stopped since the checkout, or nothing is checked out.
    bool release_batch(ReadBatch& batch, std::uint32_t n);
    // True once stop() was called (until the next reset()); readable without
    // the mutex, so a consumer walking a batch can give up early.
    bool stopped() const { return m_stopped_flag.load(std::memory_order_acquire); }

    // Drops everything committed so far, after waiting for the producer's
    // checkout (a copy) to end, never for the consumer: slots the consumer
    // holds are dropped when it gives them back (release, put back), the
    // rest of its batch with them, except what it is reading at that moment.
    // Slots committed after the call are kept.
    void discard_all();
    // True while a discard waits for the consumer to give its slots back; a
    // consumer in the middle of a batch looks here to stop early.
    bool discard_pending() const { return m_discard_pending.load(std::memory_order_seq_cst); }

    bool empty() const;
    bool full() const;
    std::uint32_t size() const;
    std::uint32_t capacity() const;
    std::uint64_t slot_size() const;

private:
    std::uint8_t* slot_at(std::uint64_t count) const { return m_storage.get() + (count % m_capacity) * m_slot_size; }
    std::uint64_t written() const { return m_written.load(std::memory_order_seq_cst); }
    std::uint64_t consumed() const { return m_consumed.load(std::memory_order_seq_cst); }
    std::uint32_t size_locked() const { return static_cast<std::uint32_t>(written() - consumed()); }
    bool full_locked() const { return m_capacity != 0 && size_locked() == m_capacity; }
    // Takes m_mutex.
    std::unique_lock<std::mutex> locked() const;
    // With the mutex held: once `done_waiting` holds, drops everything
    // written so far. False when the storage changed meanwhile.
    // With the mutex held, the reader checked out: carries out a pending
    // discard. True when there was one.
    bool apply_pending_discard_locked();
    // Spins a short while, the mutex released, watching `counter` (the other
    // side's), until `ready` holds; true if it did. Returns with the mutex held.
    template <class Ready>
    bool spin_until(std::unique_lock<std::mutex>& lock, const std::atomic<std::uint64_t>& counter, Ready ready);
    // Before a batch checkout: while some slots are ready but fewer than
    // `wanted`, watches the counters a short while, without the mutex.
    void gather(std::uint32_t wanted) const;
    // With the mutex held: keeps unlocked checkouts out and waits until none
    // is under way, so that the counts and the storage may change. Undone by
    // end_exclusive().
    void begin_exclusive(std::unique_lock<std::mutex>& lock);
    void end_exclusive();
    // Refreshes what unlocked checkouts read; with the mutex held, inside
    // begin_exclusive().
    void publish_unlocked_view();
    // The unlocked producer path; false when it does not apply now.
    bool checkout_unlocked(Slot& slot);
    void end_unlocked_checkout();

    mutable std::mutex m_mutex;
    std::condition_variable m_not_empty;  // a slot was committed, or waiting is over
    std::condition_variable m_not_full;   // a slot was released, or waiting is over
    std::condition_variable m_checkout;   // a checkout ended

    // All guarded by m_mutex.
    std::shared_ptr<std::uint8_t[]> m_storage;
    std::uint32_t m_capacity = 0;
    std::uint64_t m_slot_size = 0;
    bool m_stopped = false;
    bool m_reader_active = false;
    bool m_writer_active = false;
    std::uint64_t m_generation = 0;  // counts storage replacements
    bool m_writers_refused = false;
    std::uint32_t m_discarding = 0;        // discards waiting on m_checkout
    std::uint64_t m_discard_to = 0;        // what a pending discard drops: slots written before it
    std::uint64_t m_reader_interrupts = 0;
    std::uint32_t m_writer_sleeping = 0;   // producers waiting on m_not_full
    // Consumers waiting on m_not_empty: changed under the mutex, read by an
    // unlocked commit, which must wake them.
    std::atomic<std::uint32_t> m_reader_sleeping{0};
    std::atomic<bool> m_stopped_flag{false};  // mirrors m_stopped
    std::atomic<bool> m_discard_pending{false};  // changed under the mutex

    // For unlocked checkouts. m_exclusive counts whole-ring operations under
    // way; the view below changes only inside them, while no unlocked
    // checkout is under way, and is read only by an unlocked checkout.
    std::atomic<std::uint32_t> m_exclusive{0};
    std::atomic<bool> m_unlocked_writer{false};  // an unlocked checkout is under way
    struct UnlockedView {
        bool open = false;  // storage there, not stopped, writers not refused
        std::uint8_t* storage = nullptr;
        std::uint32_t capacity = 0;
        std::uint64_t slot_size = 0;
        std::uint64_t generation = 0;
    } m_unlocked_view;

    // Slots written and slots consumed since the last reset; what lies
    // between is queued. The producer alone raises m_written (the consumer
    // alone m_consumed) except inside whole-ring operations. Apart from the
    // mutex and from each other: each side spins on the other's, and
    // writing one must not slow the reading of the other.
    alignas(64) std::atomic<std::uint64_t> m_written{0};
    alignas(64) std::atomic<std::uint64_t> m_consumed{0};
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_SINGLE_CIRCULAR_BUFFER_LIST_H
