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
        s.write(target)
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


@pytest.mark.parametrize("batch_index", [0, 2])
def test_select_aligns_series_and_takes_ids(sample, batch_index):
    batch = list(quillon.iter_batches(sample, batch_bytes="500K"))[batch_index]
    crystals = batch.crystals
    mask = crystals["a"] > crystals["a"].median()
    by_mask = batch.select(crystals=mask)
    # a mask from a sorted table selects the same crystals: it is aligned on the ids
    shuffled = mask.sort_index(ascending=False)
    pd.testing.assert_frame_equal(batch.select(crystals=shuffled).crystals, by_mask.crystals)
    ids = crystals.index[mask.to_numpy()]
    for picked in (batch.select(crystal_ids=ids.to_numpy()), batch.select(crystals=ids)):
        pd.testing.assert_frame_equal(picked.crystals, by_mask.crystals)
    images = batch.images.index[:3].to_numpy()
    assert batch.select(image_ids=images).filenames == batch.filenames[:3]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"crystals": "reindexed"}, ValueError, "aligned on its index"),
    ({"crystals": "integers"}, TypeError, "must be boolean"),
    ({"crystals": "with NA"}, ValueError, "missing values"),
    ({"crystal_ids": [-1]}, KeyError, "crystal id -1 is not in this Stream"),
    ({"image_ids": [10**6]}, KeyError, "image id 1000000"),
    ({"crystals": [0], "crystal_ids": [0]}, TypeError, "not both"),
])
def test_select_refuses_series_and_ids_that_do_not_match(small_stream, kwargs, error, message):
    s = quillon.read(small_stream)
    if kwargs.get("crystals") == "reindexed":
        kwargs = {"crystals": (s.crystals["a"] > 0).reset_index(drop=True).shift(1).dropna()
                  .astype(bool)}
    elif kwargs.get("crystals") == "integers":
        kwargs = {"crystals": s.crystals["n_refl"]}
    elif kwargs.get("crystals") == "with NA":
        mask = (s.crystals["a"] > 0).astype("boolean")
        mask.iloc[1] = pd.NA
        kwargs = {"crystals": mask}
    with pytest.raises(error, match=message):
        s.select(**kwargs)


def test_concat_of_different_headers_warns_and_write_needs_a_header(small_stream, sample, tmp_path):
    a, b = quillon.read(small_stream), quillon.read(sample)
    with pytest.warns(UserWarning, match="headers differ"):
        both = quillon.concat([a, b])
    assert both.headers_differ and both.select(crystals=[0]).headers_differ
    with pytest.raises(ValueError, match="headers differ"):
        both.write(tmp_path / "both.stream")
    assert not (tmp_path / "both.stream").exists()
    both.write(tmp_path / "both.stream", header=b.header)
    assert quillon.read(tmp_path / "both.stream").n_crystals == both.n_crystals
    assert not quillon.concat([a, a]).headers_differ
