"""``Stream``: the columns of a stream file and its three tables."""
from __future__ import annotations

import functools
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _columns, _tables
from ._columns import CRYSTAL, IMAGE, OBSERVATION
from ._geometry import cell_from_header
from ._native import PathLike, default_threads, fspath, write_stream
from ._output import output_path
from ._warn import warn

if TYPE_CHECKING:
    import pandas as pd
    import pyarrow as pa

    from ._verbatim import Origin

Report = dict[str, tuple[int, int]]


class Stream:
    """The contents of a ``.stream`` file: native columns and pandas tables over them.

    Usually made by :func:`quillon.read`, :func:`quillon.iter_batches`,
    :func:`quillon.concat` or :func:`quillon.read_parquet`.

    Attributes:
        columns: the 23 arrays of ``quillon_native.parse_chunks`` (``hkl``, ``I``, …,
            ``n_peaks``). ``panel_id`` indexes ``panels``, -1 for a panel not in it;
            ``crystal_id`` and ``image_id`` count from ``first_crystal_id`` and
            ``first_image_id`` (0 except in a batch of :func:`quillon.iter_batches`).
        filenames, events: one ``str`` per image.
        report: what reading left out, ``{reason: (count, first_byte_offset)}``.
        header: the text before the first chunk. panels: the panel names.
        path: the file read, or None.
        headers_differ: True for a Stream joined from streams whose headers differ
            (:func:`quillon.concat`); ``header`` is then only the first one's.

    >>> import quillon
    >>> s = quillon.Stream.empty(["p0", "p1"])
    >>> s
    <Stream: 0 images, 0 crystals, 0 reflections>
    >>> list(s.crystals.columns[:8])
    ['image_id', 'crystal_in_image', 'a', 'b', 'c', 'alpha', 'beta', 'gamma']
    """

    columns: dict[str, np.ndarray]
    filenames: list[str]
    events: list[str]
    report: Report
    header: str
    panels: list[str]
    path: str | None
    first_crystal_id: int
    first_image_id: int
    #: The index rows ``(start, end, n_crystals, n_obs_upper)`` of the chunks this Stream
    #: was parsed from (set by :func:`quillon.parse_rows`, so by ``read`` and each batch of
    #: ``iter_batches``); None for a Stream made otherwise.
    chunk_rows: np.ndarray | None = None

    @property
    def byte_range(self) -> tuple[int, int] | None:
        """``(start, end)`` byte offsets of the file text this Stream was parsed from, or None."""
        rows = self.chunk_rows
        if rows is None or not len(rows):
            return None
        return int(rows[0, 0]), int(rows[-1, 1])
    headers_differ: bool
    # Where the rows stand in the file they were read from (None: not from a file, or
    # not a selection of one file): what lets write() copy their text.
    _origin: Origin | None = None

    def __init__(self, columns: Mapping[str, np.ndarray], filenames: Sequence[str],
                 events: Sequence[str], report: Mapping[str, tuple[int, int]], *,
                 header: str = "", panels: Iterable[str] = (), path: PathLike | None = None,
                 first_crystal_id: int = 0, first_image_id: int = 0,
                 headers_differ: bool = False) -> None:
        """Raises ValueError when a column has the wrong type or length, or ``panel_id``
        holds a value that is neither -1 nor a position in ``panels``."""
        self.columns = dict(columns)
        counts = _columns.check_columns(self.columns)
        if len(filenames) != counts[IMAGE] or len(events) != counts[IMAGE]:
            raise ValueError(f"{counts[IMAGE]} images but {len(filenames)} filenames "
                             f"and {len(events)} events")
        self.filenames = list(filenames)
        self.events = list(events)
        self.report = {reason: (int(n), int(offset)) for reason, (n, offset) in report.items()}
        self.header = header
        self.panels = list(panels)
        panel_id = self.columns["panel_id"]
        if len(panel_id):
            low, high = int(panel_id.min()), int(panel_id.max())
            if low < -1 or high >= len(self.panels):
                raise ValueError(f"panel_id holds {low if low < -1 else high}, but panels has "
                                 f"{len(self.panels)} names (-1 marks an unknown panel)")
        self.path = None if path is None else fspath(path)
        self.first_crystal_id = int(first_crystal_id)
        self.first_image_id = int(first_image_id)
        self.headers_differ = bool(headers_differ)

    @classmethod
    def from_native(cls, columns: Mapping[str, np.ndarray], filenames: Sequence[str],
                    events: Sequence[str], report: Mapping[str, tuple[int, int]], *,
                    header: str = "", panels: Iterable[str] = (),
                    path: PathLike | None = None, first_crystal_id: int = 0,
                    first_image_id: int = 0) -> Stream:
        """A Stream over columns as ``parse_chunks`` returns them, without copying them.

        ``panel_id`` must index ``panels`` (-1 for an unknown panel); use
        :func:`quillon.parse_rows` to parse with that convention.

        >>> import quillon, quillon_native
        >>> cols, names, events, report = quillon_native.parse_chunks(
        ...     "missing.stream", np.empty((0, 4), np.int64), ["p0"])
        >>> len(quillon.Stream.from_native(cols, names, events, report, panels=["p0"]))
        0
        """
        return cls(columns, filenames, events, report, header=header, panels=panels, path=path,
                   first_crystal_id=first_crystal_id, first_image_id=first_image_id)

    @classmethod
    def empty(cls, panels: Iterable[str] = (), *, header: str = "") -> Stream:
        """A Stream without images: its tables have every column, with the right dtypes.

        >>> Stream.empty(["p0"]).observations["panel"].cat.categories.tolist()
        ['p0']
        """
        return cls(_columns.empty_columns(), [], [], {}, header=header, panels=panels)

    # -- sizes ---------------------------------------------------------------

    def __len__(self) -> int:
        """The number of reflections (observation rows)."""
        return len(self.columns["I"])

    @property
    def n_crystals(self) -> int:
        return len(self.columns["n_refl"])

    @property
    def n_images(self) -> int:
        return len(self.columns["beam_energy"])

    def __repr__(self) -> str:
        name = f" {os.path.basename(self.path)}" if self.path else ""
        return (f"<Stream{name}: {self.n_images:,} images, {self.n_crystals:,} crystals, "
                f"{len(self):,} reflections>")

    # -- tables --------------------------------------------------------------

    @functools.cached_property
    def observations(self) -> pd.DataFrame:
        """One row per reflection: ``h k l I sigma peak background fs ss panel crystal_id
        image_id d``; ``panel`` is categorical (missing for an unknown panel), ``d`` the
        resolution in Å. The columns stored as read share the native arrays' memory."""
        table = _tables.observation_columns(self.columns, self.first_crystal_id)
        return _tables.to_pandas(table, self.panels, 0)

    @functools.cached_property
    def crystals(self) -> pd.DataFrame:
        """One row per crystal, indexed by crystal id: ``image_id crystal_in_image a b c
        alpha beta gamma`` (Å, degrees), ``astar_x … cstar_z`` (Å⁻¹), ``profile_rad
        resolution n_refl``."""
        return _tables.to_pandas(_tables.crystal_columns(self.columns), self.panels,
                                 self.first_crystal_id, "crystal_id")

    @functools.cached_property
    def images(self) -> pd.DataFrame:
        """One row per image, indexed by image id: ``filename event beam_energy
        camera_length det_shift_x det_shift_y n_peaks``."""
        table = _tables.image_columns(self.columns, self.filenames, self.events)
        return _tables.to_pandas(table, self.panels, self.first_image_id, "image_id")

    # -- selection -----------------------------------------------------------

    def select(self, crystals: Any = None, images: Any = None, *,
               crystal_ids: Any = None, image_ids: Any = None,
               drop_empty_images: bool = False) -> Stream:
        """A consistent Stream of some crystals and images.

        ``crystals`` and ``images`` are each one of

        * a boolean mask with one value per row of that table, in table order (a NumPy
          array or a list);
        * a boolean pandas Series indexed by the table's ids, such as
          ``s.crystals["a"] > 79``: it is aligned on the ids, so a Series from a sorted
          or filtered table selects the right rows; its index must hold every id of
          the table once (ValueError otherwise);
        * integer row positions (a NumPy array or a list; negative ones count from the
          end);
        * a pandas Index, taken as ids (``s.crystals.index[...]``).

        ``crystal_ids`` and ``image_ids`` take ids (the values of ``crystal_id`` and
        ``image_id``, which in a batch of :func:`quillon.iter_batches` count over the
        whole file) instead of positions; KeyError for an id not in this Stream. Order
        and repeats do not matter: rows stay in file order. None keeps every row. A crystal is kept when it is selected and
        its image is; its reflections come with it. Ids are renumbered from the first
        ids of this Stream, ``n_refl`` and ``crystal_in_image`` are recomputed, and
        images left without crystals are dropped when ``drop_empty_images``, else kept
        with a detector shift of 0 (a stream gives the shift with the crystals), so
        that writing the selection and reading it back gives the selection.

        Raises ValueError for a mask of the wrong length and IndexError for a position
        out of range, naming the table, before anything is built.

        >>> s = Stream.empty()
        >>> s.select(crystals=[]).n_crystals
        0
        """
        keep_crystal = _selection(crystals, crystal_ids, self.n_crystals, self.first_crystal_id,
                                  "crystals")
        keep_image = _selection(images, image_ids, self.n_images, self.first_image_id, "images")
        image_of = self.columns["image_id"] - np.int32(self.first_image_id)
        keep_crystal &= keep_image[image_of]
        has_crystal = np.bincount(image_of[keep_crystal], minlength=self.n_images) > 0
        if drop_empty_images:
            keep_image &= has_crystal

        crystal_of = self.columns["crystal_id"] - np.int32(self.first_crystal_id)
        keep_observation = keep_crystal[crystal_of]
        columns = _columns.take_rows(self.columns, OBSERVATION, keep_observation)
        columns |= _columns.take_rows(self.columns, CRYSTAL, keep_crystal)
        columns |= _columns.take_rows(self.columns, IMAGE, keep_image)
        for name in ("det_shift_x", "det_shift_y"):  # the shift comes from an image's crystals
            columns[name][~has_crystal[keep_image]] = 0
        new_crystal = _new_ids(keep_crystal, self.first_crystal_id)
        new_image = _new_ids(keep_image, self.first_image_id)
        columns["crystal_id"] = new_crystal[crystal_of[keep_observation]]
        columns["image_id"] = new_image[image_of[keep_crystal]]
        columns["n_refl"] = _n_refl(columns["crystal_id"], self.first_crystal_id,
                                    len(columns["n_refl"]))
        columns["crystal_in_image"] = _rank_in_group(columns["image_id"])
        kept = np.flatnonzero(keep_image)
        selected = Stream(columns, [self.filenames[i] for i in kept], [self.events[i] for i in kept],
                      self.report, header=self.header, panels=self.panels, path=self.path,
                      first_crystal_id=self.first_crystal_id, first_image_id=self.first_image_id,
                      headers_differ=self.headers_differ)
        if self._origin is not None:
            selected._origin = self._origin.select(keep_crystal, keep_image, image_of,
                                                   drop_empty_images)
        return selected

    # -- output --------------------------------------------------------------

    def write(self, path: PathLike, *, n_threads: int | None = None, header: str | None = None,
              lattice_type: str | None = None, centering: str | None = None,
              unique_axis: str | None = None, verbatim: bool | None = None) -> None:
        """Write the Stream as a ``.stream`` file.

        A Stream read from a file, or a selection of one (:meth:`select`, the batches of
        :func:`quillon.iter_batches` and their :func:`quillon.concat`), is written as a
        copy of that file's text: its header and the chunks of the kept images byte for
        byte, with the blocks of the dropped crystals cut out, so peak lists, keys the
        columns do not hold, serial numbers and line ends stay as they were. Text the
        reader left out as damaged goes with its image (a chunk without a readable image
        stays unless ``drop_empty_images`` dropped the empty images). The source must be
        unchanged since it was read (size and modification time), else
        :class:`quillon.StreamChangedError`; changes made to the columns in place are not
        seen by the copy. ``header``, when given and not the source's, replaces the
        header's text.

        ``verbatim=False``, a Stream built in memory or read from Parquet, and a join
        of different files go through ``quillon_native.write_stream`` instead, which
        writes what the columns hold (no peak lists, no other keys, serial numbers
        from 0). ``verbatim=True`` insists on the copy (ValueError when there is no
        source text); None copies when it can and ``lattice_type``, ``centering`` and
        ``unique_axis`` are not given.

        For the column writer, ``header`` defaults to this Stream's header; each of ``lattice_type``,
        ``centering`` and ``unique_axis`` defaults to the value in that header's unit
        cell, and the line is left out of each crystal when neither gives one.
        ``n_threads=None`` uses every core this process may run on.

        The file is written beside ``path`` and renamed over it once complete, so an
        interrupted write leaves an existing file as it was; a replaced file keeps its
        permissions. Refused with ValueError before anything is written: a Stream with
        reflections on an unknown panel (the name is not known, so it cannot be
        written; :meth:`without_unknown_panels` drops them), ``path`` being the file
        this Stream was read from (:class:`quillon.SameFileError`, also through a link),
        and a Stream joined from streams with different headers unless ``header`` is
        given (one stream's header and cell would be written for all of them).

        >>> import tempfile
        >>> Stream.empty(header="just a header\\n").write(os.path.join(tempfile.mkdtemp(), "a.stream"))
        """
        lattice = {"lattice_type": lattice_type, "centering": centering, "unique_axis": unique_axis}
        if verbatim is None:
            verbatim = self._origin is not None and all(v is None for v in lattice.values())
        if verbatim:
            given = [name for name, value in lattice.items() if value is not None]
            if given:
                raise ValueError(f"{', '.join(given)} would change the crystals' text, which a "
                                 "copy keeps as it is; pass verbatim=False to write the columns")
            if self._origin is None:
                raise ValueError("this Stream has no source text to copy (built in memory, read "
                                 "from Parquet or joined from several files); pass "
                                 "verbatim=False to write its columns")
            from ._verbatim import open_output, write_text
            with output_path(path, inputs=[self.path, self._origin.path]) as tmp, \
                    open_output(tmp) as out:
                write_text(self._origin, out, header)
            return
        unknown = int(np.count_nonzero(self.columns["panel_id"] < 0))
        if unknown:
            raise ValueError(f"{unknown:,} reflection{'s' * (unknown != 1)} "
                             f"{'are' if unknown != 1 else 'is'} on a panel not in the panel "
                             "list, so its panel cannot be written; drop them with "
                             "without_unknown_panels() or select them out first")
        if self.headers_differ and header is None:
            raise ValueError("this Stream joins streams whose headers differ, so no one header "
                             "(geometry, unit cell) is right for all of it; pass header= to "
                             "say which to write")
        cell = cell_from_header(self.header)
        header = self.header if header is None else header
        lattice_type = lattice_type if lattice_type is not None else cell.get("lattice_type")
        centering = centering if centering is not None else cell.get("centering")
        unique_axis = unique_axis if unique_axis is not None else cell.get("unique_axis")
        arrays = self.columns
        if self.first_image_id:
            arrays = {**arrays, "image_id": arrays["image_id"] - np.int32(self.first_image_id)}
        with output_path(path, inputs=[self.path]) as tmp:
            write_stream(tmp, arrays, self.filenames, self.events, self.panels,
                         lattice_type, centering, unique_axis, header,
                         n_threads=default_threads(n_threads))

    def without_unknown_panels(self) -> tuple[Stream, int]:
        """This Stream without the reflections on a panel not in ``panels``, and their count.

        ``n_refl`` is recomputed; crystals and images all stay.
        """
        known = self.columns["panel_id"] >= 0
        dropped = int(len(known) - np.count_nonzero(known))
        if not dropped:
            return self, 0
        columns = dict(self.columns)
        columns |= _columns.take_rows(self.columns, OBSERVATION, known)
        columns["n_refl"] = _n_refl(columns["crystal_id"], self.first_crystal_id, self.n_crystals)
        return Stream(columns, self.filenames, self.events, self.report, header=self.header,
                      panels=self.panels, path=self.path, first_crystal_id=self.first_crystal_id,
                      first_image_id=self.first_image_id,
                      headers_differ=self.headers_differ), dropped

    def to_mtz(self, path: PathLike, symmetry: str, *, cell: Any = None) -> None:
        """Write every measurement to an unmerged MTZ file (needs gemmi).

        Columns H K L (the asymmetric-unit index of ``symmetry``'s point group) with M/ISYM,
        BATCH (one batch per crystal, numbered from 1, with that crystal's cell), I, SIGI
        and XDET/YDET (fs/ss). gemmi's ``Mtz.switch_to_original_hkl()`` gives back each
        row's index as read. ``cell`` (a gemmi.UnitCell, six numbers or a cell file) is
        the file's cell; None takes the header's target cell, else the crystals' median.

        >>> quillon.read("run7.stream").to_mtz("run7_unmerged.mtz", "mmm")   # doctest: +SKIP
        """
        from ._merge import write_unmerged
        write_unmerged(self, path, symmetry, cell=cell)

    def to_arrow(self) -> dict[str, pa.Table]:
        """``{"observations": …, "crystals": …, "images": …}`` as pyarrow Tables.

        Their schema metadata holds the header, the report, the panels and the first
        ids under the key ``quillon``, so :func:`quillon.read_parquet` restores the
        Stream exactly.
        """
        from ._parquet import to_arrow
        return to_arrow(self)

    def to_parquet(self, folder: PathLike, **kwargs: Any) -> None:
        """Write the tables into ``folder``: ``observations/``, ``crystals/`` and
        ``images/`` (a Parquet dataset each) and ``quillon.json`` (header, panels, report);
        :func:`quillon.read_parquet` and :func:`quillon.dask.read_parquet` read it back.

        The folder is written beside ``folder`` and swapped in when complete. An existing
        ``folder`` is replaced only when it is empty or an earlier output of quillon, else
        refused with :class:`quillon.ForeignFolderError`. ``kwargs`` go to
        ``pyarrow.parquet.ParquetWriter``, e.g. ``compression="zstd"``, or
        ``use_dictionary=["h", "k", "l", "panel"]`` to write faster, larger files.
        """
        from ._parquet import to_parquet
        to_parquet(self, folder, **kwargs)


def _selection(rows: Any, ids: Any, n: int, first: int, table: str) -> np.ndarray:
    """A boolean mask of n rows from a selection by position (or mask) or by id."""
    if ids is None:
        return _row_mask(rows, n, first, table)
    if rows is not None:
        raise TypeError(f"give {table}= or {table[:-1]}_ids=, not both")
    values = _integers(np.asarray(ids), f"{table[:-1]}_ids must be integer ids")
    bad = (values < first) | (values >= first + n)
    if bad.any():
        raise KeyError(f"{table[:-1]} id {values[bad][0]} is not in this Stream "
                       f"(ids {first} to {first + n - 1})")
    return _mask_at(values - first, n)


def _integers(values: np.ndarray, refusal: str) -> np.ndarray:
    """``values`` as a 1-D integer array (an empty one of any type passes); TypeError
    starting with ``refusal`` otherwise."""
    if values.size == 0:
        values = values.astype(np.intp)
    if values.ndim != 1 or not np.issubdtype(values.dtype, np.integer):
        raise TypeError(f"{refusal}, got {values.dtype} of shape {values.shape}")
    return values


def _mask_at(positions: np.ndarray, n: int) -> np.ndarray:
    mask = np.zeros(n, dtype=bool)
    mask[positions] = True
    return mask


def _aligned(series: Any, n: int, first: int, table: str) -> np.ndarray:
    """The values of a boolean Series indexed by ids, in table order."""
    index = np.asarray(series.index)
    ids = np.arange(first, first + n)
    if (len(index) != n or not np.issubdtype(index.dtype, np.integer)
            or not np.array_equal(np.sort(index), ids)):
        raise ValueError(f"the {table} Series is aligned on its index, which must hold every "
                         f"{table[:-1]} id of this Stream once ({first} to {first + n - 1}); "
                         "pass a NumPy array for a mask by position")
    if str(series.dtype) == "boolean":  # pandas' nullable booleans
        if series.isna().any():
            raise ValueError(f"the {table} Series has missing values; fill them first")
        series = series.astype(bool)
    values = np.asarray(series.to_numpy())
    if values.dtype != bool:
        raise TypeError(f"a {table} Series must be boolean, got {values.dtype}; pass ids with "
                        f"{table[:-1]}_ids= or positions as a NumPy array")
    out = np.empty(n, dtype=bool)
    out[index - first] = values
    return out


def _row_mask(rows: Any, n: int, first: int, table: str) -> np.ndarray:
    """A boolean mask of n rows from None, a mask or positions; errors name ``table``."""
    if rows is None:
        return np.ones(n, dtype=bool)
    kind = type(rows).__name__
    if type(rows).__module__.startswith("pandas"):
        if kind == "Series":
            return _aligned(rows, n, first, table)
        if kind.endswith("Index"):
            return _selection(None, np.asarray(rows), n, first, table)
    values = np.asarray(rows)
    if values.dtype == bool:
        if values.shape != (n,):
            raise ValueError(f"{table} mask has shape {values.shape}, expected ({n},): "
                             f"one value per row of the {table} table")
        return values.copy()
    values = _integers(values, f"{table} must be a boolean mask or integer positions")
    bad = (values < -n) | (values >= n)
    if bad.any():
        raise IndexError(f"{table} position {values[bad][0]} is out of range for {n} {table}")
    return _mask_at(values, n)


def _n_refl(crystal_id: np.ndarray, first: int, n_crystals: int) -> np.ndarray:
    """The reflections of each of ``n_crystals`` crystals (ids from ``first``), as ``n_refl``."""
    return np.bincount(crystal_id - np.int32(first), minlength=n_crystals).astype(np.int32)


def _new_ids(keep: np.ndarray, first: int) -> np.ndarray:
    """For each old row, its new id once only the kept rows remain (from ``first``)."""
    return (np.cumsum(keep, dtype=np.int32) + np.int32(first - 1)).astype(np.int32)


def _rank_in_group(group: np.ndarray) -> np.ndarray:
    """0, 1, 2, … within each run of equal values of ``group``."""
    n = len(group)
    position = np.arange(n, dtype=np.int32)
    starts = np.ones(n, dtype=bool)
    starts[1:] = group[1:] != group[:-1]
    return position - np.maximum.accumulate(np.where(starts, position, 0))


def warn_unknown_panels(n_unknown: int, where: str) -> None:
    """Warn once that ``n_unknown`` reflections of ``where`` have an unknown panel."""
    if n_unknown:
        noun, verb = ("reflection", "is") if n_unknown == 1 else ("reflections", "are")
        warn(f"{n_unknown:,} {noun} of {where} {verb} on a panel not in the panel list; their panel "
             "is missing (pass panels= to name every panel, or panels='auto')",
             UnknownPanelWarning)


class UnknownPanelWarning(UserWarning):
    """Reflections were read whose panel name is not in the panel list."""


def schema(panels: Iterable[str] = ()) -> dict[str, pd.DataFrame]:
    """Empty ``observations``, ``crystals`` and ``images`` tables: every column, its dtype.

    Useful as the ``meta`` of lazy frames, without parsing anything.

    >>> schema(["p0"])["images"].dtypes.to_dict()["n_peaks"]
    dtype('int32')
    """
    empty = Stream.empty(panels)
    return {"observations": empty.observations, "crystals": empty.crystals, "images": empty.images}
