"""Damaged streams, end to end through Python.

Makes a corpus of damaged variants of a generated stream (truncations at many
offsets, random byte flips, binary garbage, NUL bytes, invalid UTF-8, a very long
line, CRLF line ends, a file that shrinks between indexing and parsing) and runs
index_chunks, parse_chunks and write_stream on each. Every call must return or raise
a clear Python exception; a crash or a hang fails the run.

Usage: python scripts/damaged_corpus.py [--dir DIR] [--long-line-mib 100] [--seed 1]
"""
from __future__ import annotations

import argparse
import os
import pathlib
import random
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from stream_builder import random_images, stream  # noqa: E402

PANELS = [f"p{i}" for i in range(8)]


def base_stream(seed: int) -> bytes:
    return stream(random_images(60, seed=seed, panels=PANELS, max_rows=30)).encode()


def variants(base: bytes, seed: int, long_line_mib: int):
    """Yields (name, bytes) for each damaged variant."""
    rng = random.Random(seed)
    for k in range(40):
        cut = rng.randrange(len(base))
        yield f"truncated_{cut}", base[:cut]
    for k in range(20):
        data = bytearray(base)
        for _ in range(rng.choice([1, 10, 200])):
            data[rng.randrange(len(data))] = rng.randrange(256)
        yield f"flipped_{k}", bytes(data)
    for k in range(5):
        garbage = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 50000)))
        at = rng.randrange(len(base))
        yield f"garbage_{k}", base[:at] + garbage + base[at:]
    yield "all_garbage", bytes(rng.randrange(256) for _ in range(200000))
    yield "nul_bytes", base.replace(b" ", b"\x00", 500)
    yield "nul_file", b"\x00" * 100000
    yield "invalid_utf8", base.replace(b"p1", b"p\xff\xfe", 50).replace(b"img", b"\xc3\x28mg")
    yield "overlong_utf8", base.replace(b"Event: ", b"Event: \xc0\xaf\xed\xa0\x80 ")
    yield "crlf", base.replace(b"\n", b"\r\n")
    yield "cr_only", base.replace(b"\n", b"\r")
    yield "no_newlines_at_all", base.replace(b"\n", b" ")
    half = len(base) // 2
    yield "long_line", base[:half] + b"x" * (long_line_mib << 20) + b"\n" + base[half:]
    yield "markers_only", b"----- Begin chunk -----\n" * 5000
    yield "empty", b""


CHILD = r"""
import sys, numpy as np, quillon_native as qn
path, shrink_to = sys.argv[1], int(sys.argv[2])
panels = [f"p{i}" for i in range(8)]
for n in (1, 3):
    rows = qn.index_chunks(path, n)
    assert rows.dtype == np.int64 and rows.ndim == 2 and rows.shape[1] == 4
    if shrink_to >= 0:
        with open(path, "r+b") as f:
            f.truncate(shrink_to)
    cols, filenames, events, report = qn.parse_chunks(path, rows, panels, n)
    assert len(filenames) == len(cols["beam_energy"])
    out = path + ".out"
    try:
        qn.write_stream(out, cols, filenames, events, panels, None, None, None, "", n)
    except ValueError as e:  # refused text (e.g. a line feed inside a value) is a clear error
        print("write refused:", e)
    rows2 = qn.index_chunks(out, n) if __import__("os").path.exists(out) else None
print("ok")
"""


def run_one(path: pathlib.Path, shrink_to: int = -1, timeout: float = 120.0) -> tuple[bool, str]:
    try:
        p = subprocess.run([sys.executable, "-c", CHILD, str(path), str(shrink_to)],
                           capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False, "hang (timed out)"
    if p.returncode != 0:
        return False, f"exit {p.returncode}: {p.stderr.strip()[-800:]}"
    return True, p.stdout.strip().splitlines()[-1] if p.stdout.strip() else ""


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", help="where to write the corpus (default: a temporary directory)")
    ap.add_argument("--long-line-mib", type=int, default=100)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        d = pathlib.Path(args.dir or tmp)
        d.mkdir(parents=True, exist_ok=True)
        base = base_stream(args.seed)
        failures = 0
        cases = list(variants(base, args.seed, args.long_line_mib))
        cases.append(("shrinks_after_index", base))
        for name, data in cases:
            path = d / f"{name}.stream"
            path.write_bytes(data)
            ok, detail = run_one(path, shrink_to=len(data) // 3 if name == "shrinks_after_index" else -1)
            failures += not ok
            print(f"{'ok  ' if ok else 'FAIL'} {name}: {detail}")
            for p in (path, pathlib.Path(str(path) + ".out")):
                if p.exists():
                    p.unlink()
        print(f"{len(cases) - failures} passed, {failures} failed")
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
