"""The three tables of a stream (observations, crystals, images) as named NumPy columns.

Each ``*_columns`` function returns the table's columns in order, views of the native
columns wherever the value is stored as is; pandas and Arrow tables are both built
from them, so the two never disagree on a name or a type.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._deps import require

CELL = ("a", "b", "c", "alpha", "beta", "gamma")


_BLOCK = 1 << 14  # reflections per step: the scratch arrays of a step stay in the core's cache


def resolution_d(hkl: np.ndarray, basis: Sequence[np.ndarray], crystal: np.ndarray,
                 first: int = 0) -> np.ndarray:
    """d in ångström of each reflection: 1/d = |h a* + k b* + l c*| of its crystal.

    ``basis`` is (astar, bstar, cstar), each (n_crystals, 3) in Å⁻¹; ``crystal`` holds
    each reflection's crystal id, ``first`` the id of basis row 0. A reflection
    (0, 0, 0) has d = inf; an id outside the basis raises IndexError.

    >>> a = np.array([[0.25, 0, 0]], np.float32); b = np.array([[0, 0.5, 0]], np.float32)
    >>> resolution_d(np.array([[1, 0, 0], [1, 1, 0]], np.int16), (a, b, b * 0), np.array([0, 0]))
    array([4.       , 1.7888544], dtype=float32)
    """
    return per_reflection(hkl, basis, crystal, None, first)[1]


def per_reflection(hkl: np.ndarray, basis: Sequence[np.ndarray], crystal: np.ndarray,
                   image_id: np.ndarray | None, first: int = 0) -> tuple[Any, np.ndarray]:
    """``(image id, d)`` of each reflection, from its crystal's ``image_id`` and ``basis``.

    With the metric G = B Bᵀ of each crystal (in double precision), 1/d² is the sum of
    G's six distinct entries, off-diagonal ones doubled, times the monomials h², k²,
    l², hk, hl, kl; computed in float32 in cache-sized blocks. Reflections come grouped
    by crystal in ascending order (as read from a file), so a block covers a few runs
    of one crystal each, and the crystal values are repeated along the runs rather
    than gathered per reflection; when a block is not in order, all reflections are
    taken in crystal order first. The image ids are None when ``image_id`` is.
    """
    n_crystals = len(basis[0])
    vectors = np.stack(basis, axis=1).astype(np.float64)  # (n_crystals, 3, 3), rows a*, b*, c*
    g = np.einsum("cix,cjx->cij", vectors, vectors)
    weight = np.stack([g[:, 0, 0], g[:, 1, 1], g[:, 2, 2],
                       2 * g[:, 0, 1], 2 * g[:, 0, 2], 2 * g[:, 1, 2]]).astype(np.float32)
    n = len(hkl)
    images = None if image_id is None else np.empty(n, dtype=image_id.dtype)
    d = np.empty(n, dtype=np.float32)
    index = np.empty((3, _BLOCK), dtype=np.float32)
    monomial = np.empty((6, _BLOCK), dtype=np.float32)
    with np.errstate(divide="ignore"):
        for start in range(0, n, _BLOCK):
            stop = min(start + _BLOCK, n)
            m = stop - start
            ids = crystal[start:stop]
            low, high = int(ids[0]), int(ids[-1])
            if not (ids[1:] >= ids[:-1]).all():
                return _in_crystal_order(hkl, basis, crystal, image_id, first)
            if low < first or high >= first + n_crystals:
                raise IndexError(f"crystal id {low if low < first else high} out of range for "
                                 f"{n_crystals} crystals from id {first}")
            c0, c1 = low - first, high - first
            counts = np.diff(np.searchsorted(ids, np.arange(low, high + 2, dtype=ids.dtype)))
            if images is not None and image_id is not None:
                images[start:stop] = np.repeat(image_id[c0:c1 + 1], counts)
            x, mono, inv_d = index[:, :m], monomial[:, :m], d[start:stop]
            np.copyto(x, hkl[start:stop].T, casting="unsafe")
            np.multiply(x, x, out=mono[:3])
            np.multiply(x[0], x[1:], out=mono[3:5])
            np.multiply(x[1], x[2], out=mono[5])
            mono *= np.repeat(weight[:, c0:c1 + 1], counts, axis=1)
            np.add.reduce(mono, axis=0, out=inv_d)
            np.sqrt(inv_d, out=inv_d)
            np.reciprocal(inv_d, out=inv_d)
    return images, d


def _in_crystal_order(hkl, basis, crystal, image_id, first):
    low, high = int(crystal.min()), int(crystal.max())
    if low < first or high >= first + len(basis[0]):
        raise IndexError(f"crystal id {low if low < first else high} out of range for "
                         f"{len(basis[0])} crystals from id {first}")
    order = np.argsort(crystal, kind="stable")
    sorted_images, sorted_d = per_reflection(hkl[order], basis, crystal[order], image_id, first)
    d = np.empty_like(sorted_d)
    d[order] = sorted_d
    if sorted_images is None:
        return None, d
    images = np.empty_like(sorted_images)
    images[order] = sorted_images
    return images, d


# Each table's stored columns, in order: (table column, native column, component of a
# two-dimensional native column or None). Writing and reading both go by this list.
STORED: dict[str, tuple[tuple[str, str, int | None], ...]] = {
    "observations": (
        ("h", "hkl", 0), ("k", "hkl", 1), ("l", "hkl", 2),
        *((name, name, None) for name in ("I", "sigma", "peak", "background", "fs", "ss")),
        ("panel", "panel_id", None), ("crystal_id", "crystal_id", None)),
    "crystals": (
        ("image_id", "image_id", None), ("crystal_in_image", "crystal_in_image", None),
        *((name, "cell", j) for j, name in enumerate(CELL)),
        *((f"{v}star_{x}", f"{v}star", j) for v in "abc" for j, x in enumerate("xyz")),
        *((name, name, None) for name in ("profile_rad", "resolution", "n_refl"))),
    "images": tuple((name, name, None) for name in (
        "beam_energy", "camera_length", "det_shift_x", "det_shift_y", "n_peaks")),
}


def _stored(columns: dict[str, np.ndarray], table: str) -> dict[str, Any]:
    return {name: columns[native] if j is None else columns[native][:, j]
            for name, native, j in STORED[table]}


def observation_columns(columns: dict[str, np.ndarray], first_crystal_id: int) -> dict[str, Any]:
    """Columns of the observations table; "panel" holds the panel codes (-1: unknown)."""
    out = _stored(columns, "observations")
    basis = (columns["astar"], columns["bstar"], columns["cstar"])
    out["image_id"], out["d"] = per_reflection(columns["hkl"], basis, columns["crystal_id"],
                                               columns["image_id"], first_crystal_id)
    return out


def crystal_columns(columns: dict[str, np.ndarray]) -> dict[str, Any]:
    """Columns of the crystals table."""
    return _stored(columns, "crystals")


def image_columns(columns: dict[str, np.ndarray], filenames: list[str],
                  events: list[str]) -> dict[str, Any]:
    """Columns of the images table."""
    return {"filename": filenames, "event": events, **_stored(columns, "images")}


def to_pandas(table: dict[str, Any], panels: Sequence[str], first_row: int,
              index_name: str | None = None) -> Any:
    """A DataFrame over the columns, sharing their memory where pandas allows it.

    Its index counts from ``first_row`` (the table's first id) and is named ``index_name``.
    """
    pd = require("pandas")
    data = dict(table)
    if "panel" in data:
        data["panel"] = pd.Categorical.from_codes(data["panel"], categories=list(panels),
                                                  validate=False)
    n = len(next(iter(data.values())))
    index = pd.RangeIndex(first_row, first_row + n, name=index_name)
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
