"""The second library: feed it payloads (or let its replay and networking
sources do so) and pull frames from its frame FIFO straight into
preallocated numpy arrays.

The library is one per process: at most one Sdk2 is open at a time.
"""
import ctypes
import threading
import time
from ctypes import POINTER, c_char, c_char_p, c_int, c_int16, c_int64, c_size_t, c_uint8, c_uint16, c_uint32, \
    c_uint64, c_void_p

import numpy as np

from . import _library
from .errors import CallbackErrors, VorlanError
from .frame import Sensor, frame_from_point_arrays

INTERFACE_VERSION = 203
# Frame aggregation: natural frames, or a period in microseconds.
NATURAL_FRAMES = 0
ERROR_TIMEOUT = -20


class SensorRecord(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("info_size", c_uint32), ("serial_number", c_uint32), ("handle", c_uint64),
                ("model_name", c_char * 28), ("model", c_uint16), ("model_reserved", c_uint16),
                ("aux_info", c_uint32), ("firmware_version", c_uint8 * 4), ("ptp_time", c_int64),
                ("time_extra", c_uint64), ("reserved_0", c_uint8 * 8), ("return_count", c_uint8),
                ("channel_count", c_uint8), ("reserved_1", c_uint8 * 2), ("flags", c_uint32),
                ("temperature", c_uint16)]


class FifoedFrame(ctypes.Structure):
    _fields_ = [("handle", c_uint64), ("timestamp", c_int64), ("n_points", c_uint64), ("point_stride", c_uint64),
                ("points", c_void_p)]


assert ctypes.sizeof(SensorRecord) == 90 and ctypes.sizeof(FifoedFrame) == 40

PARSER_CALLBACK = ctypes.CFUNCTYPE(c_int, c_uint64, c_int64, c_void_p, c_size_t, c_void_p)
SENSOR_INFO_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, POINTER(SensorRecord), c_void_p)

_P = c_void_p
_SIGNATURES = {
    "VorlanInitialize": (c_int, [c_int]),
    "VorlanDeinitialize": (c_int, []),
    "VorlanGetSdkVersion": (c_int, []),
    "VorlanGetErrorCodeName": (c_char_p, [c_int]),
    "VorlanRegisterParser": (c_int, [PARSER_CALLBACK, c_void_p]),
    "VorlanUnregisterParser": (c_int, [PARSER_CALLBACK, c_void_p]),
    "VorlanReceiveData": (c_int, [c_uint64, c_int64, c_void_p, c_size_t]),
    "VorlanListenSensorInfo": (c_int, [SENSOR_INFO_CALLBACK, c_void_p]),
    "VorlanGetSensorCount": (c_int64, []),
    "VorlanGetSensorInformation": (c_int, [c_uint64, POINTER(SensorRecord)]),
    "VorlanGetSensorInformationByIndex": (c_int, [c_size_t, POINTER(SensorRecord)]),
    "VorlanEnableFrameFifo": (c_int, [c_int, c_uint32]),
    "VorlanDisableFrameFifo": (c_int, []),
    "VorlanFrameFifoRelease": (c_int, []),
    "VorlanFrameFifoSize": (c_int, []),
    "VorlanFrameFifoPeekFrameNumPoints": (c_int64, [c_uint32]),
    "VorlanFrameFifoGetSOA": (c_int, [POINTER(FifoedFrame), _P, _P, _P, _P, _P, _P, _P, c_uint32]),
    "VorlanStartNetworkingOnPort": (c_int, [c_uint16]),
    "VorlanStopNetworking": (c_int, []),
    "VorlanReplayLoadPcap": (c_int, [c_char_p, c_uint32, POINTER(c_uint64)]),
    "VorlanReplayUnloadPcap": (c_int, [c_uint64]),
    "VorlanReplayPlay": (c_int, [c_uint64]),
    "VorlanReplayIsFinished": (c_int, [c_uint64]),
}

_lib = None
_open_lock = threading.Lock()


def library():
    global _lib
    if _lib is None:
        lib = _library.load("vorlan_sdk2")
        for name, (result, arguments) in _SIGNATURES.items():
            function = getattr(lib, name)
            function.restype = result
            function.argtypes = arguments
        _lib = lib
    return _lib


def check(code):
    """Raises VorlanError for a negative code."""
    if code >= 0:
        return code
    name = library().VorlanGetErrorCodeName(int(code)) or b""
    raise VorlanError(code, name.decode())


def version():
    """VorlanGetSdkVersion as major.minor.patch (its three low bytes)."""
    value = library().VorlanGetSdkVersion()
    return "%d.%d.%d" % ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


def sensor_from_record(record):
    temperature = record.temperature / 100.0 - 273.15 if record.temperature else float("nan")
    return Sensor(handle=int(record.handle), serial_number=int(record.serial_number), model=int(record.model),
                  model_name=record.model_name.decode("utf-8", "replace"),
                  firmware=".".join(str(b) for b in record.firmware_version),
                  return_count=int(record.return_count), channel_count=int(record.channel_count),
                  flags=int(record.flags), temperature=temperature, library=2)


def _milliseconds(timeout):
    """The library's time-out argument: 0 waits without limit."""
    return 0 if timeout is None else max(1, int(round(timeout * 1000)))


class FrameFifo:
    """The library's frame FIFO, read into arrays allocated once and grown
    only when a larger frame comes; each frame handed out is a copy."""

    def __init__(self, sdk, mode=NATURAL_FRAMES, n_frames=16):
        self._sdk = sdk
        self._lib = sdk._lib
        # The point count is peeked before the frame is read into the
        # arrays: one reader at a time keeps the two about the same frame.
        self._reader = threading.Lock()
        check(self._lib.VorlanEnableFrameFifo(mode, n_frames))
        self._capacity = 0
        self._grow(4096)

    def _grow(self, n):
        self._capacity = max(n, 2 * self._capacity)
        c = self._capacity
        self.arrays = {"x": np.empty(c, np.int16), "y": np.empty(c, np.int16), "z": np.empty(c, np.int16),
                       "reflectivity": np.empty(c, np.uint8), "time": np.empty(c, np.int64),
                       "channel": np.empty(c, np.uint8), "flags": np.empty(c, np.uint8)}
        a = self.arrays
        self._pointers = [a[k].ctypes.data for k in ("x", "y", "z", "reflectivity", "time", "channel", "flags")]

    def get(self, timeout=None):
        """The oldest frame, waiting up to `timeout` seconds (None: without
        limit); None when none came in time."""
        with self._reader:
            lib = self._lib
            if lib is None:
                raise VorlanError(-19, "VORLAN_ERROR_NOT_ENABLED", "the frame FIFO is closed")
            return self._get(lib, _milliseconds(timeout))

    def _get(self, lib, ms):
        n = lib.VorlanFrameFifoPeekFrameNumPoints(ms)
        if n == ERROR_TIMEOUT:
            return None
        check(n)
        if n > self._capacity:
            self._grow(n)
        head = FifoedFrame()
        code = lib.VorlanFrameFifoGetSOA(ctypes.byref(head), *self._pointers, ms)
        if code == ERROR_TIMEOUT:
            return None
        check(code)
        try:
            count = head.n_points
            a = {k: v[:count] for k, v in self.arrays.items()}
            return frame_from_point_arrays(head.handle, head.timestamp, a["x"], a["y"], a["z"], a["reflectivity"],
                                           a["time"].copy(), a["channel"].copy(), a["flags"].copy(),
                                           self._sdk.known_sensor(head.handle))
        finally:
            lib.VorlanFrameFifoRelease()

    def size(self):
        return check(self._lib.VorlanFrameFifoSize())

    def close(self):
        # Not under the reader lock: a reader may be waiting without limit.
        lib, self._lib = self._lib, None
        if lib is not None:
            check(lib.VorlanDisableFrameFifo())


class Sdk2:
    """An initialised second library."""

    def __init__(self, on_sensor=None):
        self._lib = library()
        self._errors = CallbackErrors()
        self._sensors = {}
        self._on_sensor = on_sensor
        self._parsers = {}
        self._fifos = []
        self._open = False
        self._holds_lock = _open_lock.acquire(blocking=False)
        if not self._holds_lock:
            raise VorlanError(-9, "VORLAN_ERROR_ALREADY_INITIALIZED", "another Sdk2 is open in this process")
        try:
            check(self._lib.VorlanInitialize(INTERFACE_VERSION))
            self._open = True
            self._info_cb = SENSOR_INFO_CALLBACK(self._errors.guard(self._on_information))
            check(self._lib.VorlanListenSensorInfo(self._info_cb, None))
        except BaseException:
            self.close()
            raise

    def _on_information(self, handle, record, _user):
        sensor = sensor_from_record(record.contents)
        self._sensors[handle] = sensor
        if self._on_sensor is not None:
            self._on_sensor(sensor)

    def close(self):
        try:
            # The FIFO outlives a deinitialisation of the library: disabled
            # first, so that the next Sdk2 can enable it again.
            fifos, self._fifos = self._fifos, []
            for fifo in fifos:
                fifo.close()
            if self._open:
                self._open = False
                check(self._lib.VorlanDeinitialize())
        finally:
            if self._holds_lock:
                self._holds_lock = False
                _open_lock.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        # The library must not call back into callback objects that are
        # about to be freed: an Sdk dropped without close() stops it first.
        try:
            self.close()
        except Exception:
            pass

    def raise_pending(self):
        """Raises what a Python callback raised on a library thread."""
        self._errors.raise_pending()

    def frame_fifo(self, mode=NATURAL_FRAMES, n_frames=16):
        """The frame FIFO, enabled; it is disabled again by close()."""
        fifo = FrameFifo(self, mode, n_frames)
        self._fifos.append(fifo)
        return fifo

    def receive(self, handle, timestamp, payload):
        """Runs the parser chain on one payload on this thread."""
        buffer = bytes(payload)
        code = self._lib.VorlanReceiveData(handle, timestamp, buffer, len(buffer))
        self._errors.raise_pending()
        check(code)

    def add_parser(self, parser):
        """Registers parser(handle, timestamp, payload: bytes) -> bool, run
        before the built-in parsers; True means it took the payload. It runs
        on the delivering thread; an exception passes the payload on and is
        raised later on the caller's thread."""
        def call(handle, timestamp, data, size, _user):
            return 0 if parser(handle, timestamp, ctypes.string_at(data, size)) else 1
        callback = PARSER_CALLBACK(self._errors.guard(call, failed=1))
        check(self._lib.VorlanRegisterParser(callback, None))
        self._parsers[parser] = callback

    def remove_parser(self, parser):
        check(self._lib.VorlanUnregisterParser(self._parsers[parser], None))
        del self._parsers[parser]

    def known_sensor(self, handle):
        return self._sensors.get(handle)

    def sensors(self):
        record = SensorRecord()
        found = []
        for index in range(check(self._lib.VorlanGetSensorCount())):
            check(self._lib.VorlanGetSensorInformationByIndex(index, ctypes.byref(record)))
            found.append(sensor_from_record(record))
        return found

    def sensor(self, handle):
        record = SensorRecord()
        check(self._lib.VorlanGetSensorInformation(handle, ctypes.byref(record)))
        return sensor_from_record(record)


def replay(path, mode=NATURAL_FRAMES, n_frames=16, on_sensor=None):
    """Iterates over the frames the second library's replay makes of a
    capture."""
    with Sdk2(on_sensor=on_sensor) as sdk:
        fifo = sdk.frame_fifo(mode, n_frames)
        replay_handle = c_uint64()
        check(sdk._lib.VorlanReplayLoadPcap(str(path).encode(), 0, ctypes.byref(replay_handle)))
        try:
            check(sdk._lib.VorlanReplayPlay(replay_handle))
            while True:
                frame = fifo.get(0.1)
                sdk.raise_pending()
                if frame is not None:
                    yield frame
                elif check(sdk._lib.VorlanReplayIsFinished(replay_handle)) and fifo.size() == 0:
                    return
        finally:
            sdk._lib.VorlanReplayUnloadPcap(replay_handle)
            fifo.close()


def listen(port=8808, timeout=1.0, seconds=None, mode=NATURAL_FRAMES, n_frames=16, on_sensor=None):
    """Iterates over live frames on a UDP port; ends when no frame came for
    `timeout` seconds or, if given, after `seconds`."""
    with Sdk2(on_sensor=on_sensor) as sdk:
        fifo = sdk.frame_fifo(mode, n_frames)
        check(sdk._lib.VorlanStartNetworkingOnPort(port))
        try:
            end = None if seconds is None else time.monotonic() + seconds
            while end is None or time.monotonic() < end:
                wait = timeout if end is None else min(timeout, max(0.001, end - time.monotonic()))
                frame = fifo.get(wait)
                sdk.raise_pending()
                if frame is None:
                    return
                yield frame
        finally:
            sdk._lib.VorlanStopNetworking()
            fifo.close()
