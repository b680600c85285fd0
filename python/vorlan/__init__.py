"""Vorlan lidar SDK for Python: both libraries through their C interfaces
(ctypes), frames as numpy arrays.

    import vorlan
    for frame in vorlan.replay("yard.pcap"):
        print(frame, frame.x.mean())

replay() and listen() take library=1 (the first library, the default) or
library=2 (the second); both yield the same kind of Frame.
"""
from ._version import __version__
from . import sdk as _sdk1
from . import sdk2 as _sdk2
from .errors import CaptureLossWarning, VorlanError
from .frame import Frame, Sensor
from .sdk import Sdk, calibrate
from .sdk2 import FrameFifo, Sdk2
from ._sdk1_types import RAW_POINT_DTYPE, Calibration, LaserCalibration

__all__ = ["__version__", "VorlanError", "CaptureLossWarning", "Frame", "Sensor", "Sdk", "Sdk2", "FrameFifo",
           "calibrate", "replay", "listen",
           "RAW_POINT_DTYPE", "Calibration", "LaserCalibration"]


def _module(library):
    if library not in (1, 2) or isinstance(library, bool):
        raise ValueError("library must be 1 (vorlan_sdk) or 2 (vorlan_sdk2), not %r" % (library,))
    return _sdk1 if library == 1 else _sdk2


def replay(path, library=1, **options):
    """Iterates over the frames of a capture file, as fast as possible unless
    speed= is given, with the frames the vorlan tool gives: sweep frames with
    the first library, natural frames with the second (whose legacy
    translation also shows first-generation sensors; legacy=False turns it
    off). Also: frame_mode=, frame_length=, start=, end= (seconds into the
    capture), sensor= (a dotted address or a serial number), on_sensor=.
    What reading the capture left out is told when it ends, as a
    CaptureLossWarning; a capture without sensor datagrams raises VorlanError."""
    return _module(library).replay(path, **options)


def listen(port=8808, timeout=1.0, seconds=None, library=1, **options):
    """Iterates over live frames on a UDP port until none came for `timeout`
    seconds (or `seconds` have passed)."""
    return _module(library).listen(port, timeout, seconds, **options)
