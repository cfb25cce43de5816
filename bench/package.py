#!/usr/bin/env python3
"""What the `quillon` package adds to the native calls, measured as a user meets it.

    python3 bench/package.py --size 200M [--rounds 5] [--threads N]

Generates the stream under bench/data/ when it is missing and reads it once into
the page cache. Then, in rounds, runs each step below as the first call in a fresh
Python process (this script with ``--worker``), the steps of a round one after the
other, so that slow and fast moments of the machine fall on every step alike:

- native:  ``index_chunks``, then ``parse_chunks`` (what a user calls without the package)
- package: ``quillon.read(path)``, then its ``observations``, then ``crystals`` and ``images``
- parquet: ``Stream.to_parquet`` of a Stream already read, Arrow limited to one thread

Each phase is timed on its own; imports (NumPy, pandas, pyarrow, quillon) happen
before the clocks start. Ratios are taken within a round and the table prints the
medians: read + observations against index + parse (goal <= 1.3) and against parse
alone, the three tables against read (goal <= +10%), and to_parquet in MB of input
stream per second (goal >= 200; MB = 10**6 bytes).
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
DATA = BENCH / "data"
STEPS = ("native", "package", "parquet")


def worker(step: str, path: str, threads: int) -> dict[str, float]:
    """Seconds taken by each phase of ``step`` on ``path``, the first calls of this process."""
    import numpy  # noqa: F401
    import pandas  # noqa: F401
    import pyarrow
    import quillon_native as qn

    import quillon

    clock = Clock()
    if step == "native":
        panels = Path(path + ".panels").read_text().split()
        rows = clock("index", qn.index_chunks, path, threads)
        clock("parse", qn.parse_chunks, path, rows, panels, threads)
    elif step == "package":
        s = clock("read", quillon.read, path, n_threads=threads)
        clock("observations", lambda: s.observations)
        clock("crystals_images", lambda: (s.crystals, s.images))
    elif step == "parquet":
        s = quillon.read(path, n_threads=threads)
        pyarrow.set_cpu_count(1)
        pyarrow.set_io_thread_count(1)
        with tempfile.TemporaryDirectory(dir=DATA) as folder:
            clock("to_parquet", s.to_parquet, folder)
    return clock.seconds


class Clock:
    """Calls functions and keeps their times by name."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}

    def __call__(self, name, fn, *args, **kwargs):
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        self.seconds[name] = time.perf_counter() - start
        return result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="200M", help="size of the generated stream (default 200M)")
    ap.add_argument("--file", help="use this stream (with its .panels file) instead")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    ap.add_argument("--worker", nargs=2, metavar=("STEP", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker[0], args.worker[1], args.threads)))
        return

    sys.path.insert(0, str(BENCH))
    import gen_stream
    DATA.mkdir(exist_ok=True)
    path = Path(args.file) if args.file else DATA / f"package_{args.size}.stream"
    if not path.exists():
        print(f"generating {path} ...", flush=True)
        gen_stream.generate(path, gen_stream.parse_size(args.size), seed=1)
    size = path.stat().st_size
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass

    seconds: dict[str, list[float]] = {}
    for _ in range(args.rounds):
        for step in STEPS:
            out = subprocess.run([sys.executable, __file__, "--threads", str(args.threads),
                                  "--worker", step, str(path)],
                                 check=True, capture_output=True, text=True).stdout
            for phase, value in json.loads(out).items():
                seconds.setdefault(phase, []).append(value)
    rounds = [dict(zip(seconds, values)) for values in zip(*seconds.values())]
    ratios = {
        "observations_vs_native": [(r["read"] + r["observations"]) / (r["index"] + r["parse"])
                                   for r in rounds],
        "observations_vs_parse": [(r["read"] + r["observations"]) / r["parse"] for r in rounds],
        "tables_vs_read": [(r["observations"] + r["crystals_images"]) / r["read"] for r in rounds],
    }
    median = {name: statistics.median(v) for name, v in {**seconds, **ratios}.items()}

    print(f"{path.name}: {size / 1e6:.1f} MB, {args.threads} threads, median of {args.rounds} "
          f"interleaved rounds, each the first calls of a fresh process")
    for phase, values in seconds.items():
        print(f"  {phase:<16} {median[phase]:7.3f} s   ({', '.join(f'{v:.3f}' for v in values)})")
    print(f"  read + observations / (index_chunks + parse_chunks): "
          f"{median['observations_vs_native']:.2f}  (goal <= 1.30)")
    print(f"  read + observations / parse_chunks alone:            "
          f"{median['observations_vs_parse']:.2f}")
    print(f"  three tables / read:                                 "
          f"{median['tables_vs_read'] * 100:+.1f}%  (goal <= +10%)")
    print(f"  to_parquet, one thread: {size / 1e6 / median['to_parquet']:.0f} MB/s of stream "
          f"(goal >= 200)")


if __name__ == "__main__":
    main()
