"""The module surface: attributes, signatures, argument binding and conversion."""
import os
import pathlib

import numpy as np
import pytest

import quillon_native as qn


def test_attributes_in_order():
    assert qn.__all__ == ["PROTOCOL", "__version__", "index_chunks", "parse_chunks", "write_stream"]
    assert qn.PROTOCOL == 1 and type(qn.PROTOCOL) is int
    assert qn.__version__ == "0.1.0"
    for name in qn.__all__[2:]:
        assert getattr(qn, name).__module__ == "quillon_native"


def test_panic_exception_can_be_caught_by_name():
    # A broken invariant must not be swallowed by `except Exception`.
    assert qn.PanicException.__bases__ == (BaseException,)
    assert qn.PanicException.__module__ == "quillon_native"
    assert "PanicException" not in qn.__all__


@pytest.mark.parametrize("func, signature, first_doc_line", [
    (qn.index_chunks, "(path, n_threads=1, max_crystals=None)",
     "Index the chunks of a stream: an ``(n, 4)`` int64 array of"),
    (qn.parse_chunks, "(path, chunks, panel_names, n_threads=1)",
     "Parse chunk rows (from ``index_chunks``, file order) into columns."),
    (qn.write_stream, "(path, arrays, filenames, events, panel_names, lattice_type, centering, "
                      "unique_axis, header, n_threads=1, images_per_batch=1024)",
     "Write a ``.stream`` file: ``header`` verbatim, then one chunk per image."),
])
def test_text_signatures_and_docstrings(func, signature, first_doc_line):
    assert func.__text_signature__ == signature
    assert func.__doc__.split("\n")[0] == first_doc_line
    assert not func.__doc__.endswith("\n")


@pytest.mark.parametrize("call, message", [
    (lambda: qn.index_chunks(), "index_chunks() missing 1 required positional argument: 'path'"),
    (lambda: qn.index_chunks("p", 2, None, 5),
     "index_chunks() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: qn.parse_chunks("p", None, [], 1, 2),
     "parse_chunks() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: qn.index_chunks("p", path="q"), "index_chunks() got multiple values for argument 'path'"),
    (lambda: qn.index_chunks("p", threads=2), "index_chunks() got an unexpected keyword argument 'threads'"),
    (lambda: qn.parse_chunks("p"),
     "parse_chunks() missing 2 required positional arguments: 'chunks' and 'panel_names'"),
    (lambda: qn.parse_chunks(n_threads=1),
     "parse_chunks() missing 3 required positional arguments: 'path', 'chunks', and 'panel_names'"),
    (lambda: qn.write_stream("p", {}, [], [], [], None, None, None),
     "write_stream() missing 1 required positional argument: 'header'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class FsPath:
    def __init__(self, p):
        self.p = p

    def __fspath__(self):
        return self.p


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("kwargs, exc, param", [
    ({"n_threads": None}, TypeError, "n_threads"),
    ({"n_threads": 1.0}, TypeError, "n_threads"),
    ({"n_threads": -1}, OverflowError, "n_threads"),
    ({"n_threads": 2**64}, OverflowError, "n_threads"),
    ({"max_crystals": 2**63}, OverflowError, "max_crystals"),
    ({"max_crystals": "3"}, TypeError, "max_crystals"),
    ({"path": b"/tmp/x.stream"}, TypeError, "path"),
    ({"path": FsPath(b"/tmp/x.stream")}, TypeError, "path"),
    ({"path": 3}, TypeError, "path"),
    ({"path": "/tmp/a\0b"}, ValueError, "path"),
])
def test_conversion_errors_carry_a_note(kwargs, exc, param):
    args = {"path": "/nonexistent.stream", **kwargs}
    with pytest.raises(exc) as info:
        qn.index_chunks(**args)
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("call, param", [
    (lambda: qn.parse_chunks("p", np.zeros((0, 4), np.int64), "abc"), "panel_names"),
    (lambda: qn.parse_chunks("p", np.zeros((0, 4), np.int64), ["a", 1]), "panel_names"),
    (lambda: qn.parse_chunks("p", np.zeros((0, 4), np.int64), 5), "panel_names"),
    (lambda: qn.parse_chunks("p", [[1, 2, 3, 4]], []), "chunks"),
    (lambda: qn.parse_chunks("p", np.zeros((0, 4), np.float64), []), "chunks"),
    (lambda: qn.parse_chunks("p", np.zeros(4, np.int64), []), "chunks"),
    (lambda: qn.write_stream("p", [], [], [], [], None, None, None, ""), "arrays"),
    (lambda: qn.write_stream("p", {}, "f", [], [], None, None, None, ""), "filenames"),
    (lambda: qn.write_stream("p", {}, [], ["\ud800"], [], None, None, None, ""), "events"),
    (lambda: qn.write_stream("p", {}, [], [], [], 1, None, None, ""), "lattice_type"),
    (lambda: qn.write_stream("p", {}, [], [], [], None, None, None, None), "header"),
    (lambda: qn.write_stream("p", {}, [], [], [], None, None, None, "", 1, -1), "images_per_batch"),
])
def test_argument_type_errors_name_the_argument(call, param):
    with pytest.raises((TypeError, ValueError, OverflowError, UnicodeError)) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("chunks, text", [
    ([[0, 1, 0, 0]], "'list' object is not an instance of 'ndarray'"),
    (np.zeros((1, 4), np.int32), "'ndarray' object is not an instance of 'ndarray'"),
    (None, "'None' is not an instance of 'ndarray'"),
])
def test_chunks_of_wrong_type_read_as_cast_text(chunks, text):
    with pytest.raises(TypeError) as info:
        qn.parse_chunks("p", chunks, [])
    assert str(info.value) == text


def test_path_like_and_index_objects_are_accepted(tmp_path):
    f = tmp_path / "s.stream"
    f.write_text("----- Begin chunk -----\n")
    for path in (str(f), f, FsPath(str(f))):
        rows = qn.index_chunks(path, Index(2), Index(5))
        assert rows.tolist() == [[0, 24, 0, 0]]


@pytest.mark.parametrize("target, exc, text", [
    ("missing.stream", FileNotFoundError, "No such file or directory (os error 2)"),
    (".", IsADirectoryError, "Is a directory (os error 21)"),
])
def test_os_errors_map_to_their_classes(tmp_path, target, exc, text):
    path = tmp_path / target
    with pytest.raises(exc) as info:
        qn.index_chunks(path)
    assert type(info.value) is exc
    assert str(info.value) == text
    assert info.value.errno is None and info.value.filename is None


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of permissions")
def test_permission_error(tmp_path):
    f = tmp_path / "locked.stream"
    f.write_text("x\n")
    f.chmod(0)
    with pytest.raises(PermissionError, match=r"^Permission denied \(os error 13\)$"):
        qn.index_chunks(f)


def test_directory_of_size_zero_reads_nothing():
    # /proc directories report size 0: nothing is read, nothing is found.
    rows = qn.index_chunks(pathlib.Path("/proc/self"))
    assert rows.shape == (0, 4) and rows.dtype == np.int64
