"""``quillon filter``: keep the crystals that pass every given test and write them as a stream."""
from __future__ import annotations

import json
import math
import os
import re
from dataclasses import dataclass, field
from pathlib import Path

import click
import numpy as np

import quillon
from quillon._source import read_text
from quillon._verbatim import open_output, whole_file, write_text
from quillon.cli import _common as common
from quillon.cli._write import StreamSink

# A decimal number as people write it: no "_" digit separators, no "nan" or "inf".
_NUMBER = re.compile(r"\s*[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\s*")


def _floats(text: str, n: int, what: str) -> list[float]:
    parts = text.split(",")
    if len(parts) != n:
        raise click.BadParameter(f"{what}: expected {n} comma-separated numbers, got {text!r}")
    bad = next((p for p in parts if not _NUMBER.fullmatch(p)), None)
    if bad is not None:
        raise click.BadParameter(f"{what}: {bad.strip()!r} is not a number in {text!r}")
    return [float(p) for p in parts]


def _parse_resolution(ctx, param, value: float | None) -> float | None:
    if value is not None and not (math.isfinite(value) and value > 0):
        raise click.BadParameter(f"must be a number of Å above 0, got {value!r}")
    return value


def _parse_cell(ctx, param, value: str | None) -> tuple[float, ...] | None:
    if value is None:
        return None
    cell = _floats(value, 6, "a,b,c,al,be,ga")
    if not all(np.isfinite(cell)) or min(cell) <= 0 or max(cell[3:]) >= 180:
        raise click.BadParameter(f"lengths must be > 0 Å and angles between 0 and 180°, got {value!r}")
    return tuple(cell)


def _parse_tolerance(ctx, param, value: str) -> tuple[float, float]:
    parts = value.split(",")
    if len(parts) != 2 or parts[1].strip().endswith("%"):
        raise click.BadParameter(f"expected LENGTH%,ANGLE (lengths in %, angles in degrees) such as "
                                 f"2%,1.5, got {value!r}")
    tol = _floats(f"{parts[0].strip().removesuffix('%')},{parts[1]}", 2, "LENGTH%,ANGLE")
    if not all(np.isfinite(tol)) or min(tol) < 0:
        raise click.BadParameter(f"tolerances must be finite numbers ≥ 0, got {value!r}")
    return tol[0] / 100, tol[1]


def read_events(path: str) -> tuple[set[tuple[str, str]], set[str]]:
    """(file name, event) pairs, and file names listed without an event (all their events)."""
    pairs: set[tuple[str, str]] = set()
    whole: set[str] = set()
    with common.reading(path):
        text = read_text(path)  # a regular file (a named pipe would block), BOM dropped
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, _, event = line.rpartition(" ")
        if name and event.startswith("//"):
            pairs.add((name.rstrip(), event))
        else:
            whole.add(line)
    return pairs, whole


@dataclass
class Tests:
    cell: tuple[float, ...] | None = None
    tolerance: tuple[float, float] = (0.05, 1.5)
    resolution: float | None = None
    min_reflections: int | None = None
    first_crystals: int | None = None
    events: tuple[set, set] | None = None
    failed: dict[str, int] = field(default_factory=dict)
    passed_so_far: int = 0

    def masks(self, s: quillon.Stream) -> tuple[np.ndarray, np.ndarray | None]:
        """The crystals of batch ``s`` that pass every test, and the images to keep (None: all)."""
        c = s.columns
        tests: dict[str, np.ndarray] = {}
        if self.cell is not None:
            cell = np.asarray(c["cell"], np.float64)
            target = np.asarray(self.cell)
            ok = np.abs(cell[:, :3] - target[:3]) <= self.tolerance[0] * target[:3]
            ok_angles = np.abs(cell[:, 3:] - target[3:]) <= self.tolerance[1]
            tests["cell"] = ok.all(axis=1) & ok_angles.all(axis=1)
        if self.resolution is not None:
            tests["resolution"] = c["resolution"] <= self.resolution
        if self.min_reflections is not None:
            tests["reflections"] = c["n_refl"] >= self.min_reflections
        images = None
        if self.events is not None:
            pairs, whole = self.events
            images = np.fromiter(((f, e) in pairs or f in whole for f, e in zip(s.filenames, s.events)),
                                 bool, count=s.n_images)
            # Image ids count over the file; the batch's images are its rows from first_image_id.
            tests["events"] = images[c["image_id"] - np.int32(s.first_image_id)]
        keep = np.ones(s.n_crystals, bool)
        for name, ok in tests.items():
            self.failed[name] = self.failed.get(name, 0) + int(np.count_nonzero(~ok))
            keep &= ok
        if self.first_crystals is not None:
            passing = np.flatnonzero(keep)
            beyond = passing[max(self.first_crystals - self.passed_so_far, 0):]
            keep[beyond] = False
            self.failed["first"] = self.failed.get("first", 0) + len(beyond)
        self.passed_so_far += int(np.count_nonzero(keep))
        return keep, images

    def done(self, images_with_crystals: bool) -> bool:
        """Whether no later image can add to the output (the first N crystals are all found)."""
        return (images_with_crystals and self.first_crystals is not None
                and self.passed_so_far >= self.first_crystals)


EXAMPLES = """\b
Examples:
  quillon filter run7.stream good.stream --cell 79.1,79.1,38.0,90,90,90 --tolerance 2%,1.5
  quillon filter run7.stream best.stream --resolution-better-than 2.0 --min-reflections 500
  quillon filter run7.stream hits.stream --images-with-crystals --first-crystals 1000
  quillon filter run7.stream some.stream --events-from events.lst"""


@click.command(short_help="Keep the crystals that pass tests; write a stream.", epilog=EXAMPLES)
@click.argument("source", metavar="IN", type=click.Path(dir_okay=True))
@click.argument("target", metavar="OUT.stream", type=click.Path(dir_okay=True))
@click.option("--cell", callback=_parse_cell, metavar="A,B,C,AL,BE,GA",
              help="Keep crystals whose cell is within --tolerance of this one (Å and degrees).")
@click.option("--tolerance", callback=_parse_tolerance, default="5%,1.5", show_default=True,
              metavar="LENGTH%,ANGLE", help="Allowed deviation from --cell: lengths in %, angles in degrees.")
@click.option("--resolution-better-than", "resolution", type=float, callback=_parse_resolution,
              metavar="Å", help="Keep crystals whose resolution limit is this many Å or better.")
@click.option("--min-reflections", type=click.IntRange(min=0), metavar="N",
              help="Keep crystals with at least N reflections.")
@click.option("--first-crystals", type=click.IntRange(min=0), metavar="N",
              help="Keep only the first N crystals (in file order) that pass the other tests.")
@click.option("--images-with-crystals", is_flag=True,
              help="Drop the images left without a crystal (default: every listed image is kept).")
@click.option("--events-from", type=click.Path(dir_okay=False), metavar="FILE",
              help="Keep only the images listed in FILE, one 'file-name //event' per line "
                   "(a file name alone keeps all its events; '#' starts a comment line).")
@click.option("--verbatim/--from-columns", default=True, show_default=True,
              help="Copy the kept images' text from IN, cutting out the dropped crystals "
                   "(peak lists, every key and line stay), or write what the parsed columns "
                   "hold, in the layout of the column writer.")
@click.option("--json", "as_json", is_flag=True, help="Print what was kept and dropped as JSON.")
@common.reading_options
@click.pass_context
def filter_stream(ctx, source, target, cell, tolerance, resolution, min_reflections, first_crystals,
                  images_with_crystals, events_from, verbatim, as_json, panels, threads, batch_size,
                  quiet):
    """Keep the crystals of IN that pass all the given tests and write them to OUT.stream.

    Images keep their place, with the crystals that passed; --images-with-crystals drops
    the ones left empty. OUT is a copy of IN's text without the dropped crystals' blocks
    (and the dropped images' chunks), unless --from-columns. Prints how many images,
    crystals and reflections were read and kept, and how many crystals failed each test (a
    crystal may fail several). With no test at all, IN is copied whole without parsing and
    the counts are the chunk index's (chunks, crystal blocks, reflection rows, damaged ones
    included). OUT appears only when the whole output is written.
    """
    if ctx.get_parameter_source("tolerance") != click.core.ParameterSource.DEFAULT and cell is None:
        raise click.UsageError("--tolerance needs --cell")
    if Path(target).suffix.lower() == ".parquet" or target.endswith(("/", os.sep)):
        raise click.BadParameter("filter writes a stream: give a name ending in .stream (convert "
                                 "it to Parquet tables with quillon convert)", param_hint="OUT")
    events = read_events(events_from) if events_from else None
    # Written to standard output, the stream must not get the report mixed into it.
    report_to_stderr = common.is_standard_output(target)
    src = common.open_stream(source, panels, threads=threads)
    if not verbatim:  # a copy keeps each reflection's panel name as it is in IN
        common.require_panels(src)
    tests = Tests(cell, tolerance, resolution, min_reflections, first_crystals, events)
    inputs = common.input_files(source, events_from, panels=panels)
    nothing_to_test = (cell is None and resolution is None and min_reflections is None
                       and first_crystals is None and events_from is None
                       and not images_with_crystals)
    if verbatim and nothing_to_test:
        counts = _copy_whole(src, target, inputs)
        _summary(source, target, counts, counts, {}, as_json, report_to_stderr, copied=True)
        return
    read = {"images": 0, "crystals": 0, "reflections": 0}
    tally = common.Tally()
    dropped = 0
    try:
        with common.atomic_output(target, inputs=inputs) as tmp, \
                common.Progress([src], enabled=not quiet) as progress, \
                StreamSink(tmp, src.header, threads, verbatim=verbatim) as sink:
            for batch in common.batches(src, threads=threads, batch_bytes=batch_size,
                                        progress=progress.of(src)):
                tally.add(batch)
                read["images"] += batch.n_images
                read["crystals"] += batch.n_crystals
                read["reflections"] += len(batch)
                crystals, images = tests.masks(batch)
                if not (crystals.all() and images is None and not images_with_crystals):
                    selection = {} if images is None else {"images": images}
                    batch = batch.select(crystals=crystals, drop_empty_images=images_with_crystals,
                                         **selection)
                if not verbatim:  # their panel names are not known: the text keeps them
                    batch, n = batch.without_unknown_panels()
                    dropped += n
                sink.write(batch)
                if tests.done(images_with_crystals):
                    break
            sink.close()
    except quillon.StreamChangedError as exc:
        raise common.CommandFailed(str(exc)) from None
    common.note_reading(src, tally, dropped=dropped)
    kept = {"images": sink.images, "crystals": sink.crystals, "reflections": sink.reflections}
    _summary(source, target, read, kept, tests.failed, as_json, report_to_stderr)


def _copy_whole(src: common.Source, target: str, inputs: list) -> dict:
    """Copy IN whole (nothing to test, so nothing is parsed); the index's counts.

    The copy checks that the file did not change since it was indexed, before and after.
    """
    origin = whole_file(src.path, src.stamp, src.header_end)
    try:
        with common.atomic_output(target, inputs=inputs) as tmp, open_output(tmp) as out:
            write_text(origin, out, None)
    except quillon.StreamChangedError as exc:
        raise common.CommandFailed(str(exc)) from None
    rows = src.rows
    return {"images": len(rows), "crystals": int(rows[:, 2].sum()),
            "reflections": int(rows[:, 3].clip(min=0).sum())}


def _summary(source: str, target: str, read: dict, kept: dict, failed: dict, as_json: bool,
             err: bool, copied: bool = False) -> None:
    if as_json:
        record: dict[str, object] = {"input": common.shown(source), "output": common.shown(target),
                                     "read": read, "kept": kept, "failed": failed}
        if copied:
            record["copied"] = True
        click.echo(json.dumps(record, indent=2, ensure_ascii=False), err=err)
        return
    if copied:
        click.echo(f"{common.shown(target)}: copied {common.shown(source)} whole (no test given): "
                   f"{read['images']:,} chunks, {read['crystals']:,} crystal blocks, "
                   f"{read['reflections']:,} reflection rows", err=err)
        return
    click.echo(f"{common.shown(target)}: kept {_of(kept, read, 'crystals')}, {_of(kept, read, 'images')}, "
               f"{_of(kept, read, 'reflections')}", err=err)
    if failed:
        click.echo("failed: " + ", ".join(f"{name} {n:,}" for name, n in failed.items()), err=err)


def _of(kept: dict, read: dict, key: str) -> str:
    share = f" ({100 * kept[key] / read[key]:.1f} %)" if read[key] else ""
    return f"{kept[key]:,} of {read[key]:,} {key}{share}"
