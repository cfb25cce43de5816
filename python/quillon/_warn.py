"""Warnings that point at the user's line, however deep in this package they are raised."""
from __future__ import annotations

import os
import sys
import warnings

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn(message: str, category: type[Warning]) -> None:
    """``warnings.warn`` with the stack level of the first caller outside this package.

    The level is found by walking the stack, so it stays right whichever public
    function (or generator, resumed from the user's loop) the warning comes through.
    """
    level, frame = 1, sys._getframe(0)
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        level += 1
        frame = frame.f_back  # type: ignore[assignment]
    warnings.warn(message, category, stacklevel=level)
