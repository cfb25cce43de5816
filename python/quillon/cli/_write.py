"""Writing a stream batch by batch into one file."""
from __future__ import annotations

import mmap
import os
from pathlib import Path
from typing import TYPE_CHECKING

import quillon
from quillon._verbatim import TextWriter, open_output

if TYPE_CHECKING:
    from typing_extensions import Self

SERIAL = b"\nImage serial number: "


class StreamSink:
    """Writes consecutive Streams as one stream file: the header once, then every batch's chunks.

    With ``verbatim`` each batch is a selection of one source file and its text is copied
    from there (see ``Stream.write``). Otherwise the columns are written: the first batch
    straight to ``path``, later ones to a part file beside it that is appended and removed, so
    memory holds one batch whatever the size of the output. The writer numbers the images of
    each call from 0, so the appended images get their serial numbers renumbered to follow on:
    the file is byte for byte what one call would have written.
    """

    def __init__(self, path: Path, header: str, threads: int | None, verbatim: bool = False):
        self.path = path
        self.header = header
        self.threads = threads
        self.images = self.crystals = self.reflections = 0
        self._out = open_output(path) if verbatim else None
        self._text = TextWriter(self._out, header) if self._out is not None else None
        self._written = False

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, *rest: object) -> None:
        if kind is not None:  # the output is thrown away: let the files go unchecked
            if self._text is not None:
                self._text.abandon()
            if self._out is not None:
                self._out.close()

    def write(self, s: quillon.Stream) -> None:
        if self._text is not None:
            if s._origin is None:
                raise ValueError("a batch without source text cannot be copied")
            self._text.write(s._origin)
        elif self.images == 0:  # nothing in the file but (at most) the header yet
            s.write(self.path, n_threads=self.threads, header=self.header, verbatim=False)
        else:
            part = self.path.with_name(self.path.name + ".part")
            try:
                s.write(part, n_threads=self.threads, header="", verbatim=False)
                append_renumbered(self.path, part, self.images, s.n_images)
            finally:
                part.unlink(missing_ok=True)
        self._written = True
        self.images += s.n_images
        self.crystals += s.n_crystals
        self.reflections += len(s)

    def close(self) -> None:
        """Make sure the file exists, holding the header alone when nothing was written."""
        if self._out is not None:
            if not self._written:
                self._out.write(self.header.encode("utf-8"))
            assert self._text is not None
            self._text.close()
            self._out.close()
        elif self.images == 0:  # nothing in the file but (at most) the header yet
            self.path.write_text(self.header, encoding="utf-8", newline="")


def append_renumbered(dst: Path, part: Path, first_serial: int, n_images: int) -> None:
    """Append the chunks in ``part`` to ``dst``, their image serial numbers counting from ``first_serial``."""
    with open(part, "rb") as fin, open(dst, "ab") as fout:
        if os.fstat(fin.fileno()).st_size == 0:
            return
        with mmap.mmap(fin.fileno(), 0, access=mmap.ACCESS_READ) as text, memoryview(text) as view:
            done = 0
            for serial in range(first_serial, first_serial + n_images):
                at = text.find(SERIAL, done)
                if at < 0:
                    raise RuntimeError(f"{part}: fewer image serial numbers than images")
                at += len(SERIAL)
                fout.write(view[done:at])
                fout.write(b"%d" % serial)
                done = text.find(b"\n", at)
            fout.write(view[done:])
