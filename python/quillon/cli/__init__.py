"""The ``quillon`` command: summaries, conversion, filtering and plots of streams.

Run ``quillon --help`` for the commands; ``main()`` is the console-script entry point.
"""
from __future__ import annotations

import sys
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> None:
    """Run the ``quillon`` command with ``argv`` (default: ``sys.argv[1:]``) and exit."""
    try:
        from quillon.cli._app import cli
    except ImportError as exc:  # the command's own dependencies come with an extra
        print(f"quillon: {exc.name or exc} is not installed; the command needs "
              f'pip install "quillon_native[cli]"', file=sys.stderr)
        sys.exit(1)
    cli.main(args=list(argv) if argv is not None else None, prog_name="quillon")


__all__ = ["main"]
