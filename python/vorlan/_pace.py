"""How a replay runs, as the vorlan tool takes it: its speed (0 plays as fast
as possible; otherwise a rate against the recorded time, 1 real time, up to
5) and the part of the capture it shows (seconds from its start)."""
import time

MAX_SPEED = 5.0


def checked_speed(speed):
    speed = float(speed)
    if not (speed == 0.0 or 0.000001 < speed <= MAX_SPEED):
        raise ValueError("speed must be 0 (as fast as possible) or a rate above 0.000001 up to 5, not %r" % speed)
    return speed


def checked_span(start, end):
    start = float(start)
    if not start >= 0.0:
        raise ValueError("start must be a time in seconds from the capture's start, 0 or more, not %r" % start)
    if end is not None and not float(end) > start:
        raise ValueError("end (%r s) must come after start (%r s)" % (end, start))
    return start, None if end is None else float(end)


class Pacer:
    """Waits until each packet's recorded time comes at the chosen rate.
    It re-anchors when more than a second off, so a slow consumer never
    builds up a backlog."""

    MAX_DRIFT = 1.0

    def __init__(self, speed):
        self._speed = speed
        self._anchor = None  # (clock, packet time in µs)

    def wait_for(self, packet_time_us):
        if self._speed <= 0.0:
            return
        now = time.monotonic()
        if self._anchor is None:
            self._anchor = (now, packet_time_us)
            return
        clock, anchor_time = self._anchor
        due = clock + (packet_time_us - anchor_time) * 1e-6 / self._speed
        if abs(due - now) > self.MAX_DRIFT:
            self._anchor = (now, packet_time_us)
        elif due > now:
            time.sleep(due - now)
