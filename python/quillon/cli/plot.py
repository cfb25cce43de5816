"""``quillon plot cells|resolution|panels``: figures of a stream, PNG, SVG or PDF by suffix."""
from __future__ import annotations

import os

import click

from quillon.cli import _common as common
from quillon.cli import _plot
from quillon.cli._summary import INV_D_STEP, POSITION_BIN, Summary


def _plot_command(name: str, help_text: str, example: str):
    """A plot subcommand: read IN in batches into a Summary, then draw and save the figure."""

    def decorate(draw):
        @click.command(name=name, help=help_text, epilog=f"\b\nExample:\n  {example}")
        @click.argument("source", metavar="IN", type=click.Path())
        @common.figure_options
        @common.reading_options
        def command(source, output, dpi, panels, threads, batch_size, quiet):
            src = common.open_stream(source, panels, threads=threads)
            summary = Summary(src, panels=name == "panels", shells=name == "resolution")
            for batch in common.read_batches(src, threads, batch_size, quiet):
                summary.add(batch)
            common.note_reading(src, summary.tally)
            fig = draw(summary, common.shown(os.path.basename(source)), dpi)
            with common.atomic_output(output, inputs=common.input_files(source, panels=panels)) as tmp:
                _plot.save(fig, tmp, common.figure_format(output))
        return command

    return decorate


@click.group(short_help="Plots of cells, resolution, reflections per panel.", epilog="\b\nExamples:\n  quillon plot cells run7.stream -o cells.png\n"
                    "  quillon plot resolution run7.stream -o res.svg\n"
                    "  quillon plot panels run7.stream -o panels.pdf")
def plot() -> None:
    """Figures of a stream: unit cells, resolution, reflections per panel."""


@_plot_command("cells", "Histograms of the six cell parameters of IN's crystals, medians marked.",
               "quillon plot cells run7.stream -o cells.png")
def cells(summary: Summary, title: str, dpi: float):
    if not summary.crystals:
        raise common.CommandFailed(f"{summary.src.path}: no crystals, nothing to plot")
    return _plot.cells_figure(summary.cells, f"{title}: unit cells of {common.plural(summary.crystals, 'crystal')}", dpi)


@_plot_command("resolution", "The crystals' resolution limits and the reflections per resolution "
               "shell of IN.", "quillon plot resolution run7.stream -o res.png")
def resolution(summary: Summary, title: str, dpi: float):
    if not summary.crystals:
        raise common.CommandFailed(f"{summary.src.path}: no crystals, nothing to plot")
    if not len(summary.resolution):
        raise common.CommandFailed(f"{summary.src.path}: no crystal has a resolution limit, "
                                   "nothing to plot")
    assert summary.inv_d_counts is not None  # the command asks for shells
    return _plot.resolution_figure(summary.resolution, summary.inv_d_counts, INV_D_STEP,
                                   f"{title}: resolution limits of "
                                   f"{common.plural(len(summary.resolution), 'crystal')}", dpi)


@_plot_command("panels", "Reflections per panel of IN: a detector map when the geometry in the "
               "header gives panel corners, else a bar chart that says why; for a single-panel "
               "detector, where on it the reflections are (a 2-D histogram).",
               "quillon plot panels run7.stream -o panels.png")
def panels(summary: Summary, title: str, dpi: float):
    if not summary.reflections or not summary.src.panels:
        raise common.CommandFailed(f"{summary.src.path}: no reflections on known panels, nothing to plot")
    outlines: dict | str
    try:
        outlines = _plot.panel_outlines(summary.src.header, summary.src.panels)
    except ValueError as exc:
        outlines = str(exc)
    n = len(summary.src.panels)
    assert summary.panel_counts is not None  # the command asks for panels
    return _plot.panels_figure(summary.src.panels, summary.panel_counts, outlines,
                               f"{title}: {common.plural(summary.reflections, 'reflection')} on "
                               f"{n} panel{'s' * (n != 1)}", dpi,
                               positions=summary.positions, bin_pixels=POSITION_BIN)


for _command in (cells, resolution, panels):
    plot.add_command(_command)
