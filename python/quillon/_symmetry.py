"""Point groups, asymmetric units and unit cells for merging, through gemmi."""
from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._deps import require
from ._geometry import cell_from_header

_BEGIN_CELL = "----- Begin unit cell -----"
_END_CELL = "----- End unit cell -----"
_CELL_VALUE = re.compile(r"(a|b|c|al|be|ga)\s*=\s*([-+0-9.eE]+)\s*(A|nm|deg|rad)?\s*$")
_CENTERING = ("P", "A", "B", "C", "I", "F", "R", "H")
# Lattice translations of each centering, in 24ths of a cell edge as gemmi keeps them.
_TRANSLATIONS = {"P": [], "A": [[0, 12, 12]], "B": [[12, 0, 12]], "C": [[12, 12, 0]],
                 "I": [[12, 12, 12]], "F": [[0, 12, 12], [12, 0, 12], [12, 12, 0]],
                 "R": [[16, 8, 8], [8, 16, 16]], "H": [[16, 8, 0], [8, 16, 0]]}
_MONOCLINIC = {"2": "P 1 2 1", "m": "P 1 m 1", "2/m": "P 1 2/m 1"}
_MONOCLINIC_AXIS = {"a": {"2": "P 2 1 1", "m": "P m 1 1", "2/m": "P 2/m 1 1"},
                    "b": _MONOCLINIC,
                    "c": {"2": "P 1 1 2", "m": "P 1 1 m", "2/m": "P 1 1 2/m"}}


def _gemmi() -> Any:
    return require("gemmi")


def _point_groups() -> dict[str, str]:
    """Point-group symbols ("mmm", "-3m1", "2/m", …) to a primitive symmorphic space group."""
    gemmi = _gemmi()
    table: dict[str, str] = {}
    for sg in gemmi.spacegroup_table():
        if sg.hm[0] != "P" or not sg.is_symmorphic() or sg.ext.strip("\x00"):
            continue
        compact = sg.hm[1:].replace(" ", "")
        table.setdefault(compact, sg.hm)       # "4/mmm", "-3m1", "12/m1"
        table.setdefault(sg.point_group_hm(), sg.hm)  # "2/m", "-3m" (first setting in the table)
    table.update(_MONOCLINIC)
    # The trigonal groups with two settings: the one with the 2-fold axes along a and b.
    table.update({"32": "P 3 2 1", "3m": "P 3 m 1", "-3m": "P -3 m 1"})
    return table


@dataclass(frozen=True)
class Symmetry:
    """What merging needs of a point group.

    ``ops``: the point group's rotations (no translations, no centering); ``space_group``:
    the gemmi space group written into MTZ files (the one given, or the symmorphic group
    of the point group and the lattice centering); ``friedel``: whether Friedel mates
    merge together (the point group holds the inversion).
    """

    symbol: str
    point_group: str
    space_group: Any
    ops: Any
    friedel: bool
    rotations: np.ndarray  # (n_ops, 3, 3) int: hkl' = hkl @ rotations[i]


def symmetry(symbol: str, centering: str | None = None, unique_axis: str | None = None) -> Symmetry:
    """A :class:`Symmetry` from a point-group symbol ("mmm", "422", "-3m1") or a space-group
    name ("P 43 21 2"); ValueError for neither.

    >>> symmetry("mmm").friedel, symmetry("222").friedel, symmetry("P 43 21 2").point_group
    (True, False, '422')
    """
    gemmi = _gemmi()
    if not isinstance(symbol, str) or not symbol.strip():
        raise ValueError(f"symmetry must be a point-group or space-group symbol, got {symbol!r}")
    text = symbol.strip()
    compact = text.replace(" ", "")
    given = None
    name: str | None
    if unique_axis in _MONOCLINIC_AXIS and compact in _MONOCLINIC:
        name = _MONOCLINIC_AXIS[unique_axis][compact]
    else:
        name = _point_groups().get(compact)
    if name is None:
        given = gemmi.find_spacegroup_by_name(text)
        if given is None:
            raise ValueError(f"{symbol!r} is neither a point group (e.g. 'mmm', '4/mmm', '222') "
                             "nor a space group (e.g. 'P 43 21 2')")
        source = given
    else:
        source = gemmi.SpaceGroup(name)
    ops = []
    for op in source.operations().sym_ops:
        rotation = gemmi.Op(op.triplet())
        rotation.tran = [0, 0, 0]
        ops.append(rotation)
    group = gemmi.GroupOps(ops)
    primitive = gemmi.find_spacegroup_by_ops(group)
    space_group = given
    if space_group is None:
        space_group = primitive
        lattice = (centering or "P").upper()
        if lattice in _TRANSLATIONS and lattice != "P":
            centred = gemmi.GroupOps(ops)
            centred.cen_ops = [[0, 0, 0], *_TRANSLATIONS[lattice]]
            space_group = gemmi.find_spacegroup_by_ops(centred) or primitive
    # In the order of the space group written to MTZ files: M/ISYM numbers its operators.
    rotations = np.array([op.rot for op in space_group.operations().sym_ops], dtype=np.int64) // 24
    return Symmetry(text, primitive.point_group_hm(), space_group, group,
                    group.is_centrosymmetric(), rotations)


def lattice_translations(centering: str | None) -> list[list[int]]:
    """The centering's lattice translations in 24ths (none for P or an unknown letter)."""
    return _TRANSLATIONS.get((centering or "P").upper(), [])


def allowed_by_centering(hkl: np.ndarray, centering: str | None) -> np.ndarray:
    """Which indices the lattice centering allows (h·t integral for every translation t)."""
    ok = np.ones(len(hkl), dtype=bool)
    for t in lattice_translations(centering):
        ok &= (hkl.astype(np.int64) @ np.array(t, dtype=np.int64)) % 24 == 0
    return ok


def to_asu(hkl: np.ndarray, sym: Symmetry) -> tuple[np.ndarray, np.ndarray]:
    """Each index mapped to the reciprocal asymmetric unit, and its MTZ ISYM.

    ``isym`` is 2·i + 1 when ``hkl @ R_i`` is the asymmetric-unit index and 2·i + 2 when its
    negation is, the first such (i, sign) in that order, as gemmi's ``ReciprocalAsu.to_asu``
    and MTZ files number them; works on each distinct index once.
    """
    hkl = np.asarray(hkl)
    if not len(hkl):
        return np.empty((0, 3), np.int32), np.empty(0, np.int32)
    points, inverse = _distinct(hkl)
    asu, isym = _asu_of_points(points, sym)
    return asu[inverse], isym[inverse]


def _distinct(hkl: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct rows of an (n, 3) integer array and each row's position among them."""
    low = hkl.min(axis=0).astype(np.int64)
    dims = hkl.max(axis=0).astype(np.int64) - low + 1
    linear = ((hkl[:, 0] - low[0]) * dims[1] + (hkl[:, 1] - low[1])) * dims[2] + (hkl[:, 2] - low[2])
    size = int(dims.prod())
    if size <= 1 << 24:  # a dense box: a bincount instead of a sort
        present = np.flatnonzero(np.bincount(linear, minlength=size))
        position = np.full(size, -1, dtype=np.int32)
        position[present] = np.arange(len(present), dtype=np.int32)
        inverse = position[linear]
        keys = present
    else:
        keys, inverse = np.unique(linear, return_inverse=True)
    l_ = keys % dims[2]
    k_ = keys // dims[2] % dims[1]
    h_ = keys // (dims[2] * dims[1])
    points = np.stack([h_ + low[0], k_ + low[1], l_ + low[2]], axis=1).astype(np.int32)
    return points, inverse


def _asu_of_points(points: np.ndarray, sym: Symmetry, with_isym: bool = True
                   ) -> tuple[np.ndarray, np.ndarray]:
    gemmi = _gemmi()
    mtz = gemmi.Mtz(with_base=True)
    mtz.spacegroup = sym.space_group
    mtz.cell = gemmi.UnitCell(10, 10, 10, 90, 90, 90)  # the asymmetric unit needs no cell
    mtz.add_dataset("asu")
    mtz.set_data(points.astype(np.float32))
    mtz.ensure_asu()
    asu = np.rint(mtz.array).astype(np.int32)
    isym = np.zeros(len(points), dtype=np.int32)
    todo = np.arange(len(points) if with_isym else 0)
    for i, rotation in enumerate(sym.rotations):
        if not len(todo):
            break
        image = points[todo] @ rotation
        target = asu[todo]
        plus = (image == target).all(axis=1)
        minus = ~plus & (image == -target).all(axis=1)
        isym[todo[plus]] = 2 * i + 1
        isym[todo[minus]] = 2 * i + 2
        todo = todo[~(plus | minus)]
    if len(todo):  # cannot happen for a closed group: every index has an image in the unit
        raise RuntimeError(f"{len(todo)} indices found no symmetry image in the asymmetric unit")
    return asu, isym


def centric(hkl: np.ndarray, sym: Symmetry) -> np.ndarray:
    """Whether each index is centric: some rotation of the point group takes it to −hkl."""
    return np.asarray(sym.ops.centric_flag_array(np.ascontiguousarray(hkl, dtype=np.int32)),
                      dtype=bool)


# -- unit cells -------------------------------------------------------------------------

@dataclass(frozen=True)
class TargetCell:
    """A unit cell block: the six parameters (or None) and the lattice keys."""

    parameters: tuple[float, ...] | None
    centering: str | None
    unique_axis: str | None


def cell_block(text: str) -> TargetCell:
    """The unit cell of a stream header or a cell file.

    Reads ``a = 79.1 A`` (or nm), ``al = 90 deg`` (or rad), ``centering`` and ``unique_axis``
    between the "Begin unit cell" and "End unit cell" lines, or anywhere in a text without
    those lines (a cell file). The parameters are None unless all six are given.

    >>> cell_block("centering = I\\na = 7.9 nm\\nb = 79 A\\nc = 38 A\\nal = 90 deg\\n"
    ...            "be = 90 deg\\nga = 90 deg\\n")
    TargetCell(parameters=(79.0, 79.0, 38.0, 90.0, 90.0, 90.0), centering='I', unique_axis=None)
    """
    lines = text.splitlines()
    if _BEGIN_CELL in (line.strip() for line in lines):
        inside, kept = False, []
        for line in lines:
            if line.strip() == _BEGIN_CELL:
                inside = True
            elif line.strip() == _END_CELL:
                inside = False
            elif inside:
                kept.append(line)
        lines = kept
    values: dict[str, float] = {}
    for line in lines:
        match = _CELL_VALUE.fullmatch(line.split(";", 1)[0].strip())
        if match:
            name, number, unit = match.group(1), float(match.group(2)), match.group(3)
            if unit == "nm":
                number *= 10.0
            elif unit == "rad":
                number = float(np.degrees(number))
            values.setdefault(name, number)
    keys = cell_from_header("\n".join(lines))
    names = ("a", "b", "c", "al", "be", "ga")
    parameters = tuple(values[n] for n in names) if all(n in values for n in names) else None
    centering = keys.get("centering")
    return TargetCell(parameters, centering.upper() if centering else None, keys.get("unique_axis"))


def unit_cell(cell: Any) -> Any:
    """A gemmi.UnitCell from a gemmi.UnitCell, six numbers (Å, degrees) or a cell file path."""
    gemmi = _gemmi()
    if isinstance(cell, gemmi.UnitCell):
        return cell
    if isinstance(cell, (str, bytes, os.PathLike)):
        with open(cell, encoding="utf-8", errors="replace") as f:
            parameters = cell_block(f.read()).parameters
        if parameters is None:
            raise ValueError(f"{os.fsdecode(cell)}: no unit cell (a, b, c, al, be, ga) in the file")
        return gemmi.UnitCell(*parameters)
    values = [float(x) for x in cell]
    if len(values) != 6:
        raise ValueError(f"a unit cell has six parameters (a, b, c, α, β, γ), got {len(values)}")
    return gemmi.UnitCell(*values)


def inverse_d(cell: Any, hkl: np.ndarray) -> np.ndarray:
    """1/d in Å⁻¹ of each index in ``cell``."""
    if not len(hkl):
        return np.empty(0)
    return np.sqrt(cell.calculate_1_d2_array(np.ascontiguousarray(hkl, dtype=np.int32)))
