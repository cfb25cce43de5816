#!/usr/bin/env python3
"""Throughput and memory of quillon_native against plain baselines.

    python3 bench/run.py --size 1G [--threads 1,2] [--file PATH] [--repeat 3]

Generates the stream under bench/data/ when it is missing (with its panel
names and its expected columns, see gen_stream.py), reads it once into the
page cache, then prints one table:

- index: ``cat FILE > /dev/null`` against ``index_chunks``;
- parse: the pure-Python reflection reader (over a prefix of the file,
  ``--py-bytes``) against ``parse_chunks`` of the whole file;
- write: the pure-Python writer (first images, about ``--py-bytes`` of output)
  against ``write_stream`` of all columns, in MB/s of output;

and the peak resident memory of each native call next to the byte size of
the columns it produces or consumes.  Every measurement runs in a fresh
Python process (this script with ``--worker``), so the high-water mark
belongs to that call alone.  Timings are the best of ``--repeat`` runs;
MB means 10**6 bytes.  Functions that raise NotImplementedError are shown
as "not available".
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import shlex
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DATA = BENCH / "data"
sys.path.insert(0, str(BENCH))

BEGIN_CHUNK = b"----- Begin chunk -----"


# ---------------------------------------------------------------------------
# Helpers shared by the driver and the workers


def import_native(module_dir: str | None = None):
    """Import quillon_native: installed, from --module-dir, or from a build tree."""
    if module_dir:
        sys.path.insert(0, module_dir)
    try:
        import quillon_native
        return quillon_native
    except ImportError:
        if module_dir:
            raise
    for so in sorted(REPO.glob("build*/**/quillon_native*.so"), key=lambda p: -p.stat().st_mtime):
        sys.path.insert(0, str(so.parent))
        try:
            import quillon_native
            return quillon_native
        except ImportError:
            sys.path.pop(0)
    raise ImportError("quillon_native is neither installed nor built under build*/")


def proc_status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak_rss() -> bool:
    """Lower VmHWM to the current RSS, so the peak seen next belongs to what runs next."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def read_header(path) -> str:
    """The text before the first chunk."""
    with open(path, "rb") as f:
        data = b""
        while True:
            block = f.read(1 << 20)
            data += block
            at = data.find(b"\n" + BEGIN_CHUNK)
            if data.startswith(BEGIN_CHUNK):
                return ""
            if at >= 0:
                return data[: at + 1].decode("utf-8", "replace")
            if not block:
                return data.decode("utf-8", "replace")


def read_panels(path) -> list[str]:
    p = Path(str(path) + ".panels")
    return p.read_text().split() if p.exists() else []


def columns_nbytes(arrays: dict) -> int:
    return sum(a.nbytes for a in arrays.values())


def save_columns(directory: Path, arrays: dict, filenames, events) -> None:
    """Store columns in the layout that gen_stream.load_columns reads."""
    directory.mkdir(parents=True, exist_ok=True)
    meta = {}
    for name, arr in arrays.items():
        arr.tofile(directory / f"{name}.bin")
        width = arr.shape[1] if arr.ndim == 2 else 1
        meta[name] = [str(arr.dtype), arr.shape[0], width]
    (directory / "filenames.txt").write_text("".join(s + "\n" for s in filenames), encoding="utf-8")
    (directory / "events.txt").write_text("".join(s + "\n" for s in events), encoding="utf-8")
    (directory / "meta.json").write_text(json.dumps(meta, indent=1) + "\n")


def first_images(arrays: dict, filenames, events, n_images: int):
    """The columns of the first ``n_images`` images (crystals grouped by image, in order)."""
    import numpy as np
    n_cryst = int(np.searchsorted(arrays["image_id"], n_images))
    n_obs = int(arrays["n_refl"][:n_cryst].sum())
    level = {"hkl": n_obs, "I": n_obs, "sigma": n_obs, "peak": n_obs, "background": n_obs,
             "fs": n_obs, "ss": n_obs, "panel_id": n_obs, "crystal_id": n_obs,
             "beam_energy": n_images, "det_shift_x": n_images, "det_shift_y": n_images,
             "camera_length": n_images, "n_peaks": n_images}
    sub = {k: v[: level.get(k, n_cryst)] for k, v in arrays.items()}
    return sub, filenames[:n_images], events[:n_images]


# ---------------------------------------------------------------------------
# Worker: one measurement in this (fresh) process, one JSON line on stdout


def timed(fn, repeat: int, before=None):
    best = float("inf")
    value = None
    for _ in range(repeat):
        value = None  # drop the previous result before the next call
        if before is not None:
            before()
        t0 = time.perf_counter()
        value = fn()
        best = min(best, time.perf_counter() - t0)
    return best, value


def memory(before_kb: int, reset: bool) -> dict:
    return {"rss_before": before_kb * 1024, "hwm": proc_status_kb("VmHWM") * 1024, "hwm_reset": reset,
            "ru_maxrss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}


def before_call() -> tuple[int, bool]:
    reset = reset_peak_rss()
    return proc_status_kb("VmRSS"), reset


def worker(job: dict) -> dict:
    kind = job["kind"]
    path = job["file"]
    repeat = job.get("repeat", 3)
    threads = job.get("threads", 1)
    if kind == "py_parse":
        import pure_python
        panels = read_panels(path)
        best, (cols, n_bytes) = timed(lambda: pure_python.parse_reflections(path, panels, job["max_bytes"]), repeat)
        return {"status": "ok", "seconds": best, "bytes": n_bytes, "rows": len(cols["I"])}
    if kind == "py_write":
        import gen_stream
        import pure_python
        arrays, filenames, events = gen_stream.load_columns(job["columns"])
        sub, names, evs = first_images(arrays, filenames, events, job["images"])
        del arrays
        header = read_header(path)
        panels = read_panels(path)
        best, _ = timed(lambda: pure_python.write_stream(job["out"], sub, names, evs, panels, *job["cell"], header),
                        repeat, before=lambda: Path(job["out"]).unlink(missing_ok=True))
        return {"status": "ok", "seconds": best, "bytes": os.path.getsize(job["out"]),
                "images": len(sub["beam_energy"])}

    qn = import_native(job.get("module_dir"))
    result: dict = {"status": "ok"}
    try:
        if kind == "probe":
            return {"status": "ok", "module": qn.__file__, "version": getattr(qn, "__version__", "?")}
        if kind == "index":
            before, reset = before_call()
            best, chunks = timed(lambda: qn.index_chunks(path, n_threads=threads), repeat)
            result.update(memory(before, reset), seconds=best, bytes=os.path.getsize(path),
                          columns_bytes=chunks.nbytes, chunks=len(chunks),
                          crystals=int(chunks[:, 2].sum()), obs_upper=int(chunks[:, 3].sum()))
        elif kind == "parse":
            panels = read_panels(path)
            chunks = qn.index_chunks(path)
            before, reset = before_call()
            best, out = timed(lambda: qn.parse_chunks(path, chunks, panels, n_threads=threads), repeat)
            columns, filenames, events, report = out
            result.update(memory(before, reset), seconds=best, bytes=os.path.getsize(path),
                          columns_bytes=columns_nbytes(columns), rows=len(columns["I"]),
                          crystals=len(columns["n_refl"]), images=len(columns["beam_energy"]),
                          report={k: list(v) for k, v in report.items()})
            if job.get("expected"):
                result["matches"] = compare_columns(columns, filenames, events, job["expected"])
            if job.get("save"):
                save_columns(Path(job["save"]), columns, filenames, events)
        elif kind == "write":
            import gen_stream
            arrays, filenames, events = gen_stream.load_columns(job["columns"])
            header = read_header(path)
            panels = read_panels(path)
            before, reset = before_call()
            # Every timed call writes a new file: truncating the previous run's output
            # (a gigabyte in the page cache) is not part of writing.
            best, _ = timed(lambda: qn.write_stream(job["out"], arrays, filenames, events, panels,
                                                    *job["cell"], header, n_threads=threads), repeat,
                            before=lambda: Path(job["out"]).unlink(missing_ok=True))
            result.update(memory(before, reset), seconds=best, bytes=os.path.getsize(job["out"]),
                          columns_bytes=columns_nbytes(arrays))
        else:
            raise ValueError(f"unknown job {kind}")
    except NotImplementedError as exc:
        return {"status": "not available", "reason": str(exc)}
    return result


def compare_columns(columns, filenames, events, expected_dir) -> str:
    """'yes' when the parse equals the generator's columns, else the first difference."""
    import numpy as np
    import gen_stream
    expected, names, evs = gen_stream.load_columns(expected_dir)
    for name, want in expected.items():
        got = columns.get(name)
        if got is None or got.dtype != want.dtype or got.shape != want.shape:
            return f"no: {name} has {None if got is None else (got.dtype, got.shape)}, expected {(want.dtype, want.shape)}"
        if not np.array_equal(got, want, equal_nan=want.dtype.kind == "f"):
            return f"no: {name} differs at row {int(np.argmax(np.any((got != want).reshape(len(got), -1), axis=1)))}"
    if list(filenames) != names or list(events) != evs:
        return "no: filenames or events differ"
    return "yes"


# ---------------------------------------------------------------------------
# Driver


def run_worker(job: dict) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(job)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        tail = proc.stderr.strip().splitlines()[-1:] or ["exit status %d" % proc.returncode]
        return {"status": "error", "reason": tail[0]}
    return json.loads(lines[-1])


def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    nproc = subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip() or str(os.cpu_count())
    import numpy
    return (f"nproc {nproc}, {model}, {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}, NumPy {numpy.__version__}")


def time_cat(path, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        subprocess.run(f"cat {shlex.quote(str(path))} > /dev/null", shell=True, check=True)
        best = min(best, time.perf_counter() - t0)
    return best


def mbs(n_bytes: int, seconds: float) -> float:
    return n_bytes / 1e6 / seconds


def mb(n_bytes: int) -> str:
    if abs(n_bytes) < 1e6:
        return f"{n_bytes / 1e3:,.1f} kB"
    return f"{n_bytes / 1e6:,.1f} MB"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="1G", help="size of the generated stream (10M, 1G, ...)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--file", help="benchmark this stream instead of a generated one")
    ap.add_argument("--threads", default="1,2", help="comma-separated thread counts")
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    ap.add_argument("--py-bytes", default="100M", help="input read / output written by the Python baselines")
    ap.add_argument("--module-dir", help="directory holding the built quillon_native module")
    ap.add_argument("--keep-output", action="store_true", help="keep the written streams in bench/data")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return 0

    import gen_stream
    threads = [int(t) for t in args.threads.split(",") if t.strip()]
    py_bytes = gen_stream.parse_size(args.py_bytes)
    DATA.mkdir(parents=True, exist_ok=True)

    if args.file:
        path = Path(args.file)
        expected = Path(str(path) + ".columns")
        expected = expected if (expected / "meta.json").exists() else None
    else:
        stem = f"stream_{args.size}_s{args.seed}"
        path = DATA / f"{stem}.stream"
        expected = DATA / f"{stem}.stream.columns"
        if not path.exists() or not (expected / "meta.json").exists():
            print(f"generating {path} ...", flush=True)
            t0 = time.perf_counter()
            gen_stream.generate(path, gen_stream.parse_size(args.size), args.seed, expected)
            print(f"  done in {time.perf_counter() - t0:.1f} s", flush=True)
    size = path.stat().st_size
    panels = read_panels(path)
    cell = [None, None, None]
    for line in read_header(path).splitlines():
        for i, key in enumerate(("lattice_type", "centering", "unique_axis")):
            if line.startswith(key + " = "):
                cell[i] = line.split(" = ", 1)[1].strip()

    print("quillon_native benchmark")
    print(f"command : {' '.join(shlex.quote(a) for a in [sys.executable] + sys.argv)}")
    print(f"machine : {machine()}")
    common = {"file": str(path), "repeat": args.repeat, "module_dir": args.module_dir}
    probe = run_worker({**common, "kind": "probe"})
    native = probe["status"] == "ok"
    print(f"module  : {probe['module'] + ' (' + probe['version'] + ')' if native else 'not importable: ' + probe.get('reason', '')}")
    print(f"file    : {path}, {mb(size)}, {len(panels)} panel names", flush=True)

    subprocess.run(f"cat {shlex.quote(str(path))} > /dev/null", shell=True, check=True)  # page cache
    cat_s = time_cat(path, args.repeat)

    def native_runs(kind: str, **extra) -> dict:
        if not native:
            return {t: {"status": "not available", "reason": "module not importable"} for t in threads}
        return {t: run_worker({**common, "kind": kind, "threads": t, **extra}) for t in threads}

    index = native_runs("index")
    py_parse = run_worker({**common, "kind": "py_parse", "max_bytes": py_bytes})

    # Columns for the writers: the generator's, or a parse of the file saved once.
    columns_dir = expected
    parse_extra = {"expected": str(expected) if expected else None}
    if columns_dir is None:
        columns_dir = DATA / (path.name + ".parsed")
        if not (columns_dir / "meta.json").exists():
            parse_extra["save"] = str(columns_dir)
    parse = native_runs("parse", **parse_extra)

    write_out = DATA / "out_native.stream"
    py_out = DATA / "out_python.stream"
    write: dict = {t: {"status": "not available", "reason": "no input columns"} for t in threads}
    py_write = {"status": "not available", "reason": "no input columns"}
    if (columns_dir / "meta.json").exists():
        meta = json.loads((columns_dir / "meta.json").read_text())
        n_obs, n_img = meta["I"][1], meta["beam_energy"][1]
        # About py_bytes of output at ~80 bytes per reflection row.
        images = max(1, min(n_img, int(n_img * py_bytes / max(1, n_obs * 80))))
        py_write = run_worker({**common, "kind": "py_write", "columns": str(columns_dir), "images": images,
                               "out": str(py_out), "cell": cell})
        write = native_runs("write", columns=str(columns_dir), out=str(write_out), cell=cell)

    print(f"timings : best of {args.repeat}, file in the page cache; MB = 10^6 bytes")
    print()
    t0 = threads[0]
    head = ["", "baseline"] + [f"{t} thread{'s' if t != 1 else ''}" for t in threads]
    rows = []

    def cells(runs: dict, base_mbs: float | None, base_word: str) -> list[str]:
        out = []
        for t in threads:
            r = runs[t]
            if r["status"] != "ok":
                out.append(r["status"])
                continue
            speed = mbs(r["bytes"], r["seconds"])
            notes = []
            if base_mbs:
                notes.append(f"{speed / base_mbs * 100:.0f}% of read" if base_word == "read"
                             else f"{speed / base_mbs:.1f}x faster")
            r0 = runs[t0]
            if t != t0 and r0["status"] == "ok":
                notes.append(f"x{speed / mbs(r0['bytes'], r0['seconds']):.2f} vs {t0}t")
            out.append(f"{speed:,.0f} MB/s" + (f" ({', '.join(notes)})" if notes else ""))
        return out

    cat_mbs = mbs(size, cat_s)
    rows.append(["index", f"cat: {cat_mbs:,.0f} MB/s"] + cells(index, cat_mbs, "read"))
    if py_parse["status"] == "ok":
        base = mbs(py_parse["bytes"], py_parse["seconds"])
        rows.append(["parse", f"Python: {base:,.1f} MB/s ({mb(py_parse['bytes'])})"] + cells(parse, base, "x"))
    else:
        rows.append(["parse", "Python: " + py_parse["status"]] + cells(parse, None, "x"))
    if py_write["status"] == "ok":
        base = mbs(py_write["bytes"], py_write["seconds"])
        rows.append(["write", f"Python: {base:,.1f} MB/s ({py_write['images']} images)"] + cells(write, base, "x"))
    else:
        rows.append(["write", "Python: " + py_write["status"]] + cells(write, None, "x"))
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    for r in [head] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())

    print()
    print("peak memory of each native call (VmHWM of a fresh process, reset just before the calls)")
    mhead = ["call", "threads", "before call", "peak", "added", "columns", "added/columns"]
    mrows = []
    for name, runs, what in (("index_chunks", index, "chunk rows"), ("parse_chunks", parse, "output"),
                             ("write_stream", write, "input")):
        for t in threads:
            r = runs[t]
            if r["status"] != "ok":
                mrows.append([name, str(t), r["status"], "", "", "", ""])
                continue
            peak = r["hwm"] if r["hwm_reset"] else r["ru_maxrss"]
            added = peak - r["rss_before"]
            cols = r["columns_bytes"]
            mrows.append([name, str(t), mb(r["rss_before"]), mb(peak), mb(added), f"{mb(cols)} ({what})",
                          f"{added / cols:.2f}" if name != "index_chunks" and cols else "-"])
    widths = [max(len(r[i]) for r in [mhead] + mrows) for i in range(len(mhead))]
    for r in [mhead] + mrows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())

    print()
    for t in threads:
        r = index[t]
        if r["status"] == "ok":
            print(f"index_chunks {t}t: {r['chunks']} chunks, {r['crystals']} crystals, {r['obs_upper']} rows (upper bound)")
        r = parse[t]
        if r["status"] == "ok":
            line = f"parse_chunks {t}t: {r['images']} images, {r['crystals']} crystals, {r['rows']} rows"
            if "matches" in r:
                line += f"; equals the generator's columns: {r['matches']}"
            if r["report"]:
                line += f"; exclusions {r['report']}"
            print(line)
    for runs in (index, parse, write):
        for t in threads:
            if runs[t]["status"] not in ("ok", "not available"):
                print(f"error ({t}t): {runs[t].get('reason')}")
    if not (columns_dir / "meta.json").exists():
        print("write: no input columns (they come from the generator or from parse_chunks of --file)")
    for name, r in (("Python parse", py_parse), ("Python write", py_write)):
        if r["status"] not in ("ok", "not available"):
            print(f"{name} error: {r.get('reason')}")
    if py_write["status"] == "ok" and any(write[t]["status"] == "ok" for t in threads):
        n = py_out.stat().st_size
        with open(py_out, "rb") as a, open(write_out, "rb") as b:
            same = a.read() == b.read(n)
        print(f"write_stream output starts with the Python writer's {py_write['images']} images: {'yes' if same else 'NO'}")
    if not args.keep_output:
        for p in (write_out, py_out):
            p.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
