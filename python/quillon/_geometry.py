"""What the header of a stream says: its panel names and its unit-cell strings."""
from __future__ import annotations

import re

BEGIN_GEOMETRY = "----- Begin geometry file -----"
END_GEOMETRY = "----- End geometry file -----"
BEGIN_CHUNK = b"----- Begin chunk -----"

# "<name>/<key> = value"; the name may not hold white space, "/", "=" or ";".
_PANEL_KEY = re.compile(r"([^\s/=;]+)/[^=]*=")
_CELL_KEY = re.compile(r"(lattice_type|centering|unique_axis)\s*=\s*(\S+)")


def _geometry_lines(header: str) -> list[str]:
    lines: list[str] = []
    inside = False
    for line in header.splitlines():
        text = line.strip()
        if text == BEGIN_GEOMETRY:
            inside = True
        elif text == END_GEOMETRY:
            inside = False
        elif inside:
            lines.append(text.split(";", 1)[0].strip())  # ';' starts a comment
    return lines


def panels_from_header(header: str) -> list[str]:
    """Panel names of the geometry a stream header carries, in file order.

    A panel is any name that has a per-panel key (``p0/min_fs = 0``, ``p0/corner_x = …``)
    between the "Begin geometry file" and "End geometry file" lines. Names that start
    with ``bad`` are masked regions, not panels, and ``rigid_group…`` lines only group
    panels, so neither adds a name. A header without geometry gives ``[]``.

    >>> panels_from_header('''----- Begin geometry file -----
    ... clen = 0.2
    ... q0/min_fs = 0
    ... q0/max_fs = 255
    ... badstripe/min_fs = 10
    ... rigid_group_all = q0,q1
    ... q1/min_fs = 0
    ... ----- End geometry file -----''')
    ['q0', 'q1']
    """
    return list(panel_keys(header))


def panel_keys(header: str) -> dict[str, dict[str, str]]:
    """The per-panel keys of the header's geometry: ``{panel: {key: value text}}``.

    Masked regions (``bad…``) and rigid groups are left out, as in :func:`panels_from_header`.

    >>> panel_keys("----- Begin geometry file -----\\nq0/corner_x = -10 ; left\\n"
    ...            "----- End geometry file -----\\n")
    {'q0': {'corner_x': '-10'}}
    """
    keys: dict[str, dict[str, str]] = {}
    for line in _geometry_lines(header):
        match = _PANEL_KEY.match(line)
        if match and not match.group(1).startswith(("bad", "rigid_group")):
            key, _, value = line[len(match.group(1)) + 1:].partition("=")
            keys.setdefault(match.group(1), {})[key.strip()] = value.strip()
    return keys


def cell_from_header(header: str) -> dict[str, str]:
    """``lattice_type``, ``centering`` and ``unique_axis`` as the header's unit cell gives them.

    Only the keys the header holds (outside the geometry) are returned.

    >>> cell_from_header("lattice_type = tetragonal\\ncentering = P\\n")
    {'lattice_type': 'tetragonal', 'centering': 'P'}
    """
    cell: dict[str, str] = {}
    inside_geometry = False
    for line in header.splitlines():
        text = line.strip()
        if text in (BEGIN_GEOMETRY, END_GEOMETRY):
            inside_geometry = text == BEGIN_GEOMETRY
            continue
        match = _CELL_KEY.fullmatch(text.split(";", 1)[0].strip())
        if match and not inside_geometry:
            cell.setdefault(match.group(1), match.group(2))
    return cell
