// The "STA0" point parser alone (plain and behind a sender's prefix, which
// may also carry information), on one arbitrary payload: every point it
// publishes and every record it stores must lie within the payload.
#include <cstdint>

#include "point_data_parser.h"
#include "sdk2_parser_harness.h"
#include "sensors.h"

namespace {

void on_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void*) {
    vorlan_fuzz::touch(points, n_points * stride);
}

void on_info(uint64_t, const VorlanSensor* info, void*) {
    vorlan_fuzz::touch(reinterpret_cast<const uint8_t*>(info), info->info_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool listening = vorlan_sdk2::addPointListener(on_points, nullptr) &&
                                  vorlan_sdk2::InfoDataCallbacks().AddBack(on_info, nullptr);
    (void)listening;
    (void)vorlan_fuzz::run_parser(vorlan_sdk2::trustedDataParser, 0x0A000001u, data, size);
    vorlan_sdk2::VorlanDeleteAllInfo();
    return 0;
}
