"""quillon.read and the tables: equal to the native calls, panels, errors, paths."""
from __future__ import annotations

import errno
import os
import pathlib
import sys

import numpy as np
import pandas as pd
import pytest
import quillon_native as qn

import quillon
import stream_builder as sb
from quillon import _tables
from conftest import GEOMETRY


def native(path, panels):
    rows = qn.index_chunks(path)
    return qn.parse_chunks(path, rows, panels)


@pytest.mark.parametrize("n_threads", [1, 3])
def test_read_equals_native_calls_on_generated_stream(sample, sample_panels, n_threads):
    s = quillon.read(sample, n_threads=n_threads)
    columns, filenames, events, report = native(sample, sample_panels)
    assert s.panels == sample_panels
    for name, array in columns.items():
        assert s.columns[name].dtype == array.dtype and s.columns[name].shape == array.shape
        np.testing.assert_array_equal(s.columns[name], array, err_msg=name)
    assert (s.filenames, s.events, s.report) == (filenames, events, report)
    assert s.header == sample.read_text()[: int(qn.index_chunks(sample)[0, 0])]
    assert repr(s) == (f"<Stream sample.stream: {s.n_images:,} images, {s.n_crystals:,} crystals, "
                       f"{len(s):,} reflections>")


def test_read_equals_native_calls_on_damaged_stream(write_text):
    good = sb.Crystal(rows=[sb.row(1, 2, 3), sb.row(4, 5, 6, panel="p1")])
    short_row = sb.Crystal(rows=[sb.row(1, 1, 1), "   1    2    3  12.0"])
    truncated = sb.Crystal(rows=[sb.row(7, 8, 9)], end_crystal=False)
    images = [sb.Image(crystals=[good, short_row]), sb.Image(crystals=[truncated]),
              sb.Image(filename="other.h5", header=["photon_energy_eV = x"], crystals=[good])]
    text = sb.stream(images, GEOMETRY)
    path = write_text(text[: len(text) - 40])  # cut inside the last crystal too
    s = quillon.read(path)
    columns, filenames, events, report = native(path, ["p0", "p1"])
    assert set(report) >= {"reflection_short", "key_value", "crystal_truncated"}
    assert (s.filenames, s.events, s.report) == (filenames, events, report)
    for name, array in columns.items():
        np.testing.assert_array_equal(s.columns[name], array, err_msg=name)


def test_max_crystals_reads_the_start_only(sample):
    full = quillon.read(sample)
    part = quillon.read(sample, max_crystals=3)
    assert 3 <= part.n_crystals < full.n_crystals
    assert part.filenames == full.filenames[: part.n_images]


@pytest.mark.parametrize("header, panels", [
    (GEOMETRY, ["p0", "p1"]),
    (GEOMETRY.replace("p1/min_fs = 0   ; second panel\n", ""), ["p0", "p1"]),  # corner_x suffices
    ("----- Begin geometry file -----\nq1/min_fs = 0\nq0/min_fs = 0\nq1/max_fs = 3\n"
     "----- End geometry file -----\n", ["q1", "q0"]),  # file order, each name once
    ("p0/min_fs = 0\n", []),  # outside the geometry markers
    ("----- Begin geometry file -----\n; p0/min_fs = 0\nbad_p0/min_fs = 1\n"
     "rigid_group_q0 = p0\n----- End geometry file -----\n", []),
    ("", []),
])
def test_panels_from_header(header, panels):
    assert quillon.panels_from_header(header) == panels


def test_read_without_geometry_asks_for_panels(write_text):
    images = [sb.Image(crystals=[sb.Crystal(rows=[sb.row(1, 2, 3, panel="a")])])]
    path = write_text(sb.stream(images, "No geometry here\n"))
    with pytest.raises(ValueError, match=r"no detector geometry.*panels="):
        quillon.read(path)
    s = quillon.read(path, panels=["a"])
    assert s.observations["panel"].tolist() == ["a"]


@pytest.mark.parametrize("panels, error, message", [
    ("p0", TypeError, "not a str"), (["p0", "p1", "p0"], ValueError, "'p0' is named twice")])
def test_read_refuses_bad_panel_lists(small_stream, panels, error, message):
    with pytest.raises(error, match=message):
        quillon.read(small_stream, panels=panels)


@pytest.mark.parametrize("text", ["", "\n \n", GEOMETRY])
def test_empty_file_or_header_alone_gives_an_empty_stream(write_text, text):
    s = quillon.read(write_text(text))
    assert (len(s), s.n_crystals, s.n_images, s.header) == (0, 0, 0, text)
    assert list(s.observations.columns) == list(quillon.schema()["observations"].columns)


def test_unknown_panels_are_missing_and_warned_once(write_text):
    rows = [sb.row(1, 0, 0, panel="p1"), sb.row(2, 0, 0, panel="zz"), sb.row(3, 0, 0, panel="p0"),
            sb.row(4, 0, 0, panel="yy")]
    path = write_text(sb.stream([sb.Image(crystals=[sb.Crystal(rows=rows)])], GEOMETRY))
    with pytest.warns(quillon.UnknownPanelWarning, match=r"^2 reflections") as caught:
        s = quillon.read(path)
    assert len(caught) == 1
    assert s.columns["panel_id"].tolist() == [1, -1, 0, -1]
    assert s.observations["panel"].tolist() == ["p1", np.nan, "p0", np.nan]
    out = path.with_name("out.stream")
    with pytest.raises(ValueError, match="2 reflections"):
        s.write(out, verbatim=False)  # the columns lack the names; a copy of the text has them
    assert not out.exists()


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
def test_path_types(small_stream, as_path):
    assert quillon.read(as_path(small_stream)).path == str(small_stream)


@pytest.mark.parametrize("call", [
    lambda p: quillon.read(p),
    lambda p: quillon.read_header(p),
    lambda p: list(quillon.iter_batches(p)),
])
def test_os_errors_carry_errno_and_filename(tmp_path, call):
    missing = tmp_path / "missing.stream"
    with pytest.raises(FileNotFoundError) as info:
        call(os.fsencode(missing))
    assert (info.value.errno, info.value.strerror, info.value.filename) == (
        errno.ENOENT, os.strerror(errno.ENOENT), str(missing))
    with pytest.raises(IsADirectoryError) as info:
        call(tmp_path)
    assert (info.value.errno, info.value.filename) == (errno.EISDIR, str(tmp_path))


def test_refused_device_keeps_its_reason(tmp_path):
    # The module refuses a device with a message and no error number; the reason must
    # survive the filename being added ("[Errno None] None" told the user nothing).
    with pytest.raises(OSError) as info:
        quillon.read(os.devnull)
    assert info.value.filename == os.devnull
    assert "not a regular file" in info.value.strerror
    assert "not a regular file" in str(info.value)


def test_write_os_error_carries_filename(small_stream, tmp_path):
    target = tmp_path / "no" / "such" / "dir.stream"
    with pytest.raises(FileNotFoundError) as info:
        quillon.read(small_stream).write(target)
    assert (info.value.errno, info.value.filename) == (errno.ENOENT, str(target))


def test_tables_agree_with_columns(sample):
    s = quillon.read(sample)
    obs, cryst, img = s.observations, s.crystals, s.images
    c = s.columns
    assert list(obs.columns) == ["h", "k", "l", "I", "sigma", "peak", "background", "fs", "ss",
                                 "panel", "crystal_id", "image_id", "d"]
    np.testing.assert_array_equal(obs[["h", "k", "l"]].to_numpy(), c["hkl"])
    assert obs["panel"].cat.categories.tolist() == s.panels
    np.testing.assert_array_equal(obs["panel"].cat.codes, c["panel_id"])
    np.testing.assert_array_equal(obs["image_id"], cryst["image_id"].to_numpy()[c["crystal_id"]])
    # d from the basis in double precision, independently of the table's float32 blocks
    basis = np.stack([c["astar"], c["bstar"], c["cstar"]], axis=1).astype(np.float64)
    q = np.einsum("ni,nij->nj", c["hkl"].astype(np.float64), basis[c["crystal_id"]])
    np.testing.assert_allclose(obs["d"], 1 / np.linalg.norm(q, axis=1), rtol=1e-5)
    np.testing.assert_array_equal(cryst[["a", "b", "c", "alpha", "beta", "gamma"]], c["cell"])
    np.testing.assert_array_equal(cryst[["bstar_x", "bstar_y", "bstar_z"]], c["bstar"])
    assert cryst["n_refl"].sum() == len(obs)
    assert img["filename"].tolist() == s.filenames and img["event"].tolist() == s.events
    np.testing.assert_array_equal(img["camera_length"], c["camera_length"])


@pytest.mark.parametrize("first", [0, 7])
@pytest.mark.parametrize("order", ["as read", "reversed", "shuffled", "blocks swapped"])
def test_image_id_and_d_follow_the_crystal_in_any_order(sample, order, first):
    c = quillon.read(sample).columns
    n = len(c["hkl"])
    assert n > _tables._BLOCK
    rows = {"as read": np.arange(n), "reversed": np.arange(n)[::-1],
            "shuffled": np.random.default_rng(0).permutation(n),
            # each block of the computation in order, but not one after the other
            "blocks swapped": np.r_[n - _tables._BLOCK:n, :n - _tables._BLOCK]}[order]
    hkl, crystal = c["hkl"][rows], c["crystal_id"][rows] + np.int32(first)
    basis = (c["astar"], c["bstar"], c["cstar"])
    stacked = np.stack(basis, axis=1).astype(np.float64)
    q = np.einsum("ni,nij->nj", hkl.astype(np.float64), stacked[crystal - first])
    image_id, d = _tables.per_reflection(hkl, basis, crystal, c["image_id"], first)
    np.testing.assert_allclose(d, 1 / np.linalg.norm(q, axis=1), rtol=1e-5)
    np.testing.assert_array_equal(image_id, c["image_id"][crystal - first])
    for shifted in (first - 1, first + 1):  # the largest or the smallest id out of range
        with pytest.raises(IndexError, match="out of range"):
            _tables.per_reflection(hkl, basis, crystal, c["image_id"], shifted)


def test_tables_share_the_native_memory(sample):
    s = quillon.read(sample)
    for table, column, native_name in [("observations", "I", "I"), ("observations", "k", "hkl"),
                                       ("observations", "crystal_id", "crystal_id"),
                                       ("crystals", "gamma", "cell"), ("images", "n_peaks", "n_peaks")]:
        assert np.shares_memory(getattr(s, table)[column].to_numpy(), s.columns[native_name])


def test_reflection_000_has_infinite_d(write_text):
    path = write_text(sb.stream([sb.Image(crystals=[sb.Crystal(rows=[sb.row(0, 0, 0)])])], GEOMETRY))
    assert np.isinf(quillon.read(path).observations["d"]).all()


def test_missing_optional_dependency_names_the_extra(small_stream, monkeypatch):
    s = quillon.read(small_stream)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r'pip install "quillon_native\[tables\]"'):
        s.observations
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"quillon_native\[tables\]"):
        s.to_arrow()


@pytest.mark.parametrize("text, expected", [
    ("1 GiB", 1 << 30), ("16M", 16 << 20), ("16 MiB", 16 << 20), ("500 MB", 500_000_000),
    ("1.5k", 1536), ("2e3", 2000), (4096, 4096)])
def test_parse_size(text, expected):
    assert quillon.parse_size(text) == expected


@pytest.mark.parametrize("bad, error", [("", ValueError), ("1 GX", ValueError), ("0", ValueError),
                                        ("-1M", ValueError), (1.5, TypeError), (True, TypeError)])
def test_parse_size_refuses(bad, error):
    with pytest.raises(error):
        quillon.parse_size(bad)


def test_schema_matches_a_read_stream(sample):
    s = quillon.read(sample)
    meta = quillon.schema(s.panels)
    for name in ("observations", "crystals", "images"):
        pd.testing.assert_series_equal(meta[name].dtypes, getattr(s, name).dtypes)
