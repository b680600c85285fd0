#!/usr/bin/env python3
"""Per-frame statistics of a capture: points, measured points, time span,
mean range and the share of measured points nearer than 10 m.

    python3 examples/frame_stats.py yard.pcap [--library 2]
"""
import sys

import numpy as np

import vorlan


def main(path, library=1):
    for index, frame in enumerate(vorlan.replay(path, library=library)):
        r = np.linalg.norm(frame.xyz()[frame.valid], axis=1)
        span_ms = (frame.time.max() - frame.time.min()) / 1000.0 if len(frame) else 0.0
        near = 100.0 * np.count_nonzero(r < 10.0) / max(len(r), 1)
        model = frame.sensor.model_name if frame.sensor else "?"
        print("frame %4d  %-10s  points %6d  measured %6d  span %6.1f ms  mean range %6.2f m  nearer than 10 m %5.1f %%"
              % (index, model, len(frame), len(r), span_ms, r.mean() if len(r) else 0.0, near))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1], int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--library" else 1)
