// Shared by the fuzz targets that call one parser of the second library
// directly: the payload is copied into a buffer of exactly its size, and the
// listeners read every byte they are handed, so that the sanitizers see any
// read past a payload.
#ifndef VORLAN_FUZZ_SDK2_PARSER_HARNESS_H
#define VORLAN_FUZZ_SDK2_PARSER_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vorlan_fuzz {

inline volatile uint8_t g_sink;

inline void touch(const uint8_t* bytes, size_t n) {
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    g_sink = sum;
}

// The parser's verdict must be one it documents: taken, or passed on.
template <class Parser>
int run_parser(Parser parser, uint64_t handle, const uint8_t* data, size_t size) {
    const std::vector<uint8_t> payload(data, data + size);
    return parser(handle, 1'700'000'000'000'000, payload.data(), payload.size(), nullptr);
}

}  // namespace vorlan_fuzz

#endif  // VORLAN_FUZZ_SDK2_PARSER_HARNESS_H
