"""iter_batches and concat: batches concatenate to what read gives, ids count over the file."""
from __future__ import annotations

import numpy as np
import pytest
import quillon_native as qn

import quillon
import stream_builder as sb
from conftest import GEOMETRY


@pytest.mark.parametrize("batch_bytes", [1, "40 KiB", "300K", "1 GiB"])
def test_batches_concatenate_to_read(sample, batch_bytes, assert_same):
    whole = quillon.read(sample)
    batches = list(quillon.iter_batches(sample, batch_bytes=batch_bytes, n_threads=2))
    n_chunks = len(qn.index_chunks(sample))
    assert len(batches) == {1: n_chunks, "1 GiB": 1}.get(batch_bytes, len(batches))
    assert 1 < len(batches) < n_chunks or batch_bytes in (1, "1 GiB")
    assert_same(quillon.concat(batches), whole)
    first_crystal = first_image = 0
    for batch in batches:
        assert (batch.first_crystal_id, batch.first_image_id) == (first_crystal, first_image)
        assert batch.crystals.index.tolist() == list(range(first_crystal,
                                                           first_crystal + batch.n_crystals))
        assert batch.images.index[0] == first_image
        assert set(batch.observations["crystal_id"]) <= set(batch.crystals.index)
        assert set(batch.crystals["image_id"]) <= set(batch.images.index)
        first_crystal += batch.n_crystals
        first_image += batch.n_images


def test_batches_are_about_batch_bytes(sample):
    rows = qn.index_chunks(sample)
    budget = 200_000
    sizes = [b.n_images for b in quillon.iter_batches(sample, batch_bytes=budget)]
    ends = np.cumsum(sizes)
    lengths = rows[:, 1] - rows[:, 0]
    for start, stop in zip(np.r_[0, ends[:-1]], ends):
        text = int(lengths[start:stop].sum())
        assert text - int(lengths[stop - 1]) < budget  # no chunk added after the budget was met
        assert stop == len(rows) or text >= budget


def test_batches_of_the_unknown_panel_stream_match_read(write_text, assert_same):
    images = sb.random_images(20, seed=9, panels=["p0", "p1", "p9"])
    path = write_text(sb.stream(images, GEOMETRY))
    with pytest.warns(quillon.UnknownPanelWarning):
        whole = quillon.read(path)
    with pytest.warns(quillon.UnknownPanelWarning):
        batches = list(quillon.iter_batches(path, batch_bytes=2000))
    assert_same(quillon.concat(batches), whole)


def test_progress_bar_goes_to_stderr(sample, capfd):
    n = sum(1 for _ in quillon.iter_batches(sample, batch_bytes="500K", progress=True))
    out, err = capfd.readouterr()
    assert n > 1 and out == "" and "sample.stream" in err and "MB" in err


def test_concat_of_different_files_merges_panels_and_reports(write_text):
    damaged = sb.Crystal(rows=[sb.row(1, 1, 1, panel="p1"), "1 2"])
    a = quillon.read(write_text(sb.stream([sb.Image(crystals=[damaged])], GEOMETRY), "a.stream"))
    b = quillon.read(write_text(sb.stream([sb.Image(crystals=[damaged, damaged])], ""), "b.stream"),
                     panels=["p2", "p1"])
    both = quillon.concat([a, b])
    assert both.panels == ["p0", "p1", "p2"]
    assert both.observations["panel"].tolist() == ["p1"] * 3
    assert both.columns["crystal_id"].tolist() == [0, 1, 2]
    assert both.columns["image_id"].tolist() == [0, 1, 1]
    offset = a.report["reflection_short"][1]
    assert both.report == {"reflection_short": (3, offset)}
    assert both.path is None and both.header == GEOMETRY


def test_concat_needs_a_stream():
    with pytest.raises(ValueError):
        quillon.concat([])
