// The asynchronous relay: a ring of fixed-size blocks between the threads
// that receive payloads and one relay thread that runs the parser chain, so
// that a slow listener holds up the relay thread instead of the source.
//
// A block holds, little-endian as the host writes it: the sensor handle
// (uint64, offset 0), the timestamp (int64, offset 8), the payload size
// (uint64, offset 16) and the payload from offset 24.
#ifndef VORLAN_SDK2_ASYNC_RELAY_H
#define VORLAN_SDK2_ASYNC_RELAY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "drop_report.h"
#include "single_circular_buffer_list.h"

namespace vorlan_sdk2 {

// Called on the relay thread with one payload, valid only during the call.
using PayloadSink = void (*)(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* context);

class AsyncRelay : public std::enable_shared_from_this<AsyncRelay> {
public:
    static constexpr uint64_t kBlockSize = 65600;
    static constexpr uint64_t kBlockHeaderSize = 24;
    static constexpr uint64_t kMaxPayloadSize = kBlockSize - kBlockHeaderSize;
    static constexpr uint32_t kMinBlocks = 2;
    static constexpr uint32_t kMaxBlocks = 4096;

    // Allocates `n_blocks` blocks and starts the relay thread. Null when the
    // blocks cannot be had. The thread holds the relay alive until it ends.
    static std::shared_ptr<AsyncRelay> start(uint32_t n_blocks, PayloadSink sink, void* context);

    ~AsyncRelay();
    AsyncRelay(const AsyncRelay&) = delete;
    AsyncRelay& operator=(const AsyncRelay&) = delete;

    // Copies the payload into the next free block, waiting while every block
    // is full. Any number of threads may call; they take turns, so the ring
    // keeps a single producer. Returns VORLAN_SUCCESS,
    // VORLAN_ERROR_OUT_OF_MEMORY for a payload larger than kMaxPayloadSize, or
    // VORLAN_ERROR_INVALID_STATE once the relay is stopped or the calling
    // thread's delivery is called off (delivery_cancel.h); the payload is
    // then dropped.
    int push(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size);

    // Drops every payload queued so far, without waiting for the relay
    // thread: a payload being relayed now finishes (its waits for room in
    // the frame FIFO called off), the others are never relayed. Waits only
    // for a payload being copied in.
    void discardQueued();
    // Wakes producers waiting for room, so that one whose delivery was
    // called off gives up.
    void wakeProducers();

    // Ends the relay thread and waits for it (unless called on the relay
    // thread itself, from the sink: the thread then ends once the sink
    // returns). Queued payloads are dropped; waiting producers return.
    void stop();

private:
    AsyncRelay(PayloadSink sink, void* context);
    void relayBlocks();

    const PayloadSink m_sink;
    void* const m_context;
    SingleCircularBufferList m_ring;
    // Held by one producer from checkout to commit. A producer waiting for
    // its turn polls it, so that it can see its delivery called off.
    std::mutex m_producer_mutex;
    // Moved by stop() and discardQueued(): calls off the relay thread's
    // delivery under way.
    std::atomic<std::uint64_t> m_cancels{0};
    std::mutex m_thread_mutex;    // guards m_thread
    std::thread m_thread;
    // Payloads too large for a block: the caller is still answered 0, so
    // standard error is where their loss is told.
    std::mutex m_oversized_mutex;  // guards m_oversized
    DropReport m_oversized;
};

// ---- The library's one relay.

// Replaces the running relay, if any (its queued payloads are dropped), with
// a new one whose thread runs the parser chain, and routes VorlanReceiveData
// to it. VORLAN_ERROR_INVALID_ARGUMENTS outside [kMinBlocks, kMaxBlocks],
// VORLAN_ERROR_OUT_OF_MEMORY when the blocks cannot be allocated.
int startAsyncRelay(uint32_t n_blocks);
// Routes payloads straight to the chain again and ends the relay; queued
// payloads are dropped. VORLAN_ERROR_INVALID_STATE when none runs.
int stopAsyncRelay();
// Drops every payload queued in the relay (replay seeks and unloads: what was
// queued belongs to the position left behind).
void clearAsyncRelay();

// Wakes the producers of the running relay (delivery_cancel.h).
void wakeAsyncRelayProducers();

// True on a relay thread, in the parser chain it runs. A source feeding the
// relay may be waiting for room in it, so such a thread must not wait for a
// source.
bool onAsyncRelayThread();

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_ASYNC_RELAY_H
