// The serial line parser alone, on one arbitrary payload: the line handed to
// listeners must be a terminated string inside the payload.
#include <cstdint>
#include <cstring>

#include "sdk2_parser_harness.h"
#include "serial_parser.h"

namespace {

void on_line(uint64_t, const char* line, void*) {
    vorlan_fuzz::touch(reinterpret_cast<const uint8_t*>(line), std::strlen(line) + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool listening = vorlan_sdk2::serialReceivers().AddBack(on_line, nullptr);
    (void)listening;
    (void)vorlan_fuzz::run_parser(vorlan_sdk2::serialParser, 0x0A000001u, data, size);
    return 0;
}
