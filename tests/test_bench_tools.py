"""The benchmark tools: stream generator, pure-Python reader and writer, the benchmark driver.

The pure-Python writer is the reference the native writer is measured (and
cross-checked) against, so its text is pinned here to the writer's layout.
"""
import pathlib
import re
import sys
import time

import numpy as np
import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import gen_stream  # noqa: E402
import pure_python  # noqa: E402
import run as bench_run  # noqa: E402

SMALL = 400_000  # a few chunks


@pytest.fixture(scope="module")
def small_stream(tmp_path_factory):
    """A generated stream with its panel names and expected columns."""
    d = tmp_path_factory.mktemp("gen")
    path = d / "s.stream"
    info = gen_stream.generate(path, SMALL, seed=5, columns_dir=d / "cols")
    arrays, filenames, events = gen_stream.load_columns(d / "cols")
    return path, info, arrays, filenames, events


# ---------------------------------------------------------------------------
# Generator


@pytest.mark.parametrize("text, expected", [
    ("10M", 10 << 20), ("1G", 1 << 30), ("500k", 500 << 10), ("1.5M", 3 << 19),
    ("12345", 12345), ("2GiB", 2 << 30), ("64MB", 64 << 20),
])
def test_parse_size(text, expected):
    assert gen_stream.parse_size(text) == expected


@pytest.mark.parametrize("values, width, decimals", [
    ([0, 5, -5, 99, -99, 100, 123456, -123456, 99999999, -9999999], 10, 2),
    ([0, 1, -1, 10239, -9999], 7, 1),
    ([0, 7, -7, 999, -999], 4, 0),
])
def test_fixed_field_matches_printf(values, width, decimals):
    got = gen_stream.fixed_field(np.array(values), width, decimals)
    want = [format(v / 10**decimals, f"{width}.{decimals}f") if decimals else format(v, f"{width}d")
            for v in values]
    assert [bytes(r).decode() for r in got] == want


def test_fixed_field_refuses_values_that_do_not_fit():
    with pytest.raises(ValueError):
        gen_stream.fixed_field(np.array([-100000]), 7, 1)


def test_generator_is_deterministic_and_prefix_stable(tmp_path):
    a, b, big, other = (tmp_path / n for n in ("a", "b", "big", "other"))
    gen_stream.generate(a, SMALL, seed=3)
    gen_stream.generate(b, SMALL, seed=3)
    gen_stream.generate(big, 3 * SMALL, seed=3)
    gen_stream.generate(other, SMALL, seed=4)
    data = a.read_bytes()
    assert data == b.read_bytes()
    assert pathlib.Path(f"{a}.panels").read_text() == pathlib.Path(f"{b}.panels").read_text()
    assert big.read_bytes().startswith(data) and big.stat().st_size > len(data)
    assert other.read_bytes() != data
    # The file stops at the first chunk boundary at or past the requested size.
    assert len(data) >= SMALL and data.endswith(b"----- End chunk -----\n")


def walk_chunks(text):
    """Per chunk: (num_peaks stated, peak rows, [(num_reflections stated, rows), ...])."""
    chunks = []
    for chunk in text.split("----- Begin chunk -----\n")[1:]:
        stated_peaks = int(re.search(r"^num_peaks = (\d+)$", chunk, re.M).group(1))
        peaks = chunk.split("Intensity  Panel\n", 1)[1].split("End of peak list\n", 1)[0]
        crystals = []
        for block in chunk.split("--- Begin crystal\n")[1:]:
            stated = int(re.search(r"^num_reflections = (\d+)$", block, re.M).group(1))
            body = block.split("Reflections measured after indexing\n", 1)[1]
            heading, body = body.split("\n", 1)
            assert heading == pure_python.ROW_HEADING
            rows = body.split("End of reflections\n--- End crystal\n", 1)[0].splitlines()
            crystals.append((stated, rows))
        assert chunk.endswith("----- End chunk -----\n")
        chunks.append((stated_peaks, peaks.splitlines(), crystals))
    return chunks


@pytest.mark.parametrize("seed", [1, 2, 7])
def test_generated_structure(tmp_path, seed):
    path = tmp_path / "s.stream"
    info = gen_stream.generate(path, 2 * SMALL, seed=seed)
    text = path.read_text()
    panels = pathlib.Path(f"{path}.panels").read_text().splitlines()
    assert panels == info["panels"] and 16 <= len(panels) <= 64 and len(set(panels)) == len(panels)
    header = text.split("----- Begin chunk -----\n", 1)[0]
    assert "----- Begin geometry file -----" in header and "Reflections measured" not in header
    chunks = walk_chunks(text)
    assert len(chunks) == info["images"]
    assert sum(len(c[2]) for c in chunks) == info["crystals"]
    n_crystals = set()
    for stated_peaks, peaks, crystals in chunks:
        assert stated_peaks == len(peaks)
        assert all(p.split()[4] in panels and len(p.split()) == 5 for p in peaks)
        n_crystals.add(len(crystals))
        for stated, rows in crystals:
            assert 300 <= len(rows) <= 3000 and stated == len(rows)
            for r in rows:
                fields = r.split()
                assert len(fields) == 10 and fields[9] in panels
    assert n_crystals <= {0, 1, 2, 3} and len(n_crystals) >= 2


def test_generated_rows_have_the_writer_widths(small_stream):
    path, *_ = small_stream
    rows = [r for _, _, cs in walk_chunks(path.read_text()) for _, rs in cs for r in rs]
    pattern = re.compile(r"^[ \d-]{4} [ \d-]{4} [ \d-]{4}( [ \d-]{7}\.\d\d){4}"
                         r"[ \d-]{5}\.\d [ \d-]{4}\.\d \S+$")
    assert all(pattern.match(r) for r in rows)


def test_pure_parser_reads_what_the_generator_wrote(small_stream):
    path, info, arrays, _, _ = small_stream
    columns, n_bytes = pure_python.parse_reflections(path, info["panels"])
    assert n_bytes == path.stat().st_size
    for name, got in columns.items():
        assert got.dtype == arrays[name].dtype
        np.testing.assert_array_equal(got, arrays[name], err_msg=name)
    assert len(arrays["n_refl"]) == info["crystals"] and len(arrays["beam_energy"]) == info["images"]
    assert arrays["n_refl"].sum() == len(arrays["I"])


def test_pure_parser_prefix_stops_at_a_chunk_boundary(small_stream):
    path, info, arrays, _, _ = small_stream
    full = path.read_bytes()
    columns, n_bytes = pure_python.parse_reflections(path, info["panels"], max_bytes=len(full) // 2)
    assert len(full) // 2 <= n_bytes < len(full)
    assert full[n_bytes:].startswith(b"----- Begin chunk -----\n")
    n = len(columns["I"])
    assert 0 < n < len(arrays["I"])
    np.testing.assert_array_equal(columns["hkl"], arrays["hkl"][:n])


def assert_same_text(got, want):
    """Equality of long texts, reporting the first differing line rather than a full diff."""
    if got == want:
        return
    got_lines, want_lines = got.splitlines(), want.splitlines()
    for n, (g, w) in enumerate(zip(got_lines, want_lines)):
        if g != w:
            pytest.fail(f"line {n + 1} differs: {g!r} != {w!r}")
    pytest.fail(f"{len(got_lines)} lines != {len(want_lines)} lines")


def without_peak_rows(text):
    return re.sub(r"(Intensity  Panel\n).*?(End of peak list\n)", r"\1\2", text, flags=re.S)


def test_pure_writer_reproduces_the_generated_stream(small_stream, tmp_path):
    """Columns the generator records, written back, give its text without peak rows."""
    path, info, arrays, filenames, events = small_stream
    text = path.read_text()
    header = text[: text.index("----- Begin chunk -----")]
    out = tmp_path / "out.stream"
    pure_python.write_stream(out, arrays, filenames, events, info["panels"],
                             *gen_stream.LATTICE, header)
    assert_same_text(out.read_text(), without_peak_rows(text))


# ---------------------------------------------------------------------------
# Pure-Python writer against the fixed layout

EXAMPLE = """\
----- Begin chunk -----
Image filename: run7/img_0001.h5
Event: //12
Image serial number: 0
hit = 1
indexed_by = xgandalf
n_indexing_tries = 1
photon_energy_eV = 9500.000000
beam_divergence = 0.00e+00 rad
beam_bandwidth = 1.00e-08 (fraction)
average_camera_length = 0.200000 m
num_peaks = 1
Peaks from peak search
  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel
End of peak list
--- Begin crystal
Cell parameters 7.91000 7.91000 3.80000 nm, 90.00000 90.00000 90.00000 deg
astar = +0.1264220 +0.0000000 +0.0000000 nm^-1
bstar = +0.0000000 +0.1264220 +0.0000000 nm^-1
cstar = +0.0000000 +0.0000000 +0.2631580 nm^-1
lattice_type = tetragonal
centering = P
unique_axis = c
profile_radius = 0.00500 nm^-1
predict_refine/initial_residual = 0.000000 (0.000000 0.000000 0.000000)
predict_refine/final_residual = 0.000000 (0.000000 0.000000 0.000000)
predict_refine/total_shifts = 0.000000e+00 0.000000e+00 0.000000e+00
predict_refine/det_shift x = 0.010 y = -0.020 mm
diffraction_resolution_limit = 5.00 nm^-1 or 2.00 A
num_reflections = 1
num_saturated_reflections = 0
num_implausible_reflections = 0
Reflections measured after indexing
   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel
   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0
End of reflections
--- End crystal
----- End chunk -----
"""
EXAMPLE_ROW = "   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0"


def example_arrays():
    f4 = lambda v: np.array(v, dtype=np.float32)  # noqa: E731
    i4 = lambda v: np.array(v, dtype=np.int32)  # noqa: E731
    return {
        "hkl": np.array([[1, -2, 3]], dtype=np.int16), "I": f4([1234.5]), "sigma": f4([45.6]),
        "peak": f4([300.0]), "background": f4([12.3]), "fs": f4([512.3]), "ss": f4([100.7]),
        "panel_id": np.array([0], dtype=np.int16),
        "cell": f4([[79.1, 79.1, 38.0, 90, 90, 90]]), "astar": f4([[0.0126422, 0, 0]]),
        "bstar": f4([[0, 0.0126422, 0]]), "cstar": f4([[0, 0, 0.0263158]]),
        "profile_rad": f4([0.0005]), "resolution": f4([2.0]), "n_refl": i4([1]), "image_id": i4([0]),
        "beam_energy": f4([9500.0]), "n_peaks": i4([1]), "det_shift_x": f4([0.01]),
        "det_shift_y": f4([-0.02]), "camera_length": f4([0.2]),
    }


def example_args():
    return {"filenames": ["run7/img_0001.h5"], "events": ["//12"], "panel_names": ["p0"],
            "lattice_type": "tetragonal", "centering": "P", "unique_axis": "c", "header": ""}


def write_example(tmp_path, arrays=None, **overrides):
    args = {**example_args(), **overrides}
    out = tmp_path / "w.stream"
    pure_python.write_stream(out, arrays or example_arrays(), args["filenames"], args["events"],
                             args["panel_names"], args["lattice_type"], args["centering"],
                             args["unique_axis"], args["header"])
    return out.read_bytes()


def test_pure_writer_worked_example_byte_for_byte(tmp_path):
    assert write_example(tmp_path) == EXAMPLE.encode()
    assert write_example(tmp_path, header="Header\n") == b"Header\n" + EXAMPLE.encode()


def with_values(**changes):
    arrays = example_arrays()
    for name, value in changes.items():
        arrays[name] = np.array(value, dtype=arrays[name].dtype).reshape(arrays[name].shape)
    return arrays


NAN = float("nan")


@pytest.mark.parametrize("changes, line", [
    ({"I": [NAN]}, "   1   -2    3        nan      45.60     300.00      12.30  512.3  100.7 p0"),
    ({"fs": [NAN]}, "   1   -2    3    1234.50      45.60     300.00      12.30    nan  100.7 p0"),
    ({"fs": [512.25], "ss": [100.75]},
     "   1   -2    3    1234.50      45.60     300.00      12.30  512.2  100.8 p0"),
    ({"I": [1.5e9]}, "   1   -2    3 1500000000.00      45.60     300.00      12.30  512.3  100.7 p0"),
    ({"I": [float("inf")], "sigma": [-float("inf")]},
     "   1   -2    3        inf       -inf     300.00      12.30  512.3  100.7 p0"),
    ({"hkl": [[-1000, -2, 3]]}, "-1000   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0"),
    ({"det_shift_x": [-0.0]}, "predict_refine/det_shift x = -0.000 y = -0.020 mm"),
    ({"resolution": [-1.0]}, "diffraction_resolution_limit = 0.00 nm^-1 or -1.00 A"),
    ({"resolution": [0.0]}, "diffraction_resolution_limit = 0.00 nm^-1 or 0.00 A"),
    ({"resolution": [NAN]}, "diffraction_resolution_limit = 0.00 nm^-1 or nan A"),
    ({"cell": [[NAN, 79.1, 38.0, 90, 90, 90]]},
     "Cell parameters nan 7.91000 3.80000 nm, 90.00000 90.00000 90.00000 deg"),
    ({"astar": [[NAN, 0, -0.0126422]]}, "astar = +nan +0.0000000 -0.1264220 nm^-1"),
    ({"profile_rad": [NAN]}, "profile_radius = nan nm^-1"),
    ({"beam_energy": [float("inf")]}, "photon_energy_eV = inf"),
    ({"n_peaks": [-3]}, "num_peaks = -3"),
])
def test_pure_writer_number_formats(tmp_path, changes, line):
    lines = write_example(tmp_path, with_values(**changes)).decode().splitlines()
    assert line in lines


@pytest.mark.parametrize("overrides, line", [
    ({"filenames": []}, "Image filename: image_0"),
    ({"filenames": [""]}, "Image filename: "),
    ({"events": []}, "Event: //0"),
    ({"events": [""]}, "Event: "),
    ({"lattice_type": ""}, "lattice_type = "),
    ({"filenames": ["déjà vu.h5"]}, "Image filename: déjà vu.h5"),
])
def test_pure_writer_text_fields(tmp_path, overrides, line):
    assert line in write_example(tmp_path, **overrides).decode().splitlines()


@pytest.mark.parametrize("panel_id, name", [(0, "a"), (1, "b"), (-1, "b"), (-2, "a")])
def test_pure_writer_panel_ids_count_from_the_end_when_negative(tmp_path, panel_id, name):
    text = write_example(tmp_path, with_values(panel_id=[panel_id]), panel_names=["a", "b"]).decode()
    lines = text.splitlines()
    assert lines[lines.index(pure_python.ROW_HEADING) + 1] == EXAMPLE_ROW[:-2] + name


def test_pure_writer_image_without_crystal(tmp_path):
    arrays = with_values(image_id=[1])  # the crystal belongs to no image
    lines = EXAMPLE.splitlines()
    expected = lines[:15] + lines[-1:]
    expected[5] = "indexed_by = none"
    assert write_example(tmp_path, arrays).decode() == "\n".join(expected) + "\n"


def test_pure_writer_empty_camera_length_and_reflection_list(tmp_path):
    arrays = with_values(n_refl=[0])
    arrays["camera_length"] = np.zeros(0, dtype=np.float32)
    lines = write_example(tmp_path, arrays).decode().splitlines()
    assert "average_camera_length = 0.000000 m" in lines
    assert "num_reflections = 0" in lines
    at = lines.index(pure_python.ROW_HEADING)
    assert lines[at + 1] == "End of reflections"


def test_pure_writer_without_unit_cell_strings(tmp_path):
    lines = write_example(tmp_path, lattice_type=None, centering=None, unique_axis=None).decode().splitlines()
    at = lines.index("cstar = +0.0000000 +0.0000000 +0.2631580 nm^-1")
    assert lines[at + 1] == "profile_radius = 0.00500 nm^-1"
    assert len(lines) == len(EXAMPLE.splitlines()) - 3


def test_pure_writer_orders_crystals_by_row_within_each_image(tmp_path):
    """Two images; crystals stored out of image order; rows follow n_refl offsets."""
    a = example_arrays()
    arrays = dict(a)
    arrays["hkl"] = np.array([[1, 0, 0], [2, 0, 0], [3, 0, 0], [4, 0, 0]], dtype=np.int16)
    for name in ("I", "sigma", "peak", "background", "fs", "ss"):
        arrays[name] = np.repeat(a[name], 4)
    arrays["panel_id"] = np.zeros(4, dtype=np.int16)
    for name in ("cell", "astar", "bstar", "cstar"):
        arrays[name] = np.repeat(a[name], 3, axis=0)
    arrays["profile_rad"] = np.repeat(a["profile_rad"], 3)
    arrays["resolution"] = np.repeat(a["resolution"], 3)
    arrays["n_refl"] = np.array([1, 2, 1], dtype=np.int32)
    arrays["image_id"] = np.array([1, 0, 1], dtype=np.int32)
    for name in ("beam_energy", "n_peaks", "det_shift_x", "det_shift_y", "camera_length"):
        arrays[name] = np.repeat(a[name], 2)
    text = write_example(tmp_path, arrays, filenames=["x", "y"], events=["e0", "e1"]).decode()
    chunks = text.split("----- Begin chunk -----\n")[1:]
    firsts = [[int(r.split()[0]) for _, rows in walk_chunks("----- Begin chunk -----\n" + c)[0][2]
               for r in rows] for c in chunks]
    assert firsts == [[2, 3], [1, 4]]
    assert "Image serial number: 1" in chunks[1]


# ---------------------------------------------------------------------------
# The native functions against the tools (skipped until they are available)


def native():
    return pytest.importorskip("quillon_native")


def call_or_skip(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except NotImplementedError:
        pytest.skip(f"{fn.__name__} is not implemented yet")


@pytest.mark.parametrize("n_threads", [1, 2, 3])
def test_native_index_counts_the_generated_stream(small_stream, n_threads):
    qn = native()
    path, info, arrays, _, _ = small_stream
    chunks = call_or_skip(qn.index_chunks, path, n_threads=n_threads)
    assert len(chunks) == info["images"]
    assert chunks[:, 2].sum() == info["crystals"]
    assert chunks[:, 3].sum() == len(arrays["I"])  # every reflection row is well formed


@pytest.mark.parametrize("n_threads", [1, 2])
def test_native_parse_equals_the_generated_columns(small_stream, n_threads):
    qn = native()
    path, info, arrays, filenames, events = small_stream
    chunks = call_or_skip(qn.index_chunks, path)
    columns, names, evs, report = call_or_skip(qn.parse_chunks, path, chunks, info["panels"],
                                               n_threads=n_threads)
    assert report == {}
    assert list(columns) == list(arrays)
    for name, want in arrays.items():
        assert columns[name].dtype == want.dtype
        np.testing.assert_array_equal(columns[name], want, err_msg=name)
    assert names == filenames and evs == events


@pytest.mark.parametrize("n_threads", [1, 2])
def test_native_writer_matches_the_pure_writer(small_stream, tmp_path, n_threads):
    qn = native()
    path, info, arrays, filenames, events = small_stream
    args = (filenames, events, info["panels"], *gen_stream.LATTICE, "Header\n")
    pure_python.write_stream(tmp_path / "py.stream", arrays, *args)
    call_or_skip(qn.write_stream, tmp_path / "nat.stream", arrays, *args, n_threads=n_threads)
    assert_same_text((tmp_path / "nat.stream").read_bytes(), (tmp_path / "py.stream").read_bytes())


def test_native_writer_worked_example(tmp_path):
    qn = native()
    a = example_args()
    call_or_skip(qn.write_stream, tmp_path / "nat.stream", example_arrays(), a["filenames"], a["events"],
                 a["panel_names"], a["lattice_type"], a["centering"], a["unique_axis"], a["header"])
    assert (tmp_path / "nat.stream").read_bytes() == write_example(tmp_path)


# ---------------------------------------------------------------------------
# The benchmark driver: rounds, their summary and the tables


@pytest.mark.parametrize("threads, native, write, expected", [
    ([1, 2], True, True, [("cat", 0), ("index", 1), ("index", 2), ("parse", 1), ("parse", 2),
                          ("write", 1), ("write", 2), ("py_parse", 0), ("py_write", 0)]),
    ([4], True, False, [("cat", 0), ("index", 4), ("parse", 4), ("py_parse", 0)]),
    ([1, 2], False, True, [("cat", 0), ("py_parse", 0), ("py_write", 0)]),
])
def test_round_plan_order(threads, native, write, expected):
    assert bench_run.round_plan(threads, native, write) == expected


@pytest.mark.parametrize("values, expected", [
    ([3.0, 1.0, 2.0], (2.0, 1.0, 3.0)),
    ([4.0, 1.0, 2.0, 10.0], (3.0, 1.0, 10.0)),  # even count: mean of the middle two
    ([None, 5.0, None], (5.0, 5.0, 5.0)),       # failed rounds do not count
    ([None, None], None),
    ([], None),
])
def test_spread_is_median_min_max(values, expected):
    assert bench_run.spread(values) == expected


def test_ratio_of_medians_with_per_round_range():
    a = [100.0, 400.0, 200.0, None]
    b = [50.0, 100.0, 200.0, 10.0]
    # medians 200 and 75 (means 233 and 90); ratios within a round 2, 4, 1 (round 4 failed in a)
    assert bench_run.ratio(a, b) == pytest.approx((200 / 75, 1.0, 4.0))
    assert bench_run.ratio(a, [None] * 4) is None


def ok(seconds, n_bytes, best=None, **extra):
    return {"status": "ok", "seconds": seconds, "bytes": n_bytes,
            "best": best if best is not None else seconds, **extra}


def native_run(seconds, n_bytes, rss_before=30 << 20, hwm=None, columns=100 << 20, best=None):
    return ok(seconds, n_bytes, best, rss_before=rss_before, hwm=hwm or rss_before, hwm_reset=True,
              ru_maxrss=0, columns_bytes=columns)


def fake_results(n_rounds=3):
    """Round results with known speeds: cat 1,000 MB/s; index 1t 200, 2t 300; Python 10;
    parse 1t 300, 2t 450 (round 2 of 2t failed); write 1t 100, 2t not available."""
    gb = 10**9
    def rounds(make):
        return [make(r) for r in range(n_rounds)]
    return {
        ("cat", 0): rounds(lambda r: ok(1.0 + r * 0.25, gb)),  # 1000, 800, 666.7 MB/s
        ("index", 1): rounds(lambda r: native_run(5.0, gb, best=4.0)),
        ("index", 2): rounds(lambda r: native_run(10 / 3, gb)),
        ("py_parse", 0): rounds(lambda r: ok(10.0, 10**8, best=1.0)),
        ("parse", 1): rounds(lambda r: native_run(gb / 300e6, gb, hwm=(30 << 20) + (150 << 20))),
        ("parse", 2): [native_run(gb / 450e6, gb), {"status": "error", "reason": "boom"},
                       native_run(gb / 450e6, gb)],
        ("py_write", 0): rounds(lambda r: ok(2.0, 2 * 10**7, images=7)),
        ("write", 1): rounds(lambda r: native_run(10.0, gb, hwm=(30 << 20) + ((20 + r) << 20))),
        ("write", 2): rounds(lambda r: {"status": "not available", "reason": "not yet"}),
    }


def table_rows(lines):
    """Rows of an aligned table keyed by their first two cells ('work threads')."""
    rows = {}
    for line in lines[1:]:
        if not line:
            break
        cells = re.split(r"\s{2,}", line)
        rows[(cells[0], cells[1])] = cells[2:]
    return rows


def test_speed_table_shows_medians_ranges_and_ratios():
    lines = bench_run.speed_table(fake_results(), [1, 2], repeat=3)
    assert lines[0].split()[:2] == ["work", "threads"] and "best of 3 calls MB/s" in lines[0]
    rows = table_rows(lines)
    assert rows[("cat", "1")][0] == "800 (667–1,000)"
    # index: share of cat's median, with the share within each round
    assert rows[("index", "1")] == ["200 (200–200)", "25.0% (20.0–30.0) of cat", "250 (250–250)"]
    assert rows[("index", "2")][:3] == ["300 (300–300)", "37.5% (30.0–45.0) of cat", "×1.50 (1.50–1.50)"]
    assert rows[("Python parse", "1")][:2] == ["10.0 (10.0–10.0)", "first 100.0 MB of the file"]
    assert rows[("parse", "1")][1] == "×30.00 (30.00–30.00) Python"
    # the failed round is left out of the median and of the gain
    assert rows[("parse", "2")][:3] == ["450 (450–450)", "×45.00 (45.00–45.00) Python", "×1.50 (1.50–1.50)"]
    assert rows[("Python write", "1")][1] == "first 7 images, 20.0 MB"
    assert rows[("write", "1")][1] == "×10.00 (10.00–10.00) Python"
    assert rows[("write", "2")] == ["not available"]


def test_speed_table_without_repeats_or_baselines():
    results = fake_results()
    results[("py_parse", 0)] = [{"status": "error", "reason": "x"}] * 3
    del results[("py_write", 0)]
    lines = bench_run.speed_table(results, [1, 2], repeat=1)
    assert "best of" not in lines[0]
    rows = table_rows(lines)
    assert rows[("Python parse", "1")] == ["error"]
    assert ("Python write", "1") not in rows
    assert rows[("parse", "1")][:2] == ["300 (300–300)", "-"]
    assert rows[("write", "1")][:2] == ["100 (100–100)", "-"]


def test_memory_table_added_and_ratios_to_the_columns():
    rows = table_rows(bench_run.memory_table(fake_results(), [1, 2]))
    # parse: 30 MiB before, 180 MiB peak, 100 MiB of columns
    assert rows[("parse_chunks", "1")] == ["30.0", "180.0", "150.0 (150.0)", "100.0 (output)", "1.80", "1.50"]
    # write: added 20, 21, 22 MiB over the rounds: median with the max
    assert rows[("write_stream", "1")][2] == "21.0 (22.0)"
    assert rows[("write_stream", "2")] == ["not available"]
    assert rows[("index_chunks", "1")][-2:] == ["-", "-"]


def test_timed_reports_the_first_call_and_keeps_its_value():
    calls = []
    durations = iter([0.03, 0.0, 0.01])

    def fn():
        time.sleep(next(durations))
        calls.append("call")
        return calls.count("call")

    first, best, value = bench_run.timed(fn, 3, before=lambda: calls.append("before"),
                                         after_first=lambda: calls.append("after first"))
    assert value == 1
    assert calls == ["before", "call", "after first", "before", "call", "before", "call"]
    assert first >= 0.03 and best < 0.03


@pytest.mark.parametrize("blas_threads", [None, 1, 3])
def test_blas_threads_reach_the_workers_and_the_header(monkeypatch, tmp_path, blas_threads):
    native()
    monkeypatch.setenv("OPENBLAS_NUM_THREADS", "7")
    monkeypatch.delenv("MKL_NUM_THREADS", raising=False)
    monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    env = bench_run.worker_env(blas_threads)
    probe = bench_run.run_worker({"kind": "probe", "file": str(tmp_path / "unused")}, env)
    want = {v: str(blas_threads) for v in bench_run.BLAS_VARS} if blas_threads else \
        {"OPENBLAS_NUM_THREADS": "7", "OMP_NUM_THREADS": None, "MKL_NUM_THREADS": None}
    assert probe["blas"] == want
    note = bench_run.blas_note(env, blas_threads)
    if blas_threads:
        assert note.startswith(f"OPENBLAS_NUM_THREADS={blas_threads}, OMP_NUM_THREADS={blas_threads}, ")
        assert note.endswith(f"set by --blas-threads {blas_threads}")
    else:
        assert note.startswith("OPENBLAS_NUM_THREADS=7, OMP_NUM_THREADS unset, MKL_NUM_THREADS unset;")
        assert "as in the environment" in note


def test_driver_end_to_end_on_a_small_stream(tmp_path, capsys):
    """Two rounds of every measurement on a small file, through worker processes."""
    path = tmp_path / "s.stream"
    gen_stream.generate(path, 200_000, seed=2, columns_dir=f"{path}.columns")
    assert bench_run.main(["--file", str(path), "--threads", "1", "--rounds", "2", "--repeat", "2",
                           "--py-bytes", "50k", "--out-dir", str(tmp_path / "out"), "--blas-threads", "1"]) == 0
    out = capsys.readouterr().out
    assert "round 2/2" in out and "median of 2 interleaved rounds" in out
    assert "blas    : " in out and "set by --blas-threads 1" in out
    lines = out.splitlines()
    rows = table_rows(lines[lines.index(next(x for x in lines if x.startswith("work"))):])
    assert re.fullmatch(r"[\d,.]+ \([\d,.]+–[\d,.]+\)", rows[("cat", "1")][0])
    assert re.fullmatch(r"[\d,.]+ \([\d,.]+–[\d,.]+\)", rows[("Python parse", "1")][0])
    assert re.fullmatch(r"[\d,.]+ \([\d,.]+–[\d,.]+\)", rows[("Python write", "1")][0])
    if "module  : not importable" not in out:
        assert re.search(r"% \(.*\) of cat", " ".join(rows[("index", "1")]))
        assert "equals the generator's columns: yes" in out
        assert "output starts with the Python writer's" in out and ": yes" in out
    assert not list((tmp_path / "out").iterdir())  # written streams removed
