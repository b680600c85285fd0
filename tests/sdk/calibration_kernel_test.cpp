// The point path's kernels against each other: every point format streamed
// through the library with the portable kernel forced, then with the AVX2
// kernel where the processor has it, must publish the same bytes, raw points
// and image points alike.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "calibration.h"
#include "support/calibration_block_builder.h"
#include "support/data_packet_builder.h"
#include "support/frame_recorder.h"
#include "support/info_packet_builder.h"
#include "support/sdk_fixture.h"

namespace vorlan_sdk {
namespace {

using internal::CalibrationKernel;
using vorlan_test::PointFormat;

constexpr VorlanSensorHandle kHandle = 0x1500A8C0;
constexpr int64_t kHost = 1'000'000'000;
constexpr std::size_t kSegments = 24;
constexpr std::size_t kPointsPerPacket = 4 * kSegments;
constexpr uint32_t kPacketSpacingUs = 400;

// A calibration with every part the kernels read, varied by segment: the
// rational lens model or the polynomial one, power-level tables with gaps,
// a falloff whose exponential overflows, underflows or is NaN on a few
// segments, and clip bounds the points cross.
std::vector<uint8_t> calibration_block(int16_t model, bool rational) {
    vorlan_test::CalibrationHeaderFields header;
    header.model = model;
    header.flags = VORLAN_CALIBRATION_SATURATION_CORRECTION | (rational ? VORLAN_CALIBRATION_RATIONAL_DISTORTION : 0);
    header.distance_offset = 0.02f;
    header.distance_scale = 0.0009993083f;
    header.clips = {-0.8f, -0.3f, 0.8f, 0.3f, 0.5f, 200.0f};
    header.image_center_x = 0.01f;
    header.image_center_z = -0.02f;
    header.distortion = {0.06f, -0.07f, 0.3f};
    vorlan_test::VrnDSegment segment;
    segment.intensity_range_offset_cm = 30;
    segment.intensity_base = 90.0f;
    const auto segments = vorlan_test::make_segments<vorlan_test::VrnDSegment>(
        kSegments, segment, [](vorlan_test::VrnDSegment& s, std::size_t i) {
            s.geometry.image_x_center = static_cast<int16_t>(40 * i);
            s.geometry.image_z_center = static_cast<int16_t>(300 - 25 * static_cast<int>(i));
            s.geometry.image_x_offset = static_cast<int16_t>(i % 5);
            s.geometry.image_x_scale = 2e-5f + 1e-7f * static_cast<float>(i);
            s.geometry.image_z_scale = 3e-5f;
            s.image_z_to_x = 1e-7f * static_cast<float>(i);
            s.distance_offset = static_cast<int16_t>(100 + 7 * i);
            for (std::size_t k = 0; k < s.intensity_steps.size(); ++k) {
                s.intensity_steps[k] = static_cast<uint8_t>(k % 7 == 3 ? 0 : 1 + (i + k) % 9);
            }
            const float constant = i == 5 ? 200.0f : i == 6 ? -200.0f : i == 7 ? 95.0f : 0.02f * static_cast<float>(i);
            s.intensity_falloff = {constant, 1e-4f, -2e-4f, 1e-8f, 2e-8f, -1e-8f};
        });
    return vorlan_test::build_vrnd_block(header, segments);
}

// Packets of varied points: wide and narrow positions, distances from 0 to
// the most the format carries, repeated echoes, full and saturated
// intensities, runs of saturation, every power level, frame flags.
std::vector<std::vector<uint8_t>> packets(PointFormat format, std::size_t n_packets) {
    std::mt19937 engine(static_cast<uint32_t>(format) + 11);
    const auto below = [&engine](uint32_t n) { return static_cast<uint32_t>(engine() % n); };
    const bool wide_distance = format == PointFormat::v3 || format == PointFormat::v3_double;
    const uint32_t most = wide_distance ? (1u << 19) - 1 : 0xFFFF;
    std::vector<std::vector<uint8_t>> list;
    for (std::size_t p = 0; p < n_packets; ++p) {
        std::vector<vorlan_test::DevicePoint> points(kPointsPerPacket);
        for (std::size_t i = 0; i < points.size(); ++i) {
            vorlan_test::DevicePoint& point = points[i];
            const bool wide = below(20) == 0;
            point.image_x = static_cast<int16_t>(wide ? engine() : below(3000) - 1500);
            point.image_z = static_cast<int16_t>(wide ? engine() : below(3000) - 1500);
            const uint32_t kind = below(12);
            point.distance = kind == 0 ? 0 : kind == 1 ? most : kind == 2 ? below(600) : below(most);
            const uint32_t kind_2 = below(5);
            point.distance_2 = kind_2 == 0 ? 0 : kind_2 == 1 ? point.distance : below(most);
            point.intensity = static_cast<uint8_t>(below(10) == 0 ? 255 : engine());
            point.intensity_2 = static_cast<uint8_t>(below(10) == 0 ? 255 : engine());
            point.power_level = static_cast<uint8_t>(below(wide_distance ? 40 : 16));
            point.saturated = (p + i / kSegments) % 3 == 0 ? below(2) == 0 : below(30) == 0;
            point.saturated_2 = below(8) == 0;
            point.frame_flag = (p / 3) % 2 == 1;
        }
        vorlan_test::DataPacketHeader header;
        header.time_us = 1'000'000 + static_cast<uint32_t>(p) * kPacketSpacingUs;
        list.push_back(vorlan_test::build_data_packet(format, header, points));
    }
    return list;
}

struct Published {
    std::vector<VorlanSensorRawPointWithTime> raw;
    std::vector<VorlanSensorImagePoint> image;
};

// What the library publishes for the packets, streamed with `kernel`.
Published streamed(CalibrationKernel kernel, PointFormat format, int16_t model, bool rational) {
    EXPECT_TRUE(internal::use_calibration_kernel(kernel));
    VorlanSDKOptions options = vorlan_test::offline_options(VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS);
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    vorlan_test::FrameRecorder recorder;
    EXPECT_TRUE(recorder.listen());
    vorlan_test::InfxPacketFields fields;
    fields.model = model;
    fields.return_count = format == PointFormat::v2_double || format == PointFormat::v3_double ? 2 : 1;
    const std::vector<uint8_t> info = vorlan_test::build_infx_packet(fields, calibration_block(model, rational));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, kHost, info.data(), info.size()));
    const std::vector<std::vector<uint8_t>> list = packets(format, 12);
    for (std::size_t p = 0; p < list.size(); ++p) {
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, kHost + static_cast<int64_t>(p * kPacketSpacingUs),
                                                                  list[p].data(), list[p].size()));
    }
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    Published published;
    for (const vorlan_test::RecordedFrame& frame : recorder.frames()) {
        published.raw.insert(published.raw.end(), frame.raw.begin(), frame.raw.end());
        published.image.insert(published.image.end(), frame.image.begin(), frame.image.end());
    }
    return published;
}

// Every byte equal.
template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

struct KernelCase {
    PointFormat format;
    int16_t model;  // 3 drops lone saturated returns
    bool rational;
};

const KernelCase kCases[] = {
    {PointFormat::v2, 12, false},       {PointFormat::v2, 3, true},          {PointFormat::v2_double, 12, true},
    {PointFormat::v2_double, 3, false}, {PointFormat::v3, 12, false},        {PointFormat::v3, 3, true},
    {PointFormat::v3_double, 12, true}, {PointFormat::v3_double, 3, false},
};

TEST(CalibrationKernels, EveryPointFormatPublishesTheSameBytesWithEitherKernel) {
    if (!internal::calibration_kernel_runs(CalibrationKernel::avx2)) {
        GTEST_SKIP() << "this processor has only the portable kernel";
    }
    for (const KernelCase& c : kCases) {
        const Published portable = streamed(CalibrationKernel::portable, c.format, c.model, c.rational);
        const Published avx2 = streamed(CalibrationKernel::avx2, c.format, c.model, c.rational);
        const std::string text = std::string(vorlan_test::packet_type(c.format)) + " model " +
                                 std::to_string(c.model) + (c.rational ? " rational" : " polynomial");
        const std::size_t returns = c.format == PointFormat::v2_double || c.format == PointFormat::v3_double ? 2 : 1;
        // Eleven packets released, every point published.
        ASSERT_EQ(portable.raw.size(), 11 * kPointsPerPacket) << text;
        ASSERT_EQ(portable.image.size(), 11 * kPointsPerPacket * returns) << text;
        EXPECT_TRUE(same_bytes(portable.raw, avx2.raw)) << text;
        ASSERT_EQ(portable.image.size(), avx2.image.size()) << text;
        for (std::size_t i = 0; i < portable.image.size(); ++i) {
            const VorlanSensorImagePoint& a = portable.image[i];
            const VorlanSensorImagePoint& b = avx2.image[i];
            ASSERT_EQ(0, std::memcmp(&a, &b, sizeof(a)))
                << text << ", image point " << i << ": x " << a.image_x << " / " << b.image_x << ", intensity "
                << a.intensity << " / " << b.intensity;
        }
    }
    internal::use_calibration_kernel(CalibrationKernel::avx2);
}

}  // namespace
}  // namespace vorlan_sdk
