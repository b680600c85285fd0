// A datagram as the capture reader handed it out, kept after the reader
// moves on, so that tests can compare what two readings gave.
#ifndef VORLAN_TESTS_COMMON_RECEIVED_DATAGRAM_H
#define VORLAN_TESTS_COMMON_RECEIVED_DATAGRAM_H

#include <cstdint>

#include "capture_reader.h"
#include "support/capture_builder.h"

namespace vorlan_test {

struct Received {
    uint32_t source;
    int64_t time;
    Bytes payload;
    bool operator==(const Received& o) const {
        return source == o.source && time == o.time && payload == o.payload;
    }
};

inline Received received(const vorlan_capture::Datagram& datagram) {
    return {datagram.source, datagram.time, Bytes(datagram.payload, datagram.payload + datagram.size)};
}

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_COMMON_RECEIVED_DATAGRAM_H
