"""The ``quillon`` command group."""
from __future__ import annotations

import click

from quillon.cli.convert import convert
from quillon.cli.filter import filter_stream
from quillon.cli.info import info
from quillon.cli.merge import merge, plot_stats, stats
from quillon.cli.plot import plot


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="quillon_native", prog_name="quillon",
                      message="%(prog)s %(version)s")
def cli() -> None:
    """Summaries, conversion, filtering, merging and plots of crystallography .stream files.

    Results go to standard output, messages and the progress bar (on a terminal, for work
    longer than a second) to standard error. Exit status: 0 done, 1 the work failed (nothing
    to plot, an output that cannot be written), 2 a bad file or a usage error.
    """


cli.add_command(info)
cli.add_command(convert)
cli.add_command(filter_stream, name="filter")
cli.add_command(plot)
cli.add_command(merge)
cli.add_command(stats)
plot.add_command(plot_stats)
