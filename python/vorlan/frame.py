"""Frames and sensors as Python sees them, whichever library produced them.

A Frame holds numpy arrays owned by numpy (copies of what the library handed
over), one element per point:
  x, y, z     float32 metres in the sensor's frame (y along the sensor's axis,
              x to the right, z up)
  intensity   float32: the first library's calibrated intensity, or the second
              library's reflectivity in percent
  time        int64 microseconds (Unix epoch for live data)
  channel     uint8 segment (first library) or channel (second library)
  flags       uint8 point flags of the library that produced the frame
  valid       bool, the points that carry a measurement (from the flags)
"""
import dataclasses

import numpy as np

# The first library's calibrated image point, 32 bytes.
IMAGE_POINT_DTYPE = np.dtype([
    ("timestamp", "<i8"), ("image_x", "<f4"), ("distance", "<f4"), ("image_z", "<f4"),
    ("intensity", "<f4"), ("return_type", "u1"), ("flags", "u1"), ("segment_id", "u1"),
    ("padding", "u1", (5,)),
])
assert IMAGE_POINT_DTYPE.itemsize == 32

# The second library's point record, 10 bytes, packed.
POINT_DTYPE = np.dtype([
    ("x", "<i2"), ("y", "<i2"), ("z", "<i2"), ("reflectivity", "u1"),
    ("relative_timestamp", "u1"), ("channel_id", "u1"), ("flags", "u1"),
])
assert POINT_DTYPE.itemsize == 10

# Second-library coordinates count 5 mm steps.
COORDINATE_UNIT = 0.005

# Reflectivity bytes 0-127 are percent; 127 + i stands for
# 127 * (5000/127)^(i/128) percent, so 255 is 5000 %.
REFLECTIVITY_PERCENT = np.concatenate([
    np.arange(128, dtype=np.float64),
    127.0 * (5000.0 / 127.0) ** (np.arange(1, 129, dtype=np.float64) / 128.0),
]).astype(np.float32)


@dataclasses.dataclass(frozen=True)
class Sensor:
    """What a sensor says about itself, from either library."""
    handle: int
    serial_number: int
    model: int
    model_name: str
    firmware: str
    return_count: int
    channel_count: int
    flags: int
    temperature: float  # degrees Celsius, nan when not reported
    library: int        # 1 or 2

    @property
    def name(self):
        """"192.168.1.201 serial 900001", as the vorlan tool names it."""
        return sensor_name(self.handle, self.serial_number)


def dotted_address(handle):
    """The sensor's IPv4 address: the low 32 bits of its handle, first octet
    most significant (replay marks its handles in bit 32)."""
    address = int(handle) & 0xFFFFFFFF
    return "%d.%d.%d.%d" % (address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF)


def sensor_name(handle, serial_number=None):
    """The address and, once the sensor has told it, the serial number."""
    address = dotted_address(handle)
    return address if not serial_number else "%s serial %d" % (address, serial_number)


@dataclasses.dataclass(repr=False, eq=False)
class Frame:
    """One frame of one sensor. Besides the point arrays it says where it
    stands: `index` among its sensor's frames (from 0), whether it is
    `whole` (cut at both ends by the frame rule; the first frame of a sensor
    starts wherever its traffic starts) and `losses`, the datagrams the
    library reported lost since the previous frame of this sensor (None
    where the library reports no losses; the first library does not say
    whose datagrams it lost, so every sensor's next frame counts them)."""
    handle: int
    timestamp: int      # microseconds, what the frame's times count from
    x: np.ndarray
    y: np.ndarray
    z: np.ndarray
    intensity: np.ndarray
    time: np.ndarray
    channel: np.ndarray
    flags: np.ndarray
    sensor: Sensor = None
    library: int = 1    # which library made the frame: what its flags mean
    # The first library also gives each point's range and return type.
    distance: np.ndarray = None
    return_type: np.ndarray = None
    index: int = 0
    whole: bool = False
    losses: int = None
    # The serial number, when the sensor told it but no Sensor came with it.
    serial_number: int = None

    def __len__(self):
        return len(self.x)

    def __repr__(self):
        span = (self.last_time - self.first_time) * 1e-6
        losses = ", %d datagrams lost before it" % self.losses if self.losses else ""
        return ("<Frame %d of %s%s: %s, %d points, %d valid, from %d us over %.3f s%s>"
                % (self.index, self.sensor_name, " (%s)" % self.model_name if self.model_name else "",
                   "whole" if self.whole else "partial", len(self), self.valid_points, self.first_time, span,
                   losses))

    @property
    def sensor_name(self):
        """"192.168.1.201 serial 900001", or the address alone while the
        sensor has not told its serial number."""
        serial = self.sensor.serial_number if self.sensor is not None else self.serial_number
        return sensor_name(self.handle, serial)

    @property
    def model_name(self):
        """The sensor's model, such as "TQ50-S"; empty while unknown."""
        return self.sensor.model_name if self.sensor is not None else ""

    @property
    def first_time(self):
        """The earliest point time in microseconds (the frame's timestamp
        when it has no points)."""
        return int(self.time.min()) if len(self.time) else int(self.timestamp)

    @property
    def last_time(self):
        return int(self.time.max()) if len(self.time) else int(self.timestamp)

    @property
    def valid(self):
        """The points with a measurement: the first library's valid flag, or
        the second library's points without its no-return flag."""
        if self.library == 1:
            return (self.flags & 0x01) != 0
        return (self.flags & 0x20) == 0

    @property
    def valid_points(self):
        return int(np.count_nonzero(self.valid))

    @property
    def reflectivity(self):
        return self.intensity

    def xyz(self):
        """An (n, 3) float32 array of the points in metres."""
        return np.stack([self.x, self.y, self.z], axis=1)


def image_points_to_metres(image_x, image_z, distance):
    """A calibrated image point (u, w) at range r lies on the ray (-u, 1, -w)
    at distance r from the sensor: y = r / sqrt(u^2 + w^2 + 1), x = -u y,
    z = -w y. In float32 throughout: the inputs are float32 already, and
    the result differs from a float64 computation by a few units in the last
    place at most."""
    u = np.asarray(image_x, np.float32)
    w = np.asarray(image_z, np.float32)
    y = np.asarray(distance, np.float32) / np.sqrt(u * u + w * w + np.float32(1.0))
    x = u * y
    np.negative(x, out=x)
    z = w * y
    np.negative(z, out=z)
    return x, y, z


def frame_from_image_points(handle, points, sensor=None):
    """A Frame from a structured array of IMAGE_POINT_DTYPE that numpy owns."""
    x, y, z = image_points_to_metres(points["image_x"], points["image_z"], points["distance"])
    time = points["timestamp"].copy()
    return Frame(handle=handle, timestamp=int(time[0]) if len(time) else 0, x=x, y=y, z=z,
                 intensity=points["intensity"].copy(), time=time, channel=points["segment_id"].copy(),
                 flags=points["flags"].copy(), sensor=sensor, distance=points["distance"].copy(),
                 return_type=points["return_type"].copy())


def frame_from_point_arrays(handle, timestamp, x, y, z, reflectivity, time, channel, flags, sensor=None):
    """A Frame from the second library's arrays (coordinates in 5 mm steps,
    reflectivity bytes); the arrays are kept or copied as numpy sees fit."""
    return Frame(handle=handle, timestamp=int(timestamp),
                 x=x.astype(np.float32) * np.float32(COORDINATE_UNIT),
                 y=y.astype(np.float32) * np.float32(COORDINATE_UNIT),
                 z=z.astype(np.float32) * np.float32(COORDINATE_UNIT),
                 intensity=REFLECTIVITY_PERCENT[reflectivity], time=time, channel=channel, flags=flags,
                 sensor=sensor, library=2)


# The second library's point flag for a point a natural frame repeats from
# the frame before it.
CARRIED_OVER = 0x08


def without_carried_over(frame):
    """The frame without the points it repeats from the one before, so that
    frames handed out one after another hold every point once (as the first
    library's and the tool's do). The library's own frames, as its frame
    FIFO gives them, keep them."""
    keep = (frame.flags & CARRIED_OVER) == 0
    if keep.all():
        return frame
    columns = ("x", "y", "z", "intensity", "time", "channel", "flags")
    return dataclasses.replace(frame, **{name: getattr(frame, name)[keep] for name in columns})


def frame_from_points(handle, timestamp, points, sensor=None):
    """A Frame from a structured array of POINT_DTYPE (a frame or batch whose
    first relative time counts from `timestamp`)."""
    time = int(timestamp) + np.cumsum(points["relative_timestamp"], dtype=np.int64)
    return frame_from_point_arrays(handle, timestamp, points["x"], points["y"], points["z"],
                                   points["reflectivity"], time, points["channel_id"].copy(),
                                   points["flags"].copy(), sensor)
