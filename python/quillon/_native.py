"""Calls into quillon_native with paths normalised and OSErrors completed.

The native functions take a ``str`` path and raise e.g. ``FileNotFoundError("No such
file or directory (os error 2)")``: neither ``errno`` nor ``filename`` is set. Every
call from this package goes through here, so the user gets ``errno``, ``strerror``
and ``filename`` as from ``open()``.
"""
from __future__ import annotations

import errno
import functools
import os
import re
from collections.abc import Callable
from typing import Any, TypeVar, Union

import numpy as np
import quillon_native as _qn

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
T = TypeVar("T")

_OS_ERROR = re.compile(r"(.*) \(os error (\d+)\)", re.DOTALL)


def fspath(path: PathLike) -> str:
    """``path`` as the ``str`` the native functions take (bytes decoded as the OS does)."""
    return os.fsdecode(os.fspath(path))


def _with_filename(exc: OSError, filename: str) -> OSError:
    match = _OS_ERROR.fullmatch(str(exc))
    if match:
        return type(exc)(int(match.group(2)), match.group(1), filename)
    # A refusal of the module's own (a pipe, a device) has no error number; an error with
    # a filename and none prints "[Errno None] …", so it gets EINVAL and keeps its text.
    return type(exc)(exc.errno or errno.EINVAL, str(exc), filename)


def _completing_os_errors(fn: Callable[..., T]) -> Callable[..., T]:
    @functools.wraps(fn)
    def call(path: str, *args: Any, **kwargs: Any) -> T:
        try:
            return fn(path, *args, **kwargs)
        except OSError as exc:
            raise _with_filename(exc, path) from None
    return call


index_chunks: Callable[..., np.ndarray] = _completing_os_errors(_qn.index_chunks)
parse_chunks: Callable[..., tuple] = _completing_os_errors(_qn.parse_chunks)
write_stream: Callable[..., None] = _completing_os_errors(_qn.write_stream)
# parse_chunks plus where each image and crystal stands in the file (None in a module
# built before it: a Stream read with it then writes through the columns only).
_with_offsets = getattr(_qn, "_parse_chunks_with_offsets", None)
parse_chunks_with_offsets: Callable[..., tuple] | None = (
    None if _with_offsets is None else _completing_os_errors(_with_offsets))


def default_threads(n_threads: int | None) -> int:
    """``n_threads``, or the number of cores this process may run on when it is None.

    >>> default_threads(0)
    Traceback (most recent call last):
    ValueError: n_threads must be None or an int ≥ 1, got 0
    """
    if n_threads is not None:
        if (isinstance(n_threads, bool) or not isinstance(n_threads, (int, np.integer))
                or n_threads < 1):
            raise ValueError(f"n_threads must be None or an int ≥ 1, got {n_threads!r}")
        return int(n_threads)
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
