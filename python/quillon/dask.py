"""Streams as Dask DataFrames: many streams, and streams larger than one node, on a Dask cluster.

    >>> import quillon.dask as qd                                     # doctest: +SKIP
    >>> from dask.distributed import Client
    >>> client = Client("tcp://scheduler:8786")                       # or Client() on this machine
    >>> ds = qd.read("runs/*.stream", blocksize="256 MiB")
    >>> ds.observations                    # dask DataFrame, one partition per block of chunks
    >>> ds.to_parquet("all_runs.parquet/") # written by the workers, one folder per table
    >>> s = ds.compute()                   # a quillon.Stream, as quillon.concat of quillon.read

Every file is indexed by a task (on a worker when a ``distributed.Client`` is the default
scheduler); its chunks are grouped into partitions of about ``blocksize`` bytes of text, and
each partition is parsed by a task into the three tables of :class:`quillon.Stream`. The files
must be reachable under the same path on every worker.

``crystal_id`` and ``image_id`` count across all files, whatever the block size and the number
of workers. A parse may leave out damaged crystals and images, so a partition's first ids are
only known once the partitions before it are parsed: each partition's table task waits for the
running totals of the ones before it (a chain of small tasks in the same graph), not for a
second parse.
"""
from __future__ import annotations

import contextlib
import dataclasses
import errno
import glob
import os
import socket
import threading
import uuid
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from dask.base import tokenize
    from dask.delayed import Delayed, delayed
    from dask.highlevelgraph import HighLevelGraph
    from dask.sizeof import sizeof
    from dask.task_spec import Task, TaskRef
    from dask.utils import parse_bytes
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError('quillon.dask needs Dask: pip install "quillon_native[dask]"') from exc

import quillon
from quillon import _native, _parquet, _read
from quillon._output import output_folder
from quillon._read import Source, _merge_reports

__all__ = ["DaskStream", "SchedulerUnreachable", "connect", "convert_to_parquet", "read",
           "read_parquet"]

TABLES = _parquet.TABLES
_REPORT_META = pd.DataFrame({"reason": pd.Series(dtype=str), "count": pd.Series(dtype="int64"),
                             "first_offset": pd.Series(dtype="uint64")})
_HINT = "every worker must reach the files under the same path"


@sizeof.register(quillon.Stream)
def _sizeof_stream(stream: quillon.Stream) -> int:
    """A parsed partition's bytes, for the scheduler: without this Dask counts 56 bytes for
    tens of MiB, moves parsed partitions between workers as if they were free and leaves them
    out of a worker's managed memory."""
    return (sum(column.nbytes for column in stream.columns.values())
            + sizeof(stream.filenames) + sizeof(stream.events) + sizeof(stream.header))


# ---------------------------------------------------------------------------
# Tasks. They run on the workers; each is a pure function of its arguments, so a task
# lost with its worker is simply run again elsewhere.

def _worker_name() -> str:
    try:
        from distributed import get_worker
        return f"worker {get_worker().address}"
    except (ImportError, ValueError):
        return f"process {os.getpid()} on {socket.gethostname()}"


@contextlib.contextmanager
def _naming_worker(path: str) -> Iterator[None]:
    """OSErrors from reading ``path`` say which worker failed, keeping errno and filename."""
    try:
        yield
    except OSError as exc:
        reason = exc.strerror or str(exc)
        raise type(exc)(exc.errno, f"{reason} (on {_worker_name()}; {_HINT})", path) from None


def _index_file(path: str, panels: Sequence[str] | str | None, n_threads: int) -> Source:
    """The chunk rows, header, panel names, size and time of one file, as :func:`quillon.read`
    finds them."""
    with _naming_worker(path):
        return _read.index(path, panels, n_threads)


def _parse_block(src: Source, rows: np.ndarray, n_threads: int) -> quillon.Stream:
    """Parse the chunk rows of a file, refusing it when it changed since it was indexed
    (:class:`quillon.StreamChangedError`): tables computed separately would disagree."""
    with _naming_worker(src.path):
        return _read.parse_source(src, rows, n_threads=n_threads)


def _totals_after(before: np.ndarray, part: quillon.Stream) -> np.ndarray:
    """Images, crystals and reflections in the partitions up to and including ``part``."""
    return before + np.array([part.n_images, part.n_crystals, len(part)], dtype=np.int64)


def _report_rows(part: quillon.Stream, position: int) -> Any:
    """The report of ``part``, one row per reason, labelled with the partition's position."""
    rows = [(reason, n, offset) for reason, (n, offset) in part.report.items()]
    frame = pd.DataFrame(rows, columns=_REPORT_META.columns, index=[position] * len(rows))
    return frame.astype(_REPORT_META.dtypes.to_dict())


def _table(part: quillon.Stream, before: np.ndarray, name: str, panels: list[str]) -> Any:
    """One table of ``part`` with ids, and row labels, counted from the partitions before it.

    ``part`` itself is left as it is: a task run again finds it unchanged.
    """
    first_image, first_crystal, first_row = (int(n) for n in before)
    shifted = _read.rebase(part, first_crystal, first_image)
    frame = getattr(shifted, name)
    if name == "observations":
        frame.index = frame.index + first_row
        frame["panel"] = frame["panel"].cat.set_categories(panels)
    return frame


# ---------------------------------------------------------------------------
# Partition plan

def _expand(paths_or_glob: Any) -> list[str]:
    if isinstance(paths_or_glob, (str, bytes, os.PathLike)):
        path = _native.fspath(paths_or_glob)
        if glob.has_magic(path):
            paths = sorted(glob.glob(path))
            if not paths:
                raise FileNotFoundError(f"no file matches {path!r}")
            return paths
        return [path]
    paths = [_native.fspath(p) for p in paths_or_glob]
    if not paths:
        raise ValueError("no paths given")
    return paths


def _blocks(rows: np.ndarray, blocksize: int) -> list[np.ndarray]:
    """Consecutive chunk rows grouped by the ``blocksize``-byte block their text starts in.

    A chunk longer than a block is a partition of its own; empty blocks give none, and a
    file without chunks one empty partition (it still brings its header).
    """
    if not len(rows):
        return [rows]
    sizes = rows[:, 1] - rows[:, 0]
    block = (np.cumsum(sizes) - sizes) // min(blocksize, 1 << 62)
    cuts = np.flatnonzero(np.diff(block)) + 1
    return [np.ascontiguousarray(b) for b in np.split(rows, cuts)]


def _blocksize(size: int | str) -> int:
    """A block size in bytes, text read as Dask reads it."""
    if isinstance(size, str):
        try:
            size = int(parse_bytes(size))
        except ValueError as exc:
            raise ValueError(f"blocksize: {exc}") from None
    return quillon.parse_size(size)


def _union(lists: Sequence[Sequence[str]]) -> list[str]:
    return list(dict.fromkeys(name for names in lists for name in names))




class DaskStream:
    """Three Dask DataFrames of one or more streams: ``observations``, ``crystals``, ``images``.

    Built by :func:`read` (then also :meth:`compute` back to a :class:`quillon.Stream`) or by
    :func:`read_parquet`. ``panels`` is the union of the files' panel names, in order of first
    appearance: the categories of ``observations["panel"]``.
    """

    def __init__(self, frames: dict[str, dd.DataFrame], panels: Sequence[str],
                 paths: Sequence[str] = (), parts: Sequence[Delayed] = (), header: str = "") -> None:
        self.observations: dd.DataFrame = frames["observations"]
        self.crystals: dd.DataFrame = frames["crystals"]
        self.images: dd.DataFrame = frames["images"]
        self.panels = list(panels)
        self.paths = list(paths)
        self._parts = list(parts)
        self.header = header

    @property
    def npartitions(self) -> int:
        return self.observations.npartitions

    def __repr__(self) -> str:
        files = f"{len(self.paths)} file{'s' * (len(self.paths) != 1)}, " if self.paths else ""
        return f"<DaskStream {files}{self.npartitions} partitions, {len(self.panels)} panels>"

    def compute(self, **kwargs: Any) -> quillon.Stream:
        """Parse every partition (on the workers) and join them into one :class:`quillon.Stream`.

        Equal to ``quillon.concat([quillon.read(p) for p in paths])``; ``kwargs`` go to
        ``dask.compute``.
        """
        if not self._parts:
            raise TypeError("compute() needs a DaskStream from quillon.dask.read; for tables "
                            "read from Parquet, compute the DataFrames or use quillon.read_parquet")
        return quillon.concat(dask.compute(*self._parts, **kwargs))

    def merge(self, symmetry: str, **kwargs: Any) -> quillon.Merged:
        """:func:`quillon.merge` on the cluster: each partition's sums per asymmetric-unit
        index and half data set (n, ΣI, ΣI²) are computed by its worker and reduced by a
        tree of tasks in stream order. Takes :func:`quillon.merge`'s keywords; others go
        to ``dask.compute``. The header's target cell is the first file's."""
        from quillon import _dask_merge
        return _dask_merge.merge(self._stream_parts("merge"), self.header, symmetry, **kwargs)

    def statistics(self, symmetry: str, **kwargs: Any) -> quillon.Statistics:
        """:func:`quillon.statistics` on the cluster, reduced as :meth:`merge` reduces."""
        from quillon import _dask_merge
        return _dask_merge.statistics(self._stream_parts("statistics"), self.header, symmetry,
                                      **kwargs)

    def _stream_parts(self, what: str) -> list[Delayed]:
        if not self._parts:
            raise TypeError(f"{what}() needs a DaskStream from quillon.dask.read")
        return self._parts

    def to_parquet(self, folder: str | os.PathLike, **kwargs: Any) -> dict[str, tuple[int, int]]:
        """Write the three tables with Dask's Parquet writer, in one pass, as a folder of
        tables that :func:`read_parquet` and :func:`quillon.read_parquet` read.

        ``folder/observations/``, ``folder/crystals/`` and ``folder/images/`` get one file per
        partition, written by the workers; each partition is parsed once for all three. The
        folder is written beside ``folder`` and swapped in when complete, so no part of an
        earlier write stays; an existing ``folder`` is replaced only when it is empty or an
        earlier output of quillon (:class:`quillon.ForeignFolderError` otherwise), and never
        when it holds one of the input files. Returns what reading left out, summed as
        :func:`quillon.concat` sums it (``{}`` for tables that came from Parquet). ``kwargs``
        go to ``dask.dataframe.to_parquet``.
        """
        with output_folder(folder, inputs=self.paths, owned=_parquet.is_tables_folder) as tmp:
            write = uuid.uuid4().hex
            options = {"write_metadata_file": False, **kwargs}
            writes = [dd.to_parquet(getattr(self, name), os.path.join(tmp, name), compute=False,
                                    custom_metadata=_parquet.part_metadata(name, write), **options)
                      for name in TABLES]
            if self._parts:
                reports = dd.from_delayed([delayed(_report_rows, pure=True)(p, k)
                                           for k, p in enumerate(self._parts)],
                                          meta=_REPORT_META, verify_meta=False)
                _, rows = dask.compute(writes, reports)
                report = _merge_reports([{reason: (int(n), int(offset))
                                          for reason, n, offset in part.itertuples(index=False)}
                                         for _, part in rows.groupby(level=0, sort=True)],
                                        take_min=len(set(self.paths)) == 1)
            else:
                dask.compute(*writes)
                report = {}
            like = quillon.Stream.empty(self.panels, header=self.header)
            like.path = self.paths[0] if len(set(self.paths)) == 1 else None
            _parquet.write_record(tmp, _parquet.record(like, write, report))
        return report


def read(paths_or_glob: Any, *, blocksize: int | str = "256 MiB",
         panels: Sequence[str] | str | None = None, n_threads: int = 1) -> DaskStream:
    """Streams as Dask DataFrames, partitioned by blocks of chunks of about ``blocksize`` bytes.

    ``blocksize`` is a number of bytes or a size as Dask writes one (``dask.utils.parse_bytes``:
    ``"16M"`` and ``"16 MB"`` are 16,000,000 bytes, ``"16 MiB"`` 16,777,216), as for
    ``dask.dataframe.read_csv``.

    ``paths_or_glob`` is a path, a glob pattern (expanded here, sorted) or a list of paths. Each
    file is indexed now, by one task per file on the current Dask scheduler (the workers, under
    a ``distributed.Client``); parsing is left to the returned collections. ``panels=None`` takes
    each file's panel names from its header, as :func:`quillon.read` does (``"auto"``: from
    its reflection rows); files whose panels differ get the union as ``panel`` categories.
    Each partition is parsed with ``n_threads``. Each file's size and modification time are
    recorded when it is indexed: a parse task of a file changed since raises
    :class:`quillon.StreamChangedError`, so tables computed one after the other never mix
    two versions of a file.

    >>> ds = read("runs/*.stream", blocksize="64 MiB")                 # doctest: +SKIP
    >>> ds.crystals[["a", "b", "c"]].mean().compute()                  # doctest: +SKIP
    """
    paths = _expand(paths_or_glob)
    blocksize = _blocksize(blocksize)
    fixed = panels if panels is None or isinstance(panels, str) else list(panels)
    # Not pure: the files may change between two calls.
    indexed = dask.compute(*[delayed(_index_file, pure=False)(
        p, fixed, n_threads, dask_key_name=f"index-stream-{uuid.uuid4().hex}") for p in paths])
    union = _union([src.panels for src in indexed])
    meta = quillon.schema(union)

    # One graph for the whole read, every Delayed below sharing it: a table's Delayed does not
    # carry its own copy of the running totals before it, so the graph sent to the scheduler
    # grows with the number of partitions, not with its square. The header and the panel
    # names are the same objects in every parse task of a file: pickled once.
    layer: dict[Any, Task] = {}
    parts: list[str] = []
    tables: dict[str, list[str]] = {name: [] for name in TABLES}
    before: TaskRef | np.ndarray = np.zeros(3, dtype=np.int64)
    for path, src in zip(paths, indexed):
        # What every parse task of the file shares (pickled once with the graph); the
        # file's size and time go with it, so a parse refuses a file changed since.
        shared_src = dataclasses.replace(src, rows=src.rows[:0])
        file_token = tokenize(path, src.panels, src.header, src.stamp, n_threads)
        for block in _blocks(src.rows, blocksize):
            token = tokenize(file_token, block)
            # A table's ids depend on every partition before it: its key does too (a file
            # read twice in one call gives the same parse, not the same tables).
            step = tokenize(token, before.key if isinstance(before, TaskRef) else 0)
            # Without dependencies, a group of parse tasks larger than the cluster is
            # "root-ish": the scheduler queues it and gives a worker a parse only when the
            # worker has a free thread (how many ahead: the scheduler's worker-saturation),
            # instead of sending every parse at once.
            part = f"parse-stream-{token}"
            layer[part] = Task(part, _parse_block, shared_src, block, n_threads)
            for name in TABLES:
                key = f"{name}-{step}"
                layer[key] = Task(key, _table, TaskRef(part), before, name, union)
                tables[name].append(key)
            after = f"ids-after-{step}"
            layer[after] = Task(after, _totals_after, before, TaskRef(part))
            before = TaskRef(after)
            parts.append(part)
    graph_name = f"quillon-read-{tokenize(*layer)}"
    graph = HighLevelGraph.from_collections(graph_name, layer)

    def shared(key: str) -> Delayed:
        return Delayed(key, graph, layer=graph_name)

    frames = {name: dd.from_delayed([shared(k) for k in tables[name]], meta=meta[name],
                                    verify_meta=False)
              for name in TABLES}
    return DaskStream(frames, union, paths, [shared(k) for k in parts],
                      header=indexed[0].header if indexed else "")


def read_parquet(folder: str | os.PathLike, **kwargs: Any) -> DaskStream:
    """The tables of a folder written by :meth:`DaskStream.to_parquet` (or by
    :meth:`quillon.Stream.to_parquet` and ``quillon convert``), as Dask DataFrames.

    The record and every part's metadata are checked now (ValueError for a folder that is
    not one output of quillon, or of another format version); the rows are read lazily.
    The columns get the dtypes of :class:`quillon.Stream`'s tables, ``crystals`` and
    ``images`` their ids as index, and ``observations["panel"]`` the panel names of the
    record as its categories. ``kwargs`` go to ``dask.dataframe.read_parquet`` for each table.
    """
    folder = _native.fspath(folder)
    data = _parquet.read_record(folder)
    _parquet.check_parts(folder, data)
    panels = data["panels"]
    meta = quillon.schema(panels)
    frames = {}
    for name in TABLES:
        index = meta[name].index.name
        frame = dd.read_parquet(os.path.join(folder, name), columns=list(meta[name].columns),
                                **({"index": index} if index else {}), **kwargs)
        frames[name] = frame.astype(meta[name].dtypes.to_dict())
    stream = DaskStream(frames, panels)
    stream.header = data["header"]
    return stream


class SchedulerUnreachable(OSError):
    """No Dask scheduler answered at the address in time."""


def connect(address: str, timeout: float = 10.0) -> Any:
    """A ``distributed.Client`` of the scheduler at ``address``, given ``timeout`` seconds.

    :class:`SchedulerUnreachable` when the address does not parse, refuses the connection
    or does not answer in time.
    """
    from distributed import Client

    # Client's own timeout covers the connection but not a server that accepts it and
    # never answers, so the client is made on a thread that is given up on in time.
    made: list[Any] = []
    failed: list[BaseException] = []

    def make() -> None:
        try:
            made.append(Client(address, timeout=timeout, set_as_default=True))
        except Exception as exc:  # noqa: BLE001 (handed to the caller's thread as it is)
            failed.append(exc)

    thread = threading.Thread(target=make, name="quillon-connect", daemon=True)
    thread.start()
    thread.join(timeout + 1.0)
    if failed:
        exc = failed[0]
        if not isinstance(exc, (OSError, TimeoutError, ValueError, TypeError)):
            raise exc
        reason = _reason(exc)
    elif not made:
        reason = f"no answer in {timeout:g} s"
    else:
        return made[0]
    raise SchedulerUnreachable(errno.EHOSTUNREACH,
                               f"scheduler unreachable at {address!r} ({reason})")


def _reason(exc: BaseException) -> str:
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    return text if len(text) <= 200 else text[:200] + "…"


def convert_to_parquet(paths_or_glob: Any, out: str | os.PathLike, *, scheduler: str | None = None,
                       blocksize: int | str = "256 MiB", panels: Sequence[str] | str | None = None,
                       n_threads: int = 1, timeout: float = 10.0) -> dict[str, tuple[int, int]]:
    """Read streams and write their tables to ``out`` as :meth:`DaskStream.to_parquet` does;
    return what reading left out.

    ``scheduler`` is the address of a Dask scheduler (``tcp://host:8786``) to connect to for
    this call; ``None`` uses the current default (a ``distributed.Client`` already made, or
    Dask's local threads). Connecting gives up after ``timeout`` seconds with
    :class:`SchedulerUnreachable` (an OSError), also for an address that accepts the
    connection but never answers.
    """
    with contextlib.ExitStack() as stack:
        if scheduler is not None:
            stack.enter_context(connect(scheduler, timeout))  # the default until it closes
        ds = read(paths_or_glob, blocksize=blocksize, panels=panels, n_threads=n_threads)
        return ds.to_parquet(out)
