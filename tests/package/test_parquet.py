"""to_arrow, to_parquet and read_parquet: the round trip is exact."""
from __future__ import annotations

import json
import pathlib
import shutil

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quillon
import stream_builder as sb
from conftest import GEOMETRY


@pytest.fixture
def unicode_stream(write_text):
    """Image names and events in many scripts, an unknown panel and a damaged row."""
    crystals = [sb.Crystal(rows=[sb.row(1, 2, 3), sb.row(0, 1, 0, panel="zz"), "1 2 3"])]
    images = [sb.Image(filename="données/画像 🧪 run.h5", event="//ß/1", crystals=crystals),
              sb.Image(filename="Ωmega\u200b.h5", event=None),
              sb.Image(filename="plain.h5", crystals=crystals * 2)]
    return write_text(sb.stream(images, GEOMETRY + "Ünïcode header ✓\n"), "ünï.stream")


def read_quietly(path):
    with pytest.warns(quillon.UnknownPanelWarning):
        return quillon.read(path)


@pytest.mark.parametrize("which", ["sample", "unicode"])
def test_parquet_round_trip_is_exact(request, tmp_path, assert_same, which):
    source = request.getfixturevalue("sample" if which == "sample" else "unicode_stream")
    s = quillon.read(source) if which == "sample" else read_quietly(source)
    folder = tmp_path / "résultats 結果.parquet"
    s.to_parquet(folder)
    back = quillon.read_parquet(folder)
    assert_same(back, s)
    assert back.path == s.path and repr(back) == repr(s)
    assert back.observations.equals(s.observations)


@pytest.mark.parametrize("options", [{"compression": "zstd"}, {"use_dictionary": ["panel"]}])
def test_write_options_keep_the_round_trip_exact(small_stream, tmp_path, assert_same, options):
    s = quillon.read(small_stream)
    s.to_parquet(tmp_path / "p", **options)
    assert_same(quillon.read_parquet(tmp_path / "p"), s)
    codec = pq.ParquetFile(tmp_path / "p" / "observations" / "part.0.parquet").metadata.row_group(0).column(0)
    assert codec.compression == options.get("compression", "snappy").upper()


def test_batch_round_trip_keeps_its_ids(sample, tmp_path, assert_same):
    batch = list(quillon.iter_batches(sample, batch_bytes="500K"))[2]
    batch.to_parquet(tmp_path / "b")
    back = quillon.read_parquet(tmp_path / "b")
    assert_same(back, batch)
    assert (back.first_crystal_id, back.first_image_id) == (batch.first_crystal_id,
                                                           batch.first_image_id)


def test_arrow_tables(unicode_stream):
    s = read_quietly(unicode_stream)
    tables = s.to_arrow()
    assert list(tables) == ["observations", "crystals", "images"]
    obs = tables["observations"]
    assert obs.schema.field("panel").type == pa.dictionary(pa.int16(), pa.string())
    assert obs.column("panel").to_pylist() == ["p0", None, "p0", None, "p0", None]
    assert obs.column("h").type == pa.int16() and obs.column("d").type == pa.float32()
    assert tables["images"].column("filename").to_pylist() == s.filenames
    assert obs.to_pandas()["I"].equals(s.observations["I"])


def test_read_parquet_refuses_foreign_files(tmp_path):
    with pytest.raises(ValueError, match="not a folder written by quillon"):
        quillon.read_parquet(tmp_path)
    for name in ("observations", "crystals", "images"):
        pq.write_table(pa.table({"x": [1]}), tmp_path / f"{name}.parquet")
    with pytest.raises(ValueError, match="images.parquet: no quillon metadata"):
        quillon.read_parquet(tmp_path)


# -- what read_parquet refuses -----------------------------------------------------------

def _rewrite(folder, table, change):
    """Rewrite the one part of ``table`` with ``change`` applied, keeping its metadata."""
    part = folder / table / "part.0.parquet"
    old = pq.read_table(part)
    pq.write_table(change(old).replace_schema_metadata(old.schema.metadata), part)


def _set(table, name, values, type_=None):
    column = pa.array(values, type_ or table.schema.field(name).type)
    return table.set_column(table.schema.get_field_index(name), name, column)


def _edit_record(folder, **changes):
    data = json.loads((folder / "quillon.json").read_text())
    data.update(changes)
    (folder / "quillon.json").write_text(json.dumps(data))


def _other_write(folder, s):
    s.select(crystals=[0]).to_parquet(folder.parent / "other")
    (folder / "observations" / "part.0.parquet").write_bytes(
        (folder.parent / "other" / "observations" / "part.0.parquet").read_bytes())


CORRUPTIONS = {
    "crystal rows shuffled": (lambda f, s: _rewrite(f, "crystals", lambda t: t.take(
        list(range(t.num_rows))[::-1])), "crystal_id is not 0, 1, … in order"),
    "h overflows int16": (lambda f, s: _rewrite(f, "observations", lambda t: _set(
        t, "h", [40000] + t.column("h").to_pylist()[1:], pa.int64())), "'h' holds values outside"),
    "NaN crystal id": (lambda f, s: _rewrite(f, "observations", lambda t: _set(
        t, "crystal_id", [float("nan")] + t.column("crystal_id").to_pylist()[1:], pa.float64())),
        "'crystal_id' holds values that are not whole"),
    "missing crystal id": (lambda f, s: _rewrite(f, "observations", lambda t: _set(
        t, "crystal_id", [None] + t.column("crystal_id").to_pylist()[1:])), "missing values"),
    "1e300 intensity": (lambda f, s: _rewrite(f, "observations", lambda t: _set(
        t, "I", [1e300] + t.column("I").to_pylist()[1:], pa.float64())), "too large for float32"),
    "n_refl changed": (lambda f, s: _rewrite(f, "crystals", lambda t: _set(
        t, "n_refl", [t.column("n_refl")[0].as_py() + 1] + t.column("n_refl").to_pylist()[1:])),
        "n_refl differs from the reflections of 1 crystals"),
    "crystal id out of range": (lambda f, s: _rewrite(f, "observations", lambda t: _set(
        t, "crystal_id", t.column("crystal_id").to_pylist()[:-1] + [10**6])), "out of range"),
    "id column missing": (lambda f, s: _rewrite(f, "images", lambda t: t.drop_columns(
        ["image_id"])), "no column 'image_id'"),
    "another version": (lambda f, s: _edit_record(f, version=3), "format version 3"),
    "negative first id": (lambda f, s: _edit_record(f, first_crystal_id=-5), "first_crystal_id"),
    "panel not in the record": (lambda f, s: _edit_record(f, panels=["q0", "q1"]),
                                "panel 'p0' is not in the panel list"),
    "broken record": (lambda f, s: (f / "quillon.json").write_text('{"format": "quil'), "broken"),
    "parts of another write": (_other_write, "from another write"),
    "a foreign part": (lambda f, s: (f / "images" / "part.0.parquet").write_bytes(
        _plain_parquet()), "not a part written by quillon"),
}


def _plain_parquet():
    sink = pa.BufferOutputStream()
    pq.write_table(pa.table({"x": [1]}), sink)
    return sink.getvalue().to_pybytes()


@pytest.mark.parametrize("corruption", list(CORRUPTIONS))
def test_read_parquet_refuses_inconsistent_folders(small_stream, tmp_path, corruption):
    s = quillon.read(small_stream)
    folder = tmp_path / "t"
    s.to_parquet(folder)
    change, message = CORRUPTIONS[corruption]
    change(folder, s)
    with pytest.raises(ValueError, match=message):
        quillon.read_parquet(folder)


def test_one_reader_for_every_writer(sample, tmp_path, assert_same):
    """Tables in parts (as Dask writes them: several files, numbered past 9) read back whole."""
    s = quillon.read(sample)
    s.to_parquet(tmp_path / "whole")
    folder = tmp_path / "whole"
    for table in ("observations", "crystals", "images"):
        part = folder / table / "part.0.parquet"
        whole = pq.read_table(part)
        cuts = np.linspace(0, whole.num_rows, 13).astype(int)
        part.unlink()
        for k, (a, b) in enumerate(zip(cuts[:-1], cuts[1:])):
            pq.write_table(whole.slice(a, b - a), folder / table / f"part.{k}.parquet")
    assert_same(quillon.read_parquet(folder), s)


# -- the one-file-per-table layout of earlier versions ------------------------------------

EARLIER = pathlib.Path(__file__).parent / "data" / "earlier"  # written by that release's code


def _earlier_source(name):
    source = EARLIER / "source.stream"
    with pytest.warns(quillon.UnknownPanelWarning):  # the reflection on panel "zz"
        stream = (list(quillon.iter_batches(source, batch_bytes="2K"))[1]
                  if name == "batch.parquet" else quillon.read(source))
    return stream


@pytest.mark.parametrize("name", ["to_parquet.parquet", "convert.parquet", "batch.parquet"])
def test_earlier_layout_reads_as_its_source(tmp_path, assert_same, name):
    source = _earlier_source(name)
    back = quillon.read_parquet(EARLIER / name)
    assert_same(back, source)
    assert (back.first_crystal_id, back.first_image_id, back.path) == (
        source.first_crystal_id, source.first_image_id, "source.stream")
    assert back.crystals.equals(source.crystals) and back.observations.equals(source.observations)
    # Written again, it is the layout of this version, and reads back the same.
    back.to_parquet(tmp_path / "again")
    assert (tmp_path / "again" / "quillon.json").is_file()
    assert_same(quillon.read_parquet(tmp_path / "again"), source)


def test_convert_reads_the_earlier_layout(tmp_path):
    """The stream written from earlier tables is the stream written from their source."""
    from click.testing import CliRunner
    from quillon.cli._app import cli

    outputs = {}
    for source in ("convert.parquet", "source.stream"):
        outputs[source] = tmp_path / f"from {source}.stream"
        result = CliRunner().invoke(cli, ["convert", str(EARLIER / source), str(outputs[source])])
        assert result.exit_code == 0, result.output
    assert outputs["convert.parquet"].read_bytes() == outputs["source.stream"].read_bytes()
    assert outputs["source.stream"].stat().st_size > 2000


def _rewrite_file(path, change=lambda t: t, meta=lambda m: m):
    """Rewrite one table file with ``change`` applied to its rows and ``meta`` to its record
    (a dict, or None for no metadata)."""
    old = pq.read_table(path)
    raw = (old.schema.metadata or {}).get(b"quillon")
    record = meta(None if raw is None else json.loads(raw))
    metadata = None if record is None else {b"quillon": json.dumps(record).encode()}
    pq.write_table(change(old).replace_schema_metadata(metadata), path)


def _in_all(**changes):
    """The record changed in every table that carries it (``...``: the key removed)."""
    def edit(record):
        if record is None:
            return None
        return {k: v for k, v in {**record, **changes}.items() if v is not ...}

    def change(f):
        for name in ("observations", "crystals", "images"):
            _rewrite_file(f / f"{name}.parquet", meta=edit)
    return change


def _crystals_of_another_write(f):
    images = json.loads(pq.read_schema(f / "images.parquet").metadata[b"quillon"])
    _rewrite_file(f / "crystals.parquet", meta=lambda m: {**images, "header": "other\n"})


EARLIER_CORRUPTIONS = {
    "crystals from another write": (_crystals_of_another_write,
                                    "crystals.parquet: its metadata differs from that of images"),
    "images without metadata": (lambda f: _rewrite_file(f / "images.parquet", meta=lambda m: None),
                                "images.parquet: no quillon metadata"),
    "broken metadata": (lambda f: pq.write_table(pq.read_table(f / "images.parquet")
                        .replace_schema_metadata({b"quillon": b'{"vers'}), f / "images.parquet"),
                        "images.parquet: broken quillon metadata"),
    "another version": (_in_all(version=7), "format version 7"),
    "no header": (_in_all(header=...), "images.parquet: broken .*header"),
    "negative first id": (_in_all(first_image_id=-1), "first_image_id"),
    "report not triples": (_in_all(report=[["x", 1]]), "broken"),
    "panel not in the record": (_in_all(panels=["q0", "q1"]), "panel 'p0' is not in the panel"),
    "crystals.parquet missing": (lambda f: (f / "crystals.parquet").unlink(),
                                 "no crystals.parquet"),
    "a crystal row dropped": (lambda f: _rewrite_file(f / "crystals.parquet", lambda t: t.slice(
        0, t.num_rows - 1)), "crystal_id out of range"),
    "n_refl changed": (lambda f: _rewrite_file(f / "crystals.parquet", lambda t: _set(
        t, "n_refl", [t.column("n_refl")[0].as_py() + 1] + t.column("n_refl").to_pylist()[1:])),
        "n_refl differs from the reflections of 1 crystals"),
    "reflections out of order": (lambda f: _rewrite_file(f / "observations.parquet", lambda t: t.take(
        list(range(t.num_rows))[::-1])), "crystal_id not in order"),
    "crystals' images out of order": (lambda f: _rewrite_file(f / "crystals.parquet", lambda t: _set(
        t, "image_id", t.column("image_id").to_pylist()[::-1])), "image_id not in order"),
    "h overflows int16": (lambda f: _rewrite_file(f / "observations.parquet", lambda t: _set(
        t, "h", [40000] + t.column("h").to_pylist()[1:], pa.int64())), "'h' holds values outside"),
    "1e300 intensity": (lambda f: _rewrite_file(f / "observations.parquet", lambda t: _set(
        t, "I", [1e300] + t.column("I").to_pylist()[1:], pa.float64())), "too large for float32"),
    "a crystal id column out of order": (lambda f: _rewrite_file(
        f / "crystals.parquet", lambda t: t.append_column("crystal_id", pa.array(
            range(t.num_rows, 0, -1), pa.int32()))), "crystal_id is not 0, 1, … in order"),
    "an event missing": (lambda f: _rewrite_file(f / "images.parquet", lambda t: _set(
        t, "event", [None] + t.column("event").to_pylist()[1:])), "'event' missing or incomplete"),
}


@pytest.mark.parametrize("name", ["to_parquet.parquet", "convert.parquet"])
@pytest.mark.parametrize("corruption", list(EARLIER_CORRUPTIONS))
def test_earlier_layout_is_refused_when_inconsistent(tmp_path, name, corruption):
    folder = tmp_path / name
    shutil.copytree(EARLIER / name, folder)
    change, message = EARLIER_CORRUPTIONS[corruption]
    change(folder)
    with pytest.raises(ValueError, match=message):
        quillon.read_parquet(folder)
