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


# Another Python thread changes every column while write_stream reads them: values
# out of range, extreme floats, a panel whose name is 4000 characters long, then the
# originals again. The output may mix old and new values; the process must survive.
MUTATE_DURING_WRITES = r"""
import sys, threading, time
import numpy as np
import quillon_native as qn
sys.path.insert(0, sys.argv[1])
from stream_builder import random_images, stream

out, n_threads = sys.argv[2], int(sys.argv[3])
panels = [f"p{i}" for i in range(8)]
with open(out, "w") as f:
    f.write(stream(random_images(60, seed=3, panels=panels)))
cols, filenames, events, _ = qn.parse_chunks(out, qn.index_chunks(out), panels)
names = panels + ["X" * 4000]
originals = {k: v.copy() for k, v in cols.items()}
bad = {"i": [len(panels), 100, -1, -(2**15), 2**15 - 1, 2**31 - 1, -(2**31)],
       "f": [np.nan, np.inf, -3.0e38, 1.0e30]}
done = threading.Event()

def mutate():
    rng = np.random.default_rng(0)
    while not done.is_set():
        for v in cols.values():
            choices = bad[v.dtype.kind]
            info = np.iinfo(v.dtype) if v.dtype.kind == "i" else None
            x = rng.choice(choices)
            v[...] = np.clip(x, info.min, info.max) if info else x
        time.sleep(0.0005)
        for k, v in cols.items():
            v[...] = originals[k]
        time.sleep(0.002)

t = threading.Thread(target=mutate)
t.start()
refused = 0
try:
    for _ in range(150):
        try:
            qn.write_stream(out, cols, filenames, events, names, "tetragonal", "P", "c", "",
                            n_threads, 7)
        except ValueError:
            refused += 1  # a check saw a mutated value: a clear refusal is fine
finally:
    done.set()
    t.join()
print("ok", refused)
"""


@pytest.mark.parametrize("n_threads", [1, 2])
def test_columns_changed_by_another_thread_during_writes(tmp_path, n_threads):
    p = subprocess.run([sys.executable, "-c", MUTATE_DURING_WRITES, str(ROOT / "tests"),
                        str(tmp_path / "m.stream"), str(n_threads)],
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, (p.returncode, p.stderr[-3000:])
    assert p.stdout.startswith("ok")


# Paths that are no regular file. Each call runs in a child process, so that a call
# that blocks for ever fails the test by its timeout instead of hanging the run.
SPECIAL_PATH_CALL = r"""
import os, sys
import numpy as np
import quillon_native as qn

call, path = sys.argv[1], sys.argv[2]
if call == "fifo_with_reader":
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
cols = {k: np.zeros(0, np.int16 if k in ("hkl", "panel_id") else
                    np.int32 if k in ("n_refl", "image_id", "n_peaks") else np.float32)
        for k in ("hkl", "I", "sigma", "peak", "background", "fs", "ss", "panel_id", "cell", "astar",
                  "bstar", "cstar", "profile_rad", "resolution", "n_refl", "image_id",
                  "beam_energy", "n_peaks", "det_shift_x", "det_shift_y", "camera_length")}
for n in (1, 2):
    try:
        if call == "index":
            print(repr(qn.index_chunks(path, n).tolist()))
        elif call == "parse":
            result = qn.parse_chunks(path, np.array([[0, 100, 1, 1]]), ["p0"], n)
            print(repr((len(result[1]), result[3])))
        else:
            qn.write_stream(path, cols, [], [], [], None, None, None, "", n)
            print("written")
    except OSError as e:
        print(type(e).__name__, str(e))
"""


def run_special(call, path):
    env = dict(os.environ)
    limit = "asan" not in env.get("LD_PRELOAD", "")  # the sanitizer reserves far more address space

    def cap_memory():
        if limit:
            import resource
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))

    p = subprocess.run([sys.executable, "-c", SPECIAL_PATH_CALL, call, str(path)],
                       capture_output=True, text=True, timeout=60, preexec_fn=cap_memory)
    assert p.returncode == 0, p.stderr[-3000:]
    lines = p.stdout.splitlines()
    assert lines[0] == lines[1], lines  # the same on 1 and 2 threads
    return lines[0]


@pytest.mark.parametrize("call, expected", [
    ("index", "OSError not a regular file: a named pipe"),
    ("parse", "OSError not a regular file: a named pipe"),
    ("write", "OSError No such device or address (os error 6)"),  # no reader: never waits for one
    ("fifo_with_reader", "OSError not a regular file: a named pipe"),
])
def test_named_pipe_is_refused_without_blocking(tmp_path, call, expected):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert run_special(call, fifo) == expected


@pytest.mark.parametrize("call, path, expected", [
    # A device has no size: reading it is refused instead of reading without end.
    ("index", "/dev/zero", "OSError not a regular file: a character device"),
    ("parse", "/dev/zero", "OSError not a regular file: a character device"),
    # A file that reports size 0 reads nothing; the row asks for bytes past its end.
    ("index", "/proc/self/status", "[]"),
    ("parse", "/proc/self/status", "(0, {'image_truncated': (1, 0)})"),
    # Writing to a character device is how benchmarks throw output away.
    ("write", "/dev/null", "written"),
])
def test_paths_without_a_known_size(call, path, expected):
    assert run_special(call, path) == expected
