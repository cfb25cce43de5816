"""``quillon convert``: a stream to Parquet tables and back, or a stream rewritten."""
from __future__ import annotations

import os
from pathlib import Path

import click

import quillon
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
@common.panels_option
@common.threads_option
@common.batch_option
@common.quiet_option
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
        with common.atomic_output(target, folder=not to_stream) as tmp:
            if to_stream:
                stream.write(tmp, n_threads=threads)
            else:
                stream.to_parquet(tmp)
        return
    src = common.open_stream(source, panels, threads=threads)
    common.require_panels(src)
    tally = common.Tally()
    with common.atomic_output(target, folder=not to_stream) as tmp, \
            common.Progress([src], enabled=not quiet) as progress:
        parts = _tallied(common.batches(src, threads=threads, batch_bytes=batch_size,
                                        progress=progress.of(src)), tally)
        if to_stream:
            sink = StreamSink(tmp, src.header, threads)
            for batch in parts:
                sink.write(batch)
            sink.close()
        else:
            _write_parquet(parts, tmp, src, tally)
    common.note_reading(src, tally)


def _tallied(parts, tally: common.Tally):
    for batch in parts:
        tally.add(batch)
        yield batch


def _write_parquet(parts, folder: Path, src: common.Source, tally: common.Tally) -> None:
    """The tables of the batches as one Parquet folder that ``quillon.read_parquet`` reads.

    Observations and crystals go out batch by batch as row groups; the images, a small
    table, are kept and written last with the metadata of the whole file (header, panels,
    the report of every batch), which is where ``read_parquet`` looks for it.
    """
    import pyarrow as pa
    import pyarrow.parquet as pq

    folder.mkdir()
    writers: dict[str, pq.ParquetWriter] = {}
    images = []
    try:
        for batch in parts:
            tables = batch.to_arrow()
            for name in ("observations", "crystals"):
                table = tables[name].replace_schema_metadata(None)
                if name not in writers:
                    writers[name] = pq.ParquetWriter(folder / f"{name}.parquet", table.schema)
                writers[name].write_table(table)
            images.append(tables["images"])
    finally:
        for writer in writers.values():
            writer.close()
    whole = quillon.Stream.from_native(
        quillon.Stream.empty(src.panels).columns, [], [],
        tally.report,
        header=src.header, panels=src.panels, path=src.path)
    if not images:
        whole.to_parquet(folder)
        return
    metadata = whole.to_arrow()["images"].schema.metadata
    pq.write_table(pa.concat_tables(images).replace_schema_metadata(metadata), folder / "images.parquet")


def _convert_on_dask(source: str, target: str, scheduler: str, panels: list[str] | str | None,
                     threads: int | None, batch_size: int, timeout: float) -> None:
    try:
        import quillon.dask as qd
    except ImportError as exc:
        raise common.InputError(str(exc)) from None
    with common.atomic_output(target, folder=True) as tmp:
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
    missing = [name for name in ("observations", "crystals", "images")
               if not (Path(folder) / f"{name}.parquet").is_file()]
    if missing:
        raise common.InputError(f"{folder}: not a Parquet folder written by convert "
                                f"(no {missing[0]}.parquet)")
    try:
        return quillon.read_parquet(folder)
    except OSError as exc:
        raise common.InputError(common.os_error_text(exc, folder)) from None
    except ValueError as exc:
        raise common.InputError(f"{folder}: not a Parquet folder written by convert ({exc})") from None
