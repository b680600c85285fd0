"""The second library: feed it payloads (or let its replay and networking
sources do so) and pull frames from its frame FIFO straight into
preallocated numpy arrays.

The library is one per process: at most one Sdk2 is open at a time.
"""
import collections
import ctypes
import threading
import time
import warnings
from ctypes import POINTER, c_char, c_char_p, c_int, c_int64, c_size_t, c_uint8, c_uint16, c_uint32, \
    c_uint64, c_void_p

import numpy as np

from . import _library
from ._capture_file import no_sensor_datagram, open_failure, read_counts, warn_losses
from ._pace import checked_span, checked_speed
from ._sensor_book import SensorBook
from ._session import Session
from .errors import MEANINGS, CallbackErrors, VorlanError
from .frame import POINT_DTYPE, Sensor, frame_from_point_arrays, frame_from_points, without_carried_over

INTERFACE_VERSION = 203
# Frame aggregation: natural frames, or a period in microseconds.
NATURAL_FRAMES = 0
MIN_PERIOD_US = 1000
ERROR_TIMEOUT = -20
ERROR_INVALID_STATE = -18
# Load flags: loaded paused, so the listeners are in place before the first
# packet; and the end of a capture (what reading left out, a cut) told by this
# package's warnings and errors only, not again on standard error.
LOAD_PAUSED = 4
LOAD_NO_END_REPORT = 16
# Frames a replay's listener queues ahead of the caller before it waits.
QUEUED_FRAMES = 16


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
FRAMES_CALLBACK = ctypes.CFUNCTYPE(None, c_uint64, c_int64, c_size_t, c_size_t, c_void_p, c_void_p)

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
    "VorlanReplayPlayToFinish": (c_int, [c_uint64]),
    "VorlanReplayPause": (c_int, [c_uint64]),
    "VorlanReplaySeek": (c_int, [c_uint64, c_int64]),
    "VorlanReplayGetSeekPosition": (c_int64, [c_uint64]),
    "VorlanReplayGetCount": (c_int64, [c_uint64, c_uint32]),
    "VorlanReplaySetSpeed": (c_int, [c_uint64, c_int]),
    "VorlanListenFrames": (c_int, [c_int, FRAMES_CALLBACK, c_void_p]),
    "VorlanUnlistenFrames": (c_int, [FRAMES_CALLBACK, c_void_p]),
    "VorlanEnableLegacyTranslation": (c_int, []),
    "VorlanDisableLegacyTranslation": (c_int, []),
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


def error(code, sentence=None):
    """A VorlanError for `code`: its name and `sentence`, or what the code
    means."""
    name = (library().VorlanGetErrorCodeName(int(code)) or b"").decode()
    return VorlanError(code, name, sentence or MEANINGS.get(int(code), "the library refused"))


def check(code, sentence=None):
    """Raises VorlanError for a negative code."""
    if code >= 0:
        return code
    raise error(code, sentence)


def aggregation_mode(frame_mode, frame_length):
    """The library's aggregation mode: natural frames (cut where the frame
    parity flag changes), or a period in microseconds."""
    if frame_mode in (None, "natural"):
        return NATURAL_FRAMES
    if frame_mode != "timed":
        raise ValueError("with library=2 frame_mode is \"natural\" or \"timed\", not %r" % (frame_mode,))
    period = round(float(frame_length) * 1e6)
    if not MIN_PERIOD_US <= period <= 2**31 - 1:
        raise ValueError("with library=2 timed frames last 0.001 s or more (up to 2147 s)")
    return period


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


class Sdk2(Session):
    """An initialised second library. With `legacy` (the default) it also
    translates what first-generation sensors send, through the first library
    loaded beside it, so that they come out as second-generation sensors and
    frames too; when the first library cannot be used a warning says why and
    the second-generation sensors still come out."""

    def __init__(self, on_sensor=None, legacy=True):
        self._lib = library()
        self._errors = CallbackErrors()
        self._sensors = {}
        self._on_sensor = on_sensor
        self._parsers = {}
        self._fifos = []
        self._replays = []  # how to end each replay still running
        self._open = False
        Session.__init__(self, _open_lock, "Sdk2")
        try:
            check(self._lib.VorlanInitialize(INTERFACE_VERSION))
            self._open = True
            self._info_cb = SENSOR_INFO_CALLBACK(self._errors.guard(self._on_information))
            check(self._lib.VorlanListenSensorInfo(self._info_cb, None))
            if legacy:
                self._enable_legacy_translation()
        except BaseException:
            self.close()
            raise

    def _enable_legacy_translation(self):
        code = self._lib.VorlanEnableLegacyTranslation()
        if code < 0:
            reason = {-12: "the first library is not beside the second or cannot be loaded",
                      -17: "the first library beside the second lacks functions translation needs",
                      -9: "the first library is already in use in this process (an open vorlan.Sdk)"}
            warnings.warn("legacy translation unavailable, first-generation sensors are left out: %s (%s)"
                          % (reason.get(code, MEANINGS.get(code, "refused")),
                             self._lib.VorlanGetErrorCodeName(code).decode()), RuntimeWarning, stacklevel=3)

    def _on_information(self, handle, record, _user):
        sensor = sensor_from_record(record.contents)
        self._sensors[handle] = sensor
        if self._on_sensor is not None:
            self._on_sensor(sensor)

    def close(self):
        try:
            # A replay left unfinished is ended first: its frame listener
            # holds the library's partial frames.
            for end_replay in list(self._replays):
                end_replay()
            # The FIFO outlives a deinitialisation of the library: disabled
            # first, so that the next Sdk2 can enable it again.
            fifos, self._fifos = self._fifos, []
            for fifo in fifos:
                fifo.close()
            # So does the parser chain: a parser left registered would be
            # called after its callback object is freed.
            parsers, self._parsers = self._parsers, {}
            if self._open:
                for callback in parsers.values():
                    self._lib.VorlanUnregisterParser(callback, None)
            if self._open:
                self._open = False
                check(self._lib.VorlanDeinitialize())
        finally:
            self._release()

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
        """Every sensor the library knows, also after a replay ended."""
        record = SensorRecord()
        found = []
        for index in range(check(self._lib.VorlanGetSensorCount())):
            check(self._lib.VorlanGetSensorInformationByIndex(index, ctypes.byref(record)))
            found.append(sensor_from_record(record))
        return found

    def replay(self, path, frame_mode="natural", frame_length=0.1, speed=0.0, start=0.0, end=None, sensor=None):
        """Yields the frames the library's replay makes of a capture: as fast
        as possible (speed 0) or at `speed` times the recorded rate; natural
        frames (cut where the sensor's frame parity changes) or "timed" ones
        of `frame_length` seconds. Frames are shown from `start` seconds into
        the capture; the replay stops after `end` seconds; `sensor` (a dotted
        address or a serial number) keeps one sensor's frames."""
        speed = checked_speed(speed)
        start, end = checked_span(start, end)
        mode = aggregation_mode(frame_mode, frame_length)
        path = str(path)
        replay = c_uint64()
        code = self._lib.VorlanReplayLoadPcap(path.encode(), LOAD_PAUSED | LOAD_NO_END_REPORT,
                                              ctypes.byref(replay))
        if code < 0:
            raise error(code, open_failure(path, code, 2))
        feed = _ReplayFeed(self, replay.value, SensorBook(wanted=sensor), start, end)
        listening = False

        def end_replay():
            if end_replay in self._replays:
                self._replays.remove(end_replay)
                feed.stop()
                self._lib.VorlanReplayUnloadPcap(replay)
                if listening:
                    # Removing the frame listener drops the library's partial
                    # frames: the next replay starts afresh.
                    self._lib.VorlanUnlistenFrames(feed.callback, None)

        self._replays.append(end_replay)
        try:
            check(self._lib.VorlanListenFrames(mode, feed.callback, None))
            listening = True
            check(self._lib.VorlanReplaySetSpeed(replay, 0 if speed == 0.0 else max(1, round(speed * 100))))
            check(self._lib.VorlanReplayPlay(replay))
            yield from feed.frames()
            counts = read_counts(lambda which: self._lib.VorlanReplayGetCount(replay, which))
            # A finished replay answers at once; one that ended at a record
            # cut short or damaged says so.
            if not feed.ended_early and self._lib.VorlanReplayPlayToFinish(replay) == -12:
                at = self._lib.VorlanReplayGetSeekPosition(replay)
                where = " at %.3f s" % (at * 1e-6) if at >= 0 else ""
                warn_losses(path, counts, cut_end=True)
                raise error(-12, "%s: the capture is cut short or damaged%s; what came before it was replayed"
                            % (path, where))
            if not feed.ended_early and counts["sensor_datagrams"] == 0:
                raise no_sensor_datagram(path, counts)
            warn_losses(path, counts)
        finally:
            end_replay()

    def sensor(self, handle):
        record = SensorRecord()
        check(self._lib.VorlanGetSensorInformation(handle, ctypes.byref(record)))
        return sensor_from_record(record)


class _ReplayFeed:
    """Takes a replay's frames on the replay's thread and hands them to the
    caller's. The listener waits while QUEUED_FRAMES are queued, so a slow
    caller slows the replay instead of piling frames up; stop() lets it go."""

    def __init__(self, sdk, replay, book, start, end):
        self._sdk = sdk
        self._lib = sdk._lib
        self._replay = replay
        self._book = book
        self._start_us = start * 1e6
        self._end_us = None if end is None else end * 1e6
        self._queue = collections.deque()
        self._changed = threading.Condition()
        self._stopped = False
        self._shown = start <= 0.0
        self.ended_early = False  # the end position was passed
        self.callback = FRAMES_CALLBACK(sdk._errors.guard(self._on_frame))

    def _on_frame(self, handle, timestamp, count, stride, address, _user):
        position = self._lib.VorlanReplayGetSeekPosition(self._replay)
        if self._end_us is not None and position > self._end_us:
            with self._changed:
                self.ended_early = True
                self._changed.notify_all()
            return
        self._shown = self._shown or position >= self._start_us
        known = self._sdk.known_sensor(handle)
        if known is not None:
            self._book.inform(handle, known.serial_number)
        index, wanted, _ = self._book.take_frame(handle)
        if not (self._shown and wanted):
            return
        points = _point_records(address, count, stride)
        with self._changed:
            self._changed.wait_for(lambda: len(self._queue) < QUEUED_FRAMES or self._stopped)
            if not self._stopped:
                self._queue.append((handle, timestamp, points, index))
                self._changed.notify_all()

    def frames(self):
        lib, replay = self._lib, self._replay
        while True:
            with self._changed:
                self._changed.wait_for(lambda: self._queue or self.ended_early or self._sdk._errors.pending, 0.05)
                entries, self._queue = list(self._queue), collections.deque()
                self._changed.notify_all()
                ended = self.ended_early
            self._sdk.raise_pending()
            for handle, timestamp, points, index in entries:
                frame = without_carried_over(
                    frame_from_points(handle, timestamp, points, self._sdk.known_sensor(handle)))
                frame.index, frame.whole = index, index >= 1
                frame.serial_number = self._book.serial_number(handle)
                yield frame
            if ended or (not entries and check(lib.VorlanReplayIsFinished(replay)) and not self._queue):
                return

    def stop(self):
        with self._changed:
            self._stopped = True
            self._changed.notify_all()


def _point_records(address, count, stride):
    """A numpy-owned copy of `count` point records `stride` bytes apart."""
    if not address or count == 0:
        return np.zeros(0, POINT_DTYPE)
    raw = np.empty(count * stride, np.uint8)
    ctypes.memmove(raw.ctypes.data, address, raw.nbytes)
    if stride == POINT_DTYPE.itemsize:
        return raw.view(POINT_DTYPE)
    return np.ndarray(count, POINT_DTYPE, raw, 0, (stride,)).copy()


def replay(path, frame_mode="natural", frame_length=0.1, speed=0.0, start=0.0, end=None, sensor=None,
           legacy=True, on_sensor=None):
    """Iterates over the frames the second library's replay makes of a
    capture (see Sdk2.replay)."""
    with Sdk2(on_sensor=on_sensor, legacy=legacy) as sdk:
        yield from sdk.replay(path, frame_mode=frame_mode, frame_length=frame_length, speed=speed, start=start,
                              end=end, sensor=sensor)


def listen(port=8808, timeout=1.0, seconds=None, frame_mode="natural", frame_length=0.1, n_frames=16, legacy=True,
           on_sensor=None):
    """Iterates over live frames on a UDP port; ends when no frame came for
    `timeout` seconds or, if given, after `seconds`."""
    with Sdk2(on_sensor=on_sensor, legacy=legacy) as sdk:
        fifo = sdk.frame_fifo(aggregation_mode(frame_mode, frame_length), n_frames)
        check(sdk._lib.VorlanStartNetworkingOnPort(port))
        book = SensorBook()
        try:
            end = None if seconds is None else time.monotonic() + seconds
            while end is None or time.monotonic() < end:
                wait = timeout if end is None else min(timeout, max(0.001, end - time.monotonic()))
                frame = fifo.get(wait)
                sdk.raise_pending()
                if frame is None:
                    return
                frame = without_carried_over(frame)
                frame.index = book.take_frame(frame.handle)[0]
                frame.whole = frame.index >= 1
                yield frame
        finally:
            sdk._lib.VorlanStopNetworking()
            fifo.close()
