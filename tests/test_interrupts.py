"""Ctrl-C during a long call: it stops soon, joins its threads and raises KeyboardInterrupt."""
import json
import os
import subprocess
import sys

import pytest

# Runs one call to the end to learn how long it takes, then again with SIGINT sent
# from another thread a fifth of the way in, and reports what happened.
INTERRUPTED_CALL = r"""
import json, os, signal, sys, threading, time
import numpy as np
import quillon_native as qn

call, n_threads, path, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
size = os.path.getsize(path)
if call == "index":
    run = lambda: qn.index_chunks(path, n_threads)
elif call == "parse":
    rows = np.array([[0, size // 2, 0, 1], [size // 2, size, 0, 1]])  # one unit per thread
    run = lambda: qn.parse_chunks(path, rows, ["p0"], n_threads)
else:
    n = 150_000  # one crystal each, no reflections: about 1.2 kB of text per image
    f32 = lambda *shape: np.ones(shape, np.float32)
    cols = dict(hkl=np.zeros((0, 3), np.int16), I=f32(0), sigma=f32(0), peak=f32(0),
                background=f32(0), fs=f32(0), ss=f32(0), panel_id=np.zeros(0, np.int16),
                cell=f32(n, 6), astar=f32(n, 3), bstar=f32(n, 3), cstar=f32(n, 3),
                profile_rad=f32(n), resolution=f32(n), n_refl=np.zeros(n, np.int32),
                image_id=np.arange(n, dtype=np.int32), beam_energy=f32(n),
                n_peaks=np.zeros(n, np.int32), det_shift_x=f32(n), det_shift_y=f32(n),
                camera_length=f32(n))
    run = lambda: qn.write_stream(out, cols, [], [], ["p0"], None, None, None, "", n_threads)

threads = lambda: len(os.listdir("/proc/self/task"))
start = time.monotonic()
run()
full = time.monotonic() - start
before = threads()
sent = []

def interrupt():
    time.sleep(full / 5)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

killer = threading.Thread(target=interrupt)
killer.start()
caught = None
try:
    run()
except KeyboardInterrupt:
    caught = time.monotonic()
killer.join()
print(json.dumps({"full": full, "delay": None if caught is None else caught - sent[0],
                  "threads_before": before, "threads_after": threads(),
                  "output_exists": os.path.exists(out)}))
"""


@pytest.fixture(scope="module")
def many_lines(tmp_path_factory):
    """150 MB of empty lines: the most lines per byte, so the slowest file to go through."""
    path = tmp_path_factory.mktemp("interrupt") / "lines.txt"
    path.write_bytes(b"\n" * 150_000_000)
    yield path
    path.unlink()


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("call", ["index", "parse", "write"])
def test_ctrl_c_stops_the_call_soon(many_lines, tmp_path, call, n_threads):
    out = tmp_path / "out.stream"
    p = subprocess.run([sys.executable, "-c", INTERRUPTED_CALL, call, str(n_threads),
                        str(many_lines), str(out)], capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stderr[-3000:]
    r = json.loads(p.stdout)
    assert r["delay"] is not None, r  # KeyboardInterrupt was raised
    # A call that ran on to its end would take about 0.8 of its full time here.
    assert r["delay"] < 2.0, r
    if call != "write":  # writing is fast: the removed file shows that it stopped early
        assert r["delay"] < r["full"] / 2, r
    assert r["threads_after"] == r["threads_before"], r
    assert r["output_exists"] is False or call != "write", r
