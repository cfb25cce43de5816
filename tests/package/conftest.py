"""Fixtures of the `quillon` package tests: small generated streams, made once per session."""
from __future__ import annotations

import pathlib
import sys
from typing import Callable

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests"))

import gen_stream  # noqa: E402
import stream_builder as sb  # noqa: E402

# A geometry with two panels, a masked region and a rigid group, as stream headers carry it.
GEOMETRY = """Indexing run for tests
----- Begin geometry file -----
; two panels
clen = 0.2
p0/min_fs = 0
p0/max_fs = 255
badregion/min_fs = 10
badregion/max_fs = 20
p1/min_fs = 0   ; second panel
p1/corner_x = -128.0
rigid_group_all = p0,p1
rigid_group_collection_det = all
----- End geometry file -----
----- Begin unit cell -----
lattice_type = tetragonal
centering = P
unique_axis = c
----- End unit cell -----
"""


@pytest.fixture(scope="session")
def sample(tmp_path_factory) -> pathlib.Path:
    """A generated stream of about 2 MB with geometry in its header (same every session)."""
    path = tmp_path_factory.mktemp("sample") / "sample.stream"
    gen_stream.generate(path, 2 << 20, seed=3)
    return path


@pytest.fixture
def sample_panels(sample) -> list[str]:
    return pathlib.Path(f"{sample}.panels").read_text().split()


@pytest.fixture
def write_text(tmp_path) -> Callable[..., pathlib.Path]:
    """Writes stream text into a file of the test's folder and returns its path."""
    def write(text: str, name: str = "test.stream") -> pathlib.Path:
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        return path
    return write


@pytest.fixture
def small_stream(write_text) -> pathlib.Path:
    """Twelve images with 0 to 3 crystals each on panels p0 and p1, geometry in the header."""
    return write_text(sb.stream(sb.random_images(12, seed=5, panels=["p0", "p1"]), GEOMETRY))


def same_stream(a, b, *, ids: bool = True) -> None:
    """Asserts that two Streams hold the same columns, lists, report, header and panels."""
    assert a.columns.keys() == b.columns.keys()
    for name in a.columns:
        if not ids and name in ("crystal_id", "image_id"):
            continue
        x, y = a.columns[name], b.columns[name]
        assert x.dtype == y.dtype and x.shape == y.shape, name
        np.testing.assert_array_equal(x, y, err_msg=name)
    assert (a.filenames, a.events, a.report) == (b.filenames, b.events, b.report)
    assert (a.header, a.panels) == (b.header, b.panels)


@pytest.fixture
def assert_same() -> Callable[..., None]:
    return same_stream
