"""Which of the first library's frames are whole, and when its sweep modes
get their rule.

The library starts a sensor's frame in the sweep modes as a timed one (its
first decoded data packet makes the frame) and gives it the sweep rule only
when the frame options are set again after the frame exists. They are set
again right after the data packet that made a new frame and before the next
packet is decoded: a fixed point of the packet stream, so the frames are the
same however fast the packets come, and the same as the vorlan tool's.
"""
import threading

from . import _sdk1_types as t

_POINT_DATA_TYPES = (b"STDP", b"STDQ", b"STDR", b"STDT")


class _SensorState:
    __slots__ = ("informed", "data_packets", "frame_made", "frames", "frames_at_reapply")

    def __init__(self):
        self.informed = False
        self.data_packets = 0  # point data packets since its information
        self.frame_made = False  # the library holds a frame for it
        self.frames = 0  # frames published so far
        self.frames_at_reapply = None  # frames published when its frame got the options


class FrameRule:
    def __init__(self, mode):
        self._reapply = mode in (t.FRAME_MODES["sweep"], t.FRAME_MODES["full-scan"])
        self._lock = threading.Lock()
        self._sensors = {}  # guarded by _lock
        self._pending = False  # guarded by _lock

    def informed(self, handle):
        with self._lock:
            self._sensors.setdefault(handle, _SensorState()).informed = True

    def packet(self, handle, kind):
        """Called with each datagram before the library decodes it; `kind`
        is its first four bytes."""
        with self._lock:
            sensor = self._sensors.get(handle)
            # The library decodes a data packet when the next one comes (the
            # time between them gives the points' period), so the second data
            # packet makes the frame.
            if sensor is None or not sensor.informed or kind not in _POINT_DATA_TYPES:
                return
            sensor.data_packets += 1
            if sensor.data_packets >= 2 and not sensor.frame_made:
                sensor.frame_made = True
                if self._reapply:
                    self._pending = True
                else:
                    sensor.frames_at_reapply = sensor.frames  # its rule holds from the start

    def take_pending(self):
        """Whether the options must be set again now. Setting them restarts
        the rule of every frame the library holds: the frame each of those
        sensors is building is not whole."""
        with self._lock:
            if not self._pending:
                return False
            self._pending = False
            for sensor in self._sensors.values():
                if sensor.frame_made:
                    sensor.frames_at_reapply = sensor.frames
            return True

    def frame(self, handle):
        """Counts a published frame; whether it is whole."""
        with self._lock:
            sensor = self._sensors.setdefault(handle, _SensorState())
            ordinal = sensor.frames
            sensor.frames += 1
            return sensor.frames_at_reapply is not None and ordinal >= sensor.frames_at_reapply + 1
