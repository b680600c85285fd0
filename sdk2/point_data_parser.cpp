#include "point_data_parser.h"

#include "info_data_parser.h"
#include "wire_bytes.h"

namespace vorlan_sdk2 {

using vorlan_common::ByteView;

namespace {

constexpr uint32_t kStdvMagic = vorlan_common::type_word("STDV");
constexpr uint32_t kSta0Magic = vorlan_common::type_word("STA0");
constexpr uint32_t kInfzMagic = vorlan_common::type_word("INFZ");

// "STDV": the sensor says where its points start, how far apart they lie and
// how many there are; the fixed fields end with the point count.
constexpr size_t kStdvHeaderLengthOffset = 5;
constexpr size_t kStdvTimestampOffset = 8;
constexpr size_t kStdvStrideOffset = 17;
constexpr size_t kStdvCountOffset = 18;
constexpr size_t kStdvFixedHeader = 20;

// "STA0": a 60-byte header and 10-byte points. Some senders put it behind an
// 8-byte prefix of their own.
constexpr size_t kSta0Nanoseconds = 32;
constexpr size_t kSta0SecondsLow = 36;
constexpr size_t kSta0SecondsHigh = 40;
constexpr size_t kSta0Count = 46;
constexpr size_t kSta0Header = 60;
constexpr size_t kPrefix = 8;
constexpr size_t kPointRecord = 10;
// A prefixed information packet is only looked at from this size on.
constexpr size_t kPrefixedInfoMinimum = 96;

// True when `count` points `stride` bytes apart fit from `offset` on.
bool points_fit(const ByteView& payload, size_t offset, size_t count, size_t stride) {
    return payload.has(offset, count * stride);  // count < 2^16 and stride < 2^8: no overflow
}

// Publishes the points of an "STA0" packet at the start of `packet`; false
// (nothing published) when the packet is shorter than its header says.
bool publish_sta0(uint64_t handle, const ByteView& packet) {
    const size_t count = packet.u16(kSta0Count);
    if (!packet.has(0, kSta0Header) || !points_fit(packet, kSta0Header, count, kPointRecord)) {
        return false;
    }
    // 48-bit seconds and nanoseconds, to microseconds. Scaling the seconds
    // straight to microseconds gives the same value as going through
    // nanoseconds, without wrapping 64 bits for seconds past 2^64 / 10^9.
    const uint64_t seconds = packet.u32(kSta0SecondsLow) | (static_cast<uint64_t>(packet.u16(kSta0SecondsHigh)) << 32);
    const uint64_t microseconds = seconds * 1000000u + packet.u32(kSta0Nanoseconds) / 1000u;
    VorlanAddPoints(handle, static_cast<int64_t>(microseconds), count, kPointRecord, packet.data() + kSta0Header);
    return true;
}

}  // namespace

PointsList& pointsCallbacks() {
    static PointsList list;
    return list;
}

bool addPointListener(PointsList::Callback callback, void* user_data) {
    return pointsCallbacks().AddBack(callback, user_data);
}

bool removePointListener(PointsList::Callback callback, void* user_data) {
    return pointsCallbacks().Remove(callback, user_data);
}

void pointCallbacksClear() { pointsCallbacks().Clear(); }

void VorlanAddPoints(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points) {
    pointsCallbacks().Invoke(handle, timestamp, n_points, stride, points);
}

int pointDataParser(uint64_t handle, int64_t, const uint8_t* data, size_t size, void*) {
    const ByteView packet(data, size);
    if (!packet.has(0, kStdvFixedHeader) || packet.u32(0) != kStdvMagic) {
        return -1;
    }
    const size_t stride = packet.u8(kStdvStrideOffset);
    if (stride < kPointRecord) {
        return 0;  // not a point layout anyone can read: taken, nothing published
    }
    const size_t first = packet.u8(kStdvHeaderLengthOffset);
    const size_t count = packet.u16(kStdvCountOffset);
    if (!points_fit(packet, first, count, stride)) {
        return -1;  // cut short: its points are not all there
    }
    // The sensor's own time of the packet, not the time it was received.
    VorlanAddPoints(handle, packet.i64(kStdvTimestampOffset), count, stride, packet.data() + first);
    return 0;
}

int trustedDataParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void*) {
    const ByteView packet(data, size);
    if (packet.has(0, kPrefix + kSta0Header)) {
        // Behind the prefix the payload is published but not taken: the
        // parsers after this one see it too.
        const ByteView inner = packet.tail(kPrefix);
        if (inner.u32(0) == kSta0Magic) {
            publish_sta0(handle, inner);
        }
        if (packet.has(0, kPrefixedInfoMinimum) && inner.u32(0) == kInfzMagic) {
            (void)infoDataParser(handle, timestamp, inner.data(), inner.size(), nullptr);
        }
    } else if (!packet.has(0, kSta0Header)) {
        return -1;
    }
    if (packet.u32(0) == kSta0Magic && publish_sta0(handle, packet)) {
        return 0;
    }
    return -1;
}

}  // namespace vorlan_sdk2
