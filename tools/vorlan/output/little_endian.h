// Little-endian reads and writes of the fields the tool's files and the
// second library's point records hold.
#ifndef VORLAN_TOOLS_OUTPUT_LITTLE_ENDIAN_H
#define VORLAN_TOOLS_OUTPUT_LITTLE_ENDIAN_H

#include <cstdint>
#include <cstring>

namespace vorlan_tool {

inline void store_u32le(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void store_u64le(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void store_f32le(uint8_t* out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    store_u32le(out, bits);
}

inline int16_t load_i16le(const uint8_t* in) {
    return static_cast<int16_t>(static_cast<uint16_t>(in[0] | (in[1] << 8)));
}

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_OUTPUT_LITTLE_ENDIAN_H
