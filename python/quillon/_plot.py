"""Figures of a stream's statistics: unit cells, resolution, reflections per panel.

Built on matplotlib's object interface with the Agg canvas, so they render on a machine
without a display; the functions take plain NumPy arrays and return a ``Figure``.
"""
from __future__ import annotations

import re

import numpy as np

from quillon._deps import require

_CELL_LABELS = ("a (Å)", "b (Å)", "c (Å)", "α (°)", "β (°)", "γ (°)")
#: Figure sizes in inches; at ``dpi`` the image is these times ``dpi`` pixels.
SIZES = {"cells": (12.0, 7.0), "resolution": (12.0, 5.0), "panels": (10.0, 8.0)}
_GEOMETRY_KEYS = ("corner_x", "corner_y", "fs", "ss", "min_fs", "max_fs", "min_ss", "max_ss")
_PANEL_KEY = re.compile(r"^\s*([^\s/=;]+)/(" + "|".join(_GEOMETRY_KEYS) + r")\s*=\s*([^;\n]*)", re.M)
_VECTOR_TERM = re.compile(r"([+-]?(?:\d+\.?\d*|\.\d+)?(?:[eE][+-]?\d+)?)\s*([xyz])")


def _figure(kind: str, dpi: float):
    require("matplotlib").use("Agg")
    from matplotlib.figure import Figure

    return Figure(figsize=SIZES[kind], dpi=dpi, layout="constrained")


def _robust_range(values: np.ndarray) -> tuple[float, float]:
    """A histogram range that the bulk fills: 0.5–99.5 percentiles widened by 10 %."""
    lo, hi = np.percentile(values, [0.5, 99.5])
    pad = 0.1 * (hi - lo) or max(abs(hi) * 1e-3, 1e-3)
    return float(lo - pad), float(hi + pad)


def cells_figure(cells: np.ndarray, title: str, dpi: float = 100):
    """Six histograms (a, b, c, α, β, γ) of ``cells`` (n × 6, Å and degrees), medians marked."""
    fig = _figure("cells", dpi)
    fig.suptitle(title)
    axes = fig.subplots(2, 3)
    for ax, values, label in zip(axes.flat, np.asarray(cells, np.float64).T, _CELL_LABELS):
        values = values[np.isfinite(values)]
        lo, hi = _robust_range(values)
        inside = values[(values >= lo) & (values <= hi)]
        ax.hist(inside, bins=min(80, max(10, int(np.sqrt(len(inside))))), range=(lo, hi),
                color="#4c72b0", edgecolor="none")
        median = float(np.median(values))
        ax.axvline(median, color="#c44e52", lw=1.5, ls="--", label=f"median {median:.3f}")
        ax.set_xlabel(label)
        ax.set_ylabel("crystals")
        ax.legend(loc="upper right", fontsize="small", frameon=False)
        if len(inside) < len(values):
            ax.text(0.02, 0.95, f"{len(values) - len(inside):,} outside", transform=ax.transAxes,
                    fontsize="small", va="top", color="0.4")
    return fig


def shells(inv_d_counts: np.ndarray, step: float, n_shells: int = 20) -> tuple[np.ndarray, np.ndarray]:
    """Reflections per shell of equal reciprocal volume, from counts in bins of 1/d of width ``step``.

    The shells cover the bins from the lowest filled one to the 99.9th percentile; returns
    the shell edges in 1/d (Å⁻¹, ``n_shells + 1`` of them) and the count in each shell.
    """
    filled = np.flatnonzero(inv_d_counts)
    cumulative = np.cumsum(inv_d_counts)
    last = int(np.searchsorted(cumulative, 0.999 * cumulative[-1]))
    lo, hi = filled[0] * step, (last + 1) * step
    edges = np.cbrt(np.linspace(lo**3, hi**3, n_shells + 1))
    centres = (np.arange(len(inv_d_counts)) + 0.5) * step
    which = np.searchsorted(edges, centres, side="right") - 1
    inside = (which >= 0) & (which < n_shells)
    return edges, np.bincount(which[inside], weights=inv_d_counts[inside], minlength=n_shells)


def resolution_figure(resolution: np.ndarray, inv_d_counts: np.ndarray, step: float, title: str,
                      dpi: float = 100):
    """Crystals' resolution limits (Å) beside the reflections per resolution shell."""
    fig = _figure("resolution", dpi)
    fig.suptitle(title)
    left, right = fig.subplots(1, 2)
    res = resolution[np.isfinite(resolution)]
    lo, hi = _robust_range(res)
    left.hist(res[(res >= lo) & (res <= hi)], bins=60, range=(lo, hi), color="#4c72b0")
    for q, style in zip(np.percentile(res, [10, 50, 90]), (":", "--", ":")):
        left.axvline(q, color="#c44e52", ls=style, lw=1.5)
    p10, p50, p90 = np.percentile(res, [10, 50, 90])
    left.set_title(f"median {p50:.2f} Å, 10–90 %: {p10:.2f}–{p90:.2f} Å", fontsize="medium")
    left.set_xlabel("resolution limit (Å)")
    left.set_ylabel("crystals")
    if inv_d_counts.any():
        edges, counts = shells(inv_d_counts, step)
        right.bar(edges[:-1], counts, width=np.diff(edges), align="edge", color="#55a868",
                  edgecolor="white", lw=0.5)
        right.set_xlim(edges[0], edges[-1])
        ticks = edges[::4] if len(edges) > 8 else edges
        right.set_xticks(ticks, [f"{1 / t:.2f}" if t > 0 else "∞" for t in ticks])
        right.set_xlabel("resolution d (Å), shells of equal reciprocal volume")
    right.set_ylabel("reflections")
    right.set_title("reflections per resolution shell", fontsize="medium")
    return fig


def _vector(text: str) -> tuple[float, float] | None:
    terms = _VECTOR_TERM.findall(text.replace(" ", ""))
    if not terms:
        return None
    v = {"x": 0.0, "y": 0.0, "z": 0.0}
    for coefficient, axis in terms:
        v[axis] = float(coefficient + "1" if coefficient in ("", "+", "-") else coefficient)
    return v["x"], v["y"]


def panel_outlines(header: str, panels: list[str]) -> dict[str, np.ndarray] | None:
    """Each panel's four corners in the detector plane (pixels), from the header's geometry.

    None unless every panel has ``corner_x``, ``corner_y``, ``fs``, ``ss`` and its pixel
    ranges (``min_fs`` … ``max_ss``).
    """
    keys: dict[str, dict[str, str]] = {}
    for name, key, value in _PANEL_KEY.findall(header):
        keys.setdefault(name, {})[key] = value.strip()
    outlines = {}
    try:
        for name in panels:
            k = keys[name]
            corner = np.array([float(k["corner_x"]), float(k["corner_y"])])
            fs, ss = _vector(k["fs"]), _vector(k["ss"])
            if fs is None or ss is None:
                return None
            n_fs = float(k["max_fs"]) - float(k["min_fs"]) + 1
            n_ss = float(k["max_ss"]) - float(k["min_ss"]) + 1
            fs_edge, ss_edge = np.array(fs) * n_fs, np.array(ss) * n_ss
            outlines[name] = np.array([corner, corner + fs_edge, corner + fs_edge + ss_edge,
                                       corner + ss_edge])
    except (KeyError, ValueError):
        return None
    return outlines if outlines else None


def panels_figure(panels: list[str], counts: np.ndarray, outlines: dict[str, np.ndarray] | None,
                  title: str, dpi: float = 100):
    """Reflections per panel: a detector map when ``outlines`` are known, else a bar chart."""
    fig = _figure("panels", dpi)
    fig.suptitle(title)
    ax = fig.subplots()
    if outlines is None:
        ax.bar(np.arange(len(panels)), counts, color="#4c72b0")
        ax.set_xticks(np.arange(len(panels)), panels, rotation=90,
                      fontsize="small" if len(panels) <= 48 else "x-small")
        ax.set_xlim(-0.7, len(panels) - 0.3)
        ax.set_xlabel("panel")
        ax.set_ylabel("reflections")
        return fig
    from matplotlib.collections import PolyCollection

    polygons = PolyCollection([outlines[p] for p in panels], array=counts, cmap="viridis",
                              edgecolors="0.3", linewidths=0.5)
    polygons.set_clim(0, max(int(counts.max()), 1))
    ax.add_collection(polygons)
    corners = np.concatenate(list(outlines.values()))
    span = corners.max(axis=0) - corners.min(axis=0)
    lo, hi = corners.min(axis=0) - 0.03 * span, corners.max(axis=0) + 0.03 * span
    ax.set_xlim(lo[0], hi[0])
    ax.set_ylim(lo[1], hi[1])
    ax.set_aspect("equal")
    ax.set_xlabel("x (pixels)")
    ax.set_ylabel("y (pixels)")
    fig.colorbar(polygons, ax=ax, label="reflections", shrink=0.85)
    if len(panels) <= 128:
        fontsize = 7 if len(panels) <= 32 else 5
        for name in panels:
            centre = outlines[name].mean(axis=0)
            ax.text(*centre, name, ha="center", va="center", fontsize=fontsize, color="white")
    return fig


def save(fig, path, fmt: str) -> None:
    """Write ``fig`` to ``path`` as ``fmt`` (png, svg or pdf)."""
    fig.savefig(path, format=fmt, metadata=None)
