"""write_stream end to end: column checks, determinism, round trips."""
import os

import numpy as np
import pytest

import quillon_native as qn
from stream_builder import random_images, stream

PANELS = [f"p{i}" for i in range(5)]
WRITER_COLUMNS = ["hkl", "I", "sigma", "peak", "background", "fs", "ss", "panel_id", "cell", "astar",
                  "bstar", "cstar", "profile_rad", "resolution", "n_refl", "image_id", "beam_energy",
                  "n_peaks", "det_shift_x", "det_shift_y", "camera_length"]


def random_columns(seed, n_img=40, max_cryst=3, max_obs=20):
    """Columns as a host package would hand them over (float32 values of any size)."""
    rng = np.random.default_rng(seed)
    n_cryst_per_img = rng.integers(0, max_cryst + 1, n_img)
    image_id = np.repeat(np.arange(n_img), n_cryst_per_img).astype(np.int32)
    n_cryst = len(image_id)
    n_refl = rng.integers(0, max_obs + 1, n_cryst).astype(np.int32)
    n_obs = int(n_refl.sum())
    f32 = lambda *shape, lo=-1e4, hi=1e4: rng.uniform(lo, hi, shape).astype(np.float32)
    return {
        "hkl": rng.integers(-60, 60, (n_obs, 3)).astype(np.int16),
        "I": f32(n_obs), "sigma": f32(n_obs, lo=0), "peak": f32(n_obs), "background": f32(n_obs),
        "fs": f32(n_obs, lo=0, hi=2000), "ss": f32(n_obs, lo=0, hi=2000),
        "panel_id": rng.integers(0, len(PANELS), n_obs).astype(np.int16),
        "crystal_id": np.repeat(np.arange(n_cryst), n_refl).astype(np.int32),
        "cell": np.column_stack([f32(n_cryst, 3, lo=20, hi=300).reshape(n_cryst, 3),
                                 f32(n_cryst, 3, lo=60, hi=120).reshape(n_cryst, 3)]),
        "astar": f32(n_cryst, 3, lo=-0.05, hi=0.05), "bstar": f32(n_cryst, 3, lo=-0.05, hi=0.05),
        "cstar": f32(n_cryst, 3, lo=-0.05, hi=0.05),
        "profile_rad": f32(n_cryst, lo=0, hi=0.01), "resolution": f32(n_cryst, lo=1, hi=10),
        "n_refl": n_refl, "image_id": image_id,
        "crystal_in_image": np.concatenate([np.arange(k) for k in n_cryst_per_img]).astype(np.int32)
        if n_cryst else np.zeros(0, np.int32),
        "beam_energy": f32(n_img, lo=5000, hi=15000), "n_peaks": rng.integers(0, 500, n_img).astype(np.int32),
        "det_shift_x": f32(n_img, lo=-1, hi=1), "det_shift_y": f32(n_img, lo=-1, hi=1),
        "camera_length": f32(n_img, lo=0.1, hi=0.3),
    }


def write(path, cols, n_img=None, header="header line\n", **kw):
    n_img = len(cols["beam_energy"]) if n_img is None else n_img
    qn.write_stream(path, cols, [f"img_{m}.h5" for m in range(n_img)], [f"//{m}" for m in range(n_img)],
                    PANELS, "tetragonal", "P", "c", header, **kw)
    return path.read_bytes()


def read(path):
    return qn.parse_chunks(path, qn.index_chunks(path, 2), PANELS, 2)


def test_settings_do_not_change_the_bytes(tmp_path):
    cols = random_columns(1)
    reference = write(tmp_path / "ref.stream", cols)
    for n_threads in (0, 1, 2, 8):
        for batch in (0, 1, 7, 1024):
            out = tmp_path / f"o_{n_threads}_{batch}.stream"
            assert write(out, cols, n_threads=n_threads, images_per_batch=batch) == reference
    # Flat arrays of the right length, and (n, 1) columns, write the same bytes.
    reshaped = {k: v.ravel() if v.ndim == 2 else v.reshape(-1, 1) for k, v in cols.items()}
    assert write(tmp_path / "flat.stream", reshaped) == reference


# Precision of the text: what each column keeps after a write and a read.
TOLERANCE = {"I": 0.005, "sigma": 0.005, "peak": 0.005, "background": 0.005, "fs": 0.05, "ss": 0.05,
             "cell": 1e-4, "astar": 1e-8, "bstar": 1e-8, "cstar": 1e-8, "profile_rad": 1e-6,
             "resolution": 0.005, "beam_energy": 1e-3, "det_shift_x": 5e-4, "det_shift_y": 5e-4,
             "camera_length": 1e-6}


def test_parse_of_write_agrees_to_written_precision(tmp_path):
    cols = random_columns(2)
    path = tmp_path / "w.stream"
    write(path, cols, n_threads=2)
    back, filenames, events, report = read(path)
    assert report == {}
    n_img = len(cols["beam_energy"])
    assert filenames == [f"img_{m}.h5" for m in range(n_img)]
    assert events == [f"//{m}" for m in range(n_img)]
    # The resolution travels as 10/resolution in nm^-1 with two decimals.
    np.testing.assert_allclose(10 / back["resolution"], 10 / cols["resolution"], atol=0.0051)
    # The detector shift is stated in crystal blocks: images without crystals read 0.
    has_crystal = np.isin(np.arange(n_img), cols["image_id"])
    for k in ("det_shift_x", "det_shift_y"):
        cols[k] = np.where(has_crystal, cols[k], np.float32(0))
    for k, v in cols.items():
        if k == "resolution":
            continue
        if k in TOLERANCE:
            np.testing.assert_allclose(back[k], v, rtol=1e-6, atol=TOLERANCE[k], err_msg=k)
        else:
            np.testing.assert_array_equal(back[k], v, err_msg=k)


def test_write_of_parse_of_write_is_byte_identical(tmp_path):
    def rewrite(src, dst):
        back, filenames, events, _ = read(src)
        qn.write_stream(dst, back, filenames, events, PANELS, "tetragonal", "P", "c",
                        "header line\n", 2)
        return dst.read_bytes()

    first = write(tmp_path / "a.stream", random_columns(3))
    second = rewrite(tmp_path / "a.stream", tmp_path / "b.stream")
    # The resolution line states 10/resolution in nm^-1 to two decimals, and that is
    # the value read back; every other line survives the first round trip unchanged.
    changed = [(a, b) for a, b in zip(first.split(b"\n"), second.split(b"\n")) if a != b]
    assert all(a.startswith(b"diffraction_resolution_limit = ") for a, b in changed)
    assert len(first.split(b"\n")) == len(second.split(b"\n"))
    # From then on the text is a fixed point.
    assert rewrite(tmp_path / "b.stream", tmp_path / "c.stream") == second


def test_round_trip_of_a_parsed_stream(tmp_path):
    src = tmp_path / "src.stream"
    src.write_text(stream(random_images(50, seed=9, panels=PANELS)))
    cols, filenames, events, _ = read(src)
    out = tmp_path / "out.stream"
    qn.write_stream(out, cols, filenames, events, PANELS, None, None, None, "", 2)
    cols2, filenames2, events2, report2 = read(out)
    assert (filenames2, events2, report2) == (filenames, events, {})
    for k in cols:
        np.testing.assert_allclose(cols2[k], cols[k], rtol=1e-6, atol=TOLERANCE.get(k, 0), err_msg=k)


def test_no_images_writes_only_the_header(tmp_path):
    cols = {k: v[:0] for k, v in random_columns(4).items()}
    assert write(tmp_path / "e.stream", cols, header="only this\n") == b"only this\n"


def test_large_header_is_written_whole(tmp_path):
    header = "".join(f"header line {i:08d}\n" for i in range(100000))  # about 2 MB
    data = write(tmp_path / "h.stream", random_columns(5, n_img=3), header=header, n_threads=2)
    assert data.startswith(header.encode())
    assert data[len(header):].startswith(b"----- Begin chunk -----\n")


def missing(cols, k):
    cols = dict(cols)
    del cols[k]
    return cols


def replaced(cols, k, v):
    return {**cols, k: v}


BASE = random_columns(6, n_img=4)


@pytest.mark.parametrize("cols, exc, text", [
    (missing(BASE, "sigma"), KeyError, "'sigma'"),
    (replaced(BASE, "n_refl", BASE["n_refl"].astype(np.int64)), TypeError,
     "n_refl: 'ndarray' object is not an instance of 'ndarray'"),
    (replaced(BASE, "cell", None), TypeError, "cell: 'None' is not an instance of 'ndarray'"),
    (replaced(BASE, "n_peaks", [1, 2, 3, 4]), TypeError,
     "n_peaks: 'list' object is not an instance of 'ndarray'"),
    (replaced(BASE, "hkl", np.asfortranarray(BASE["hkl"])), ValueError, "hkl must be C-contiguous"),
    (replaced(BASE, "I", BASE["I"][::2]), ValueError, "I must be C-contiguous"),
    (replaced(BASE, "sigma", BASE["sigma"][:-1]), ValueError,
     f"sigma: length {len(BASE['I']) - 1}, expected {len(BASE['I'])}"),
    (replaced(BASE, "bstar", np.zeros(4, np.float32)), ValueError,
     f"bstar: length 4, expected {3 * len(BASE['n_refl'])}"),
    (replaced(BASE, "panel_id", np.full(len(BASE["I"]), 5, np.int16)), ValueError,
     "panel_id 5 has no name (5 panel names)"),
    (replaced(BASE, "panel_id", np.full(len(BASE["I"]), -6, np.int16)), ValueError,
     "panel_id -6 has no name (5 panel names)"),
    # Transposed: as many elements as the column needs, in the wrong order.
    (replaced(BASE, "hkl", np.ascontiguousarray(BASE["hkl"].T)), ValueError,
     f"hkl: expected shape (n, 3), got (3, {len(BASE['I'])})"),
    (replaced(BASE, "cell", BASE["cell"].reshape(-1, 12)), ValueError,
     f"cell: expected shape (n, 6), got ({len(BASE['n_refl']) // 2}, 12)"),
    (replaced(BASE, "cstar", BASE["cstar"].reshape(-1, 1)), ValueError,
     f"cstar: expected shape (n, 3), got ({3 * len(BASE['n_refl'])}, 1)"),
    (replaced(BASE, "I", BASE["I"].reshape(1, -1)), ValueError,
     f"I: expected shape (n,), got (1, {len(BASE['I'])})"),
])
def test_column_errors_leave_the_file_untouched(tmp_path, cols, exc, text):
    out = tmp_path / "keep.stream"
    out.write_bytes(b"precious")
    with pytest.raises(exc) as info:
        write(out, cols, n_img=4)
    assert str(info.value) == text
    assert out.read_bytes() == b"precious"
    fresh = tmp_path / "never.stream"
    with pytest.raises(exc):
        write(fresh, cols, n_img=4)
    assert not fresh.exists()


@pytest.mark.parametrize("field, value, text", [
    ("filenames", ["a\nb"], "filenames[0] contains a line feed"),
    ("events", ["ok", "x\ny"], "events[1] contains a line feed"),
    ("lattice_type", "tetra\ngonal", "lattice_type contains a line feed"),
    ("header", "no final newline", "header must end with a line feed"),
])
def test_text_that_would_break_lines_is_refused(tmp_path, field, value, text):
    args = dict(filenames=["a", "b"], events=["x", "y"], lattice_type=None, header="")
    args[field] = value
    out = tmp_path / "t.stream"
    with pytest.raises(ValueError) as info:
        qn.write_stream(out, random_columns(7, n_img=2), args["filenames"], args["events"], PANELS,
                        args["lattice_type"], None, None, args["header"])
    assert str(info.value) == text
    assert not out.exists()


@pytest.mark.parametrize("name", ["", "has space", "tab\there", "nbsp\u00a0x"])
def test_unusable_panel_names_are_refused_when_used(tmp_path, name):
    cols = random_columns(8, n_img=2)
    cols["panel_id"][:] = 0
    out = tmp_path / "p.stream"
    with pytest.raises(ValueError):
        qn.write_stream(out, cols, [], [], [name, "ok"], None, None, None, "")
    assert not out.exists()
    cols["panel_id"][:] = 1  # the bad name is not used: accepted
    qn.write_stream(out, cols, [], [], [name, "ok"], None, None, None, "")
    assert out.exists()


def test_open_errors_come_after_column_checks(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"^No such file or directory \(os error 2\)$"):
        write(tmp_path / "missing" / "x.stream", random_columns(9, n_img=2))
    with pytest.raises(IsADirectoryError):
        write(tmp_path, random_columns(9, n_img=2))
    with pytest.raises(KeyError):
        write(tmp_path / "missing" / "x.stream", {})


@pytest.mark.parametrize("fs, text", [
    (-999.9, "      12.30 -999.9"),
    (9999.9, "      12.30 9999.9"),
    (-2396.6, "      12.30 -2396.6"),   # fills the width of fs: a space keeps the fields apart
    (12345.6, "      12.30 12345.6"),
    (-1.5e9, "      12.30 -1500000000.0"),
])
def test_wide_fs_never_runs_into_the_background(tmp_path, fs, text):
    cols = next(c for seed in range(100)
                if len((c := random_columns(seed, n_img=1, max_cryst=1, max_obs=1))["I"]) == 1)
    cols["background"][:] = 12.3
    cols["fs"][:] = fs
    out = tmp_path / "fs.stream"
    data = write(out, cols).decode()
    assert text + " " in data
    back, _, _, report = read(out)
    assert report == {}
    assert back["fs"].tolist() == [np.float32(fs)]
