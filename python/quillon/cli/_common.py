"""What every command shares: opening inputs, reading in batches, progress, safe outputs."""
from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import click
import numpy as np

import quillon
from quillon._native import default_threads, index_chunks
from quillon._output import (
    ForeignFolderError,
    SameFileError,
    output_folder,
    output_path,
)
from quillon._parquet import is_tables_folder as is_output_folder
from quillon._read import _batches as row_batches

if TYPE_CHECKING:
    from typing_extensions import Self


def _progress_delay() -> float:
    """Seconds of work before a progress bar appears (a bar would only flicker on short runs)."""
    try:
        return max(float(os.environ.get("QUILLON_PROGRESS_DELAY", "1.0")), 0.0)
    except ValueError:
        return 1.0


PROGRESS_DELAY = _progress_delay()


class InputError(click.ClickException):
    """A file the command cannot use: one line ``quillon: PATH: reason`` and exit status 2."""

    exit_code = 2

    def show(self, file=None) -> None:
        click.echo(f"quillon: {self.format_message()}", err=True)


class CommandFailed(InputError):
    """The work could not be done (nothing to plot, an output that cannot be written): exit 1."""

    exit_code = 1


def os_error_text(exc: OSError, path: str | os.PathLike | None = None) -> str:
    name = exc.filename if exc.filename is not None else path
    reason = exc.strerror or str(exc)
    return f"{os.fsdecode(name)}: {reason}" if name is not None else reason


def threads_option(f):
    return click.option("--threads", "-j", type=click.IntRange(min=1), default=None, metavar="N",
                        help="Threads to parse and write with (default: every core this process may use).")(f)


def quiet_option(f):
    return click.option("--quiet", "-q", is_flag=True, help="No progress bar.")(f)


def batch_option(f):
    return click.option(
        "--batch-size", default="256 MiB", show_default=True, metavar="SIZE",
        help="Stream text read per batch; memory stays about a batch's columns whatever the file size.",
        callback=_parse_size)(f)


def panels_option(f):
    return click.option(
        "--panels", metavar="NAMES", default=None,
        help="Panel names, comma-separated or @FILE with one per line, for a stream whose header "
             "has no geometry (default: from the geometry in the header).")(f)


def _parse_size(ctx, param, value: str) -> int:
    try:
        return quillon.parse_size(value)
    except (ValueError, TypeError) as exc:
        raise click.BadParameter(str(exc)) from None


@dataclass
class Source:
    """An input stream, checked readable, with its header and panel names."""

    path: str
    size: int
    header: str
    panels: list[str]


def open_stream(path: str, panels: str | None = None) -> Source:
    """Check that ``path`` is a readable file and read its header and panel names."""
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
        header = quillon.read_header(path)
    except OSError as exc:
        raise InputError(os_error_text(exc, path)) from None
    names = _panel_list(panels) if panels is not None else quillon.panels_from_header(header)
    return Source(path, size, header, names)


def _panel_list(text: str) -> list[str]:
    if text.startswith("@"):
        try:
            return Path(text[1:]).read_text(encoding="utf-8").split()
        except OSError as exc:
            raise InputError(os_error_text(exc, text[1:])) from None
    return [name for name in text.split(",") if name]


class Progress:
    """A bar by bytes on standard error, shown only on a terminal and after ``delay`` seconds.

    The bar starts from a timer, so a run that ends sooner never draws one; it is transient
    and leaves nothing behind on the terminal when the work is done.
    """

    def __init__(self, total: int, enabled: bool, delay: float = PROGRESS_DELAY):
        self.total = total
        self.enabled = enabled and sys.stderr.isatty()
        self.delay = delay
        self._bar: Any = None
        self._task: Any = None
        self._timer: threading.Timer | None = None

    def __enter__(self) -> Self:
        if self.enabled:
            from rich import progress as rp
            from rich.console import Console

            self._bar = rp.Progress(
                rp.TextColumn("[bold]{task.description}"), rp.BarColumn(),
                rp.DownloadColumn(), rp.TransferSpeedColumn(), rp.TimeRemainingColumn(),
                console=Console(stderr=True), transient=True)
            self._task = self._bar.add_task("reading", total=self.total)
            self._timer = threading.Timer(self.delay, self._bar.start)
            self._timer.daemon = True
            self._timer.start()
        return self

    def advance(self, nbytes: int, description: str | None = None) -> None:
        if self._bar is not None:
            self._bar.update(self._task, advance=nbytes,
                             **({"description": description} if description else {}))

    def __exit__(self, *exc) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer.join()
            self._bar.stop()


@dataclass
class Reading:
    """Counts a reading adds up across batches: what the report left out, unknown panels."""

    excluded: dict[str, list[int]] = field(default_factory=dict)
    unknown_panel: int = 0

    def add(self, s: quillon.Stream) -> None:
        for reason, (count, first) in s.report.items():
            seen = self.excluded.setdefault(reason, [0, int(first)])
            seen[0] += int(count)
            seen[1] = min(seen[1], int(first))
        self.unknown_panel += int(np.count_nonzero(s.columns["panel_id"] < 0))


def batches(src: Source, *, threads: int | None, batch_bytes: int, progress: Progress | None = None,
            reading: Reading | None = None) -> Iterator[quillon.Stream]:
    """The stream as consecutive batches of whole chunks, as ``quillon.iter_batches`` gives them.

    Ids count over the whole file (``first_crystal_id``/``first_image_id`` say where each batch
    starts). Advances ``progress`` by the bytes each batch covers and adds its report to
    ``reading``; unknown panels are counted there instead of warned about batch by batch.
    """
    threads = default_threads(threads)
    name = os.path.basename(src.path)
    try:
        rows = index_chunks(src.path, threads)
        first_crystal = first_image = done = 0
        for batch_rows in row_batches(rows, batch_bytes):
            s = quillon.parse_rows(src.path, batch_rows, panels=src.panels, n_threads=threads,
                                   header=src.header, warn=False)
            s.columns["crystal_id"] += np.int32(first_crystal)
            s.columns["image_id"] += np.int32(first_image)
            s.first_crystal_id, s.first_image_id = first_crystal, first_image
            first_crystal += s.n_crystals
            first_image += s.n_images
            if reading is not None:
                reading.add(s)
            if progress is not None:
                progress.advance(int(batch_rows[-1, 1]) - done, name)
            done = int(batch_rows[-1, 1])
            yield s
            del s  # hold no batch while the next one is parsed
    except OSError as exc:
        raise InputError(os_error_text(exc, src.path)) from None
    if progress is not None:
        progress.advance(src.size - done, name)


def warn(message: str) -> None:
    click.echo(f"quillon: {message}", err=True)


def note_reading(src: Source, reading: Reading, dropped: int = 0) -> None:
    """Tell on standard error what a command that prints no summary left out of ``src``;
    ``dropped`` reflections on unknown panels were left out of the output."""
    for reason, (count, first) in reading.excluded.items():
        warn(f"{src.path}: left out {count} × {reason} (first at byte {first})")
    if dropped:
        warn(f"{src.path}: left out {dropped:,} reflection{'s' * (dropped != 1)} on panels not "
             "in the panel list (their panel name is not known)")
    elif reading.unknown_panel:
        warn(f"{src.path}: {reading.unknown_panel} reflections on panels not in the geometry")


def input_files(*paths: str | None, panels: str | None = None) -> list[str | None]:
    """Every file a command reads: ``paths`` and the file of ``--panels @FILE``."""
    return [*paths, panels[1:] if panels and panels.startswith("@") else None]


@contextlib.contextmanager
def atomic_output(target: str | os.PathLike, *, inputs: Iterable[str | os.PathLike | None] = (),
                  folder: bool = False) -> Iterator[Path]:
    """The command's side of ``quillon._output``: a temporary path beside ``target`` that
    replaces it when the block succeeds, with refusals and failures as one line.

    An output that is one of ``inputs`` (also through a link), a folder that is not an
    earlier output of quillon, or a file where a folder is wanted (or the reverse) is
    refused before anything is written (exit 2); a write that fails (a full disk) exits 1
    and leaves an existing target as it was.
    """
    started = False
    try:
        with (output_folder(target, inputs=inputs, owned=is_output_folder) if folder
              else output_path(target, inputs=inputs)) as tmp:
            started = True
            yield Path(tmp)
    except (SameFileError, ForeignFolderError) as exc:
        raise InputError(str(exc)) from None
    except OSError as exc:
        reason = exc.strerror or str(exc)
        if not started and isinstance(exc, (IsADirectoryError, NotADirectoryError)):
            raise InputError(f"{os.fsdecode(target)}: {reason}") from None
        raise CommandFailed(f"{os.fsdecode(target)}: cannot write it: {reason}") from None
