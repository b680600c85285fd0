"""ctypes mirrors of the first library's C structures and functions."""
import ctypes
from ctypes import (POINTER, c_char, c_char_p, c_float, c_int16, c_int32, c_int64, c_size_t, c_uint8, c_uint16,
                    c_uint32, c_uint64, c_void_p)

import numpy as np

INTERFACE_VERSION = 19

CONTROL_DISABLE_NETWORK = 0x2
CONTROL_ENABLE_MULTIPLE_RETURNS = 0x10

FRAME_MODES = {"streaming": 0, "timed": 1, "sweep": 2, "full-scan": 3, "by-model": 4}

POINT_VALID = 0x01
POINT_SATURATED = 0x02
POINT_FRAME_FLAG = 0x80
SENSOR_INFO_IS_CALIBRATED = 0x10


class FrameOptions(ctypes.Structure):
    _fields_ = [("signature", c_uint64), ("mode", c_int32), ("length", c_float)]


class Options(ctypes.Structure):
    _fields_ = [("signature", c_uint64), ("control_flags", c_uint32), ("padding_0", c_uint8 * 4),
                ("frame", FrameOptions), ("port", c_uint16), ("padding_1", c_uint8 * 6)]


class SensorInformation(ctypes.Structure):
    _fields_ = [("handle", c_uint64), ("serial_number", c_uint64), ("model_name", c_char * 28), ("model", c_uint16),
                ("reserved", c_uint16), ("firmware_version", c_char * 28), ("firmware_major", c_uint8),
                ("firmware_minor", c_uint8), ("firmware_build", c_uint8), ("firmware_reserved", c_uint8),
                ("last_reported_temperature", c_float), ("last_reported_humidity", c_float),
                ("last_reported_age", c_float), ("measurement_period", c_float), ("ptp_time", c_int64),
                ("gps", c_uint8 * 6), ("return_count", c_uint8), ("segment_count", c_uint8), ("flags", c_uint32),
                ("padding", c_uint8 * 4)]


class SensorTransform(ctypes.Structure):
    _fields_ = [("rotation", c_float * 4), ("translation", c_float * 3)]


class LaserCalibration(ctypes.Structure):
    _fields_ = [("image_x_center", c_int16), ("image_x_offset", c_int16), ("image_z_center", c_int16),
                ("image_z_offset", c_int16), ("intensity_range_offset", c_float), ("segment_scale", c_float),
                ("image_x_scale", c_float), ("image_z_scale", c_float), ("image_z_to_x", c_float),
                ("image_x_to_z", c_float), ("power_level_intensity", c_float * 32),
                ("power_level_distance_offset", c_int16 * 32), ("intensity_falloff", c_float * 6)]


class Calibration(ctypes.Structure):
    """A sensor's calibration, as vorlan_sdk_get_calibration fills it and as
    a client hands it to calibrate()."""
    _fields_ = [("id", c_uint32), ("model_name", c_char * 28), ("model", c_uint16), ("reserved", c_uint16),
                ("segment_count", c_uint16), ("flags", c_uint16), ("distance_offset", c_float),
                ("distance_scale", c_float), ("image_clip_min_x", c_float), ("image_clip_min_z", c_float),
                ("image_clip_max_x", c_float), ("image_clip_max_z", c_float), ("distance_clip_min", c_float),
                ("distance_clip_max", c_float), ("image_center_x", c_float), ("image_center_z", c_float),
                ("distortion_x", c_float * 4), ("distortion_z", c_float * 4), ("lasers", LaserCalibration * 192)]


# The raw point the sensor measured, 32 bytes; what calibrate() takes.
RAW_POINT_DTYPE = np.dtype([
    ("timestamp", "<i8"), ("image_x", "<i2"), ("image_z", "<i2"), ("distance", "<u4"), ("distance_2", "<u4"),
    ("intensity", "u1"), ("intensity_2", "u1"), ("saturated", "u1"), ("saturated_2", "u1"), ("segment_id", "u1"),
    ("power_level", "u1"), ("reserved", "u1"), ("frame_flag", "u1"), ("padding", "u1", (4,)),
])

ERROR_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, c_int32, c_char_p, c_void_p, c_size_t, c_void_p)
IMAGE_FRAMES_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, c_size_t, c_void_p, c_void_p)
INFORMATION_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, POINTER(SensorInformation), c_void_p)
SERIAL_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, c_char_p, c_void_p)
NETWORK_PACKET_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, c_int64, c_void_p, c_size_t, c_void_p)

ERROR_COMMUNICATION = -6
ERROR_INVALID_FILE_TYPE = -11
ERROR_CORRUPT_FILE = -13
ERROR_EOF = -15

_CODE = c_int32
_SIGNATURES = {
    "vorlan_sdk_get_version_string": (c_char_p, []),
    "vorlan_sdk_create_options": (Options, []),
    "vorlan_sdk_initialize": (_CODE, [c_int32, POINTER(Options), ERROR_CALLBACK, c_void_p]),
    "vorlan_sdk_deinitialize": (_CODE, []),
    "vorlan_sdk_is_initialized": (c_int32, []),
    "vorlan_sdk_set_control_flags": (_CODE, [c_uint32, c_uint32]),
    "vorlan_sdk_set_port": (_CODE, [c_uint16]),
    "vorlan_sdk_get_error": (_CODE, [POINTER(c_char_p)]),
    "vorlan_get_error_code_name": (c_char_p, [_CODE]),
    "vorlan_sdk_listen_image_frames": (_CODE, [IMAGE_FRAMES_CALLBACK, c_void_p]),
    "vorlan_sdk_listen_info_packets": (_CODE, [INFORMATION_CALLBACK, c_void_p]),
    "vorlan_sdk_listen_serial_lines": (_CODE, [SERIAL_CALLBACK, c_void_p]),
    "vorlan_sdk_listen_network_packet": (_CODE, [NETWORK_PACKET_CALLBACK, c_void_p]),
    "vorlan_sdk_create_frame_options": (FrameOptions, []),
    "vorlan_sdk_set_frame_options": (_CODE, [POINTER(FrameOptions)]),
    "vorlan_sdk_get_n_sensors": (c_size_t, []),
    "vorlan_sdk_get_sensor_handle_by_serial_number": (_CODE, [c_uint64, POINTER(c_uint64)]),
    "vorlan_sdk_get_sensor_information_by_index": (_CODE, [c_size_t, POINTER(SensorInformation)]),
    "vorlan_sdk_get_sensor_information": (_CODE, [c_uint64, POINTER(SensorInformation)]),
    "vorlan_sdk_mock_network_receive": (_CODE, [c_uint64, c_int64, c_void_p, c_size_t]),
    "vorlan_sdk_calibrate_points": (_CODE, [c_uint64, c_size_t, c_void_p, c_uint32, c_void_p]),
    "vorlan_sdk_calibrate_points_with_calibration": (_CODE, [POINTER(Calibration), c_size_t, c_void_p, c_uint32,
                                                             c_void_p]),
    "vorlan_sdk_get_calibration": (_CODE, [c_uint64, POINTER(Calibration)]),
    "vorlan_sdk_get_transform": (_CODE, [c_uint64, POINTER(SensorTransform)]),
    "vorlan_sdk_capture_replay_open": (_CODE, [c_char_p]),
    "vorlan_sdk_capture_replay_close": (_CODE, []),
    "vorlan_sdk_capture_replay_is_end": (c_int32, []),
    "vorlan_sdk_capture_replay_get_length": (c_float, []),
    "vorlan_sdk_capture_replay_resume_blocking": (_CODE, [c_float]),
    "vorlan_sdk_capture_replay_resume_blocking_once": (_CODE, []),
    "vorlan_sdk_capture_replay_get_position": (c_float, []),
    "vorlan_sdk_capture_replay_get_count": (ctypes.c_uint64, [c_int32]),
}

# Sizes the library exports, checked against these mirrors at load time.
_SIZES = {
    "vorlan_sensor_information_size": SensorInformation,
    "vorlan_sensor_image_point_size": 32,
    "vorlan_sensor_raw_point_with_time_size": RAW_POINT_DTYPE.itemsize,
    "vorlan_calibration_size": Calibration,
    "vorlan_laser_calibration_size": LaserCalibration,
    "vorlan_sensor_transform_size": SensorTransform,
}


def bind(library):
    for name, (result, arguments) in _SIGNATURES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    for name, mirror in _SIZES.items():
        expected = mirror if isinstance(mirror, int) else ctypes.sizeof(mirror)
        actual = c_size_t.in_dll(library, name).value
        if actual != expected:
            raise OSError("vorlan_sdk: %s is %d, this package expects %d" % (name, actual, expected))
    return library
