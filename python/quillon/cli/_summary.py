"""Statistics of a stream gathered batch by batch.

Per-crystal values (cells, resolution limits) are few next to the reflections, so they are
kept and the medians and percentiles are exact; per-reflection quantities are binned as they
go past, so memory stays bounded by one batch.
"""
from __future__ import annotations

import numpy as np

import quillon
from quillon._tables import resolution_d
from quillon.cli._common import Source, Tally, shown

CELL_KEYS = ("a", "b", "c", "alpha", "beta", "gamma")
#: Width of the bins of 1/d (Å⁻¹) reflections are counted in; shells are sums of these bins.
INV_D_STEP = 1e-3
INV_D_MAX = 4.0  # 0.25 Å: beyond any diffraction experiment
#: The resolution limit a stream gives a crystal without one (Å): a placeholder, not a value.
NO_RESOLUTION = 999.0
#: Pixels per side of the bins a single-panel detector's reflection positions are counted in,
#: and the positions counted (larger detectors are tiled into panels).
POSITION_BIN = 8
POSITION_MAX = 8192


class Summary:
    """Counts, per-crystal values and optional per-reflection histograms of one stream."""

    def __init__(self, src: Source, *, panels: bool = False, shells: bool = False):
        self.src = src
        self.tally = Tally()
        self.images = self.with_crystals = self.crystals = self.reflections = 0
        self._cells: list[np.ndarray] = []
        self._resolution: list[np.ndarray] = []
        self.energy = [np.inf, -np.inf]
        self.panel_counts = np.zeros(len(src.panels), np.int64) if panels else None
        n_bins = POSITION_MAX // POSITION_BIN
        # A single-panel detector: where on it the reflections are (rows ss, columns fs).
        self.positions = (np.zeros((n_bins, n_bins), np.int64)
                          if panels and len(src.panels) == 1 else None)
        self.inv_d_counts = np.zeros(round(INV_D_MAX / INV_D_STEP), np.int64) if shells else None

    def add(self, s: quillon.Stream) -> None:
        """Add one batch (a Stream whose ids start at 0)."""
        c = s.columns
        self.tally.add(s)
        self.images += s.n_images
        self.crystals += s.n_crystals
        self.reflections += len(s)
        self.with_crystals += int(np.count_nonzero(c["crystal_in_image"] == 0))
        self._cells.append(np.asarray(c["cell"], np.float64))
        self._resolution.append(np.asarray(c["resolution"], np.float64))
        energy = c["beam_energy"][np.isfinite(c["beam_energy"])]
        if energy.size:
            self.energy = [min(self.energy[0], float(energy.min())), max(self.energy[1], float(energy.max()))]
        if self.panel_counts is not None:
            panel = c["panel_id"]
            self.panel_counts += np.bincount(panel[panel >= 0], minlength=len(self.panel_counts))
        if self.positions is not None:
            n_bins = len(self.positions)
            fs, ss = c["fs"], c["ss"]
            inside = ((c["panel_id"] >= 0) & (fs >= 0) & (fs < POSITION_MAX)
                      & (ss >= 0) & (ss < POSITION_MAX))  # also False for NaN
            where = ((ss[inside] // POSITION_BIN).astype(np.int64) * n_bins
                     + (fs[inside] // POSITION_BIN).astype(np.int64))
            self.positions += np.bincount(where, minlength=n_bins * n_bins).reshape(n_bins, n_bins)
        if self.inv_d_counts is not None:
            inv_d = inverse_d(s)
            bins = (inv_d[np.isfinite(inv_d)] / INV_D_STEP).astype(np.int64)
            self.inv_d_counts += np.bincount(bins[(bins >= 0) & (bins < len(self.inv_d_counts))],
                                             minlength=len(self.inv_d_counts))

    @property
    def cells(self) -> np.ndarray:
        """Every crystal's (a, b, c, α, β, γ), Å and degrees."""
        return np.concatenate(self._cells) if self._cells else np.empty((0, 6))

    @property
    def resolution(self) -> np.ndarray:
        """The resolution limits of the crystals that have one, Å (the 999 Å placeholder of
        a crystal without one is left out)."""
        res = np.concatenate(self._resolution) if self._resolution else np.empty(0)
        return res[res < NO_RESOLUTION]

    def to_dict(self) -> dict:
        cells, res = self.cells, self.resolution
        return {
            "path": shown(self.src.path),
            "bytes": self.src.size,
            "images": self.images,
            "images_with_crystals": self.with_crystals,
            "indexing_rate": _ratio(self.with_crystals, self.images),
            "crystals": self.crystals,
            "reflections": self.reflections,
            "panels": len(self.src.panels),
            "panel_names": list(self.src.panels),
            "unknown_panel_reflections": self.tally.unknown_panel,
            "excluded": {reason: list(v) for reason, v in self.tally.report.items()},
            "cell": {key: {"median": _stat(np.median, cells[:, i]), "iqr": _iqr(cells[:, i])}
                     for i, key in enumerate(CELL_KEYS)},
            "resolution": {"median": _stat(np.median, res), "p10": _stat(np.percentile, res, 10),
                           "p90": _stat(np.percentile, res, 90),
                           "without_limit": self.crystals - len(res)},
            "photon_energy": ({"min": _round(self.energy[0]), "max": _round(self.energy[1])}
                              if self.energy[0] <= self.energy[1] else {"min": None, "max": None}),
        }


def totals(files: list[dict]) -> dict:
    total = {key: sum(f[key] for f in files)
             for key in ("bytes", "images", "images_with_crystals", "crystals", "reflections")}
    total["indexing_rate"] = _ratio(total["images_with_crystals"], total["images"])
    return {"files": len(files), **total}


def inverse_d(s: quillon.Stream) -> np.ndarray:
    """1/d (Å⁻¹) of every reflection of batch ``s``."""
    c = s.columns
    basis = (c["astar"], c["bstar"], c["cstar"])
    with np.errstate(divide="ignore"):
        return 1 / resolution_d(c["hkl"], basis, c["crystal_id"], s.first_crystal_id)


def _finite(values: np.ndarray) -> np.ndarray:
    return values[np.isfinite(values)]


def _round(x: float) -> float:
    return float(f"{x:.6g}")


def _stat(fn, values: np.ndarray, *args) -> float | None:
    values = _finite(values)
    return _round(fn(values, *args)) if values.size else None


def _iqr(values: np.ndarray) -> float | None:
    values = _finite(values)
    if not values.size:
        return None
    q1, q3 = np.percentile(values, [25, 75])
    return _round(q3 - q1)


def _ratio(part: int, whole: int) -> float | None:
    return _round(part / whole) if whole else None
