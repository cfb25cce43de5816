"""Writing a selection of a stream as a copy of its own text.

A Stream read from a file keeps an :class:`Origin`: where each of its images and crystals
stands in that file. Writing a selection then copies the header and the text of every kept
image byte for byte, with the blocks of the dropped crystals cut out ("--- Begin crystal" to
the end of the "--- End crystal" line), so peak lists, serial numbers, keys the columns do
not hold, line ends and spacing stay as they were. The copy goes through the kernel in
ranges (``os.copy_file_range``, else ``os.sendfile``, else reads and writes of a few MiB), so
memory does not grow with the file.

What the reader could not take as an image or a crystal (a damaged chunk, a damaged crystal
block) is not in the columns, so no selection names it: a damaged crystal block goes with its
image, and a chunk without a readable image is copied unless empty images are dropped.
"""
from __future__ import annotations

import errno
import os
import stat
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import BinaryIO

import numpy as np

from ._native import index_chunks
from ._source import Stamp, StreamChangedError, open_regular

# Bytes handed to one kernel copy call, and read at a time where the kernel cannot copy.
_KERNEL_PIECE = 1 << 30
_READ_PIECE = 8 << 20
# The kernel cannot copy between these two files: fall back to the next way.
_NO_KERNEL_COPY = {errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EBADF,
                   errno.EPERM, errno.ENOTSUP}


def _ranges(values: np.ndarray | None = None) -> np.ndarray:
    return np.empty((0, 2), np.int64) if values is None else np.asarray(values, np.int64).reshape(-1, 2)


@dataclass(frozen=True)
class Origin:
    """Where the images and crystals of a Stream stand in the file it was read from.

    Byte ranges are ``[start, end)`` rows of ``(n, 2)`` int64 arrays, in file order:

    * ``images``: the text of each image (its chunk; a chunk holding several images is
      cut at their "Image filename:" lines);
    * ``crystals``: each crystal's block;
    * ``cuts``: blocks of dropped crystals inside kept images, to leave out;
    * ``loose``: chunks in which the reader found no image, copied as they are.

    ``stamp`` is the file's size and modification time when it was read; ``header_end``
    where its first chunk starts, when the reader knew it (None: found again when copying).
    """

    path: str
    stamp: Stamp
    images: np.ndarray
    crystals: np.ndarray
    cuts: np.ndarray
    loose: np.ndarray
    whole: bool = False  # everything after the header, whatever the chunks
    header_end: int | None = None

    def select(self, keep_crystal: np.ndarray, keep_image: np.ndarray, image_of: np.ndarray,
               drop_empty_images: bool) -> Origin:
        """The origin of a selection: masks over this origin's crystals and images, and the
        image of each crystal (rows, from 0)."""
        images = self.images[keep_image]
        dropped = ~keep_crystal & keep_image[image_of]
        cuts = np.concatenate([self.cuts, self.crystals[dropped]])
        cuts = cuts[_inside(cuts[:, 0], images)]
        cuts = cuts[np.argsort(cuts[:, 0], kind="stable")]
        loose = self.loose[:0] if drop_empty_images else self.loose
        return replace(self, images=images, crystals=self.crystals[keep_crystal], cuts=cuts,
                       loose=loose)

    def runs(self) -> np.ndarray:
        """The byte ranges to copy after the header, in file order, touching ones joined."""
        if self.whole:
            raise ValueError("a whole file has no runs; copy it from its header's end")
        keep = np.concatenate([self.images, self.loose])
        keep = keep[np.argsort(keep[:, 0], kind="stable")]
        if len(keep) and np.any(keep[1:, 0] < keep[:-1, 1]):
            raise ValueError("overlapping image ranges: not a selection of one file")
        # Each cut lies inside one kept range and cuts do not overlap, so the ends of the
        # kept bytes are the kept ranges' ends and the cuts' starts, in order.
        starts = np.sort(np.concatenate([keep[:, 0], self.cuts[:, 1]]))
        ends = np.sort(np.concatenate([keep[:, 1], self.cuts[:, 0]]))
        runs = np.stack([starts, ends], axis=1)
        runs = runs[runs[:, 1] > runs[:, 0]]
        if len(runs) < 2:
            return runs
        joined = np.ones(len(runs), bool)
        joined[1:] = runs[1:, 0] != runs[:-1, 1]  # True where a new run begins
        first = np.flatnonzero(joined)
        last = np.append(first[1:] - 1, len(runs) - 1)
        return np.stack([runs[first, 0], runs[last, 1]], axis=1)


def _inside(offsets: np.ndarray, ranges: np.ndarray) -> np.ndarray:
    """Which offsets lie inside one of the sorted, disjoint ``ranges``."""
    at = np.searchsorted(ranges[:, 0], offsets, side="right") - 1
    inside = at >= 0
    inside[inside] &= offsets[inside] < ranges[at[inside], 1]
    return inside


def locate(path: str, stamp: Stamp, rows: np.ndarray, image_lines: np.ndarray,
           crystal_blocks: np.ndarray, crystal_image: np.ndarray,
           header_end: int | None = None) -> Origin | None:
    """The origin of a parse of chunk ``rows`` of ``path``, given the parser's image lines
    and crystal blocks and each crystal's image (row, from 0), and where the file's header
    ends when it is known; None when the rows are not in file order (the text of such a
    parse is not a selection of the file)."""
    rows = np.asarray(rows, np.int64)[:, :2]
    if np.any(rows[:, 1] < rows[:, 0]) or np.any(rows[1:, 0] < rows[:-1, 1]):
        return None
    chunk = np.searchsorted(rows[:, 0], image_lines, side="right") - 1
    first_of_chunk = np.ones(len(chunk), bool)
    first_of_chunk[1:] = chunk[1:] != chunk[:-1]
    starts = np.where(first_of_chunk, rows[chunk, 0], image_lines)
    last_of_chunk = np.append(first_of_chunk[1:], True)
    ends = np.where(last_of_chunk, rows[chunk, 1], np.append(starts[1:], 0))
    images = np.stack([starts, ends], axis=1) if len(chunk) else _ranges()
    crystals = _ranges(crystal_blocks).copy()
    if len(crystals):  # a block never reaches past its image's text
        crystals[:, 1] = np.minimum(crystals[:, 1], images[crystal_image, 1])
    has_image = np.zeros(len(rows), bool)
    has_image[chunk] = True
    loose = rows[~has_image & (rows[:, 1] > rows[:, 0])]
    return Origin(path, stamp, images, crystals, _ranges(), loose, header_end=header_end)


def whole_file(path: str, stamp: Stamp, header_end: int | None = None) -> Origin:
    """The origin of a whole file as it is (its header is copied as the header)."""
    return Origin(path, stamp, _ranges(), _ranges(), _ranges(), _ranges(), whole=True,
                  header_end=header_end)


def concat(origins: Sequence[Origin | None]) -> Origin | None:
    """The origin of Streams put one after the other: None unless all come from the same
    unchanged file and follow each other in it."""
    if not origins or any(o is None for o in origins):
        return None
    first = origins[0]
    assert first is not None
    if any((o.path, o.stamp) != (first.path, first.stamp) for o in origins if o is not None):
        return None
    parts = [o for o in origins if o is not None]
    joined = replace(first, images=np.concatenate([o.images for o in parts]),
                     crystals=np.concatenate([o.crystals for o in parts]),
                     cuts=np.concatenate([o.cuts for o in parts]),
                     loose=np.concatenate([o.loose for o in parts]))
    every = np.concatenate([joined.images, joined.loose])
    every = every[np.argsort(every[:, 0], kind="stable")]
    if np.any(every[1:, 0] < every[:-1, 1]):  # the same text twice, or out of order
        return None
    if np.any(joined.images[1:, 0] < joined.images[:-1, 1]):
        return None
    return joined


def check_unchanged(origin: Origin, st: os.stat_result | None = None) -> None:
    """StreamChangedError unless the origin's file (its ``st`` when given) is as it was read."""
    origin.stamp.check(origin.path, st, since="read",
                       then="its text cannot be copied: read it again, or write the columns "
                            "with verbatim=False")


def header_end(path: str) -> int:
    """The offset of the first chunk (the file's size when it has none)."""
    rows = index_chunks(path, 1, max_crystals=0)
    return int(rows[0, 0]) if len(rows) else os.stat(path).st_size


class Copier:
    """Copies byte ranges of one source file to the end of an open binary output.

    Opens the source, checks it is the file the origin was read from (size and modification
    time) and checks it again on :meth:`close`, so a change during the copy is caught too.
    """

    def __init__(self, origin: Origin):
        self.origin = origin
        try:
            self._file = open_regular(origin.path)
        except FileNotFoundError:
            raise StreamChangedError(f"{origin.path}: no longer there, so its text cannot be "
                                     "copied; write the columns with verbatim=False") from None
        self._fd = self._file.fileno()
        try:
            check_unchanged(origin, os.fstat(self._fd))
        except BaseException:
            self._file.close()
            raise
        self._kernel = hasattr(os, "copy_file_range")
        self._sendfile = hasattr(os, "sendfile")

    def header(self) -> bytes:
        end = self.origin.header_end
        if end is None:
            end = header_end(self.origin.path)
        return os.pread(self._fd, end, 0) if end else b""

    def copy(self, out: BinaryIO, runs: np.ndarray) -> int:
        """Appends the bytes of each ``[start, end)`` row of ``runs`` to ``out``; returns
        how many."""
        out.flush()
        dst = out.fileno()
        total = 0
        for start, end in runs.tolist():
            self._copy_range(dst, start, end - start)
            total += end - start
        return total

    def _copy_range(self, dst: int, offset: int, n: int) -> None:
        while n > 0:
            piece = min(n, _KERNEL_PIECE)
            done = None
            if self._kernel:
                try:
                    done = os.copy_file_range(self._fd, dst, piece, offset)
                except OSError as exc:
                    if exc.errno not in _NO_KERNEL_COPY:
                        raise
                    self._kernel = False
            if done is None and self._sendfile:
                try:
                    done = os.sendfile(dst, self._fd, offset, piece)
                except OSError as exc:
                    if exc.errno not in _NO_KERNEL_COPY:
                        raise
                    self._sendfile = False
            if done is None:
                data = memoryview(os.pread(self._fd, min(piece, _READ_PIECE), offset))
                done = len(data)
                while data:
                    data = data[os.write(dst, data):]
            if done == 0:
                raise StreamChangedError(f"{self.origin.path}: ends before byte {offset:,}, "
                                         "so it changed since it was read")
            offset += done
            n -= done

    def close(self) -> None:
        """Checks the source once more and closes it."""
        try:
            check_unchanged(self.origin, os.fstat(self._fd))
        finally:
            self._file.close()

    def abandon(self) -> None:
        """Closes the source without checking it (the copy failed anyway)."""
        self._file.close()


class TextWriter:
    """Writes the text of consecutive selections of one unchanged file into ``out``: the
    header once (the source's bytes, or ``header`` as UTF-8 when it is given and is not the
    source's text), then each selection's runs, in the order given."""

    def __init__(self, out: BinaryIO, header: str | None = None):
        self.out = out
        self.header = header
        self._copier: Copier | None = None
        self._header_end = 0

    def write(self, origin: Origin) -> None:
        if self._copier is None:
            self._copier = Copier(origin)
            source_header = self._copier.header()
            self._header_end = len(source_header)
            if self.header is None or self.header == source_header.decode("utf-8", "replace"):
                self.out.write(source_header)
            else:
                self.out.write(self.header.encode("utf-8"))
        else:
            known = self._copier.origin
            if origin.path != known.path or origin.whole or known.whole:
                raise ValueError(f"{origin.path}: not a further selection of {known.path}")
            now = os.stat(origin.path)
            check_unchanged(known, now)
            check_unchanged(origin, now)
        if origin.whole:
            runs = np.array([[self._header_end, origin.stamp.size]], np.int64)
        else:
            runs = origin.runs()
        self._copier.copy(self.out, runs)

    def close(self) -> None:
        """Checks that the source did not change during the copy and lets it go."""
        if self._copier is not None:
            copier, self._copier = self._copier, None
            copier.close()

    def abandon(self) -> None:
        if self._copier is not None:
            copier, self._copier = self._copier, None
            copier.abandon()


def open_output(path: str | os.PathLike[str]) -> BinaryIO:
    """The new, empty temporary file of an output, opened for writing without truncating it:
    on some file systems (ext4) a file truncated on opening is flushed to disk when closed,
    which would cost as much as the copy. An output that is no regular file (a pipe, a
    device: written in place) is opened for writing only, as it cannot be read back."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        return open(path, "wb")
    return open(path, "r+b")


def write_text(origin: Origin, out: BinaryIO, header: str | None) -> None:
    """Writes the header and the selection's text to ``out`` (see :class:`TextWriter`)."""
    writer = TextWriter(out, header)
    try:
        writer.write(origin)
    except BaseException:
        writer.abandon()
        raise
    writer.close()
