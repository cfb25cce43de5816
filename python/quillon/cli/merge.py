"""``quillon merge``, ``quillon stats`` and ``quillon plot stats``: merged data and its figures of merit."""
from __future__ import annotations

import json
import math
import os

import click

import quillon
from quillon import _merge
from quillon.cli import _common as common

SCHEMA_VERSION = 1

STATS_JSON_HELP = """\b
--json prints one object (schema_version 1; keys are only ever added):
  {"schema_version": 1, "path", "symmetry", "point_group",
   "space_group", "friedel_merged",
   "cell": [a, b, c, alpha, beta, gamma], "cell_note",
   "measurements", "rejected",
   "scale": {"G", "B"},
   "shells": [{"d_low", "d_high", "measurements", "unique",
               "possible", "completeness", "redundancy", "snr",
               "cc_half", "cc_star", "rsplit"}],
   "overall": {the same keys}}
Lengths and d in Å, angles in degrees, B in Å²; shells run from low to
high resolution; a value that cannot be computed (no pairs, no
reflections) is null. cell_note says where the cell came from when the
header has no target cell."""


def symmetry_option(f):
    return click.option(
        "--symmetry", "-y", required=True, metavar="GROUP",
        help="Point group to merge in ('mmm', '4/mmm', '222', '-1', …) or a space group "
             "('P 43 21 2'), whose point group is used. Friedel mates merge together only "
             "when it holds the inversion.")(f)


def merge_options(f):
    f = click.option("--no-polarisation", "no_polarisation", is_flag=True,
                     help="Do not divide intensities by the polarisation factor.")(f)
    f = click.option("--min-measurements", type=click.IntRange(min=1), default=2, show_default=True,
                     metavar="N", help="Leave out reflections measured fewer than N times.")(f)
    f = click.option("--cell", "cell_file", type=click.Path(), default=None, metavar="FILE",
                     help="Unit cell file (a = … A, al = … deg; default: the header's target "
                          "cell, else the crystals' median cell).")(f)
    return symmetry_option(f)


def _open(source: str, symmetry: str, panels: str | None, threads: int | None):
    """The input, checked readable, and the point group with the header's lattice keys."""
    src = common.open_stream(source, panels, threads=threads)
    try:
        sym, target = _merge.resolve_symmetry(symmetry, src.header)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="--symmetry") from None
    return src, sym, target


def _cell_file(path: str | None):
    if path is None:
        return None
    try:
        return quillon._symmetry.unit_cell(path)
    except OSError as exc:
        raise common.InputError(common.os_error_text(exc, path)) from None
    except ValueError as exc:
        raise common.InputError(str(exc)) from None


def _read_sums(source: str, symmetry: str, polarisation: bool, cell_file: str | None,
               panels: str | None, threads: int | None, batch_size: int, quiet: bool):
    """Read IN in batches into the merge's running sums; the cell and the point group."""
    src, sym, target = _open(source, symmetry, panels, threads)
    cell = _cell_file(cell_file)
    total = _merge.collect(common.read_batches(src, threads, batch_size, quiet), sym, polarisation,
                           header=src.header)
    if total.rejected and not quiet:
        common.warn(f"{src.path}: left out {total.rejected:,} measurements whose intensity is not "
                    "finite once corrected (an image without a photon energy?)")
    try:
        cell, note = _merge.resolve_cell(cell, target, total.cells)
    except ValueError as exc:
        raise common.CommandFailed(f"{src.path}: {exc}") from None
    return src, sym, target, total, cell, note


def _write(target: str, write, source: str, panels: str | None) -> None:
    """``write(temporary)`` through the command's one output path; IN and a ``--panels
    @FILE`` are refused as outputs."""
    with common.atomic_output(target, inputs=common.input_files(source, panels=panels)) as tmp:
        write(str(tmp))


@click.command(short_help="Merge a stream's reflections into an MTZ file.", epilog="""\b
Examples:
  quillon merge run7.stream run7.mtz --symmetry 4/mmm
  quillon merge run7.stream run7.mtz -y 422 --min-measurements 3
  quillon merge run7.stream unmerged.mtz -y "P 43 21 2" --unmerged""")
@click.argument("source", metavar="IN", type=click.Path())
@click.argument("target", metavar="OUT", type=click.Path())
@merge_options
@click.option("--unmerged", is_flag=True,
              help="Write every measurement as measured (H K L M/ISYM BATCH I SIGI XDET YDET, "
                   "one batch per crystal; no polarisation correction, no --min-measurements) "
                   "instead of merged reflections.")
@common.reading_options
def merge(source, target, symmetry, no_polarisation, min_measurements, cell_file, unmerged,
          panels, threads, batch_size, quiet):
    """Merge the reflections of IN under a point group and write them to the MTZ file OUT.

    Each measurement is mapped to the asymmetric unit and (unless --no-polarisation)
    divided by the polarisation factor; a reflection's intensity is the mean of its
    measurements, its σ their standard deviation over √n. Columns H K L IMEAN SIGIMEAN
    NMEAN, with I(+) SIGI(+) N(+) I(-) SIGI(-) N(-) when Friedel mates stay apart.
    """
    if unmerged:
        src, sym, target_cell = _open(source, symmetry, panels, threads)
        given = _cell_file(cell_file)
        writer = _merge.Unmerged(sym)
        for batch in common.read_batches(src, threads, batch_size, quiet):
            writer.add(batch)
        try:
            cell = given or _merge.resolve_cell(None, target_cell,
                                                _stack([p for _, p, _ in writer.batches]))[0]
        except ValueError as exc:
            raise common.CommandFailed(f"{src.path}: {exc}") from None
        _write(target, lambda path: writer.mtz(cell).write_to_file(path), src.path, panels)
        if not quiet:
            common.warn(f"wrote {target}: {sum(len(p) for p in writer.parts):,} measurements of "
                        f"{writer.n_crystals:,} crystals, point group {sym.point_group}")
        return
    src, sym, _, sums, cell, note = _read_sums(source, symmetry, not no_polarisation, cell_file,
                                               panels, threads, batch_size, quiet)
    merged = _merge.merged_from(sums, sym, cell, note, min_measurements=min_measurements,
                                d_min=None, d_max=None)
    _write(target, lambda path: merged.mtz().write_to_file(path), src.path, panels)
    if not quiet:
        common.warn(f"wrote {target}: {len(merged):,} reflections from {sums.measurements:,} "
                    f"measurements of {sums.n_crystals:,} crystals, point group "
                    f"{sym.point_group}" + (f"; {note}" if note else ""))


def _stack(cells):
    import numpy as np
    return np.array(cells, dtype=np.float64).reshape(-1, 6)


def _statistics(source, symmetry, shells, no_scale, no_polarisation, min_measurements, cell_file,
                panels, threads, batch_size, quiet):
    src, sym, target, sums, cell, note = _read_sums(source, symmetry, not no_polarisation,
                                                    cell_file, panels, threads, batch_size, quiet)
    stats = _merge.statistics_from(sums, sym, cell, note, target.centering, shells=shells,
                                   scale=not no_scale, min_measurements=min_measurements,
                                   d_min=None, d_max=None)
    return src, sym, sums, stats


def stats_options(f):
    f = click.option("--shells", type=click.IntRange(min=1), default=10, show_default=True,
                     metavar="N", help="Resolution shells of equal reciprocal volume.")(f)
    f = click.option("--no-scale", "no_scale", is_flag=True,
                     help="Compare the half data sets as they are, without scaling the second "
                          "to the first (G, B).")(f)
    return merge_options(f)


@click.command(short_help="Completeness, CC½, Rsplit … per resolution shell.",
               epilog=STATS_JSON_HELP + """

\b
Examples:
  quillon stats run7.stream --symmetry 4/mmm
  quillon stats run7.stream -y mmm --shells 20 --json | jq .overall.cc_half""")
@click.argument("source", metavar="IN", type=click.Path())
@stats_options
@click.option("--json", "as_json", is_flag=True, help="Print JSON (schema below) instead of a table.")
@common.reading_options
def stats(source, symmetry, shells, no_scale, no_polarisation, min_measurements, cell_file,
          as_json, panels, threads, batch_size, quiet):
    """Figures of merit of IN merged under a point group, per resolution shell and overall.

    Measurements, unique and possible reflections, completeness, redundancy, mean I/σ(I),
    CC½, CC* and Rsplit between the half data sets of the even- and odd-numbered crystals.
    """
    src, sym, sums, result = _statistics(source, symmetry, shells, no_scale, no_polarisation,
                                         min_measurements, cell_file, panels, threads,
                                         batch_size, quiet)
    report = _report(common.shown(src.path), sym, sums, result)
    if as_json:
        click.echo(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        _print_table(report)


def _clean(value):
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if hasattr(value, "item"):
        return _clean(value.item())
    return value


def _report(path: str, sym, sums, result) -> dict:
    c = result.cell
    return {
        "schema_version": SCHEMA_VERSION, "path": path, "symmetry": sym.symbol,
        "point_group": sym.point_group, "space_group": sym.space_group.hm,
        "friedel_merged": bool(sym.friedel),
        "cell": [c.a, c.b, c.c, c.alpha, c.beta, c.gamma], "cell_note": result.note,
        "measurements": sums.measurements, "rejected": sums.rejected,
        "scale": {"G": _clean(result.scale.G), "B": _clean(result.scale.B)},
        "shells": [{k: _clean(v) for k, v in row.items()} for row in result.rows],
        "overall": {k: _clean(v) for k, v in result.overall_row.items()},
    }


def _print_table(report: dict) -> None:
    from rich.console import Console
    from rich.table import Table

    def shown(value, pattern: str) -> str:
        return "–" if value is None else format(value, pattern)

    cell = report["cell"]
    title = (f"{os.path.basename(report['path'])}: point group {report['point_group']}, cell "
             + " ".join(f"{x:.2f}" for x in cell)
             + f", scale G {report['scale']['G']:.3f} B {report['scale']['B']:.2f} Å²")
    table = Table(title=title, box=None, padding=(0, 1))
    # (heading, key in the report, number format, shown as a percentage)
    columns = (("meas.", "measurements", ",", False), ("uniq.", "unique", ",", False),
               ("poss.", "possible", ",", False), ("compl%", "completeness", ".1f", True),
               ("mult.", "redundancy", ".1f", False), ("I/σ", "snr", ".2f", False),
               ("CC½", "cc_half", ".3f", False), ("CC*", "cc_star", ".3f", False),
               ("Rspl%", "rsplit", ".1f", True))
    for label in ("d (Å)", *(heading for heading, *_ in columns)):
        table.add_column(label, justify="right")

    def row(r: dict, style: str | None = None) -> None:
        cells = [f"{shown(r['d_low'], '.2f')}–{shown(r['d_high'], '.2f')}"]
        for _, key, pattern, percent in columns:
            value = r[key]
            cells.append(shown(100 * value if percent and value is not None else value, pattern))
        table.add_row(*cells, style=style)

    for r in report["shells"]:
        row(r)
    table.add_section()
    row(report["overall"], "bold")
    console = Console(highlight=False)
    if not console.is_terminal:  # a file or a pipe: wide enough for every column
        console.width = max(console.width, 100)
    console.print(table)
    if report["cell_note"]:
        console.print(f"cell: {report['cell_note']}")


@click.command(name="stats", short_help="CC½, completeness, I/σ and Rsplit against resolution.",
               epilog="\b\nExample:\n  quillon plot stats run7.stream -y 4/mmm -o stats.png")
@click.argument("source", metavar="IN", type=click.Path())
@common.figure_options
@stats_options
@common.reading_options
def plot_stats(source, output, dpi, symmetry, shells, no_scale, no_polarisation, min_measurements,
               cell_file, panels, threads, batch_size, quiet):
    """CC½ and CC*, completeness, mean I/σ(I) and Rsplit of IN per resolution shell."""
    from quillon.cli import _plot

    src, sym, _, result = _statistics(source, symmetry, shells, no_scale, no_polarisation,
                                      min_measurements, cell_file, panels, threads, batch_size,
                                      quiet)
    if not result.rows:
        raise common.CommandFailed(f"{src.path}: no merged reflections, nothing to plot")
    fig = result.plot(f"{common.shown(os.path.basename(source))}: point group {sym.point_group}", dpi)
    _write(output, lambda path: _plot.save(fig, path, common.figure_format(output)), src.path,
           panels)
