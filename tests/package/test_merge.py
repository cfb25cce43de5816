"""quillon.merge, quillon.statistics and MTZ output against brute-force references."""
from __future__ import annotations

import contextlib
import itertools
import math

import numpy as np
import pytest
import quillon
import stream_builder as sb
from quillon import _merge

gemmi = pytest.importorskip("gemmi")

HC = 12398.419843320026  # eV·Å

# Generators of point groups acting on row vectors: hkl' = hkl @ M.
INV = -np.eye(3, dtype=int)
TWO_X, TWO_Y, TWO_Z = (np.diag(d) for d in ((1, -1, -1), (-1, 1, -1), (-1, -1, 1)))
FOUR_Z = np.array([[0, 1, 0], [-1, 0, 0], [0, 0, 1]])
GENERATORS = {"-1": [INV], "2/m": [TWO_Y, INV], "222": [TWO_X, TWO_Y], "mmm": [TWO_X, TWO_Y, INV],
              "422": [FOUR_Z, TWO_X], "4/mmm": [FOUR_Z, TWO_X, INV], "P 43 21 2": [FOUR_Z, TWO_X],
              "C 2 2 21": [TWO_X, TWO_Y]}


def group(generators) -> list[np.ndarray]:
    """Every product of the generators (a breadth-first closure)."""
    ops = [np.eye(3, dtype=int)]
    frontier = list(ops)
    while frontier:
        new = []
        for a in frontier:
            for g in generators:
                m = a @ g
                if not any((m == o).all() for o in ops):
                    ops.append(m)
                    new.append(m)
        frontier = new
    return ops


def orbit(hkl, ops) -> frozenset:
    return frozenset(tuple(int(x) for x in np.array(hkl) @ m) for m in ops)


def header(centering="P", cell=(40.0, 50.0, 60.0, 90.0, 90.0, 90.0)) -> str:
    a, b, c, al, be, ga = cell
    return ("Generated for merging tests\n----- Begin geometry file -----\np0/min_fs = 0\n"
            "p0/max_fs = 255\n----- End geometry file -----\n----- Begin unit cell -----\n"
            f"lattice_type = orthorhombic\ncentering = {centering}\n"
            f"a = {a} A\nb = {b} A\nc = {c} A\nal = {al} deg\nbe = {be} deg\nga = {ga} deg\n"
            "----- End unit cell -----\n")


def rotation(rng) -> np.ndarray:
    q = rng.normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def crystal(rows, cell=(40.0, 50.0, 60.0), rot=None) -> sb.Crystal:
    """A crystal of an orthorhombic cell (Å), turned by ``rot``, with reflection rows."""
    rot = np.eye(3) if rot is None else rot
    star = [rot[:, i] / (edge / 10) for i, edge in enumerate(cell)]  # nm⁻¹
    text = [f"{name} = {v[0]:+.7f} {v[1]:+.7f} {v[2]:+.7f} nm^-1"
            for name, v in zip(("astar", "bstar", "cstar"), star)]
    return sb.Crystal(rows=rows, cell=f"Cell parameters {cell[0] / 10:.5f} {cell[1] / 10:.5f} "
                                      f"{cell[2] / 10:.5f} nm, 90.00000 90.00000 90.00000 deg",
                      astar=text[0], bstar=text[1], cstar=text[2])


def image(crystals, energy=9500.0, m=0) -> sb.Image:
    return sb.Image(filename=f"img{m}.h5", event=f"//{m}", crystals=crystals,
                    header=[f"photon_energy_eV = {energy:.6f}", "average_camera_length = 0.2 m",
                            "num_peaks = 1"])


def rows_of(values) -> list[str]:
    return [sb.row(h, k, l, i, fs=10.0 + n, ss=20.0 + n)
            for n, ((h, k, l), i) in enumerate(values)]


@pytest.fixture(scope="module")
def random_stream(tmp_path_factory):
    """36 crystals in random orientations, 1 or 2 per image, photon energies that vary, small
    indices so that reflections repeat, 0 0 0 among them."""
    rng = np.random.default_rng(11)
    images, m = [], 0
    while sum(len(im.crystals) for im in images) < 36:
        crystals = []
        for _ in range(int(rng.integers(1, 3))):
            hkl = rng.integers(-3, 4, size=(40, 3))
            if m == 0:
                hkl[0] = 0
            crystals.append(crystal(rows_of(zip(map(tuple, hkl), rng.uniform(-200, 5000, 40))),
                                    rot=rotation(rng)))
        images.append(image(crystals, energy=9000 + 50 * m, m=m))
        m += 1
    path = tmp_path_factory.mktemp("merge") / "random.stream"
    path.write_text(sb.stream(images, header()))
    return path


def reference(s: quillon.Stream, ops, polarisation: bool, minimum: int) -> dict:
    """Merged (I, σ, n) per orbit of the point group, by plain Python loops."""
    c = s.columns
    values: dict[frozenset, list[float]] = {}
    for i in range(len(s)):
        hkl = tuple(int(x) for x in c["hkl"][i])
        if hkl == (0, 0, 0):
            continue
        intensity = float(c["I"][i])
        if polarisation:
            cid = int(c["crystal_id"][i])
            vectors = [c[name][cid].astype(float) for name in ("astar", "bstar", "cstar")]
            q = [sum(hkl[j] * vectors[j][x] for j in range(3)) for x in range(3)]
            inv_lambda = float(c["beam_energy"][int(c["image_id"][cid])]) / HC
            v = (q[0], q[1], q[2] + inv_lambda)
            two_theta = math.acos(v[2] / math.sqrt(sum(x * x for x in v)))
            phi = math.atan2(q[1], q[0])
            intensity /= 1 - math.cos(phi) ** 2 * math.sin(two_theta) ** 2
        values.setdefault(orbit(hkl, ops), []).append(intensity)
    out = {}
    for key, measured in values.items():
        n = len(measured)
        if n < minimum:
            continue
        mean = sum(measured) / n
        out[key] = (mean, math.sqrt(sum((x - mean) ** 2 for x in measured) / n) / math.sqrt(n), n)
    return out


@pytest.mark.parametrize("symmetry", ["-1", "2/m", "222", "mmm", "422", "4/mmm", "P 43 21 2"])
@pytest.mark.parametrize("polarisation", [True, False])
@pytest.mark.parametrize("minimum", [1, 3])
def test_merge_matches_brute_force(random_stream, symmetry, polarisation, minimum):
    s = quillon.read(random_stream)
    ops = group(GENERATORS[symmetry])
    expected = reference(s, ops, polarisation, minimum)
    merged = quillon.merge(s, symmetry, polarisation=polarisation, min_measurements=minimum)
    t = merged.table
    assert merged.friedel == any((o == INV).all() for o in ops)
    found = {}
    asu = gemmi.ReciprocalAsu(merged.space_group)
    for h, k, l, i, sigma, n in zip(t.h, t.k, t.l, t.I, t.sigma, t.n):
        key = orbit((h, k, l), ops)
        assert key not in found, f"{(h, k, l)}: its orbit has two rows"
        # The row is the asymmetric-unit index, or (Friedel mates apart) its Friedel mate.
        assert asu.is_in([int(h), int(k), int(l)]) or (not merged.friedel
                                                       and asu.is_in([-int(h), -int(k), -int(l)]))
        found[key] = (i, sigma, n)
    assert found.keys() == expected.keys()
    got = np.array([found[key] for key in expected])
    want = np.array(list(expected.values()))
    np.testing.assert_array_equal(got[:, 2], want[:, 2])
    np.testing.assert_allclose(got[:, 0], want[:, 0], rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(got[:, 1], want[:, 1], rtol=1e-7, atol=1e-7)
    cell = gemmi.UnitCell(40, 50, 60, 90, 90, 90)
    np.testing.assert_allclose(t.d, [cell.calculate_d([int(x) for x in r])
                                     for r in t[["h", "k", "l"]].to_numpy()], rtol=1e-12)


@pytest.mark.parametrize("axis, generators", [("b", [TWO_Y, INV]), ("c", [TWO_Z, INV]),
                                               ("a", [TWO_X, INV])])
def test_monoclinic_point_group_follows_the_unique_axis(random_stream, tmp_path, axis, generators):
    path = tmp_path / "mono.stream"
    path.write_text(random_stream.read_text().replace("centering = P\n",
                                                      f"centering = P\nunique_axis = {axis}\n", 1))
    s = quillon.read(path)
    expected = reference(s, group(generators), False, 2)
    t = quillon.merge(s, "2/m", polarisation=False).table
    assert {orbit(r, group(generators)) for r in t[["h", "k", "l"]].to_numpy()} == expected.keys()


def test_photon_energy_is_read_in_electronvolts(random_stream):
    # The polarisation factor takes 1/λ = E/(hc) with E in eV from this column.
    energy = quillon.read(random_stream).columns["beam_energy"]
    np.testing.assert_array_equal(energy[:3], [9000, 9050, 9100])


@pytest.mark.parametrize("polarisation, n, rejected", [(True, 2, 1), (False, 3, 0)])
def test_an_image_without_photon_energy(tmp_path, polarisation, n, rejected):
    images = [image([crystal(rows_of([((1, 2, 3), 10.0), ((1, 2, 3), 12.0)]))], m=0),
              sb.Image(filename="x.h5", event="//1", header=["num_peaks = 1"],
                       crystals=[crystal(rows_of([((1, 2, 3), 11.0)]))])]
    path = tmp_path / "noenergy.stream"
    path.write_text(sb.stream(images, header()))
    merged = quillon.merge(path, "mmm", polarisation=polarisation)
    # Without λ the polarisation factor is unknown: that measurement is left out, and said so.
    assert merged.table.n.tolist() == [n]
    assert merged.rejected == rejected and merged.measurements == n


@pytest.mark.parametrize("d_min, d_max", [(10.0, None), (None, 15.0), (9.0, 20.0)])
def test_resolution_limits(random_stream, d_min, d_max):
    full = quillon.merge(random_stream, "mmm").table
    limited = quillon.merge(random_stream, "mmm", d_min=d_min, d_max=d_max).table
    inside = (full.d >= (d_min or 0)) & (full.d <= (d_max or np.inf))
    assert 0 < len(limited) < len(full)
    np.testing.assert_array_equal(limited.to_numpy(), full[inside].to_numpy())


def test_merge_of_batches_equals_merge_of_the_file(random_stream):
    whole = quillon.merge(random_stream, "422").table
    batched = quillon.merge(quillon.iter_batches(random_stream, batch_bytes=3000), "422").table
    assert len(list(quillon.iter_batches(random_stream, batch_bytes=3000))) > 5
    np.testing.assert_allclose(batched.to_numpy(), whole.to_numpy(), rtol=1e-12)


@pytest.mark.parametrize("symmetry", ["-1", "422", "mmm"])
def test_indices_too_spread_out_for_a_lookup_cube(random_stream, monkeypatch, symmetry):
    whole = quillon.merge(random_stream, symmetry).table
    monkeypatch.setattr(_merge.AsuTable, "MAX_POINTS", 50)
    sparse = quillon.merge(quillon.iter_batches(random_stream, batch_bytes=3000), symmetry).table
    np.testing.assert_allclose(sparse.to_numpy(), whole.to_numpy(), rtol=1e-12)


@pytest.mark.parametrize("batch_bytes", [2500, 7000])
def test_statistics_of_batches_equal_those_of_the_file(random_stream, batch_bytes):
    # Batches with odd numbers of crystals: the halves must follow the crystals' file order.
    batches = list(quillon.iter_batches(random_stream, batch_bytes=batch_bytes))
    assert any(b.n_crystals % 2 for b in batches[:-1])
    whole = quillon.statistics(random_stream, "mmm", shells=3, min_measurements=1)
    batched = quillon.statistics(iter(batches), "mmm", shells=3, min_measurements=1)
    assert batched.scale == pytest.approx(whole.scale, rel=1e-12)
    np.testing.assert_allclose(batched.shells.to_numpy(dtype=float),
                               whole.shells.to_numpy(dtype=float), rtol=1e-12)


@pytest.mark.parametrize("cell, note", [(None, False), ((41.0, 50, 60, 90, 90, 90), False)])
def test_cell_from_header_or_given(random_stream, cell, note):
    merged = quillon.merge(random_stream, "mmm", cell=cell)
    expected = cell or (40.0, 50.0, 60.0, 90.0, 90.0, 90.0)
    assert merged.cell.parameters == pytest.approx(expected)
    assert (merged.note is not None) == note


def test_median_cell_without_a_target_cell(tmp_path):
    text = sb.stream([image([crystal(rows_of([((1, 2, 3), 10.0)] * 2), cell=(c, 50, 60))], m=m)
                      for m, c in enumerate((39.0, 40.0, 44.0))],
                     "no cell\n----- Begin geometry file -----\np0/min_fs = 0\n"
                     "----- End geometry file -----\n")
    path = tmp_path / "nocell.stream"
    path.write_text(text)
    merged = quillon.merge(path, "mmm")
    assert merged.cell.a == pytest.approx(40.0, rel=1e-5)
    assert "median" in repr(merged)


@pytest.mark.parametrize("bad", ["xyz", "", "P 99"])
def test_unknown_symmetry_is_refused(random_stream, bad):
    with pytest.raises(ValueError):
        quillon.merge(random_stream, bad)


# -- statistics on constructed data ---------------------------------------------------------

def sphere(ops, cell, centering, d_min) -> list[frozenset]:
    """Every orbit of indices with d ≥ d_min that the centering allows (no 0 0 0)."""
    uc = gemmi.UnitCell(*cell)
    limits = [math.ceil(edge / d_min) for edge in cell[:3]]
    orbits = set()
    for hkl in itertools.product(*(range(-n, n + 1) for n in limits)):
        if hkl == (0, 0, 0) or uc.calculate_d(list(hkl)) < d_min:
            continue
        h, k, l = hkl
        if centering == "C" and (h + k) % 2 or centering == "I" and (h + k + l) % 2:
            continue
        orbits.add(orbit(hkl, ops))
    return sorted(orbits, key=sorted)


def halves_stream(path, orbits, first, second, cell=(40.0, 50.0, 60.0), centering="P", rng=None):
    """Two crystals per orbit list: the first gets intensities ``first`` (second half: crystal 1),
    the second ``second`` (first half: crystal 2); each measures a random member of each orbit."""
    rng = rng or np.random.default_rng(0)
    members = [sorted(o) for o in orbits]
    crystals = []
    for values in (first, second):
        pick = [m[int(rng.integers(len(m)))] for m in members]
        crystals.append(crystal(rows_of(zip(pick, values)), cell=cell))
    path.write_text(sb.stream([image([c], m=i) for i, c in enumerate(crystals)],
                              header(centering, (*cell, 90.0, 90.0, 90.0))))
    return path


@pytest.mark.parametrize("symmetry, centering", [("mmm", "C"), ("222", "P"), ("4/mmm", "I"),
                                                 ("422", "P")])
@pytest.mark.parametrize("shells", [1, 4, 9])
def test_full_sphere_is_complete(tmp_path, symmetry, centering, shells):
    cell = (40.0, 40.0, 30.0) if "4" in symmetry else (30.0, 36.0, 42.0)
    orbits = sphere(group(GENERATORS[symmetry]), (*cell, 90, 90, 90), centering, 4.0)
    intensity = np.random.default_rng(1).uniform(100, 1000, len(orbits))
    path = halves_stream(tmp_path / "sphere.stream", orbits, intensity, intensity, cell, centering)
    stats = quillon.statistics(path, symmetry, shells=shells, min_measurements=1, polarisation=False)
    table = stats.shells
    assert len(table) == shells
    assert (table.completeness == 1).all() and (table.possible == table.unique).all()
    assert stats.overall.possible == len(orbits) == stats.overall["unique"]
    assert stats.overall.redundancy == 2
    # Shells of equal reciprocal volume, from the lowest to the highest resolution.
    volume = (1 / table.d_high) ** 3 - (1 / table.d_low) ** 3
    np.testing.assert_allclose(volume, volume.iloc[0], rtol=1e-9)
    assert stats.overall.d_low == table.d_low.iloc[0] and stats.overall.d_high == table.d_high.iloc[-1]


def test_missing_reflections_lower_completeness_exactly(tmp_path):
    orbits = sphere(group(GENERATORS["mmm"]), (30, 36, 42, 90, 90, 90), "P", 4.0)
    kept = orbits[::3]  # every third orbit measured: the rest are possible, not unique
    keep_ends = [o for o in orbits if o in (orbits[0], orbits[-1])]
    measured = sorted(set(kept) | set(keep_ends), key=sorted)
    intensity = np.full(len(measured), 500.0)
    path = halves_stream(tmp_path / "part.stream", measured, intensity, intensity,
                         (30.0, 36.0, 42.0))
    stats = quillon.statistics(path, "mmm", shells=1, min_measurements=1, polarisation=False)
    uc = gemmi.UnitCell(30, 36, 42, 90, 90, 90)
    r = [1 / uc.calculate_d(list(min(o))) for o in measured]
    inside = [o for o in orbits if min(r) <= 1 / uc.calculate_d(list(min(o))) <= max(r)]
    assert stats.overall.possible == len(inside)
    assert stats.overall.completeness == pytest.approx(len(measured) / len(inside), rel=1e-12)


def test_identical_halves(tmp_path):
    orbits = sphere(group(GENERATORS["mmm"]), (30, 36, 42, 90, 90, 90), "P", 3.0)
    intensity = np.random.default_rng(2).uniform(100, 5000, len(orbits)).round(2)
    path = halves_stream(tmp_path / "same.stream", orbits, intensity, intensity, (30.0, 36.0, 42.0))
    for scale in (True, False):
        stats = quillon.statistics(path, "mmm", shells=3, min_measurements=1, polarisation=False,
                                   scale=scale)
        assert stats.overall.cc_half == pytest.approx(1, abs=1e-12)
        assert stats.overall.cc_star == pytest.approx(1, abs=1e-12)
        assert stats.overall.rsplit == pytest.approx(0, abs=1e-12)
        assert (stats.shells.rsplit.abs() < 1e-12).all()


@pytest.mark.parametrize("g, b", [(2.0, 10.0), (0.5, -5.0)])
def test_scaled_half_is_put_back_on_scale(tmp_path, g, b):
    orbits = sphere(group(GENERATORS["mmm"]), (30, 36, 42, 90, 90, 90), "P", 2.5)
    uc = gemmi.UnitCell(30, 36, 42, 90, 90, 90)
    s2 = np.array([1 / (4 * uc.calculate_d(list(min(o))) ** 2) for o in orbits])
    true = np.random.default_rng(3).uniform(1000, 5000, len(orbits))
    # Crystal 1 is in the second half: its intensities are g·exp(−2 b s²) times the first's.
    second = true * g * np.exp(-2 * b * s2)
    path = halves_stream(tmp_path / "scaled.stream", orbits, second, true, (30.0, 36.0, 42.0))
    stats = quillon.statistics(path, "mmm", shells=4, min_measurements=1, polarisation=False)
    assert stats.scale.G == pytest.approx(1 / g, rel=1e-4)
    assert stats.scale.B == pytest.approx(b, abs=1e-3)
    assert stats.overall.cc_half == pytest.approx(1, abs=1e-6)
    assert stats.overall.rsplit < 1e-4
    plain = quillon.statistics(path, "mmm", shells=4, min_measurements=1, polarisation=False,
                               scale=False)
    assert plain.scale == (1.0, 0.0)
    assert plain.overall.rsplit > 0.1


def test_noise_does_not_correlate(tmp_path):
    orbits = sphere(group(GENERATORS["mmm"]), (30, 36, 42, 90, 90, 90), "P", 2.0)
    rng = np.random.default_rng(4)
    path = halves_stream(tmp_path / "noise.stream", orbits, rng.uniform(0, 1000, len(orbits)),
                         rng.uniform(0, 1000, len(orbits)), (30.0, 36.0, 42.0))
    stats = quillon.statistics(path, "mmm", shells=2, min_measurements=1, polarisation=False,
                               scale=False)
    assert len(orbits) > 1000
    assert abs(stats.overall.cc_half) < 4 / math.sqrt(len(orbits))


def test_halves_are_even_and_odd_crystals_in_stream_order(tmp_path):
    # Four crystals measuring one reflection: 2nd and 4th (first half) read 10 and 30, 1st and
    # 3rd (second half) 1000 and 3000; a second reflection makes the correlation defined.
    rows = [[((1, 2, 3), 1000.0), ((2, 2, 2), 100.0)], [((1, 2, 3), 10.0), ((2, 2, 2), 1.0)],
            [((1, 2, 3), 3000.0), ((2, 2, 2), 300.0)], [((1, 2, 3), 30.0), ((2, 2, 2), 3.0)]]
    images = [image([crystal(rows_of(rows[0])), crystal(rows_of(rows[1]))], m=0),
              image([crystal(rows_of(rows[2]))], m=1), image([crystal(rows_of(rows[3]))], m=2)]
    path = tmp_path / "order.stream"
    path.write_text(sb.stream(images, header()))
    stats = quillon.statistics(path, "mmm", shells=1, polarisation=False, scale=False)
    # Rsplit = √2 Σ|I₁ − I₂| / Σ(I₁ + I₂) with I₁ = 20, 2 and I₂ = 2000, 200.
    assert stats.overall.rsplit == pytest.approx(math.sqrt(2) * (1980 + 198) / (2020 + 202))


# -- MTZ ----------------------------------------------------------------------------------

@pytest.mark.parametrize("symmetry", ["mmm", "422", "P 43 21 2", "C 2 2 21"])
def test_merged_mtz_round_trip(random_stream, tmp_path, symmetry):
    merged = quillon.merge(random_stream, symmetry, min_measurements=1)
    path = tmp_path / "merged.mtz"
    merged.to_mtz(path)
    mtz = gemmi.read_mtz_file(str(path))
    assert mtz.spacegroup.hm == merged.space_group.hm
    # The images' photon energies are 9000, 9050, … eV: λ = hc/E, the median of the crystals'.
    assert mtz.datasets[1].wavelength == pytest.approx(merged.wavelength, abs=1e-4)  # 5 decimals
    assert HC / 9000 > merged.wavelength > HC / (9000 + 50 * 40)
    assert mtz.cell.parameters == pytest.approx(merged.cell.parameters, rel=1e-6)
    data = np.array(mtz, copy=False)
    labels = mtz.column_labels()
    t = merged.table
    by_row = {(h, k, l): (i, s, n) for h, k, l, i, s, n in zip(t.h, t.k, t.l, t.I, t.sigma, t.n)}
    column = {name: data[:, labels.index(name)] for name in labels}
    if merged.friedel:
        assert {"I(+)", "I(-)"}.isdisjoint(labels)
        assert len(data) == len(t)
        for row in range(len(data)):
            i, s, n = by_row[tuple(int(x) for x in data[row, :3])]
            assert (column["IMEAN"][row], column["SIGIMEAN"][row], column["NMEAN"][row]) == \
                pytest.approx((i, s, n), rel=1e-6)
    else:
        pairs = 0
        for row in range(len(data)):
            hkl = tuple(int(x) for x in data[row, :3])
            for sign, label in ((1, "+"), (-1, "-")):
                value = column[f"I({label})"][row]
                key = tuple(sign * x for x in hkl)
                if key in by_row:
                    assert (value, column[f"N({label})"][row]) == \
                        pytest.approx((by_row[key][0], by_row[key][2]), rel=1e-6)
                    pairs += 1
                else:
                    assert np.isnan(value)
        assert pairs == len(t)


@pytest.mark.parametrize("symmetry, centering", [("mmm", "P"), ("P 43 21 2", "P"), ("-1", "P"),
                                                 ("2/m", "P"), ("2/m", "C"), ("mmm", "F"),
                                                 ("4/mmm", "I"), ("222", "C")])
def test_unmerged_mtz_gives_back_the_original_indices(random_stream, tmp_path, symmetry, centering):
    source = tmp_path / "centred.stream"
    source.write_text(random_stream.read_text().replace("centering = P", f"centering = {centering}"))
    s = quillon.read(source)
    path = tmp_path / "unmerged.mtz"
    s.to_mtz(path, symmetry)
    mtz = gemmi.read_mtz_file(str(path))
    assert mtz.spacegroup.centring_type() == centering or symmetry.startswith("P ")
    labels = mtz.column_labels()
    assert labels == ["H", "K", "L", "M/ISYM", "BATCH", "I", "SIGI", "XDET", "YDET"]
    data = np.array(mtz, copy=True)
    asu = gemmi.ReciprocalAsu(mtz.spacegroup)
    assert all(asu.is_in([int(x) for x in row[:3]]) for row in data)
    mtz.switch_to_original_hkl()
    original = np.array(mtz, copy=False)
    np.testing.assert_array_equal(original[:, :3], s.columns["hkl"])
    np.testing.assert_array_equal(original[:, 4], s.columns["crystal_id"] + 1)
    np.testing.assert_array_equal(original[:, 5], s.columns["I"])
    np.testing.assert_array_equal(original[:, 7], s.columns["fs"])
    np.testing.assert_array_equal(original[:, 8], s.columns["ss"])
    assert [b.number for b in mtz.batches] == list(range(1, s.n_crystals + 1))
    for batch, cell in zip(mtz.batches, s.columns["cell"]):
        assert batch.cell.parameters == pytest.approx(tuple(cell), rel=1e-6)


def test_output_is_never_an_input(random_stream):
    before = random_stream.read_bytes()
    with pytest.raises(ValueError, match="same file"):
        quillon.read(random_stream).to_mtz(random_stream, "mmm")
    assert random_stream.read_bytes() == before


@pytest.mark.parametrize("fail", [False, True])
def test_outputs_are_renamed_into_place(tmp_path, fail):
    target = tmp_path / "out.mtz"
    target.write_text("earlier")
    expect = pytest.raises(RuntimeError) if fail else contextlib.nullcontext()
    with expect, _merge.output_path(target) as temporary:
        with open(temporary, "w") as f:
            f.write("new")
        assert target.read_text() == "earlier"  # nothing replaced before the end
        if fail:
            raise RuntimeError("interrupted")
    assert target.read_text() == ("earlier" if fail else "new")
    assert [p.name for p in tmp_path.iterdir()] == ["out.mtz"]
