"""Demo: make a realistic sample stream, move it through quillon_native, then run the
`quillon` command on it."""
import argparse
import json
import os
import pathlib
import shlex
import subprocess
import sys
import time

import numpy as np

import quillon_native as qn

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import gen_stream  # noqa: E402


def timed(fn, *args, repeat=2):
    """The result of fn(*args) and its best time over `repeat` calls."""
    best = float("inf")
    for _ in range(repeat):
        out = None
        t0 = time.perf_counter()
        out = fn(*args)
        best = min(best, time.perf_counter() - t0)
    return out, best


def mb_s(nbytes, seconds):
    return nbytes / 1e6 / seconds if seconds > 0 else float("inf")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--size", default="200M", help="size of the sample stream (default 200M)")
    ap.add_argument("--dir", default=str(ROOT / "bench" / "data"), help="where to put the sample")
    args = ap.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    path = pathlib.Path(args.dir) / f"demo_{args.size}.stream"
    if not path.exists():
        print(f"making a sample stream of about {args.size} at {path} ...")
        gen_stream.generate(path, gen_stream.parse_size(args.size), seed=1)
    size = path.stat().st_size
    panel_names = pathlib.Path(str(path) + ".panels").read_text().split()
    with open(path, "rb") as f:  # warm the page cache so timings compare like with like
        while f.read(1 << 24):
            pass
    print(f"sample: {path} ({size / 1e6:.1f} MB, {len(panel_names)} panels)\n")

    print("index_chunks")
    rows = None
    for n in (1, 2):
        rows, dt = timed(qn.index_chunks, path, n)
        print(f"  n_threads={n}: {len(rows)} chunks, {int(rows[:, 2].sum())} crystals, "
              f"{int(rows[:, 3].sum())} reflection rows (upper bound), {size / 1e6:.1f} MB "
              f"in {dt:.3f} s = {mb_s(size, dt):.0f} MB/s")
    assert np.array_equal(rows, qn.index_chunks(path, 1))

    print("\nparse_chunks")
    for n in (1, 2):
        (cols, filenames, events, report), dt = timed(qn.parse_chunks, path, rows, panel_names, n)
        print(f"  n_threads={n}: {len(cols['I'])} observations, {len(cols['n_refl'])} crystals, "
              f"{len(cols['beam_energy'])} images in {dt:.3f} s = {mb_s(size, dt):.0f} MB/s")
    print(f"  report: {report or 'nothing excluded'}")

    print("\nwrite_stream (round trip)")
    out = path.with_suffix(".roundtrip.stream")
    header = path.read_bytes()[: int(rows[0, 0])].decode()
    for n in (1, 2):
        out.unlink(missing_ok=True)
        _, dt = timed(qn.write_stream, out, cols, filenames, events, panel_names,
                      "tetragonal", "P", "c", header, n)
        written = out.stat().st_size
        print(f"  n_threads={n}: wrote {written / 1e6:.1f} MB in {dt:.3f} s = {mb_s(written, dt):.0f} MB/s")
    rows2 = qn.index_chunks(out, 2)
    cols2, filenames2, events2, _ = qn.parse_chunks(out, rows2, panel_names, 2)
    # The text holds each value to a fixed number of decimals; the resolution travels
    # as 10/resolution in nm^-1 with two decimals.
    same = (filenames2 == filenames and events2 == events and
            all(np.allclose(cols[k], cols2[k], rtol=1e-5, atol=1e-2, equal_nan=True)
                for k in cols if k != "resolution") and
            np.allclose(10 / cols["resolution"], 10 / cols2["resolution"], atol=0.0051))
    print(f"  parse(write(parse(sample))) agrees with parse(sample): {'yes' if same else 'NO'}")
    out.unlink()
    command_ok = quillon_command(path, pathlib.Path(args.dir) / "quillon_demo")
    return 0 if same and command_ok else 1


def quillon_command(sample, out):
    """The `quillon` command on the sample: a summary, a filter, Parquet tables, plots, a
    merge to MTZ and its figures of merit."""
    out.mkdir(exist_ok=True)
    script = pathlib.Path(sys.executable).with_name("quillon")
    quillon = [str(script)] if script.exists() else [sys.executable, "-m", "quillon.cli"]
    steps = [
        ["info", sample],
        ["filter", sample, out / "good.stream", "--cell", "79.1,79.1,38.0,90,90,90",
         "--tolerance", "0.3%,0.1", "--images-with-crystals"],
        ["info", "--json", out / "good.stream"],
        ["convert", sample, out / "sample.parquet"],
        ["plot", "cells", sample, "-o", out / "cells.png"],
        ["plot", "resolution", sample, "-o", out / "resolution.png"],
        ["plot", "panels", sample, "-o", out / "panels.png"],
        ["merge", sample, out / "merged.mtz", "--symmetry", "4/mmm"],
        ["stats", sample, "--symmetry", "4/mmm"],
        ["plot", "stats", sample, "--symmetry", "4/mmm", "-o", out / "stats.png"],
    ]
    print("\nthe quillon command")
    for step in steps:
        args = [str(a) for a in step]
        print(f"$ quillon {shlex.join(args)}", flush=True)
        t0 = time.perf_counter()
        proc = subprocess.run([*quillon, *args], capture_output=True, text=True)
        dt = time.perf_counter() - t0
        text = proc.stdout
        if args[:2] == ["info", "--json"] and proc.returncode == 0:  # a taste of the JSON
            report = json.loads(proc.stdout)
            text = (f'"total": {json.dumps(report["total"])}\n'
                    f'"cell" of the first file: {json.dumps(report["files"][0]["cell"])}')
        for part in (text, proc.stderr):
            if part.strip():
                print(part.rstrip("\n"))
        print(f"  ({dt:.2f} s, exit status {proc.returncode})")
        if proc.returncode != 0:
            return False
    print(f"Parquet tables, plots and the merged MTZ file in {out}")
    return True


if __name__ == "__main__":
    sys.exit(main())
