"""The first library from Python: capture replay, live listening, sensor
queries, calibration with a client's calibration, error and callback
handling."""
import re
import socket
import struct
import subprocess

import numpy as np
import pytest

import vorlan

SIMULATED_SERIALS = {900001, 900002, 900003, 900004}


def tool_summary(tool, capture):
    command = [tool, "replay", str(capture), "--frames", "0", "--frame-mode", "timed", "--frame-length", "0.1"]
    out = subprocess.run(command, check=True, capture_output=True, text=True, timeout=60).stdout
    match = re.search(r"frames (\d+)\s+points (\d+)", out)
    return int(match.group(1)), int(match.group(2))


def test_replay_yields_every_frame_the_tool_sees_in_metres(tool, capture):
    sensors = {}
    frames = list(vorlan.replay(capture, frame_mode="timed", frame_length=0.1,
                                on_sensor=lambda s: sensors.setdefault(s.handle, s)))
    assert (len(frames), sum(len(f) for f in frames)) == tool_summary(tool, capture)
    assert {s.serial_number for s in sensors.values()} == SIMULATED_SERIALS
    for frame in frames:
        n = len(frame)
        assert n > 0 and frame.sensor is not None and frame.sensor.handle == frame.handle
        for array in (frame.x, frame.y, frame.z, frame.intensity, frame.time, frame.channel, frame.flags):
            assert len(array) == n and array.flags.owndata
        # The metric point lies at the measured range from the sensor.
        valid = (frame.flags & 0x01) != 0
        ranges = np.sqrt(frame.x ** 2 + frame.y ** 2 + frame.z ** 2)
        np.testing.assert_allclose(ranges[valid], frame.distance[valid], rtol=1e-5, atol=1e-4)
        assert (frame.y[valid] > 0).all()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def simulate_live(tool, port):
    return subprocess.Popen([tool, "sim", "--seed", "2", "--seconds", "1", "--port", str(port)],
                            stdout=subprocess.DEVNULL)


def test_listen_receives_live_frames_and_stops_after_the_timeout(tool):
    port = free_udp_port()
    assert list(vorlan.listen(port, timeout=0.2)) == []
    seen = set()
    sender = simulate_live(tool, port)
    try:
        frames = list(vorlan.listen(port, timeout=2.0, on_sensor=lambda s: seen.add(s.serial_number)))
    finally:
        sender.wait(timeout=30)
    assert len(frames) > 4 and all(len(f) > 0 for f in frames)
    assert seen == SIMULATED_SERIALS
    # Sweep frames, counted per sensor, none lost on loopback.
    for serial in SIMULATED_SERIALS:
        places = [(f.index, f.whole, f.losses) for f in frames if f.sensor.serial_number == serial]
        assert [index for index, _, _ in places] == list(range(len(places)))
        assert not places[0][1] and all(losses >= 0 for _, _, losses in places), places


def test_a_callback_raising_on_a_library_thread_ends_the_iteration_at_once(tool):
    def on_sensor(sensor):
        raise RuntimeError("sensor %d refused" % sensor.serial_number)

    port = free_udp_port()
    sender = simulate_live(tool, port)
    try:
        with pytest.raises(RuntimeError, match="refused"):
            # Long enough that only the kept exception can end the wait.
            for _ in vorlan.listen(port, timeout=60.0, seconds=60.0, on_sensor=on_sensor):
                pass
    finally:
        sender.wait(timeout=30)


@pytest.fixture
def sensor_calibration(capture):
    """An open Sdk in the middle of a replay (the sensors of a capture go
    with it), and one sensor's handle and calibration."""
    with vorlan.Sdk() as sdk:
        frames = sdk.replay(capture)
        for frame in frames:
            if frame.sensor is not None and frame.sensor.serial_number == 900002:
                break
        handle = sdk.handle_by_serial_number(900002)
        assert handle == frame.handle
        yield sdk, handle, sdk.calibration(handle)
        frames.close()


@pytest.mark.parametrize("return_count", [1, 2])
def test_client_calibration_gives_what_the_sensor_calibration_gives(sensor_calibration, return_count):
    sdk, handle, calibration = sensor_calibration
    raw = np.zeros(64, vorlan.RAW_POINT_DTYPE)
    raw["timestamp"] = 1_000_000 + np.arange(64)
    raw["image_x"] = np.linspace(-2000, 2000, 64).astype(np.int16)
    raw["image_z"] = np.linspace(-500, 500, 64).astype(np.int16)
    raw["distance"] = np.linspace(1000, 40000, 64).astype(np.uint32)
    raw["distance_2"] = raw["distance"] + 500
    raw["intensity"] = 90
    raw["intensity_2"] = 40
    raw["segment_id"] = np.arange(64) % sdk.sensor(handle).channel_count
    raw["power_level"] = 3
    own = vorlan.calibrate(raw, handle=handle, return_count=return_count)
    client = vorlan.calibrate(raw, calibration=calibration, return_count=return_count)
    assert len(own) == 64 * return_count
    assert (own.flags & 0x01).sum() > 0, "some points must survive the clip ranges"
    for name in ("x", "y", "z", "intensity", "time", "channel", "flags"):
        np.testing.assert_array_equal(getattr(own, name), getattr(client, name), err_msg=name)


@pytest.mark.parametrize("action, code, name", [
    (lambda d: list(vorlan.replay(d / "missing.pcap")), -12, "VORLAN_ERROR_FILE_IO"),
    (lambda d: list(vorlan.replay(text_file(d))), -11, "VORLAN_ERROR_INVALID_FILE_TYPE"),
    (lambda d: calibrate_in_session(return_count=3), -8, "VORLAN_ERROR_INVALID_ARGUMENTS"),
])
def test_failures_raise_the_library_code_and_name(tmp_path, action, code, name):
    with pytest.raises(vorlan.VorlanError) as raised:
        action(tmp_path)
    assert (raised.value.code, raised.value.name) == (code, name)


def calibrate_in_session(return_count):
    with vorlan.Sdk():
        vorlan.calibrate(np.zeros(1, vorlan.RAW_POINT_DTYPE), vorlan.Calibration(), return_count=return_count)


def text_file(directory):
    path = directory / "notes.txt"
    path.write_text("not a capture\n" * 10)
    return path


def test_a_raising_callback_surfaces_on_the_caller_and_leaves_the_library_usable(capture):
    def on_sensor(sensor):
        raise KeyError("from the callback")

    with pytest.raises(KeyError, match="from the callback"):
        for _ in vorlan.replay(capture, on_sensor=on_sensor):
            pass
    assert sum(1 for _ in vorlan.replay(capture)) > 0


def capture_datagrams(path):
    """(handle, time in µs, payload) of each UDP datagram of a classic
    capture of Ethernet frames."""
    data = path.read_bytes()
    offset = 24
    while offset + 16 <= len(data):
        seconds, micros, length, _ = struct.unpack_from("<IIII", data, offset)
        frame = data[offset + 16:offset + 16 + length]
        offset += 16 + length
        header = (frame[14] & 0x0F) * 4
        source = struct.unpack_from(">I", frame, 26)[0]
        yield source, seconds * 1_000_000 + micros, frame[14 + header + 8:]


@pytest.mark.parametrize("frame_mode", ["sweep", "full-scan", "timed"])
def test_payloads_fed_by_hand_give_the_frames_a_replay_gives(capture, frame_mode):
    def counts(frames):
        return sorted((f.sensor_name, f.index, f.whole, len(f)) for f in frames)

    replayed = counts(vorlan.replay(capture, frame_mode=frame_mode))
    fed = []
    with vorlan.Sdk(frame_mode=frame_mode) as sdk:
        for handle, timestamp, payload in capture_datagrams(capture):
            sdk.receive(handle, timestamp, payload)
            fed += sdk.pending_frames()
    assert counts(fed) == replayed and len(replayed) > 8
