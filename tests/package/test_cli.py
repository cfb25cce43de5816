"""The ``quillon`` command, run as a user runs it: in a subprocess, on generated streams."""
from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import gen_stream
import quillon
import quillon_native as qn
import stream_builder as sb

CELL = "79.1,79.1,38.0,90,90,90"


def run(*args, rc: int = 0, env: dict | None = None) -> subprocess.CompletedProcess:
    proc = subprocess.run([sys.executable, "-m", "quillon.cli", *map(str, args)], capture_output=True,
                          text=True, env={**os.environ, **(env or {})}, timeout=120)
    assert proc.returncode == rc, proc.stderr
    return proc


def parse(path, panels) -> tuple[dict, list, list, dict]:
    return qn.parse_chunks(str(path), qn.index_chunks(str(path)), panels)


@pytest.fixture(scope="module")
def gen(tmp_path_factory):
    """Two generated streams with the columns a correct parse gives, and their panel names."""
    root = tmp_path_factory.mktemp("cli")
    out = []
    for seed, size in ((3, 1_500_000), (8, 700_000)):
        path = root / f"run{seed}.stream"
        info = gen_stream.generate(path, size, seed, columns_dir=root / f"cols{seed}")
        cols, names, events = gen_stream.load_columns(root / f"cols{seed}")
        out.append({"path": path, "panels": info["panels"], "cols": cols, "names": names,
                    "events": events})
    return out


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """A stream without geometry whose second image has a reflection row that cannot be read."""
    good = sb.Crystal(rows=[sb.row(1, 2, 3), sb.row(4, 5, 6)])
    bad = sb.Crystal(rows=[sb.row(1, 1, 1), "   1    2 this is not a reflection p0"])
    path = tmp_path_factory.mktemp("damaged") / "damaged.stream"
    path.write_text(sb.stream([sb.Image(crystals=[good]), sb.Image(crystals=[bad]), sb.Image()]))
    return path


def test_info_json_counts_and_statistics(gen):
    paths = [g["path"] for g in gen]
    whole = json.loads(run("info", "--json", *paths).stdout)
    batched = json.loads(run("info", "--json", "--batch-size", "100K", "-j", "1", *paths).stdout)
    assert whole == batched
    for f, g in zip(whole["files"], gen):
        cols = g["cols"]
        assert (f["path"], f["bytes"]) == (str(g["path"]), g["path"].stat().st_size)
        assert f["images"] == len(g["names"])
        assert f["images_with_crystals"] == len(np.unique(cols["image_id"]))
        assert f["crystals"] == len(cols["cell"])
        assert f["reflections"] == len(cols["I"])
        assert (f["panels"], f["panel_names"]) == (len(g["panels"]), g["panels"])
        assert f["excluded"] == {}
        for i, key in enumerate(("a", "b", "c", "alpha", "beta", "gamma")):
            values = cols["cell"][:, i].astype(np.float64)
            q1, q3 = np.percentile(values, [25, 75])
            assert f["cell"][key]["median"] == pytest.approx(np.median(values), rel=1e-5)
            assert f["cell"][key]["iqr"] == pytest.approx(q3 - q1, rel=1e-4, abs=1e-6)
        res = cols["resolution"].astype(np.float64)
        assert [f["resolution"][k] for k in ("p10", "median", "p90")] == pytest.approx(
            np.percentile(res, [10, 50, 90]), rel=1e-5)
        assert [f["photon_energy"]["min"], f["photon_energy"]["max"]] == pytest.approx(
            [cols["beam_energy"].min(), cols["beam_energy"].max()], rel=1e-6)
    total = whole["total"]
    for key in ("images", "images_with_crystals", "crystals", "reflections", "bytes"):
        assert total[key] == sum(f[key] for f in whole["files"])
    assert total["files"] == 2 and whole["schema_version"] == 1


def test_info_shows_what_a_damaged_stream_left_out(damaged):
    _, _, _, report = parse(damaged, ["p0"])
    assert report, "the damaged stream must have exclusions"
    out = json.loads(run("info", "--json", "--panels", "p0", damaged).stdout)["files"][0]
    assert out["excluded"] == {reason: list(v) for reason, v in report.items()}
    assert (out["images"], out["crystals"]) == (3, 2)
    table = run("info", "--panels", "p0", damaged).stdout
    reason, (count, first) = next(iter(report.items()))
    assert f"{count:,} × {reason} (first at byte {first:,})" in table
    # Without geometry or --panels every reflection is on an unknown panel, and that shows.
    out = json.loads(run("info", "--json", damaged).stdout)["files"][0]
    assert (out["panels"], out["unknown_panel_reflections"]) == (0, out["reflections"])


@pytest.mark.parametrize("batch", ["256 MiB", "150K"])
def test_convert_round_trip_gives_the_columns_back(gen, tmp_path, batch):
    g = gen[0]
    folder, back = tmp_path / "run.parquet", tmp_path / "back.stream"
    run("convert", g["path"], folder, "--batch-size", batch)
    assert sorted(p.name for p in folder.iterdir()) == [
        "crystals", "images", "observations", "quillon.json"]
    s = quillon.read_parquet(folder)
    assert s.header == quillon.read_header(g["path"]) and s.panels == g["panels"]
    run("convert", folder, back)
    cols, names, events, report = parse(back, g["panels"])
    assert (names, events, report) == (g["names"], g["events"], {})
    for name, expected in g["cols"].items():
        np.testing.assert_array_equal(cols[name], expected, err_msg=name)
    # Written in batches or in one call, the stream is the same bytes.
    run("convert", g["path"], tmp_path / "direct.stream", "--batch-size", batch)
    assert (tmp_path / "direct.stream").read_bytes() == back.read_bytes()


def _cell_ok(c, tol_len, tol_deg):
    target = np.array([79.1, 79.1, 38.0, 90, 90, 90])
    cell = c["cell"].astype(np.float64)
    return ((np.abs(cell[:, :3] - target[:3]) <= tol_len * target[:3]).all(axis=1)
            & (np.abs(cell[:, 3:] - target[3:]) <= tol_deg).all(axis=1))


def _first(mask, n):
    out = mask.copy()
    out[np.flatnonzero(mask)[n:]] = False
    return out


FILTERS = {
    "cell": (["--cell", CELL, "--tolerance", "0.25%,0.06"], lambda c: _cell_ok(c, 0.0025, 0.06)),
    "resolution+reflections": (["--resolution-better-than", "2.0", "--min-reflections", "1500"],
                               lambda c: (c["resolution"] <= 2.0) & (c["n_refl"] >= 1500)),
    "first after cell": (["--cell", CELL, "--first-crystals", "5"],
                         lambda c: _first(_cell_ok(c, 0.05, 1.5), 5)),
}


@pytest.mark.parametrize("images_with_crystals", [False, True])
@pytest.mark.parametrize("batch", ["256 MiB", "120K"])
@pytest.mark.parametrize("name", FILTERS)
def test_filter_keeps_exactly_the_masked_crystals(gen, tmp_path, name, batch, images_with_crystals):
    g = gen[0]
    args, mask_of = FILTERS[name]
    cols = g["cols"]
    mask = mask_of(cols)
    assert 0 < mask.sum() < len(mask), "the test needs some crystals kept and some dropped"
    out = tmp_path / "out.stream"
    flags = ["--images-with-crystals"] if images_with_crystals else []
    summary = json.loads(run("filter", g["path"], out, *args, *flags, "--batch-size", batch,
                             "--json").stdout)
    got, names, _, _ = parse(out, g["panels"])
    np.testing.assert_array_equal(got["cell"], cols["cell"][mask])
    np.testing.assert_array_equal(got["n_refl"], cols["n_refl"][mask])
    for column in ("hkl", "I", "panel_id", "fs"):
        np.testing.assert_array_equal(got[column], cols[column][mask[cols["crystal_id"]]])
    images = np.unique(cols["image_id"][mask]) if images_with_crystals else np.arange(len(g["names"]))
    assert names == [g["names"][i] for i in images]
    assert summary["kept"] == {"images": len(images), "crystals": int(mask.sum()),
                               "reflections": len(got["I"])}
    if not images_with_crystals:  # stopping early after the first crystals reads less
        assert summary["read"]["crystals"] == len(mask)


def test_filter_by_events_and_summary_text(gen, tmp_path):
    g = gen[0]
    keep = set(range(0, len(g["names"]), 3))
    lines = [f"{g['names'][i]} {g['events'][i]}" for i in sorted(keep)]
    whole_file = g["names"][-1]  # a file name alone keeps every event of that file
    keep |= {i for i, n in enumerate(g["names"]) if n == whole_file}
    (tmp_path / "events.lst").write_text("# wanted\n" + "\n".join(lines) + f"\n\n{whole_file}\n")
    out = tmp_path / "out.stream"
    text = run("filter", g["path"], out, "--events-from", tmp_path / "events.lst").stdout
    _, names, events, _ = parse(out, g["panels"])
    assert list(zip(names, events)) == [(g["names"][i], g["events"][i]) for i in sorted(keep)]
    kept_crystals = int(np.isin(g["cols"]["image_id"], sorted(keep)).sum())
    assert text.startswith(f"{out}: kept {kept_crystals:,} of {len(g['cols']['cell']):,} crystals")
    assert "failed: events" in text


@pytest.mark.parametrize("kind", ["cells", "resolution", "panels"])
def test_plots_are_images_of_the_expected_size(gen, tmp_path, kind):
    from matplotlib.image import imread
    from quillon.cli._plot import SIZES

    g = gen[1]
    png = tmp_path / f"{kind}.png"
    run("plot", kind, g["path"], "-o", png, "--dpi", 50)
    width, height = SIZES[kind]
    assert imread(png).shape[:2] == (round(height * 50), round(width * 50))
    for suffix, magic in (("svg", b"<?xml"), ("pdf", b"%PDF")):
        run("plot", kind, g["path"], "-o", tmp_path / f"{kind}.{suffix}")
        assert (tmp_path / f"{kind}.{suffix}").read_bytes().startswith(magic)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        f"{kind}.{s}" for s in ("png", "svg", "pdf"))  # no temporary files left


@pytest.mark.parametrize("kind", ["cells", "resolution", "panels"])
def test_plots_fail_cleanly_on_an_empty_stream(tmp_path, kind):
    empty = tmp_path / "empty.stream"
    empty.write_text(sb.stream([sb.Image(), sb.Image()]))
    proc = run("plot", kind, empty, "--panels", "p0", "-o", tmp_path / "x.png", rc=1)
    assert proc.stderr.count("\n") == 1 and "nothing to plot" in proc.stderr
    assert not (tmp_path / "x.png").exists()


def test_panel_outlines_follow_the_geometry(gen):
    from quillon.cli._plot import panel_outlines

    g = gen[0]
    outlines = panel_outlines(quillon.read_header(g["path"]), g["panels"])
    for i, name in enumerate(g["panels"]):  # the generator's layout: two columns of panels
        x0, y0 = -gen_stream.PANEL_FS / 2 + 300 * (i % 2), (i // 2) * (gen_stream.PANEL_SS + 4) - 2000
        np.testing.assert_allclose(outlines[name], [
            [x0, y0], [x0 + gen_stream.PANEL_FS, y0],
            [x0 + gen_stream.PANEL_FS, y0 + gen_stream.PANEL_SS], [x0, y0 + gen_stream.PANEL_SS]])
    with pytest.raises(ValueError, match="no detector geometry"):
        panel_outlines("no geometry\n", g["panels"])


@pytest.mark.parametrize("command", [["info"], ["filter", "{}", "out.stream"], ["convert", "{}", "o.parquet"],
                                     ["plot", "cells", "{}", "-o", "c.png"]])
@pytest.mark.parametrize("bad", ["missing", "directory", "unreadable"])
def test_bad_input_is_one_line_and_status_2(tmp_path, command, bad):
    """A folder that is not a Parquet output is bad input to convert as well."""
    path = tmp_path / "in.stream"
    if bad == "directory":
        path.mkdir()
    elif bad == "unreadable":
        if os.geteuid() == 0:
            pytest.skip("root reads any file")
        path.write_text("x")
        path.chmod(0)
    args = [a.format(path) for a in command] if len(command) > 1 else [*command, path]
    proc = subprocess.run([sys.executable, "-m", "quillon.cli", *map(str, args)], capture_output=True,
                          text=True, cwd=tmp_path)
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and str(path) in proc.stderr and "Traceback" not in proc.stderr
    assert proc.stdout == ""
    assert [p.name for p in tmp_path.iterdir()] == ([] if bad == "missing" else ["in.stream"])


@pytest.mark.parametrize("args", [
    ["--cell", "79,79,38"], ["--cell", "79,79,38,90,90,x"], ["--cell", "79,79,38,90,90,190"],
    ["--cell", CELL, "--tolerance", "2%"], ["--cell", CELL, "--tolerance", "2,1.5%"],
    ["--tolerance", "2%,1.5"], ["--min-reflections", "-1"], ["--no-such-option"],
])
def test_malformed_options_are_usage_errors(gen, tmp_path, args):
    proc = run("filter", gen[0]["path"], tmp_path / "out.stream", *args, rc=2)
    assert "Usage:" in proc.stderr and "Traceback" not in proc.stderr
    assert list(tmp_path.iterdir()) == []


def test_failed_output_leaves_the_old_target_alone(gen, tmp_path):
    target = tmp_path / "tables"
    target.mkdir()
    (target / "notes.txt").write_text("mine")
    proc = run("convert", gen[1]["path"], target, rc=2)
    assert "not an earlier output of quillon" in proc.stderr
    assert [p.name for p in target.iterdir()] == ["notes.txt"]
    no_geometry = tmp_path / "plain.stream"
    no_geometry.write_text(sb.stream([sb.Image(crystals=[sb.Crystal(rows=[sb.row(1, 2, 3)])])]))
    (tmp_path / "out.stream").write_text("before")
    run("filter", no_geometry, tmp_path / "out.stream", rc=2)
    assert (tmp_path / "out.stream").read_text() == "before"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.stream", "plain.stream", "tables"]
    proc = run("filter", gen[1]["path"], tmp_path / "no" / "out.stream", rc=1)
    assert proc.stderr.count("\n") == 1 and "no such folder" in proc.stderr


def test_atomic_output_removes_the_temporary_on_failure(tmp_path):
    from quillon.cli._common import atomic_output

    target = tmp_path / "out.stream"
    target.write_text("old")
    with pytest.raises(RuntimeError), atomic_output(target) as tmp:
        tmp.write_text("half")
        raise RuntimeError("disk full")
    assert [p.name for p in tmp_path.iterdir()] == ["out.stream"] and target.read_text() == "old"
    with atomic_output(target) as tmp:
        tmp.write_text("new")
    assert [p.name for p in tmp_path.iterdir()] == ["out.stream"] and target.read_text() == "new"


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_only_on_a_terminal(gen, terminal):
    """With the delay at 0 the bar shows on a terminal; without one, stderr stays empty."""
    import pty

    env = {**os.environ, "QUILLON_PROGRESS_DELAY": "0", "TERM": "xterm", "COLUMNS": "100"}
    cmd = [sys.executable, "-m", "quillon.cli", "info", "--json", "--batch-size", "100K",
           str(gen[0]["path"])]
    if not terminal:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
        assert proc.returncode == 0 and proc.stderr == ""
        json.loads(proc.stdout)
        return
    leader, follower = pty.openpty()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=follower, env=env)
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closes when the command ends
            break
        if not chunk:
            break
        seen += chunk
    out = proc.stdout.read()
    assert proc.wait() == 0
    os.close(leader)
    json.loads(out)  # standard output holds the result alone
    assert "━".encode() in seen and b"run3.stream" in seen


def test_version_and_help():
    assert run("--version").stdout.strip() == f"quillon {quillon_version()}"
    for command in (["info"], ["convert"], ["filter"], ["plot", "cells"]):
        assert "Example" in run(*command, "--help").stdout


def quillon_version() -> str:
    from importlib.metadata import version

    return version("quillon_native")
