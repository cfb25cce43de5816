"""The progress bar of every reading in this package: bytes of the file, on standard error."""
from __future__ import annotations

import sys
import threading
from typing import TYPE_CHECKING, Any

from ._deps import require

if TYPE_CHECKING:
    from typing_extensions import Self


class ProgressBar:
    """A rich bar of bytes read, on standard error; call it as ``bar(done, total)``.

    ``delay`` seconds pass before the bar is drawn (a run that ends sooner draws none);
    ``transient`` clears it when done; ``terminal_only`` draws nothing unless standard
    error is a terminal. Use it as a context manager.
    """

    def __init__(self, description: str, *, delay: float = 0.0, transient: bool = False,
                 terminal_only: bool = False) -> None:
        self._bar: Any = None
        self._timer: threading.Timer | None = None
        if terminal_only and not sys.stderr.isatty():
            return
        progress = require("rich.progress")
        console = require("rich.console").Console(stderr=True)
        self._bar = progress.Progress(
            progress.TextColumn("{task.description}"), progress.BarColumn(),
            progress.DownloadColumn(), progress.TransferSpeedColumn(),
            progress.TimeRemainingColumn(), console=console, transient=transient)
        self._task = self._bar.add_task(description, total=None)
        if delay > 0:
            self._timer = threading.Timer(delay, self._bar.start)
            self._timer.daemon = True
            self._timer.start()
        else:
            self._bar.start()

    def __call__(self, done: int, total: int, description: str | None = None) -> None:
        if self._bar is not None:
            self._bar.update(self._task, completed=done, total=total,
                             **({"description": description} if description else {}))

    def close(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer.join()
        if self._bar is not None:
            self._bar.stop()
            self._bar = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
