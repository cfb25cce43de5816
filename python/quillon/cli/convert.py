"""``quillon convert``: a stream to Parquet tables and back, or a stream rewritten."""
from __future__ import annotations

import glob
import os
from pathlib import Path

import click

import quillon
from quillon._parquet import TablesWriter
from quillon.cli import _common as common
from quillon.cli._write import StreamSink

EXAMPLES = """\b
Examples:
  quillon convert run7.stream run7.parquet        # three Parquet tables in a folder
  quillon convert run7.parquet run7-copy.stream   # back to a stream
  quillon convert run7.stream tables/ --threads 8
  quillon convert --scheduler tcp://scheduler:8786 'runs/*.stream' out.parquet/"""


def _is_folder_target(target: str) -> bool:
    return (target.endswith(("/", os.sep)) or Path(target).suffix.lower() == ".parquet"
            or Path(target).is_dir())


@click.command(short_help="A stream to Parquet tables or a stream, and back.", epilog=EXAMPLES)
@click.argument("source", metavar="IN", type=click.Path())
@click.argument("target", metavar="OUT", type=click.Path())
@common.reading_options
@click.option("--scheduler", metavar="ADDR", default=None,
              help="Read on the Dask cluster at ADDR (tcp://host:8786): IN may be a quoted glob of "
                   "streams that every worker reaches under the same path, each batch is a "
                   "partition, OUT a folder of Dask Parquet datasets (quillon.dask.read_parquet). "
                   "Needs quillon_native[dask].")
@click.option("--scheduler-timeout", type=click.FloatRange(min=0, min_open=True, max=86400),
              default=10.0, show_default=True, metavar="SECONDS",
              help="Give up connecting to the --scheduler after this long (exit status 1).")
def convert(source, target, panels, threads, batch_size, quiet, scheduler, scheduler_timeout):
    """Convert IN to OUT, chosen by the name of OUT.

    \b
    OUT a folder or ending in .parquet: the observations, crystals and images tables
        as Parquet files in that folder (read back with quillon.read_parquet);
    OUT ending in .stream: a stream written from the columns.
    IN is a stream, or a Parquet folder written by convert. OUT appears only when the
    whole output is written.
    """
    to_stream = Path(target).suffix.lower() == ".stream" and not target.endswith(("/", os.sep))
    if not to_stream and not _is_folder_target(target):
        raise click.BadParameter("must end in .stream or .parquet, or be a folder", param_hint="OUT")
    if scheduler is not None:
        if to_stream:
            raise click.BadParameter("with --scheduler, OUT is a Parquet folder", param_hint="OUT")
        _convert_on_dask(source, target, scheduler, panels, threads, batch_size, scheduler_timeout)
        return
    if Path(source).is_dir():
        stream = _read_parquet(source)
        with common.atomic_output(target, inputs=[source], folder=not to_stream) as tmp:
            if to_stream:
                if not stream.panels and len(stream):
                    raise common.InputError(
                        f"{source}: the tables name no panels (their stream had no geometry), "
                        "so reflections could not be written back with their panels")
                stream, dropped = stream.without_unknown_panels()
                _check_header(stream, source)
                stream.write(tmp, n_threads=threads, header=stream.header)
            else:
                _write_parquet([stream], str(tmp), stream, stream.report)
        common.note_dropped(source, dropped if to_stream else 0)
        return
    src = common.open_stream(source, panels, threads=threads)
    common.require_panels(src)
    tally = common.Tally()
    dropped = 0
    inputs = common.input_files(source, panels=panels)
    with common.atomic_output(target, inputs=inputs, folder=not to_stream) as tmp, \
            common.Progress([src], enabled=not quiet) as progress:
        parts = _tallied(common.batches(src, threads=threads, batch_bytes=batch_size,
                                        progress=progress.of(src)), tally)
        if to_stream:
            sink = StreamSink(tmp, src.header, threads)
            for batch in parts:
                batch, n = batch.without_unknown_panels()
                dropped += n
                sink.write(batch)
            sink.close()
        else:
            like = quillon.Stream.empty(src.panels, header=src.header)
            like.path = src.path
            _write_parquet(parts, str(tmp), like, tally.report)
    common.note_reading(src, tally, dropped=dropped)


def _tallied(parts, tally: common.Tally):
    for batch in parts:
        tally.add(batch)
        yield batch


def _write_parquet(parts, folder: str, like: quillon.Stream, report) -> None:
    """The tables of the batches as one folder of tables, one row group per batch; the
    record takes header, panels and path from ``like``, and ``report`` (read once the
    batches are written)."""
    writer = TablesWriter(folder)
    try:
        for batch in parts:
            writer.write(batch)
    finally:
        writer.abort()
    writer.close(like, {reason: tuple(v) for reason, v in report.items()})


def _check_header(stream: quillon.Stream, source: str) -> None:
    if stream.headers_differ:
        raise common.InputError(f"{source}: joins streams whose headers differ; no one header "
                                "is right for the stream written")


def _convert_on_dask(source: str, target: str, scheduler: str, panels: list[str] | str | None,
                     threads: int | None, batch_size: int, timeout: float) -> None:
    try:
        import quillon.dask as qd
    except ImportError as exc:
        raise common.InputError(str(exc)) from None
    sources = glob.glob(source) if glob.has_magic(source) else [source]
    with common.atomic_output(target, inputs=common.input_files(*sources, panels=panels),
                              folder=True) as tmp:
        try:
            report = qd.convert_to_parquet(source, tmp, scheduler=scheduler, blocksize=batch_size,
                                           panels=panels, n_threads=threads or 1, timeout=timeout)
        except qd.SchedulerUnreachable as exc:
            raise common.CommandFailed(exc.strerror or str(exc)) from None
        except (OSError, ValueError, quillon.StreamChangedError) as exc:
            with common.reading(source):
                raise exc from None
    for reason, (count, first) in report.items():
        common.warn(f"{source}: left out {count:,} × {reason} (first at byte {first:,} of its file)")


def _read_parquet(folder: str) -> quillon.Stream:
    try:
        return quillon.read_parquet(folder)
    except OSError as exc:
        raise common.InputError(common.os_error_text(exc, folder)) from None
    except ValueError as exc:  # its message names the file and what is wrong with it
        raise common.InputError(str(exc)) from None
