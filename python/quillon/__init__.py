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

from importlib.metadata import PackageNotFoundError as _NotFound
from importlib.metadata import version as _version

from ._geometry import panels_from_header
from ._merge import Merged, Scale, Statistics, merge, statistics
from ._output import ForeignFolderError, SameFileError
from ._parquet import read_parquet
from ._read import concat, iter_batches, parse_rows, read, read_header
from ._sizes import parse_size
from ._source import StreamChangedError
from ._stream import Stream, UnknownPanelWarning, schema

try:
    __version__ = _version("quillon_native")
except _NotFound:  # pragma: no cover - run from a source tree without the distribution
    __version__ = "0+unknown"

__all__ = ["ForeignFolderError", "Merged", "SameFileError", "Scale", "Statistics", "Stream",
           "StreamChangedError", "UnknownPanelWarning", "concat", "iter_batches", "merge",
           "panels_from_header", "parse_rows", "parse_size", "read", "read_header",
           "read_parquet", "schema", "statistics"]
