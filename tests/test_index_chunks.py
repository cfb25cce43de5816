"""index_chunks end to end: rows, thread counts, max_crystals, concurrency."""
import threading

import numpy as np
import pytest

import quillon_native as qn
from stream_builder import Crystal, Image, random_images, row, stream

PANELS = [f"p{i}" for i in range(8)]


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    text = stream(random_images(300, seed=1, panels=PANELS))
    path = tmp_path_factory.mktemp("idx") / "gen.stream"
    path.write_text(text)
    return path, text


def count_rows(piece):
    """Lines of ten or more fields between a reflection list's heading and its end."""
    n, state = 0, "outside"
    for ln in piece.split("\n"):
        if state == "outside":
            state = "heading" if ln.startswith("Reflections measured after indexing") else state
        elif state == "heading":
            state = "rows"
        elif ln.startswith("End of reflections"):
            state = "outside"
        elif len(ln.split()) >= 10:
            n += 1
    return n


def crystals_per_chunk(n_crystals_list):
    return [Image(filename=f"i{k}", crystals=[Crystal(rows=[row(1, 2, 3)] * 2)] * n)
            for k, n in enumerate(n_crystals_list)]


def test_rows_describe_the_file(generated):
    path, text = generated
    rows = qn.index_chunks(path)
    assert rows.dtype == np.int64 and rows.shape == (300, 4)
    assert rows.flags.c_contiguous and rows.flags.writeable and not rows.flags.owndata
    data = text.encode()
    # Rows tile the file from the first begin marker to its end.
    assert rows[0, 0] == data.index(b"----- Begin chunk -----")
    assert rows[-1, 1] == len(data)
    assert (rows[1:, 0] == rows[:-1, 1]).all()
    for start, end, n_crystals, n_obs in rows:
        piece = data[start:end].decode()
        assert piece.startswith("----- Begin chunk -----\n")
        assert piece.count("--- Begin crystal") == n_crystals
        assert count_rows(piece) == n_obs


@pytest.mark.parametrize("n_threads", [0, 2, 3, 8, 64, 1000, 2**64 - 1])
def test_identical_for_every_thread_count(generated, n_threads):
    path, _ = generated
    expected = qn.index_chunks(path, 1)
    np.testing.assert_array_equal(qn.index_chunks(path, n_threads), expected)


@pytest.mark.parametrize("text", ["", "just a header\n--- Begin crystal\n"])
@pytest.mark.parametrize("n_threads", [1, 4])
def test_no_chunks(tmp_path, text, n_threads):
    f = tmp_path / "empty.stream"
    f.write_text(text)
    for max_crystals in (None, 3):
        rows = qn.index_chunks(f, n_threads, max_crystals)
        assert rows.shape == (0, 4) and rows.dtype == np.int64


@pytest.mark.parametrize("max_crystals, expected", [
    (3, [2, 0, 1]),
    (2, [2]),
    (0, [2]),
    (-1, [2]),
    (-(2**63), [2]),
    (100, [2, 0, 1, 5]),
    (None, [2, 0, 1, 5]),
])
@pytest.mark.parametrize("n_threads", [1, 4])
def test_max_crystals(tmp_path, max_crystals, expected, n_threads):
    f = tmp_path / "mc.stream"
    f.write_text(stream(crystals_per_chunk([2, 0, 1, 5])))
    rows = qn.index_chunks(f, n_threads, max_crystals)
    assert rows[:, 2].tolist() == expected
    if len(expected) == 4:
        assert rows[-1, 1] == f.stat().st_size
    else:
        assert rows[-1, 1] < f.stat().st_size


def test_single_chunk_many_threads(tmp_path):
    f = tmp_path / "one.stream"
    f.write_text("header\n" + crystals_per_chunk([3])[0].text())
    rows = qn.index_chunks(f, 8)
    assert rows.tolist() == [[7, f.stat().st_size, 3, 6]]


def test_crlf_file_gives_same_counts(tmp_path):
    text = stream(random_images(20, seed=4, panels=PANELS))
    lf, crlf = tmp_path / "lf.stream", tmp_path / "crlf.stream"
    lf.write_bytes(text.encode())
    crlf.write_bytes(text.replace("\n", "\r\n").encode())
    a, b = qn.index_chunks(lf, 2), qn.index_chunks(crlf, 2)
    np.testing.assert_array_equal(a[:, 2:], b[:, 2:])


def test_concurrent_calls_from_python_threads(generated):
    path, _ = generated
    expected = qn.index_chunks(path)
    results, errors = [], []

    def work(n):
        try:
            for _ in range(5):
                results.append(qn.index_chunks(path, n))
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in (1, 2, 3, 4, 8, 16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 30
    for r in results:
        np.testing.assert_array_equal(r, expected)


def test_no_threads_outlive_the_call(generated):
    path, _ = generated
    before = threading.active_count()
    import os
    tasks = lambda: len(os.listdir(f"/proc/{os.getpid()}/task"))
    native_before = tasks()
    qn.index_chunks(path, 16)
    assert tasks() <= native_before
    assert threading.active_count() == before
