"""python3 -m vorlan replay FILE | listen [--port P]: the sensors, then one
line per frame, then a summary, as the vorlan tool prints them."""
import argparse
import sys

import vorlan


def describe(index, frame):
    valid = frame.valid
    line = "frame %-5d sensor %s  points %6d  valid %6d  span %.3f s" % (
        index, frame.sensor_name, len(frame), frame.valid_points, (frame.last_time - frame.first_time) * 1e-6)
    if valid.any():
        ranges = (frame.x[valid] ** 2 + frame.y[valid] ** 2 + frame.z[valid] ** 2) ** 0.5
        line += "  range %.2f-%.2f m" % (ranges.min(), ranges.max())
    return line


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m vorlan", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    replay = commands.add_parser("replay", help="frames of a capture file")
    replay.add_argument("file")
    replay.add_argument("--speed", type=float, default=0.0, help="rate against recorded time; 0 is as fast as possible")
    replay.add_argument("--sensor", help="only this sensor's frames: its dotted address or serial number")
    replay.add_argument("--start", type=float, default=0.0, help="frames from this many seconds into the capture")
    replay.add_argument("--end", type=float, help="stop this many seconds into the capture")
    listen = commands.add_parser("listen", help="live frames on a UDP port")
    listen.add_argument("--port", type=int, default=8808)
    listen.add_argument("--timeout", type=float, default=5.0, help="stop after this long without a frame")
    for command in (replay, listen):
        command.add_argument("--library", type=int, choices=(1, 2), default=1)
        command.add_argument("--frame-mode", help="sweep (the default), full-scan, timed or streaming; with "
                                                  "--library 2 natural (the default) or timed")
        command.add_argument("--frame-length", type=float, default=0.1, help="seconds, for timed frames")
        command.add_argument("--frames", type=int, default=0, help="stop after N frames (0: all)")
    args = parser.parse_args(argv)

    def on_sensor(sensor):
        if sensor.handle not in seen:
            seen.add(sensor.handle)
            print("sensor %s  %s (model %d)  firmware %s" % (sensor.name, sensor.model_name, sensor.model,
                                                            sensor.firmware))

    seen = set()
    options = {"library": args.library, "frame_length": args.frame_length, "on_sensor": on_sensor}
    if args.frame_mode:
        options["frame_mode"] = args.frame_mode
    count = points = valid = 0
    try:
        if args.command == "replay":
            frames = vorlan.replay(args.file, speed=args.speed, sensor=args.sensor, start=args.start, end=args.end,
                                   **options)
        else:
            frames = vorlan.listen(args.port, timeout=args.timeout, **options)
        try:
            for count, frame in enumerate(frames, 1):
                points += len(frame)
                valid += frame.valid_points
                print(describe(count - 1, frame))
                if count == args.frames:
                    break
        finally:
            frames.close()
    except (vorlan.VorlanError, ValueError) as error:
        print("vorlan: %s" % (error.message if isinstance(error, vorlan.VorlanError) else error), file=sys.stderr)
        return 1
    print("sensors %d  frames %d  points %d  valid %d" % (len(seen), count, points, valid))
    return 0


if __name__ == "__main__":
    sys.exit(main())
