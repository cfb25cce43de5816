"""Merging on a Dask cluster: each partition's partial sums, reduced in stream order by a tree."""
from __future__ import annotations

import functools
from typing import Any

from dask.delayed import delayed

from . import _merge, _symmetry

_FAN_IN = 8  # partial sums joined by one reduction task


def _partial(part: Any, symbol: str, centering: str | None, unique_axis: str | None,
             polarisation: bool) -> _merge.Sums:
    # gemmi's objects do not travel between processes: each task makes its own from the symbol.
    sym = _symmetry.symmetry(symbol, centering, unique_axis)
    return _merge.partial_sums(part, sym, polarisation)


def _combine(parts: list[_merge.Sums]) -> _merge.Sums:
    return functools.reduce(_merge.Sums.combine, parts)


def reduce_sums(parts: list[Any], symbol: str, header: str, polarisation: bool,
                **compute: Any) -> tuple[_merge.Sums, _symmetry.Symmetry, _symmetry.TargetCell]:
    """The :class:`quillon._merge.Sums` of parsed partitions (Delayed Streams in stream order)."""
    sym, target = _merge.resolve_symmetry(symbol, header)
    sums = [delayed(_partial, pure=True)(p, symbol, target.centering, target.unique_axis,
                                         polarisation) for p in parts]
    while len(sums) > 1:  # a tree that keeps the order: the halves depend on it
        sums = [delayed(_combine, pure=True)(sums[i:i + _FAN_IN])
                for i in range(0, len(sums), _FAN_IN)]
    total = sums[0].compute(**compute) if sums else _merge.Sums.empty(header)
    return total, sym, target


def merge(parts: list[Any], header: str, symmetry: str, *, cell: Any = None,
          polarisation: bool = True, min_measurements: int = 2, d_min: float | None = None,
          d_max: float | None = None, **compute: Any) -> _merge.Merged:
    minimum = _merge._check(min_measurements)
    sums, sym, target = reduce_sums(parts, symmetry, header, polarisation, **compute)
    resolved, note = _merge.resolve_cell(cell, target, sums.cells)
    return _merge.merged_from(sums, sym, resolved, note, min_measurements=minimum,
                              d_min=d_min, d_max=d_max)


def statistics(parts: list[Any], header: str, symmetry: str, *, shells: int = 10,
               cell: Any = None, scale: bool = True, polarisation: bool = True,
               min_measurements: int = 2, d_min: float | None = None,
               d_max: float | None = None, **compute: Any) -> _merge.Statistics:
    minimum = _merge._check(min_measurements)
    sums, sym, target = reduce_sums(parts, symmetry, header, polarisation, **compute)
    resolved, note = _merge.resolve_cell(cell, target, sums.cells)
    return _merge.statistics_from(sums, sym, resolved, note, target.centering, shells=shells,
                                  scale=scale, min_measurements=minimum, d_min=d_min, d_max=d_max)
