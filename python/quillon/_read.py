"""Reading streams: all at once, a selection of chunk rows, or in batches of bounded size."""
from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Iterator, Sequence

import numpy as np

from . import _columns, _verbatim
from ._deps import require
from ._geometry import panels_from_header, read_prefix
from ._native import (
    PathLike,
    default_threads,
    fspath,
    index_chunks,
    parse_chunks,
    parse_chunks_with_offsets,
)
from ._sizes import parse_size
from ._stream import Stream, warn_unknown_panels

# Put first in the panel list given to the parser: it holds white space, so no
# reflection line can name it, and the parser's id 0 for an unknown name lands on it.
UNKNOWN_PANEL = "<panel not in the panel list>"


def read_header(path: PathLike) -> str:
    """The text of a stream before its first chunk (the whole file if it has none).

    >>> import tempfile
    >>> with tempfile.NamedTemporaryFile("w", suffix=".stream") as f:
    ...     _ = f.write("Some header\\n----- Begin chunk -----\\n----- End chunk -----\\n")
    ...     f.flush()
    ...     read_header(f.name)
    'Some header\\n'
    """
    path = fspath(path)
    rows = index_chunks(path, 1, max_crystals=0)
    return read_prefix(path, int(rows[0, 0]) if len(rows) else -1)


def _panel_list(panels: Iterable[str] | None, header: str, path: str,
                rows: np.ndarray) -> list[str]:
    if panels is not None:
        if isinstance(panels, str):
            raise TypeError("panels must be a list of panel names, not a str")
        names = list(panels)
        seen: set[str] = set()
        for name in names:
            if name in seen:
                raise ValueError(f"panel {name!r} is named twice in panels")
            seen.add(name)
        return names
    names = panels_from_header(header)
    if not names and int(rows[:, 3].clip(min=0).sum()) > 0:
        raise ValueError(
            f"{path} has no detector geometry in its header, so its panel names are not "
            "known; pass them, e.g. quillon.read(path, panels=['p0', 'p1'])")
    return names


def _index(path: str, panels: Iterable[str] | None, n_threads: int,
           max_crystals: int | None = None) -> tuple[np.ndarray, str, list[str]]:
    """The chunk rows, the header and the panel names of a stream."""
    rows = index_chunks(path, n_threads, max_crystals)
    header = read_prefix(path, int(rows[0, 0]) if len(rows) else -1)
    return rows, header, _panel_list(panels, header, path, rows)


def parse_rows(path: PathLike, rows: np.ndarray, *, panels: Sequence[str], n_threads: int = 1,
               header: str = "", warn: bool = True) -> Stream:
    """Parse chunk rows of ``quillon_native.index_chunks`` into a Stream (ids from 0).

    Reflections on a panel that is not in ``panels`` get ``panel_id`` -1 (a missing
    ``panel`` in the tables) and, with ``warn``, one :class:`UnknownPanelWarning`
    with their count. The Stream remembers where each image and crystal stands in the
    file (for rows in file order), so that :meth:`Stream.write` copies their text.

    >>> import quillon_native, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "empty.stream")
    >>> with open(path, "w") as f:
    ...     _ = f.write("a header and no chunk\\n")
    >>> rows = quillon_native.index_chunks(path)
    >>> parse_rows(path, rows, panels=["p0"])
    <Stream empty.stream: 0 images, 0 crystals, 0 reflections>
    """
    path = fspath(path)
    names = [UNKNOWN_PANEL, *panels]
    stat = _stat(path) if parse_chunks_with_offsets is not None else None
    origin = None
    if stat is None or parse_chunks_with_offsets is None:
        columns, filenames, events, report = parse_chunks(path, rows, names, n_threads)
    else:  # also where each image and crystal stands, so that a selection can copy its text
        columns, filenames, events, report, image_lines, blocks = parse_chunks_with_offsets(
            path, rows, names, n_threads)
        origin = _verbatim.locate(path, stat, rows, image_lines, blocks, columns["image_id"])
    panel_id = columns["panel_id"]
    panel_id -= 1  # our own array: shift the ids back in place
    if warn:
        warn_unknown_panels(int(np.count_nonzero(panel_id < 0)), path)
    stream = Stream.from_native(columns, filenames, events, report, header=header,
                                panels=panels, path=path)
    stream._origin = origin
    return stream


def _stat(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except (OSError, ValueError):  # the parse says why, if it has to open the file
        return None


def _read_since(stream: Stream, stat: os.stat_result | None) -> Stream:
    """``stream`` with its text known as of ``stat``, taken before the file was indexed, so
    that a change after the index was made keeps its text from being copied."""
    if stream._origin is not None and stat is not None:
        stream._origin = _verbatim.as_of(stream._origin, stat)
    return stream


def read(path: PathLike, *, panels: Sequence[str] | None = None, n_threads: int | None = None,
         max_crystals: int | None = None) -> Stream:
    """Read a ``.stream`` file.

    ``panels=None`` takes the panel names from the geometry in the stream's header
    (ValueError when it has none: pass ``panels=[...]``). ``n_threads=None`` uses every
    core this process may run on. ``max_crystals`` stops after the chunk that brings
    the crystal count to at least that number, reading only the start of the file.
    A file without chunks gives an empty Stream. OSErrors carry ``errno``,
    ``strerror`` and ``filename``.

    >>> s = read("run7.stream")                                      # doctest: +SKIP
    >>> s                                                            # doctest: +SKIP
    <Stream run7.stream: 1,275 images, 1,560 crystals, 2,567,370 reflections>
    >>> s.observations.groupby("panel", observed=True)["I"].mean()  # doctest: +SKIP
    """
    path = fspath(path)
    threads = default_threads(n_threads)
    stat = _stat(path)
    rows, header, names = _index(path, panels, threads, max_crystals)
    return _read_since(parse_rows(path, rows, panels=names, n_threads=threads, header=header),
                       stat)


def _batches(rows: np.ndarray, batch_bytes: int) -> Iterator[np.ndarray]:
    """Consecutive runs of rows holding about ``batch_bytes`` of text each (at least one row)."""
    ends = np.cumsum(rows[:, 1] - rows[:, 0])
    start = 0
    while start < len(rows):
        before = ends[start - 1] if start else 0
        stop = max(int(np.searchsorted(ends, before + batch_bytes, side="left")) + 1, start + 1)
        yield rows[start:stop]
        start = stop


def iter_batches(path: PathLike, *, batch_bytes: int | str = "1 GiB",
                 panels: Sequence[str] | None = None, n_threads: int | None = None,
                 progress: bool = False) -> Iterator[Stream]:
    """Read a stream as consecutive Streams of about ``batch_bytes`` of text each.

    The file is indexed once; each batch then parses its own chunks, so memory holds
    about one batch whatever the file's size. ``crystal_id`` and ``image_id`` count
    over the whole file (each batch's ``first_crystal_id`` and ``first_image_id`` say
    where it starts), so ``concat(list(iter_batches(p)))`` equals ``read(p)``.
    ``progress=True`` shows a progress bar by bytes on standard error (needs ``rich``).

    >>> for batch in iter_batches("run7.stream", batch_bytes="256 MiB"):  # doctest: +SKIP
    ...     batch.observations.to_parquet(f"part{batch.first_image_id}.parquet")
    """
    path = fspath(path)
    size = parse_size(batch_bytes)
    threads = default_threads(n_threads)
    stat = _stat(path)
    rows, header, names = _index(path, panels, threads)
    total = int(rows[-1, 1] - rows[0, 0]) if len(rows) else 0
    bar = _ProgressBar(path, total) if progress else None
    first_crystal = first_image = 0
    try:
        for batch_rows in _batches(rows, size):
            batch = _read_since(parse_rows(path, batch_rows, panels=names, n_threads=threads,
                                           header=header), stat)
            columns = batch.columns
            columns["crystal_id"] += np.int32(first_crystal)
            columns["image_id"] += np.int32(first_image)
            batch.first_crystal_id, batch.first_image_id = first_crystal, first_image
            first_crystal += batch.n_crystals
            first_image += batch.n_images
            if bar is not None:
                bar.advance(int(batch_rows[-1, 1] - batch_rows[0, 0]))
            yield batch
            del batch, columns  # hold no batch while the next one is parsed
    finally:
        if bar is not None:
            bar.close()


class _ProgressBar:
    """A rich progress bar of bytes read, on standard error."""

    def __init__(self, path: str, total: int) -> None:
        progress = require("rich.progress")
        console = require("rich.console").Console(stderr=True)
        self._progress = progress.Progress(
            progress.TextColumn("{task.description}"), progress.BarColumn(),
            progress.DownloadColumn(), progress.TransferSpeedColumn(),
            progress.TimeRemainingColumn(), console=console, transient=False)
        self._task = self._progress.add_task(os.path.basename(path), total=total)
        self._progress.start()

    def advance(self, n_bytes: int) -> None:
        self._progress.advance(self._task, n_bytes)

    def close(self) -> None:
        self._progress.stop()


def concat(streams: Iterable[Stream]) -> Stream:
    """One Stream of several, in order, ids shifted to follow on.

    Ids start at the first Stream's first ids, so the batches of
    :func:`iter_batches` concatenate to what :func:`read` gives. Report counts are
    summed; a reason's first offset is the smallest one when every Stream comes from
    the same file, else the first one in order. Header and path are the first
    Stream's (path None when the files differ). Panel lists are merged in order of
    first appearance. When the headers differ (another geometry or unit cell), a
    UserWarning says so and the result has ``headers_differ`` set: its ``write`` then
    needs an explicit ``header=``, since no one header is right for all its crystals.

    >>> concat([Stream.empty(["p0"]), Stream.empty(["p1"])]).panels
    ['p0', 'p1']
    """
    parts = list(streams)
    if not parts:
        raise ValueError("concat needs at least one Stream")
    panels = list(dict.fromkeys(name for s in parts for name in s.panels))
    position = {name: i for i, name in enumerate(panels)}
    next_crystal, next_image = parts[0].first_crystal_id, parts[0].first_image_id
    shifted = []
    for s in parts:
        columns = dict(s.columns)
        columns["crystal_id"] = s.columns["crystal_id"] + np.int32(next_crystal - s.first_crystal_id)
        columns["image_id"] = s.columns["image_id"] + np.int32(next_image - s.first_image_id)
        if s.panels != panels[:len(s.panels)]:
            mapping = np.array([position[name] for name in s.panels] + [-1], dtype=np.int16)
            columns["panel_id"] = mapping[s.columns["panel_id"]]  # -1 picks the last entry: -1
        shifted.append(columns)
        next_crystal += s.n_crystals
        next_image += s.n_images
    same_file = all(s.path == parts[0].path for s in parts)
    headers_differ = any(s.headers_differ or s.header != parts[0].header for s in parts)
    if headers_differ:
        names = sorted({os.path.basename(s.path) if s.path else "<no file>" for s in parts})
        warnings.warn(f"concat of streams whose headers differ ({', '.join(names[:4])}"
                      f"{', …' if len(names) > 4 else ''}): the result keeps the first header, "
                      "and writing it needs header=", UserWarning, stacklevel=2)
    joined = Stream(_columns.concatenate(shifted),
                  [name for s in parts for name in s.filenames],
                  [event for s in parts for event in s.events],
                  _merge_reports([s.report for s in parts], take_min=same_file),
                  header=parts[0].header, panels=panels,
                  path=parts[0].path if same_file else None,
                  first_crystal_id=parts[0].first_crystal_id,
                  first_image_id=parts[0].first_image_id, headers_differ=headers_differ)
    joined._origin = _verbatim.concat([s._origin for s in parts])
    return joined


def _merge_reports(reports: list[dict[str, tuple[int, int]]], take_min: bool) -> dict[str, tuple[int, int]]:
    merged: dict[str, tuple[int, int]] = {}
    for report in reports:
        for reason, (count, offset) in report.items():
            if reason in merged:
                total, first = merged[reason]
                merged[reason] = (total + count, min(first, offset) if take_min else first)
            else:
                merged[reason] = (count, offset)
    order = _REASONS + sorted(set(merged) - set(_REASONS))
    return {reason: merged[reason] for reason in order if reason in merged}


_REASONS = ["reflection_short", "reflection_value", "reflection_hkl_range", "crystal_cell",
            "crystal_vector", "crystal_truncated", "image_truncated", "chunk_no_image",
            "key_value", "det_shift"]
