"""Outputs: written beside the target and renamed, inputs never overwritten, folders owned."""
from __future__ import annotations

import errno
import os
import stat

import numpy as np
import pytest

import quillon
from quillon import _output
from quillon._output import ForeignFolderError, SameFileError, output_folder, output_path


def names(folder) -> list[str]:
    return sorted(p.name for p in folder.iterdir())


@pytest.fixture
def umask():
    old = os.umask(0o027)
    yield 0o027
    os.umask(old)


@pytest.mark.parametrize("link", ["same path", "symlink", "hard link", "relative path"])
def test_an_input_is_refused_as_output(tmp_path, monkeypatch, link):
    source = tmp_path / "in.stream"
    source.write_text("source")
    target = {"same path": source, "symlink": tmp_path / "s.stream",
              "hard link": tmp_path / "h.stream", "relative path": "in.stream"}[link]
    if link == "symlink":
        target.symlink_to(source)
    elif link == "hard link":
        os.link(source, target)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SameFileError, match="is the same file as input .*; choose another output"):
        with output_path(target, inputs=[None, tmp_path / "other", source]):
            pytest.fail("the block must not run")
    assert source.read_text() == "source"
    assert len(list(tmp_path.iterdir())) == (1 if link in ("same path", "relative path") else 2)


@pytest.mark.parametrize("failure", [KeyboardInterrupt(), OSError(errno.ENOSPC, "No space left")])
def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, failure):
    target = tmp_path / "out.stream"
    target.write_text("old")
    with pytest.raises(type(failure)), output_path(target) as tmp:
        with open(tmp, "w") as f:
            f.write("half")
        raise failure
    assert names(tmp_path) == ["out.stream"] and target.read_text() == "old"


def test_permissions_kept_or_from_the_umask(tmp_path, umask):
    old = tmp_path / "old.stream"
    old.write_text("old")
    old.chmod(0o640)
    for target in (old, tmp_path / "new.stream"):
        with output_path(target) as tmp:
            with open(tmp, "w") as f:
                f.write("new")
    assert stat.S_IMODE(old.stat().st_mode) == 0o640 and old.read_text() == "new"
    assert stat.S_IMODE((tmp_path / "new.stream").stat().st_mode) == 0o666 & ~umask


def test_a_device_is_written_in_place(tmp_path):
    with output_path(os.devnull) as tmp:
        assert tmp == os.devnull
        with open(tmp, "w") as f:
            f.write("gone")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


@pytest.mark.parametrize("limit", [0, 50_000])
def test_a_full_disk_leaves_the_old_stream(small_stream, tmp_path, limit):
    """A real failure of the native writer: a file-size limit makes its writes fail (EFBIG),
    as a full disk would (ENOSPC)."""
    import subprocess
    import sys
    import textwrap

    target = tmp_path / "old.stream"
    target.write_text("old")
    code = textwrap.dedent(f"""
        import resource, signal, sys
        import quillon
        s = quillon.read({str(small_stream)!r})
        s = quillon.concat([s] * 40)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
        try:
            s.write({str(target)!r}, header=s.header)
        except OSError as exc:
            print(exc.errno)
            sys.exit(3)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "PYTHONWARNINGS": "ignore"})
    assert proc.returncode == 3, proc.stderr
    assert int(proc.stdout) == errno.EFBIG
    assert target.read_text() == "old"
    assert names(tmp_path) == sorted(["old.stream", small_stream.name])


def test_a_symlink_target_keeps_pointing_at_the_new_file(tmp_path):
    real = tmp_path / "real.stream"
    real.write_text("old")
    (tmp_path / "link.stream").symlink_to(real)
    with output_path(tmp_path / "link.stream") as tmp:
        with open(tmp, "w") as f:
            f.write("new")
    assert (tmp_path / "link.stream").is_symlink() and real.read_text() == "new"


@pytest.mark.parametrize("length", [255, 300])
def test_long_target_names(tmp_path, length):
    target = tmp_path / ("x" * (length - 7) + ".stream")
    if length > 255:
        with pytest.raises(OSError) as info, output_path(target):
            pytest.fail("the block must not run")
        assert info.value.errno == errno.ENAMETOOLONG
    else:
        with output_path(target) as tmp:
            assert len(os.path.basename(tmp)) <= 255
            open(tmp, "w").close()
        assert target.exists()
    assert names(tmp_path) == ([target.name] if length <= 255 else [])


@pytest.fixture
def earlier(tmp_path):
    """A folder of tables that an earlier run wrote."""
    folder = tmp_path / "tables"
    quillon.Stream.empty(["p0"], header="earlier\n").to_parquet(folder)
    return folder


@pytest.mark.parametrize("content", ["a dataset and a file", "a file", "nothing", "earlier tables"])
def test_a_folder_is_replaced_only_when_owned(tmp_path, earlier, content):
    target = tmp_path / "tables" if content == "earlier tables" else tmp_path / "results"
    if content != "earlier tables":
        target.mkdir()
    if content == "a dataset and a file":
        (target / "run1.parquet").mkdir()
        (target / "run1.parquet" / "part.0.parquet").write_text("theirs")
    if content != "nothing" and content != "earlier tables":
        (target / "notes.txt").write_text("mine")
    before = names(target)
    s = quillon.Stream.empty(["p1"], header="new\n")
    if content in ("nothing", "earlier tables"):
        s.to_parquet(target)
        assert quillon.read_parquet(target).header == "new\n"
    else:
        with pytest.raises(ForeignFolderError, match="not an earlier output of quillon"):
            s.to_parquet(target)
        assert names(target) == before
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_a_folder_holding_an_input_or_the_current_folder_is_never_replaced(tmp_path, monkeypatch,
                                                                          earlier):
    inside = earlier / "observations" / "part.0.parquet"
    with pytest.raises(SameFileError, match="holds input"):
        with output_folder(earlier, inputs=[inside], owned=lambda p: True):
            pytest.fail("the block must not run")
    monkeypatch.chdir(earlier)
    for target in (".", earlier):
        with pytest.raises(ForeignFolderError, match="current folder"):
            with output_folder(target, owned=lambda p: True):
                pytest.fail("the block must not run")
    assert quillon.read_parquet(earlier).header == "earlier\n"


def test_a_failed_folder_write_leaves_the_old_folder(tmp_path, earlier):
    with pytest.raises(KeyboardInterrupt):
        with output_folder(earlier, owned=quillon._parquet.is_tables_folder) as tmp:
            (tmp_path / "x").write_text("")
            open(os.path.join(tmp, "half"), "w").close()
            raise KeyboardInterrupt
    assert quillon.read_parquet(earlier).header == "earlier\n"
    assert names(tmp_path) == ["tables", "x"]


# -- Stream.write and Stream.to_parquet ------------------------------------------------


@pytest.mark.parametrize("verbatim", [True, False])
@pytest.mark.parametrize("how", ["same path", "symlink", "hard link"])
def test_stream_write_refuses_its_source(small_stream, tmp_path, how, verbatim):
    s = quillon.read(small_stream)
    before = small_stream.read_bytes()
    target = {"same path": small_stream, "symlink": tmp_path / "s.stream",
              "hard link": tmp_path / "h.stream"}[how]
    if how == "symlink":
        target.symlink_to(small_stream)
    elif how == "hard link":
        os.link(small_stream, target)
    with pytest.raises(SameFileError):
        s.select(crystals=[0]).write(target, verbatim=verbatim)
    assert small_stream.read_bytes() == before


@pytest.mark.parametrize("method", ["write", "write copy", "to_parquet"])
def test_interrupted_stream_output_leaves_the_old_one(small_stream, tmp_path, monkeypatch, method):
    s = quillon.read(small_stream)
    if method == "write":  # the column writer
        s._origin = None
    method, copy = method.split(" ")[0], method.endswith("copy")
    target = tmp_path / ("old.stream" if method == "write" else "old")
    getattr(s.select(crystals=[0]), method)(target)
    before = quillon.read(target) if method == "write" else quillon.read_parquet(target)
    target_mode = 0o604
    target.chmod(target_mode if method == "write" else 0o705)

    def interrupted(path, *args, **kwargs):
        with open(path, "w") as f:
            f.write("----- Begin chunk -----\n")
        raise KeyboardInterrupt

    if copy:
        monkeypatch.setattr(quillon._verbatim, "write_text",
                            lambda origin, out, header: interrupted(out.name))
    elif method == "write":
        monkeypatch.setattr(quillon._stream, "write_stream", interrupted)
    else:
        monkeypatch.setattr(quillon._parquet.TablesWriter, "write",
                            lambda self, stream: interrupted(os.path.join(self.folder, "x")))
    with pytest.raises(KeyboardInterrupt):
        getattr(s, method)(target)
    after = quillon.read(target) if method == "write" else quillon.read_parquet(target)
    assert (after.n_crystals, after.n_images) == (before.n_crystals, before.n_images)
    assert names(tmp_path) == sorted([small_stream.name, target.name])
    monkeypatch.undo()
    getattr(s, method)(target)
    assert stat.S_IMODE(target.stat().st_mode) == (target_mode if method == "write" else 0o705)


@pytest.mark.parametrize("panel_id", [2, 300, -2])
def test_constructor_checks_panel_ids(small_stream, panel_id):
    s = quillon.read(small_stream)
    columns = {name: array.copy() for name, array in s.columns.items()}
    columns["panel_id"][5] = panel_id
    with pytest.raises(ValueError, match=f"panel_id holds {panel_id}"):
        quillon.Stream(columns, s.filenames, s.events, s.report, panels=s.panels)
    with pytest.raises(ValueError, match="panel_id holds"):
        quillon.Stream(s.columns, s.filenames, s.events, s.report)  # the default: no panels


def test_unknown_panels_are_dropped_with_their_count(small_stream, tmp_path):
    s = quillon.read(small_stream)
    s.columns["panel_id"][[0, 1, 7]] = -1
    kept, dropped = s.without_unknown_panels()
    assert dropped == 3 and len(kept) == len(s) - 3 and kept.n_crystals == s.n_crystals
    kept.write(tmp_path / "k.stream")
    back = quillon.read(tmp_path / "k.stream")
    np.testing.assert_array_equal(back.columns["n_refl"], kept.columns["n_refl"])
    assert back.columns["n_refl"].sum() == len(s) - 3


def test_output_module_has_no_stray_names():
    assert set(_output.__all__) == {"ForeignFolderError", "SameFileError", "check_not_input",
                                    "output_folder", "output_path"}


@pytest.mark.parametrize("layout", ["three files", "dask folders", "three files, one foreign"])
def test_earlier_layouts_are_owned(tmp_path, layout):
    import pyarrow as pa
    import pyarrow.parquet as pq

    folder = tmp_path / "old"
    for k, table in enumerate(("observations", "crystals", "images")):
        key = b"quillon" if layout.startswith("three files") else b"quillon.panels"
        meta = None if layout.endswith("foreign") and k == 2 else {key: b"[]"}
        path = folder / f"{table}.parquet" if key == b"quillon" else folder / table / "part.0.parquet"
        path.parent.mkdir(parents=True, exist_ok=True)
        pq.write_table(pa.table({"x": [1]}).replace_schema_metadata(meta), path)
    assert quillon._parquet.is_tables_folder(str(folder)) == (not layout.endswith("foreign"))
