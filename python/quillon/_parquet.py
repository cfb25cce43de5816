"""Arrow tables and Parquet folders of a Stream, and back."""
from __future__ import annotations

import json
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _tables
from ._deps import require
from ._native import PathLike, fspath
from ._stream import Stream

if TYPE_CHECKING:
    import pyarrow as pa

TABLES = ("observations", "crystals", "images")
METADATA_KEY = b"quillon"
FORMAT_VERSION = 1


def _metadata(stream: Stream) -> bytes:
    return json.dumps({
        "version": FORMAT_VERSION, "header": stream.header, "panels": stream.panels,
        "report": [[reason, n, offset] for reason, (n, offset) in stream.report.items()],
        "path": stream.path, "first_crystal_id": stream.first_crystal_id,
        "first_image_id": stream.first_image_id,
    }).encode()  # ASCII escapes: a path that is not UTF-8 (surrogates) survives


def to_arrow(stream: Stream) -> dict[str, pa.Table]:
    """The three tables as pyarrow Tables carrying the Stream's metadata."""
    columns = stream.columns
    tables = {
        "observations": _tables.observation_columns(columns, stream.first_crystal_id),
        "crystals": _tables.crystal_columns(columns),
        "images": _tables.image_columns(columns, stream.filenames, stream.events),
    }
    metadata = {METADATA_KEY: _metadata(stream)}
    return {name: _tables.to_arrow(table, stream.panels).replace_schema_metadata(metadata)
            for name, table in tables.items()}


def to_parquet(stream: Stream, folder: PathLike, **kwargs: Any) -> None:
    """Write the three tables as ``<table>.parquet`` files into ``folder``.

    ``kwargs`` go to ``pyarrow.parquet.write_table`` (``compression``, ``use_dictionary``, …).
    """
    pq = require("pyarrow.parquet")
    folder = fspath(folder)
    os.makedirs(folder, exist_ok=True)
    for name, table in to_arrow(stream).items():
        pq.write_table(table, os.path.join(folder, f"{name}.parquet"), **kwargs)


def _numpy(table: pa.Table, name: str, dtype: str) -> np.ndarray:
    values = table.column(name).combine_chunks().to_numpy(zero_copy_only=False)
    return values.astype(dtype, copy=False)


def _stack(table: pa.Table, names: list[str], dtype: str) -> np.ndarray:
    return np.ascontiguousarray(np.column_stack([_numpy(table, n, dtype) for n in names])
                                .reshape(-1, len(names)))


def _panel_ids(column: Any, panels: list[str]) -> np.ndarray:
    """``panel_id`` from a dictionary column whose dictionary may differ from ``panels``."""
    pa = require("pyarrow")
    array = column.combine_chunks() if column.num_chunks != 1 else column.chunk(0)
    if not pa.types.is_dictionary(array.type):
        array = array.dictionary_encode()
    position = {name: i for i, name in enumerate(panels)}
    mapping = np.array([position[name] for name in array.dictionary.to_pylist()] + [-1], np.int16)
    codes = array.indices.fill_null(-1).to_numpy(zero_copy_only=False).astype(np.intp)
    return mapping[codes]


def read_parquet(folder: PathLike) -> Stream:
    """The Stream written by :meth:`Stream.to_parquet` into ``folder``, exactly.

    >>> import tempfile
    >>> folder = tempfile.mkdtemp()
    >>> quillon.Stream.empty(["p0"], header="Some header\\n").to_parquet(folder)
    >>> quillon.read_parquet(folder).header
    'Some header\\n'
    """
    pq = require("pyarrow.parquet")
    folder = fspath(folder)
    obs, cryst, img = (pq.read_table(os.path.join(folder, f"{name}.parquet")) for name in TABLES)
    raw = (img.schema.metadata or {}).get(METADATA_KEY)
    if raw is None:
        raise ValueError(f"{folder}/images.parquet was not written by quillon (no metadata)")
    meta = json.loads(raw)
    panels = meta["panels"]
    f32 = "float32"
    columns = {"hkl": _stack(obs, ["h", "k", "l"], "int16")}
    for name in ("I", "sigma", "peak", "background", "fs", "ss"):
        columns[name] = _numpy(obs, name, f32)
    columns["panel_id"] = _panel_ids(obs.column("panel"), panels)
    columns["crystal_id"] = _numpy(obs, "crystal_id", "int32")
    columns["cell"] = _stack(cryst, list(_tables.CELL), f32)
    for v in "abc":
        columns[f"{v}star"] = _stack(cryst, [f"{v}star_{x}" for x in "xyz"], f32)
    for name, dtype in (("profile_rad", f32), ("resolution", f32), ("n_refl", "int32"),
                        ("image_id", "int32"), ("crystal_in_image", "int32")):
        columns[name] = _numpy(cryst, name, dtype)
    for name, dtype in (("beam_energy", f32), ("det_shift_x", f32), ("det_shift_y", f32),
                        ("camera_length", f32), ("n_peaks", "int32")):
        columns[name] = _numpy(img, name, dtype)
    report = {reason: (n, offset) for reason, n, offset in meta["report"]}
    return Stream(columns, img.column("filename").to_pylist(), img.column("event").to_pylist(),
                  report, header=meta["header"], panels=panels, path=meta["path"],
                  first_crystal_id=meta["first_crystal_id"], first_image_id=meta["first_image_id"])
