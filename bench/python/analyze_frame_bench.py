#!/usr/bin/python3
"""Times hdrmeter.analyze_frame on a 4K 10-bit 4:2:0 frame held in numpy, and the C++ analyzer on the
same frame, both as medians of many repetitions; the target is at most 1.1x the C++ time.

    /usr/bin/python3 bench/python/analyze_frame_bench.py [--build build] [--repetitions 300] [--tasks 0]

Run it from a built tree (cmake --build BUILD); it builds the C++ timer, BUILD/python/
hdrmeter_analyzer_timer, itself. The two sides take turns in rounds, so that a change in the machine's
load falls on both.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WIDTH, HEIGHT = 3840, 2160


def make_frame():
    """Smooth gradients with a little noise, mostly in the legal range, as the C++ benchmarks use."""
    import numpy as np
    rng = np.random.default_rng(7)
    x = np.arange(WIDTH)[None, :]
    y = np.arange(HEIGHT)[:, None]
    luma = 64 + x * 700 // WIDTH + y * 170 // HEIGHT + rng.integers(-4, 5, (HEIGHT, WIDTH))
    cx = np.arange(WIDTH // 2)[None, :]
    cb = 400 + cx * 220 // (WIDTH // 2) + rng.integers(0, 5, (HEIGHT // 2, WIDTH // 2))
    cr = 620 - cx * 200 // (WIDTH // 2) + rng.integers(0, 5, (HEIGHT // 2, WIDTH // 2))
    return [p.astype(np.uint16) for p in (luma, cb, cr)]


def time_python(frame, tasks, repetitions):
    import hdrmeter
    times = []
    for _ in range(repetitions):
        start = time.perf_counter()
        stats = hdrmeter.analyze_frame(*frame, tasks=tasks)
        times.append((time.perf_counter() - start) * 1000)
    return times, stats.average_light_nits


def time_cxx(timer, frame_file, tasks, repetitions):
    out = subprocess.run([str(timer), frame_file, str(WIDTH), str(HEIGHT), "420", "10", str(tasks),
                          str(repetitions)], check=True, capture_output=True, text=True).stdout
    values = dict(line.split() for line in out.splitlines())
    return float(values["median_ms"]), float(values["average_light_nits"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="the build tree (default: build)")
    parser.add_argument("--repetitions", type=int, default=300, help="measurements per side (default: 300)")
    parser.add_argument("--rounds", type=int, default=6, help="turns each side takes (default: 6)")
    parser.add_argument("--tasks", type=int, default=0, help="analyzer tasks, 0 for one per core (default: 0)")
    args = parser.parse_args()

    build = Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    subprocess.run(["cmake", "--build", str(build), "--target", "_hdrmeter", "hdrmeter_analyzer_timer"], check=True,
                   stdout=subprocess.DEVNULL)
    import hdrmeter

    frame = make_frame()
    per_round = max(1, args.repetitions // args.rounds)
    python_ms, cxx_medians = [], []
    with tempfile.TemporaryDirectory() as scratch:
        frame_file = os.path.join(scratch, "frame.yuv")
        with open(frame_file, "wb") as out:
            for plane in frame:
                out.write(plane.tobytes())
        hdrmeter.analyze_frame(*frame, tasks=args.tasks)  # builds the analyzer and its tables
        for turn in range(args.rounds):
            print(f"\rround {turn + 1} of {args.rounds}", end="", file=sys.stderr, flush=True)
            times, python_light = time_python(frame, args.tasks, per_round)
            python_ms += times
            cxx_ms, cxx_light = time_cxx(build / "python" / "hdrmeter_analyzer_timer", frame_file, args.tasks,
                                         per_round)
            cxx_medians.append(cxx_ms)
            if cxx_light != python_light:
                sys.exit(f"the two sides measured different frames: average light {python_light} against "
                         f"{cxx_light}; rebuild both from the same tree")
        print(file=sys.stderr)

    python_median = statistics.median(python_ms)
    cxx_median = statistics.median(cxx_medians)
    print(f"frame            {WIDTH}x{HEIGHT} 10-bit 4:2:0 in numpy, tasks {args.tasks}, "
          f"{per_round * args.rounds} repetitions a side in {args.rounds} rounds")
    print(f"analyze_frame    {python_median:.3f} ms (median)")
    print(f"C++ analyzer     {cxx_median:.3f} ms (median of the rounds' medians)")
    print(f"ratio            {python_median / cxx_median:.3f}x (target: at most 1.1x)")


if __name__ == "__main__":
    main()
