"""How fast ``quillon filter`` copies a stream, against ``cat``.

    python bench/filter_copy.py STREAM [--rounds 7] [--out-dir DIR]

Each round times, as whole processes and interleaved: ``cat STREAM > OUT``; ``quillon filter
STREAM OUT`` with no test (a copy: the file is indexed for the counts, never parsed); ``quillon
filter STREAM OUT --min-reflections 0`` (every crystal passes: the file is parsed, then its text
copied); the copy routine alone, in this process, into a new file without fsync or rename (as
cat writes); and the start of each program alone (``cat /dev/null``, ``quillon --version``). Prints
the medians, MB/s with and without the program's start, and the filter's speed as a share of
cat's. The outputs are written beside each other in --out-dir (default: STREAM's folder) and
removed; the filter's output is checked to equal STREAM byte for byte.
"""
from __future__ import annotations

import argparse
import filecmp
import os
import statistics
import subprocess
import sys
import time


def timed(cmd: list[str], stdout_path: str | None = None) -> float:
    out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL  # noqa: SIM115
    try:
        start = time.perf_counter()
        subprocess.run(cmd, stdout=out, stderr=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start
    finally:
        if stdout_path:
            out.close()


def copy_in_process(stream: str, out_path: str) -> float:
    """The copy routine alone, in this process: the header and every chunk into a new file
    (no fsync, no rename: what ``cat STREAM > OUT`` does)."""
    from quillon._verbatim import whole_file, write_text

    if os.path.exists(out_path):
        os.remove(out_path)
    start = time.perf_counter()
    with open(out_path, "wb") as out:
        write_text(whole_file(stream, os.stat(stream)), out, None)
    return time.perf_counter() - start


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("stream")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--out-dir", default=None)
    a = ap.parse_args(argv)
    size = os.path.getsize(a.stream)
    out_dir = a.out_dir or os.path.dirname(os.path.abspath(a.stream))
    cat_out = os.path.join(out_dir, f"bench-cat-{os.getpid()}.stream")
    filter_out = os.path.join(out_dir, f"bench-filter-{os.getpid()}.stream")
    quillon = [sys.executable, "-m", "quillon.cli"]
    cases = {
        "cat": lambda: timed(["cat", a.stream], cat_out),
        "filter (copy)": lambda: timed([*quillon, "filter", a.stream, filter_out]),
        "filter (parse)": lambda: timed([*quillon, "filter", a.stream, filter_out,
                                         "--min-reflections", "0"]),
        "copy routine": lambda: copy_in_process(a.stream, filter_out),
        "cat start": lambda: timed(["cat", os.devnull]),
        "quillon start": lambda: timed([*quillon, "--version"]),
    }
    times: dict[str, list[float]] = {name: [] for name in cases}
    try:
        for round_ in range(a.rounds + 1):  # the first round warms the page cache
            for name, run in cases.items():
                t = run()
                if round_:
                    times[name].append(t)
            if not filecmp.cmp(a.stream, filter_out, shallow=False):
                print("the filter's output differs from its input", file=sys.stderr)
                return 1
    finally:
        for path in (cat_out, filter_out):
            if os.path.exists(path):
                os.remove(path)
    med = {name: statistics.median(t) for name, t in times.items()}
    start = {"cat": med["cat start"], "filter (copy)": med["quillon start"],
             "filter (parse)": med["quillon start"], "copy routine": 0.0}
    mb = size / 1e6
    print(f"{a.stream}: {mb:,.1f} MB, {a.rounds} rounds after one warm-up, medians")
    print(f"{'':16} {'s':>7} {'MB/s':>8} {'s - start':>10} {'MB/s':>8} {'of cat':>7} {'of cat':>7}")
    for name in ("cat", "filter (copy)", "filter (parse)", "copy routine"):
        whole, net = med[name], max(med[name] - start[name], 1e-9)
        share = med["cat"] / whole
        share_net = (med["cat"] - med["cat start"]) / net
        print(f"{name:16} {whole:7.3f} {mb / whole:8.0f} {net:10.3f} {mb / net:8.0f} "
              f"{share:7.0%} {share_net:7.0%}")
    print(f"program start: cat {med['cat start'] * 1e3:.1f} ms, quillon "
          f"{med['quillon start'] * 1e3:.0f} ms (first 'of cat': whole processes; second: "
          "each program's start taken off)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
