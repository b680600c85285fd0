// The sensor information parser alone, on one arbitrary payload: the record
// it stores must hold exactly the bytes the payload had after its header.
#include <cstdint>
#include <cstdlib>

#include "info_data_parser.h"
#include "sdk2_parser_harness.h"
#include "sensors.h"

namespace {

void on_info(uint64_t, const VorlanSensor* info, void*) {
    vorlan_fuzz::touch(reinterpret_cast<const uint8_t*>(info), info->info_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool listening = vorlan_sdk2::InfoDataCallbacks().AddBack(on_info, nullptr);
    (void)listening;
    const int taken = vorlan_fuzz::run_parser(vorlan_sdk2::infoDataParser, 0x0A000001u, data, size);
    if (taken == 0) {
        VorlanSensor copy;
        if (vorlan_sdk2::copySensorInformation(0x0A000001u, &copy) != VORLAN_SUCCESS) {
            std::abort();  // taken but not stored
        }
    }
    vorlan_sdk2::VorlanDeleteAllInfo();
    return 0;
}
