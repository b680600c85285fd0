// Explicit-order loads from byte buffers: captures store their own fields
// little-endian and the network headers big-endian.
#ifndef VORLAN_COMMON_BYTE_READ_H
#define VORLAN_COMMON_BYTE_READ_H

#include <cstdint>

namespace vorlan_capture {

inline uint16_t load_u16be(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_u32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint16_t load_u16le(const uint8_t* p) { return uint16_t(p[1] << 8 | p[0]); }
inline uint32_t load_u32le(const uint8_t* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[0]);
}

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_BYTE_READ_H
