"""Damaged input end to end, and many callers at once."""
import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quillon_native as qn
from stream_builder import random_images, stream

ROOT = pathlib.Path(__file__).resolve().parent.parent
PANELS = [f"p{i}" for i in range(8)]


def test_damaged_corpus_never_crashes_or_hangs():
    """Every damaged variant, the 100 MiB line included, returns or raises cleanly."""
    p = subprocess.run([sys.executable, str(ROOT / "scripts" / "damaged_corpus.py")],
                       capture_output=True, text=True, timeout=900)
    assert p.returncode == 0, p.stdout[-3000:] + p.stderr[-3000:]
    assert " 0 failed" in p.stdout


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    d = tmp_path_factory.mktemp("conc")
    path = d / "shared.stream"
    path.write_text(stream(random_images(150, seed=11, panels=PANELS)))
    rows = qn.index_chunks(path)
    parsed = qn.parse_chunks(path, rows, PANELS)
    qn.write_stream(d / "serial.out", parsed[0], parsed[1], parsed[2], PANELS, "cubic", "F", None, "h\n")
    return d, path, rows, parsed, (d / "serial.out").read_bytes()


def test_many_python_threads_call_all_three_functions(shared):
    d, path, rows, (cols, filenames, events, report), written = shared
    errors = []

    def worker(k):
        try:
            n = [1, 2, 3, 8, 64][k % 5]
            for _ in range(3):
                np.testing.assert_array_equal(qn.index_chunks(path, n), rows)
                c, f, e, r = qn.parse_chunks(path, rows, PANELS, n)
                assert (f, e, r) == (filenames, events, report)
                for key in cols:
                    np.testing.assert_array_equal(c[key], cols[key])
                out = d / f"w{k}.out"
                qn.write_stream(out, cols, filenames, events, PANELS, "cubic", "F", None, "h\n", n, 3)
                assert out.read_bytes() == written
        except BaseException as exc:  # collected and reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


def native_threads():
    return len(os.listdir(f"/proc/{os.getpid()}/task"))


@pytest.mark.parametrize("call", ["index", "parse", "write"])
def test_huge_thread_counts_start_no_more_threads_than_items(tmp_path, call):
    """With n_threads far above the work, the pool starts at most one thread per item."""
    path = tmp_path / "three.stream"
    path.write_text(stream(random_images(3, seed=1, panels=PANELS, max_crystals=1)))
    rows = qn.index_chunks(path)
    cols, filenames, events, _ = qn.parse_chunks(path, rows, PANELS)
    before = native_threads()
    peak = [before]
    stop = threading.Event()

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], native_threads())
            time.sleep(0.0005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        for _ in range(20):
            if call == "index":
                qn.index_chunks(path, 2**64 - 1)
            elif call == "parse":
                qn.parse_chunks(path, rows, PANELS, 2**64 - 1)
            else:
                qn.write_stream(tmp_path / "o.stream", cols, filenames, events, PANELS, None, None,
                                None, "", 2**64 - 1, 1)
    finally:
        stop.set()
        sampler.join()
    # The sampler itself is one thread; three items need at most three pool threads.
    assert peak[0] - before <= 1 + 3
    assert native_threads() <= before + 1
