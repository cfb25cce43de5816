"""to_arrow, to_parquet and read_parquet: the round trip is exact."""
from __future__ import annotations

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
    for name in ("observations", "crystals", "images"):
        pq.write_table(pa.table({"x": [1]}), tmp_path / f"{name}.parquet")
    with pytest.raises(ValueError, match="not a folder written by quillon"):
        quillon.read_parquet(tmp_path)
