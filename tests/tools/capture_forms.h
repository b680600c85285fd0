// The other forms a classic capture takes when ordinary tools rewrite it:
// pcapng, nanosecond times, a big-endian writer. Made here byte by byte from
// a classic microsecond little-endian capture, so that tests need no tool
// installed; tests that also try the Debian tools find them with
// `installed_program`.
#ifndef VORLAN_TESTS_TOOLS_CAPTURE_FORMS_H
#define VORLAN_TESTS_TOOLS_CAPTURE_FORMS_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/capture_builder.h"

namespace vorlan_tool {

enum class CaptureForm { pcapng, nanosecond, big_endian };

inline const char* form_name(CaptureForm form) {
    switch (form) {
        case CaptureForm::pcapng: return "pcapng";
        case CaptureForm::nanosecond: return "nanosecond";
        case CaptureForm::big_endian: return "big-endian";
    }
    return "";
}

namespace capture_forms_detail {

inline uint32_t get_u32le(const vorlan_test::Bytes& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline void put_u32(vorlan_test::Bytes& out, uint32_t v, bool big_endian) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(uint8_t(v >> (big_endian ? 24 - 8 * i : 8 * i)));
    }
}
inline void put_u16(vorlan_test::Bytes& out, uint16_t v, bool big_endian) {
    out.push_back(uint8_t(big_endian ? v >> 8 : v));
    out.push_back(uint8_t(big_endian ? v : v >> 8));
}

}  // namespace capture_forms_detail

// `classic` in `form`; the frames and their times stay the same.
inline vorlan_test::Bytes reform_capture(const vorlan_test::Bytes& classic, CaptureForm form) {
    using namespace capture_forms_detail;
    vorlan_test::Bytes out;
    const bool big = form == CaptureForm::big_endian;
    const uint32_t link_type = get_u32le(classic, 20);
    if (form == CaptureForm::pcapng) {
        // Section header (28 bytes), then one interface with microsecond times.
        put_u32(out, 0x0a0d0d0a, false);
        put_u32(out, 28, false);
        put_u32(out, 0x1a2b3c4d, false);
        put_u16(out, 1, false);
        put_u16(out, 0, false);
        put_u32(out, 0xffffffff, false);
        put_u32(out, 0xffffffff, false);
        put_u32(out, 28, false);
        put_u32(out, 1, false);
        put_u32(out, 20, false);
        put_u16(out, uint16_t(link_type), false);
        put_u16(out, 0, false);
        put_u32(out, 262144, false);
        put_u32(out, 20, false);
    } else {
        put_u32(out, form == CaptureForm::nanosecond ? 0xa1b23c4d : 0xa1b2c3d4, big);
        put_u16(out, 2, big);
        put_u16(out, 4, big);
        put_u32(out, 0, big);
        put_u32(out, 0, big);
        put_u32(out, get_u32le(classic, 16), big);
        put_u32(out, link_type, big);
    }
    for (std::size_t at = 24; at + 16 <= classic.size();) {
        const uint32_t seconds = get_u32le(classic, at);
        const uint32_t micros = get_u32le(classic, at + 4);
        const uint32_t included = get_u32le(classic, at + 8);
        const uint32_t original = get_u32le(classic, at + 12);
        const auto data = classic.begin() + std::ptrdiff_t(at + 16);
        if (form == CaptureForm::pcapng) {
            const uint32_t padded = (included + 3) / 4 * 4;
            const uint64_t time = uint64_t(seconds) * 1000000 + micros;
            put_u32(out, 6, false);
            put_u32(out, 32 + padded, false);
            put_u32(out, 0, false);
            put_u32(out, uint32_t(time >> 32), false);
            put_u32(out, uint32_t(time), false);
            put_u32(out, included, false);
            put_u32(out, original, false);
            out.insert(out.end(), data, data + included);
            out.insert(out.end(), padded - included, 0);
            put_u32(out, 32 + padded, false);
        } else {
            put_u32(out, seconds, big);
            put_u32(out, form == CaptureForm::nanosecond ? micros * 1000 : micros, big);
            put_u32(out, included, big);
            put_u32(out, original, big);
            out.insert(out.end(), data, data + included);
        }
        at += 16 + included;
    }
    return out;
}

// The path of a program on the PATH, or "" when it is not installed.
inline std::string installed_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string candidate = list.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_CAPTURE_FORMS_H
