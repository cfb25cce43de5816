"""What a file given as a stream is, looked at before it is parsed.

A named pipe or a device is refused before it is opened for reading (opening a pipe
blocks until a writer comes); a compressed file is named as such; a file without a
chunk is a stream only when it is empty or holds what a stream header holds. The size
and modification time seen here are kept, so that a later parse of the same file can
refuse a file that changed in between.
"""
from __future__ import annotations

import errno
import os
import stat
from typing import BinaryIO, NamedTuple

#: Text before the first chunk read at most: a header (geometry, unit cell) is a few
#: hundred kB at most; a file without chunks is not read whole to learn it is none.
HEADER_LIMIT = 64 << 20

# Magic numbers at the start of a compressed file, its kind and the command that
# decompresses it keeping the original.
_COMPRESSED = (
    (b"\x1f\x8b", "gzip", "gunzip -k"),
    (b"\x28\xb5\x2f\xfd", "zstd", "unzstd"),
    (b"BZh", "bzip2", "bunzip2 -k"),
    (b"\xfd7zXZ\x00", "xz", "unxz -k"),
)
# Lines only a stream header holds: a header without chunks is an empty stream, a
# geometry file or any other text is not a stream.
_HEADER_MARKERS = (b"----- Begin geometry file -----", b"----- Begin unit cell -----")

_KINDS = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class StreamChangedError(RuntimeError):
    """The file changed (size or modification time) since it was indexed."""


class Stamp(NamedTuple):
    """A file's size and modification time, to tell whether it changed since."""

    size: int
    mtime_ns: int

    @classmethod
    def of(cls, st: os.stat_result) -> Stamp:
        return cls(st.st_size, st.st_mtime_ns)

    def check(self, path: str, st: os.stat_result | None = None, *, since: str = "indexed",
              then: str = "read it again") -> None:
        """Raise StreamChangedError unless ``path`` (its ``st`` when given) still has this size
        and time; the message says what the file was ``since`` and what to do (``then``)."""
        now = Stamp.of(os.stat(path) if st is None else st)
        if now != self:
            raise StreamChangedError(
                f"{path}: the file changed since it was {since} ({self.size:,} bytes, now "
                f"{now.size:,}{'' if now.size != self.size else ', modified since'}); {then}")


def open_regular(path: str) -> BinaryIO:
    """``path`` opened for reading in binary, refused unless it is a regular file.

    The file is opened without blocking and checked on its descriptor, so a named pipe
    is refused at once (OSError, errno EINVAL) instead of waiting for a writer.
    """
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            kind = next((name for test, name in _KINDS if test(mode)), "not a file")
            raise OSError(errno.EINVAL, f"not a regular file ({kind})", path)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_text(path: str) -> str:
    """A small regular text file, UTF-8 (a byte-order mark is dropped).

    OSError as from ``open()``; ValueError naming the file when it is not UTF-8 text.
    """
    with open_regular(path) as f:
        data = f.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise ValueError(f"{path}: not UTF-8 text (byte {exc.start:,})") from None


def look(path: str) -> Stamp:
    """Check that ``path`` is a regular file that is not compressed; its size and time."""
    with open_regular(path) as f:
        st = os.fstat(f.fileno())
        start = f.read(8)
    for magic, kind, command in _COMPRESSED:
        if start.startswith(magic):
            name = os.path.basename(path)
            raise ValueError(f"{path}: compressed ({kind}); decompress it first "
                             f"(e.g. `{command} {name}`)")
    return Stamp.of(st)


def read_header(path: str, first_chunk: int, size: int) -> str:
    """The text before the first chunk (at ``first_chunk``, -1 for none) of a file of ``size`` bytes.

    ValueError naming ``path`` when the file is not a stream: NUL bytes before the first
    chunk, no chunk in a file that holds something other than a stream header, or more
    than :data:`HEADER_LIMIT` bytes before the first chunk.
    """
    n = size if first_chunk < 0 else first_chunk
    if n > HEADER_LIMIT:
        where = "no chunk found" if first_chunk < 0 else f"{n:,} bytes before the first chunk"
        raise ValueError(f"{path}: not a stream: {where} (a header is at most "
                         f"{HEADER_LIMIT >> 20} MiB)")
    with open_regular(path) as f:
        data = f.read(n)
    if b"\0" in data:
        where = "no chunk found" if first_chunk < 0 else "binary data before the first chunk"
        raise ValueError(f"{path}: not a stream: {where} (NUL bytes at byte {data.index(0):,})")
    if first_chunk < 0 and data.strip() and not any(m in data for m in _HEADER_MARKERS):
        raise ValueError(f"{path}: not a stream: no chunk found")
    return data.decode("utf-8", errors="replace")
