"""The first library: replay a capture or listen on a port, look sensors up,
calibrate raw points.

The library is one per process: at most one Sdk is open at a time.
"""
import collections
import ctypes
import threading
import time

import numpy as np

from . import _library, _sdk1_types as t
from ._capture_file import no_sensor_datagram, open_failure, read_counts, warn_losses, zero_byte_record
from ._pace import Pacer, checked_span, checked_speed
from ._sdk1_frame_rule import FrameRule
from ._sensor_book import SensorBook
from ._session import Session
from .errors import MEANINGS, CallbackErrors, VorlanError
from .frame import IMAGE_POINT_DTYPE, Sensor, frame_from_image_points

# The frame modes a caller may name; the library's by-model mode has no
# rule of its own.
FRAME_MODES = ("streaming", "timed", "sweep", "full-scan")
DEFAULT_FRAME_MODE = "sweep"

_lib = None
_open_lock = threading.Lock()


def library():
    """The bound first library (loaded on first use)."""
    global _lib
    if _lib is None:
        _lib = t.bind(_library.load("vorlan_sdk"))
    return _lib


def _last_error_text():
    """The calling thread's last error text, its first line without the
    "AssertionError: " the library's checks put before it."""
    message = ctypes.c_char_p()
    library().vorlan_sdk_get_error(ctypes.byref(message))
    text = (message.value or b"").decode("utf-8", "replace").strip().split("\n")[0]
    return text[len("AssertionError: "):] if text.startswith("AssertionError: ") else text


def error(code, sentence=None):
    """A VorlanError for `code`: its name and `sentence`, or the library's
    own text for the calling thread's last call."""
    name = (library().vorlan_get_error_code_name(code) or b"").decode()
    text = sentence or _last_error_text() or MEANINGS.get(int(code), "the library refused")
    return VorlanError(code, name, text)


def check(code, sentence=None):
    """Raises VorlanError for a negative code."""
    if code >= 0:
        return code
    raise error(code, sentence)


def frame_mode_number(frame_mode):
    if isinstance(frame_mode, int) and not isinstance(frame_mode, bool):
        # The library's own numbers, as earlier releases of this package took them.
        frame_mode = {t.FRAME_MODES[name]: name for name in FRAME_MODES}.get(frame_mode, frame_mode)
    if frame_mode == "natural":
        raise ValueError("natural frames are cut by the second library: pass library=2")
    if frame_mode not in FRAME_MODES:
        raise ValueError("frame_mode must be one of %s, not %r" % (", ".join(FRAME_MODES), frame_mode))
    return t.FRAME_MODES[frame_mode]


def version():
    return library().vorlan_sdk_get_version_string().decode()


def sensor_from_information(info):
    # The text the sensor reports; the numbers when it reports none.
    firmware = info.firmware_version.decode("utf-8", "replace") or "%d.%d.%d" % (
        info.firmware_major, info.firmware_minor, info.firmware_build)
    temperature = float(info.last_reported_temperature)
    return Sensor(handle=int(info.handle), serial_number=int(info.serial_number), model=int(info.model),
                  model_name=info.model_name.decode("utf-8", "replace"), firmware=firmware,
                  return_count=int(info.return_count), channel_count=int(info.segment_count), flags=int(info.flags),
                  temperature=temperature, library=1)


def _image_points(address, count):
    """A numpy-owned copy of `count` image points at `address`."""
    points = np.empty(count if address else 0, IMAGE_POINT_DTYPE)
    # One block copy: numpy copies structured records field by field.
    ctypes.memmove(points.ctypes.data, address, points.nbytes)
    return points


class Sdk(Session):
    """An initialised first library. Frames are queued as the library
    publishes them and taken with next_frame() or by iterating.

    frame_mode is "sweep" (a frame per scan sweep, the default, as the
    vorlan tool cuts them), "full-scan", "timed" (every `frame_length`
    seconds) or "streaming" (every data packet).

    on_sensor(Sensor) and on_serial_line(handle, str), when given, run on the
    thread that delivers the data (a library thread for live traffic); an
    exception they raise is kept and raised by the next call that takes
    frames."""

    def __init__(self, network=False, port=8808, frame_mode=DEFAULT_FRAME_MODE, frame_length=0.1,
                 multiple_returns=False, on_sensor=None, on_serial_line=None):
        self._lib = library()
        self._mode = frame_mode_number(frame_mode)
        self._frame_length = float(frame_length)
        self._network = network
        self._frames = collections.deque()
        self._ready = threading.Condition()
        self._errors = CallbackErrors(wake=self._wake)
        self._sensors = {}
        self._rule = FrameRule(self._mode)
        self._book = SensorBook(counts_losses=True)
        self._shown = True
        self._last_packet_time = 0
        self._replay_open = False
        self._holdings = ""  # what the library said a capture without sensor datagrams holds
        self._zero_byte_record = False  # the capture's index ends before a record of zero bytes
        self._on_sensor = on_sensor
        self._on_serial_line = on_serial_line
        self._open = False
        Session.__init__(self, _open_lock, "Sdk")
        try:
            self._start(network, port, multiple_returns)
        except BaseException:
            self.close()
            raise

    def _start(self, network, port, multiple_returns):
        options = self._lib.vorlan_sdk_create_options()
        # Started without the network so that the callbacks are in place
        # before the first datagram arrives.
        options.control_flags = t.CONTROL_DISABLE_NETWORK | (t.CONTROL_ENABLE_MULTIPLE_RETURNS if multiple_returns
                                                             else 0)
        options.port = port
        options.frame.mode = self._mode
        options.frame.length = self._frame_length
        # The callback objects must outlive the registration: kept on self.
        self._error_cb = t.ERROR_CALLBACK(self._errors.guard(self._on_error))
        self._frames_cb = t.IMAGE_FRAMES_CALLBACK(self._errors.guard(self._on_image_frame))
        self._info_cb = t.INFORMATION_CALLBACK(self._errors.guard(self._on_information))
        self._serial_cb = t.SERIAL_CALLBACK(self._errors.guard(self._on_serial))
        self._packet_cb = t.NETWORK_PACKET_CALLBACK(self._errors.guard(self._on_packet))
        check(self._lib.vorlan_sdk_initialize(t.INTERFACE_VERSION, ctypes.byref(options), self._error_cb, None))
        self._open = True
        check(self._lib.vorlan_sdk_listen_image_frames(self._frames_cb, None))
        check(self._lib.vorlan_sdk_listen_info_packets(self._info_cb, None))
        check(self._lib.vorlan_sdk_listen_network_packet(self._packet_cb, None))
        if self._on_serial_line is not None:
            check(self._lib.vorlan_sdk_listen_serial_lines(self._serial_cb, None))
        if network:
            check(self._lib.vorlan_sdk_set_control_flags(t.CONTROL_DISABLE_NETWORK, 0))

    # -- callbacks, on the delivering thread: copy and queue, nothing more --

    def _on_image_frame(self, handle, count, points, _user):
        whole = self._rule.frame(handle)
        index, wanted, losses = self._book.take_frame(handle)
        if not (self._shown and wanted):
            return
        copied = _image_points(points, count)
        with self._ready:
            self._frames.append((handle, copied, index, whole, losses))
            self._ready.notify()

    def _on_information(self, handle, info, _user):
        sensor = sensor_from_information(info.contents)
        # An information packet that decoded to nothing (cut short, or a
        # first half waiting for its second) names no sensor.
        if info.contents.firmware_version:
            self._rule.informed(handle)
            self._book.inform(handle, sensor.serial_number)
        self._sensors[handle] = sensor
        if self._on_sensor is not None:
            self._on_sensor(sensor)

    def _on_packet(self, handle, timestamp, data, size, _user):
        self._last_packet_time = timestamp
        # Live traffic has no thread of ours between two packets: the frame
        # options go in here, before this packet is decoded.
        if self._network:
            self._apply_pending_frame_options()
        self._rule.packet(handle, ctypes.string_at(data, min(size, 4)) if data else b"")

    def _on_error(self, handle, code, message, data, size, _user):
        # Datagrams lost on the way in come as a communication error of no
        # sensor with their count at byte 8 of the record.
        if handle == 0 and code == t.ERROR_COMMUNICATION and data and size >= 16:
            self._book.lost(int.from_bytes(ctypes.string_at(data, 16)[8:16], "little"))
        # What a capture without sensor traffic holds, in the library's words;
        # replay() raises with them when the capture has ended.
        text = (message or b"").decode("utf-8", "replace").split("\n")[0]
        if handle == 0 and code == t.ERROR_INVALID_FILE_TYPE and ": no sensor datagram in the capture: " in text:
            self._holdings = text
        # A record of zero bytes past what the open indexed: the frames go
        # on past it, the capture's index (length, seeking) ends before it.
        if handle == 0 and code == t.ERROR_CORRUPT_FILE and "Empty packet!" in text:
            self._zero_byte_record = True

    def _apply_pending_frame_options(self):
        if self._rule.take_pending():
            options = self._lib.vorlan_sdk_create_frame_options()
            options.mode = self._mode
            options.length = self._frame_length
            check(self._lib.vorlan_sdk_set_frame_options(ctypes.byref(options)))

    def _wake(self):
        with self._ready:
            self._ready.notify_all()

    def _on_serial(self, handle, line, _user):
        self._on_serial_line(handle, line.decode("ascii", "replace"))

    # -- lifecycle --

    def close(self):
        try:
            self._close_replay()
            if self._open:
                self._open = False
                check(self._lib.vorlan_sdk_deinitialize())
        finally:
            self._release()

    # -- frames --

    def _frame(self, entry):
        handle, points, index, whole, losses = entry
        frame = frame_from_image_points(handle, points, self._sensors.get(handle))
        frame.index, frame.whole, frame.losses = index, whole, losses
        frame.serial_number = self._book.serial_number(handle)
        return frame

    def pending_frames(self):
        """Every frame queued so far, oldest first."""
        self._errors.raise_pending()
        with self._ready:
            entries, self._frames = list(self._frames), collections.deque()
        return [self._frame(entry) for entry in entries]

    def next_frame(self, timeout=None):
        """The oldest queued frame, waiting up to `timeout` seconds (None:
        without limit); None when none came in time."""
        with self._ready:
            self._ready.wait_for(lambda: self._frames or self._errors.pending, timeout)
            entry = self._frames.popleft() if self._frames else None
        self._errors.raise_pending()
        return None if entry is None else self._frame(entry)

    # -- sensors --

    def sensors(self):
        """Every sensor the library knows; after a replay ended, the sensors
        it heard, until the next replay or close()."""
        info = t.SensorInformation()
        found = []
        for index in range(self._lib.vorlan_sdk_get_n_sensors()):
            check(self._lib.vorlan_sdk_get_sensor_information_by_index(index, ctypes.byref(info)))
            found.append(sensor_from_information(info))
        return found

    def sensor(self, handle):
        info = t.SensorInformation()
        check(self._lib.vorlan_sdk_get_sensor_information(handle, ctypes.byref(info)))
        return sensor_from_information(info)

    def handle_by_serial_number(self, serial_number):
        handle = ctypes.c_uint64()
        check(self._lib.vorlan_sdk_get_sensor_handle_by_serial_number(serial_number, ctypes.byref(handle)))
        return handle.value

    def calibration(self, handle):
        calibration = t.Calibration()
        check(self._lib.vorlan_sdk_get_calibration(handle, ctypes.byref(calibration)))
        return calibration

    def receive(self, handle, timestamp, payload):
        """Decodes one payload on this thread as if it came from `handle`
        (only while the network is off)."""
        buffer = bytes(payload)
        # The library shows these payloads to no packet callback: the frame
        # rule hears of them here, as it does of replayed ones.
        self._rule.packet(handle, buffer[:4])
        check(self._lib.vorlan_sdk_mock_network_receive(handle, timestamp, buffer, len(buffer)))
        self._apply_pending_frame_options()
        self._errors.raise_pending()

    # -- capture replay, on this thread --

    def replay(self, path, speed=0.0, start=0.0, end=None, sensor=None):
        """Yields the frames of a capture, fed one packet at a time on this
        thread: as fast as possible (speed 0) or at `speed` times the
        recorded rate. Frames are shown from `start` seconds into the
        capture; the replay stops after `end` seconds; `sensor` (a dotted
        address or a serial number) keeps one sensor's frames.

        The capture stays open when the replay ends, so that sensors(),
        calibration() and the other lookups still answer about its sensors;
        the next replay or close() closes it."""
        pacer = Pacer(checked_speed(speed))
        start, end = checked_span(start, end)
        path = str(path)
        self._close_replay()
        self._holdings = ""
        self._zero_byte_record = False
        code = self._lib.vorlan_sdk_capture_replay_open(path.encode())
        if code < 0:
            raise error(code, open_failure(path, code, 1, _last_error_text()))
        self._replay_open = True
        self._rule = FrameRule(self._mode)
        self._book = SensorBook(wanted=sensor, counts_losses=True)
        self._shown = start <= 0.0
        while True:
            code = self._lib.vorlan_sdk_capture_replay_resume_blocking_once()
            if code == t.ERROR_EOF:
                break
            if code < 0:
                # What was read before stays delivered: a capture cut short
                # is still worth looking at.
                yield from self.pending_frames()
                failure = error(code, "%s: replay stopped at %.3f s: %s" % (
                    path, self._lib.vorlan_sdk_capture_replay_get_position(), _last_error_text()))
                warn_losses(path, self._reading_counts(), cut_end=True)
                raise failure
            self._apply_pending_frame_options()
            position = self._lib.vorlan_sdk_capture_replay_get_position()
            if end is not None and position > end:
                yield from self.pending_frames()
                warn_losses(path, self._reading_counts())
                return
            if position >= start:
                self._shown = True
            pacer.wait_for(self._last_packet_time)
            if self._frames or self._errors.pending:
                yield from self.pending_frames()
        yield from self.pending_frames()
        counts = self._reading_counts()
        if counts["sensor_datagrams"] == 0:
            raise no_sensor_datagram(path, counts, self._holdings)
        warn_losses(path, counts, note=zero_byte_record(
            path, 1, "index (its length and seeking end there; the frames go on)") if self._zero_byte_record else "")

    def _reading_counts(self):
        """What reading the open capture met, by name."""
        return read_counts(self._lib.vorlan_sdk_capture_replay_get_count)

    def _close_replay(self):
        if self._replay_open:
            self._replay_open = False
            self._lib.vorlan_sdk_capture_replay_close()


def calibrate(raw_points, calibration=None, handle=None, return_count=1, sdk=None):
    """Calibrates raw points (a structured array of RAW_POINT_DTYPE) with a
    client-supplied Calibration, or with the calibration of sensor `handle`
    of an open Sdk (the library must be open either way). Returns a Frame of len(raw_points) * return_count points,
    the image points (and their metric positions) in library order."""
    lib = library()
    raw = np.ascontiguousarray(raw_points, dtype=t.RAW_POINT_DTYPE)
    out = np.zeros(len(raw) * max(int(return_count), 0), IMAGE_POINT_DTYPE)
    if calibration is not None:
        check(lib.vorlan_sdk_calibrate_points_with_calibration(
            ctypes.byref(calibration), len(raw), raw.ctypes.data, return_count, out.ctypes.data))
    else:
        check(lib.vorlan_sdk_calibrate_points(handle or 0, len(raw), raw.ctypes.data, return_count,
                                              out.ctypes.data))
    return frame_from_image_points(handle or 0, out)


def replay(path, frame_mode=DEFAULT_FRAME_MODE, frame_length=0.1, speed=0.0, start=0.0, end=None, sensor=None,
           multiple_returns=False, on_sensor=None):
    """Iterates over the frames of a capture file: `for frame in replay(p)`."""
    with Sdk(frame_mode=frame_mode, frame_length=frame_length, multiple_returns=multiple_returns,
             on_sensor=on_sensor) as sdk:
        yield from sdk.replay(path, speed=speed, start=start, end=end, sensor=sensor)


def listen(port=8808, timeout=1.0, seconds=None, frame_mode=DEFAULT_FRAME_MODE, frame_length=0.1,
           multiple_returns=False, on_sensor=None):
    """Iterates over live frames on a UDP port; ends when no frame came for
    `timeout` seconds or, if given, after `seconds`."""
    with Sdk(network=True, port=port, frame_mode=frame_mode, frame_length=frame_length,
             multiple_returns=multiple_returns, on_sensor=on_sensor) as sdk:
        end = None if seconds is None else time.monotonic() + seconds
        while True:
            wait = timeout if end is None else min(timeout, max(0.0, end - time.monotonic()))
            frame = sdk.next_frame(wait)
            if frame is None or (end is not None and time.monotonic() >= end):
                if frame is not None:
                    yield frame
                return
            yield frame
