"""``quillon merge``, ``quillon stats`` and ``quillon plot stats``, run in a subprocess."""
from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np
import pytest
import quillon

gemmi = pytest.importorskip("gemmi")

SHELL_KEYS = {"d_low", "d_high", "measurements", "unique", "possible", "completeness",
              "redundancy", "snr", "cc_half", "cc_star", "rsplit"}
TOP_KEYS = {"schema_version", "path", "symmetry", "point_group", "space_group", "friedel_merged",
            "cell", "cell_note", "measurements", "rejected", "scale", "shells", "overall"}


def run(*args, rc: int = 0) -> subprocess.CompletedProcess:
    proc = subprocess.run([sys.executable, "-m", "quillon.cli", *map(str, args)],
                          check=False, capture_output=True, text=True, env=dict(os.environ),
                          timeout=120)
    assert proc.returncode == rc, proc.stderr
    return proc


@pytest.mark.parametrize("symmetry, extra", [("4/mmm", []), ("422", ["--min-measurements", "3"]),
                                             ("mmm", ["--no-polarisation", "--batch-size", "300 KiB"])])
def test_merge_writes_what_quillon_merge_gives(sample, tmp_path, symmetry, extra):
    out = tmp_path / "out.mtz"
    run("merge", sample, out, "--symmetry", symmetry, *extra)
    minimum = int(extra[1]) if extra[:1] == ["--min-measurements"] else 2
    merged = quillon.merge(sample, symmetry, min_measurements=minimum,
                           polarisation="--no-polarisation" not in extra)
    mtz = gemmi.read_mtz_file(str(out))
    data = np.array(mtz, copy=False)
    labels = mtz.column_labels()
    assert labels[:6] == ["H", "K", "L", "IMEAN", "SIGIMEAN", "NMEAN"]
    assert ("I(+)" in labels) == (not merged.friedel)
    assert [f.name for f in tmp_path.iterdir()] == ["out.mtz"]  # no temporary left behind
    # IMEAN holds both signs together: what merging under the Laue group gives.
    laue = merged if merged.friedel else quillon.merge(
        sample, "4/mmm", min_measurements=minimum, polarisation="--no-polarisation" not in extra)
    want = laue.table.sort_values(["h", "k", "l"])
    order = np.lexsort(data[:, 2::-1].T)
    np.testing.assert_array_equal(data[order, :3], want[["h", "k", "l"]].to_numpy())
    np.testing.assert_allclose(data[order, 3:6], want[["I", "sigma", "n"]].to_numpy(), rtol=1e-6)
    if not merged.friedel:
        signs = data[:, [labels.index("I(+)"), labels.index("I(-)")]]
        assert np.count_nonzero(~np.isnan(signs)) == len(merged.table)


def test_merge_unmerged_and_a_cell_file(sample, tmp_path):
    cell = tmp_path / "target.cell"
    cell.write_text("lattice_type = tetragonal\ncentering = P\na = 80.0 A\nb = 80.0 A\n"
                    "c = 40.0 A\nal = 90 deg\nbe = 90 deg\nga = 90 deg\n")
    out = tmp_path / "unmerged.mtz"
    run("merge", sample, out, "-y", "P 43 21 2", "--unmerged", "--cell", cell)
    mtz = gemmi.read_mtz_file(str(out))
    s = quillon.read(sample)
    assert mtz.nreflections == len(s) and len(mtz.batches) == s.n_crystals
    assert mtz.cell.parameters == pytest.approx((80, 80, 40, 90, 90, 90))
    mtz.switch_to_original_hkl()
    np.testing.assert_array_equal(np.array(mtz, copy=False)[:, :3], s.columns["hkl"])


@pytest.mark.parametrize("args, rc, message", [
    (["-y", "nonsense"], 2, "symmetry"),
    (["-y", "mmm", "--cell", "/nonexistent.cell"], 2, "nonexistent"),
])
def test_merge_refusals(sample, tmp_path, args, rc, message):
    proc = run("merge", sample, tmp_path / "x.mtz", *args, rc=rc)
    assert message in proc.stderr
    assert not (tmp_path / "x.mtz").exists()


def test_merge_never_overwrites_its_input(sample, tmp_path):
    copy = tmp_path / "in.stream"
    copy.write_bytes(sample.read_bytes())
    os.symlink(copy, tmp_path / "link.mtz")
    proc = run("merge", copy, tmp_path / "link.mtz", "-y", "mmm", rc=2)
    assert "same file" in proc.stderr
    assert copy.read_bytes() == sample.read_bytes()


def test_stats_json_has_the_documented_keys(sample):
    proc = run("stats", sample, "-y", "mmm", "--shells", "5", "--json")
    report = json.loads(proc.stdout)
    assert set(report) == TOP_KEYS
    assert len(report["shells"]) == 5
    assert all(set(row) == SHELL_KEYS for row in report["shells"])
    assert set(report["overall"]) == SHELL_KEYS
    assert report["overall"]["unique"] == sum(row["unique"] for row in report["shells"])
    helptext = run("stats", "--help").stdout
    for key in TOP_KEYS | SHELL_KEYS:
        assert f'"{key}"' in helptext, key
    local = quillon.statistics(sample, "mmm", shells=5)
    assert report["overall"]["cc_half"] == pytest.approx(local.overall["cc_half"], rel=1e-12)


def test_stats_table_ends_with_the_overall_row(sample):
    lines = run("stats", sample, "-y", "4/mmm", "--shells", "4").stdout.splitlines()
    rows = [line for line in lines if "–" in line and line.strip()[0].isdigit()]
    assert len(rows) == 5
    local = quillon.statistics(sample, "4/mmm", shells=4).overall
    assert rows[-1].split()[2] == f"{int(local['unique']):,}"


@pytest.mark.parametrize("name", ["stats.png", "stats.svg"])
def test_plot_stats(sample, tmp_path, name):
    run("plot", "stats", sample, "-y", "mmm", "-o", tmp_path / name)
    head = (tmp_path / name).read_bytes()[:200]
    assert head.startswith(b"\x89PNG") if name.endswith(".png") else b"<svg" in head or b"<?xml" in head
