// The mocked receive path: payloads handed in by a client or by the capture
// replay instead of the UDP port. Both come through here, so that a replayed
// packet meets the same checks as a client's without passing through an
// exported function (whose wrapper would also overwrite the thread's last
// error once per packet).
#ifndef VORLAN_SOURCE_MOCK_RECEIVE_H
#define VORLAN_SOURCE_MOCK_RECEIVE_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

// Decodes one payload as if it had come from `handle` at `timestamp` (µs), on
// the calling thread; the client's callbacks run inside the call. Refused with
// VORLAN_ERROR_COMMUNICATION while the live network is on (live and mocked
// input never mix), and with VORLAN_ERROR_INVALID_ARGUMENTS for a null buffer
// with a size or a payload larger than one UDP datagram. Never throws: a
// failure while decoding comes back as the error. The caller sees to it that
// the library is initialised.
SensorError receive_mocked_payload(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size);

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_MOCK_RECEIVE_H
