"""The second library from Python: payloads in through VorlanReceiveData,
frames out of the frame FIFO into numpy, errors and parsers."""
import gc
import socket
import subprocess
import struct

import numpy as np
import pytest

import vorlan
from vorlan.frame import POINT_DTYPE

HANDLE = 0xC0A80164
PARITY = 0x04
CARRIED_OVER = 0x08


def stdv_packet(timestamp, points):
    """A point payload of a second-generation sensor: "STDV", header length
    24 at offset 5, timestamp at 8, stride at 17, point count at 18."""
    header = bytearray(24)
    header[0:4] = b"STDV"
    header[5] = 24
    struct.pack_into("<q", header, 8, timestamp)
    header[17] = POINT_DTYPE.itemsize
    struct.pack_into("<H", header, 18, len(points))
    return bytes(header) + points.tobytes()


def sensor_points(n, half):
    """n points whose frame parity flips every `half` points."""
    points = np.zeros(n, POINT_DTYPE)
    index = np.arange(n)
    points["x"] = index - 150
    points["y"] = 2000 + index
    points["z"] = -index
    points["reflectivity"] = np.array([0, 50, 127, 128, 255])[index % 5]
    points["relative_timestamp"] = 1 + index % 7
    points["channel_id"] = index % 48
    points["flags"] = np.where((index // half) % 2 == 1, PARITY, 0) | (index % 2)
    return points


@pytest.fixture
def sdk():
    with vorlan.Sdk2() as opened:
        yield opened


def test_fifo_frames_carry_every_point_in_metres_with_absolute_times(sdk):
    fifo = sdk.frame_fifo(n_frames=4)
    points = sensor_points(300, 100)
    start = 1_700_000_000_000_000
    sdk.receive(HANDLE, start, stdv_packet(start, points))
    first, second = fifo.get(1.0), fifo.get(1.0)
    assert fifo.get(0.01) is None  # the third frame is still open
    times = start + np.cumsum(points["relative_timestamp"], dtype=np.int64)
    sent = points[:100]
    assert (first.handle, first.timestamp, len(first)) == (HANDLE, start, 100)
    np.testing.assert_allclose(first.x, sent["x"] * 0.005, rtol=1e-6)
    np.testing.assert_allclose(first.y, sent["y"] * 0.005, rtol=1e-6)
    np.testing.assert_allclose(first.z, sent["z"] * 0.005, rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(first.intensity, np.array([0, 50, 127, 130.7, 5000])[np.arange(100) % 5], atol=0.05)
    np.testing.assert_array_equal(first.time, times[:100])
    np.testing.assert_array_equal(first.channel, sent["channel_id"])
    np.testing.assert_array_equal(first.flags, sent["flags"])
    assert first.library == 2 and first.valid.all()
    # A natural frame begins with the previous frame's points, marked.
    assert len(second) == 200
    np.testing.assert_array_equal(second.flags[:100], sent["flags"] | CARRIED_OVER)
    np.testing.assert_array_equal(second.time, times[:200])
    np.testing.assert_allclose(second.y[100:], points["y"][100:200] * 0.005, rtol=1e-6)


def test_frames_larger_than_the_first_arrays_are_read_whole(sdk):
    fifo = sdk.frame_fifo(n_frames=2)
    points = sensor_points(12000, 6000)
    for k in range(0, 12000, 500):
        sdk.receive(HANDLE, 1000 + k, stdv_packet(1000 + k, points[k:k + 500]))
    sdk.receive(HANDLE, 99000, stdv_packet(99000, sensor_points(1, 1)))
    frame = fifo.get(1.0)
    assert len(frame) == 6000
    np.testing.assert_allclose(frame.x, points["x"][:6000] * 0.005, rtol=1e-6)


def test_failures_raise_the_library_code_and_name(sdk):
    sdk.frame_fifo()
    with pytest.raises(vorlan.VorlanError) as raised:
        sdk.frame_fifo()
    assert (raised.value.code, raised.value.name) == (-18, "VORLAN_ERROR_INVALID_STATE")
    with pytest.raises(vorlan.VorlanError) as raised:
        sdk.sensor(0x7F000001)
    assert raised.value.code == -4


def test_a_raising_parser_passes_the_payload_on_and_raises_on_the_caller(sdk):
    fifo = sdk.frame_fifo()
    taken = []

    def parser(handle, timestamp, payload):
        taken.append(payload[:4])
        raise ValueError("parser failed")

    sdk.add_parser(parser)
    with pytest.raises(ValueError, match="parser failed"):
        sdk.receive(HANDLE, 5000, stdv_packet(5000, sensor_points(20, 10)))
    assert taken == [b"STDV"]
    assert len(fifo.get(1.0)) == 10  # the built-in parser still had the points


def infz_packet(serial_number, model, name, firmware, sync_source):
    """A sensor's information payload, short layout: "INFZ", layout 76 at 4,
    model at 8, serial at 12, firmware at 16, name at 20, time block at 52,
    time source at 72 (1 precision time protocol, 2 GPS)."""
    packet = bytearray(76)
    packet[0:4] = b"INFZ"
    struct.pack_into("<IHxxI4s28s", packet, 4, 76, model, serial_number, bytes(firmware), name.encode())
    struct.pack_into("<q", packet, 52, 1_700_000_000_123_456)
    packet[72] = sync_source
    return bytes(packet)


def test_sensor_information_reaches_lookups_callbacks_and_frames():
    told = []
    with vorlan.Sdk2(on_sensor=told.append) as sdk:
        fifo = sdk.frame_fifo()
        sdk.receive(HANDLE, 10, infz_packet(4242, 22, "VX-64", [2, 1, 7, 0], 2))
        sdk.receive(HANDLE, 20, stdv_packet(20, sensor_points(40, 20)))
        frame = fifo.get(1.0)
        listed = sdk.sensors()
        looked_up = sdk.sensor(HANDLE)
    expected = vorlan.Sensor(handle=HANDLE, serial_number=4242, model=22, model_name="VX-64", firmware="2.1.7.0",
                             return_count=0, channel_count=64, flags=0x6, temperature=np.nan, library=2)
    for sensor in (told[0], listed[0], looked_up, frame.sensor):
        assert sensor.temperature != sensor.temperature  # not reported: nan
        assert dataclass_without_temperature(sensor) == dataclass_without_temperature(expected)
    assert len(listed) == 1


def dataclass_without_temperature(sensor):
    fields = dict(vars(sensor))
    del fields["temperature"]
    return fields


def test_a_closed_session_leaves_no_parser_or_partial_frame_behind(capture):
    # The library keeps client parsers across a restart: one left behind
    # would be called after its callback object was freed.
    seen = []
    with vorlan.Sdk2(legacy=False) as sdk:
        sdk.add_parser(lambda handle, timestamp, payload: seen.append(payload[:4]) and False)
        frames = sdk.replay(capture)
        next(frames)  # abandoned with frames half-built
    gc.collect()
    calls = len(seen)
    first_pass = [(f.sensor_name, len(f)) for f in vorlan.replay(capture, library=2, legacy=False)]
    second_pass = [(f.sensor_name, len(f)) for f in vorlan.replay(capture, library=2, legacy=False)]
    assert len(seen) == calls
    assert first_pass == second_pass and len(first_pass) > 4


def test_live_frames_of_both_generations_through_translation(tool):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    sender = subprocess.Popen([tool, "sim", "--seed", "2", "--seconds", "1", "--port", str(port)],
                              stdout=subprocess.DEVNULL)
    try:
        frames = list(vorlan.listen(port, timeout=2.0, seconds=30.0, library=2))
    finally:
        sender.wait(timeout=30)
    serials = {f.sensor.serial_number for f in frames if f.sensor is not None}
    assert {900001, 910001} <= serials, serials
    for serial in serials:
        indexes = [f.index for f in frames if f.sensor is not None and f.sensor.serial_number == serial]
        assert indexes == list(range(indexes[0], indexes[0] + len(indexes)))
