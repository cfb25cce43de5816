"""parse_chunks end to end: checks, columns, ids, reports, thread counts."""
import gc

import numpy as np
import pytest

import quillon_native as qn
from stream_builder import Crystal, Image, random_images, row, stream

PANELS = [f"p{i}" for i in range(6)]
SHAPES = {"hkl": 3, "cell": 6, "astar": 3, "bstar": 3, "cstar": 3}
DTYPES = {"hkl": np.int16, "panel_id": np.int16, "crystal_id": np.int32, "n_refl": np.int32,
          "image_id": np.int32, "crystal_in_image": np.int32, "n_peaks": np.int32}
ORDER = ["hkl", "I", "sigma", "peak", "background", "fs", "ss", "panel_id", "crystal_id", "cell",
         "astar", "bstar", "cstar", "profile_rad", "resolution", "n_refl", "image_id",
         "crystal_in_image", "beam_energy", "det_shift_x", "det_shift_y", "camera_length", "n_peaks"]


def damaged_text(seed):
    """A generated stream with truncations, junk and malformed rows spliced in."""
    rng = np.random.default_rng(seed)
    images = random_images(80, seed=seed, panels=PANELS)
    for im in images[::7]:
        for c in im.crystals:
            c.rows.insert(0, "1 2 3 4 5")                      # too short
            c.rows.append(row(40000, 1, 1))                      # hkl out of range
            c.rows.append("1.5 2 3 4 5 6 7 8 9 p0")             # h not an integer
    for im in images[3::11]:
        im.header.append("photon_energy_eV = lots")
        for c in im.crystals:
            c.end_crystal = False
    cut = Crystal(rows=[row(1, 2, 3)] * 3).text().split("End of reflections")[0]
    images.insert(40, Image(filename="cut.h5"))
    text = stream(images)
    at = text.index("End of peak list\n", text.index("Image filename: cut.h5")) + 17
    text = text[:at] + cut + text[at:]
    # Cut a few chunks short, in the middle of a line.
    pieces = text.split("----- Begin chunk -----")
    for k in rng.choice(len(pieces) - 1, 5, replace=False) + 1:
        p = pieces[k]
        pieces[k] = p[: int(rng.integers(1, len(p)))]
    return "----- Begin chunk -----".join(pieces) + "\x00\xff garbage\n"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("parse")
    out = {}
    for name, text in [("generated", stream(random_images(120, seed=2, panels=PANELS))),
                       ("damaged", damaged_text(3))]:
        p = d / f"{name}.stream"
        p.write_bytes(text.encode("utf-8", "surrogateescape"))
        out[name] = p
    return out


def parse(path, n_threads=1, chunks=None, panels=PANELS):
    if chunks is None:
        chunks = qn.index_chunks(path, n_threads)
    return qn.parse_chunks(path, chunks, panels, n_threads)


def assert_same(a, b):
    cols_a, f_a, e_a, r_a = a
    cols_b, f_b, e_b, r_b = b
    assert list(cols_a) == list(cols_b) == ORDER
    for k in ORDER:
        np.testing.assert_array_equal(cols_a[k], cols_b[k], err_msg=k)
    assert (f_a, e_a, r_a) == (f_b, e_b, r_b)


@pytest.mark.parametrize("name", ["generated", "damaged"])
@pytest.mark.parametrize("n_threads", [0, 2, 4, 8, 1000])
def test_identical_for_every_thread_count(files, name, n_threads):
    assert_same(parse(files[name], n_threads), parse(files[name], 1))


def test_columns_are_consistent(files):
    cols, filenames, events, report = parse(files["damaged"], 4)
    n_obs, n_cryst, n_img = len(cols["I"]), len(cols["n_refl"]), len(cols["beam_energy"])
    for k in ORDER:
        dtype = DTYPES.get(k, np.float32)
        assert cols[k].dtype == dtype, k
        level = n_obs if ORDER.index(k) < 9 else n_cryst if ORDER.index(k) < 18 else n_img
        assert cols[k].shape == ((level, SHAPES[k]) if k in SHAPES else (level,)), k
        assert cols[k].flags.c_contiguous and cols[k].flags.writeable and not cols[k].flags.owndata
    assert len(filenames) == len(events) == n_img
    assert cols["n_refl"].sum() == n_obs
    np.testing.assert_array_equal(cols["crystal_id"], np.repeat(np.arange(n_cryst), cols["n_refl"]))
    assert (np.diff(cols["image_id"]) >= 0).all() and cols["image_id"].max() < n_img
    for m in np.unique(cols["image_id"]):
        np.testing.assert_array_equal(cols["crystal_in_image"][cols["image_id"] == m],
                                      np.arange((cols["image_id"] == m).sum()))
    assert set(report) >= {"reflection_short", "reflection_hkl_range", "reflection_value",
                           "key_value", "crystal_truncated"}
    assert list(report) == [r for r in ["reflection_short", "reflection_value",
                                        "reflection_hkl_range", "crystal_cell", "crystal_vector",
                                        "crystal_truncated", "image_truncated", "chunk_no_image",
                                        "key_value", "det_shift"] if r in report]


def test_values_of_a_known_image(tmp_path):
    f = tmp_path / "one.stream"
    f.write_text(stream([Image(filename="run7/img_0001.h5", event="//12", crystals=[
        Crystal(rows=[row(1, -2, 3, panel="p1"), row(-4, 5, -6, i=-7.25, panel="nowhere")])])]))
    cols, filenames, events, report = parse(f, 1, panels=["p0", "p1"])
    assert report == {}
    assert (filenames, events) == (["run7/img_0001.h5"], ["//12"])
    assert cols["hkl"].tolist() == [[1, -2, 3], [-4, 5, -6]]
    assert cols["I"].tolist() == [np.float32(1234.5), np.float32(-7.25)]
    assert cols["panel_id"].tolist() == [1, 0]
    np.testing.assert_array_equal(cols["cell"], np.float32([[79.1, 79.1, 38.0, 90, 90, 90]]))
    np.testing.assert_array_equal(cols["astar"], np.float32([[0.0126422, 0, 0]]))
    np.testing.assert_array_equal(cols["profile_rad"], np.float32([0.0005]))
    np.testing.assert_array_equal(cols["resolution"], np.float32([2.0]))
    assert cols["beam_energy"].tolist() == [9500.0]
    np.testing.assert_array_equal(cols["camera_length"], np.float32([0.2]))
    np.testing.assert_array_equal(cols["det_shift_x"], np.float32([0.01]))
    np.testing.assert_array_equal(cols["det_shift_y"], np.float32([-0.02]))
    assert cols["n_peaks"].tolist() == [3]


def test_empty_chunks_never_open_the_file():
    cols, filenames, events, report = qn.parse_chunks("/nonexistent/file", np.zeros((0, 4), np.int64), [])
    assert list(cols) == ORDER
    for k in ORDER:
        assert cols[k].shape == ((0, SHAPES[k]) if k in SHAPES else (0,))
    assert (filenames, events, report) == ([], [], {})


@pytest.mark.parametrize("chunks, message", [
    (np.zeros((0, 5), np.int64), "chunks must have 4 columns, got 5"),
    (np.zeros((2, 3), np.int64), "chunks must have 4 columns, got 3"),
    (np.array([[0, 10, 0, 0], [-1, 5, 0, 0], [9, 3, 0, 0]], np.int64), "invalid chunk byte range [-1, 5]"),
    (np.array([[0, 10, 0, 0], [9, 3, 0, 0], [-1, 5, 0, 0]], np.int64), "invalid chunk byte range [9, 3]"),
])
def test_chunk_checks(chunks, message):
    with pytest.raises(ValueError) as info:
        qn.parse_chunks("/nonexistent", chunks, [])
    assert str(info.value) == message


def test_check_order_and_panel_limit(tmp_path):
    bad_row = np.array([[5, 1, 0, 0]], np.int64)
    with pytest.raises(ValueError, match=r"invalid chunk byte range"):
        qn.parse_chunks("/nonexistent", bad_row, ["x"] * 40000)
    with pytest.raises(ValueError) as info:
        qn.parse_chunks("/nonexistent", np.zeros((0, 4), np.int64), ["x"] * 32769)
    assert str(info.value) == "more panels than an int16 panel_id can hold"
    names = [f"n{i}" for i in range(32768)]
    f = tmp_path / "p.stream"
    f.write_text(stream([Image(crystals=[Crystal(rows=[row(1, 1, 1, panel="n32767")])])]))
    cols, *_ = qn.parse_chunks(f, qn.index_chunks(f), names)
    assert cols["panel_id"].tolist() == [32767]


def test_duplicate_panel_name_takes_last_position(tmp_path):
    f = tmp_path / "p.stream"
    f.write_text(stream([Image(crystals=[Crystal(rows=[row(1, 1, 1, panel="a")])])]))
    cols, *_ = qn.parse_chunks(f, qn.index_chunks(f), ["a", "b", "a", "c"])
    assert cols["panel_id"].tolist() == [2]


@pytest.mark.parametrize("view", [
    lambda c: c[::-1],
    lambda c: np.asfortranarray(c),
    lambda c: c[::2],
    lambda c: np.ascontiguousarray(np.concatenate([c, c[:, :2]], axis=1))[:, :4],
])
def test_chunk_views_parse_in_their_row_order(files, view):
    path = files["generated"]
    chunks = qn.index_chunks(path)
    got = qn.parse_chunks(path, view(chunks), PANELS, 2)
    expected = qn.parse_chunks(path, np.ascontiguousarray(view(chunks)), PANELS, 1)
    assert_same(got, expected)
    if view(chunks)[0, 0] > view(chunks)[-1, 0]:
        assert got[1] == expected[1] == parse(path)[1][::-1]


def test_selected_rows_and_merged_reports(files):
    path = files["damaged"]
    chunks = qn.index_chunks(path)
    full = parse(path, 1)[3]
    halves = [qn.parse_chunks(path, chunks[: len(chunks) // 2], PANELS)[3],
              qn.parse_chunks(path, chunks[len(chunks) // 2:], PANELS)[3]]
    for reason, (count, first) in full.items():
        parts = [h[reason] for h in halves if reason in h]
        assert count == sum(c for c, _ in parts)
        assert first == min(o for _, o in parts)


def test_arrays_outlive_the_result_dict(files):
    cols, *_ = parse(files["generated"], 2)
    hkl = cols["hkl"]
    expected = hkl.copy()
    del cols
    gc.collect()
    hkl[0, 0] = 7  # writeable, and still backed by live memory
    assert hkl[1:].tolist() == expected[1:].tolist()


def test_missing_file_fails_the_whole_call(tmp_path):
    f = tmp_path / "gone.stream"
    f.write_text(stream(random_images(10, seed=5, panels=PANELS)))
    chunks = qn.index_chunks(f)
    f.unlink()
    for n in (1, 4):
        with pytest.raises(FileNotFoundError, match=r"^No such file or directory \(os error 2\)$"):
            qn.parse_chunks(f, chunks, PANELS, n)


def test_file_shrinking_after_index(tmp_path):
    f = tmp_path / "shrink.stream"
    text = stream(random_images(30, seed=6, panels=PANELS))
    f.write_text(text)
    chunks = qn.index_chunks(f)
    f.write_text(text[: len(text) // 2])
    for n in (1, 3):
        cols, filenames, events, report = qn.parse_chunks(f, chunks, PANELS, n)
        assert len(filenames) <= len(chunks)
    # Cut at a chunk start: every row from there on is wholly past the end, and the
    # report accounts for each of them.
    kept = 11
    f.write_bytes(text.encode()[: chunks[kept, 0]])
    for n in (1, 3):
        cols, filenames, events, report = qn.parse_chunks(f, chunks, PANELS, n)
        assert len(filenames) == kept
        assert report["image_truncated"] == (len(chunks) - kept, chunks[kept, 0])


def test_absurd_capacity_hints_are_only_hints(files):
    path = files["generated"]
    chunks = qn.index_chunks(path).copy()
    chunks[:, 2:] = 2**62
    assert_same(qn.parse_chunks(path, chunks, PANELS, 4), parse(path, 1))
