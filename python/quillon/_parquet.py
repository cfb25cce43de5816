"""The tables of a Stream as Arrow tables and as a folder of Parquet datasets, and back.

One layout for every writer (:meth:`Stream.to_parquet`, ``quillon convert`` and
:meth:`quillon.dask.DaskStream.to_parquet`)::

    out/quillon.json             the record: format version, header, panels, report, …
    out/observations/*.parquet   one or more parts, in the order of their numbers
    out/crystals/*.parquet
    out/images/*.parquet

Every part carries, under the schema metadata key ``quillon``, the version and the id of
the write it belongs to (``write``), so parts of two writes are never read as one. The
record is written last. :func:`read_parquet` checks all of this and the tables' contents
(ids in range and in order, ``n_refl`` equal to each crystal's reflections, values that
fit their types) and refuses anything else with ValueError.

Earlier versions wrote one file per table, ``observations.parquet``, ``crystals.parquet``
and ``images.parquet``, with the record (format version 1, no ``write``) in the schema
metadata under the same key: in all three tables (``Stream.to_parquet``) or in the images
table only (``quillon convert``, which wrote the other two batch by batch). Their crystals
and images tables have no id column: a row's id is its position counted from the record's
first id. :func:`read_parquet` reads them too, through the same checks.
"""
from __future__ import annotations

import contextlib
import json
import os
import re
import uuid
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _columns, _tables
from ._deps import require
from ._native import PathLike, fspath
from ._output import output_folder
from ._stream import Stream

if TYPE_CHECKING:
    import pyarrow as pa

TABLES = ("observations", "crystals", "images")
METADATA_KEY = b"quillon"
RECORD = "quillon.json"
FORMAT = "quillon tables"
FORMAT_VERSION = 2
EARLIER_VERSION = 1  # one <table>.parquet file per table, the record in their metadata


def record(stream: Stream, write: str | None = None, report: Any = None) -> dict[str, Any]:
    """What a folder of tables says about the Stream beside its rows."""
    report = stream.report if report is None else report
    return {"format": FORMAT, "version": FORMAT_VERSION, "write": write,
            "header": stream.header, "panels": stream.panels,
            "report": [[reason, int(n), int(offset)] for reason, (n, offset) in report.items()],
            "path": stream.path, "first_crystal_id": stream.first_crystal_id,
            "first_image_id": stream.first_image_id, "headers_differ": stream.headers_differ}


def part_metadata(table: str, write: str) -> dict[bytes, bytes]:
    """The schema metadata of every part of ``table`` in the write ``write``."""
    return {METADATA_KEY: json.dumps({"format": FORMAT, "version": FORMAT_VERSION,
                                      "table": table, "write": write}).encode()}


def _arrow_table(stream: Stream, name: str) -> pa.Table:
    columns = stream.columns
    table: dict[str, Any]
    if name == "observations":
        table = _tables.observation_columns(columns, stream.first_crystal_id)
    elif name == "crystals":
        ids = np.arange(stream.first_crystal_id, stream.first_crystal_id + stream.n_crystals,
                        dtype=np.int32)
        table = {"crystal_id": ids, **_tables.crystal_columns(columns)}
    else:
        ids = np.arange(stream.first_image_id, stream.first_image_id + stream.n_images,
                        dtype=np.int32)
        table = {"image_id": ids, **_tables.image_columns(columns, stream.filenames, stream.events)}
    return _tables.to_arrow(table, stream.panels)


def to_arrow(stream: Stream) -> dict[str, pa.Table]:
    """The three tables as pyarrow Tables, each carrying the Stream's record as metadata."""
    metadata = {METADATA_KEY: json.dumps(record(stream)).encode()}  # ASCII: a non-UTF-8 path survives
    return {name: _arrow_table(stream, name).replace_schema_metadata(metadata) for name in TABLES}


def write_record(folder: str, data: dict[str, Any]) -> None:
    with open(os.path.join(folder, RECORD), "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)  # ASCII escapes: a path that is not UTF-8 survives


class TablesWriter:
    """Writes Streams one after the other (the batches of a file) as one folder of tables.

    Each table is one Parquet file of a row group per batch, so memory holds one batch.
    ``close`` writes the record; ``folder`` must exist (see :func:`quillon._output.output_folder`).
    """

    def __init__(self, folder: str, **kwargs: Any) -> None:
        self.folder = folder
        self.write_id = uuid.uuid4().hex
        self.kwargs = kwargs
        self._writers: dict[str, Any] = {}
        self._files = contextlib.ExitStack()
        self._wrote = False

    def write(self, stream: Stream) -> None:
        pq = require("pyarrow.parquet")
        self._wrote = True
        for name in TABLES:
            table = _arrow_table(stream, name)
            if name not in self._writers:
                os.mkdir(os.path.join(self.folder, name))
                schema = table.schema.with_metadata(part_metadata(name, self.write_id))
                # A Python file, as pyarrow takes only names that are valid UTF-8; it lives
                # as long as the writer and is closed by abort().
                path = os.path.join(self.folder, name, "part.0.parquet")
                f = self._files.enter_context(open(path, "wb"))  # noqa: SIM115
                self._writers[name] = pq.ParquetWriter(f, schema, **self.kwargs)
            self._writers[name].write_table(table.cast(self._writers[name].schema))

    def close(self, like: Stream, report: Any = None) -> None:
        """Finish the files and write the record, which takes its header, panels, path and
        first ids from ``like``, and ``report`` (default: ``like``'s)."""
        if not self._wrote:
            self.write(Stream.empty(like.panels))
        self.abort()
        write_record(self.folder, record(like, self.write_id, report))

    def abort(self) -> None:
        for writer in self._writers.values():
            writer.close()
        self._writers.clear()
        self._files.close()


def to_parquet(stream: Stream, folder: PathLike, **kwargs: Any) -> None:
    """Write the Stream's tables into ``folder`` (see :meth:`Stream.to_parquet`)."""
    with output_folder(folder, inputs=[stream.path], owned=is_tables_folder) as tmp:
        writer = TablesWriter(tmp, **kwargs)
        try:
            writer.write(stream)
        finally:
            writer.abort()
        writer.close(stream)


# -- reading --------------------------------------------------------------------------


def _part_order(name: str) -> list[Any]:
    """part.2 before part.10."""
    return [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", name)]


def part_files(folder: str, table: str) -> list[str]:
    """The data files of a table, in order (names starting with "_" or "." are not data)."""
    where = os.path.join(folder, table)
    if not os.path.isdir(where):
        raise ValueError(f"{folder}: no {table}/ folder, so not a folder of quillon tables")
    names = sorted((n for n in os.listdir(where) if not n.startswith(("_", "."))), key=_part_order)
    if not names:
        raise ValueError(f"{where}: holds no Parquet file")
    return [os.path.join(where, n) for n in names]


def read_record(folder: str) -> dict[str, Any]:
    """The record of a folder of tables; ValueError when it is missing, broken or of
    another version."""
    path = os.path.join(folder, RECORD)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        if os.path.isfile(os.path.join(folder, "observations.parquet")):
            raise ValueError(f"{folder}: tables in the layout of an earlier quillon (one file "
                             "per table): read them with quillon.read_parquet, or write them "
                             "in this layout with `quillon convert`") from None
        raise ValueError(f"{folder}: no {RECORD}, so not a folder written by quillon") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{path}: broken ({exc})") from None
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise ValueError(f"{path}: not a record of quillon tables")
    if data.get("version") != FORMAT_VERSION:
        raise ValueError(f"{path}: format version {data.get('version')!r}, but this quillon "
                         f"reads version {FORMAT_VERSION}; convert the stream again")
    _check_record(data, path, texts=("header", "write"))
    return data


def _check_record(data: dict[str, Any], path: str, texts: tuple[str, ...]) -> None:
    """ValueError naming ``path`` unless the record's fields have their types and ranges."""
    try:
        _check_fields(data, texts)
    except (KeyError, TypeError, ValueError) as exc:
        raise ValueError(f"{path}: broken ({exc!r})") from None


def _check_fields(data: dict[str, Any], texts: tuple[str, ...]) -> None:
    for key in texts:
        if not isinstance(data[key], str):
            raise TypeError(f"{key} must be text")
    if not all(isinstance(p, str) for p in data["panels"]) or len(set(data["panels"])) != len(
            data["panels"]):
        raise ValueError("panels must be distinct names")
    for reason, n, offset in data["report"]:
        if not (isinstance(reason, str) and isinstance(n, int) and isinstance(offset, int)):
            raise TypeError("report entries are [reason, count, offset]")
    for key in ("first_crystal_id", "first_image_id"):
        if not isinstance(data[key], int) or not 0 <= data[key] < 2**31:
            raise ValueError(f"{key} must be an id from 0")
    if data["path"] is not None and not isinstance(data["path"], str):
        raise TypeError("path must be text or null")


def check_parts(folder: str, data: dict[str, Any]) -> dict[str, list[str]]:
    """The part files of each table, checked to belong to the write the record names."""
    parts = {}
    for table in TABLES:
        parts[table] = files = part_files(folder, table)
        for path in files:
            raw = (_schema(path).metadata or {}).get(METADATA_KEY)
            try:
                meta = json.loads(raw) if raw is not None else {}
            except (UnicodeDecodeError, json.JSONDecodeError):
                meta = {}
            if not isinstance(meta, dict) or meta.get("table") != table:
                raise ValueError(f"{path}: not a part written by quillon")
            if meta.get("version") != FORMAT_VERSION or meta.get("write") != data["write"]:
                raise ValueError(f"{path}: from another write than {RECORD} (an interrupted or "
                                 "mixed output); write the tables again")
    return parts


def _schema(path: str) -> pa.Schema:
    pq = require("pyarrow.parquet")
    with open(path, "rb") as f:
        return pq.read_schema(f)


def is_tables_folder(folder: str) -> bool:
    """Whether ``folder`` is an earlier output of quillon that may be replaced: a folder of
    tables (this layout), or what earlier versions wrote (three ``<table>.parquet`` files, or
    three table folders of Dask parts with the panel names in their metadata)."""
    try:
        names = set(os.listdir(folder))
    except OSError:
        return False
    if names == {RECORD, *TABLES}:
        try:
            return read_record(folder) is not None
        except ValueError:
            with open(os.path.join(folder, RECORD), encoding="utf-8", errors="replace") as f:
                return f'"format": "{FORMAT}"' in f.read()
    if names == {f"{t}.parquet" for t in TABLES}:  # Stream.to_parquet before the record
        files, key = [os.path.join(folder, n) for n in names], METADATA_KEY
    elif names == set(TABLES):  # quillon.dask before the record
        try:
            files = [f for t in TABLES for f in part_files(folder, t)]
        except (OSError, ValueError):
            return False
        key = b"quillon.panels"
    else:
        return False
    try:
        return all(key in (_schema(f).metadata or {}) for f in files)
    except (OSError, ValueError):
        return False


def _read_table(files: list[str]) -> pa.Table:
    pa = require("pyarrow")
    pq = require("pyarrow.parquet")
    tables = []
    for path in files:
        with open(path, "rb") as f:  # a Python file: pyarrow takes only valid UTF-8 names
            tables.append(pq.read_table(f))
    return pa.concat_tables(tables, promote_options="permissive") if len(tables) > 1 else tables[0]


def _values(table: pa.Table, name: str, dtype: np.dtype, where: str) -> np.ndarray:
    """A column as ``dtype``; ValueError for a missing column, a missing value in an integer
    column, or a value that does not fit ``dtype``."""
    pa = require("pyarrow")
    if name not in table.column_names:
        raise ValueError(f"{where}: no column {name!r}")
    column = table.column(name)
    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    kind = dtype.kind
    if kind == "i" and column.null_count:
        raise ValueError(f"{where}: column {name!r} has {column.null_count:,} missing values")
    try:
        values = np.asarray(column.to_numpy())
    except (pa.ArrowException, TypeError) as exc:
        raise ValueError(f"{where}: column {name!r} is not numeric ({exc})") from None
    if values.dtype == dtype:
        return values
    if values.dtype.kind not in "iufb":
        raise ValueError(f"{where}: column {name!r} holds {column.type}, not numbers")
    if kind == "i":
        info = np.iinfo(dtype)
        if values.dtype.kind == "f" and not np.array_equal(values, np.round(values)):
            raise ValueError(f"{where}: column {name!r} holds values that are not whole numbers")
        if len(values) and (values.min() < info.min or values.max() > info.max):
            raise ValueError(f"{where}: column {name!r} holds values outside {dtype} "
                             f"({info.min} to {info.max})")
    elif values.dtype.kind == "f":
        finite = values[np.isfinite(values)]
        if len(finite) and np.abs(finite).max() > np.finfo(dtype).max:
            raise ValueError(f"{where}: column {name!r} holds values too large for {dtype}")
    return values.astype(dtype)


def _native_columns(tables: dict[str, pa.Table], where: dict[str, str]) -> dict[str, np.ndarray]:
    """The native columns from the stored table columns, by the one table of both."""
    pieces: dict[str, dict[int | None, np.ndarray]] = {}
    for table, stored in _tables.STORED.items():
        for name, native, j in stored:
            if native == "panel_id":
                continue
            dtype = _columns.BY_NAME[native].dtype
            pieces.setdefault(native, {})[j] = _values(tables[table], name, dtype, where[table])
    columns = {}
    for native, parts in pieces.items():
        if None in parts:
            columns[native] = np.ascontiguousarray(parts[None])
        else:
            order = sorted(j for j in parts if j is not None)
            columns[native] = np.ascontiguousarray(np.column_stack([parts[j] for j in order]))
    return columns


def _panel_ids(table: pa.Table, panels: list[str], where: str) -> np.ndarray:
    """``panel_id`` from the "panel" column, whose dictionary may differ from ``panels``."""
    pa = require("pyarrow")
    if "panel" not in table.column_names:
        raise ValueError(f"{where}: no column 'panel'")
    column = table.column("panel")
    if not pa.types.is_dictionary(column.type):
        column = column.dictionary_encode()
    position = {name: i for i, name in enumerate(panels)}
    out = []
    for chunk in column.chunks:
        names = chunk.dictionary.to_pylist()
        unknown = [n for n in names if n not in position]
        if unknown:
            raise ValueError(f"{where}: panel {unknown[0]!r} is not in the panel list of the "
                             f"record")
        mapping = np.array([position[name] for name in names] + [-1], np.int16)
        codes = chunk.indices.fill_null(-1).to_numpy(zero_copy_only=False).astype(np.intp)
        out.append(mapping[codes])
    return np.concatenate(out) if out else np.empty(0, np.int16)


def _check_ids(table: pa.Table, name: str, first: int, n: int, where: str) -> None:
    ids = _values(table, name, np.dtype(np.int64), where)
    if not np.array_equal(ids, np.arange(first, first + n)):
        raise ValueError(f"{where}: {name} is not {first}, {first + 1}, … in order "
                         "(rows shuffled, missing or repeated)")


def check_columns(columns: dict[str, np.ndarray], first_crystal: int, first_image: int,
                  where: str) -> None:
    """The ids and counts of native columns agree: refuse a folder whose tables do not."""
    n_crystals, n_images = len(columns["n_refl"]), len(columns["beam_energy"])
    for ids, first, n, what in ((columns["crystal_id"], first_crystal, n_crystals, "crystal_id"),
                                (columns["image_id"], first_image, n_images, "image_id")):
        if len(ids) and (ids.min() < first or ids.max() >= first + n):
            raise ValueError(f"{where}: {what} out of range ({first} to {first + n - 1})")
        if (ids[1:] < ids[:-1]).any():
            raise ValueError(f"{where}: {what} not in order")
    counts = np.bincount(columns["crystal_id"] - first_crystal, minlength=n_crystals)
    if not np.array_equal(counts, columns["n_refl"]):
        raise ValueError(f"{where}: n_refl differs from the reflections of "
                         f"{int(np.count_nonzero(counts != columns['n_refl'])):,} crystals")


def read_parquet(folder: PathLike) -> Stream:
    """The Stream whose tables were written into ``folder``, exactly.

    Reads what :meth:`Stream.to_parquet`, ``quillon convert`` and
    :meth:`quillon.dask.DaskStream.to_parquet` write, and the one-file-per-table folders
    (``observations.parquet``, ``crystals.parquet``, ``images.parquet``) of earlier
    versions. Raises ValueError, before building anything, for a folder whose record or
    parts are missing, broken, of another format version or from different writes, and
    for tables whose ids are out of range or out of order, whose ``n_refl`` differs from
    the reflections of a crystal, or whose values do not fit the columns' types.

    >>> import tempfile
    >>> folder = os.path.join(tempfile.mkdtemp(), "t")
    >>> quillon.Stream.empty(["p0"], header="Some header\\n").to_parquet(folder)
    >>> quillon.read_parquet(folder).header
    'Some header\\n'
    """
    folder = fspath(folder)
    if not os.path.exists(os.path.join(folder, RECORD)) and any(
            os.path.isfile(os.path.join(folder, f"{name}.parquet")) for name in TABLES):
        data, tables, where = _read_earlier(folder)
    else:
        data = read_record(folder)
        parts = check_parts(folder, data)
        tables = {name: _read_table(files) for name, files in parts.items()}
        where = {name: os.path.join(folder, name) for name in TABLES}
    return _checked_stream(folder, data, tables, where)


def _read_earlier(folder: str) -> tuple[dict[str, Any], dict[str, pa.Table], dict[str, str]]:
    """The record and tables of a folder in the one-file-per-table layout, mapped onto
    this layout's: the record checked as this layout's is, the id columns added from the
    rows' positions."""
    pa = require("pyarrow")
    where = {name: os.path.join(folder, f"{name}.parquet") for name in TABLES}
    for path in where.values():
        if not os.path.isfile(path):
            raise ValueError(f"{folder}: no {os.path.basename(path)}, so not a folder of tables "
                             "of an earlier quillon")
    records = {name: _earlier_record(path) for name, path in where.items()}
    meta = records["images"]
    if meta is None:
        raise ValueError(f"{where['images']}: no quillon metadata, so not written by quillon")
    for name in ("observations", "crystals"):
        # `quillon convert` left these two without metadata; Stream.to_parquet gave all three
        # the same record.
        if records[name] is not None and records[name] != meta:
            raise ValueError(f"{where[name]}: its metadata differs from that of images.parquet "
                             "(tables of different writes)")
    data: dict[str, Any] = {"format": FORMAT, "version": EARLIER_VERSION, "write": None,
                            "headers_differ": False,
            **{key: meta.get(key) for key in ("header", "panels", "report", "path",
                                              "first_crystal_id", "first_image_id")}}
    _check_record(data, where["images"], texts=("header",))
    tables = {name: _read_table([path]) for name, path in where.items()}
    for name, first in (("crystals", data["first_crystal_id"]), ("images", data["first_image_id"])):
        key = f"{name[:-1]}_id"
        if key not in tables[name].column_names:  # never written; checked like a written one
            ids = np.arange(first, first + tables[name].num_rows, dtype=np.int64)
            tables[name] = tables[name].add_column(0, key, pa.array(ids))
    return data, tables, where


def _earlier_record(path: str) -> dict[str, Any] | None:
    """The record in the metadata of a table of the one-file-per-table layout (None: none)."""
    raw = (_schema(path).metadata or {}).get(METADATA_KEY)
    if raw is None:
        return None
    try:
        meta = json.loads(raw)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{path}: broken quillon metadata ({exc})") from None
    version = meta.get("version") if isinstance(meta, dict) else None
    if version != EARLIER_VERSION:
        raise ValueError(f"{path}: quillon metadata of format version {version!r} in the "
                         f"layout of version {EARLIER_VERSION} (one file per table)")
    return meta


def _checked_stream(folder: str, data: dict[str, Any], tables: dict[str, pa.Table],
                    where: dict[str, str]) -> Stream:
    """The Stream of a checked record and its tables, once the tables pass their checks."""
    first_crystal, first_image = data["first_crystal_id"], data["first_image_id"]
    _check_ids(tables["crystals"], "crystal_id", first_crystal, tables["crystals"].num_rows,
               where["crystals"])
    _check_ids(tables["images"], "image_id", first_image, tables["images"].num_rows,
               where["images"])
    columns = _native_columns(tables, where)
    columns["panel_id"] = _panel_ids(tables["observations"], data["panels"], where["observations"])
    check_columns(columns, first_crystal, first_image, folder)
    columns = {c.name: columns[c.name] for c in _columns.COLUMNS}
    images = tables["images"]
    texts = []
    for name in ("filename", "event"):
        if name not in images.column_names or images.column(name).null_count:
            raise ValueError(f"{where['images']}: column {name!r} missing or incomplete")
        texts.append([str(v) for v in images.column(name).to_pylist()])
    report = {reason: (n, offset) for reason, n, offset in data["report"]}
    return Stream(columns, texts[0], texts[1], report, header=data["header"],
                  panels=data["panels"], path=data["path"], first_crystal_id=first_crystal,
                  first_image_id=first_image, headers_differ=bool(data.get("headers_differ")))

