"""quillon: read crystallography ``.stream`` files into pandas and Arrow tables.

>>> import quillon
>>> s = quillon.read("run7.stream")                      # doctest: +SKIP
>>> s.observations, s.crystals, s.images                 # doctest: +SKIP
>>> for batch in quillon.iter_batches("run7.stream", batch_bytes="1 GiB"):  # doctest: +SKIP
...     ...

NumPy is the only required dependency; the tables need pandas and pyarrow
(``pip install "quillon_native[tables]"``).
"""
from __future__ import annotations

from typing import Any as _Any

from ._geometry import panels_from_header
from ._merge import Merged, Scale, Statistics, merge, statistics
from ._output import ForeignFolderError, SameFileError
from ._parquet import read_parquet
from ._read import concat, iter_batches, parse_rows, read, read_header
from ._sizes import parse_size
from ._source import StreamChangedError
from ._stream import Stream, UnknownPanelWarning, schema


def __getattr__(name: str) -> _Any:
    # The version is looked up on first use: importlib.metadata costs every command about
    # 30 ms at start-up otherwise.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version
        try:
            return version("quillon_native")
        except PackageNotFoundError:  # run from a source tree without the distribution
            return "0+unknown"
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = ["ForeignFolderError", "Merged", "SameFileError", "Scale", "Statistics", "Stream",
           "StreamChangedError", "UnknownPanelWarning", "concat", "iter_batches", "merge",
           "panels_from_header", "parse_rows", "parse_size", "read", "read_header",
           "read_parquet", "schema", "statistics"]
