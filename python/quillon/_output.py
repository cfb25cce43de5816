"""The one way this package writes a file or a folder: beside the target, then renamed into place.

Every writer (``Stream.write``, ``Stream.to_parquet``, ``quillon.dask``, the command) goes
through :func:`output_path` or :func:`output_folder`, so that

* an output that is one of the inputs (the same file, also through a symlink or a hard
  link) is refused before anything is written;
* the target appears only once it is complete, flushed to disk (``fsync``) and renamed
  over the old one: an interrupted or failed write (Ctrl-C, a full disk) leaves the old
  target as it was and no temporary behind;
* a replaced file keeps its permissions, a new one gets the ones the umask gives;
* an existing folder is replaced only when it is an earlier output of this program.

>>> import os, tempfile
>>> target = os.path.join(tempfile.mkdtemp(), "out.txt")
>>> with output_path(target) as tmp:
...     with open(tmp, "w") as f:
...         _ = f.write("done")
>>> open(target).read()
'done'
"""
from __future__ import annotations

import contextlib
import errno
import os
import secrets
import shutil
import stat
from collections.abc import Callable, Iterable, Iterator

from ._native import PathLike, fspath

__all__ = ["ForeignFolderError", "SameFileError", "check_not_input", "output_folder",
           "output_path"]


class SameFileError(ValueError):
    """An output that is (or, for a folder, holds) one of the inputs."""


class ForeignFolderError(ValueError):
    """An existing folder that is not an earlier output of this program, so it is not replaced."""


def _paths(inputs: Iterable[PathLike | None]) -> list[str]:
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    return [fspath(p) for p in inputs if p is not None]


def _stat(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except (OSError, ValueError):  # missing, unreadable, or a name the OS refuses
        return None


def check_not_input(target: PathLike, inputs: Iterable[PathLike | None]) -> None:
    """Raise :class:`SameFileError` when ``target`` is one of ``inputs`` or, being a folder,
    holds one of them.

    Files are compared by device and inode, so a symlink or a hard link to an input counts
    as the input; a missing target is never an input.

    >>> import tempfile
    >>> path = tempfile.NamedTemporaryFile(delete=False).name
    >>> check_not_input(path, [path])
    Traceback (most recent call last):
    ...
    quillon._output.SameFileError: ...: is the same file as input ...; choose another output
    """
    target = fspath(target)
    st = _stat(target)
    if st is None:
        return
    for name in _paths(inputs):
        other = _stat(name)
        if other is None:
            continue
        if (st.st_dev, st.st_ino) == (other.st_dev, other.st_ino):
            raise SameFileError(f"{target}: is the same file as input {name}; "
                                "choose another output")
        if stat.S_ISDIR(st.st_mode) and _inside(os.path.realpath(name), os.path.realpath(target)):
            raise SameFileError(f"{target}: holds input {name}, which replacing it would delete; "
                                "choose another output")


def _inside(path: str, folder: str) -> bool:
    return os.path.commonpath([path, folder]) == folder


def _name_max(folder: str) -> int:
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError, AttributeError):
        return 255


def _resolve(target: str) -> tuple[str, str, str]:
    """``(target, folder, name)`` with the target absolute and its name checked."""
    target = os.path.abspath(target)
    folder, name = os.path.split(target)
    if not name:  # the root
        raise IsADirectoryError(errno.EISDIR, "cannot replace the root folder", target)
    if len(os.fsencode(name)) > _name_max(folder or "."):
        raise OSError(errno.ENAMETOOLONG, os.strerror(errno.ENAMETOOLONG), target)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, f"no such folder: {folder}", target)
    return target, folder, name


def _temp_name(folder: str, name: str) -> str:
    """A new hidden name beside ``name`` in ``folder``, short enough for any target name."""
    suffix = f".{os.getpid()}-{secrets.token_hex(4)}.tmp"
    room = _name_max(folder) - len(suffix) - 1
    stem = os.fsencode(name)
    if len(stem) > room // 2:  # keep some of the name, so a stray temporary says what it was
        stem = stem[:room // 2]
    return os.path.join(folder, "." + os.fsdecode(stem) + suffix)


def _remove(path: str) -> None:
    """Remove a temporary file or folder; never raises (a clean-up must not hide the error)."""
    with contextlib.suppress(OSError):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)


def _fsync(path: str, *, folder: bool = False) -> None:
    flags = os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if folder else 0)
    try:
        fd = os.open(path, flags)
    except OSError:
        if folder:  # some systems cannot open a folder for reading: nothing to flush then
            return
        raise
    try:
        os.fsync(fd)
    except OSError as exc:
        if not (folder and exc.errno in (errno.EINVAL, errno.EBADF)):
            raise
    finally:
        os.close(fd)


def _fsync_tree(folder: str) -> None:
    for root, dirs, files in os.walk(folder):
        for name in files:
            _fsync(os.path.join(root, name))
        for name in dirs:
            _fsync(os.path.join(root, name), folder=True)
    _fsync(folder, folder=True)


@contextlib.contextmanager
def output_path(target: PathLike, *, inputs: Iterable[PathLike | None] = ()) -> Iterator[str]:
    """A temporary file beside ``target`` that replaces it when the block succeeds.

    The temporary exists (empty) when the block starts, with the permissions the new file
    will have: the old target's, or those the umask gives a new file. A target that is a
    symlink to a file keeps being the link: the file it points to is replaced. A target
    that is neither a file nor a folder (a device such as ``/dev/null``, a pipe) is
    yielded itself and written in place.
    """
    target = fspath(target)
    check_not_input(target, inputs)
    old = _stat(target)
    if old is not None and not (stat.S_ISREG(old.st_mode) or stat.S_ISDIR(old.st_mode)):
        yield target  # a device or a pipe (/dev/null, /dev/stdout): nothing there to keep
        return
    if os.path.islink(target) and os.path.isfile(target):
        target = os.path.realpath(target)
    target, folder, name = _resolve(target)
    if old is not None and stat.S_ISDIR(old.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    tmp = _temp_name(folder, name)
    fd = os.open(tmp, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666)  # the umask applies
    try:
        if old is not None and stat.S_ISREG(old.st_mode):
            os.fchmod(fd, stat.S_IMODE(old.st_mode))
    finally:
        os.close(fd)
    try:
        yield tmp
        _fsync(tmp)
        os.replace(tmp, target)
    except BaseException:
        _remove(tmp)
        raise
    _fsync(folder, folder=True)


def _never(path: str) -> bool:
    return False


@contextlib.contextmanager
def output_folder(target: PathLike, *, inputs: Iterable[PathLike | None] = (),
                  owned: Callable[[str], bool] = _never) -> Iterator[str]:
    """A temporary folder beside ``target`` that replaces it when the block succeeds.

    An existing ``target`` is replaced only when it is empty or ``owned(target)`` says it
    is an earlier output of this program; anything else raises :class:`ForeignFolderError`
    (an existing file, :class:`NotADirectoryError`) before anything is written. The
    current folder, and a folder holding it or an input, are never replaced.
    """
    given = fspath(target)
    check_not_input(given, inputs)
    target, folder, name = _resolve(given)
    old = _stat(target)
    if old is not None:
        if not stat.S_ISDIR(old.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, "exists and is not a folder", given)
        if _inside(os.getcwd(), os.path.realpath(target)):
            raise ForeignFolderError(f"{given}: is the current folder or holds it; "
                                     "choose another output")
        if os.listdir(target) and not owned(target):
            raise ForeignFolderError(f"{given}: exists and is not an earlier output of quillon; "
                                     "remove it or choose another output")
    tmp = _temp_name(folder, name)
    os.mkdir(tmp, 0o777)  # the umask applies
    try:
        if old is not None:
            os.chmod(tmp, stat.S_IMODE(old.st_mode))
        yield tmp
        _fsync_tree(tmp)
        if old is None or not os.path.isdir(target):
            os.rename(tmp, target)
        else:
            aside = _temp_name(folder, name)
            os.rename(target, aside)
            try:
                os.rename(tmp, target)
            except BaseException:
                os.rename(aside, target)
                raise
            _remove(aside)
    except BaseException:
        _remove(tmp)
        raise
    _fsync(folder, folder=True)
