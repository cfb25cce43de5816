#!/usr/bin/env python3
"""quillon.dask on a local cluster against quillon.read in one process.

    python3 bench/dask_scale.py [--files 4] [--size 250M] [--blocksize "64 MiB"] [--workers 2]
                                [--saturation 1.0] [--trim-threshold N|unset]

Generates ``--files`` streams of ``--size`` under bench/data/ when missing (different
seeds, so different panels), reads them once into the page cache, measures one partition in
this process (its columns, and the peak growth of memory while it and its three tables are
built: the unit of the memory figures), then, for the three tables and for the observations
alone, each on a fresh ``distributed.LocalCluster`` of WORKERS single-threaded worker
processes, prints:

- one process: ``quillon.read(p, n_threads=WORKERS)`` of each file and its tables;
- Dask: ``quillon.dask.read(paths, blocksize=...)`` and the tables of every partition built
  on the workers (only their lengths come back), in one computation;
- per worker: its peak resident memory (``VmHWM``, reset after a warm-up read) above its
  memory before the reads, in partitions; how many parsed partitions and tables it held at
  once at most, and how many parsed partitions it fetched from the other worker (a worker
  plugin watching task states); its memory after the reads, before and after
  ``malloc_trim(0)`` (what glibc kept of freed memory);
- the scheduler's rate on a graph of ``--noop-tasks`` tasks that do nothing.

The two timings alternate, ``--repeat`` times each, and each is the best of its runs: on a
machine shared with other work they see the same load. MB means 10**6 bytes.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
from distributed import WorkerPlugin

BENCH = Path(__file__).resolve().parent
DATA = BENCH / "data"
sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(BENCH.parent / "python"))

import gen_stream  # noqa: E402


def stream_files(n: int, size: str) -> list[Path]:
    paths = []
    for seed in range(1, n + 1):
        path = DATA / f"dask_{size}_{seed}.stream"
        if not path.exists():
            DATA.mkdir(parents=True, exist_ok=True)
            info = gen_stream.generate(path, gen_stream.parse_size(size), seed=seed)
            print(f"generated {path.name}: {info['bytes'] / 1e6:.0f} MB", flush=True)
        paths.append(path)
    return paths


def best(repeat: int, *runs):
    """The best time and the result of each of ``runs``, run in turn ``repeat`` times: on a
    machine shared with other work, the runs compared see the same load."""
    times = [[] for _ in runs]
    results = [None] * len(runs)
    for _ in range(repeat):
        for k, run in enumerate(runs):
            t0 = time.perf_counter()
            results[k] = run()
            times[k].append(time.perf_counter() - t0)
    return [(min(t), r) for t, r in zip(times, results)]


def proc_status_mib(field: str) -> float:
    """``VmRSS`` (now) or ``VmHWM`` (peak) of this process, from /proc/self/status."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise KeyError(field)


def reset_peak() -> float:
    """Start a new ``VmHWM`` from the memory now (Linux: writing 5 to clear_refs)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return proc_status_mib("VmRSS")


def trimmed_rss_mib() -> tuple[float, float]:
    """RSS before and after ``malloc_trim(0)``: what glibc kept of memory freed by Python."""
    import ctypes
    before = proc_status_mib("VmRSS")
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return before, proc_status_mib("VmRSS")


class AliveCounter(WorkerPlugin):
    """A worker plugin: how many results of each kind of task (parse, table) the worker
    held at once, at most."""

    name = "alive-counter"
    KINDS = {"parse-stream": "parsed", "observations": "tables", "crystals": "tables",
             "images": "tables"}

    def setup(self, worker):
        self.alive = {"parsed": 0, "tables": 0}
        self.most = {"parsed": 0, "tables": 0, "parsed, fetched": 0}
        worker.alive_counter = self

    def transition(self, key, start, finish, **kwargs):
        name = key if isinstance(key, str) else key[0]
        kind = self.KINDS.get(name.rsplit("-", 1)[0])
        if kind is None or (start == "memory") == (finish == "memory"):
            return
        self.alive[kind] += 1 if finish == "memory" else -1
        if kind == "parsed" and start == "flight":  # a copy from another worker
            self.most["parsed, fetched"] += 1
        self.most[kind] = max(self.most[kind], self.alive[kind])


def most_alive(dask_worker) -> dict[str, int]:
    return dict(dask_worker.alive_counter.most)


def partition_mib(path: Path, blocksize: int) -> tuple[float, float]:
    """The first partition of ``path`` in this process: the MiB of its parsed columns, and the
    peak growth of this process's memory while parsing it and building its three tables."""
    import quillon.dask as qd

    rows, header, panels = qd._index_file(str(path), None, 1)
    block = qd._blocks(rows, blocksize)[0]
    start = reset_peak()
    part = qd._parse_block(str(path), block, panels, header, 1)
    tables = [qd._table(part, np.zeros(3, dtype=np.int64), t, panels) for t in qd.TABLES]
    columns = sum(a.nbytes for a in part.columns.values()) / 2**20
    del part, tables
    return columns, proc_status_mib("VmHWM") - start


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=4)
    ap.add_argument("--size", default="250M", help="size of each generated stream")
    ap.add_argument("--blocksize", default="64 MiB")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--noop-tasks", type=int, default=5000)
    ap.add_argument("--saturation", default=None,
                    help="the scheduler's distributed.scheduler.worker-saturation (Dask's "
                         "default: 1.1)")
    ap.add_argument("--trim-threshold", default=None,
                    help="MALLOC_TRIM_THRESHOLD_ of the workers ('unset': glibc's dynamic "
                         "threshold; default: distributed's setting)")
    args = ap.parse_args(argv)

    import dask
    import quillon
    import quillon.dask as qd
    from distributed import Client, LocalCluster

    paths = stream_files(args.files, args.size)
    blocksize = quillon.parse_size(args.blocksize)
    columns_mib, part_mib = partition_mib(paths[0], blocksize)
    total = sum(p.stat().st_size for p in paths)
    for p in paths:  # into the page cache
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass

    def one_process():
        n = 0
        for p in paths:
            s = quillon.read(p, n_threads=args.workers)
            n += len(s.observations) + len(s.crystals) + len(s.images)
        return n

    print(f"{args.files} files, {total / 1e6:.0f} MB; blocksize {args.blocksize}")

    print(f"one partition of {args.blocksize} of text, in this process: {columns_mib:.0f} MiB "
          f"of columns, {part_mib:.0f} MiB at its peak with its three tables (the unit below)")
    if args.trim_threshold is not None:  # the environment of the worker processes
        environ = dask.config.get("distributed.nanny.pre-spawn-environ")
        if args.trim_threshold == "unset":
            environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        else:
            environ["MALLOC_TRIM_THRESHOLD_"] = int(args.trim_threshold)
        dask.config.set({"distributed.nanny.pre-spawn-environ": environ})
    if args.saturation is not None:  # the scheduler runs in this process
        dask.config.set({"distributed.scheduler.worker-saturation": float(args.saturation)})
    print("scheduler's worker-saturation:",
          dask.config.get("distributed.scheduler.worker-saturation"))
    print("workers' MALLOC_TRIM_THRESHOLD_:",
          dask.config.get("distributed.nanny.pre-spawn-environ").get("MALLOC_TRIM_THRESHOLD_",
                                                                     "unset (glibc's dynamic)"))

    cases = {"all three tables": qd.TABLES, "observations only": ("observations",)}
    for case, tables in cases.items():
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, memory_limit=0) as cluster, \
                Client(cluster) as client:
            # Warm up: the first table a worker builds imports pandas and pyarrow.
            qd.read(paths[0], blocksize=1).images.partitions[:2].compute()
            client.register_plugin(AliveCounter())
            start_rss = client.run(reset_peak)

            def on_cluster():
                ds = qd.read(paths, blocksize=args.blocksize)
                lengths = dask.compute(*[getattr(ds, t).map_partitions(len).sum() for t in tables])
                return ds.npartitions, int(sum(lengths))

            (t_one, rows_one), (t_dask, (n_parts, rows_dask)) = best(args.repeat, one_process,
                                                                     on_cluster)
            if len(tables) == 3:
                assert rows_dask == rows_one, (rows_dask, rows_one)
            peaks = client.run(proc_status_mib, "VmHWM")
            alive = client.run(most_alive)
            trimmed = client.run(trimmed_rss_mib)
            print(f"one process, quillon.read on {args.workers} threads + tables: "
                  f"{t_one:6.2f} s  {total / 1e6 / t_one:7.1f} MB/s")
            print(f"Dask, {args.workers} workers x 1 thread, {n_parts} partitions, {case}: "
                  f"{t_dask:6.2f} s  {total / 1e6 / t_dask:7.1f} MB/s  "
                  f"({t_one / t_dask:.2f}x one process)")
            for address, peak in peaks.items():
                grown = peak - start_rss[address]
                rss, after_trim = trimmed[address]
                print(f"  worker {address}: peak RSS {peak:5.0f} MiB, {grown:4.0f} MiB above its "
                      f"start = {grown / part_mib:.1f} partitions; at most "
                      f"{alive[address]['parsed']} parsed partitions and "
                      f"{alive[address]['tables']} tables held at once, "
                      f"{alive[address]['parsed, fetched']} parsed fetched from the other; "
                      f"after the read RSS "
                      f"{rss - start_rss[address]:.0f} MiB above start, "
                      f"{after_trim - start_rss[address]:.0f} after malloc_trim")
            if case == "observations only" and args.noop_tasks:
                noop = [dask.delayed(int, pure=False)(k) for k in range(args.noop_tasks)]
                [(t_noop, _)] = best(args.repeat, lambda: dask.compute(*noop))
                print(f"scheduler: {args.noop_tasks} no-op tasks in {t_noop:.2f} s = "
                      f"{args.noop_tasks / t_noop:,.0f} tasks/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
