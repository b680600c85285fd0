// A data source thread (a replay worker, the relay thread, the networking
// worker) hands one payload at a time down the parser chain, and the
// delivery may have to wait: for room in the relay, or for the client to
// read the frame FIFO. A client thread that stops or repositions the source
// must not wait for a reader that may never come, so it calls such a wait
// off: it moves the source's cancel counter and wakes the waiters
// (wakeWaitingProducers), which drop what they were handing on and return.
#ifndef VORLAN_SDK2_DELIVERY_CANCEL_H
#define VORLAN_SDK2_DELIVERY_CANCEL_H

#include <atomic>
#include <cstdint>

#include "single_circular_buffer_list.h"

namespace vorlan_sdk2 {

using WaitCancel = SingleCircularBufferList::WaitCancel;

// The delivery under way on this thread; one that is never called off when
// the thread delivers for no source.
const WaitCancel& currentDelivery();

// Marks the calling thread as delivering for the source whose counter is
// `cancels`; a move of the counter past `seen` calls the delivery off.
class DeliveryScope {
public:
    DeliveryScope(const std::atomic<std::uint64_t>& cancels, std::uint64_t seen);
    explicit DeliveryScope(const std::atomic<std::uint64_t>& cancels)
        : DeliveryScope(cancels, cancels.load(std::memory_order_seq_cst)) {}
    ~DeliveryScope();
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;

private:
    WaitCancel m_previous;
};

// Wakes every producer waiting for room (in the frame FIFO and in the
// relay), so that those whose delivery was called off give up.
void wakeWaitingProducers();

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_DELIVERY_CANCEL_H
