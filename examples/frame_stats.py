#!/usr/bin/env python3
"""Per-frame statistics of a capture: points, measured points, time span,
mean range and the share of measured points nearer than 10 m.

    examples/frame_stats.py yard.pcap [--library 2] [--sensor 900001] [--start 2 --end 5]
"""
import argparse
import sys

import numpy as np

import vorlan


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", help="capture file (classic PCAP)")
    parser.add_argument("--library", type=int, choices=(1, 2), default=1, help="1 (vorlan_sdk) or 2 (vorlan_sdk2)")
    parser.add_argument("--sensor", help="only this sensor's frames: its dotted address or serial number")
    parser.add_argument("--start", type=float, default=0.0, help="frames from this many seconds into the capture")
    parser.add_argument("--end", type=float, help="stop this many seconds into the capture")
    args = parser.parse_args(argv)

    try:
        frames = vorlan.replay(args.file, library=args.library, sensor=args.sensor, start=args.start, end=args.end)
        for frame in frames:
            r = np.linalg.norm(frame.xyz()[frame.valid], axis=1)
            near = 100.0 * np.count_nonzero(r < 10.0) / max(len(r), 1)
            print("frame %4d of %-28s %-10s %-7s points %6d  measured %6d  span %6.1f ms  mean range %6.2f m  "
                  "nearer than 10 m %5.1f %%"
                  % (frame.index, frame.sensor_name, frame.model_name or "?", "whole" if frame.whole else "partial",
                     len(frame), len(r), (frame.last_time - frame.first_time) / 1000.0,
                     r.mean() if len(r) else 0.0, near))
    except vorlan.VorlanError as error:
        print("frame_stats: %s" % error.message, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
