#!/usr/bin/env python3
"""quillon.dask on a local cluster against quillon.read in one process.

    python3 bench/dask_scale.py [--files 4] [--size 250M] [--blocksize "64 MiB"] [--workers 2]

Generates ``--files`` streams of ``--size`` under bench/data/ when missing (different
seeds, so different panels), reads them once into the page cache, then prints:

- one process: ``quillon.read(p, n_threads=WORKERS)`` of each file and its three tables;
- Dask: a ``distributed.LocalCluster`` of WORKERS single-threaded worker processes,
  ``quillon.dask.read(paths, blocksize=...)`` and the three tables of every partition
  built on the workers (only their lengths come back), in one computation; then the
  observations table alone, on a fresh cluster;
- the peak resident memory of each worker process (from ``getrusage`` in the worker)
  against its memory before the read (after a warm-up read of two chunks), in units of
  ``--blocksize``;
- the scheduler's rate on a graph of ``--noop-tasks`` tasks that do nothing.

Timings are the best of ``--repeat`` runs; MB means 10**6 bytes.
"""
from __future__ import annotations

import argparse
import resource
import sys
import time
from pathlib import Path

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


def best(repeat: int, run):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - t0)
    return min(times), result


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def current_rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=4)
    ap.add_argument("--size", default="250M", help="size of each generated stream")
    ap.add_argument("--blocksize", default="64 MiB")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--noop-tasks", type=int, default=5000)
    args = ap.parse_args(argv)

    import dask
    import quillon
    import quillon.dask as qd
    from distributed import Client, LocalCluster

    paths = stream_files(args.files, args.size)
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

    t_one, rows_one = best(args.repeat, one_process)
    print(f"{args.files} files, {total / 1e6:.0f} MB; blocksize {args.blocksize}")
    print(f"one process, quillon.read on {args.workers} threads + tables: "
          f"{t_one:6.2f} s  {total / 1e6 / t_one:7.1f} MB/s")

    block_mib = quillon.parse_size(args.blocksize) / 2**20
    cases = {"all three tables": qd.TABLES, "observations only": ("observations",)}
    for case, tables in cases.items():
        # A fresh cluster per case: a worker's peak memory is a high-water mark.
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, memory_limit=0) as cluster, \
                Client(cluster) as client:
            # Warm up: the first table a worker builds imports pandas and pyarrow.
            qd.read(paths[0], blocksize=1).images.partitions[:2].compute()
            start_rss = client.run(current_rss_mib)

            def on_cluster():
                ds = qd.read(paths, blocksize=args.blocksize)
                lengths = dask.compute(*[getattr(ds, t).map_partitions(len).sum() for t in tables])
                return ds.npartitions, int(sum(lengths))

            t_dask, (n_parts, rows_dask) = best(args.repeat, on_cluster)
            if len(tables) == 3:
                assert rows_dask == rows_one, (rows_dask, rows_one)
            peaks = client.run(peak_rss_mib)
            print(f"Dask, {args.workers} workers x 1 thread, {n_parts} partitions, {case}: "
                  f"{t_dask:6.2f} s  {total / 1e6 / t_dask:7.1f} MB/s  "
                  f"({t_one / t_dask:.2f}x one process)")
            for address, peak in peaks.items():
                grown = peak - start_rss[address]
                print(f"  worker {address}: peak RSS {peak:5.0f} MiB, {grown:5.0f} MiB above its "
                      f"start = {grown / block_mib:.1f} x blocksize")
            if case == "observations only":
                noop = [dask.delayed(int, pure=False)(k) for k in range(args.noop_tasks)]
                t_noop, _ = best(args.repeat, lambda: dask.compute(*noop))
                print(f"scheduler: {args.noop_tasks} no-op tasks in {t_noop:.2f} s = "
                      f"{args.noop_tasks / t_noop:,.0f} tasks/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
