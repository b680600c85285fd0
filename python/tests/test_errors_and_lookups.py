"""What a person is told when a replay cannot go on, what the package
refuses, and what it answers once a replay has ended."""
import gc
import os
import re
import struct

import pytest

import vorlan

CLASSIC_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)


def write(directory, name, data):
    path = directory / name
    path.write_bytes(data)
    return path


# (what the file is, its bytes (None: no file), the code of each library,
# words the sentence must hold)
CASES = [
    ("missing", None, (-12, -12), "no such file"),
    ("a directory", "dir", (-12, -12), "is a directory"),
    ("text", b"not a capture\n" * 10, (-11, -12),
     "not a capture file (a PCAP or pcapng capture is expected)"),
    ("too short", b"\xd4\xc3", (-12, -12), "not a capture file"),
    # Every form the libraries read, without a packet: told as such, never as
    # something that is not a capture.
    ("pcapng without packets", struct.pack("<IIIHHqI", 0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0, -1, 28)
     + struct.pack("<IIHHII", 1, 20, 1, 0, 65535, 20), (-8, -12), "holds no packets"),
    ("nanosecond without packets", struct.pack("<I", 0xA1B23C4D) + CLASSIC_HEADER[4:], (-8, -12),
     "holds no packets"),
    ("big-endian without packets", struct.pack(">IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1), (-8, -12),
     "holds no packets"),
]


@pytest.mark.parametrize("library", [1, 2])
@pytest.mark.parametrize("what, data, codes, sentence", CASES, ids=[case[0] for case in CASES])
def test_a_capture_that_cannot_be_replayed_is_said_so_with_code_name_and_reason(tmp_path, library, what, data,
                                                                                codes, sentence):
    if data is None:
        path = tmp_path / "missing.pcap"
    elif data == "dir":
        path = tmp_path / "folder.pcap"
        os.mkdir(path)
    else:
        path = write(tmp_path, "file.pcap", data)
    with pytest.raises(vorlan.VorlanError) as raised:
        list(vorlan.replay(path, library=library))
    error, code = raised.value, codes[library - 1]
    assert error.code == code, str(error)
    assert re.fullmatch(r"VORLAN_ERROR_[A-Z_]+", error.name), str(error)
    assert str(path) in error.message and sentence in error.message, str(error)
    assert str(error).startswith("%s (%d): " % (error.name, code))


@pytest.mark.parametrize("library", [1, 2])
def test_an_empty_capture_or_one_cut_short_is_told_apart_from_other_files(tmp_path, library):
    for data in (CLASSIC_HEADER, CLASSIC_HEADER + struct.pack("<IIII", 0, 0, 100, 100) + bytes(10)):
        path = write(tmp_path, "cut.pcap", data)
        with pytest.raises(vorlan.VorlanError) as raised:
            list(vorlan.replay(path, library=library))
        assert "not a capture file" not in raised.value.message, str(raised.value)
        assert str(path) in raised.value.message


@pytest.mark.parametrize("call, complaint", [
    (lambda p: vorlan.replay(p, library=3), "library must be 1"),
    (lambda p: vorlan.replay(p, library=0), "library must be 1"),
    (lambda p: vorlan.listen(0, library="2"), "library must be 1"),
    (lambda p: list(vorlan.replay(p, frame_mode="natural")), "pass library=2"),
    (lambda p: list(vorlan.replay(p, library=2, frame_mode="sweep")), "natural"),
    (lambda p: list(vorlan.replay(p, library=2, frame_mode="timed", frame_length=0.0001)), "0.001 s"),
    (lambda p: list(vorlan.replay(p, frame_mode="by-model")), "frame_mode must be one of"),
    (lambda p: list(vorlan.replay(p, speed=-1)), "speed must be"),
    (lambda p: list(vorlan.replay(p, library=2, speed=6)), "speed must be"),
    (lambda p: list(vorlan.replay(p, start=2, end=1)), "must come after start"),
    (lambda p: list(vorlan.replay(p, library=2, start=-1)), "0 or more"),
])
def test_options_out_of_range_are_refused_before_anything_runs(capture, call, complaint):
    with pytest.raises(ValueError, match=re.escape(complaint)):
        call(capture)


def test_the_first_library_answers_about_the_sensors_of_a_replay_that_ended(capture):
    with vorlan.Sdk() as sdk:
        frames = list(sdk.replay(capture))
        sensors = sdk.sensors()
        assert {s.serial_number for s in sensors} == {f.sensor.serial_number for f in frames}
        assert len(sensors) == 4
        assert sdk.calibration(sensors[0].handle).segment_count == sensors[0].channel_count
        # The next replay starts afresh, with the same sensors again.
        assert sum(1 for _ in sdk.replay(capture, end=0.5)) > 0
        assert len(sdk.sensors()) == 4


def test_the_second_library_answers_about_the_sensors_of_a_replay_that_ended(capture):
    with vorlan.Sdk2() as sdk:
        frames = list(sdk.replay(capture))
        assert len(sdk.sensors()) == 8
        assert {f.sensor_name for f in frames} == {s.name for s in sdk.sensors()}


def test_a_frame_describes_itself_in_one_line(capture):
    for library in (1, 2):
        frames = list(vorlan.replay(capture, library=library, sensor=900002))
        first, second = frames[0], frames[1]
        for frame in (first, second):
            text = repr(frame)
            assert "\n" not in text and "192.168.1.202 serial 900002" in text and "Kiru-D40" in text
            assert "%d points, %d valid" % (len(frame), frame.valid_points) in text
            assert frame.first_time <= frame.last_time and frame.first_time == int(frame.time.min())
        assert (first.index, first.whole, second.index, second.whole) == (0, False, 1, True)
        assert "partial" in repr(first) and "whole" in repr(second)
        assert first.losses == (0 if library == 1 else None)


def test_the_version_is_the_release_of_the_sdk_and_its_first_library():
    root = os.path.join(os.path.dirname(__file__), "..", "..")
    with open(os.path.join(root, "CMakeLists.txt")) as cmake:
        release = re.search(r"project\(vorlan_sdk VERSION ([0-9.]+)", cmake.read()).group(1)
    assert vorlan.__version__ == release
    assert vorlan.sdk.version().startswith(release)


@pytest.mark.parametrize("library", [1, 2])
def test_a_capture_cut_short_gives_its_frames_then_says_where_it_ends(capture, tmp_path, library, capfd):
    cut = write(tmp_path, "cut.pcap", capture.read_bytes()[:1_500_000])
    frames = []
    with pytest.raises(vorlan.VorlanError) as raised:
        for frame in vorlan.replay(cut, library=library):
            frames.append(frame)
    assert raised.value.code == -12 and "cut short" in raised.value.message
    assert re.search(r" at [0-9]+\.[0-9]{3} s", raised.value.message), raised.value.message
    assert len(frames) > 4
    # Said once, by the error: the library does not tell standard error too.
    assert "cut short" not in capfd.readouterr().err


@pytest.mark.parametrize("library", [1, 2])
def test_only_one_session_at_a_time_and_a_dropped_one_is_stopped(capture, library):
    session = vorlan.Sdk if library == 1 else vorlan.Sdk2
    with session():
        with pytest.raises(vorlan.VorlanError) as raised:
            session()
        assert raised.value.code == -9
    # Abandoned half-way, without close(): collecting it stops the library
    # before its callbacks are freed.
    frames = vorlan.replay(capture, library=library)
    next(frames)
    del frames
    gc.collect()
    dropped = session()
    del dropped
    gc.collect()
    session().close()
