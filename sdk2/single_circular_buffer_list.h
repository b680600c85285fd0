// A bounded ring of fixed-size slots between exactly one producer thread and
// exactly one consumer thread. Each side checks a slot out, fills or reads it
// without holding the ring's mutex, and then hands it on; the writer and
// reader marks keep the two sides off the same slot. A full ring makes the
// producer wait instead of dropping data, so a slow consumer slows the source.
//
// The frame FIFO stores one frame per slot; the asynchronous relay stores one
// datagram per slot.
#ifndef VORLAN_SDK2_SINGLE_CIRCULAR_BUFFER_LIST_H
#define VORLAN_SDK2_SINGLE_CIRCULAR_BUFFER_LIST_H

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

    // Producer. Waits while the ring is full, without limit, then checks out
    // the slot at the write position.
    Checkout checkout_for_write(Slot& slot);
    // Publishes the slot to the consumer. False when the storage was reset,
    // disabled or stopped since the checkout (the data is then dropped).
    bool commit_write(const Slot& slot);
    // Gives the slot back unpublished.
    void abandon_write(const Slot& slot);

    // Consumer. Checks out the oldest slot. A `timeout_ms` of 0 waits without
    // limit (until data arrives or the ring is stopped or disabled); otherwise
    // waits until the deadline and returns kTimedOut if nothing came.
    Checkout checkout_for_read(Slot& slot, std::uint32_t timeout_ms);
    // Consumes the checked-out slot. False when nothing is checked out.
    bool release_read();
    // Ends the checkout without consuming: the next read gets the same slot.
    // False when nothing is checked out.
    bool put_back();

    // Drops everything queued, after waiting for both sides' checkouts to end.
    void discard_all();

    bool empty() const;
    bool full() const;
    std::uint32_t size() const;
    std::uint32_t capacity() const;
    std::uint64_t slot_size() const;

private:
    std::uint8_t* slot_at(std::uint32_t index) const { return m_storage.get() + index * m_slot_size; }
    std::uint32_t next(std::uint32_t index) const { return index + 1 == m_capacity ? 0 : index + 1; }

    mutable std::mutex m_mutex;
    std::condition_variable m_not_empty;  // a slot was committed, or waiting is over
    std::condition_variable m_not_full;   // a slot was released, or waiting is over
    std::condition_variable m_checkout;   // a checkout ended

    // All guarded by m_mutex.
    std::shared_ptr<std::uint8_t[]> m_storage;
    std::uint32_t m_capacity = 0;
    std::uint64_t m_slot_size = 0;
    std::uint32_t m_read = 0;
    std::uint32_t m_write = 0;
    bool m_full = false;
    bool m_stopped = false;
    bool m_reader_active = false;
    bool m_writer_active = false;
    std::uint64_t m_generation = 0;  // counts storage replacements
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_SINGLE_CIRCULAR_BUFFER_LIST_H
