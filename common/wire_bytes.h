// Reads and writes of wire and file fields in an explicit byte order: sensor
// packets, calibration blocks and capture records are little-endian, the
// network headers inside captures big-endian. Decoders of both libraries and
// the capture reader check a packet's size once, then read its fields through
// a ByteView: a read that would leave the bytes returns 0 instead of touching
// memory it was not given.
#ifndef VORLAN_COMMON_WIRE_BYTES_H
#define VORLAN_COMMON_WIRE_BYTES_H

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorlan_common {

// ---- Unchecked reads and writes at a pointer (the caller owns the bounds) ----

inline uint16_t load_u16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline int16_t load_i16le(const uint8_t* p) { return static_cast<int16_t>(load_u16le(p)); }
inline uint32_t load_u32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t load_i32le(const uint8_t* p) { return static_cast<int32_t>(load_u32le(p)); }
inline uint64_t load_u64le(const uint8_t* p) {
    return static_cast<uint64_t>(load_u32le(p)) | (static_cast<uint64_t>(load_u32le(p + 4)) << 32);
}
inline int64_t load_i64le(const uint8_t* p) { return static_cast<int64_t>(load_u64le(p)); }
inline float load_f32le(const uint8_t* p) {
    const uint32_t bits = load_u32le(p);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}
inline uint16_t load_u16be(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t load_u32be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void store_u16le(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_u32le(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline void store_u64le(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline void store_f32le(uint8_t* p, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    store_u32le(p, bits);
}
inline void store_u16be(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void store_u32be(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
}

// The 32-bit type word of a packet or block: four ASCII characters compared
// as one little-endian word ("INFO" is 0x4F464E49).
constexpr uint32_t type_word(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

// ---- Bounds-checked view ----------------------------------------------------

// A read-only window on bytes it does not own. Every read names its offset;
// reads that would leave the window yield 0 (and stop debug builds), so a
// decoder that forgot a size check misreads instead of reading out of bounds.
class ByteView {
public:
    ByteView(const uint8_t* data, std::size_t size) : m_data(data), m_size(data != nullptr ? size : 0) {}

    const uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    // True when `count` bytes starting at `offset` lie inside the view.
    bool has(std::size_t offset, std::size_t count) const { return offset <= m_size && count <= m_size - offset; }
    // The bytes from `offset` to the end (empty when `offset` is past it).
    ByteView tail(std::size_t offset) const {
        return offset <= m_size ? ByteView(m_data + offset, m_size - offset) : ByteView(nullptr, 0);
    }

    uint8_t u8(std::size_t offset) const { return inside(offset, 1) ? m_data[offset] : 0; }
    int8_t i8(std::size_t offset) const { return static_cast<int8_t>(u8(offset)); }
    uint16_t u16(std::size_t offset) const { return inside(offset, 2) ? load_u16le(m_data + offset) : 0; }
    int16_t i16(std::size_t offset) const { return static_cast<int16_t>(u16(offset)); }
    uint32_t u32(std::size_t offset) const { return inside(offset, 4) ? load_u32le(m_data + offset) : 0; }
    int32_t i32(std::size_t offset) const { return static_cast<int32_t>(u32(offset)); }
    uint64_t u64(std::size_t offset) const { return inside(offset, 8) ? load_u64le(m_data + offset) : 0; }
    int64_t i64(std::size_t offset) const { return static_cast<int64_t>(u64(offset)); }
    float f32(std::size_t offset) const { return inside(offset, 4) ? load_f32le(m_data + offset) : 0.0f; }
    // Copies `count` bytes from `offset` into `out`; zero-fills what lies outside.
    void copy(std::size_t offset, void* out, std::size_t count) const {
        if (inside(offset, count)) {
            std::memcpy(out, m_data + offset, count);
        } else {
            std::memset(out, 0, count);
        }
    }

private:
    bool inside(std::size_t offset, std::size_t count) const {
        const bool ok = has(offset, count);
        assert(ok && "read outside a checked packet");
        return ok;
    }

    const uint8_t* m_data;
    std::size_t m_size;
};

}  // namespace vorlan_common

#endif  // VORLAN_COMMON_WIRE_BYTES_H
