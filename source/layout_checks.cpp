// The public structures are part of the binary interface: their sizes and
// field offsets may never change. The build fails if one does.
#include <cstddef>

#include "vorlan_sdk.h"


static_assert(sizeof(VorlanSDKFrameOptions) == 16, "size of VorlanSDKFrameOptions");
static_assert(offsetof(VorlanSDKFrameOptions, signature) == 0, "offset of VorlanSDKFrameOptions::signature");
static_assert(offsetof(VorlanSDKFrameOptions, mode) == 8, "offset of VorlanSDKFrameOptions::mode");
static_assert(offsetof(VorlanSDKFrameOptions, length) == 12, "offset of VorlanSDKFrameOptions::length");

static_assert(sizeof(VorlanSDKOptions) == 40, "size of VorlanSDKOptions");
static_assert(offsetof(VorlanSDKOptions, signature) == 0, "offset of VorlanSDKOptions::signature");
static_assert(offsetof(VorlanSDKOptions, control_flags) == 8, "offset of VorlanSDKOptions::control_flags");
static_assert(offsetof(VorlanSDKOptions, padding_0) == 12, "offset of VorlanSDKOptions::padding_0");
static_assert(offsetof(VorlanSDKOptions, frame) == 16, "offset of VorlanSDKOptions::frame");
static_assert(offsetof(VorlanSDKOptions, port) == 32, "offset of VorlanSDKOptions::port");
static_assert(offsetof(VorlanSDKOptions, padding_1) == 34, "offset of VorlanSDKOptions::padding_1");

static_assert(sizeof(VorlanSensorInformation) == 120, "size of VorlanSensorInformation");
static_assert(offsetof(VorlanSensorInformation, handle) == 0, "offset of VorlanSensorInformation::handle");
static_assert(offsetof(VorlanSensorInformation, serial_number) == 8, "offset of VorlanSensorInformation::serial_number");
static_assert(offsetof(VorlanSensorInformation, model_name) == 16, "offset of VorlanSensorInformation::model_name");
static_assert(offsetof(VorlanSensorInformation, model) == 44, "offset of VorlanSensorInformation::model");
static_assert(offsetof(VorlanSensorInformation, reserved) == 46, "offset of VorlanSensorInformation::reserved");
static_assert(offsetof(VorlanSensorInformation, firmware_version) == 48, "offset of VorlanSensorInformation::firmware_version");
static_assert(offsetof(VorlanSensorInformation, firmware_major) == 76, "offset of VorlanSensorInformation::firmware_major");
static_assert(offsetof(VorlanSensorInformation, firmware_minor) == 77, "offset of VorlanSensorInformation::firmware_minor");
static_assert(offsetof(VorlanSensorInformation, firmware_build) == 78, "offset of VorlanSensorInformation::firmware_build");
static_assert(offsetof(VorlanSensorInformation, firmware_reserved) == 79, "offset of VorlanSensorInformation::firmware_reserved");
static_assert(offsetof(VorlanSensorInformation, last_reported_temperature) == 80, "offset of VorlanSensorInformation::last_reported_temperature");
static_assert(offsetof(VorlanSensorInformation, last_reported_humidity) == 84, "offset of VorlanSensorInformation::last_reported_humidity");
static_assert(offsetof(VorlanSensorInformation, last_reported_age) == 88, "offset of VorlanSensorInformation::last_reported_age");
static_assert(offsetof(VorlanSensorInformation, measurement_period) == 92, "offset of VorlanSensorInformation::measurement_period");
static_assert(offsetof(VorlanSensorInformation, ptp_time) == 96, "offset of VorlanSensorInformation::ptp_time");
static_assert(offsetof(VorlanSensorInformation, gps_year) == 104, "offset of VorlanSensorInformation::gps_year");
static_assert(offsetof(VorlanSensorInformation, gps_month) == 105, "offset of VorlanSensorInformation::gps_month");
static_assert(offsetof(VorlanSensorInformation, gps_day) == 106, "offset of VorlanSensorInformation::gps_day");
static_assert(offsetof(VorlanSensorInformation, gps_hour) == 107, "offset of VorlanSensorInformation::gps_hour");
static_assert(offsetof(VorlanSensorInformation, gps_minute) == 108, "offset of VorlanSensorInformation::gps_minute");
static_assert(offsetof(VorlanSensorInformation, gps_second) == 109, "offset of VorlanSensorInformation::gps_second");
static_assert(offsetof(VorlanSensorInformation, return_count) == 110, "offset of VorlanSensorInformation::return_count");
static_assert(offsetof(VorlanSensorInformation, segment_count) == 111, "offset of VorlanSensorInformation::segment_count");
static_assert(offsetof(VorlanSensorInformation, flags) == 112, "offset of VorlanSensorInformation::flags");
static_assert(offsetof(VorlanSensorInformation, padding) == 116, "offset of VorlanSensorInformation::padding");

static_assert(sizeof(VorlanSensorRawPointWithTime) == 32, "size of VorlanSensorRawPointWithTime");
static_assert(offsetof(VorlanSensorRawPointWithTime, timestamp) == 0, "offset of VorlanSensorRawPointWithTime::timestamp");
static_assert(offsetof(VorlanSensorRawPointWithTime, image_x) == 8, "offset of VorlanSensorRawPointWithTime::image_x");
static_assert(offsetof(VorlanSensorRawPointWithTime, image_z) == 10, "offset of VorlanSensorRawPointWithTime::image_z");
static_assert(offsetof(VorlanSensorRawPointWithTime, distance) == 12, "offset of VorlanSensorRawPointWithTime::distance");
static_assert(offsetof(VorlanSensorRawPointWithTime, distance_2) == 16, "offset of VorlanSensorRawPointWithTime::distance_2");
static_assert(offsetof(VorlanSensorRawPointWithTime, intensity) == 20, "offset of VorlanSensorRawPointWithTime::intensity");
static_assert(offsetof(VorlanSensorRawPointWithTime, intensity_2) == 21, "offset of VorlanSensorRawPointWithTime::intensity_2");
static_assert(offsetof(VorlanSensorRawPointWithTime, saturated) == 22, "offset of VorlanSensorRawPointWithTime::saturated");
static_assert(offsetof(VorlanSensorRawPointWithTime, saturated_2) == 23, "offset of VorlanSensorRawPointWithTime::saturated_2");
static_assert(offsetof(VorlanSensorRawPointWithTime, segment_id) == 24, "offset of VorlanSensorRawPointWithTime::segment_id");
static_assert(offsetof(VorlanSensorRawPointWithTime, power_level) == 25, "offset of VorlanSensorRawPointWithTime::power_level");
static_assert(offsetof(VorlanSensorRawPointWithTime, reserved) == 26, "offset of VorlanSensorRawPointWithTime::reserved");
static_assert(offsetof(VorlanSensorRawPointWithTime, frame_flag) == 27, "offset of VorlanSensorRawPointWithTime::frame_flag");
static_assert(offsetof(VorlanSensorRawPointWithTime, padding) == 28, "offset of VorlanSensorRawPointWithTime::padding");

static_assert(sizeof(VorlanSensorImagePoint) == 32, "size of VorlanSensorImagePoint");
static_assert(offsetof(VorlanSensorImagePoint, timestamp) == 0, "offset of VorlanSensorImagePoint::timestamp");
static_assert(offsetof(VorlanSensorImagePoint, image_x) == 8, "offset of VorlanSensorImagePoint::image_x");
static_assert(offsetof(VorlanSensorImagePoint, distance) == 12, "offset of VorlanSensorImagePoint::distance");
static_assert(offsetof(VorlanSensorImagePoint, image_z) == 16, "offset of VorlanSensorImagePoint::image_z");
static_assert(offsetof(VorlanSensorImagePoint, intensity) == 20, "offset of VorlanSensorImagePoint::intensity");
static_assert(offsetof(VorlanSensorImagePoint, return_type) == 24, "offset of VorlanSensorImagePoint::return_type");
static_assert(offsetof(VorlanSensorImagePoint, flags) == 25, "offset of VorlanSensorImagePoint::flags");
static_assert(offsetof(VorlanSensorImagePoint, segment_id) == 26, "offset of VorlanSensorImagePoint::segment_id");
static_assert(offsetof(VorlanSensorImagePoint, padding) == 27, "offset of VorlanSensorImagePoint::padding");

static_assert(sizeof(VorlanSensorTransform) == 28, "size of VorlanSensorTransform");
static_assert(offsetof(VorlanSensorTransform, rotation) == 0, "offset of VorlanSensorTransform::rotation");
static_assert(offsetof(VorlanSensorTransform, translation) == 16, "offset of VorlanSensorTransform::translation");

static_assert(sizeof(VorlanSensorStatistics) == 14, "size of VorlanSensorStatistics");
static_assert(offsetof(VorlanSensorStatistics, field_0) == 0, "offset of VorlanSensorStatistics::field_0");
static_assert(offsetof(VorlanSensorStatistics, field_1) == 2, "offset of VorlanSensorStatistics::field_1");
static_assert(offsetof(VorlanSensorStatistics, field_2) == 3, "offset of VorlanSensorStatistics::field_2");
static_assert(offsetof(VorlanSensorStatistics, field_3) == 4, "offset of VorlanSensorStatistics::field_3");
static_assert(offsetof(VorlanSensorStatistics, field_4) == 6, "offset of VorlanSensorStatistics::field_4");
static_assert(offsetof(VorlanSensorStatistics, field_5) == 8, "offset of VorlanSensorStatistics::field_5");
static_assert(offsetof(VorlanSensorStatistics, padding) == 9, "offset of VorlanSensorStatistics::padding");
static_assert(offsetof(VorlanSensorStatistics, field_6) == 10, "offset of VorlanSensorStatistics::field_6");
static_assert(offsetof(VorlanSensorStatistics, field_7) == 12, "offset of VorlanSensorStatistics::field_7");
static_assert(offsetof(VorlanSensorStatistics, field_8) == 13, "offset of VorlanSensorStatistics::field_8");

static_assert(sizeof(VorlanCalibration) == 47728, "size of VorlanCalibration");
static_assert(offsetof(VorlanCalibration, id) == 0, "offset of VorlanCalibration::id");
static_assert(offsetof(VorlanCalibration, model_name) == 4, "offset of VorlanCalibration::model_name");
static_assert(offsetof(VorlanCalibration, model) == 32, "offset of VorlanCalibration::model");
static_assert(offsetof(VorlanCalibration, reserved) == 34, "offset of VorlanCalibration::reserved");
static_assert(offsetof(VorlanCalibration, segment_count) == 36, "offset of VorlanCalibration::segment_count");
static_assert(offsetof(VorlanCalibration, flags) == 38, "offset of VorlanCalibration::flags");
static_assert(offsetof(VorlanCalibration, distance_offset) == 40, "offset of VorlanCalibration::distance_offset");
static_assert(offsetof(VorlanCalibration, distance_scale) == 44, "offset of VorlanCalibration::distance_scale");
static_assert(offsetof(VorlanCalibration, image_clip_min_x) == 48, "offset of VorlanCalibration::image_clip_min_x");
static_assert(offsetof(VorlanCalibration, image_clip_min_z) == 52, "offset of VorlanCalibration::image_clip_min_z");
static_assert(offsetof(VorlanCalibration, image_clip_max_x) == 56, "offset of VorlanCalibration::image_clip_max_x");
static_assert(offsetof(VorlanCalibration, image_clip_max_z) == 60, "offset of VorlanCalibration::image_clip_max_z");
static_assert(offsetof(VorlanCalibration, distance_clip_min) == 64, "offset of VorlanCalibration::distance_clip_min");
static_assert(offsetof(VorlanCalibration, distance_clip_max) == 68, "offset of VorlanCalibration::distance_clip_max");
static_assert(offsetof(VorlanCalibration, image_center_x) == 72, "offset of VorlanCalibration::image_center_x");
static_assert(offsetof(VorlanCalibration, image_center_z) == 76, "offset of VorlanCalibration::image_center_z");
static_assert(offsetof(VorlanCalibration, distortion_x) == 80, "offset of VorlanCalibration::distortion_x");
static_assert(offsetof(VorlanCalibration, distortion_z) == 96, "offset of VorlanCalibration::distortion_z");
static_assert(offsetof(VorlanCalibration, lasers) == 112, "offset of VorlanCalibration::lasers");

static_assert(sizeof(VorlanLaserCalibration) == 248, "size of VorlanLaserCalibration");
static_assert(offsetof(VorlanLaserCalibration, image_x_center) == 0, "offset of VorlanLaserCalibration::image_x_center");
static_assert(offsetof(VorlanLaserCalibration, image_x_offset) == 2, "offset of VorlanLaserCalibration::image_x_offset");
static_assert(offsetof(VorlanLaserCalibration, image_z_center) == 4, "offset of VorlanLaserCalibration::image_z_center");
static_assert(offsetof(VorlanLaserCalibration, image_z_offset) == 6, "offset of VorlanLaserCalibration::image_z_offset");
static_assert(offsetof(VorlanLaserCalibration, intensity_range_offset) == 8, "offset of VorlanLaserCalibration::intensity_range_offset");
static_assert(offsetof(VorlanLaserCalibration, segment_scale) == 12, "offset of VorlanLaserCalibration::segment_scale");
static_assert(offsetof(VorlanLaserCalibration, image_x_scale) == 16, "offset of VorlanLaserCalibration::image_x_scale");
static_assert(offsetof(VorlanLaserCalibration, image_z_scale) == 20, "offset of VorlanLaserCalibration::image_z_scale");
static_assert(offsetof(VorlanLaserCalibration, image_z_to_x) == 24, "offset of VorlanLaserCalibration::image_z_to_x");
static_assert(offsetof(VorlanLaserCalibration, image_x_to_z) == 28, "offset of VorlanLaserCalibration::image_x_to_z");
static_assert(offsetof(VorlanLaserCalibration, power_level_intensity) == 32, "offset of VorlanLaserCalibration::power_level_intensity");
static_assert(offsetof(VorlanLaserCalibration, power_level_distance_offset) == 160, "offset of VorlanLaserCalibration::power_level_distance_offset");
static_assert(offsetof(VorlanLaserCalibration, intensity_falloff) == 224, "offset of VorlanLaserCalibration::intensity_falloff");

static_assert(sizeof(VorlanAdcWaveform) == 1421, "size of VorlanAdcWaveform");
static_assert(offsetof(VorlanAdcWaveform, header_word_0) == 0, "offset of VorlanAdcWaveform::header_word_0");
static_assert(offsetof(VorlanAdcWaveform, header_word_1) == 2, "offset of VorlanAdcWaveform::header_word_1");
static_assert(offsetof(VorlanAdcWaveform, value_24) == 4, "offset of VorlanAdcWaveform::value_24");
static_assert(offsetof(VorlanAdcWaveform, byte_a) == 8, "offset of VorlanAdcWaveform::byte_a");
static_assert(offsetof(VorlanAdcWaveform, byte_b) == 9, "offset of VorlanAdcWaveform::byte_b");
static_assert(offsetof(VorlanAdcWaveform, byte_c) == 10, "offset of VorlanAdcWaveform::byte_c");
static_assert(offsetof(VorlanAdcWaveform, byte_d) == 11, "offset of VorlanAdcWaveform::byte_d");
static_assert(offsetof(VorlanAdcWaveform, byte_e) == 12, "offset of VorlanAdcWaveform::byte_e");
static_assert(offsetof(VorlanAdcWaveform, word_32) == 13, "offset of VorlanAdcWaveform::word_32");
static_assert(offsetof(VorlanAdcWaveform, sample_count) == 17, "offset of VorlanAdcWaveform::sample_count");
static_assert(offsetof(VorlanAdcWaveform, samples) == 21, "offset of VorlanAdcWaveform::samples");

