"""The native column set: one table that names every column, its type, width and level."""
from __future__ import annotations

from typing import NamedTuple

import numpy as np

OBSERVATION, CRYSTAL, IMAGE = "observation", "crystal", "image"


class Column(NamedTuple):
    name: str
    dtype: np.dtype
    width: int  # values per row; 1 is a one-dimensional array
    level: str


def _c(name: str, dtype: str, width: int, level: str) -> Column:
    return Column(name, np.dtype(dtype), width, level)


# In the order parse_chunks returns them.
COLUMNS: tuple[Column, ...] = (
    _c("hkl", "int16", 3, OBSERVATION), _c("I", "float32", 1, OBSERVATION),
    _c("sigma", "float32", 1, OBSERVATION), _c("peak", "float32", 1, OBSERVATION),
    _c("background", "float32", 1, OBSERVATION), _c("fs", "float32", 1, OBSERVATION),
    _c("ss", "float32", 1, OBSERVATION), _c("panel_id", "int16", 1, OBSERVATION),
    _c("crystal_id", "int32", 1, OBSERVATION),
    _c("cell", "float32", 6, CRYSTAL), _c("astar", "float32", 3, CRYSTAL),
    _c("bstar", "float32", 3, CRYSTAL), _c("cstar", "float32", 3, CRYSTAL),
    _c("profile_rad", "float32", 1, CRYSTAL), _c("resolution", "float32", 1, CRYSTAL),
    _c("n_refl", "int32", 1, CRYSTAL), _c("image_id", "int32", 1, CRYSTAL),
    _c("crystal_in_image", "int32", 1, CRYSTAL),
    _c("beam_energy", "float32", 1, IMAGE), _c("det_shift_x", "float32", 1, IMAGE),
    _c("det_shift_y", "float32", 1, IMAGE), _c("camera_length", "float32", 1, IMAGE),
    _c("n_peaks", "int32", 1, IMAGE),
)
BY_NAME = {c.name: c for c in COLUMNS}
# The column whose length is each level's row count.
COUNTED_BY = {OBSERVATION: "I", CRYSTAL: "n_refl", IMAGE: "beam_energy"}


def empty_columns() -> dict[str, np.ndarray]:
    """The 23 columns of a stream without images, shaped as parse_chunks shapes them."""
    return {c.name: np.empty((0, c.width) if c.width > 1 else 0, dtype=c.dtype) for c in COLUMNS}


def check_columns(columns: dict[str, np.ndarray]) -> dict[str, int]:
    """Row counts per level; ValueError when a column is missing or has the wrong type or length."""
    counts = {level: len(columns[name]) if name in columns else 0
              for level, name in COUNTED_BY.items()}
    for c in COLUMNS:
        if c.name not in columns:
            raise ValueError(f"columns has no {c.name!r}")
        array = columns[c.name]
        shape = (counts[c.level], c.width) if c.width > 1 else (counts[c.level],)
        if not isinstance(array, np.ndarray) or array.dtype != c.dtype or array.shape != shape:
            got = (f"{array.dtype} {array.shape}" if isinstance(array, np.ndarray)
                   else type(array).__name__)
            raise ValueError(f"column {c.name!r} must be {c.dtype} of shape {shape}, got {got}")
    return counts


def take_rows(columns: dict[str, np.ndarray], level: str, rows: np.ndarray | slice) -> dict[str, np.ndarray]:
    """The columns of one level restricted to ``rows`` (a mask, indices or a slice)."""
    return {c.name: columns[c.name][rows] for c in COLUMNS if c.level == level}


def concatenate(parts: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """Every column of the parts, one after the other."""
    return {c.name: np.concatenate([p[c.name] for p in parts]) for c in COLUMNS}
