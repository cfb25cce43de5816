"""quillon: read crystallography ``.stream`` files into tables, in one line or in batches.

Being filled in: read, iter_batches, concat, read_parquet, Stream, read_header and
parse_rows follow in the next commits.
"""
from __future__ import annotations

from ._geometry import panels_from_header
from ._sizes import parse_size

__all__ = ["panels_from_header", "parse_size"]
