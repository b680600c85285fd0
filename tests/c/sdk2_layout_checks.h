/* The same layout checks for vorlan_sdk2.h, made by a C99 compiler. */
#include <stddef.h>
#include "vorlan_sdk2.h"

#define VORLAN_SDK2_LAYOUT_CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

VORLAN_SDK2_LAYOUT_CHECK(size_VorlanSensor, sizeof(VorlanSensor) == 90);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_info_size, offsetof(VorlanSensor, info_size) == 0);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_serial_number, offsetof(VorlanSensor, serial_number) == 4);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_handle, offsetof(VorlanSensor, handle) == 8);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_model_name, offsetof(VorlanSensor, model_name) == 16);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_model, offsetof(VorlanSensor, model) == 44);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_model_reserved, offsetof(VorlanSensor, model_reserved) == 46);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_aux_info, offsetof(VorlanSensor, aux_info) == 48);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_firmware_version, offsetof(VorlanSensor, firmware_version) == 52);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_ptp_time, offsetof(VorlanSensor, ptp_time) == 56);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_time_extra, offsetof(VorlanSensor, time_extra) == 64);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_reserved_0, offsetof(VorlanSensor, reserved_0) == 72);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_return_count, offsetof(VorlanSensor, return_count) == 80);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_channel_count, offsetof(VorlanSensor, channel_count) == 81);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_reserved_1, offsetof(VorlanSensor, reserved_1) == 82);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_flags, offsetof(VorlanSensor, flags) == 84);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanSensor_temperature, offsetof(VorlanSensor, temperature) == 88);
VORLAN_SDK2_LAYOUT_CHECK(size_VorlanPoint, sizeof(VorlanPoint) == 10);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_x, offsetof(VorlanPoint, x) == 0);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_y, offsetof(VorlanPoint, y) == 2);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_z, offsetof(VorlanPoint, z) == 4);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_reflectivity, offsetof(VorlanPoint, reflectivity) == 6);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_relative_timestamp, offsetof(VorlanPoint, relative_timestamp) == 7);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_channel_id, offsetof(VorlanPoint, channel_id) == 8);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanPoint_flags, offsetof(VorlanPoint, flags) == 9);
VORLAN_SDK2_LAYOUT_CHECK(size_VorlanFifoedFrame, sizeof(VorlanFifoedFrame) == 40);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFifoedFrame_handle, offsetof(VorlanFifoedFrame, handle) == 0);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFifoedFrame_timestamp, offsetof(VorlanFifoedFrame, timestamp) == 8);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFifoedFrame_n_points, offsetof(VorlanFifoedFrame, n_points) == 16);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFifoedFrame_point_stride, offsetof(VorlanFifoedFrame, point_stride) == 24);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFifoedFrame_points, offsetof(VorlanFifoedFrame, points) == 32);
VORLAN_SDK2_LAYOUT_CHECK(size_VorlanFrameArrays, sizeof(VorlanFrameArrays) == 64);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_x, offsetof(VorlanFrameArrays, x) == 0);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_y, offsetof(VorlanFrameArrays, y) == 8);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_z, offsetof(VorlanFrameArrays, z) == 16);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_reflectivities, offsetof(VorlanFrameArrays, reflectivities) == 24);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_timestamps, offsetof(VorlanFrameArrays, timestamps) == 32);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_channel_ids, offsetof(VorlanFrameArrays, channel_ids) == 40);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_flags, offsetof(VorlanFrameArrays, flags) == 48);
VORLAN_SDK2_LAYOUT_CHECK(offset_VorlanFrameArrays_handle, offsetof(VorlanFrameArrays, handle) == 56);
