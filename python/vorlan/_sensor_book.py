"""What a replay or a listen keeps about each sensor besides the library:
the sensor filter, each sensor's frame count and the losses reported since
its previous frame. Called from library threads and the caller's thread."""
import threading

from .frame import dotted_address


def sensor_matches(wanted, handle, serial_number):
    """Whether `wanted` (None, a dotted address, or a serial number as int or
    text) names the sensor."""
    if wanted is None or wanted == "":
        return True
    wanted = str(wanted)
    return wanted == dotted_address(handle) or (bool(serial_number) and wanted == str(serial_number))


class SensorBook:
    def __init__(self, wanted=None, counts_losses=False):
        self._wanted = wanted
        self._counts_losses = counts_losses
        self._lock = threading.Lock()
        self._serials = {}   # handle -> serial number; guarded by _lock
        self._frames = {}    # handle -> frames published so far; guarded by _lock
        self._losses = {}    # handle -> datagrams lost since its last frame; guarded by _lock
        self._matched = False

    def inform(self, handle, serial_number):
        with self._lock:
            self._serials[handle] = serial_number
            self._matched = self._matched or sensor_matches(self._wanted, handle, serial_number)

    def serial_number(self, handle):
        with self._lock:
            return self._serials.get(handle)

    @property
    def filter_matched(self):
        """Whether a sensor heard so far matched the filter."""
        with self._lock:
            return self._matched

    def lost(self, count):
        """Datagrams the library lost without telling whose: every sensor's
        next frame reports them."""
        with self._lock:
            for handle in set(self._frames) | set(self._serials):
                self._losses[handle] = self._losses.get(handle, 0) + count

    def take_frame(self, handle):
        """Counts a published frame of `handle`. Returns its place among the
        sensor's frames, whether the filter lets it through, and the losses
        since the sensor's previous frame (None when none are counted)."""
        with self._lock:
            ordinal = self._frames.get(handle, 0)
            self._frames[handle] = ordinal + 1
            losses = self._losses.pop(handle, 0) if self._counts_losses else None
            return ordinal, sensor_matches(self._wanted, handle, self._serials.get(handle)), losses
