"""Reading streams: all at once, a selection of chunk rows, or in batches of bounded size.

Every reader of the package goes one way: :func:`index` looks at the file (a regular,
uncompressed stream), finds its chunks, its header and its panel names; :func:`parse_rows`
parses chunk rows; :func:`batches` runs over an indexed file in batches with ids counted over
the whole file. ``read``, ``iter_batches``, the ``quillon`` command and ``quillon.dask`` are
made of these three.
"""
from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass

import numpy as np

from . import _columns, _verbatim
from ._geometry import panels_from_header
from ._native import (
    PathLike,
    default_threads,
    fspath,
    index_chunks,
    parse_chunks,
    parse_chunks_with_offsets,
)
from ._progress import ProgressBar
from ._sizes import parse_size
from ._source import Stamp, look, open_regular
from ._source import read_header as _header_text
from ._stream import Stream, warn_unknown_panels
from ._warn import warn

# Put first in the panel list given to the parser: it holds white space, so no
# reflection line can name it, and the parser's id 0 for an unknown name lands on it.
UNKNOWN_PANEL = "<panel not in the panel list>"
#: Panel names a list may hold: ``panel_id`` is an int16 and id 0 is the unknown panel.
MAX_PANELS = (1 << 15) - 2
#: ``panels="auto"`` reads the reflection rows in pieces of about this many bytes.
_SCAN_PIECE = 64 << 20
# A reflection row: ten fields, the last one the panel name.
_ROW_PANEL = re.compile(rb"^[ \t]*(?:\S+[ \t]+){9}(\S+)[ \t]*\r?$", re.MULTILINE)
_REFLECTIONS = b"Reflections measured after indexing"
_END_REFLECTIONS = b"End of reflections"

#: Called with (bytes done, bytes in all) as a reading goes on.
ProgressCallback = Callable[[int, int], None]
Panels = Sequence[str] | str | None


@dataclass
class Source:
    """An indexed stream: its chunk rows, header and panel names, and its size and time then."""

    path: str
    rows: np.ndarray
    header: str
    panels: list[str]
    stamp: Stamp

    @property
    def size(self) -> int:
        return self.stamp.size

    @property
    def header_end(self) -> int:
        """Where the header ends: the first chunk's offset (the file's size without chunks)."""
        return int(self.rows[0, 0]) if len(self.rows) else self.size


def index(path: PathLike, panels: Panels = None, n_threads: int | None = 1,
          max_crystals: int | None = None, *, need_panels: bool = True) -> Source:
    """Look at ``path``, index its chunks, read its header and settle its panel names.

    OSError for a file that cannot be read or is not a regular file; ValueError naming
    the file for one that is compressed or is not a stream, and for a panel list that
    cannot be used. Without ``need_panels`` a stream with reflections but no geometry
    gets an empty panel list (every reflection on an unknown panel) instead of ValueError.
    """
    path = fspath(path)
    threads = default_threads(n_threads)
    if max_crystals is not None and (not isinstance(max_crystals, (int, np.integer))
                                     or isinstance(max_crystals, bool) or max_crystals < 0):
        raise ValueError(f"max_crystals must be None or an int ≥ 0, got {max_crystals!r}")
    stamp = look(path)
    rows = index_chunks(path, threads, max_crystals)
    header = _header_text(path, int(rows[0, 0]) if len(rows) else -1, stamp.size)
    names = _panel_list(panels, header, path, rows, need_panels)
    return Source(path, rows, header, names, stamp)


def read_header(path: PathLike) -> str:
    """The text of a stream before its first chunk (all of it for a header alone).

    ValueError for a file that is not a stream (see :func:`read`).

    >>> import tempfile
    >>> with tempfile.NamedTemporaryFile("w", suffix=".stream") as f:
    ...     _ = f.write("Some header\\n----- Begin chunk -----\\n----- End chunk -----\\n")
    ...     f.flush()
    ...     read_header(f.name)
    'Some header\\n'
    """
    return index(path, [], 1, max_crystals=0).header


def _panel_list(panels: Panels, header: str, path: str, rows: np.ndarray,
                need_panels: bool = True) -> list[str]:
    if isinstance(panels, str):
        if panels != "auto":
            raise TypeError(f"panels must be a list of panel names or 'auto', not a str ({panels!r})")
        names = panels_in_rows(path, rows)
    elif panels is not None:
        return check_panel_names(panels)
    else:
        names = panels_from_header(header)
        if need_panels and not names and int(rows[:, 3].clip(min=0).sum()) > 0:
            raise ValueError(
                f"{path} has no detector geometry in its header, so its panel names are not "
                "known; pass them, e.g. quillon.read(path, panels=['p0', 'p1']), or "
                "panels='auto' to take them from the reflections")
    return check_panel_names(names, unique=False)


def check_panel_names(panels: Iterable[str], unique: bool = True) -> list[str]:
    """``panels`` as a list, checked: str names (TypeError), each once when ``unique`` and at
    most :data:`MAX_PANELS` of them (ValueError)."""
    names = list(panels)
    if unique:
        seen: set[str] = set()
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"panel names must be str, got {type(name).__name__}")
            if name in seen:
                raise ValueError(f"panel {name!r} is named twice in panels")
            seen.add(name)
    if len(names) > MAX_PANELS:
        raise ValueError(f"{len(names):,} panel names; at most {MAX_PANELS:,} can be told apart")
    return names


def panels_in_rows(path: PathLike, rows: np.ndarray) -> list[str]:
    """The distinct panel names of the reflection rows in ``rows``' chunks, in order of first
    appearance.

    One pass over the chunks' text in Python, in pieces of about 64 MiB: slower than
    names from a geometry, which cost nothing.
    """
    path = fspath(path)
    names: dict[bytes, None] = {}
    with open_regular(path) as f:
        for piece in _batches(rows, _SCAN_PIECE):
            start = int(piece[0, 0])
            f.seek(start)
            text = f.read(int(piece[-1, 1]) - start)
            at = text.find(_REFLECTIONS)
            while at >= 0:
                heading = text.find(b"\n", at)  # the column heading follows this line
                first = text.find(b"\n", heading + 1) + 1 if heading >= 0 else 0
                if first <= 0:
                    break
                ends = [text.find(_END_REFLECTIONS, first), text.find(b"\n---", first - 1)]
                end = min((e for e in ends if e >= 0), default=len(text))
                names.update(dict.fromkeys(_ROW_PANEL.findall(text, first, end)))
                at = text.find(_REFLECTIONS, end)
    return [name.decode("utf-8", errors="replace") for name in names]


def parse_rows(path: PathLike, rows: np.ndarray, *, panels: Sequence[str], n_threads: int = 1,
               header: str = "", warn: bool = True) -> Stream:
    """Parse chunk rows of ``quillon_native.index_chunks`` into a Stream (ids from 0).

    Reflections on a panel that is not in ``panels`` get ``panel_id`` -1 (a missing
    ``panel`` in the tables) and, with ``warn``, one :class:`UnknownPanelWarning`
    with their count. The Stream's ``chunk_rows`` are ``rows``, and it remembers where
    each image and crystal stands in the file (for rows in file order), so that
    :meth:`Stream.write` copies their text.

    >>> import quillon_native, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "empty.stream")
    >>> with open(path, "w") as f:
    ...     _ = f.write("a header and no chunk\\n")
    >>> rows = quillon_native.index_chunks(path)
    >>> parse_rows(path, rows, panels=["p0"])
    <Stream empty.stream: 0 images, 0 crystals, 0 reflections>
    """
    path = fspath(path)
    return _parse(path, rows, panels, default_threads(n_threads), header, warn, _stamp(path), None)


def _stamp(path: str) -> Stamp | None:
    try:
        return Stamp.of(os.stat(path))
    except (OSError, ValueError):  # the parse says why, if it has to open the file
        return None


def _parse(path: str, rows: np.ndarray, panels: Sequence[str], n_threads: int, header: str,
           warn: bool, stamp: Stamp | None, header_end: int | None) -> Stream:
    """Parse ``rows``; the Stream's text is known as of ``stamp`` (None: not known), its
    header ending at ``header_end`` (None: not known)."""
    names = [UNKNOWN_PANEL, *panels]
    origin = None
    if stamp is None or parse_chunks_with_offsets is None:
        columns, filenames, events, report = parse_chunks(path, rows, names, n_threads)
    else:  # also where each image and crystal stands, so that a selection can copy its text
        columns, filenames, events, report, image_lines, blocks = parse_chunks_with_offsets(
            path, rows, names, n_threads)
        origin = _verbatim.locate(path, stamp, rows, image_lines, blocks, columns["image_id"],
                                  header_end)
    panel_id = columns["panel_id"]
    panel_id -= 1  # our own array: shift the ids back in place
    if warn:
        warn_unknown_panels(int(np.count_nonzero(panel_id < 0)), path)
    s = Stream.from_native(columns, filenames, events, report, header=header,
                           panels=panels, path=path)
    s.chunk_rows = rows
    s._origin = origin
    return s


def parse_source(src: Source, rows: np.ndarray, *, n_threads: int = 1,
                 warn: bool = True) -> Stream:
    """Parse chunk rows of an indexed file, refusing a file that changed since (StreamChangedError).

    The Stream's text is known as of the index, so that a change after it was made keeps
    its text from being copied."""
    src.stamp.check(src.path)
    s = _parse(src.path, rows, src.panels, default_threads(n_threads), src.header, warn,
               src.stamp, src.header_end)
    src.stamp.check(src.path)  # a file rewritten during the parse gave mixed text
    return s


def read(path: PathLike, *, panels: Panels = None, n_threads: int | None = None,
         max_crystals: int | None = None) -> Stream:
    """Read a ``.stream`` file.

    ``panels=None`` takes the panel names from the geometry in the stream's header
    (ValueError when it has none: pass ``panels=[...]``); ``panels="auto"`` takes the
    distinct panel names of the reflection rows, in order of first appearance (one
    extra pass over the file in Python: slower than names from a geometry).
    ``n_threads=None`` uses every core this process may run on. ``max_crystals`` stops
    after the chunk that brings the crystal count to at least that number, reading only
    the start of the file.

    An empty file, or a stream header without chunks, gives an empty Stream. A file that
    is not a stream raises ValueError naming it: compressed (gzip, zstd, bzip2, xz), NUL
    bytes before the first chunk, or no chunk at all. OSErrors carry ``errno``,
    ``strerror`` and ``filename``; a named pipe or a device is refused (OSError).

    >>> s = read("run7.stream")                                      # doctest: +SKIP
    >>> s                                                            # doctest: +SKIP
    <Stream run7.stream: 1,275 images, 1,560 crystals, 2,567,370 reflections>
    >>> s.observations.groupby("panel", observed=True)["I"].mean()  # doctest: +SKIP
    """
    threads = default_threads(n_threads)
    src = index(path, panels, threads, max_crystals)
    return parse_source(src, src.rows, n_threads=threads)


def _batches(rows: np.ndarray, batch_bytes: int) -> Iterator[np.ndarray]:
    """Consecutive runs of rows holding about ``batch_bytes`` of text each (at least one row)."""
    budget = min(int(batch_bytes), 1 << 62)  # a size past any file is one batch
    ends = np.cumsum(rows[:, 1] - rows[:, 0])
    start = 0
    while start < len(rows):
        before = int(ends[start - 1]) if start else 0
        stop = max(int(np.searchsorted(ends, before + budget, side="left")) + 1, start + 1)
        yield rows[start:stop]
        start = stop


def rebase(s: Stream, first_crystal_id: int, first_image_id: int) -> Stream:
    """``s`` (ids from its own first ids) with ids counted from these first ids.

    The id columns are new arrays and every other column is shared, so ``s`` itself is
    left as it was (a Dask task run again finds its input unchanged).
    """
    out = Stream.from_native(_shifted_ids(s, first_crystal_id, first_image_id), s.filenames, s.events, s.report, header=s.header,
                             panels=s.panels, path=s.path, first_crystal_id=first_crystal_id,
                             first_image_id=first_image_id)
    out.chunk_rows = s.chunk_rows
    out._origin = s._origin
    return out


def _shifted_ids(s: Stream, first_crystal_id: int, first_image_id: int) -> dict[str, np.ndarray]:
    """``s``'s columns with new id columns counted from these first ids (the others shared)."""
    columns = dict(s.columns)
    columns["crystal_id"] = s.columns["crystal_id"] + np.int32(first_crystal_id - s.first_crystal_id)
    columns["image_id"] = s.columns["image_id"] + np.int32(first_image_id - s.first_image_id)
    return columns


def batches(src: Source, *, batch_bytes: int, n_threads: int = 1,
            progress: ProgressCallback | None = None, warn: bool = True) -> Iterator[Stream]:
    """The indexed file as consecutive Streams of about ``batch_bytes`` of text each.

    Ids count over the whole file; each batch's ``chunk_rows`` and ``byte_range`` say
    what it covers. ``progress(done, total)`` is called with the bytes of the file up to
    the end of each batch (and the file's size at the end).
    """
    first_crystal = first_image = 0
    for rows in _batches(src.rows, batch_bytes):
        batch = parse_source(src, rows, n_threads=n_threads, warn=warn)
        # a fresh parse that nothing else holds: its ids are shifted in place
        batch.columns["crystal_id"] += np.int32(first_crystal)
        batch.columns["image_id"] += np.int32(first_image)
        batch.first_crystal_id, batch.first_image_id = first_crystal, first_image
        first_crystal += batch.n_crystals
        first_image += batch.n_images
        if progress is not None:
            progress(int(rows[-1, 1]), src.size)
        yield batch
        del batch  # hold no batch while the next one is parsed
    if progress is not None:
        progress(src.size, src.size)


def iter_batches(path: PathLike, *, batch_bytes: int | str = "1 GiB",
                 panels: Panels = None, n_threads: int | None = None,
                 progress: bool | ProgressCallback = False, warn: bool = True) -> Iterator[Stream]:
    """Read a stream as consecutive Streams of about ``batch_bytes`` of text each.

    The file is indexed once (on the first ``next()``); each batch then parses its own
    chunks, so memory holds about one batch whatever the file's size. ``crystal_id`` and
    ``image_id`` count over the whole file (each batch's ``first_crystal_id`` and
    ``first_image_id`` say where it starts), so ``concat(list(iter_batches(p)))`` equals
    ``read(p)``. Each batch's ``byte_range`` and ``chunk_rows`` say which part of the file
    it holds. ``panels`` as for :func:`read`.

    ``progress=True`` shows a progress bar by bytes on standard error (needs ``rich``);
    a callable is called as ``progress(bytes_done, bytes_total)`` after each batch.
    ``warn=False`` leaves out the :class:`UnknownPanelWarning` of each batch (count
    ``batch.columns["panel_id"] < 0`` instead). A file that changes while it is read
    raises :class:`quillon.StreamChangedError` at the next batch.

    >>> for batch in iter_batches("run7.stream", batch_bytes="256 MiB"):  # doctest: +SKIP
    ...     batch.observations.to_parquet(f"part{batch.first_image_id}.parquet")
    """
    size = parse_size(batch_bytes)
    threads = default_threads(n_threads)
    src = index(path, panels, threads)
    if progress is True:
        with ProgressBar(os.path.basename(src.path)) as bar:
            yield from batches(src, batch_bytes=size, n_threads=threads, progress=bar, warn=warn)
    else:
        callback = progress if callable(progress) else None
        yield from batches(src, batch_bytes=size, n_threads=threads, progress=callback, warn=warn)


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
        columns = _shifted_ids(s, next_crystal, next_image)
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
        warn(f"concat of streams whose headers differ ({', '.join(names[:4])}"
             f"{', …' if len(names) > 4 else ''}): the result keeps the first header, "
             "and writing it needs header=", UserWarning)
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
