"""What every command shares: options, opening inputs, reading through the package, outputs."""
from __future__ import annotations

import contextlib
import math
import os
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

import click
import numpy as np

import quillon
from quillon import _read, _source
from quillon._native import default_threads
from quillon._output import (
    ForeignFolderError,
    SameFileError,
    output_folder,
    output_path,
)
from quillon._parquet import is_tables_folder as is_output_folder
from quillon._progress import ProgressBar
from quillon._read import ProgressCallback, Source, _merge_reports
from quillon._source import StreamChangedError

if TYPE_CHECKING:
    from typing_extensions import Self


def _progress_delay() -> float:
    """Seconds of work before a progress bar appears (a bar would only flicker on short runs)."""
    try:
        delay = float(os.environ.get("QUILLON_PROGRESS_DELAY", "1.0"))
    except ValueError:
        return 1.0
    return max(delay, 0.0) if math.isfinite(delay) else 1.0


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


def shown(path: str | os.PathLike) -> str:
    """``path`` as text any terminal or JSON reader takes: bytes that are not UTF-8 in a file
    name become U+FFFD."""
    return os.fsencode(path).decode("utf-8", errors="replace")


def is_standard_output(path: str | os.PathLike) -> bool:
    """Whether ``path`` is where this process's standard output goes (``/dev/stdout``, or the
    pipe or file it leads to): a command that writes its output there reports on stderr."""
    try:
        return os.path.samestat(os.stat(path), os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError, AttributeError):  # no such file, or no real stdout
        return False


def plural(n: int, noun: str) -> str:
    """``"1 reflection"``, ``"2 reflections"`` (thousands separated)."""
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


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
        "--panels", metavar="NAMES", default=None, callback=_parse_panels,
        help="Panel names, comma-separated or @FILE with one per line, for a stream whose header "
             "has no geometry (default: from the geometry in the header); 'auto' takes the "
             "names the reflection rows use, in order of first appearance (one more pass over "
             "the file).")(f)


FIGURE_FORMATS = ("png", "svg", "pdf")


def figure_format(path: str) -> str:
    """The image format a figure's file name asks for, by its suffix."""
    return Path(path).suffix.lower().lstrip(".")


def _figure_output(ctx, param, value: str) -> str:
    if figure_format(value) not in FIGURE_FORMATS:
        raise click.BadParameter(f"{value!r} must end in .png, .svg or .pdf")
    return value


def _dpi(ctx, param, value: float) -> float:
    if not 10 <= value <= 1200:  # also refuses nan
        raise click.BadParameter(f"{value} is not between 10 and 1200")
    return value


def figure_options(f):
    """``--output`` (a .png, .svg or .pdf) and ``--dpi`` of a command that draws a figure."""
    f = click.option("--dpi", type=float, callback=_dpi, default=100, show_default=True,
                     help="Pixels per inch of a PNG, 10 to 1200 (the figure's size in inches "
                          "is fixed).")(f)
    return click.option("--output", "-o", required=True, callback=_figure_output, metavar="FILE",
                        help="The image to write: .png, .svg or .pdf.")(f)


def reading_options(f):
    """``--panels``, ``--threads``, ``--batch-size`` and ``--quiet``, in that order: the options
    of every command that reads streams in batches."""
    for option in (quiet_option, batch_option, threads_option, panels_option):
        f = option(f)
    return f


def _parse_size(ctx, param, value: str) -> int:
    try:
        return quillon.parse_size(value)
    except (ValueError, TypeError) as exc:
        raise click.BadParameter(str(exc)) from None


class PanelNames(list):
    """The names ``--panels`` gave; ``file`` is the file of ``@FILE`` (an input of the command)."""

    file: str | None = None


def _parse_panels(ctx, param, value: str | None) -> PanelNames | str | None:
    if value is None or value == "auto":
        return value
    names: list[str]
    if value.startswith("@"):
        try:
            names = _source.read_text(value[1:]).split()
        except OSError as exc:
            raise InputError(os_error_text(exc, value[1:])) from None
        except ValueError as exc:
            raise InputError(str(exc)) from None
    else:
        names = [name for name in value.split(",") if name]
    if not names:
        raise click.BadParameter(f"no panel name in {value!r}")
    try:
        out = PanelNames(_read.check_panel_names(names))
    except ValueError as exc:
        raise click.BadParameter(str(exc)) from None
    out.file = value[1:] if value.startswith("@") else None
    return out


@contextlib.contextmanager
def reading(path: str) -> Iterator[None]:
    """Errors of reading ``path`` as one line: exit 2 for a file that cannot be used, 1 for one
    that changed while it was read."""
    try:
        yield
    except OSError as exc:
        raise InputError(os_error_text(exc, path)) from None
    except StreamChangedError as exc:
        raise CommandFailed(str(exc)) from None
    except ValueError as exc:
        text = str(exc)
        raise InputError(text if text.startswith(path) else f"{path}: {text}") from None


def open_stream(path: str, panels: list[str] | str | None = None, *,
                threads: int | None = None) -> Source:
    """Index ``path`` (a regular, uncompressed stream) and settle its panel names.

    A stream without geometry and without ``--panels`` gets no panel names: every
    reflection is on an unknown panel, which the commands that must write panels refuse.
    """
    with reading(path):
        return _read.index(path, panels, default_threads(threads), need_panels=False)


def batches(src: Source, *, threads: int | None, batch_bytes: int,
            progress: ProgressCallback | None = None) -> Iterator[quillon.Stream]:
    """``quillon.iter_batches`` over an opened stream, its errors as one line.

    Unknown panels are not warned about batch by batch: :class:`Tally` counts them.
    """
    with reading(src.path):
        yield from _read.batches(src, batch_bytes=batch_bytes, n_threads=default_threads(threads),
                                 progress=progress, warn=False)


def read_batches(src: Source, threads: int | None, batch_size: int,
                 quiet: bool) -> Iterator[quillon.Stream]:
    """The batches of ``src`` under the command's progress bar (none when ``quiet``), as
    :func:`batches` reads them."""
    with Progress([src], enabled=not quiet) as progress:
        yield from batches(src, threads=threads, batch_bytes=batch_size,
                           progress=progress.of(src))


def require_panels(src: Source) -> None:
    """Refuse a stream whose reflections cannot be written with their panel names."""
    if not src.panels and int(src.rows[:, 3].clip(min=0).sum()) > 0:
        raise InputError(f"{src.path}: the header has no geometry, so reflections could not be "
                         "written with their panels; give --panels NAMES or --panels auto")


class Progress:
    """The package's progress bar as the command shows it: on a terminal, after a delay, and
    cleared when done; one bar over several files."""

    def __init__(self, sources: list[Source], enabled: bool) -> None:
        self.total = sum(src.size for src in sources)
        self.bar = ProgressBar("reading", delay=PROGRESS_DELAY, transient=True,
                               terminal_only=True) if enabled else None
        self.done = 0

    def of(self, src: Source) -> ProgressCallback | None:
        """The progress callback of reading ``src`` (the files are read in order)."""
        if self.bar is None:
            return None
        bar, before, name = self.bar, self.done, os.path.basename(src.path)
        self.done += src.size
        return lambda done, total: bar(before + done, self.total, name)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


@dataclass
class Tally:
    """What a reading adds up across batches: the report (merged as ``quillon.concat`` merges
    it), and the reflections on unknown panels."""

    report: dict[str, tuple[int, int]] = field(default_factory=dict)
    unknown_panel: int = 0

    def add(self, s: quillon.Stream) -> None:
        merged = _merge_reports([self.report, s.report], take_min=True)
        self.report.clear()  # in place: a writer given the report reads it at its end
        self.report.update(merged)
        self.unknown_panel += int(np.count_nonzero(s.columns["panel_id"] < 0))


def warn(message: str) -> None:
    click.echo(f"quillon: {message}", err=True)


def note_reading(src: Source, tally: Tally, dropped: int = 0) -> None:
    """Tell on standard error what a command that prints no summary left out of ``src``;
    ``dropped`` reflections on unknown panels were left out of the output."""
    for reason, (count, first) in tally.report.items():
        warn(f"{src.path}: left out {count:,} × {reason} (first at byte {first:,})")
    if dropped:
        note_dropped(src.path, dropped)
    elif tally.unknown_panel:
        warn(f"{src.path}: {plural(tally.unknown_panel, 'reflection')} on panels not in the "
             "panel list")


def note_dropped(path: str, dropped: int) -> None:
    """Tell that ``dropped`` reflections of ``path`` on unknown panels were left out."""
    if dropped:
        warn(f"{path}: left out {plural(dropped, 'reflection')} on panels not in the panel "
             "list (their panel name is not known)")


def input_files(*paths: str | None, panels: list[str] | str | None = None) -> list[str | None]:
    """Every file a command reads: ``paths`` and the file of ``--panels @FILE``."""
    return [*paths, getattr(panels, "file", None)]


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
