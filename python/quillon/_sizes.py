"""Byte sizes written the way people write them: "1 GiB", "500MB", "16M", 4096."""
from __future__ import annotations

import math
import re

_UNITS = {
    "": 1, "b": 1,
    "k": 1 << 10, "kib": 1 << 10, "kb": 10**3,
    "m": 1 << 20, "mib": 1 << 20, "mb": 10**6,
    "g": 1 << 30, "gib": 1 << 30, "gb": 10**9,
    "t": 1 << 40, "tib": 1 << 40, "tb": 10**12,
}
_SIZE = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][+-]?[0-9]+)?)\s*([a-zA-Z]*)\s*")


def parse_size(size: int | str) -> int:
    """The number of bytes that ``size`` names.

    An int is taken as bytes. Text is a number and an optional unit: ``K``, ``M``,
    ``G``, ``T`` and ``KiB`` … ``TiB`` are powers of 1024, ``kB`` … ``TB`` powers of
    1000 (units are case-insensitive).

    >>> parse_size("1 GiB"), parse_size("16M"), parse_size("1.5 kB"), parse_size(4096)
    (1073741824, 16777216, 1500, 4096)
    """
    if isinstance(size, bool):
        raise TypeError("size must be an int or a str such as '1 GiB', not bool")
    if isinstance(size, int):
        value = size
    elif isinstance(size, str):
        match = _SIZE.fullmatch(size)
        unit = match.group(2).lower() if match else None
        if match is None or unit not in _UNITS:
            raise ValueError(f"not a byte size: {size!r} (try '1 GiB', '500 MB' or '16M')")
        number = float(match.group(1)) * _UNITS[unit]
        if not math.isfinite(number):
            raise ValueError(f"not a byte size: {size!r} is too large")
        value = int(number)
    else:
        raise TypeError(f"size must be an int or a str such as '1 GiB', not {type(size).__name__}")
    if value < 1:
        raise ValueError(f"size must be at least 1 byte, got {size!r}")
    return value
