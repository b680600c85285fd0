// Bounded little-endian reads of payload fields. A parser checks that the payload is
// long enough once, then reads its fields through a Payload, whose reads past
// the end yield 0 rather than touch bytes the parser was not given.
#ifndef VORLAN_SDK2_WIRE_H
#define VORLAN_SDK2_WIRE_H

#include <cstddef>
#include <cstdint>

#include "byte_read.h"

namespace vorlan_sdk2 {

// A packet type: four ASCII characters read as one little-endian word.
constexpr uint32_t type_word(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

class Payload {
public:
    Payload(const uint8_t* data, size_t size) : m_data(data), m_size(data != nullptr ? size : 0) {}

    size_t size() const { return m_size; }
    const uint8_t* data() const { return m_data; }
    // True when `count` bytes from `offset` lie inside the payload.
    bool has(size_t offset, size_t count) const { return offset <= m_size && count <= m_size - offset; }

    uint8_t u8(size_t offset) const { return has(offset, 1) ? m_data[offset] : 0; }
    uint16_t u16(size_t offset) const {
        return has(offset, 2) ? vorlan_capture::load_u16le(m_data + offset) : 0;
    }
    uint32_t u32(size_t offset) const {
        return has(offset, 4) ? vorlan_capture::load_u32le(m_data + offset) : 0;
    }
    uint64_t u64(size_t offset) const {
        return has(offset, 8) ? static_cast<uint64_t>(u32(offset)) | (static_cast<uint64_t>(u32(offset + 4)) << 32)
                              : 0;
    }
    int64_t i64(size_t offset) const { return static_cast<int64_t>(u64(offset)); }

    // The rest of the payload from `offset` (empty past the end).
    Payload from(size_t offset) const {
        return offset <= m_size ? Payload(m_data + offset, m_size - offset) : Payload(nullptr, 0);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_WIRE_H
