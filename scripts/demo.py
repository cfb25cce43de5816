"""Demo: make a realistic sample stream and move it through quillon_native."""
import argparse
import os
import pathlib
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
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
