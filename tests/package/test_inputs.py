"""What the reading road makes of what it is given: non-streams, pipes, changed files, panel lists,
and the hooks of iter_batches (progress, warnings, extents)."""
from __future__ import annotations

import bz2
import gzip
import lzma
import os
import threading
import warnings

import numpy as np
import pytest
import quillon
import quillon_native as qn
import stream_builder as sb
from conftest import GEOMETRY
from quillon import _read, _source

COMPRESSORS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress,
               # zstd's frame magic followed by a frame header; the module is not needed to
               # recognise the kind
               "zstd": lambda data: b"\x28\xb5\x2f\xfd\x24\x00" + data[:64]}


def _no_geometry_text(panels=("q0", "q1"), n=12, seed=4) -> str:
    return sb.stream(sb.random_images(n, seed=seed, panels=list(panels)), "")


@pytest.mark.parametrize("kind", sorted(COMPRESSORS))
def test_compressed_streams_are_named(small_stream, kind):
    path = small_stream.with_name(f"run.stream.{kind}")
    path.write_bytes(COMPRESSORS[kind](small_stream.read_bytes()))
    for call in (quillon.read, quillon.read_header, lambda p: list(quillon.iter_batches(p))):
        with pytest.raises(ValueError, match=rf"compressed \({kind}\); decompress it first") as e:
            call(path)
        assert str(path) in str(e.value)


@pytest.mark.parametrize("content", [
    os.urandom(3000).replace(b"-", b"+"),        # binary, no chunk
    b"p0/min_fs = 0\np0/max_fs = 255\n",         # a geometry file
    b"just some text\nwithout chunks\n",
    # NUL bytes before the first chunk (a tar file holding a stream looks like this)
    b"run.stream\0\0\0\0000644\0" + sb.stream([sb.Image()], "").encode(),
])
def test_what_is_not_a_stream_is_said(write_text, content):
    path = write_text("")
    path.write_bytes(content)
    with pytest.raises(ValueError, match="not a stream") as e:
        quillon.read(path, panels=["p0"])
    assert str(e.value).startswith(str(path))


def test_a_chunkless_file_is_not_read_whole_as_its_header(write_text, monkeypatch):
    """Without a limit, the text before the (missing) first chunk was read whole into memory."""
    monkeypatch.setattr(_source, "HEADER_LIMIT", 4096)
    big = write_text(GEOMETRY + "; padding\n" * 1000)
    read_sizes = []
    real_open = _source.open_regular

    def spy(path):
        f = real_open(path)
        read = f.read
        f.read = lambda n=-1: read_sizes.append(n) or read(n)  # type: ignore[method-assign]
        return f

    monkeypatch.setattr(_source, "open_regular", spy)
    with pytest.raises(ValueError, match="no chunk found"):
        quillon.read(big)
    assert all(0 <= n <= 4096 for n in read_sizes)
    small = write_text(GEOMETRY, "header.stream")  # a header alone within the limit
    assert quillon.read(small).header == GEOMETRY


@pytest.mark.parametrize("call", ["read", "read_header", "iter_batches", "dask"])
def test_named_pipes_are_refused_at_once(tmp_path, call):
    fifo = tmp_path / "pipe.stream"
    os.mkfifo(fifo)
    calls = {"read": quillon.read, "read_header": quillon.read_header,
             "iter_batches": lambda p: list(quillon.iter_batches(p)),
             "dask": lambda p: _read.index(p, ["p0"])}
    outcome: list[BaseException] = []

    def run():
        try:
            calls[call](fifo)
        except BaseException as exc:  # noqa: BLE001 (the test looks at it)
            outcome.append(exc)

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(20)
    if worker.is_alive():  # unblock the reader so the test process can end
        with open(fifo, "wb"):
            pass
        pytest.fail("opening a named pipe blocked")
    (exc,) = outcome
    assert isinstance(exc, OSError) and exc.filename == str(fifo)
    assert "named pipe" in exc.strerror and "Errno None" not in str(exc)


@pytest.mark.parametrize("kwargs, message", [
    ({"n_threads": -1}, "n_threads"), ({"n_threads": 0}, "n_threads"),
    ({"n_threads": 1.5}, "n_threads"), ({"max_crystals": -1}, "max_crystals"),
    ({"panels": [f"p{i}" for i in range(40_000)]}, "at most 32,766"),
])
def test_bad_arguments_are_value_errors(small_stream, kwargs, message):
    with pytest.raises(ValueError, match=message):
        quillon.read(small_stream, **kwargs)


@pytest.mark.parametrize("size, message", [("1e400", "too large"), ("nan", "not a byte size"),
                                           ("1e30", None)])
def test_huge_sizes(small_stream, size, message):
    if message is not None:
        with pytest.raises(ValueError, match=message):
            quillon.parse_size(size)
        return
    # A size past any file is one batch, not an overflow.
    assert len(list(quillon.iter_batches(small_stream, batch_bytes=size))) == 1


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("panels_in_rows", [["q1", "q0", "q7"], ["panel_a", "p0"]])
@pytest.mark.parametrize("batch_bytes", ["1 GiB", 300])
def test_auto_panels_are_the_row_names_in_order_of_first_appearance(write_text, panels_in_rows,
                                                                     batch_bytes, newline,
                                                                     assert_same):
    path = write_text("")
    path.write_bytes(_no_geometry_text(panels_in_rows, n=20, seed=2).replace("\n", newline).encode())
    rows = qn.index_chunks(str(path))
    # the reference: every reflection row's last field, in file order
    expected: dict[str, None] = {}
    for crystal_rows in (c.rows for im in sb.random_images(20, seed=2, panels=panels_in_rows)
                         for c in im.crystals):
        expected.update(dict.fromkeys(r.split()[-1] for r in crystal_rows))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # every reflection has a known panel
        s = quillon.read(path, panels="auto")
        batches = list(quillon.iter_batches(path, panels="auto", batch_bytes=batch_bytes))
    assert s.panels == list(expected) and len(rows) == 20
    assert s.observations["panel"].notna().all()
    assert_same(quillon.concat(batches), s)
    with pytest.raises(ValueError, match="panels='auto'"):
        quillon.read(path)  # without geometry and without panels


def test_auto_panels_skip_what_is_not_a_reflection_row(write_text):
    odd = sb.Crystal(rows=[sb.row(1, 2, 3, panel="z9"), "1 2 3"])
    text = sb.stream([sb.Image(crystals=[odd]), sb.Image(crystals=[sb.Crystal(
        rows=[sb.row(1, 1, 1, panel="z1")], end_crystal=False)])], "")
    path = write_text(text)
    # cell lines (ten fields too), peak rows and the column heading name no panel
    assert _read.panels_in_rows(path, qn.index_chunks(str(path))) == ["z9", "z1"]


def test_iter_batches_hooks(sample):
    calls = []
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        batches = list(quillon.iter_batches(sample, batch_bytes="300K",
                                            progress=lambda done, total: calls.append((done, total)),
                                            warn=False))
    size = sample.stat().st_size
    rows = qn.index_chunks(str(sample))
    assert len(batches) > 2 and calls[-1] == (size, size)
    assert [done for done, _ in calls[:-1]] == [b.byte_range[1] for b in batches]
    np.testing.assert_array_equal(np.concatenate([b.chunk_rows for b in batches]), rows)
    assert batches[0].byte_range[0] == rows[0, 0] and batches[-1].byte_range[1] == size


def test_unknown_panel_warnings_point_at_the_callers_line(write_text):
    path = write_text(sb.stream([sb.Image(crystals=[sb.Crystal(rows=[sb.row(1, 0, 0, panel="zz")])])],
                                GEOMETRY))
    for call in (lambda: quillon.read(path), lambda: list(quillon.iter_batches(path))):
        with pytest.warns(quillon.UnknownPanelWarning, match="^1 reflection of .* is on") as caught:
            call()
        assert [w.filename for w in caught] == [__file__]


def test_a_file_changed_between_batches_is_refused(sample, tmp_path):
    path = tmp_path / "changing.stream"
    path.write_bytes(sample.read_bytes())
    batches = quillon.iter_batches(path, batch_bytes="300K")
    next(batches)
    with open(path, "ab") as f:
        f.write(b"\n")
    with pytest.raises(quillon.StreamChangedError, match="changed since it was indexed"):
        next(batches)


def test_native_refusals_read_without_errno_none(tmp_path):
    fifo = tmp_path / "p"
    os.mkfifo(fifo)
    from quillon._native import index_chunks
    with pytest.raises(OSError) as e:
        index_chunks(str(fifo))
    assert "Errno None" not in str(e.value) and e.value.filename == str(fifo)
