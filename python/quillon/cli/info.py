"""``quillon info``: what a stream holds, per file and in total."""
from __future__ import annotations

import json

import click

from quillon.cli import _common as common
from quillon.cli._summary import CELL_KEYS, Summary, totals

SCHEMA_VERSION = 1

JSON_SCHEMA_HELP = """\b
--json prints one object (schema_version 1; keys are only ever added):
  {"schema_version": 1,
   "files": [{"path", "bytes", "images", "images_with_crystals",
              "indexing_rate", "crystals", "reflections", "panels",
              "panel_names", "unknown_panel_reflections",
              "excluded": {REASON: [COUNT, FIRST_BYTE_OFFSET]},
              "cell": {"a"|"b"|"c"|"alpha"|"beta"|"gamma":
                       {"median", "iqr"}},
              "resolution": {"median", "p10", "p90",
                             "without_limit"},
              "photon_energy": {"min", "max"}}],
   "total": {"files", "bytes", "images", "images_with_crystals",
             "indexing_rate", "crystals", "reflections"}}
Lengths and resolution in Å, angles in degrees, energy in eV; a statistic
of no values (no crystals) is null. Crystals the stream gives no resolution
limit for (written as 999 Å) are counted in without_limit and left out of
the percentiles."""


@click.command(short_help="Counts, cells, resolution and exclusions of streams.", epilog=JSON_SCHEMA_HELP + """

\b
Examples:
  quillon info run7.stream
  quillon info --json runs/*.stream | jq .total.crystals""")
@click.argument("files", nargs=-1, required=True, type=click.Path(dir_okay=True))
@click.option("--json", "as_json", is_flag=True, help="Print JSON (schema below) instead of tables.")
@common.reading_options
def info(files, as_json, panels, threads, batch_size, quiet):
    """Counts, unit cells, resolution and exclusions of each stream FILE and in total.

    Images, images with at least one crystal and the indexing rate, crystals,
    reflections, panels, what the parser left out of a damaged file, medians and
    interquartile ranges of the cell parameters, the 10th/50th/90th percentiles of
    the crystals' resolution limits, and the photon energy range.
    """
    sources = [common.open_stream(f, panels, threads=threads) for f in files]
    summaries = []
    with common.Progress(sources, enabled=not quiet) as progress:
        for src in sources:
            summary = Summary(src)
            for batch in common.batches(src, threads=threads, batch_bytes=batch_size,
                                        progress=progress.of(src)):
                summary.add(batch)
            summaries.append(summary)
    report = {"schema_version": SCHEMA_VERSION, "files": [s.to_dict() for s in summaries]}
    report["total"] = totals(report["files"])
    if as_json:
        click.echo(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        _print_tables(report)


def _num(x, fmt: str = ",") -> str:
    return "–" if x is None else format(x, fmt)


def _rate(x) -> str:
    return "–" if x is None else f"{100 * x:.1f} %"


def _print_tables(report: dict) -> None:
    from rich.console import Console
    from rich.filesize import decimal
    from rich.table import Table

    console = Console(highlight=False)
    for f in report["files"]:
        grid = Table.grid(padding=(0, 2))
        grid.add_column(style="bold")
        grid.add_column()
        grid.add_row("size", decimal(f["bytes"]))
        grid.add_row("images", f"{f['images']:,}")
        grid.add_row("with crystals", f"{f['images_with_crystals']:,} ({_rate(f['indexing_rate'])} indexed)")
        grid.add_row("crystals", f"{f['crystals']:,}")
        grid.add_row("reflections", f"{f['reflections']:,}")
        grid.add_row("panels", f"{f['panels']}" + ("" if f["panels"] else " (no geometry in the header)"))
        if f["unknown_panel_reflections"]:
            grid.add_row("unknown panel", common.plural(f["unknown_panel_reflections"], "reflection"))
        energy = f["photon_energy"]
        grid.add_row("photon energy", "–" if energy["min"] is None
                     else f"{energy['min']:,.2f} – {energy['max']:,.2f} eV")
        res = f["resolution"]
        without = (f"; {common.plural(res['without_limit'], 'crystal')} without a limit"
                   if res["without_limit"] else "")
        grid.add_row("resolution limit", ("–" if res["median"] is None else
                     f"median {res['median']:.2f} Å, 10th–90th percentile "
                     f"{res['p10']:.2f}–{res['p90']:.2f} Å") + without)
        excluded = f["excluded"]
        grid.add_row("left out", "nothing" if not excluded else
                     "\n".join(f"{n:,} × {reason} (first at byte {first:,})"
                               for reason, (n, first) in excluded.items()))
        console.print(f"[bold underline]{f['path']}[/]")
        console.print(grid)
        cells = Table(box=None, padding=(0, 2), show_edge=False)
        cells.add_column("unit cell", style="bold")
        for key, label in zip(CELL_KEYS, ("a (Å)", "b (Å)", "c (Å)", "α (°)", "β (°)", "γ (°)")):
            cells.add_column(label, justify="right")
        for stat, name in (("median", "median"), ("iqr", "IQR")):
            cells.add_row(name, *(_num(f["cell"][k][stat], ".3f") for k in CELL_KEYS))
        console.print(cells)
        console.print()
    if len(report["files"]) > 1:
        t = report["total"]
        console.print(f"[bold underline]total of {t['files']} files[/]  {decimal(t['bytes'])}, "
                      f"{t['images']:,} images, {t['images_with_crystals']:,} with crystals "
                      f"({_rate(t['indexing_rate'])}), {t['crystals']:,} crystals, "
                      f"{t['reflections']:,} reflections")
