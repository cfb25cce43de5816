#!/usr/bin/env python3
"""Time and peak memory of ``quillon merge`` and ``quillon stats``, each in a fresh process.

    python bench/merge.py [STREAM] [--threads 2] [--repeat 3] [--symmetry 4/mmm]

Each command runs end to end (interpreter start, imports, reading included), as a user runs
it; its wall time and its peak resident memory (from wait4) are reported next to those of a
fresh process that only runs ``quillon.read`` of the same file. Medians over the repeats.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEFAULT = ROOT / "bench" / "data" / "demo_200M.stream"


def measure(argv: list[str], repeat: int) -> tuple[float, float]:
    """Median wall seconds and peak RSS (MiB) of ``argv`` run ``repeat`` times."""
    walls, peaks = [], []
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python")}
    for _ in range(repeat):
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        walls.append(time.perf_counter() - start)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"failed: {' '.join(argv)}")
        peaks.append(usage.ru_maxrss / 1024)
    return statistics.median(walls), statistics.median(peaks)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("stream", nargs="?", default=str(DEFAULT))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--symmetry", default="4/mmm")
    args = parser.parse_args()
    py, t = sys.executable, str(args.threads)
    with tempfile.TemporaryDirectory() as tmp:
        runs = {
            "quillon.read": [py, "-c", f"import quillon; quillon.read({args.stream!r}, n_threads={t})"],
            "quillon merge": [py, "-m", "quillon.cli", "merge", args.stream, f"{tmp}/out.mtz",
                              "-y", args.symmetry, "-j", t, "-q"],
            "quillon stats": [py, "-m", "quillon.cli", "stats", args.stream, "-y", args.symmetry,
                              "-j", t, "-q"],
            "quillon stats --json": [py, "-m", "quillon.cli", "stats", args.stream, "-y",
                                     args.symmetry, "-j", t, "-q", "--json"],
        }
        print(f"{args.stream}: {os.path.getsize(args.stream) / 1e6:.0f} MB, {t} threads, "
              f"median of {args.repeat}; load {os.getloadavg()[0]:.2f}")
        base = None
        for name, argv in runs.items():
            wall, peak = measure(argv, args.repeat)
            base = base or peak
            print(f"  {name:22s} {wall:6.2f} s  peak {peak:7.1f} MiB  ({peak / base:.2f}x read)")


if __name__ == "__main__":
    main()
