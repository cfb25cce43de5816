"""The three tables of a stream (observations, crystals, images) as named NumPy columns.

Each ``*_columns`` function returns the table's columns in order, views of the native
columns wherever the value is stored as is; pandas and Arrow tables are both built
from them, so the two never disagree on a name or a type.
"""
from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import Any, Sequence

import numpy as np

from ._deps import require

CELL = ("a", "b", "c", "alpha", "beta", "gamma")


_BLOCK = 1 << 15  # rows per step: the scratch arrays of a step stay in the core's cache


def resolution_d(hkl: np.ndarray, basis: Sequence[np.ndarray], crystal: np.ndarray,
                 n_threads: int = 1) -> np.ndarray:
    """d in ångström of each reflection: 1/d = |h a* + k b* + l c*| of its crystal.

    ``basis`` is (astar, bstar, cstar), each (n_crystals, 3) in Å⁻¹; ``crystal`` holds
    each reflection's row in them. With the metric G = B Bᵀ of each crystal (in double
    precision), 1/d² = h (G00 h + 2 G01 k + 2 G02 l) + k (G11 k + 2 G12 l) + l G22 l:
    six gathers per reflection instead of nine. Computed in float32, in cache-sized
    blocks spread over ``n_threads`` threads. A reflection (0, 0, 0) has d = inf.

    >>> a = np.array([[0.25, 0, 0]], np.float32); b = np.array([[0, 0.5, 0]], np.float32)
    >>> resolution_d(np.array([[1, 0, 0], [1, 1, 0]], np.int16), (a, b, b * 0), np.array([0, 0]))
    array([4.       , 1.7888544], dtype=float32)
    """
    n = len(hkl)
    vectors = np.stack(basis, axis=1).astype(np.float64)  # (n_crystals, 3, 3), rows a*, b*, c*
    metric = np.einsum("cix,cjx->cij", vectors, vectors)
    # weight[i][j - i]: one contiguous float32 array per entry j >= i, off-diagonal doubled
    weight = [[(metric[:, i, j] * (1 if i == j else 2)).astype(np.float32) for j in range(i, 3)]
              for i in range(3)]
    out = np.empty(n, dtype=np.float32)

    def blocks(first: int, step: int) -> None:
        h, k, l, gathered, bracket = (np.empty(_BLOCK, dtype=np.float32) for _ in range(5))
        for start in range(first * _BLOCK, n, step * _BLOCK):
            stop = min(start + _BLOCK, n)
            m = stop - start
            rows, inv_d2 = crystal[start:stop], out[start:stop]
            indices = (h[:m], k[:m], l[:m])
            for j, index in enumerate(indices):
                index[:] = hkl[start:stop, j]
            g, b = gathered[:m], bracket[:m]
            for i in range(3):  # b = the bracket multiplied by index i
                np.take(weight[i][0], rows, out=b)
                b *= indices[i]
                for j in range(i + 1, 3):
                    np.take(weight[i][j - i], rows, out=g)
                    g *= indices[j]
                    b += g
                if i == 0:
                    np.multiply(b, indices[0], out=inv_d2)
                else:
                    b *= indices[i]
                    inv_d2 += b
            np.sqrt(inv_d2, out=inv_d2)
            with np.errstate(divide="ignore"):
                np.reciprocal(inv_d2, out=inv_d2)

    workers = max(1, min(n_threads, -(-n // _BLOCK)))
    if workers == 1:
        blocks(0, 1)
    else:
        with ThreadPoolExecutor(workers) as pool:  # NumPy lets go of the GIL in each step
            list(pool.map(blocks, range(workers), [workers] * workers))
    return out


def observation_columns(columns: dict[str, np.ndarray], first_crystal_id: int,
                        n_threads: int = 1) -> dict[str, Any]:
    """Columns of the observations table; "panel" holds the panel codes (-1: unknown)."""
    hkl = columns["hkl"]
    crystal_id = columns["crystal_id"]
    local = crystal_id - np.int32(first_crystal_id) if first_crystal_id else crystal_id
    basis = (columns["astar"], columns["bstar"], columns["cstar"])
    out: dict[str, Any] = {"h": hkl[:, 0], "k": hkl[:, 1], "l": hkl[:, 2]}
    for name in ("I", "sigma", "peak", "background", "fs", "ss"):
        out[name] = columns[name]
    out["panel"] = columns["panel_id"]
    out["crystal_id"] = crystal_id
    out["image_id"] = np.take(columns["image_id"], local)
    out["d"] = resolution_d(hkl, basis, local, n_threads)
    return out


def crystal_columns(columns: dict[str, np.ndarray]) -> dict[str, Any]:
    """Columns of the crystals table."""
    out: dict[str, Any] = {"image_id": columns["image_id"],
                           "crystal_in_image": columns["crystal_in_image"]}
    out.update((name, columns["cell"][:, j]) for j, name in enumerate(CELL))
    for v in "abc":
        out.update((f"{v}star_{x}", columns[f"{v}star"][:, j]) for j, x in enumerate("xyz"))
    for name in ("profile_rad", "resolution", "n_refl"):
        out[name] = columns[name]
    return out


def image_columns(columns: dict[str, np.ndarray], filenames: list[str],
                  events: list[str]) -> dict[str, Any]:
    """Columns of the images table."""
    out: dict[str, Any] = {"filename": filenames, "event": events}
    for name in ("beam_energy", "camera_length", "det_shift_x", "det_shift_y", "n_peaks"):
        out[name] = columns[name]
    return out


def to_pandas(table: dict[str, Any], panels: Sequence[str], first_row: int) -> Any:
    """A DataFrame over the columns, sharing their memory where pandas allows it.

    Its index counts from ``first_row`` (the table's first id).
    """
    pd = require("pandas")
    data = dict(table)
    if "panel" in data:
        data["panel"] = pd.Categorical.from_codes(data["panel"], categories=list(panels),
                                                  validate=False)
    n = len(next(iter(data.values())))
    index = pd.RangeIndex(first_row, first_row + n)
    for name, values in data.items():
        if isinstance(values, list):  # text: pandas' string dtype, also when empty
            data[name] = pd.Series(values, index=index, dtype=str)
    # copy=False keeps one block per column instead of consolidating (and copying) them.
    return pd.DataFrame(data, index=index, copy=False)


def to_arrow(table: dict[str, Any], panels: Sequence[str]) -> Any:
    """A pyarrow Table of the columns; numeric columns contiguous in memory are not copied."""
    pa = require("pyarrow")
    arrays = []
    for name, values in table.items():
        if name == "panel":
            codes = pa.array(values, mask=values < 0)
            arrays.append(pa.DictionaryArray.from_arrays(codes, pa.array(list(panels), pa.string())))
        elif isinstance(values, list):
            arrays.append(pa.array(values, pa.string()))
        else:
            arrays.append(pa.array(values))
    return pa.Table.from_arrays(arrays, names=list(table))
