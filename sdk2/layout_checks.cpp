// The records are part of the binary interface: their sizes and field
// offsets may never change. The build fails if one does.
#include <cstddef>

#include "vorlan_sdk2.h"

static_assert(sizeof(VorlanSensor) == 90, "size of VorlanSensor");
static_assert(offsetof(VorlanSensor, info_size) == 0, "offset of VorlanSensor::info_size");
static_assert(offsetof(VorlanSensor, serial_number) == 4, "offset of VorlanSensor::serial_number");
static_assert(offsetof(VorlanSensor, handle) == 8, "offset of VorlanSensor::handle");
static_assert(offsetof(VorlanSensor, model_name) == 16, "offset of VorlanSensor::model_name");
static_assert(offsetof(VorlanSensor, model) == 44, "offset of VorlanSensor::model");
static_assert(offsetof(VorlanSensor, model_reserved) == 46, "offset of VorlanSensor::model_reserved");
static_assert(offsetof(VorlanSensor, aux_info) == 48, "offset of VorlanSensor::aux_info");
static_assert(offsetof(VorlanSensor, firmware_version) == 52, "offset of VorlanSensor::firmware_version");
static_assert(offsetof(VorlanSensor, ptp_time) == 56, "offset of VorlanSensor::ptp_time");
static_assert(offsetof(VorlanSensor, time_extra) == 64, "offset of VorlanSensor::time_extra");
static_assert(offsetof(VorlanSensor, reserved_0) == 72, "offset of VorlanSensor::reserved_0");
static_assert(offsetof(VorlanSensor, return_count) == 80, "offset of VorlanSensor::return_count");
static_assert(offsetof(VorlanSensor, channel_count) == 81, "offset of VorlanSensor::channel_count");
static_assert(offsetof(VorlanSensor, reserved_1) == 82, "offset of VorlanSensor::reserved_1");
static_assert(offsetof(VorlanSensor, flags) == 84, "offset of VorlanSensor::flags");
static_assert(offsetof(VorlanSensor, temperature) == 88, "offset of VorlanSensor::temperature");

static_assert(sizeof(VorlanPoint) == 10, "size of VorlanPoint");
static_assert(offsetof(VorlanPoint, x) == 0, "offset of VorlanPoint::x");
static_assert(offsetof(VorlanPoint, y) == 2, "offset of VorlanPoint::y");
static_assert(offsetof(VorlanPoint, z) == 4, "offset of VorlanPoint::z");
static_assert(offsetof(VorlanPoint, reflectivity) == 6, "offset of VorlanPoint::reflectivity");
static_assert(offsetof(VorlanPoint, relative_timestamp) == 7, "offset of VorlanPoint::relative_timestamp");
static_assert(offsetof(VorlanPoint, channel_id) == 8, "offset of VorlanPoint::channel_id");
static_assert(offsetof(VorlanPoint, flags) == 9, "offset of VorlanPoint::flags");

static_assert(sizeof(VorlanFifoedFrame) == 40, "size of VorlanFifoedFrame");
static_assert(offsetof(VorlanFifoedFrame, handle) == 0, "offset of VorlanFifoedFrame::handle");
static_assert(offsetof(VorlanFifoedFrame, timestamp) == 8, "offset of VorlanFifoedFrame::timestamp");
static_assert(offsetof(VorlanFifoedFrame, n_points) == 16, "offset of VorlanFifoedFrame::n_points");
static_assert(offsetof(VorlanFifoedFrame, point_stride) == 24, "offset of VorlanFifoedFrame::point_stride");
static_assert(offsetof(VorlanFifoedFrame, points) == 32, "offset of VorlanFifoedFrame::points");

static_assert(sizeof(VorlanFrameArrays) == 64, "size of VorlanFrameArrays");
static_assert(offsetof(VorlanFrameArrays, x) == 0, "offset of VorlanFrameArrays::x");
static_assert(offsetof(VorlanFrameArrays, y) == 8, "offset of VorlanFrameArrays::y");
static_assert(offsetof(VorlanFrameArrays, z) == 16, "offset of VorlanFrameArrays::z");
static_assert(offsetof(VorlanFrameArrays, reflectivities) == 24, "offset of VorlanFrameArrays::reflectivities");
static_assert(offsetof(VorlanFrameArrays, timestamps) == 32, "offset of VorlanFrameArrays::timestamps");
static_assert(offsetof(VorlanFrameArrays, channel_ids) == 40, "offset of VorlanFrameArrays::channel_ids");
static_assert(offsetof(VorlanFrameArrays, flags) == 48, "offset of VorlanFrameArrays::flags");
static_assert(offsetof(VorlanFrameArrays, handle) == 56, "offset of VorlanFrameArrays::handle");
