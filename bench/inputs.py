#!/usr/bin/env python3
"""What looking at the input costs: panel names found from the reflection rows, and a large
file that is not a stream.

    python3 bench/inputs.py --size 200M [--rounds 2] [--threads 2]

- auto panels: ``quillon.read(path)`` (names from the geometry) against
  ``quillon.read(path, panels="auto")`` and the scan alone (``quillon._read.panels_in_rows``),
  in rounds, on a generated stream (made under bench/data/ when missing).
- not a stream: the peak memory and time of ``quillon.read`` on a file of random bytes of the
  same size (no chunk, no NUL byte), in a fresh process.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT))

import gen_stream

# The peak is VmHWM (of this process's memory only; ru_maxrss would count the parent's peak
# at the fork).
NOT_A_STREAM = """
import sys, time
import quillon
t = time.perf_counter()
try:
    quillon.read(sys.argv[1], n_threads=1)
    outcome = "read as a stream"
except ValueError as exc:
    outcome = str(exc).split(": ", 1)[1]
took = time.perf_counter() - t
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
print(f"{took:.2f} s, peak {peak // 1024} MiB (the process, imports included): {outcome}")
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="200M")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    import quillon
    import quillon_native as qn
    from quillon import _read

    size = gen_stream.parse_size(args.size)
    path = ROOT / "data" / f"inputs_{args.size}.stream"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        gen_stream.generate(path, size, seed=11)
    path.read_bytes()  # into the page cache
    rows = qn.index_chunks(str(path), args.threads)
    mb = path.stat().st_size / 1e6
    print(f"{path.name}: {mb:,.0f} MB, {len(rows):,} chunks, threads {args.threads}")
    for rnd in range(args.rounds):
        t = time.perf_counter()
        s = quillon.read(path, n_threads=args.threads)
        geometry = time.perf_counter() - t
        t = time.perf_counter()
        names = _read.panels_in_rows(path, rows)
        scan = time.perf_counter() - t
        t = time.perf_counter()
        quillon.read(path, n_threads=args.threads, panels="auto")
        auto = time.perf_counter() - t
        same = sorted(names) == sorted(s.panels)
        print(f"round {rnd}: read {geometry:.2f} s; read(panels='auto') {auto:.2f} s; scan alone "
              f"{scan:.2f} s ({mb / scan:,.0f} MB/s); {len(names)} names, the geometry's: {same}")

    noise = path.with_name("inputs_random.bin")
    with open(noise, "wb") as f:
        left = size
        while left > 0:
            piece = os.urandom(min(left, 1 << 24)).replace(b"\0", b"\1").replace(b"-", b"+")
            f.write(piece)
            left -= len(piece)
    try:
        out = subprocess.run([sys.executable, "-c", NOT_A_STREAM, str(noise)], check=True,
                             capture_output=True, text=True).stdout.strip()
        print(f"random bytes, {size / 1e6:,.0f} MB: {out}")
    finally:
        noise.unlink()


if __name__ == "__main__":
    main()
