// Feeds arbitrary bytes to the calibration block converters, as an
// information packet's calibration block could carry them. The input is
// copied to a buffer of exactly its size so that a converter reading past
// the length it was given is caught by the address sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "sensor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::unique_ptr<uint8_t[]> block(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(block.get(), data, size);
    }
    static auto calibration = std::make_unique<VorlanCalibration>();
    vorlan_sdk::Sensor::convert_calibration(*calibration, block.get(), static_cast<int64_t>(size));
    return 0;
}
