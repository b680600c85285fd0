#!/usr/bin/env python3
"""Points per second from a capture through the Python frame iterator, beside
the C tool replaying the same capture in the same run (its ceiling).

    python3 bench/python_frames.py --build build [--seconds 10] [--repeat 5]

Both paths run in processes of their own and replay as fast as they can, cut into timed frames of 0.1 s; the
C figure is the whole `vorlan replay --frames 0` process, the
Python one the whole iteration (library calibration, copies into numpy,
conversion to metres). The median of the repeats of each counts.
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time


def goal_line(name, figure, ceiling, wanted, unit):
    """One closing goal line, laid out as bench/support/goal_lines.cpp does."""
    ratio = figure / ceiling if ceiling > 0 else 0.0
    holds = ceiling > 0 and ratio >= wanted
    text = "%-44s %11.4g %-13s ceiling %11.4g  ratio %5.2f  goal >= %.2f" % (name, figure, unit, ceiling, ratio,
                                                                               wanted)
    return "%-6s %s" % ("holds" if holds else "SHORT", text)


def measure_python(capture):
    """The Python side of one run, in a process of its own as the C tool's
    is: prints points, wall seconds and processor seconds of the iteration."""
    import vorlan
    start = time.perf_counter()
    cpu_start = time.process_time()
    points = 0
    for frame in vorlan.replay(capture, frame_mode="timed", frame_length=0.1):
        points += len(frame.x)
    print(points, time.perf_counter() - start, time.process_time() - cpu_start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the simulated capture")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--measure", metavar="CAPTURE", help=argparse.SUPPRESS)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "vorlan")
    os.environ.setdefault("VORLAN_LIBRARY_PATH", build)
    package = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
    os.environ["PYTHONPATH"] = package + os.pathsep + os.environ.get("PYTHONPATH", "")
    sys.path.insert(0, package)
    if args.measure:
        measure_python(args.measure)
        return

    with tempfile.TemporaryDirectory() as work:
        capture = os.path.join(work, "sim.pcap")
        subprocess.run([tool, "sim", "--seed", "1", "--seconds", str(args.seconds), "--out", capture], check=True,
                       stdout=subprocess.DEVNULL)
        c_rates, py_rates, c_cpu_rates, py_cpu_rates = [], [], [], []
        c_points = py_points = 0
        for _ in range(args.repeat):
            children = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            command = [tool, "replay", capture, "--frames", "0", "--frame-mode", "timed", "--frame-length", "0.1"]
            out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
            elapsed = time.perf_counter() - start
            c_points = int(re.search(r"points (\d+)", out.splitlines()[-1]).group(1))
            c_rates.append(c_points / elapsed)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            c_cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
            c_cpu_rates.append(c_points / max(c_cpu, 1e-9))

            # A fresh process, as the C tool gets: on a busy machine the
            # scheduler treats a long-running parent differently.
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--build", build, "--measure", capture],
                                 check=True, capture_output=True, text=True).stdout.split()
            py_points, elapsed, cpu = int(out[0]), float(out[1]), float(out[2])
            py_rates.append(py_points / elapsed)
            py_cpu_rates.append(py_points / max(cpu, 1e-9))
    # Medians: a run short enough to fit between two preemptions on a busy
    # machine makes a best-of figure a matter of luck.
    c_rate, py_rate = statistics.median(c_rates), statistics.median(py_rates)
    c_cpu_rate, py_cpu_rate = statistics.median(c_cpu_rates), statistics.median(py_cpu_rates)

    print("python_frames: capture of %.0f s, %d points (C tool %d), median of %d runs"
          % (args.seconds, py_points, c_points, args.repeat))
    print("  C tool  vorlan replay --frames 0   %12.4g points/s" % c_rate)
    print("  Python  for frame in vorlan.replay %12.4g points/s" % py_rate)
    # Most of either run's wall time is spent waiting in the library, not
    # computing; the processor time shows the cost of the Python layer.
    print("  per second of processor time: C tool %.4g, Python %.4g points" % (c_cpu_rate, py_cpu_rate))
    print("\ngoals")
    print(goal_line("Python frame iterator points/s", py_rate, c_rate, 0.5, "points/s"))
    # On a machine shared with other work, wall-clock runs of a fraction of a
    # second mostly measure the scheduler; processor time does not.
    print(goal_line("Python frame iterator points/cpu-s", py_cpu_rate, c_cpu_rate, 0.5, "points/cpu-s"))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
