"""Replay speed: 0 plays as fast as possible; otherwise a rate against the
recorded time (1 is real time, up to 5), as the vorlan tool takes it."""
import time

MAX_SPEED = 5.0


def checked_speed(speed):
    speed = float(speed)
    if not (speed == 0.0 or 0.000001 < speed <= MAX_SPEED):
        raise ValueError("speed must be 0 (as fast as possible) or a rate above 0.000001 up to 5, not %r" % speed)
    return speed


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
