"""Peak memory of iter_batches stays about one batch, far below reading the whole file."""
from __future__ import annotations

import json
import pathlib
import subprocess
import sys

import pytest

import gen_stream

# Runs in a fresh interpreter, so that ru_maxrss is the peak of this work after the imports.
MEASURE = """
import json, resource, sys
import pandas, quillon
mode, path = sys.argv[1], sys.argv[2]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if mode == "read":
    s = quillon.read(path, n_threads=2)
    rows = len(s.observations)
else:
    rows = sum(len(b.observations) for b in quillon.iter_batches(path, batch_bytes="16 MiB",
                                                                 n_threads=2))
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"rows": rows, "peak_kib": after - before}))
"""


@pytest.fixture(scope="session")
def stream_200mb(tmp_path_factory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("big") / "big.stream"
    gen_stream.generate(path, 200 << 20, seed=2)
    return path


# A process started by exec keeps the peak of the memory it was started from, so a child
# of this (large) test process would begin with our peak; a small launcher in between
# lets the measuring process begin well below what its imports take.
LAUNCH = "import subprocess, sys; sys.exit(subprocess.call(sys.argv[1:]))"


def measure(mode: str, path: pathlib.Path) -> dict:
    out = subprocess.run([sys.executable, "-c", LAUNCH, sys.executable, "-c", MEASURE, mode,
                          str(path)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def test_batches_peak_is_far_below_reads(stream_200mb):
    whole, batches = measure("read", stream_200mb), measure("batches", stream_200mb)
    assert whole["rows"] == batches["rows"] > 2_000_000
    # Reading holds ~130 MiB of columns and tables; the loop holds one batch while the
    # next is parsed, each with the columns and tables of ~16 MiB of text.
    assert whole["peak_kib"] > 100 << 10
    assert batches["peak_kib"] < min(whole["peak_kib"] / 2, 64 << 10)
