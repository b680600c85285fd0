#include "async_relay.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "delivery_cancel.h"
#include "frames.h"
#include "framework.h"
#include "thread_name.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

namespace {

void storeU64(uint8_t* at, uint64_t value) { std::memcpy(at, &value, sizeof value); }
uint64_t loadU64(const uint8_t* at) {
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The relay whose blocks this thread relays, if it is a relay thread.
thread_local const AsyncRelay* t_relaying = nullptr;

}  // namespace

AsyncRelay::AsyncRelay(PayloadSink sink, void* context) : m_sink(sink), m_context(context) {}

std::shared_ptr<AsyncRelay> AsyncRelay::start(uint32_t n_blocks, PayloadSink sink, void* context) {
    std::shared_ptr<AsyncRelay> relay(new AsyncRelay(sink, context));
    if (relay->m_ring.reset(n_blocks, kBlockSize) != SingleCircularBufferList::Setup::kReady) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(relay->m_thread_mutex);
    relay->m_thread = std::thread([self = relay] { self->relayBlocks(); });
    return relay;
}

AsyncRelay::~AsyncRelay() { stop(); }

void AsyncRelay::stop() {
    m_ring.stop();
    // Waits the relay thread starts from now on are called off.
    m_cancels.fetch_add(1, std::memory_order_seq_cst);
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_thread_mutex);
        thread = std::move(m_thread);
    }
    if (!thread.joinable()) {
        // Stopped before: a relay that ends on its own thread after a stop
        // from it must not touch the library's objects, which may be going
        // away with the process.
        return;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // the thread's own reference keeps the relay until it ends
        return;
    }
    // The relay thread may be waiting for the client to read the frame FIFO.
    frameFifo().wake_producer();
    thread.join();
}

int AsyncRelay::push(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size) {
    if (size > kMaxPayloadSize) {
        std::lock_guard<std::mutex> lock(m_oversized_mutex);
        const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        uint64_t to_tell = 0;
        if (m_oversized.add(1, now, to_tell)) {
            std::fprintf(stderr,
                         "vorlan_sdk2: %llu payload(s) larger than a relay block (%llu bytes) dropped "
                         "(%llu in all)\n",
                         static_cast<unsigned long long>(to_tell), static_cast<unsigned long long>(kMaxPayloadSize),
                         static_cast<unsigned long long>(m_oversized.total()));
        }
        return VORLAN_ERROR_OUT_OF_MEMORY;
    }
    const WaitCancel& cancel = currentDelivery();
    // Sources on several threads (the network worker, replay workers, client
    // threads) may feed the relay at once; the ring takes one writer at a
    // time and would refuse the others, losing their payloads.
    if (!m_producer_mutex.try_lock()) {
        // Another producer may itself wait for room for as long as the
        // client does not read: look at the cancel now and then.
        for (int tries = 0; !m_producer_mutex.try_lock(); ++tries) {
            if (cancel.cancelled() || m_ring.stopped()) {
                return VORLAN_ERROR_INVALID_STATE;
            }
            if (tries < 16) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    }
    std::lock_guard<std::mutex> producer(m_producer_mutex, std::adopt_lock);
    SingleCircularBufferList::Slot slot;
    // The blocks are freed only with the relay, which every producer holds
    // (see VorlanReceiveDataAsync): the slot needs no reference of its own.
    if (m_ring.checkout_for_write(slot, SingleCircularBufferList::kAnyGeneration,
                                  SingleCircularBufferList::Hold::kNothing, &cancel) !=
        SingleCircularBufferList::Checkout::kTaken) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    // Called off after the checkout: a discard that came meanwhile waited
    // for this slot, and a payload of the position left behind must not
    // survive it.
    if (cancel.cancelled()) {
        m_ring.abandon_write(slot);
        return VORLAN_ERROR_INVALID_STATE;
    }
    storeU64(slot.data, handle);
    storeU64(slot.data + 8, static_cast<uint64_t>(timestamp));
    storeU64(slot.data + 16, size);
    if (size != 0) {
        std::memcpy(slot.data + kBlockHeaderSize, data, size);
    }
    return m_ring.commit_write(slot) ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_STATE;
}

void AsyncRelay::discardQueued() {
    // The discard is marked before the relay thread's delivery is called
    // off: a block the relay thread takes up after the cancel finds the mark.
    m_ring.discard_all();
    m_cancels.fetch_add(1, std::memory_order_seq_cst);
    frameFifo().wake_producer();
}

void AsyncRelay::wakeProducers() { m_ring.wake_writers(); }

void AsyncRelay::relayBlocks() {
    nameThisThread("vorlan2-relay");
    t_relaying = this;
    // A parser may stop the relay from this thread; start() must have stored
    // the thread by then.
    { std::lock_guard<std::mutex> started(m_thread_mutex); }
    // Every ready block is taken in one checkout and given back a few at a
    // time, so the producer gets room early without a lock per block.
    constexpr std::uint32_t kBlocksPerCheckout = 64;
    constexpr std::uint32_t kBlocksPerRelease = 16;
    for (;;) {
        SingleCircularBufferList::ReadBatch batch;
        if (m_ring.checkout_batch_for_read(batch, kBlocksPerCheckout) != SingleCircularBufferList::Checkout::kTaken) {
            return;  // stopped
        }
        std::uint32_t relayed = 0;  // blocks of the batch relayed and not yet given back
        while (batch.count > 0) {
            // Taken before the looks at the stop and at a pending discard:
            // a stop or discard that comes later calls this delivery off.
            const DeliveryScope delivery(m_cancels);
            if (m_ring.stopped()) {
                // Queued payloads are dropped; the checkout ends so that
                // nobody waits for it.
                (void)m_ring.release_batch(batch, batch.count);
                return;
            }
            if (m_ring.discard_pending()) {
                if (!m_ring.release_batch(batch, relayed)) {
                    return;
                }
                break;
            }
            const uint8_t* block = batch.slot(relayed);
            const uint64_t handle = loadU64(block);
            const int64_t timestamp = static_cast<int64_t>(loadU64(block + 8));
            const uint64_t size = loadU64(block + 16);
            try {
                m_sink(handle, timestamp, block + kBlockHeaderSize, static_cast<size_t>(size), m_context);
            } catch (...) {
                // A listener's exception has nowhere to go on this thread; the
                // payload counts as delivered and relaying goes on.
            }
            ++relayed;
            // A discard made meanwhile (a seek, perhaps by the sink itself)
            // takes the rest of the batch when the batch is given back.
            if (relayed == batch.count || relayed == kBlocksPerRelease || m_ring.discard_pending()) {
                if (!m_ring.release_batch(batch, relayed)) {
                    return;
                }
                relayed = 0;
            }
        }
    }
}

// ---- The library's one relay.

namespace {

std::mutex g_relay_mutex;
std::shared_ptr<AsyncRelay> g_relay;  // guarded by g_relay_mutex

std::shared_ptr<AsyncRelay> currentRelay() {
    std::lock_guard<std::mutex> lock(g_relay_mutex);
    return g_relay;
}

void runParsers(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void*) {
    (void)VorlanReceiveDataDirect(handle, timestamp, data, size);
}

}  // namespace

int startAsyncRelay(uint32_t n_blocks) {
    if (n_blocks < AsyncRelay::kMinBlocks || n_blocks > AsyncRelay::kMaxBlocks) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    std::shared_ptr<AsyncRelay> relay = AsyncRelay::start(n_blocks, runParsers, nullptr);
    if (!relay) {
        return VORLAN_ERROR_OUT_OF_MEMORY;
    }
    std::shared_ptr<AsyncRelay> replaced;
    {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        replaced = std::exchange(g_relay, std::move(relay));
        setAsyncRelayEnabled(true);
    }
    if (replaced) {
        replaced->stop();
    }
    return VORLAN_SUCCESS;
}

int stopAsyncRelay() {
    std::shared_ptr<AsyncRelay> relay;
    {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        if (!g_relay) {
            return VORLAN_ERROR_INVALID_STATE;
        }
        setAsyncRelayEnabled(false);
        relay = std::move(g_relay);
    }
    // A producer that still holds the relay is woken and refused; the blocks
    // are freed when the last holder lets go.
    relay->stop();
    return VORLAN_SUCCESS;
}

bool onAsyncRelayThread() { return t_relaying != nullptr; }

void wakeAsyncRelayProducers() {
    if (std::shared_ptr<AsyncRelay> relay = currentRelay()) {
        relay->wakeProducers();
    }
}

void clearAsyncRelay() {
    if (!isAsyncRelayEnabled()) {
        return;
    }
    if (std::shared_ptr<AsyncRelay> relay = currentRelay()) {
        relay->discardQueued();
    }
}

int VorlanReceiveDataAsync(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size) {
    // Held for the whole copy, so a concurrent stop cannot free the blocks
    // under it.
    std::shared_ptr<AsyncRelay> relay = currentRelay();
    if (!relay) {
        // The relay was stopped after the caller saw it enabled: the chain
        // takes the payload directly rather than losing it.
        return VorlanReceiveDataDirect(handle, timestamp, data, size);
    }
    return relay->push(handle, timestamp, data, size);
}

}  // namespace vorlan_sdk2
