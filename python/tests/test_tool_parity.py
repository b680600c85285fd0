"""Python gives the frames the vorlan tool gives, for the same options, with
either library: the same frames, points and measured points per sensor."""
import collections
import re
import subprocess
import time

import pytest

import vorlan

FRAME_LINE = re.compile(r"^frame \d+\s+sensor (.+?)  points\s+(\d+)  valid\s+(\d+)", re.M)
SUMMARY_LINE = re.compile(r"frames (\d+)  points (\d+)  valid (\d+)")


def tool_counts(tool, capture, arguments):
    out = subprocess.run([tool, "replay", str(capture), *arguments], check=True, capture_output=True, text=True,
                         timeout=120).stdout
    per_sensor = collections.defaultdict(lambda: [0, 0, 0])
    for name, points, valid in FRAME_LINE.findall(out):
        counts = per_sensor[name]
        counts[0] += 1
        counts[1] += int(points)
        counts[2] += int(valid)
    totals = tuple(int(n) for n in SUMMARY_LINE.search(out).groups())
    return dict(per_sensor), totals


@pytest.mark.parametrize("library, arguments, options", [
    (1, [], {}),
    (1, ["--frame-mode", "full-scan"], {"frame_mode": "full-scan"}),
    (1, ["--frame-mode", "timed", "--frame-length", "0.05"], {"frame_mode": "timed", "frame_length": 0.05}),
    (1, ["--sensor", "900003", "--start", "2", "--end", "6"], {"sensor": 900003, "start": 2, "end": 6}),
    (1, ["--sensor", "192.168.1.202"], {"sensor": "192.168.1.202"}),
    (2, ["--sdk", "2"], {}),
    (2, ["--sdk", "2", "--frame-mode", "timed", "--frame-length", "0.05"],
     {"frame_mode": "timed", "frame_length": 0.05}),
])
def test_python_and_the_tool_give_the_same_frames(tool, sample, library, arguments, options):
    expected, totals = tool_counts(tool, sample, arguments)
    per_sensor = collections.defaultdict(lambda: [0, 0, 0])
    places = collections.defaultdict(list)
    for frame in vorlan.replay(sample, library=library, **options):
        counts = per_sensor[frame.sensor_name]
        counts[0] += 1
        counts[1] += len(frame)
        counts[2] += frame.valid_points
        places[frame.sensor_name].append((frame.index, frame.whole))
        # A point the library's natural frame repeats from the frame before
        # is handed out once only.
        assert library == 1 or not (frame.flags & 0x08).any(), frame
    assert dict(per_sensor) == expected
    assert tuple(map(sum, zip(*per_sensor.values()))) == totals
    for name, seen in places.items():
        indexes = [index for index, _ in seen]
        # Each sensor's frames in order; a sensor's first frame starts
        # wherever its traffic starts and is never whole.
        assert indexes == sorted(set(indexes)), name
        assert all(whole == (index >= 1) for index, whole in seen if library == 2), name
        assert not any(whole for index, whole in seen if index == 0), name


def test_the_second_library_shows_both_generations_unless_translation_is_off(sample):
    def serials(**options):
        return {frame.sensor.serial_number for frame in vorlan.replay(sample, library=2, end=1.0, **options)}

    first_generation = {900001, 900002, 900003, 900004}
    assert first_generation < serials()
    assert not first_generation & serials(legacy=False)


def test_a_paced_replay_takes_the_recorded_time_at_its_speed(sample):
    # Five times the recorded rate: a second of the capture takes 0.2 s or
    # more, never less (an upper bound would only measure the machine).
    for library in (1, 2):
        began = time.monotonic()
        frames = sum(1 for _ in vorlan.replay(sample, library=library, speed=5, end=1.0))
        assert frames > 0 and time.monotonic() - began >= 0.15, library
