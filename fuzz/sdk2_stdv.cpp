// The "STDV" point parser alone, on one arbitrary payload: every point it
// publishes must lie within the payload.
#include <cstdint>

#include "point_data_parser.h"
#include "sdk2_parser_harness.h"

namespace {

void on_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void*) {
    vorlan_fuzz::touch(points, n_points * stride);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool listening = vorlan_sdk2::addPointListener(on_points, nullptr);
    (void)listening;
    (void)vorlan_fuzz::run_parser(vorlan_sdk2::pointDataParser, 0x0A000001u, data, size);
    return 0;
}
