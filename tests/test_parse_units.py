"""How parse_chunks cuts its rows into work units, seen from its results.

Touching rows of one unit are parsed as one text and a new unit starts the parser
afresh, so where rows cut chunks (in the middle of a line, inside a reflection
list) the units show in the result. Units are formed from the rows' reflection
counts alone: walking the rows in order, a unit closes once its weight reaches the
total weight over the unit target (1 without threads, otherwise 4 per thread but
never more than the rows), a row weighing its n_obs_upper and at least 1; the last
row never closes a unit and the last unit takes what is left. On any thread count
the result must be that of the units parsed one by one, joined with their ids
shifted and their reports merged.
"""
import itertools

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon_native as qn
from stream_builder import Image, random_images, stream

PANELS = [f"p{i}" for i in range(4)]
REASONS = ["reflection_short", "reflection_value", "reflection_hkl_range", "crystal_cell",
           "crystal_vector", "crystal_truncated", "image_truncated", "chunk_no_image",
           "key_value", "det_shift"]
# A chunk without an image, followed by an image outside any chunk.
STRAY = ("----- Begin chunk -----\n----- End chunk -----\nImage filename: stray.h5\n"
         "Event: //9\nnum_peaks = 1\n----- End chunk -----\n")
LONG_PEAKS = "Peaks from peak search\n" + "  10.00   20.00       0.10      100.00 p0\n" * 300


def unit_bounds(n_obs_upper, n_threads):
    """Row bounds (first, past last) of the units the rows form."""
    n = len(n_obs_upper)
    if n == 0:
        return []
    target = 1 if n_threads < 2 else min(max(n, 1), 4 * n_threads)
    weights = [int(w) if w >= 1 else 1 for w in n_obs_upper]
    threshold = max(sum(weights) / target, 1.0)
    bounds, first, acc = [], 0, 0.0
    for i, w in enumerate(weights):
        acc += w
        if acc >= threshold and i + 1 < n and len(bounds) < target - 1:
            bounds.append((first, i + 1))
            first, acc = i + 1, 0.0
    bounds.append((first, n))
    return bounds


def joined(parts):
    """Results of consecutive units as one: ids shifted, reports merged."""
    cols = {}
    for key in parts[0][0]:
        arrays = [p[0][key] for p in parts]
        if key in ("crystal_id", "image_id"):
            level = "n_refl" if key == "crystal_id" else "beam_energy"
            shifts = np.cumsum([0] + [len(p[0][level]) for p in parts[:-1]])
            arrays = [a + np.int32(s) for a, s in zip(arrays, shifts)]
        cols[key] = np.concatenate(arrays)
    filenames = [f for p in parts for f in p[1]]
    events = [e for p in parts for e in p[2]]
    report = {}
    for reason in REASONS:
        hits = [p[3][reason] for p in parts if reason in p[3]]
        if hits:
            report[reason] = (sum(c for c, _ in hits), min(o for _, o in hits))
    return cols, filenames, events, report


def by_units(path, rows, n_threads):
    return joined([qn.parse_chunks(path, rows[a:b], PANELS, 1)
                   for a, b in unit_bounds(rows[:, 3], n_threads)])


def assert_same(got, want):
    assert list(got[0]) == list(want[0])
    for key in want[0]:
        assert got[0][key].dtype == want[0][key].dtype, key
        np.testing.assert_array_equal(got[0][key], want[0][key], err_msg=key)
    assert got[1:] == want[1:]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """A stream with long reflection lists, some long peak lists and stray text, and
    the offsets where its chunks and its reflection rows start."""
    images = random_images(40, seed=17, panels=PANELS, max_crystals=2, max_rows=40)
    images.insert(5, Image(filename="no_peaks.h5", peaks=False))
    texts = [im.text() for im in images]
    for k in range(3, len(texts), 7):
        texts[k] = texts[k].replace("Peaks from peak search\n", LONG_PEAKS, 1)
    texts.insert(20, STRAY)
    text = stream([]) + "".join(texts)
    path = tmp_path_factory.mktemp("units") / "units.stream"
    path.write_bytes(text.encode())
    data = path.read_bytes()
    chunks = qn.index_chunks(path)
    # Reflection rows: the lines of ten fields.
    starts = np.append(0, np.flatnonzero(np.frombuffer(data, np.uint8) == 10) + 1)
    in_lists = [int(a) for a, b in itertools.pairwise(starts) if len(data[a:b].split()) == 10]
    return path, len(data), chunks, np.array(in_lists)


def cut_rows(chunks, cuts, n_obs):
    """Touching rows from the first chunk's start over `cuts` to the last chunk's end."""
    edges = [int(chunks[0, 0]), *cuts, int(chunks[-1, 1])]
    return np.array([[a, b, 1, w] for a, b, w in zip(edges[:-1], edges[1:], n_obs)],
                    dtype=np.int64)


@pytest.mark.parametrize("n_threads", [2, 3, 5])
def test_touching_rows_cut_inside_reflection_lists(source, n_threads):
    path, _, chunks, in_lists = source
    cuts = [int(in_lists[len(in_lists) * q // 5]) for q in (1, 2, 3, 4)]
    rows = cut_rows(chunks, cuts, [10, 0, 30, 5, 5])
    assert unit_bounds(rows[:, 3], n_threads) == [(0, 2), (2, 3), (3, 5)]
    got = qn.parse_chunks(path, rows, PANELS, n_threads)
    assert_same(got, by_units(path, rows, n_threads))
    # The cuts show: the whole text parsed at once reads more rows and no truncation.
    whole = qn.parse_chunks(path, rows, PANELS, 1)
    assert len(whole[0]["I"]) > len(got[0]["I"])
    assert "crystal_truncated" in got[3] and "crystal_truncated" not in whole[3]


@pytest.mark.parametrize("n_obs, n_threads, bounds", [
    ([10, 0, 30, 5, 5], 2, [(0, 2), (2, 3), (3, 5)]),
    ([10, 0, 30, 5, 5], 1, [(0, 5)]),
    ([10, 0, 30, 5, 5], 0, [(0, 5)]),
    ([1, 1, 9], 2, [(0, 3)]),                       # 3 rows: a target of 3, not 8
    ([-4, 0, 1, 3], 2, [(0, 2), (2, 4)]),            # -4 and 0 weigh 1
    ([7], 6, [(0, 1)]),
    ([10, 1, 1], 2, [(0, 1), (1, 3)]),               # the last unit takes the rest
])
def test_units_show_in_the_result(source, n_obs, n_threads, bounds):
    path, _, chunks, in_lists = source
    assert unit_bounds(n_obs, n_threads) == bounds
    picks = np.linspace(0, len(in_lists) - 1, len(n_obs) + 1).astype(int)[1:-1]
    rows = cut_rows(chunks, [int(in_lists[p]) for p in picks], n_obs)
    want = joined([qn.parse_chunks(path, rows[a:b], PANELS, 1) for a, b in bounds])
    assert_same(qn.parse_chunks(path, rows, PANELS, n_threads), want)


HINTS = st.one_of(st.integers(-5, 60), st.sampled_from([-(2**40), 0, 1, 500, 2**40]))


@st.composite
def row_lists(draw, size, chunk_starts, in_lists):
    """Rows that touch or not, starting mid-line, inside reflection lists, at chunks,
    past the end, with odd hints; or a run of whole chunks with odd hints."""
    if draw(st.booleans()):
        first = draw(st.integers(0, len(chunk_starts) - 2))
        last = draw(st.integers(first + 1, len(chunk_starts) - 1))
        edges = [int(x) for x in chunk_starts[first:last + 1]]
    else:
        # Anywhere, at a chunk, or at or a few bytes into a reflection row.
        in_list = st.tuples(st.sampled_from(list(in_lists)), st.integers(0, 12)).map(sum)
        spot = st.one_of(st.integers(0, size + 40), st.sampled_from(list(chunk_starts)), in_list)
        edges = [draw(spot)]
        for _ in range(draw(st.integers(1, 24))):
            step = draw(st.one_of(st.just(0), st.integers(1, 5000), st.integers(-3000, -1)))
            nxt = draw(st.one_of(spot, st.just(max(edges[-1] + step, 0))))
            edges.append(nxt)
    rows = []
    end = edges[0]
    for a, b in itertools.pairwise(edges):
        # Mostly touching: a row starts where the previous one ended.
        start = end if draw(st.integers(0, 3)) else a
        end = max(start, b)
        rows.append([start, end, draw(HINTS), draw(HINTS)])
    return np.array(rows, dtype=np.int64)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_any_rows_parse_as_their_units_on_every_thread_count(source, data):
    path, size, chunks, in_lists = source
    starts = np.append(chunks[:, 0], chunks[-1, 1])
    rows = data.draw(row_lists(size, starts, in_lists))
    for n_threads in range(2, 7):
        assert_same(qn.parse_chunks(path, rows, PANELS, n_threads),
                    by_units(path, rows, n_threads))
