#include "delivery_cancel.h"

#include "async_relay.h"
#include "frames.h"

namespace vorlan_sdk2 {
namespace {

thread_local WaitCancel t_delivery;

}  // namespace

const WaitCancel& currentDelivery() { return t_delivery; }

DeliveryScope::DeliveryScope(const std::atomic<std::uint64_t>& cancels, std::uint64_t seen) : m_previous(t_delivery) {
    t_delivery = WaitCancel{&cancels, seen};
}

DeliveryScope::~DeliveryScope() { t_delivery = m_previous; }

void wakeWaitingProducers() {
    frameFifo().wake_producer();
    wakeAsyncRelayProducers();
}

}  // namespace vorlan_sdk2
