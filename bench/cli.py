#!/usr/bin/env python3
"""Wall time and peak memory of the ``quillon`` command against the native calls it is built on.

    python3 bench/cli.py --size 1G [--threads 2] [--rounds 5] [--file PATH]

Generates ``bench/data/stream_<size>_s1.stream`` when it is missing (the name bench/run.py
uses), reads it once into the page cache, then times, in fresh processes as a user runs them:

- ``parse``:        a Python process that indexes and parses the file (index_chunks +
                    parse_chunks) and exits;
- ``quillon info``: ``quillon info --json -q FILE``, against ``parse``;
- ``parse+write``:  a process that indexes, parses and writes the whole file back;
- ``quillon filter (all)``: ``quillon filter`` with a test every crystal passes, so it writes
                    the whole file, against ``parse+write``;
- ``quillon filter (cell)``: ``quillon filter --cell ... --tolerance 0.2%,0.05``, a selective filter.

Every command runs with the same ``--threads``; the rounds interleave the commands and the
table shows the median wall time of each, the ratio to its baseline and the peak resident
memory of the process (``wait4``). Outputs go to bench/data/ and are removed.
"""
from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
DATA = BENCH / "data"

BASELINE = """
import sys, quillon_native as qn
path, threads, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
panels = open(path + ".panels").read().split()
rows = qn.index_chunks(path, threads)
cols, names, events, report = qn.parse_chunks(path, rows, panels, threads)
if out != "-":
    header = open(path, "rb").read(int(rows[0, 0])).decode()
    qn.write_stream(out, cols, names, events, panels, "tetragonal", "P", "c", header, threads)
"""


def quillon_command() -> list[str]:
    script = Path(sys.executable).with_name("quillon")
    return [str(script)] if script.exists() else [sys.executable, "-m", "quillon.cli"]


def timed(cmd: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident memory (bytes) of one run of ``cmd``.

    Linux carries the parent's peak over into a child's ``ru_maxrss`` across fork and exec, so
    the figure is max(this process's peak, the command's); this process stays small (no NumPy
    work in it) and prints its own peak as the floor.
    """
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed:\n{proc.stderr.read().decode()}")
    return wall, usage.ru_maxrss * 1024


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="1G", help="generated stream size (default 1G)")
    ap.add_argument("--file", help="a generated stream to use instead (needs FILE.panels)")
    ap.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args(argv)

    DATA.mkdir(exist_ok=True)
    path = Path(args.file) if args.file else DATA / f"stream_{args.size}_s1.stream"
    if not path.exists():  # in a child, so this process stays small (see timed)
        print(f"generating {path} ...", flush=True)
        subprocess.run([sys.executable, str(BENCH / "gen_stream.py"), str(path), "--size", args.size,
                        "--seed", "1"], check=True, stdout=subprocess.DEVNULL)
    with open(path, "rb") as f:  # into the page cache, so every run reads from memory
        while f.read(1 << 24):
            pass
    size = path.stat().st_size
    out = DATA / "bench_cli_out.stream"
    t = str(args.threads)
    quillon = quillon_command()
    commands = {
        "parse": [sys.executable, "-c", BASELINE, str(path), t, "-"],
        "quillon info": [*quillon, "info", "--json", "-q", "-j", t, str(path)],
        "parse+write": [sys.executable, "-c", BASELINE, str(path), t, str(out)],
        "quillon filter (all)": [*quillon, "filter", "-q", "-j", t, str(path), str(out),
                                 "--min-reflections", "0"],
        "quillon filter (cell)": [*quillon, "filter", "-q", "-j", t, str(path), str(out),
                                  "--cell", "79.1,79.1,38.0,90,90,90", "--tolerance", "0.2%,0.05"],
    }
    baseline = {"quillon info": "parse", "quillon filter (all)": "parse+write",
                "quillon filter (cell)": "parse+write"}
    runs: dict[str, list[tuple[float, int]]] = {name: [] for name in commands}
    for _ in range(args.rounds):
        for name, cmd in commands.items():
            runs[name].append(timed(cmd))
            out.unlink(missing_ok=True)
    median = {name: statistics.median(w for w, _ in r) for name, r in runs.items()}
    print(f"{path.name}: {size / 1e6:,.0f} MB, {args.threads} threads, median of {args.rounds} "
          f"interleaved rounds, each a fresh process ({os.cpu_count()} CPUs)")
    floor = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"(peak RSS includes at least this process's own {floor / 1e6:.0f} MB)")
    print(f"{'command':<24}{'wall s':>9}{'MB/s':>9}{'vs baseline':>22}{'peak RSS MB':>13}")
    for name, r in runs.items():
        ratio = f"{median[name] / median[baseline[name]]:.2f}× {baseline[name]}" if name in baseline else ""
        print(f"{name:<24}{median[name]:>9.2f}{size / 1e6 / median[name]:>9.0f}{ratio:>22}"
              f"{max(m for _, m in r) / 1e6:>13,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
