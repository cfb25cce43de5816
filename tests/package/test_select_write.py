"""Stream.select and Stream.write: consistent selections that read back as selected."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quillon


def crystal_rows(stream) -> pd.DataFrame:
    """Crystal values that survive a write and a read, ids left out."""
    return stream.crystals.drop(columns=["image_id"]).reset_index(drop=True)


@pytest.mark.parametrize("drop_empty_images", [False, True])
def test_select_write_read_gives_the_selected_crystals(sample, tmp_path, drop_empty_images):
    s = quillon.read(sample)
    mask = s.crystals["a"].between(78.9, 79.2)
    assert 0 < mask.sum() < s.n_crystals
    good = s.select(crystals=mask, drop_empty_images=drop_empty_images)
    expected = s.crystals[mask.to_numpy()]
    pd.testing.assert_frame_equal(crystal_rows(good), crystal_rows(s)[mask.to_numpy()].reset_index(drop=True))
    kept_images = sorted(set(expected["image_id"])) if drop_empty_images else list(range(s.n_images))
    assert good.filenames == [s.filenames[i] for i in kept_images]
    assert good.crystals["image_id"].tolist() == [kept_images.index(i) for i in expected["image_id"]]
    obs = s.observations[s.observations["crystal_id"].isin(expected.index)]
    np.testing.assert_array_equal(good.observations[["h", "k", "l", "I"]], obs[["h", "k", "l", "I"]])

    good.write(tmp_path / "good.stream")
    back = quillon.read(tmp_path / "good.stream")
    pd.testing.assert_frame_equal(crystal_rows(back), crystal_rows(good))
    pd.testing.assert_frame_equal(back.observations, good.observations)
    pd.testing.assert_frame_equal(back.images, good.images)
    assert back.header == s.header


def test_select_recomputes_ids_and_counts(small_stream):
    s = quillon.read(small_stream)
    two_per_image = s.crystals.groupby("image_id").size()
    image = int(two_per_image[two_per_image >= 2].index[-1])
    assert image != s.crystals["image_id"][0]
    first, second = s.crystals.index[s.crystals["image_id"] == image][:2]
    # positions in any order, negative ones counting from the end
    picked = s.select(crystals=[second - s.n_crystals, 0, second], images=[image, 0, -1])
    kept = [c for c in sorted({0, second}) if s.crystals["image_id"][c] in {image, 0}]
    assert picked.n_images == len({image, 0, s.n_images - 1})
    assert picked.crystals["n_refl"].tolist() == s.crystals["n_refl"][kept].tolist()
    image_of = s.crystals["image_id"]
    assert picked.crystals["crystal_in_image"].tolist() == [
        sum(image_of[d] == image_of[c] for d in kept[:i]) for i, c in enumerate(kept)]
    assert picked.crystals["crystal_in_image"].tolist()[-1] == 0  # `first` was left out
    assert picked.observations["crystal_id"].tolist() == np.repeat(
        np.arange(len(kept)), picked.crystals["n_refl"]).tolist()
    assert picked.columns["n_refl"].sum() == len(picked)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"crystals": [True, False]}, ValueError, "crystals mask"),
    ({"images": np.ones(1000, bool)}, ValueError, "images mask"),
    ({"crystals": [0, 10_000]}, IndexError, "crystals position 10000"),
    ({"images": [-10_000]}, IndexError, "images position -10000"),
    ({"crystals": [0.5]}, TypeError, "crystals"),
])
def test_select_refuses_bad_selections(small_stream, kwargs, error, message):
    with pytest.raises(error, match=message):
        quillon.read(small_stream).select(**kwargs)


def test_write_takes_header_and_cell_from_the_source(small_stream, tmp_path):
    s = quillon.read(small_stream)
    s.write(tmp_path / "same.stream", n_threads=2)
    text = (tmp_path / "same.stream").read_text()
    assert text.startswith(s.header) and "lattice_type = tetragonal\ncentering = P\n" in text
    s.write(tmp_path / "other.stream", header="new\n", lattice_type="cubic")
    text = (tmp_path / "other.stream").read_text()
    assert text.startswith("new\n----- Begin chunk") and "lattice_type = cubic\ncentering = P" in text


def test_refused_write_leaves_an_existing_file_alone(small_stream, tmp_path):
    s = quillon.read(small_stream)
    s.columns["panel_id"][:1] = -1  # a reflection whose panel name is not known
    target = tmp_path / "keep.stream"
    target.write_text("precious")
    with pytest.raises(ValueError, match="1 reflection is on a panel not in the panel list"):
        s.write(target, verbatim=False)
    assert target.read_text() == "precious"


def test_a_batch_writes_and_selects_like_a_whole_stream(sample, tmp_path, assert_same):
    batch = list(quillon.iter_batches(sample, batch_bytes="500K"))[1]
    assert batch.first_image_id > 0
    batch.write(tmp_path / "batch.stream")
    back = quillon.read(tmp_path / "batch.stream")
    assert_same(back.select(), batch.select(), ids=False)
    np.testing.assert_array_equal(back.columns["image_id"] + batch.first_image_id,
                                  batch.columns["image_id"])
    picked = batch.select(crystals=[0])
    assert picked.crystals.index.tolist() == [batch.first_crystal_id]
    assert picked.observations["crystal_id"].unique().tolist() == [batch.first_crystal_id]
