"""python3 -m vorlan replay FILE | listen [--port P]: one line per frame."""
import argparse
import sys

import numpy as np

import vorlan


def describe(index, frame):
    if len(frame) == 0:
        return "frame %-5d sensor %x  points      0" % (index, frame.handle)
    valid = frame.valid
    span = (frame.time.max() - frame.time.min()) / 1e6
    if not valid.any():
        return "frame %-5d sensor %x  points %6d  valid      0" % (index, frame.handle, len(frame))
    ranges = np.linalg.norm(frame.xyz()[valid], axis=1)
    return ("frame %-5d sensor %x  points %6d  valid %6d  span %.3f s  range %.2f-%.2f m  intensity mean %.1f"
            % (index, frame.handle, len(frame), np.count_nonzero(valid), span, ranges.min(), ranges.max(),
               frame.intensity[valid].mean()))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m vorlan", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    replay = commands.add_parser("replay", help="frames of a capture file")
    replay.add_argument("file")
    listen = commands.add_parser("listen", help="live frames on a UDP port")
    listen.add_argument("--port", type=int, default=8808)
    listen.add_argument("--timeout", type=float, default=5.0, help="stop after this long without a frame")
    for command in (replay, listen):
        command.add_argument("--library", type=int, choices=(1, 2), default=1)
        command.add_argument("--frames", type=int, default=0, help="stop after N frames (0: all)")
    args = parser.parse_args(argv)

    def on_sensor(sensor):
        if sensor.handle not in seen:
            seen.add(sensor.handle)
            print("sensor %x  serial %d  %s (model %d)  firmware %s"
                  % (sensor.handle, sensor.serial_number, sensor.model_name, sensor.model, sensor.firmware))

    seen = set()
    if args.command == "replay":
        frames = vorlan.replay(args.file, library=args.library, on_sensor=on_sensor)
    else:
        frames = vorlan.listen(args.port, timeout=args.timeout, library=args.library, on_sensor=on_sensor)
    count = points = 0
    try:
        for count, frame in enumerate(frames, 1):
            points += len(frame)
            print(describe(count - 1, frame))
            if count == args.frames:
                break
    except vorlan.VorlanError as error:
        print("vorlan: %s" % error, file=sys.stderr)
        return 1
    finally:
        frames.close()
    print("sensors %d  frames %d  points %d" % (len(seen), count, points))
    return 0


if __name__ == "__main__":
    sys.exit(main())
