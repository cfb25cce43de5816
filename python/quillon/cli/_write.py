"""Writing a stream batch by batch into one file."""
from __future__ import annotations

from pathlib import Path

import quillon
from quillon.cli._common import append_file


class StreamSink:
    """Writes consecutive Streams as one stream file: the header once, then every batch's chunks.

    The first batch is written straight to ``path``; later ones to a part file beside it that is
    appended and removed, so memory holds one batch whatever the size of the output.
    """

    def __init__(self, path: Path, header: str, threads: int | None):
        self.path = path
        self.header = header
        self.threads = threads
        self.images = self.crystals = self.reflections = 0

    def write(self, s: quillon.Stream) -> None:
        if self.images == 0:  # nothing in the file but (at most) the header yet
            s.write(self.path, n_threads=self.threads, header=self.header)
        else:
            part = self.path.with_name(self.path.name + ".part")
            try:
                s.write(part, n_threads=self.threads, header="")
                append_file(self.path, part)
            finally:
                part.unlink(missing_ok=True)
        self.images += s.n_images
        self.crystals += s.n_crystals
        self.reflections += len(s)

    def close(self) -> None:
        """Make sure the file exists, holding the header alone when no image was written."""
        if self.images == 0:  # nothing in the file but (at most) the header yet
            self.path.write_text(self.header, encoding="utf-8", newline="")
