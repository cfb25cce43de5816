"""Merging the reflections of many crystals under a point group, and its figures of merit.

Everything is computed from associative partial sums: for each asymmetric-unit index
(with its Friedel sign when Friedel mates stay apart) and each half data set, the number
of measurements n, ΣI and ΣI². A batch of a stream, a partition on a Dask worker or a
whole file gives such a :class:`Sums`; :meth:`Sums.combine` joins two in stream order.
Crystals are numbered in stream order from 1: the even-numbered ones form the first half
data set, the odd-numbered ones the second.
"""
from __future__ import annotations

import functools
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from . import _symmetry
from ._deps import require
from ._native import PathLike
from ._output import output_path
from ._symmetry import Symmetry

if TYPE_CHECKING:
    import pandas as pd

    from ._stream import Stream

#: h c in eV·Å: λ = HC / E.
HC = 12398.419843320026
_OFFSET = 1 << 17  # packed keys: 18 bits per index, then the Friedel bit
_BLOCK = 1 << 18   # reflections per step, so temporaries stay small next to a batch
STAT_COLUMNS = ("d_low", "d_high", "measurements", "unique", "possible", "completeness",
                "redundancy", "snr", "cc_half", "cc_star", "rsplit")


def pack(hkl: np.ndarray, minus: np.ndarray) -> np.ndarray:
    """One int64 per index and Friedel sign; sorting the keys sorts by h, k, l, sign."""
    h = hkl.astype(np.int64) + _OFFSET
    return (((h[:, 0] << 18 | h[:, 1]) << 18 | h[:, 2]) << 1) | minus.astype(np.int64)


def unpack(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    mask = (1 << 18) - 1
    hkl = np.stack([(keys >> 37) & mask, (keys >> 19) & mask, (keys >> 1) & mask], axis=1)
    return (hkl - _OFFSET).astype(np.int32), (keys & 1).astype(bool)


class Sums:
    """n, ΣI and ΣI² per asymmetric-unit index and half data set, in stream order.

    ``keys`` are sorted packed indices (:func:`pack`); ``n``, ``s``, ``q`` have one row per
    key and one column per half. Halves are counted from this part's first crystal, so
    :meth:`combine` swaps the later part's halves after an odd number of crystals.
    """

    def __init__(self, keys: np.ndarray, n: np.ndarray, s: np.ndarray, q: np.ndarray, *,
                 n_crystals: int = 0, measurements: int = 0, rejected: int = 0,
                 header: str = "", cells: np.ndarray | None = None,
                 wavelengths: np.ndarray | None = None) -> None:
        self.keys, self.n, self.s, self.q = keys, n, s, q
        self.n_crystals = int(n_crystals)
        self.measurements = int(measurements)
        self.rejected = int(rejected)
        self.header = header
        self.cells = np.empty((0, 6)) if cells is None else np.asarray(cells, np.float64)
        # λ (Å) of each crystal's image.
        self.wavelengths = (np.empty(0) if wavelengths is None
                            else np.asarray(wavelengths, np.float64))

    @classmethod
    def empty(cls, header: str = "") -> Sums:
        return cls(np.empty(0, np.int64), np.empty((0, 2), np.int64), np.empty((0, 2)),
                   np.empty((0, 2)), header=header)

    def combine(self, other: Sums) -> Sums:
        """The sums of this part followed by ``other`` (the order sets the halves)."""
        swap = [1, 0] if self.n_crystals % 2 else [0, 1]
        keys, inverse = np.unique(np.concatenate([self.keys, other.keys]), return_inverse=True)
        m = len(keys)

        def add(a: np.ndarray, b: np.ndarray) -> np.ndarray:
            both = np.concatenate([a, b[:, swap]])
            return np.stack([np.bincount(inverse, both[:, j], minlength=m) for j in (0, 1)],
                            axis=1)

        n = np.rint(add(self.n.astype(np.float64), other.n.astype(np.float64))).astype(np.int64)
        return Sums(keys, n, add(self.s, other.s), add(self.q, other.q),
                    n_crystals=self.n_crystals + other.n_crystals,
                    measurements=self.measurements + other.measurements,
                    rejected=self.rejected + other.rejected,
                    header=self.header or other.header,
                    cells=np.concatenate([self.cells, other.cells]),
                    wavelengths=np.concatenate([self.wavelengths, other.wavelengths]))


class AsuTable:
    """The slot of each index's asymmetric-unit key, over a cube of indices.

    Looking an index up in the cube costs a few integer operations per reflection, where
    mapping each reflection (or each distinct index of a batch) would repeat the search
    over symmetry operators; the cube grows to cover each batch and is kept between them.
    """

    MAX_POINTS = 1 << 24

    def __init__(self, sym: Symmetry) -> None:
        self.sym = sym
        self.low = np.zeros(3, np.int64)
        self.dims = np.zeros(3, np.int64)
        self.slot = np.empty(0, np.int32)
        self.keys = np.empty(0, np.int64)

    def prepare(self, hkl: np.ndarray) -> np.ndarray | None:
        """Make the cube cover ``hkl``; for indices too spread out for a cube, the slot of
        every row instead (None when :meth:`look_up` serves them)."""
        if not len(hkl):
            return None
        low = np.array([hkl[:, i].min() for i in range(3)], dtype=np.int64)
        high = np.array([hkl[:, i].max() for i in range(3)], dtype=np.int64)
        if len(self.slot) and (self.low <= low).all() and (high < self.low + self.dims).all():
            return None
        if len(self.slot):
            low, high = np.minimum(low, self.low), np.maximum(high, self.low + self.dims - 1)
        dims = high - low + 1
        if dims.prod() > self.MAX_POINTS:  # sparse indices: only the ones present
            points, inverse = _symmetry._distinct(hkl)
            self.keys, slot = self._keys_of(points)
            self.slot = np.empty(0, np.int32)  # the cube no longer matches the keys
            return slot[inverse]
        grid = np.indices(tuple(dims), dtype=np.int32).reshape(3, -1).T + low.astype(np.int32)
        self.keys, self.slot = self._keys_of(grid)
        self.low, self.dims = low, dims
        return None

    def _keys_of(self, points: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        asu, isym = _symmetry._asu_of_points(points, self.sym, with_isym=not self.sym.friedel)
        minus = np.zeros(len(points), dtype=bool)
        if not self.sym.friedel:
            minus = (isym % 2 == 0) & ~_symmetry.centric(asu, self.sym)
        keys, slot = np.unique(pack(asu, minus), return_inverse=True)
        slot = slot.astype(np.int32)
        slot[~asu.any(axis=1)] = -1
        return keys, slot

    def look_up(self, hkl: np.ndarray) -> np.ndarray:
        """The slots of indices inside the cube that :meth:`prepare` made."""
        b = hkl.astype(np.int32)
        b -= self.low.astype(np.int32)
        linear = b[:, 0] * np.int32(self.dims[1])
        linear += b[:, 1]
        linear *= np.int32(self.dims[2])
        linear += b[:, 2]
        return np.take(self.slot, linear)


def partial_sums(stream: Stream, sym: Symmetry, polarisation: bool = True,
                 table: AsuTable | None = None) -> Sums:
    """The :class:`Sums` of one Stream (a whole file, a batch or a partition).

    Each measurement is mapped to the asymmetric unit; with ``polarisation`` its intensity
    is divided by p = 1 − cos²φ sin²2θ of its scattering vector q = h a* + k b* + l c*
    (the crystal's own vectors) and the beam along z with 1/λ from the image's photon
    energy. 0 0 0 and measurements whose (corrected) intensity is not finite are left out.
    ``table`` may be shared by the parts of one reading.
    """
    c = stream.columns
    hkl = c["hkl"]
    cells = np.asarray(c["cell"], np.float64)
    wavelengths = wavelength_of_crystals(stream)
    table = table or AsuTable(sym)
    sparse = table.prepare(hkl)
    ukeys = table.keys
    m = len(ukeys)
    if polarisation:
        vectors = np.stack([c["astar"], c["bstar"], c["cstar"]], axis=1).astype(np.float64)
        k = 1.0 / wavelengths  # per crystal, Å⁻¹
    n_b = np.zeros(2 * m)
    s_b = np.zeros(2 * m)
    q_b = np.zeros(2 * m)
    rejected = 0
    for start in range(0, len(hkl), _BLOCK):
        block = slice(start, min(start + _BLOCK, len(hkl)))
        where = sparse[block] if sparse is not None else table.look_up(hkl[block])
        owner = c["crystal_id"][block] - np.int32(stream.first_crystal_id)
        intensity = c["I"][block].astype(np.float64)
        if polarisation:
            intensity /= polarisation_factor(hkl[block], vectors, k, owner)
        good = (where >= 0) & np.isfinite(intensity)
        rejected += int(np.count_nonzero(where >= 0)) - int(np.count_nonzero(good))
        bins = where[good] * 2 + ((owner[good] + 1) & 1)
        intensity = intensity[good]
        n_b += np.bincount(bins, minlength=2 * m)
        s_b += np.bincount(bins, intensity, minlength=2 * m)
        intensity *= intensity
        q_b += np.bincount(bins, intensity, minlength=2 * m)
    n2 = np.rint(n_b).astype(np.int64).reshape(m, 2)
    used = n2.sum(axis=1) > 0
    return Sums(ukeys[used], n2[used], s_b.reshape(m, 2)[used], q_b.reshape(m, 2)[used],
                n_crystals=stream.n_crystals, measurements=int(n2.sum()), rejected=rejected,
                header=stream.header, cells=cells, wavelengths=wavelengths)


def wavelength_of_crystals(stream: Stream) -> np.ndarray:
    """λ (Å) of each crystal's image from its photon energy (eV); NaN where the image gives
    none (the column holds 0 then)."""
    c = stream.columns
    energy = c["beam_energy"].astype(np.float64)[c["image_id"] - np.int32(stream.first_image_id)]
    energy[~(energy > 0)] = np.nan
    return HC / energy


def polarisation_factor(hkl: np.ndarray, vectors: np.ndarray, inv_wavelength: np.ndarray,
                        owner: np.ndarray | None = None) -> np.ndarray:
    """p = 1 − cos²φ sin²2θ for each reflection.

    ``vectors`` holds (a*, b*, c*) as rows, (n, 3, 3) in Å⁻¹, and ``inv_wavelength`` 1/λ:
    one per reflection, or one per crystal with ``owner`` giving each reflection's row.
    With q = h a* + k b* + l c* and v = q + (0, 0, 1/λ), sin²2θ = (v_x² + v_y²)/|v|² and
    cos²φ = q_x²/(q_x² + q_y²), so their product is q_x²/|v|².
    """
    if owner is None:
        owner = np.arange(len(hkl))
    index = [hkl[:, i].astype(np.float64) for i in range(3)]
    squares = []
    for x in range(3):
        q = index[0] * np.take(vectors[:, 0, x], owner)
        q += index[1] * np.take(vectors[:, 1, x], owner)
        q += index[2] * np.take(vectors[:, 2, x], owner)
        if x == 2:
            q += np.take(inv_wavelength, owner)
        q *= q
        squares.append(q)
    total = squares[0] + squares[1]
    total += squares[2]
    with np.errstate(invalid="ignore", divide="ignore"):
        np.divide(squares[0], total, out=total)
    return np.subtract(1.0, total, out=total)


# -- reading -----------------------------------------------------------------------------

def _header_of(source: Any) -> str:
    from ._read import read_header
    from ._stream import Stream
    if isinstance(source, Stream):
        return source.header
    if isinstance(source, (str, bytes, os.PathLike)):
        return read_header(source)
    return ""


def _streams(source: Any, *, batch_bytes: int | str, n_threads: int | None) -> Iterable[Stream]:
    from ._read import iter_batches
    from ._stream import Stream
    if isinstance(source, Stream):
        return [source]
    if isinstance(source, (str, bytes, os.PathLike)):
        return iter_batches(source, batch_bytes=batch_bytes, n_threads=n_threads)
    return source


def collect(source: Any, sym: Symmetry, polarisation: bool = True, *,
            batch_bytes: int | str = "256 MiB", n_threads: int | None = None,
            header: str = "") -> Sums:
    """The :class:`Sums` of a Stream, a path (read in batches) or Streams in stream order;
    ``header`` is that of the empty sums when there is nothing to read."""
    total: Sums | None = None
    table = AsuTable(sym)
    for part in _streams(source, batch_bytes=batch_bytes, n_threads=n_threads):
        sums = partial_sums(part, sym, polarisation, table)
        total = sums if total is None else total.combine(sums)
    return total if total is not None else Sums.empty(header)


def resolve_symmetry(symbol: str, header: str) -> tuple[Symmetry, _symmetry.TargetCell]:
    target = _symmetry.cell_block(header)
    return _symmetry.symmetry(symbol, target.centering, target.unique_axis), target


def resolve_cell(cell: Any, target: _symmetry.TargetCell, cells: np.ndarray) -> tuple[Any, str | None]:
    """The cell merged reflections get their d from, and a note when it is not the target's."""
    gemmi = require("gemmi")
    if cell is not None:
        return _symmetry.unit_cell(cell), None
    if target.parameters is not None:
        return gemmi.UnitCell(*target.parameters), None
    good = cells[np.isfinite(cells).all(axis=1)] if len(cells) else cells
    if not len(good):
        raise ValueError("no unit cell: the header has none and there are no crystals; pass cell=")
    median = np.median(good, axis=0)
    return (gemmi.UnitCell(*median),
            f"median cell of {len(good):,} crystals (the header has no target cell)")


# -- merged reflections -------------------------------------------------------------------

def _mean_sigma(n: np.ndarray, s: np.ndarray, q: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Ī = ΣI/n and σ(Ī) = sqrt(Σ(I − Ī)²/n)/√n from the sums (n > 0)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = s / n
        spread = np.maximum(q - s * mean, 0.0) / n
        return mean, np.sqrt(spread / n)


class Merged:
    """Merged reflections: ``table`` (``h k l I sigma n d``), ``cell``, ``symmetry``.

    ``h k l`` is the asymmetric-unit index; when Friedel mates stay apart (a point group
    without the inversion) a reflection's Friedel mate is the row ``−h −k −l``.
    ``space_group`` is what :meth:`to_mtz` writes; ``note`` says where the cell came from
    when it is not the given or the target cell.
    """

    def __init__(self, columns: dict[str, np.ndarray], cell: Any, sym: Symmetry, *,
                 note: str | None, sums: Sums, min_measurements: int,
                 d_range: tuple[float | None, float | None]):
        self.columns = columns
        self.cell = cell
        self.symmetry = sym.symbol
        self.point_group = sym.point_group
        self.space_group = sym.space_group
        self.friedel = sym.friedel
        self.note = note
        self._sums = sums
        #: Measurements merged, and left out for an intensity not finite once corrected.
        self.measurements = sums.measurements
        self.rejected = sums.rejected
        finite = sums.wavelengths[np.isfinite(sums.wavelengths)]
        #: The median λ (Å) of the crystals' images (0 when unknown), as MTZ files keep it.
        self.wavelength = float(np.median(finite)) if len(finite) else 0.0
        self._min = min_measurements
        self._d_range = d_range

    @functools.cached_property
    def table(self) -> pd.DataFrame:
        """One row per merged reflection: ``h k l I sigma n d``."""
        return require("pandas").DataFrame(self.columns, copy=False)

    def __repr__(self) -> str:
        c = self.cell
        d = self.columns["d"]
        text = (f"<Merged {len(self):,} reflections, point group {self.point_group}, "
                f"cell {c.a:.2f} {c.b:.2f} {c.c:.2f} {c.alpha:.2f} {c.beta:.2f} {c.gamma:.2f}")
        if len(d):
            text += f", d {d.max():.2f}–{d.min():.2f} Å"
        if self.note:
            text += f" ({self.note})"
        return text + ">"

    def __len__(self) -> int:
        return len(self.columns["d"])

    def to_mtz(self, path: PathLike, *, inputs: Iterable[PathLike] = ()) -> None:
        """Write an MTZ file: H K L IMEAN SIGIMEAN NMEAN, and I(+) SIGI(+) N(+) I(−) SIGI(−)
        N(−) when Friedel mates stay apart; cell and space group set."""
        mtz = self.mtz()
        with output_path(path, inputs=inputs) as temporary:
            mtz.write_to_file(temporary)

    def mtz(self) -> Any:
        """The ``gemmi.Mtz`` that :meth:`to_mtz` writes."""
        gemmi = require("gemmi")
        mtz = gemmi.Mtz(with_base=True)
        mtz.spacegroup = self.space_group
        _dataset(mtz, "merged", self.cell, self.wavelength)
        sums = self._sums
        hkl, minus = unpack(sums.keys)
        n = sums.n.sum(axis=1)
        s = sums.s.sum(axis=1)
        q = sums.q.sum(axis=1)
        # Both signs of an index together: the mean over all its measurements.
        laue, where = np.unique(pack(hkl, np.zeros(len(hkl), bool)), return_inverse=True)
        total = [np.bincount(where, v, minlength=len(laue)) for v in (n, s, q)]
        asu, _ = unpack(laue)
        mean, sigma = _mean_sigma(*total)
        columns = [("IMEAN", "J", mean), ("SIGIMEAN", "Q", sigma), ("NMEAN", "I", total[0])]
        in_range = self._in_range(asu)
        keep = (total[0] >= self._min) & in_range
        if not self.friedel:
            for sign, label in ((False, "+"), (True, "-")):
                part = np.zeros((len(laue), 3))
                rows = minus == sign
                for j, v in enumerate((n, s, q)):
                    part[where[rows], j] = v[rows]
                m, sg = _mean_sigma(part[:, 0], part[:, 1], part[:, 2])
                present = part[:, 0] >= self._min
                m[~present] = np.nan
                sg[~present] = np.nan
                columns += [(f"I({label})", "K", m), (f"SIGI({label})", "M", sg),
                            (f"N({label})", "I", np.where(present, part[:, 0], np.nan))]
                keep |= present & in_range
        data = np.empty((int(keep.sum()), 3 + len(columns)), dtype=np.float32)
        data[:, :3] = asu[keep]
        for j, (label, kind, values) in enumerate(columns):
            mtz.add_column(label, kind)
            data[:, 3 + j] = values[keep]
        mtz.set_data(data)
        mtz.history = ["merged by quillon"]
        return mtz

    def _in_range(self, hkl: np.ndarray) -> np.ndarray:
        d_min, d_max = self._d_range
        with np.errstate(divide="ignore"):
            d = 1.0 / _symmetry.inverse_d(self.cell, hkl)
        ok = np.ones(len(hkl), dtype=bool)
        if d_min is not None:
            ok &= d >= d_min
        if d_max is not None:
            ok &= d <= d_max
        return ok

    def _kept(self, hkl: np.ndarray, n: np.ndarray) -> np.ndarray:
        return (n >= self._min) & self._in_range(hkl)


def merged_from(sums: Sums, sym: Symmetry, cell: Any, note: str | None, *,
                min_measurements: int, d_min: float | None, d_max: float | None) -> Merged:
    hkl, minus = unpack(sums.keys)
    n = sums.n.sum(axis=1)
    mean, sigma = _mean_sigma(n, sums.s.sum(axis=1), sums.q.sum(axis=1))
    hkl = np.where(minus[:, None], -hkl, hkl)
    merged = Merged({}, cell, sym, note=note, sums=sums,
                    min_measurements=min_measurements, d_range=(d_min, d_max))
    keep = merged._kept(hkl, n)
    hkl = hkl[keep]
    with np.errstate(divide="ignore"):
        d = 1.0 / _symmetry.inverse_d(cell, hkl)
    merged.columns = {"h": hkl[:, 0].copy(), "k": hkl[:, 1].copy(), "l": hkl[:, 2].copy(),
                      "I": mean[keep], "sigma": sigma[keep], "n": n[keep], "d": d}
    return merged


def _check(min_measurements: int) -> int:
    if int(min_measurements) != min_measurements or min_measurements < 1:
        raise ValueError(f"min_measurements must be a whole number ≥ 1, got {min_measurements!r}")
    return int(min_measurements)


def merge(stream: Any, symmetry: str, *, cell: Any = None, polarisation: bool = True,
          min_measurements: int = 2, d_min: float | None = None, d_max: float | None = None,
          batch_bytes: int | str = "256 MiB", n_threads: int | None = None) -> Merged:
    """Merge the reflections of every crystal under a point group.

    ``stream`` is a :class:`quillon.Stream`, a path (read in batches of ``batch_bytes``) or
    Streams in file order (e.g. :func:`quillon.iter_batches`). ``symmetry`` is a point group
    ("mmm", "4/mmm", "222", "-1") or a space group ("P 43 21 2"), whose point group is used;
    Friedel mates merge together only when it holds the inversion.

    Each measurement is mapped to the asymmetric unit and, with ``polarisation``, divided by
    the polarisation factor of a beam polarised along x. A reflection's Ī is the unweighted
    mean of its n measurements, σ(Ī) = sqrt(Σ(I − Ī)²/n)/√n (the input σ is not used);
    reflections with fewer than ``min_measurements`` are left out, and 0 0 0 always.
    ``cell`` (a gemmi.UnitCell, six numbers or a cell file) gives d; None takes the header's
    target cell, or else the crystals' median cell (said in the repr).

    >>> merged = quillon.merge("run7.stream", "mmm")                  # doctest: +SKIP
    >>> merged.table.head()                                           # doctest: +SKIP
    >>> merged.to_mtz("run7.mtz")                                     # doctest: +SKIP
    """
    minimum = _check(min_measurements)
    sym, target = resolve_symmetry(symmetry, _header_of(stream))
    sums = collect(stream, sym, polarisation, batch_bytes=batch_bytes, n_threads=n_threads)
    resolved, note = resolve_cell(cell, target, sums.cells)
    return merged_from(sums, sym, resolved, note, min_measurements=minimum, d_min=d_min, d_max=d_max)


# -- figures of merit -------------------------------------------------------------------

class Scale(NamedTuple):
    """The second half's scale to the first: I₂ ← I₂ · G · exp(2 B s²), s = 1/(2d)."""

    G: float
    B: float


class Statistics:
    """Figures of merit per resolution shell (``shells``) and over all (``overall``).

    Columns: ``d_low d_high`` (Å), ``measurements unique possible completeness redundancy
    snr cc_half cc_star rsplit``. ``scale`` is the second half's fitted :class:`Scale`
    (G 1, B 0 when not scaled).
    """

    def __init__(self, rows: list[dict[str, float]], overall: dict[str, float], scale: Scale, *,
                 symmetry: str, cell: Any, note: str | None) -> None:
        self.rows = rows
        self.overall_row = overall
        self.scale = scale
        self.symmetry = symmetry
        self.cell = cell
        self.note = note

    @functools.cached_property
    def shells(self) -> pd.DataFrame:
        """One row per shell, from low to high resolution."""
        pd = require("pandas")
        frame = pd.DataFrame(self.rows, columns=list(STAT_COLUMNS)).astype(
            {"measurements": "int64", "unique": "int64", "possible": "int64"})
        frame.index.name = "shell"
        return frame

    @functools.cached_property
    def overall(self) -> pd.Series:
        """The figures over all shells."""
        return require("pandas").Series(self.overall_row, name="overall")[list(STAT_COLUMNS)]

    def __repr__(self) -> str:
        o = self.overall_row
        return (f"<Statistics {len(self.rows)} shells, {o['d_low']:.2f}–{o['d_high']:.2f} Å, "
                f"completeness {o['completeness']:.3f}, CC½ {o['cc_half']:.3f}>")

    def to_frame(self) -> pd.DataFrame:
        """The shells with the overall row last (index ``"overall"``)."""
        pd = require("pandas")
        return pd.concat([self.shells, self.overall.to_frame("overall").T.astype(self.shells.dtypes)])

    def plot(self, title: str = "", dpi: float = 100) -> Any:
        """A matplotlib Figure: CC½, completeness, SNR and Rsplit against resolution."""
        from ._merge_plot import statistics_figure
        return statistics_figure(self.shells, title, dpi)


def shell_edges(r_min: float, r_max: float, shells: int) -> np.ndarray:
    """Edges in 1/d of ``shells`` shells of equal reciprocal volume from r_min to r_max."""
    edges = np.cbrt(r_min ** 3 + np.arange(shells + 1) * (r_max ** 3 - r_min ** 3) / shells)
    edges[0], edges[-1] = r_min, r_max
    return edges


def shell_of(r: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """The shell of each 1/d: r_j < r ≤ r_(j+1), r_min in shell 0; −1 outside."""
    j = np.searchsorted(edges, r, side="left") - 1
    j[r == edges[0]] = 0
    j[(r < edges[0]) | (r > edges[-1])] = -1
    return j


def possible_indices(cell: Any, sym: Symmetry, centering: str | None, r_max: float
                     ) -> tuple[np.ndarray, np.ndarray]:
    """The asymmetric-unit indices with 1/d ≤ r_max that the centering allows (no 0 0 0),
    and how many reflections each stands for (2 for an acentric one when Friedel mates stay
    apart, else 1)."""
    gemmi = require("gemmi")
    laue = gemmi.GroupOps(list(sym.ops.sym_ops))
    if not laue.is_centrosymmetric():
        laue.add_inversion()
    space_group = gemmi.find_spacegroup_by_ops(laue)
    hkl = gemmi.make_miller_array(cell, space_group, 1.0 / r_max * (1 - 1e-9), 0.0, True)
    hkl = hkl[_symmetry.allowed_by_centering(hkl, centering) & hkl.any(axis=1)]
    weight = np.ones(len(hkl))
    if not sym.friedel:
        weight += ~_symmetry.centric(hkl, sym)
    return hkl, weight


def _pearson(x: np.ndarray, y: np.ndarray) -> float:
    if len(x) < 2:
        return float("nan")
    dx, dy = x - x.mean(), y - y.mean()
    denominator = np.sqrt((dx * dx).sum() * (dy * dy).sum())
    return float((dx * dy).sum() / denominator) if denominator > 0 else float("nan")


def _figures(i1: np.ndarray, i2: np.ndarray) -> tuple[float, float, float]:
    cc = _pearson(i1, i2)
    with np.errstate(invalid="ignore", divide="ignore"):
        cc_star = float(np.sqrt(2 * cc / (1 + cc))) if cc > -1 else float("nan")
        total = (i1 + i2).sum()
        rsplit = float(np.sqrt(2) * np.abs(i1 - i2).sum() / total) if len(i1) and total else float("nan")
    return cc, cc_star, rsplit


def fit_scale(i1: np.ndarray, i2: np.ndarray, s2: np.ndarray) -> Scale:
    """G and B of ln(I₁/I₂) = c₀ + c₁ s² fitted over the pairs where both are positive."""
    positive = (i1 > 0) & (i2 > 0)
    x = s2[positive]
    if len(x) < 2 or np.ptp(x) == 0:
        return Scale(1.0, 0.0)
    y = np.log(i1[positive] / i2[positive])
    design = np.stack([np.ones_like(x), x], axis=1)
    (c0, c1), *_ = np.linalg.lstsq(design, y, rcond=None)
    return Scale(float(np.exp(c0)), float(c1 / 2))


def statistics_from(sums: Sums, sym: Symmetry, cell: Any, note: str | None, centering: str | None, *,
                    shells: int, scale: bool, min_measurements: int, d_min: float | None,
                    d_max: float | None) -> Statistics:
    if int(shells) != shells or shells < 1:
        raise ValueError(f"shells must be a whole number ≥ 1, got {shells!r}")
    shells = int(shells)
    merged = merged_from(sums, sym, cell, note, min_measurements=min_measurements,
                         d_min=d_min, d_max=d_max)
    table = merged.columns
    hkl, minus = unpack(sums.keys)
    keep = merged._kept(np.where(minus[:, None], -hkl, hkl), sums.n.sum(axis=1))
    halves = [_mean_sigma(sums.n[keep, j], sums.s[keep, j], sums.q[keep, j])[0] for j in (0, 1)]
    common = (sums.n[keep, 0] >= min_measurements) & (sums.n[keep, 1] >= min_measurements)
    r = 1.0 / table["d"]
    i1, i2 = halves[0][common], halves[1][common]
    s2 = r[common] ** 2 / 4
    fitted = fit_scale(i1, i2, s2) if scale else Scale(1.0, 0.0)
    i2 = i2 * fitted.G * np.exp(2 * fitted.B * s2)

    rows = []
    if len(merged):
        r_min, r_max = float(r.min()), float(r.max())
        edges = shell_edges(r_min, r_max, shells)
        which = shell_of(r, edges)
        possible_hkl, weight = possible_indices(cell, sym, centering, r_max)
        possible_shell = shell_of(_symmetry.inverse_d(cell, possible_hkl), edges)
        inside = possible_shell >= 0
        possible = np.bincount(possible_shell[inside], weight[inside], minlength=shells)
        n = table["n"]
        with np.errstate(divide="ignore", invalid="ignore"):
            snr = table["I"] / table["sigma"]
        common_shell = which[common]
        groups = [(j, which == j, common_shell == j) for j in range(shells)]
        groups.append((-1, np.ones(len(merged), bool), np.ones(len(i1), bool)))
        for j, here, pairs in groups:
            unique = int(here.sum())
            total_possible = float(possible.sum() if j < 0 else possible[j])
            values = snr[here]
            values = values[np.isfinite(values)]
            cc, cc_star, rsplit = _figures(i1[pairs], i2[pairs])
            low, high = (r_min, r_max) if j < 0 else (edges[j], edges[j + 1])
            rows.append({
                "d_low": 1.0 / low, "d_high": 1.0 / high,
                "measurements": int(n[here].sum()), "unique": unique,
                "possible": round(total_possible),
                "completeness": unique / total_possible if total_possible else float("nan"),
                "redundancy": n[here].sum() / unique if unique else float("nan"),
                "snr": float(values.mean()) if len(values) else float("nan"),
                "cc_half": cc, "cc_star": cc_star, "rsplit": rsplit})
    else:
        rows.append(dict.fromkeys(STAT_COLUMNS, float("nan")) | {"measurements": 0, "unique": 0,
                                                                 "possible": 0})
    return Statistics(rows[:-1], rows[-1], fitted, symmetry=sym.symbol, cell=cell, note=note)


def statistics(stream: Any, symmetry: str, *, shells: int = 10, cell: Any = None,
               scale: bool = True, polarisation: bool = True, min_measurements: int = 2,
               d_min: float | None = None, d_max: float | None = None,
               batch_bytes: int | str = "256 MiB", n_threads: int | None = None) -> Statistics:
    """Completeness, redundancy, signal to noise, CC½, CC* and Rsplit per resolution shell.

    Reflections are merged as :func:`merge` merges them. Shells have equal reciprocal
    volume between the smallest and largest 1/d of the merged reflections. ``possible``
    counts the asymmetric-unit indices the lattice centering of the header's target cell
    allows (an acentric one twice when Friedel mates stay apart). The half data sets are
    the even-numbered and the odd-numbered crystals in stream order, each merged with its
    own ``min_measurements``; with ``scale`` the second half is first put on the scale of
    the first by a straight-line fit of ln(I₁/I₂) against s² (G, B in ``.scale``).

    >>> stats = quillon.statistics("run7.stream", "mmm")              # doctest: +SKIP
    >>> stats.shells[["d_high", "completeness", "cc_half"]]           # doctest: +SKIP
    """
    minimum = _check(min_measurements)
    sym, target = resolve_symmetry(symmetry, _header_of(stream))
    sums = collect(stream, sym, polarisation, batch_bytes=batch_bytes, n_threads=n_threads)
    resolved, note = resolve_cell(cell, target, sums.cells)
    return statistics_from(sums, sym, resolved, note, target.centering, shells=shells,
                           scale=scale, min_measurements=minimum, d_min=d_min, d_max=d_max)


# -- unmerged MTZ ------------------------------------------------------------------------

class Unmerged:
    """Every measurement of Streams, batch by batch, ready for an unmerged MTZ file."""

    def __init__(self, sym: Symmetry) -> None:
        self.sym = sym
        self.parts: list[np.ndarray] = []
        self.batches: list[tuple[int, np.ndarray, float]] = []
        self.n_crystals = 0

    def add(self, stream: Stream) -> None:
        c = stream.columns
        first = self.n_crystals
        asu, isym = _symmetry.to_asu(c["hkl"], self.sym)
        local = c["crystal_id"] - np.int32(stream.first_crystal_id)
        rows = np.empty((len(asu), 9), dtype=np.float32)
        rows[:, :3] = asu
        rows[:, 3] = isym
        rows[:, 4] = local + first + 1
        rows[:, 5] = c["I"]
        rows[:, 6] = c["sigma"]
        rows[:, 7] = c["fs"]
        rows[:, 8] = c["ss"]
        self.parts.append(rows)
        wavelength = wavelength_of_crystals(stream)
        for i in range(stream.n_crystals):
            self.batches.append((first + i + 1, np.asarray(c["cell"][i], np.float64),
                                 float(wavelength[i])))
        self.n_crystals += stream.n_crystals

    def write(self, path: PathLike, cell: Any, *, inputs: Iterable[PathLike] = ()) -> None:
        mtz = self.mtz(cell)
        with output_path(path, inputs=inputs) as temporary:
            mtz.write_to_file(temporary)

    def mtz(self, cell: Any) -> Any:
        """The ``gemmi.Mtz`` of every measurement added, with ``cell`` as its cell."""
        gemmi = require("gemmi")
        mtz = gemmi.Mtz(with_base=True)
        mtz.spacegroup = self.sym.space_group
        finite = [w for _, _, w in self.batches if np.isfinite(w)]
        dataset = _dataset(mtz, "unmerged", cell, float(np.median(finite)) if finite else 0.0)
        for label, kind in (("M/ISYM", "Y"), ("BATCH", "B"), ("I", "J"), ("SIGI", "Q"),
                            ("XDET", "R"), ("YDET", "R")):
            mtz.add_column(label, kind)
        for number, parameters, wavelength in self.batches:
            batch = gemmi.Mtz.Batch()
            batch.number = number
            batch.cell = gemmi.UnitCell(*parameters) if np.isfinite(parameters).all() else cell
            batch.dataset_id = dataset.id
            batch.wavelength = wavelength if np.isfinite(wavelength) else 0.0
            mtz.batches.append(batch)
        data = np.concatenate(self.parts) if self.parts else np.empty((0, 9), np.float32)
        mtz.set_data(data)
        mtz.history = ["unmerged measurements written by quillon"]
        return mtz


def write_unmerged(stream: Any, path: PathLike, symmetry: str, *, cell: Any = None,
                   batch_bytes: int | str = "256 MiB", n_threads: int | None = None) -> None:
    """Write every measurement of ``stream`` to an unmerged MTZ file (see Stream.to_mtz)."""
    sym, target = resolve_symmetry(symmetry, _header_of(stream))
    unmerged = Unmerged(sym)
    cells = []
    for part in _streams(stream, batch_bytes=batch_bytes, n_threads=n_threads):
        unmerged.add(part)
        cells.append(np.asarray(part.columns["cell"], np.float64))
    resolved, _ = resolve_cell(cell, target, np.concatenate(cells) if cells else np.empty((0, 6)))
    source = stream if isinstance(stream, (str, bytes, os.PathLike)) else getattr(stream, "path", None)
    unmerged.write(path, resolved, inputs=[source] if source else [])


def _dataset(mtz: Any, name: str, cell: Any, wavelength: float) -> Any:
    """The MTZ file's one data set (after the base one), with the cell set everywhere."""
    dataset = mtz.add_dataset(name)
    dataset.project_name, dataset.crystal_name = "quillon", "crystal"
    dataset.wavelength = wavelength
    mtz.set_cell_for_all(cell)
    return dataset
