#!/usr/bin/env python3
"""How much of a first ``parse_chunks`` call is the machine handing out fresh memory.

    python3 bench/fresh_memory.py --file bench/data/s250.stream [--rounds 5] [--threads 1]

The columns ``parse_chunks`` returns are new memory, and the first write to each
page of it costs the kernel a page fault and a page of zeros. On some virtual
machines that cost is far higher for memory the process has never had (the host
provides the page on the first touch too). In rounds, each case a fresh Python
process, this times the first ``parse_chunks`` call

- as a user's script meets it, and
- after the process has touched and freed about twice the columns' size, so the
  kernel hands the same, already provided pages out again,

and prints the medians, so the difference is the share of the first call that
fresh memory costs on this machine. It also times a plain first touch of that
much memory with NumPy. MB = 10**6 bytes, MiB = 2**20 bytes.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path


def worker(path: str, threads: int, pretouch_mib: int) -> dict[str, float]:
    import time

    import numpy as np
    import quillon_native as qn

    panels = Path(path + ".panels").read_text().split()
    rows = qn.index_chunks(path, threads)
    out: dict[str, float] = {}
    start = time.perf_counter()
    if pretouch_mib:
        block = np.ones(pretouch_mib << 20, dtype=np.uint8)
        del block
    out["touch"] = time.perf_counter() - start
    start = time.perf_counter()
    columns, *_ = qn.parse_chunks(path, rows, panels, threads)
    out["parse"] = time.perf_counter() - start
    out["column_bytes"] = float(sum(a.nbytes for a in columns.values()))
    return out


def run(path: str, threads: int, pretouch_mib: int) -> dict[str, float]:
    cmd = [sys.executable, __file__, "--worker", path, str(threads), str(pretouch_mib)]
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--file", help="a stream with its .panels file beside it")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        path, threads, mib = args.worker
        print(json.dumps(worker(path, int(threads), int(mib))))
        return
    if not args.file:
        ap.error("--file is required")

    size = os.path.getsize(args.file)
    with open(args.file, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    mib = 2 * run(args.file, args.threads, 0)["column_bytes"] / 2**20
    fresh, reused, touch = [], [], []
    for r in range(args.rounds):
        print(f"round {r + 1}/{args.rounds} ...", file=sys.stderr)
        fresh.append(run(args.file, args.threads, 0)["parse"])
        warm = run(args.file, args.threads, int(mib))
        reused.append(warm["parse"])
        touch.append(warm["touch"])
    med = statistics.median
    print(f"{args.file}: {size / 1e6:.1f} MB, parse_chunks on {args.threads} thread(s), "
          f"first call of a fresh process, median of {args.rounds} rounds (min-max)")
    for name, values in (("fresh memory", fresh), ("memory touched and freed first", reused)):
        print(f"  {name:32s} {med(values):.3f} s ({min(values):.3f}-{max(values):.3f})  "
              f"{size / 1e6 / med(values):,.0f} MB/s")
    print(f"  first touch of {mib:.0f} MiB with NumPy: {med(touch):.3f} s "
          f"({min(touch):.3f}-{max(touch):.3f})")


if __name__ == "__main__":
    main()
