"""Writing a selection of a stream read from a file copies the file's own text.

The expected outputs are made here line by line from the source text, independently of the
offsets the reader records, so a crystal mapped to the wrong block, a cut off by a byte or a
lost line end shows as a difference.
"""
from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass

import numpy as np
import pytest
import quillon
import quillon_native
import stream_builder as sb
from click.testing import CliRunner
from quillon.cli._app import cli

PANELS = ["p0", "p1"]
DAMAGED_CELL = "Cell parameters bad values"
PEAK_ROW = b"  10.00   20.00       0.10      100.00 p0"  # the builder's peak list: a copy keeps it
HEADER = ("Generated for tests\n----- Begin unit cell -----\nlattice_type = tetragonal\n"
          "----- End unit cell -----\n")


def _images(seed: int, damaged: bool, end_crystal: bool, extra: bool) -> list[sb.Image]:
    rng = np.random.default_rng(seed)
    images = sb.random_images(9, seed, PANELS, max_crystals=3, max_rows=6)
    for m, image in enumerate(images):
        for k, crystal in enumerate(image.crystals):  # each crystal its own cell
            crystal.cell = (f"Cell parameters {7 + m / 10:.5f} {7 + k / 10:.5f} 3.80000 nm, "
                            "90.00000 90.00000 90.00000 deg")
            if not end_crystal and rng.random() < 0.4:
                crystal.end_crystal = False
        if extra:
            image.header = [f"Image serial number: {100 + m}", "hdf5/entry/data = 12",
                            "photon_energy_eV =   9500.5", "peak_resolution = 2.1 nm^-1 or 4.7 A",
                            "num_peaks = 20", "an unknown line"]
            for crystal in image.crystals:
                crystal.keys = ["indexed_by = xgandalf-nolatt", "lattice_type = orthorhombic",
                                "centering = C", *crystal.keys, "a stray  line  "]
    if damaged:  # a damaged crystal before a good one, and one between two good ones
        images[1].crystals.insert(0, sb.Crystal(rows=[sb.row(1, 2, 3)], cell=DAMAGED_CELL))
        images[2].crystals[1:1] = [sb.Crystal(rows=[sb.row(4, 5, 6)], cell=DAMAGED_CELL)]
        if not images[2].crystals[0].rows:
            images[2].crystals[0].rows = [sb.row(7, 8, 9)]
    return images


def _text(variant: str) -> bytes:
    images = _images(len(variant), damaged="damaged" in variant,
                     end_crystal="no-end" not in variant, extra="keys" in variant)
    images[2].crystals = images[2].crystals or [sb.Crystal(rows=[sb.row(1, 1, 1)])]
    text = sb.stream(images, header=HEADER)
    if "damaged" in variant:  # a chunk in which no image can be read
        text += "----- Begin chunk -----\nImage filename: cut.h5\n----- End chunk -----\n"
        text += sb.Image(filename="last.h5", crystals=[sb.Crystal(rows=[sb.row(2, 2, 2)])]).text()
    if "crlf" in variant:
        text = text.replace("\n", "\r\n")
    data = text.encode()
    if "keys" in variant:  # bytes that are not UTF-8 in the header and in a chunk
        data = data.replace(b"Generated for tests", b"Generated \xff for tests", 1)
        data = data.replace(b"an unknown line", b"an unknown \xfe line", 1)
    return data


VARIANTS = ["plain", "crlf", "damaged", "keys", "no-end", "damaged-crlf-keys-no-end"]


@pytest.fixture(params=VARIANTS)
def source(request, tmp_path):
    path = tmp_path / f"{request.param}.stream"
    path.write_bytes(_text(request.param))
    return path


@pytest.fixture
def real(sample, tmp_path):
    """The generated real-layout sample (serial numbers, peak lists, keys), copied."""
    path = tmp_path / "real.stream"
    shutil.copyfile(sample, path)
    return path


# -- the reference: the source text, line by line ---------------------------------------

@dataclass
class Chunk:
    lines: list[bytes]
    image: bool
    # per crystal block: (first line, last line + 1, damaged)
    blocks: list[tuple[int, int, bool]]


def _split(data: bytes) -> tuple[bytes, list[Chunk]]:
    lines = re.split(rb"(?<=\n)", data)
    lines = [line for line in lines if line]
    first = next((i for i, line in enumerate(lines) if line.startswith(b"----- Begin chunk")),
                 len(lines))
    header, chunks = b"".join(lines[:first]), []
    for line in lines[first:]:
        if line.startswith(b"----- Begin chunk"):
            chunks.append(Chunk([], False, []))
        chunks[-1].lines.append(line)
    for chunk in chunks:
        ls = chunk.lines
        chunk.image = any(line.startswith(b"Event:") for line in ls)
        start = None
        for i, line in enumerate(ls):
            ends_open = line.startswith((b"--- Begin crystal", b"----- End chunk"))
            if start is not None and ends_open:
                chunk.blocks.append((start, i, ls[start + 1].startswith(DAMAGED_CELL.encode())))
                start = None
            if line.startswith(b"--- Begin crystal"):
                start = i
            elif start is not None and line.startswith(b"--- End crystal"):
                chunk.blocks.append((start, i + 1, ls[start + 1].startswith(DAMAGED_CELL.encode())))
                start = None
    return header, chunks


def reference(data: bytes, keep_crystal: np.ndarray, keep_image: np.ndarray,
              drop_empty_images: bool) -> bytes:
    header, chunks = _split(data)
    out, image, crystal = [header], 0, 0
    for chunk in chunks:
        if not chunk.image:
            if not drop_empty_images:
                out.append(b"".join(chunk.lines))
            continue
        cut: set[int] = set()
        kept_here = 0
        for first, end, damaged in chunk.blocks:
            if damaged:
                continue
            if keep_crystal[crystal] and keep_image[image]:
                kept_here += 1
            else:
                cut.update(range(first, end))
            crystal += 1
        if keep_image[image] and (kept_here or not drop_empty_images):
            out.append(b"".join(line for i, line in enumerate(chunk.lines) if i not in cut))
        image += 1
    assert crystal == len(keep_crystal) and image == len(keep_image)
    return b"".join(out)


def _masks(s: quillon.Stream, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    return rng.random(s.n_crystals) < 0.5, rng.random(s.n_images) < 0.8


def _same_columns(a: quillon.Stream, b: quillon.Stream) -> None:
    assert a.filenames == b.filenames and a.events == b.events
    for name, values in a.columns.items():
        np.testing.assert_array_equal(values, b.columns[name], err_msg=name)


# -- Stream.select(...).write ----------------------------------------------------------

def test_reading_everything_back_writes_the_source(source, tmp_path):
    out = tmp_path / "out.stream"
    quillon.read(source, panels=PANELS).write(out)
    assert out.read_bytes() == source.read_bytes()


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("drop_empty_images", [False, True])
def test_selection_cuts_exactly_the_dropped_blocks(source, tmp_path, seed, drop_empty_images):
    s = quillon.read(source, panels=PANELS)
    crystals, images = _masks(s, seed)
    chosen = s.select(crystals=crystals, images=images, drop_empty_images=drop_empty_images)
    out = tmp_path / "out.stream"
    chosen.write(out)
    keep_crystal = crystals & images[s.columns["image_id"]]
    assert out.read_bytes() == reference(source.read_bytes(), keep_crystal, images,
                                         drop_empty_images)
    _same_columns(quillon.read(out, panels=PANELS), chosen)


def test_damaged_crystal_before_a_good_one_is_not_taken_for_it(tmp_path):
    good = [sb.Crystal(rows=[sb.row(k, k, k)], cell=f"Cell parameters {k} 8 9 nm, 90 90 90 deg")
            for k in (5, 6)]
    bad = sb.Crystal(rows=[sb.row(1, 1, 1)], cell=DAMAGED_CELL)
    path = tmp_path / "in.stream"
    path.write_text(sb.stream([sb.Image(crystals=[bad, *good])]))
    s = quillon.read(path, panels=PANELS)
    assert s.n_crystals == 2 and "crystal_cell" in s.report
    out = tmp_path / "out.stream"
    s.select(crystals=[1]).write(out)  # the second good crystal: the chunk's third block
    text = out.read_text()
    assert DAMAGED_CELL in text and "Cell parameters 6 8 9" in text
    assert "Cell parameters 5 8 9" not in text
    back = quillon.read(out, panels=PANELS)
    assert back.crystals["a"].tolist() == [60.0]


def test_real_layout_stream_keeps_peaks_serials_and_keys(real, tmp_path):
    s = quillon.read(real)
    out = tmp_path / "all.stream"
    s.write(out)
    assert out.read_bytes() == real.read_bytes()
    crystals, images = _masks(s, 5)
    chosen = s.select(crystals=crystals, images=images)
    chosen.write(out)
    data = out.read_bytes()
    assert data == reference(real.read_bytes(), crystals & images[s.columns["image_id"]], images,
                             False)
    assert b"Peaks from peak search" in data and b"Image serial number:" in data


# -- batches, concat ---------------------------------------------------------------------

@pytest.mark.parametrize("batch_bytes", [1, 700, 5000])
def test_batches_joined_write_what_one_read_writes(source, tmp_path, batch_bytes):
    whole = quillon.read(source, panels=PANELS)
    crystals, images = _masks(whole, 7)
    joined = quillon.concat(list(quillon.iter_batches(source, batch_bytes=batch_bytes,
                                                      panels=PANELS)))
    a, b = tmp_path / "a.stream", tmp_path / "b.stream"
    whole.select(crystals=crystals, images=images).write(a)
    joined.select(crystals=crystals, images=images).write(b)
    assert a.read_bytes() == b.read_bytes()
    assert PEAK_ROW in b.read_bytes()


def test_a_stream_twice_or_two_files_are_written_from_the_columns(source, tmp_path):
    s = quillon.read(source, panels=PANELS)
    other = tmp_path / "other.stream"
    shutil.copyfile(source, other)
    for joined in (quillon.concat([s, s]),
                   quillon.concat([s, quillon.read(other, panels=PANELS)])):
        with pytest.raises(ValueError, match="no source text"):
            joined.write(tmp_path / "x.stream", verbatim=True)
        joined.write(tmp_path / "x.stream")
        assert PEAK_ROW not in (tmp_path / "x.stream").read_bytes()


# -- what is refused, what falls back to the columns ------------------------------------

def _change(path, how: str) -> None:
    st = os.stat(path)
    if how == "append":
        with open(path, "ab") as f:
            f.write(b"\n")
    elif how == "same size, later time":
        data = path.read_bytes()
        path.write_bytes(data.replace(b"p0", b"p1", 1))
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    elif how == "removed":
        path.unlink()


@pytest.mark.parametrize("how", ["append", "same size, later time", "removed"])
def test_changed_source_is_refused_and_nothing_written(tmp_path, how):
    path = tmp_path / "in.stream"
    path.write_bytes(_text("plain"))
    s = quillon.read(path, panels=PANELS).select(crystals=[0])
    _change(path, how)
    out = tmp_path / "out.stream"
    with pytest.raises(quillon.StreamChangedError, match="in.stream"):
        s.write(out)
    assert not out.exists() and os.listdir(tmp_path) == (["in.stream"] if how != "removed" else [])
    s.write(out, verbatim=False)  # the columns are still there
    assert quillon.read(out, panels=PANELS).n_crystals == 1


def test_column_writer_on_request_or_with_cell_options(source, tmp_path):
    s = quillon.read(source, panels=PANELS)
    columns, forced = tmp_path / "columns.stream", tmp_path / "forced.stream"
    s.write(columns, verbatim=False)
    assert PEAK_ROW not in columns.read_bytes()
    s.write(forced, lattice_type="cubic")
    assert b"lattice_type = cubic" in forced.read_bytes()
    with pytest.raises(ValueError, match="lattice_type"):
        s.write(forced, verbatim=True, lattice_type="cubic")
    with pytest.raises(ValueError, match="no source text"):
        quillon.Stream.empty(PANELS).write(tmp_path / "e.stream", verbatim=True)


def test_a_new_header_replaces_only_the_header(tmp_path):
    path = tmp_path / "in.stream"
    path.write_bytes(_text("crlf"))
    out = tmp_path / "out.stream"
    quillon.read(path, panels=PANELS).write(out, header="new header\n")
    head, _ = _split(path.read_bytes())
    assert out.read_bytes() == b"new header\n" + path.read_bytes()[len(head):]


# -- the command -------------------------------------------------------------------------

def _filter(*args: str) -> str:
    result = CliRunner().invoke(cli, ["filter", *map(str, args)], catch_exceptions=False)
    assert result.exit_code == 0, result.output
    return result.output


@pytest.mark.parametrize("options", [[], ["--min-reflections", "0"],
                                     ["--min-reflections", "0", "--batch-size", "1KiB"]])
def test_filter_keeping_everything_copies_the_input(source, tmp_path, options):
    out = tmp_path / "out.stream"
    _filter(source, out, "--panels", ",".join(PANELS), *options)
    assert out.read_bytes() == source.read_bytes()


@pytest.mark.parametrize("batch_size", ["1KiB", "256MiB"])
@pytest.mark.parametrize("images_with_crystals", [False, True])
def test_filter_cuts_the_failing_crystals(source, tmp_path, batch_size, images_with_crystals):
    s = quillon.read(source, panels=PANELS)
    n = 3
    passing = s.columns["n_refl"] >= n
    out = tmp_path / "out.stream"
    _filter(source, out, "--panels", ",".join(PANELS), "--min-reflections", n,
            "--batch-size", batch_size, *(["--images-with-crystals"] * images_with_crystals))
    every_image = np.ones(s.n_images, bool)
    assert out.read_bytes() == reference(source.read_bytes(), passing, every_image,
                                         images_with_crystals)


def test_filter_from_columns_writes_the_column_layout(source, tmp_path):
    out, want = tmp_path / "out.stream", tmp_path / "want.stream"
    _filter(source, out, "--panels", ",".join(PANELS), "--min-reflections", 0, "--from-columns")
    quillon.read(source, panels=PANELS).write(want, verbatim=False)
    assert out.read_bytes() == want.read_bytes()


def test_images_sharing_a_chunk_are_cut_at_their_filename_lines(tmp_path):
    # Text after a chunk's end that starts an image is read as an image of that chunk.
    first = sb.Image(filename="a.h5", crystals=[sb.Crystal(rows=[sb.row(1, 1, 1)])]).text()
    stray = "Image filename: stray.h5\nEvent: //9\nnum_peaks = 1\n"
    last = sb.Image(filename="c.h5", crystals=[sb.Crystal(rows=[sb.row(3, 3, 3)])]).text()
    path = tmp_path / "in.stream"
    path.write_text(HEADER + first + stray + last)
    s = quillon.read(path, panels=PANELS)
    assert s.filenames == ["a.h5", "stray.h5", "c.h5"]
    out = tmp_path / "out.stream"
    s.select(images=[0, 2]).write(out)
    assert out.read_text() == HEADER + first + last


def test_rows_out_of_file_order_are_written_from_the_columns(source, tmp_path):
    rows = quillon_native.index_chunks(str(source))
    s = quillon.parse_rows(source, rows[::-1].copy(), panels=PANELS, header="reversed\n")
    with pytest.raises(ValueError, match="no source text"):
        s.write(tmp_path / "out.stream", verbatim=True)
    s.write(tmp_path / "out.stream")
    assert (tmp_path / "out.stream").read_bytes().startswith(b"reversed\n")


@pytest.mark.parametrize("n_threads", [2, 3])
def test_offsets_are_the_same_on_any_number_of_threads(real, n_threads):
    path = str(real)
    rows = quillon_native.index_chunks(path)
    names = quillon.panels_from_header(quillon.read_header(path))
    one = quillon_native._parse_chunks_with_offsets(path, rows, names, 1)
    many = quillon_native._parse_chunks_with_offsets(path, rows, names, n_threads)
    plain = quillon_native.parse_chunks(path, rows, names, n_threads)
    np.testing.assert_array_equal(one[4], many[4])
    np.testing.assert_array_equal(one[5], many[5])
    assert one[4].shape == (len(plain[1]),) and one[5].shape == (len(plain[0]["n_refl"]), 2)
    for name, values in plain[0].items():
        np.testing.assert_array_equal(values, many[0][name], err_msg=name)
    assert "_parse_chunks_with_offsets" not in quillon_native.__all__
