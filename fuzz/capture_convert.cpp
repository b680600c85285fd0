// Converts an arbitrary file as `vorlan convert` would, through libpcap:
// whatever the input, the conversion must not crash, and what it writes must
// be a classic capture whose records are exactly the ones it counted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture_convert.h"

namespace {

uint32_t load_u32le(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The records of a written capture, walked by their lengths; -1 when the
// lengths do not end exactly at the end of the bytes.
long count_records(const char* bytes, std::size_t size) {
    if (size < 24 || load_u32le(bytes) != 0xa1b2c3d4) {
        return -1;
    }
    long records = 0;
    std::size_t offset = 24;
    while (offset < size) {
        if (size - offset < 16) {
            return -1;
        }
        const std::size_t included = load_u32le(bytes + offset + 8);
        if (size - offset - 16 < included) {
            return -1;
        }
        offset += 16 + included;
        ++records;
    }
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;  // fmemopen refuses an empty buffer
    }
    std::FILE* input = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (input == nullptr) {
        return 0;
    }
    char* written = nullptr;
    std::size_t written_size = 0;
    std::FILE* output = open_memstream(&written, &written_size);
    if (output == nullptr) {
        std::fclose(input);
        return 0;
    }
    vorlan_tool::ConvertOptions options;
    options.dedup = (data[size - 1] & 1) != 0;
    vorlan_tool::ConvertReport report;
    const bool converted = vorlan_tool::convert_capture_stream(input, output, options, report);
    std::fclose(output);
    if (converted && count_records(written, written_size) != long(report.written)) {
        std::fprintf(stderr, "converted capture holds other records than the %llu counted\n",
                     static_cast<unsigned long long>(report.written));
        std::abort();
    }
    std::free(written);
    return 0;
}
