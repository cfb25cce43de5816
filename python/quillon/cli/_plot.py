"""Figures of a stream's statistics: unit cells, resolution, reflections per panel.

Built on matplotlib's object interface with the Agg canvas, so they render on a machine
without a display; the functions take plain NumPy arrays and return a ``Figure``.
"""
from __future__ import annotations

import re

import numpy as np

from quillon._deps import require
from quillon._geometry import panel_keys
from quillon._merge import shell_edges

_CELL_LABELS = ("a (Å)", "b (Å)", "c (Å)", "α (°)", "β (°)", "γ (°)")
#: Figure sizes in inches; at ``dpi`` the image is these times ``dpi`` pixels.
SIZES = {"cells": (12.0, 7.0), "resolution": (12.0, 5.0), "panels": (12.0, 8.0)}
_GEOMETRY_KEYS = ("corner_x", "corner_y", "fs", "ss", "min_fs", "max_fs", "min_ss", "max_ss")
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
        outside = len(values) - len(inside)
        ax.set_xlabel(label + (f"  ({outside:,} beyond the range shown)" if outside else ""))
        ax.set_ylabel("crystals")
        ax.legend(loc="upper right", fontsize="small", frameon=False)
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
    edges = shell_edges(lo, hi, n_shells)
    centres = (np.arange(len(inv_d_counts)) + 0.5) * step
    which = np.searchsorted(edges, centres, side="right") - 1
    inside = (which >= 0) & (which < n_shells)
    return edges, np.bincount(which[inside], weights=inv_d_counts[inside], minlength=n_shells)


def _d_ticks(lo: float, hi: float) -> list[float]:
    """Round values of d (Å) whose 1/d lies in [lo, hi], spaced so their labels do not touch."""
    candidates = [50, 20, 10, 6, 5, 4, 3.5, 3, 2.5, 2.2, 2, 1.8, 1.6, 1.5, 1.4, 1.3, 1.2, 1.1, 1.0,
                  0.9, 0.8, 0.7, 0.6, 0.5]
    ticks: list[float] = []
    for d in candidates:
        if lo <= 1 / d <= hi and (not ticks or 1 / d - 1 / ticks[-1] >= 0.07 * (hi - lo)):
            ticks.append(d)
    return ticks


def resolution_figure(resolution: np.ndarray, inv_d_counts: np.ndarray, step: float, title: str,
                      dpi: float = 100):
    """Crystals' resolution limits (Å) beside the reflections per resolution shell."""
    from matplotlib.ticker import MaxNLocator

    fig = _figure("resolution", dpi)
    fig.suptitle(title)
    left, right = fig.subplots(1, 2)
    res = resolution[np.isfinite(resolution)]
    lo, hi = _robust_range(res)
    inside = res[(res >= lo) & (res <= hi)]
    left.hist(inside, bins=min(60, max(10, int(np.sqrt(len(inside))))), range=(lo, hi),
              color="#4c72b0")
    p10, p50, p90 = np.percentile(res, [10, 50, 90])
    for q, style, label in ((p10, ":", "10th percentile"), (p50, "--", "median"),
                            (p90, ":", "90th percentile")):
        left.axvline(q, color="#c44e52", ls=style, lw=1.5, label=f"{label} {q:.2f} Å")
    left.legend(fontsize="small", frameon=False)
    left.yaxis.set_major_locator(MaxNLocator(integer=True))
    left.set_xlabel("resolution limit (Å)")
    left.set_ylabel("crystals")
    left.set_title("crystals' resolution limits", fontsize="medium")
    if inv_d_counts.any():
        edges, counts = shells(inv_d_counts, step)
        right.bar(edges[:-1], counts, width=np.diff(edges), align="edge", color="#55a868",
                  edgecolor="white", lw=0.5)
        right.set_xlim(edges[0], edges[-1])
        ticks = _d_ticks(edges[0], edges[-1])
        right.set_xticks([1 / d for d in ticks], [f"{d:g}" for d in ticks])
        right.set_xlabel(f"resolution d (Å); {len(counts)} shells of equal reciprocal volume")
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


def panel_outlines(header: str, panels: list[str]) -> dict[str, np.ndarray]:
    """Each panel's four corners in the detector plane (pixels), from the header's geometry.

    Raises ValueError saying why the map cannot be drawn: no geometry, a panel without
    ``corner_x``, ``corner_y``, ``fs``, ``ss`` or its pixel ranges (``min_fs`` …
    ``max_ss``), or a value that is not a finite number.
    """
    keys = panel_keys(header)
    if not keys:
        raise ValueError("the header has no detector geometry")
    outlines = {}
    for name in panels:
        k = keys.get(name, {})
        missing = [key for key in _GEOMETRY_KEYS if key not in k]
        if missing:
            raise ValueError(f"panel {name} has no {missing[0]} in the geometry")
        fs, ss = _vector(k["fs"]), _vector(k["ss"])
        if fs is None or ss is None:
            raise ValueError(f"panel {name}: fs or ss is not a direction such as '+1x'")
        try:
            numbers = {key: float(k[key]) for key in ("corner_x", "corner_y", "min_fs",
                                                      "max_fs", "min_ss", "max_ss")}
        except ValueError as exc:
            raise ValueError(f"panel {name}: {exc}") from None
        corner = np.array([numbers["corner_x"], numbers["corner_y"]])
        fs_edge = np.array(fs) * (numbers["max_fs"] - numbers["min_fs"] + 1)
        ss_edge = np.array(ss) * (numbers["max_ss"] - numbers["min_ss"] + 1)
        outline = np.array([corner, corner + fs_edge, corner + fs_edge + ss_edge, corner + ss_edge])
        if not np.isfinite(outline).all():
            raise ValueError(f"panel {name} has a geometry value that is not a finite number")
        outlines[name] = outline
    if not outlines:
        raise ValueError("no panel to draw")
    return outlines


def panels_figure(panels: list[str], counts: np.ndarray, outlines: dict[str, np.ndarray] | str,
                  title: str, dpi: float = 100, positions: np.ndarray | None = None,
                  bin_pixels: int = 1):
    """Reflections per panel: a detector map beside the counts when ``outlines`` are known,
    else a bar chart of the counts, noting ``outlines`` (the reason there is no map).

    ``positions``, for a single-panel detector, is a 2-D histogram of reflections (rows:
    slow-scan bins, columns: fast-scan bins of ``bin_pixels`` pixels each), drawn instead.
    """
    fig = _figure("panels", dpi)
    fig.suptitle(title)
    if positions is not None:
        return _positions(fig, positions, bin_pixels, panels[0])
    if isinstance(outlines, str):
        ax = fig.subplots()
        ax.bar(np.arange(len(panels)), counts, color="#4c72b0")
        ax.set_xticks(np.arange(len(panels)), panels, rotation=90,
                      fontsize="small" if len(panels) <= 48 else "x-small")
        ax.set_xlim(-0.7, len(panels) - 0.3)
        ax.set_xlabel("panel")
        ax.set_ylabel("reflections")
        ax.set_title(f"no detector map: {outlines}", fontsize="small", color="0.35")
        return fig
    from matplotlib import colormaps
    from matplotlib.collections import PolyCollection
    from matplotlib.colors import Normalize

    corners = np.concatenate(list(outlines.values()))
    span = corners.max(axis=0) - corners.min(axis=0)
    span = np.where(span > 0, span, 1.0)
    # Room for the map by its shape: a tall, narrow detector leaves the rest to the bars.
    aspect = float(span[0] / span[1])
    detector, bars = fig.subplots(1, 2, width_ratios=[float(np.clip(3 * aspect, 0.8, 3)), 2])
    # The scale starts at 0, so panels that differ by a percent look alike, as they are.
    norm = Normalize(0.0, max(float(counts.max()), 1.0))
    cmap = colormaps["viridis"]
    polygons = PolyCollection([outlines[p] for p in panels], array=counts, cmap=cmap, norm=norm,
                              edgecolors="0.3", linewidths=0.5)
    detector.add_collection(polygons)
    lo, hi = corners.min(axis=0) - 0.03 * span, corners.max(axis=0) + 0.03 * span
    detector.set_xlim(lo[0], hi[0])
    detector.set_ylim(lo[1], hi[1])
    detector.set_aspect("equal")
    detector.set_xlabel("x (pixels)")
    detector.set_ylabel("y (pixels)")
    detector.set_title("detector", fontsize="medium")
    fig.colorbar(polygons, ax=detector, label="reflections on the panel (scale from 0)",
                 shrink=0.8)
    if len(panels) <= 128:
        fontsize = 7 if len(panels) <= 32 else 5
        for name, n in zip(panels, counts):
            detector.text(*outlines[name].mean(axis=0), name, ha="center", va="center",
                          fontsize=fontsize, color="black" if norm(n) > 0.5 else "white")
    y = np.arange(len(panels))
    bars.barh(y, counts, color=cmap(norm(counts)), edgecolor="0.3", linewidth=0.3)
    bars.set_yticks(y, panels, fontsize="small" if len(panels) <= 32 else "x-small")
    bars.set_ylim(len(panels) - 0.4, -0.6)
    bars.set_xlabel("reflections")
    bars.set_title("per panel", fontsize="medium")
    return fig


def _positions(fig, positions: np.ndarray, bin_pixels: int, panel: str):
    """The reflections of one panel as a 2-D histogram over its pixels (log colour scale)."""
    from matplotlib.colors import LogNorm

    ax = fig.subplots()
    rows, cols = np.flatnonzero(positions.any(axis=1)), np.flatnonzero(positions.any(axis=0))
    shown = positions[:rows[-1] + 1, :cols[-1] + 1] if len(rows) else positions[:1, :1]
    height, width = shown.shape
    image = ax.imshow(np.ma.masked_equal(shown, 0), origin="lower", cmap="viridis",
                      norm=LogNorm(vmin=1, vmax=max(int(shown.max()), 2)),
                      extent=(0, width * bin_pixels, 0, height * bin_pixels),
                      interpolation="nearest", aspect="equal")
    ax.set_facecolor("0.92")
    ax.set_xlabel(f"fast-scan position fs on {panel} (pixels)")
    ax.set_ylabel("slow-scan position ss (pixels)")
    ax.set_title("where the reflections are: a single-panel detector", fontsize="medium")
    fig.colorbar(image, ax=ax, shrink=0.8,
                 label=f"reflections per {bin_pixels}×{bin_pixels}-pixel bin (log scale; "
                       "grey: none)")
    return fig


def save(fig, path, fmt: str) -> None:
    """Write ``fig`` to ``path`` as ``fmt`` (png, svg or pdf)."""
    fig.savefig(path, format=fmt, metadata=None)
