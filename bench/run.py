#!/usr/bin/env python3
"""Throughput and memory of quillon_native against plain baselines.

    python3 bench/run.py --size 1G [--threads 1,2] [--rounds 5] [--repeat 3] [--file PATH]
                         [--blas-threads N]

Generates the stream under bench/data/ when it is missing (with its panel
names and its expected columns, see gen_stream.py), reads it once into the
page cache, then measures in interleaved rounds.  Each round runs, in this
order: ``cat FILE > /dev/null``; ``index_chunks``, ``parse_chunks`` and
``write_stream`` at every ``--threads`` count; the pure-Python reader (over a
prefix of the file, ``--py-bytes``) and the pure-Python writer (first images,
about ``--py-bytes`` of output).  Every measurement is a fresh Python process
(this script with ``--worker``) that imports the module, then times the first
call, as a script calling each function once would see it; it also makes
``--repeat`` - 1 more calls, whose best (with the first) is a second column.

The table shows per measurement the median over the rounds with the min-max,
index as a share of cat's speed, parse and write as multiples of the Python
baselines, the gain of every thread count over the first one, and the peak
resident memory of each native first call (VmHWM reset just before it) next
to the byte size of the columns it produces or consumes.  MB means 10**6
bytes, MiB 2**20.  Functions that raise NotImplementedError are shown as
"not available".

``--blas-threads N`` sets OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and
MKL_NUM_THREADS to N in the worker processes (by default they inherit the
environment as it is; the header says which).  NumPy's bundled BLAS starts its
thread pool at ``import numpy`` and those threads spin for a while afterwards,
right when the timed first call starts: on a machine with few cores they take
a share of the cores the measured threads run on, and a multi-threaded call
waits for its slowest thread.  No measured function uses BLAS, so
``--blas-threads 1`` removes that noise without changing what is measured; the
default shows what a script that just imported NumPy sees.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import resource
import shlex
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DATA = BENCH / "data"
sys.path.insert(0, str(BENCH))

BEGIN_CHUNK = b"----- Begin chunk -----"
# The thread-count variables of the BLAS libraries NumPy may be built with.
BLAS_VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


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


def timed(fn, repeat: int, before=None, after_first=None):
    """Time ``fn`` ``repeat`` times; return (first call, best call, value of the first call).

    ``before`` runs ahead of every call and ``after_first`` right after the
    first, both outside the timed region.  The first value is kept (it is what
    a script calling the function once gets); later values are dropped as soon
    as they are made.
    """
    if before is not None:
        before()
    t0 = time.perf_counter()
    first_value = fn()
    first = time.perf_counter() - t0
    if after_first is not None:
        after_first()
    best = first
    for _ in range(repeat - 1):
        if before is not None:
            before()
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return first, best, first_value


def before_call() -> tuple[int, bool]:
    reset = reset_peak_rss()
    return proc_status_kb("VmRSS"), reset


class PeakMemory:
    """VmHWM reset before the first call and read right after it."""

    def __init__(self):
        self.before_kb, self.reset = before_call()
        self.result: dict = {}

    def read(self) -> None:
        self.result = {"rss_before": self.before_kb * 1024, "hwm": proc_status_kb("VmHWM") * 1024,
                       "hwm_reset": self.reset,
                       "ru_maxrss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}


def worker(job: dict) -> dict:
    kind = job["kind"]
    path = job["file"]
    repeat = max(1, job.get("repeat", 1))
    threads = job.get("threads", 1)
    if kind == "py_parse":
        import pure_python
        panels = read_panels(path)
        first, best, (cols, n_bytes) = timed(
            lambda: pure_python.parse_reflections(path, panels, job["max_bytes"]), repeat)
        return {"status": "ok", "seconds": first, "best": best, "bytes": n_bytes, "rows": len(cols["I"])}
    if kind == "py_write":
        import gen_stream
        import pure_python
        arrays, filenames, events = gen_stream.load_columns(job["columns"])
        sub, names, evs = first_images(arrays, filenames, events, job["images"])
        del arrays
        header = read_header(path)
        panels = read_panels(path)
        first, best, _ = timed(lambda: pure_python.write_stream(job["out"], sub, names, evs, panels,
                                                                *job["cell"], header),
                               repeat, before=lambda: Path(job["out"]).unlink(missing_ok=True))
        return {"status": "ok", "seconds": first, "best": best, "bytes": os.path.getsize(job["out"]),
                "images": len(sub["beam_energy"])}

    qn = import_native(job.get("module_dir"))
    result: dict = {"status": "ok"}
    try:
        if kind == "probe":
            return {"status": "ok", "module": qn.__file__, "version": getattr(qn, "__version__", "?"),
                    "blas": {v: os.environ.get(v) for v in BLAS_VARS}}
        if kind == "index":
            mem = PeakMemory()
            first, best, chunks = timed(lambda: qn.index_chunks(path, n_threads=threads), repeat,
                                        after_first=mem.read)
            result.update(mem.result, seconds=first, best=best, bytes=os.path.getsize(path),
                          columns_bytes=chunks.nbytes, chunks=len(chunks),
                          crystals=int(chunks[:, 2].sum()), obs_upper=int(chunks[:, 3].sum()))
        elif kind == "parse":
            panels = read_panels(path)
            chunks = qn.index_chunks(path)
            mem = PeakMemory()
            first, best, out = timed(lambda: qn.parse_chunks(path, chunks, panels, n_threads=threads),
                                     repeat, after_first=mem.read)
            columns, filenames, events, report = out
            result.update(mem.result, seconds=first, best=best, bytes=os.path.getsize(path),
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
            out = Path(job["out"])
            mem = PeakMemory()
            # Every call writes a new file: truncating the previous call's output
            # (a gigabyte in the page cache) is not part of writing.
            first, best, _ = timed(lambda: qn.write_stream(out, arrays, filenames, events, panels,
                                                           *job["cell"], header, n_threads=threads),
                                   repeat, before=lambda: out.unlink(missing_ok=True), after_first=mem.read)
            result.update(mem.result, seconds=first, best=best, bytes=os.path.getsize(out),
                          columns_bytes=columns_nbytes(arrays))
            if not job.get("keep"):
                out.unlink()  # its dirty pages are dropped, not written back during the next measurement
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


def worker_env(blas_threads: int | None) -> dict[str, str] | None:
    """The environment of the worker processes: this one's, with the BLAS thread
    counts set to ``blas_threads`` unless it is None (then None: inherit as it is)."""
    if blas_threads is None:
        return None
    return {**os.environ, **{v: str(blas_threads) for v in BLAS_VARS}}


def blas_note(env: dict[str, str] | None, blas_threads: int | None) -> str:
    """The header line saying which BLAS thread setting the workers run with."""
    values = env if env is not None else os.environ
    shown = ", ".join(f"{v}={values[v]}" if v in values else f"{v} unset" for v in BLAS_VARS)
    how = (f"set by --blas-threads {blas_threads}" if blas_threads is not None
           else "as in the environment (--blas-threads not given)")
    return f"{shown}; {how}"


def run_worker(job: dict, env: dict[str, str] | None = None) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(job)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
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


def time_cat(path) -> dict:
    """``cat FILE > /dev/null`` once, timed from start to exit of the cat process."""
    t0 = time.perf_counter()
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)
    return {"status": "ok", "seconds": time.perf_counter() - t0, "bytes": os.path.getsize(path)}


# ---------------------------------------------------------------------------
# Rounds and their summary

CAT, PY_PARSE, PY_WRITE = ("cat", 0), ("py_parse", 0), ("py_write", 0)


def round_plan(threads: list[int], native: bool = True, write: bool = True) -> list[tuple[str, int]]:
    """The measurements of one round, in the order they run: ``(kind, threads)``.

    ``cat`` first, then every native call at every thread count, then the
    Python baselines; thread count 0 marks a measurement without one.
    """
    plan = [CAT]
    for kind in ("index", "parse") + (("write",) if write else ()):
        plan += [(kind, t) for t in threads] if native else []
    plan.append(PY_PARSE)
    if write:
        plan.append(PY_WRITE)
    return plan


def mbs(n_bytes: int, seconds: float) -> float:
    return n_bytes / 1e6 / seconds


def speeds(runs: list[dict], field: str = "seconds") -> list[float | None]:
    """MB/s of each round (None where the round did not succeed)."""
    return [mbs(r["bytes"], r[field]) if r.get("status") == "ok" and r.get(field) else None for r in runs]


def spread(values) -> tuple[float, float, float] | None:
    """(median, min, max) of the values that are not None; None when there are none."""
    vals = [v for v in values if v is not None]
    if not vals:
        return None
    return statistics.median(vals), min(vals), max(vals)


def ratio(a: list[float | None], b: list[float | None]) -> tuple[float, float, float] | None:
    """Median of ``a`` over median of ``b``, with the min and max of the ratios within a round."""
    ma, mb_ = spread(a), spread(b)
    if ma is None or mb_ is None or mb_[0] == 0:
        return None
    per_round = [x / y for x, y in zip(a, b) if x is not None and y]
    lo, hi = (min(per_round), max(per_round)) if per_round else (math.nan, math.nan)
    return ma[0] / mb_[0], lo, hi


def fmt_speed(s: tuple[float, float, float] | None) -> str:
    if s is None:
        return "-"
    digits = 1 if s[0] < 100 else 0
    return f"{s[0]:,.{digits}f} ({s[1]:,.{digits}f}–{s[2]:,.{digits}f})"


def fmt_ratio(r: tuple[float, float, float] | None, percent: bool = False) -> str:
    if r is None:
        return "-"
    if percent:
        return f"{r[0] * 100:.1f}% ({r[1] * 100:.1f}–{r[2] * 100:.1f})"
    return f"×{r[0]:.2f} ({r[1]:.2f}–{r[2]:.2f})"


def status_of(runs: list[dict]) -> str:
    """'ok' when some round succeeded, else the first failure's status."""
    if any(r.get("status") == "ok" for r in runs):
        return "ok"
    return runs[0].get("status", "missing") if runs else "missing"


def align(rows: list[list[str]]) -> list[str]:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]


def speed_table(results: dict, threads: list[int], repeat: int) -> list[str]:
    """The throughput table: one line per measurement, ratios to its baseline and to the first thread count."""
    t0 = threads[0]
    head = ["work", "threads", "first call MB/s", "vs baseline", f"vs {t0}t"]
    if repeat > 1:
        head.append(f"best of {repeat} calls MB/s")
    rows = [head]
    baselines = {"index": (CAT, "of cat"), "parse": (PY_PARSE, "Python"), "write": (PY_WRITE, "Python")}
    names = {CAT: "cat", PY_PARSE: "Python parse", PY_WRITE: "Python write"}
    blank = [""] if repeat > 1 else []
    for key in [CAT, ("index", None), PY_PARSE, ("parse", None), PY_WRITE, ("write", None)]:
        if key[1] is None:
            kind = key[0]
            base_key, word = baselines[kind]
            base = speeds(results.get(base_key, []))
            one = speeds(results.get((kind, t0), []))
            for t in threads:
                runs = results.get((kind, t), [])
                st = status_of(runs)
                if st != "ok":
                    rows.append([kind, str(t), st, "", ""] + blank)
                    continue
                first = speeds(runs)
                vs_base = fmt_ratio(ratio(first, base), percent=kind == "index") + " " + word
                row = [kind, str(t), fmt_speed(spread(first)), vs_base if spread(base) else "-",
                       fmt_ratio(ratio(first, one)) if t != t0 else ""]
                if repeat > 1:
                    row.append(fmt_speed(spread(speeds(runs, "best"))))
                rows.append(row)
        elif key in results:
            runs = results[key]
            st = status_of(runs)
            if st != "ok":
                rows.append([names[key], "1", st, "", ""] + blank)
                continue
            ok = [r for r in runs if r.get("status") == "ok"]
            note = {CAT: "reads the whole file",
                    PY_PARSE: f"first {mb(ok[0]['bytes'])} of the file",
                    PY_WRITE: f"first {ok[0].get('images')} images, {mb(ok[0]['bytes'])}"}[key]
            rows.append([names[key], "1", fmt_speed(spread(speeds(runs))), note, ""] + blank)
    return align(rows)


MIB = 1 << 20


def mib(n_bytes: float) -> str:
    return f"{n_bytes / MIB:,.1f}"


def peak_of(r: dict) -> int:
    return r["hwm"] if r["hwm_reset"] else r["ru_maxrss"]


def memory_table(results: dict, threads: list[int]) -> list[str]:
    """Peak memory of each native first call, medians over the rounds, in MiB."""
    rows = [["call", "threads", "before", "peak", "added (max)", "columns", "peak/columns", "added/columns"]]
    for name, kind, what in (("index_chunks", "index", "chunk rows"), ("parse_chunks", "parse", "output"),
                             ("write_stream", "write", "input")):
        for t in threads:
            runs = results.get((kind, t), [])
            ok = [r for r in runs if r.get("status") == "ok"]
            if not ok:
                rows.append([name, str(t), status_of(runs), "", "", "", "", ""])
                continue
            before = statistics.median(r["rss_before"] for r in ok)
            peak = statistics.median(peak_of(r) for r in ok)
            added = [peak_of(r) - r["rss_before"] for r in ok]
            cols = ok[0]["columns_bytes"]
            per_cols = name != "index_chunks" and cols
            rows.append([name, str(t), mib(before), mib(peak),
                         f"{mib(statistics.median(added))} ({mib(max(added))})", f"{mib(cols)} ({what})",
                         f"{peak / cols:.2f}" if per_cols else "-",
                         f"{statistics.median(added) / cols:.2f}" if per_cols else "-"])
    return align(rows)


def mb(n_bytes: int) -> str:
    if abs(n_bytes) < 1e6:
        return f"{n_bytes / 1e3:,.1f} kB"
    return f"{n_bytes / 1e6:,.1f} MB"


def loadavg() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "?"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="1G", help="size of the generated stream (10M, 1G, ...)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--file", help="benchmark this stream instead of a generated one")
    ap.add_argument("--threads", default="1,2", help="comma-separated thread counts")
    ap.add_argument("--rounds", type=int, default=5, help="interleaved rounds; each cell is their median")
    ap.add_argument("--repeat", type=int, default=3,
                    help="calls of each native function per process: the first is the headline, "
                         "the best of all is the second column (1: first call only)")
    ap.add_argument("--py-bytes", default="100M", help="input read / output written by the Python baselines")
    ap.add_argument("--module-dir", help="directory holding the built quillon_native module")
    ap.add_argument("--out-dir", default=str(DATA), help="where the written streams go (default bench/data)")
    ap.add_argument("--keep-output", action="store_true", help="keep the written streams")
    ap.add_argument("--blas-threads", type=int, metavar="N",
                    help="set OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and MKL_NUM_THREADS to N in the "
                         "worker processes (default: leave the environment as it is)")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return 0
    if args.rounds < 1 or args.repeat < 1:
        ap.error("--rounds and --repeat must be at least 1")
    if args.blas_threads is not None and args.blas_threads < 1:
        ap.error("--blas-threads must be at least 1")
    env = worker_env(args.blas_threads)

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
    print(f"load    : {loadavg()} (1, 5, 15 min) before the rounds", flush=True)
    print(f"blas    : {blas_note(env, args.blas_threads)}")
    common = {"file": str(path), "module_dir": args.module_dir}
    probe = run_worker({**common, "kind": "probe"}, env)
    native = probe["status"] == "ok"
    print(f"module  : {probe['module'] + ' (' + probe['version'] + ')' if native else 'not importable: ' + probe.get('reason', '')}")
    print(f"file    : {path}, {mb(size)}, {len(panels)} panel names", flush=True)

    # Columns for the writers: the generator's, or a parse of the file saved once.
    columns_dir = expected
    if columns_dir is None:
        columns_dir = DATA / (path.name + ".parsed")
        if native and not (columns_dir / "meta.json").exists():
            run_worker({**common, "kind": "parse", "save": str(columns_dir)}, env)
    have_columns = (columns_dir / "meta.json").exists()
    images = 0
    if have_columns:
        meta = json.loads((columns_dir / "meta.json").read_text())
        n_obs, n_img = meta["I"][1], meta["beam_energy"][1]
        # About py_bytes of output at ~80 bytes per reflection row.
        images = max(1, min(n_img, int(n_img * py_bytes / max(1, n_obs * 80))))

    out_dir = Path(args.out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    write_out = out_dir / "out_native.stream"
    py_out = out_dir / "out_python.stream"
    subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    plan = round_plan(threads, native, have_columns)
    results: dict = {key: [] for key in plan}
    for rnd in range(args.rounds):
        print(f"round {rnd + 1}/{args.rounds} ...", flush=True)
        for kind, t in plan:
            job = {**common, "kind": kind, "threads": t, "repeat": args.repeat}
            if kind == "cat":
                r = time_cat(path)
            elif kind == "py_parse":
                r = run_worker({**job, "repeat": 1, "max_bytes": py_bytes}, env)
            elif kind == "py_write":
                r = run_worker({**job, "repeat": 1, "columns": str(columns_dir), "images": images,
                                "out": str(py_out), "cell": cell}, env)
            elif kind == "parse":
                # The comparison with the expected columns runs once, after the timed calls.
                r = run_worker({**job, "expected": str(expected) if expected and rnd == 0 else None}, env)
            elif kind == "write":
                r = run_worker({**job, "columns": str(columns_dir), "out": str(write_out), "cell": cell,
                                "keep": rnd == args.rounds - 1 and t == threads[0]}, env)
            else:
                r = run_worker(job, env)
            results[(kind, t)].append(r)

    print()
    print(f"timings : the first call of each function in a fresh Python process (import outside the timed "
          f"region), file in the page cache; median of {args.rounds} interleaved rounds (min–max); "
          f"MB = 10^6 bytes")
    print(f"          ratios: median over median (min–max of the ratio within a round); "
          f"cat's time includes starting cat")
    print(f"load    : {loadavg()} (1, 5, 15 min) after the rounds")
    print()
    for line in speed_table(results, threads, args.repeat):
        print(line)

    print()
    print("peak memory of the first call (VmHWM of a fresh process, reset just before the call); "
          "MiB = 2^20 bytes; medians over the rounds")
    for line in memory_table(results, threads):
        print(line)

    print()
    if native:
        for t in threads:
            r = next((r for r in results[("index", t)] if r.get("status") == "ok"), None)
            if r:
                print(f"index_chunks {t}t: {r['chunks']} chunks, {r['crystals']} crystals, "
                      f"{r['obs_upper']} rows (upper bound)")
            r = next((r for r in results[("parse", t)] if r.get("status") == "ok"), None)
            if r:
                line = f"parse_chunks {t}t: {r['images']} images, {r['crystals']} crystals, {r['rows']} rows"
                if "matches" in r:
                    line += f"; equals the generator's columns: {r['matches']}"
                if r["report"]:
                    line += f"; exclusions {r['report']}"
                print(line)
    for (kind, t), runs in results.items():
        for rnd, r in enumerate(runs):
            if r.get("status") not in ("ok", "not available"):
                print(f"error in {kind} ({t}t), round {rnd + 1}: {r.get('reason')}")
    if not have_columns:
        print("write: no input columns (they come from the generator or from parse_chunks of --file)")
    if have_columns and native and write_out.exists() and py_out.exists():
        n = py_out.stat().st_size
        with open(py_out, "rb") as a, open(write_out, "rb") as b:
            same = a.read() == b.read(n)
        print(f"write_stream output starts with the Python writer's {images} images: {'yes' if same else 'NO'}")
    if not args.keep_output:
        for p in (write_out, py_out):
            p.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
