"""The command given hostile inputs: one line and an exit status, never a traceback or a hang."""
from __future__ import annotations

import bz2
import gzip
import json
import lzma
import os
import socket
import subprocess
import sys
import threading

import numpy as np
import pytest
import quillon
import stream_builder as sb
from conftest import GEOMETRY
from test_cli import CELL, gen, parse, run  # noqa: F401  (gen is a fixture)

COMMANDS = {
    "info": ["info", "{in}"],
    "filter": ["filter", "{in}", "{dir}/out.stream"],
    "filter tested": ["filter", "{in}", "{dir}/out.stream", "--min-reflections", "2"],
    "filter columns": ["filter", "{in}", "{dir}/out.stream", "--from-columns"],
    "convert parquet": ["convert", "{in}", "{dir}/out.parquet"],
    "convert stream": ["convert", "{in}", "{dir}/out.stream"],
    "plot cells": ["plot", "cells", "{in}", "-o", "{dir}/c.png"],
    "plot resolution": ["plot", "resolution", "{in}", "-o", "{dir}/r.png"],
    "plot panels": ["plot", "panels", "{in}", "-o", "{dir}/p.png"],
    "merge": ["merge", "{in}", "{dir}/m.mtz", "-y", "mmm"],
    "stats": ["stats", "{in}", "-y", "mmm"],
}


def call(args, path, folder, *extra, timeout=60) -> subprocess.CompletedProcess:
    argv = [a.format(**{"in": path, "dir": folder}) for a in args]
    return subprocess.run([sys.executable, "-m", "quillon.cli", *argv, *map(str, extra)], check=False,
                          capture_output=True, text=True, timeout=timeout)


def one_line(proc: subprocess.CompletedProcess, rc: int, *words: str) -> None:
    assert proc.returncode == rc, proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stderr.count("\n") == 1, proc.stderr
    for word in words:
        assert word in proc.stderr


@pytest.mark.parametrize("bom", [False, True])
@pytest.mark.parametrize("batch", ["256 MiB", "80K", "20K"])
def test_filter_events_from_in_every_batch(gen, tmp_path, batch, bom):  # noqa: F811
    """Images are looked up by their row in the batch, not by their id in the file."""
    g = gen[0]
    keep = list(range(1, len(g["names"]), 4))
    lines = [f"{g['names'][i]} {g['events'][i]}" for i in keep]
    events = tmp_path / "events.lst"
    events.write_bytes(("\ufeff" if bom else "").encode() + "\n".join(lines).encode() + b"\n")
    out = tmp_path / "out.stream"
    summary = json.loads(run("filter", g["path"], out, "--events-from", events, "--batch-size",
                             batch, "--images-with-crystals", "--json").stdout)
    cols, names, _, _ = parse(out, g["panels"])
    want = np.isin(g["cols"]["image_id"], keep)
    assert names == [g["names"][i] for i in keep if i in set(g["cols"]["image_id"][want])]
    np.testing.assert_array_equal(cols["cell"], g["cols"]["cell"][want])
    assert summary["kept"]["crystals"] == int(want.sum())
    assert summary["failed"]["events"] == int((~want).sum())


@pytest.mark.parametrize("args, words", [
    (["--batch-size", "1e400"], ["--batch-size", "too large"]),
    (["--resolution-better-than", "nan"], ["--resolution-better-than"]),
    (["--resolution-better-than", "inf"], ["--resolution-better-than"]),
    (["--cell", "79_1,79.1,38,90,90,90"], ["'79_1' is not a number"]),
    (["--cell", CELL, "--tolerance", "1_0%,1"], ["not a number"]),
    (["--panels", "p0,p1,p0"], ["'p0' is named twice"]),
])
def test_bad_option_values_are_usage_errors(gen, tmp_path, args, words):  # noqa: F811
    proc = run("filter", gen[1]["path"], tmp_path / "out.stream", *args, rc=2)
    assert "Traceback" not in proc.stderr and all(w in proc.stderr for w in words)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("content, words", [
    (os.urandom(512).replace(b"\n", b"x") + b"\xff\xfe", ["not UTF-8 text"]),
    ("\n".join(f"p{i}" for i in range(40_000)).encode(), ["40,000 panel names"]),
    (b"", ["no panel name"]),
])
def test_bad_panel_files(gen, tmp_path, content, words):  # noqa: F811
    names = tmp_path / "names.txt"
    names.write_bytes(content)
    proc = run("info", gen[1]["path"], "--panels", f"@{names}", rc=2)
    assert "Traceback" not in proc.stderr and all(w in proc.stderr for w in words)


def test_a_file_name_that_is_not_utf8(gen, tmp_path):  # noqa: F811
    name = os.fsdecode(b"run\xff.stream")
    path = tmp_path / name
    path.write_bytes(gen[1]["path"].read_bytes())
    for args in COMMANDS.values():
        proc = call(args, path, tmp_path)
        assert proc.returncode == 0 and "Traceback" not in proc.stderr, proc.stderr
    assert quillon.read_parquet(tmp_path / "out.parquet").path == str(path)
    shown = json.loads(run("info", "--json", path).stdout)["files"][0]["path"]
    assert shown == f"{tmp_path}/run\ufffd.stream"


def _compressed(data: bytes, kind: str) -> bytes:
    return {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress,
            "zstd": lambda d: b"\x28\xb5\x2f\xfd\x24\x00" + d[:64]}[kind](data)


NOT_A_STREAM = {"gzip": ["compressed (gzip); decompress it first", "gunzip -k run.stream.gz"],
                "bzip2": ["compressed (bzip2)", "bunzip2 -k"], "xz": ["compressed (xz)"],
                "zstd": ["compressed (zstd)"], "binary": ["not a stream: no chunk found"],
                "geometry": ["not a stream: no chunk found"]}


# Every kind, and every command, at least once.
@pytest.mark.parametrize("kind, command", [
    ("gzip", "info"), ("gzip", "plot resolution"), ("bzip2", "filter"), ("xz", "convert parquet"),
    ("zstd", "convert stream"), ("binary", "plot cells"), ("geometry", "plot panels"),
    ("binary", "info"), ("geometry", "info"), ("gzip", "merge"), ("binary", "stats"),
])
def test_what_is_not_a_stream_is_refused(small_stream, tmp_path, command, kind):
    words = NOT_A_STREAM[kind]
    data = small_stream.read_bytes()
    path = tmp_path / "run.stream.gz"
    if kind == "binary":
        path.write_bytes(os.urandom(4000).replace(b"-", b"+") + b"\0")
    elif kind == "geometry":
        path.write_text("p0/min_fs = 0\np0/max_fs = 255\np0/corner_x = 1\n")
    else:
        path.write_bytes(_compressed(data, kind))
    proc = call(COMMANDS[command], path, tmp_path)
    one_line(proc, 2, str(path), *words)
    assert "left out nothing" not in proc.stdout and proc.stdout == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.stream.gz", "test.stream"]


@pytest.mark.parametrize("where", ["input", "events", "panels"])
@pytest.mark.parametrize("command", ["info", "filter", "convert parquet", "plot cells", "merge"])
def test_named_pipes_are_refused_without_waiting(gen, tmp_path, command, where):  # noqa: F811
    if where == "events" and command != "filter":
        pytest.skip("only filter reads an events list")
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    path = fifo if where == "input" else gen[1]["path"]
    extra = {"input": [], "events": ["--events-from", fifo], "panels": ["--panels", f"@{fifo}"]}
    try:
        proc = call(COMMANDS[command], path, tmp_path, *extra[where], timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the command waited on the named pipe")
    one_line(proc, 2, str(fifo), "named pipe")


@pytest.fixture
def silent_server():
    """A port that accepts connections and never answers."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen()
    held = []

    def accept():
        while True:
            try:
                held.append(server.accept()[0])
            except OSError:
                return

    threading.Thread(target=accept, daemon=True).start()
    yield server.getsockname()[1]
    server.close()
    for conn in held:
        conn.close()


@pytest.mark.parametrize("address", ["silent", "refused", "nonsense"])
def test_an_unreachable_scheduler_fails_in_time(gen, tmp_path, silent_server, address):  # noqa: F811
    pytest.importorskip("distributed")
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()  # nothing listens there now
    url = {"silent": f"tcp://127.0.0.1:{silent_server}", "refused": f"tcp://127.0.0.1:{port}",
           "nonsense": "nonsense"}[address]
    proc = call(["convert", "{in}", "{dir}/out.parquet"], gen[1]["path"], tmp_path,
                "--scheduler", url, "--scheduler-timeout", "2", timeout=60)
    one_line(proc, 1, "scheduler unreachable")
    assert sorted(p.name for p in tmp_path.iterdir()) == []


NO_GEOMETRY_RC = {"info": 0, "filter": 0, "filter tested": 0, "filter columns": 2, "convert parquet": 2, "convert stream": 2,
                  "plot cells": 0, "plot resolution": 0, "plot panels": 1, "merge": 0,
                  "stats": 0}


@pytest.mark.parametrize("panels", [None, "q0,q1", "auto"])
@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_every_command_on_a_stream_without_geometry(tmp_path, command, panels):
    images = sb.random_images(10, seed=7, panels=["q1", "q0"])
    path = tmp_path / "plain.stream"
    path.write_text(sb.stream(images, ""))
    extra = [] if panels is None else ["--panels", panels]
    proc = call(COMMANDS[command], path, tmp_path, *extra)
    assert "Traceback" not in proc.stderr
    assert proc.returncode == (0 if panels else NO_GEOMETRY_RC[command]), proc.stderr
    if proc.returncode:  # one line says why (after the note of unknown panels, if any)
        last = proc.stderr.splitlines()[-1]
        assert last.startswith(f"quillon: {path}: ") and proc.stderr.count("\n") <= 2
        if command in ("filter columns", "convert parquet", "convert stream"):
            assert "--panels" in proc.stderr
    if command == "convert parquet" and panels:
        s = quillon.read_parquet(tmp_path / "out.parquet")
        first_seen = dict.fromkeys(r.split()[-1] for im in images for c in im.crystals for r in c.rows)
        assert s.panels == (list(first_seen) if panels == "auto" else ["q0", "q1"])
        assert s.observations["panel"].notna().all()
        back = call(["convert", "{dir}/out.parquet", "{dir}/back.stream"], path, tmp_path)
        assert back.returncode == 0, back.stderr


def test_crystals_without_a_resolution_limit_stay_out_of_the_statistics(tmp_path):
    limits = [2.0, 3.0, None, 4.0, None]
    crystals = []
    for limit in limits:
        c = sb.Crystal(rows=[sb.row(1, 2, 3)])
        c.keys = [k for k in c.keys if not k.startswith("diffraction_resolution_limit")]
        if limit is not None:
            c.keys.append(f"diffraction_resolution_limit = {10 / limit:.2f} nm^-1 or {limit:.2f} A")
        crystals.append(c)
    path = tmp_path / "res.stream"
    path.write_text(sb.stream([sb.Image(crystals=crystals)], GEOMETRY))
    assert (quillon.read(path).columns["resolution"] == 999).sum() == 2
    res = json.loads(run("info", "--json", path).stdout)["files"][0]["resolution"]
    assert res["median"] == pytest.approx(3.0, rel=0.01) and res["p90"] < 4.01
    assert res["without_limit"] == 2
    assert "2 crystals without a limit" in run("info", path, env={"COLUMNS": "200"}).stdout
    run("plot", "resolution", path, "-o", tmp_path / "r.png")
    c = sb.Crystal(rows=[sb.row(1, 2, 3)], keys=["profile_radius = 0.00500 nm^-1"])
    (tmp_path / "none.stream").write_text(sb.stream([sb.Image(crystals=[c])], GEOMETRY))
    proc = run("plot", "resolution", tmp_path / "none.stream", "-o", tmp_path / "n.png", rc=1)
    assert "no crystal has a resolution limit" in proc.stderr


@pytest.mark.parametrize("n_unknown", [1, 2])
def test_counts_in_messages_agree_with_their_noun(tmp_path, n_unknown):
    rows = [sb.row(1, 2, 3, panel="p0")] + [sb.row(i, 1, 1, panel="zz") for i in range(n_unknown)]
    path = tmp_path / "u.stream"
    path.write_text(sb.stream([sb.Image(crystals=[sb.Crystal(rows=rows)])], GEOMETRY))
    proc = run("plot", "cells", path, "-o", tmp_path / "c.png")
    noun = "reflection" if n_unknown == 1 else "reflections"
    assert f": {n_unknown} {noun} on panels not in the panel list" in proc.stderr
