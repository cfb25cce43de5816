"""Time and peak memory of index_chunks and parse_chunks on a file that is one long line.

Each call runs in a fresh process; peak memory is its VmHWM less the VmHWM just before
the call, so the interpreter and NumPy do not count.

Usage: python bench/long_line.py [--size 1G] [--module-dir DIR]
"""
from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

CALL = r"""
import sys, time
if sys.argv[3]:
    sys.path.insert(0, sys.argv[3])
import numpy as np
import quillon_native as qn

def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0

path, call = sys.argv[1], sys.argv[2]
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset VmHWM to the current resident size
before = hwm()
start = time.perf_counter()
if call == "index":
    qn.index_chunks(path)
else:
    qn.parse_chunks(path, np.array([[0, 100, 1, 1]]), ["p0"])
print(time.perf_counter() - start, hwm() - before)
"""


def size_arg(text: str) -> int:
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(float(text[:-1]) * units[text[-1].upper()]) if text[-1].upper() in units else int(text)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="1G", help="length of the line (10M, 1G, ...)")
    ap.add_argument("--module-dir", default="", help="directory holding the built module")
    args = ap.parse_args()
    size = size_arg(args.size)
    with tempfile.TemporaryDirectory() as d:
        path = pathlib.Path(d) / "line.txt"
        with open(path, "wb") as f:
            block = b"x" * (1 << 20)
            for _ in range(size // len(block)):
                f.write(block)
            f.write(b"x" * (size % len(block)))
        print(f"file: one line of {size / 1e6:,.0f} MB without a line feed")
        print(f"{'call':<40} {'seconds':>8} {'peak added':>12} {'peak / line':>12}")
        for call, label in [("index", "index_chunks(path)"),
                            ("parse", "parse_chunks(path, [[0, 100, 1, 1]])")]:
            out = subprocess.run([sys.executable, "-c", CALL, str(path), call, args.module_dir],
                                 capture_output=True, text=True)
            if out.returncode != 0:
                print(f"{label:<40} failed: {out.stderr.strip().splitlines()[-1]}")
                continue
            seconds, peak = out.stdout.split()
            peak = int(peak)
            print(f"{label:<40} {float(seconds):8.2f} {peak / 1e6:10,.0f} MB {peak / size:12.2f}")


if __name__ == "__main__":
    main()
