#include "support/legacy_reference.h"

#include <cmath>
#include <cstring>

namespace vorlan_test {
namespace {

void put16(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    out[at] = uint8_t(value);
    out[at + 1] = uint8_t(value >> 8);
}

void put32(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(value >> (8 * i));
}

void put64(std::vector<uint8_t>& out, std::size_t at, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[at + i] = uint8_t(value >> (8 * i));
}

// Metres to 5 mm units, halves away from zero. A point whose largest
// coordinate would not fit 16 bits is moved along its ray until it does.
void quantise(double x, double y, double z, int16_t out[3]) {
    double units[3] = {x * 200.0, y * 200.0, z * 200.0};  // 200 units of 5 mm per metre
    double largest = std::fmax(std::fabs(units[0]), std::fmax(std::fabs(units[1]), std::fabs(units[2])));
    if (std::round(largest) > 32767.0) {
        for (double& u : units) u = u * (32767.0 / largest);
    }
    for (int i = 0; i < 3; ++i) {
        double r = std::round(units[i]);
        if (r > 32767.0) r = 32767.0;
        if (r < -32767.0) r = -32767.0;
        out[i] = int16_t(r);
    }
}

}  // namespace

uint8_t reference_legacy_reflectivity(float intensity) {
    float p = 100.0f * intensity;
    if (p >= 0.0f && p < 127.1f) return uint8_t(std::lround(p));
    if (p > 4999.0f) return 255;
    if (!(p >= 0.0f)) return 0;
    // The nearest of 127 * (5000/127)^(i/128), to one decimal; a tie takes the lower.
    int best = 0;
    float best_gap = INFINITY;
    for (int i = 0; i <= 128; ++i) {
        float entry = float(std::round(127.0 * std::pow(5000.0 / 127.0, i / 128.0) * 10.0) / 10.0);
        float gap = std::fabs(entry - p);
        if (gap < best_gap) {
            best_gap = gap;
            best = i;
        }
    }
    return uint8_t(127 + best);
}

std::vector<ReferenceBatch> reference_legacy_batches(uint64_t handle, const VorlanSensorImagePoint* points,
                                                     std::size_t n) {
    std::vector<ReferenceBatch> batches;
    std::size_t start = 0;
    do {
        std::size_t count = n - start < 288 ? n - start : 288;
        ReferenceBatch batch;
        batch.handle = handle;
        batch.timestamp = count > 0 ? points[start].timestamp : 0;
        batch.points.assign(count * 10, 0);
        int64_t clock = batch.timestamp;
        for (std::size_t k = 0; k < count; ++k) {
            const VorlanSensorImagePoint& p = points[start + k];
            std::vector<uint8_t>& out = batch.points;
            std::size_t at = k * 10;
            bool valid = p.flags & VORLAN_POINT_VALID;
            double ix = p.image_x, iz = p.image_z;
            double range = valid ? double(p.distance) : 100.0;
            double along = range / std::sqrt(ix * ix + iz * iz + 1.0);
            int16_t xyz[3];
            quantise(-ix * along, along, -iz * along, xyz);
            put16(out, at, uint16_t(xyz[0]));
            put16(out, at + 2, uint16_t(xyz[1]));
            put16(out, at + 4, uint16_t(xyz[2]));
            out[at + 6] = reference_legacy_reflectivity(p.intensity);
            int64_t step = p.timestamp - clock;
            if (step < 0) {
                out[at + 7] = 0;
                clock = p.timestamp;
            } else {
                int64_t kept = step > 255 ? 255 : step;
                out[at + 7] = uint8_t(kept);
                clock += kept;
            }
            out[at + 8] = p.segment_id;
            out[at + 9] = uint8_t((valid ? 0 : 0x20) | (p.flags & VORLAN_POINT_SATURATED ? 0x01 : 0) |
                                  (p.flags & VORLAN_POINT_FRAME_FLAG ? 0x04 : 0));
        }
        batches.push_back(std::move(batch));
        start += count;
    } while (start < n);
    return batches;
}

std::vector<uint8_t> reference_legacy_sensor_record(uint64_t handle, const VorlanSensorInformation& info) {
    std::vector<uint8_t> out(90, 0);
    put32(out, 0, 90);
    put32(out, 4, uint32_t(info.serial_number));
    put64(out, 8, handle);
    std::memcpy(out.data() + 16, info.model_name, 28);
    put16(out, 44, info.model);
    put16(out, 46, info.reserved);
    out[52] = info.firmware_major;
    out[53] = info.firmware_minor;
    out[54] = info.firmware_build;
    out[55] = info.firmware_reserved;
    put64(out, 56, uint64_t(info.ptp_time));
    out[80] = info.return_count;
    out[81] = info.segment_count;
    uint32_t flags = 0;
    if (info.flags & VORLAN_SENSOR_INFO_IS_PTP_CONNECTED) flags |= 1;
    if (info.flags & VORLAN_SENSOR_INFO_IS_PPS_CONNECTED) flags |= 2;
    if (info.flags & VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED) flags |= 4;
    put32(out, 84, flags);
    float kelvin100 = (info.last_reported_temperature + 273.15f) * 100.0f;  // 25 °C is 29815
    put16(out, 88, kelvin100 >= 0.0f && kelvin100 <= 65535.0f ? uint16_t(kelvin100) : 0);
    return out;
}

}  // namespace vorlan_test
