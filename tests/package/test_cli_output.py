"""What the command writes: never over an input, never over a folder it does not own, and
one line (no traceback) when it cannot."""
from __future__ import annotations

import os
import subprocess
import sys
import threading
import warnings

import pytest
from click.testing import CliRunner

import quillon
import stream_builder as sb
from conftest import GEOMETRY
from quillon.cli._app import cli


def run(*args, rc: int = 0):
    result = CliRunner().invoke(cli, [str(a) for a in args])
    assert result.exit_code == rc, (result.output, result.stderr, result.exception)
    assert "Traceback" not in result.stderr
    if rc and not result.stderr.startswith("Usage:"):  # a usage error shows the usage
        assert result.stderr.count("\n") == 1, result.stderr
    return result


@pytest.fixture
def tables(small_stream, tmp_path):
    folder = tmp_path / "tables.parquet"
    run("convert", small_stream, folder)
    return folder


def _link(source, tmp_path, how):
    if how == "same path":
        return source
    target = tmp_path / f"{how.replace(' ', '-')}{source.suffix}"
    if how == "symlink":
        target.symlink_to(source)
    else:
        os.link(source, target)
    return target


@pytest.mark.parametrize("how", ["same path", "symlink", "hard link"])
@pytest.mark.parametrize("command", [["filter", "{in}", "{out}", "--min-reflections", "3"],
                                     ["convert", "{in}", "{out}"]])
def test_an_input_is_never_the_output(small_stream, tmp_path, how, command):
    before = small_stream.read_bytes()
    out = _link(small_stream, tmp_path, how)
    args = [a.format(**{"in": small_stream, "out": out}) for a in command]
    result = run(*args, rc=2)
    assert "is the same file as input" in result.stderr
    assert small_stream.read_bytes() == before


@pytest.mark.parametrize("command", [["filter", "{in}", "{out}", "--events-from", "{out}"],
                                     ["filter", "{in}", "{out}", "--panels", "@{out}"],
                                     ["convert", "{in}", "{out}", "--panels", "@{out}"],
                                     ["plot", "cells", "{in}", "-o", "{out}", "--panels", "@{out}"]])
def test_no_input_file_is_an_output(small_stream, tmp_path, command):
    listed = tmp_path / ("names.png" if command[0] == "plot" else "names.stream")
    listed.write_text("p0\np1\n")
    args = [a.format(**{"in": small_stream, "out": listed}) for a in command]
    assert "is the same file as input" in run(*args, rc=2).stderr
    assert listed.read_text() == "p0\np1\n"


def test_tables_are_not_their_own_output(tmp_path, tables):
    inside = tables / "observations" / "part.0.parquet"
    run("convert", tables, tables, rc=2)
    assert inside.exists() and quillon.read_parquet(tables).n_crystals


def test_convert_leaves_folders_it_does_not_own(small_stream, tmp_path):
    results = tmp_path / "results"
    (results / "run1.parquet").mkdir(parents=True)
    (results / "run1.parquet" / "part.0.parquet").write_bytes(b"a dataset of someone else")
    (results / "notes.txt").write_text("mine")
    result = run("convert", small_stream, results, rc=2)
    assert "not an earlier output of quillon" in result.stderr
    assert sorted(p.name for p in results.iterdir()) == ["notes.txt", "run1.parquet"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["results", "test.stream"]


def test_convert_replaces_its_own_earlier_output(small_stream, tmp_path, tables):
    run("filter", small_stream, tmp_path / "few.stream", "--first-crystals", "2")
    run("convert", tmp_path / "few.stream", tables)
    assert quillon.read_parquet(tables).n_crystals == 2
    run("convert", small_stream, tables)
    assert quillon.read_parquet(tables).n_crystals == quillon.read(small_stream).n_crystals


def test_convert_into_the_current_folder_is_refused(small_stream, tmp_path, monkeypatch, tables):
    monkeypatch.chdir(tables)
    result = run("convert", small_stream, ".", rc=2)
    assert "current folder" in result.stderr
    assert quillon.read_parquet(tables).n_crystals


@pytest.mark.parametrize("length", [255, 400])
def test_very_long_target_names(small_stream, tmp_path, length):
    target = tmp_path / ("x" * (length - 7) + ".stream")
    run("convert", small_stream, target, rc=0 if length <= 255 else 1)
    assert sorted(p.name for p in tmp_path.iterdir()) == (
        sorted(["test.stream", target.name]) if length <= 255 else ["test.stream"])


def test_filter_refuses_to_write_a_stream_under_a_parquet_name(small_stream, tmp_path):
    result = run("filter", small_stream, tmp_path / "out.parquet", rc=2)
    assert "ending in .stream" in result.stderr
    assert not (tmp_path / "out.parquet").exists()


@pytest.mark.parametrize("command, dropped", [(["filter"], False),
                                               (["filter", "--from-columns"], True),
                                               (["convert"], True)])
def test_unknown_panel_reflections_are_copied_or_dropped_with_a_count(write_text, tmp_path,
                                                                      command, dropped):
    crystal = sb.Crystal(rows=[sb.row(1, 2, 3), sb.row(0, 1, 0, panel="zz"), sb.row(2, 2, 2)])
    source = write_text(sb.stream([sb.Image(crystals=[crystal]), sb.Image(crystals=[crystal])],
                                  GEOMETRY))
    out = tmp_path / "out.stream"
    result = run(command[0], source, out, *command[1:])
    assert ("left out 2 reflections on panels not in the panel list" in result.stderr) == dropped
    if not dropped:  # the copy keeps each reflection with the panel name it had
        assert out.read_bytes() == source.read_bytes()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quillon.UnknownPanelWarning)
        back = quillon.read(out)
    assert (back.n_crystals, len(back)) == (2, 4 if dropped else 6)
    assert back.crystals["n_refl"].tolist() == ([2, 2] if dropped else [3, 3])


@pytest.mark.parametrize("damage", ["broken record", "record removed", "foreign part"])
def test_broken_tables_are_one_line(tables, tmp_path, damage):
    if damage == "broken record":
        (tables / "quillon.json").write_text("{")
    elif damage == "record removed":
        (tables / "quillon.json").unlink()
    else:
        (tables / "crystals" / "part.0.parquet").write_bytes(b"PAR1 not really PAR1")
    run("convert", tables, tmp_path / "back.stream", rc=2)
    assert not (tmp_path / "back.stream").exists()


def _panel(name: str, corner_x: str = "-100") -> str:
    return (f"{name}/min_fs = 0\n{name}/max_fs = 199\n{name}/min_ss = 0\n{name}/max_ss = 99\n"
            f"{name}/corner_x = {corner_x}\n{name}/corner_y = -50\n{name}/fs = +1x\n"
            f"{name}/ss = +1y\n")


def _geometry_stream(write_text, panels: str):
    header = f"----- Begin geometry file -----\n{panels}----- End geometry file -----\n"
    rows = [sb.row(1, 2, 3, fs=20.5 + 3 * i, ss=10.5 + i, panel="p0") for i in range(30)]
    return write_text(sb.stream([sb.Image(crystals=[sb.Crystal(rows=rows)])] * 3, header))


@pytest.mark.parametrize("geometry, drawn", [
    (_panel("p0") + _panel("p1", "100"), "detector map"),
    (_panel("p0", "nan") + _panel("p1", "100"), "not a finite number"),
    (_panel("p0", "inf") + _panel("p1", "100"), "not a finite number"),
    (_panel("p0") + "p1/min_fs = 0\n", "p1 has no corner_x"),
    (_panel("p0"), "single panel"),
])
def test_plot_panels_draws_what_the_geometry_allows(write_text, tmp_path, monkeypatch,
                                                     geometry, drawn):
    from quillon.cli import _plot

    figures = []
    original = _plot.panels_figure
    monkeypatch.setattr(_plot, "panels_figure",
                        lambda *a, **k: figures.append(original(*a, **k)) or figures[-1])
    run("plot", "panels", _geometry_stream(write_text, geometry), "-o", tmp_path / "p.png",
        "--dpi", "20")
    assert (tmp_path / "p.png").read_bytes().startswith(b"\x89PNG")
    axes = figures[0].axes
    titles = " ".join(ax.get_title() for ax in axes)
    if drawn == "detector map":
        assert "detector" in titles and len(axes[0].collections) == 1
    elif drawn == "single panel":
        assert len(axes[0].images) == 1
        assert axes[0].images[0].get_array().sum() == 90  # every reflection in a bin
    else:
        assert "no detector map: " in titles and drawn in titles


@pytest.mark.parametrize("dpi", ["nan", "inf", "5"])
def test_plot_refuses_a_dpi_that_is_not_a_size(small_stream, tmp_path, dpi):
    result = run("plot", "cells", small_stream, "-o", tmp_path / "c.png", "--dpi", dpi, rc=2)
    assert "--dpi" in result.stderr and not (tmp_path / "c.png").exists()


def test_output_names_that_are_not_utf8(small_stream, tmp_path):
    folder = os.fsdecode(bytes(tmp_path) + b"/\xff.parquet")
    stream = os.fsdecode(bytes(tmp_path) + b"/\xfe.stream")
    run("convert", small_stream, folder)
    run("convert", folder, stream)
    assert quillon.read(stream).n_crystals == quillon.read_parquet(folder).n_crystals > 0


def test_tables_without_panel_names_are_not_written_as_a_stream(write_text, tmp_path):
    crystal = sb.Crystal(rows=[sb.row(1, 2, 3), sb.row(2, 2, 2)])
    source = write_text(sb.stream([sb.Image(crystals=[crystal])]))  # no geometry
    with pytest.warns(quillon.UnknownPanelWarning):
        quillon.read(source, panels=[]).to_parquet(tmp_path / "t")
    result = run("convert", tmp_path / "t", tmp_path / "back.stream", rc=2)
    assert "name no panels" in result.stderr and not (tmp_path / "back.stream").exists()



def _filter(source, out):
    run("filter", source, out, "--min-reflections", "3")


def _write_copy(source, out):
    quillon.read(source, panels="auto").write(out)


@pytest.mark.parametrize("write", [_filter, _write_copy])
def test_a_pipe_gets_the_copy_a_file_gets(small_stream, tmp_path, write):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    got: list[bytes] = []

    def drain():
        with open(pipe, "rb") as f:
            got.append(f.read())

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    write(small_stream, pipe)
    reader.join(timeout=60)
    write(small_stream, tmp_path / "file.stream")
    assert got == [(tmp_path / "file.stream").read_bytes()]


def test_the_column_writer_refuses_a_pipe_without_waiting(small_stream, tmp_path):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    with pytest.raises(OSError):
        quillon.read(small_stream, panels="auto").write(pipe, verbatim=False)


@pytest.mark.parametrize("options", [["--min-reflections", "3"], [], ["--min-reflections", "3", "--json"]])
def test_a_stream_on_standard_output_is_the_stream_alone(small_stream, tmp_path, options):
    command = [sys.executable, "-m", "quillon.cli", "filter", str(small_stream)]
    piped = subprocess.run([*command, "/dev/stdout", *options], capture_output=True, timeout=120,
                           check=False)
    assert piped.returncode == 0, piped.stderr
    run("filter", small_stream, tmp_path / "file.stream", *options)
    assert piped.stdout == (tmp_path / "file.stream").read_bytes()
    assert b"/dev/stdout" in piped.stderr  # the report, kept out of the stream
