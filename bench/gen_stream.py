#!/usr/bin/env python3
"""Deterministic generator of realistic ``.stream`` files for benchmarks.

    python3 bench/gen_stream.py OUT --size 1G --seed 1 [--columns DIR]

Writes a free-form header (geometry and unit cell), then chunks laid out
exactly as ``write_stream`` lays them out, except that each chunk carries a
non-empty peak list: 0 to 3 crystals per image, 300 to 3,000 reflection rows
per crystal, 16 to 64 panels.  The panel names go to ``OUT.panels``, one per
line, so they can be passed as ``panel_names``.

The file stops at the first chunk boundary at or past ``--size`` bytes.  The
same seed gives the same sequence of chunks whatever the size, so a small file
is a prefix of a larger one, and the same seed and size give identical bytes.

With ``--columns DIR`` the generator also stores the columns that a correct
``parse_chunks`` of the file must return (same names, dtypes and values,
computed from the text it wrote), so benchmarks can feed ``write_stream``
without parsing and tests can compare a parse with the truth.  Load them
with ``load_columns(DIR)``.

Reflection rows, the bulk of the file, are built as fixed-width byte matrices
with NumPy (every numeric field has a bounded range, so its width never
changes) and written in blocks of whole chunks.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

CHUNKS_PER_BATCH = 32
PANEL_FS = 256  # pixels across each panel
PANEL_SS = 128  # pixels down each panel; panels are stacked along ss
ROW_HEADING = "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel"
PEAK_HEADING = "  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel"
CRYSTAL_WEIGHTS = (0.2, 0.5, 0.2, 0.1)  # probability of 0, 1, 2, 3 crystals
ROWS_MIN, ROWS_MAX = 300, 3000
PEAKS_MIN, PEAKS_MAX = 20, 200

# Column names with their dtype and values per row, in the order parse_chunks returns them.
COLUMN_SPECS = {
    "hkl": ("int16", 3), "I": ("float32", 1), "sigma": ("float32", 1),
    "peak": ("float32", 1), "background": ("float32", 1), "fs": ("float32", 1),
    "ss": ("float32", 1), "panel_id": ("int16", 1), "crystal_id": ("int32", 1),
    "cell": ("float32", 6), "astar": ("float32", 3), "bstar": ("float32", 3),
    "cstar": ("float32", 3), "profile_rad": ("float32", 1), "resolution": ("float32", 1),
    "n_refl": ("int32", 1), "image_id": ("int32", 1), "crystal_in_image": ("int32", 1),
    "beam_energy": ("float32", 1), "det_shift_x": ("float32", 1), "det_shift_y": ("float32", 1),
    "camera_length": ("float32", 1), "n_peaks": ("int32", 1),
}

LATTICE = ("tetragonal", "P", "c")
CELL_NM = (7.91, 7.91, 3.80)


def parse_size(text: str) -> int:
    """'10M' -> 10 MiB, '1G' -> 1 GiB, '500K', or a plain byte count."""
    text = text.strip().upper().removesuffix("B").removesuffix("I")
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1)
    number = text[:-1] if scale != 1 else text
    return int(float(number) * scale)


# ---------------------------------------------------------------------------
# Fixed-width number fields as byte matrices


def fixed_field(values: np.ndarray, width: int, decimals: int) -> np.ndarray:
    """Right-aligned text of integer ``values`` scaled by 10**-decimals.

    Returns an (n, width) uint8 matrix, e.g. 123456 with width 10 and 2
    decimals gives "   1234.56", -5 gives "     -0.05".  Every value must fit.
    """
    v = np.asarray(values, dtype=np.int64)
    neg = v < 0
    rest = np.abs(v)
    ndigits = np.full(v.shape, decimals + 1, dtype=np.int64)
    t = rest // 10 ** (decimals + 1)
    while t.any():
        ndigits += t > 0
        t //= 10
    needed = ndigits + neg + (1 if decimals else 0)
    if v.size and int(needed.max()) > width:
        raise ValueError(f"value does not fit in {width} characters")
    out = np.empty((v.size, width), dtype=np.uint8)
    k = 0  # digit position, 0 = last digit
    for col in range(width - 1, -1, -1):
        if decimals and col == width - 1 - decimals:
            out[:, col] = ord(".")
            continue
        digit = (rest % 10).astype(np.uint8) + ord("0")
        rest //= 10
        fill = np.where(neg & (k == ndigits), ord("-"), ord(" ")).astype(np.uint8)
        out[:, col] = np.where(k < ndigits, digit, fill)
        k += 1
    return out


def text_table(strings: list[str], width: int) -> np.ndarray:
    """Right-aligned fixed-width byte rows of ``strings`` (lookup table)."""
    return np.frombuffer("".join(s.rjust(width) for s in strings).encode(), dtype=np.uint8).reshape(-1, width)


class RowFormatter:
    """Turns columns of integers into variable-length text rows ending in a panel name."""

    def __init__(self, panel_names: list[str], prefix_width: int):
        self.prefix_width = prefix_width
        name_bytes = [n.encode() + b"\n" for n in panel_names]
        self.tail_width = max(len(b) for b in name_bytes)
        self.tail_table = np.zeros((len(name_bytes), self.tail_width), dtype=np.uint8)
        for i, b in enumerate(name_bytes):
            self.tail_table[i, : len(b)] = np.frombuffer(b, dtype=np.uint8)
        self.tail_len = np.array([len(b) for b in name_bytes], dtype=np.int64)

    def new_matrix(self, n: int) -> np.ndarray:
        mat = np.empty((n, self.prefix_width + self.tail_width), dtype=np.uint8)
        mat[:, : self.prefix_width] = ord(" ")
        return mat

    def finish(self, mat: np.ndarray, panel: np.ndarray) -> tuple[bytes, np.ndarray]:
        """Append panel names; return the rows' bytes and each row's length."""
        mat[:, self.prefix_width :] = self.tail_table[panel]
        lengths = self.prefix_width + self.tail_len[panel]
        mask = np.arange(mat.shape[1])[None, :] < lengths[:, None]
        return mat[mask].tobytes(), lengths


# ---------------------------------------------------------------------------
# Stream content


def choose_panels(rng: np.random.Generator) -> list[str]:
    n = int(rng.integers(16, 65))
    if rng.integers(2) == 0:
        return [f"p{i}" for i in range(n)]
    per_module = 2 if n % 4 else 4
    return [f"q{i // per_module}a{i % per_module}" for i in range(n)]


def make_header(panel_names: list[str], seed: int) -> str:
    lines = [
        "Generated stream, synthetic data for benchmarks",
        f"Generator seed: {seed}",
        "Command line: indexing run with default settings",
        "----- Begin geometry file -----",
        "; synthetic detector: panels stacked along the slow-scan axis",
        "clen = 0.2",
        "photon_energy = 9500",
        "res = 5000",
        "adu_per_eV = 0.0001",
        "max_adu = 65535",
        "data = /data/data",
        "dim0 = %",
        "dim1 = ss",
        "dim2 = fs",
        "",
    ]
    for i, name in enumerate(panel_names):
        lines += [
            f"{name}/min_fs = 0",
            f"{name}/max_fs = {PANEL_FS - 1}",
            f"{name}/min_ss = {i * PANEL_SS}",
            f"{name}/max_ss = {(i + 1) * PANEL_SS - 1}",
            f"{name}/corner_x = {-PANEL_FS / 2 + 300 * (i % 2):.1f}",
            f"{name}/corner_y = {(i // 2) * (PANEL_SS + 4) - 2000:.1f}",
            f"{name}/fs = +1.000000x +0.000000y",
            f"{name}/ss = +0.000000x +1.000000y",
        ]
    lines += [
        "----- End geometry file -----",
        "----- Begin unit cell -----",
        "; Unit cell used for indexing",
        f"lattice_type = {LATTICE[0]}",
        f"centering = {LATTICE[1]}",
        f"unique_axis = {LATTICE[2]}",
        f"a = {CELL_NM[0] * 10:.2f} A",
        f"b = {CELL_NM[1] * 10:.2f} A",
        f"c = {CELL_NM[2] * 10:.2f} A",
        "al = 90.00 deg",
        "be = 90.00 deg",
        "ga = 90.00 deg",
        "----- End unit cell -----",
    ]
    return "\n".join(lines) + "\n"


def random_rotation(rng: np.random.Generator) -> np.ndarray:
    q = rng.normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def f32(x: float) -> np.float32:
    return np.float32(x)


class Batch:
    """Everything drawn for CHUNKS_PER_BATCH consecutive chunks."""

    def __init__(self, rng: np.random.Generator, first_image: int, n_panels: int):
        n = CHUNKS_PER_BATCH
        self.first_image = first_image
        self.n_cryst = rng.choice(4, size=n, p=CRYSTAL_WEIGHTS)
        self.n_peaks = rng.integers(PEAKS_MIN, PEAKS_MAX + 1, size=n)
        total_cryst = int(self.n_cryst.sum())
        self.n_rows = rng.integers(ROWS_MIN, ROWS_MAX + 1, size=total_cryst)
        # Multiples of 1/64 eV: float32 holds them exactly, so the text survives a round trip.
        self.energy = 9500.0 + np.round(rng.normal(0.0, 2.0, size=n) * 64) / 64
        self.clen = 0.2 + rng.normal(0.0, 2e-4, size=n)
        self.shift = np.round(rng.normal(0.0, 0.03, size=(n, 2)), 3)
        self.cell = np.array(CELL_NM) * (1 + rng.normal(0.0, 0.002, size=(total_cryst, 3)))
        self.angles = 90.0 + rng.normal(0.0, 0.05, size=(total_cryst, 3))
        self.rot = [random_rotation(rng) for _ in range(total_cryst)]
        self.profile = rng.uniform(0.001, 0.01, size=total_cryst)
        self.res_limit = rng.uniform(3.0, 7.0, size=total_cryst)
        rows = int(self.n_rows.sum())
        self.hkl = np.stack([
            rng.integers(-40, 41, size=rows), rng.integers(-40, 41, size=rows),
            rng.integers(-20, 21, size=rows)], axis=1)
        # Intensities in hundredths; magnitudes stay below 2**16 so float32 keeps two decimals.
        self.I = np.round((np.exp(rng.normal(5.0, 1.6, size=rows)) - 40.0) * 100).astype(np.int64)
        self.I = np.clip(self.I, -6_000_000, 6_000_000)
        self.sigma = np.round(np.sqrt(np.abs(self.I) / 100.0 + 25.0) * 100
                              * rng.uniform(0.8, 1.5, size=rows)).astype(np.int64)
        self.peak = np.round(rng.gamma(2.0, 150.0, size=rows) * 100).astype(np.int64)
        self.background = np.round(rng.normal(12.0, 6.0, size=rows) * 100).astype(np.int64)
        self.panel = rng.integers(0, n_panels, size=rows)
        self.fs = rng.integers(0, PANEL_FS * 10, size=rows)  # tenths of a pixel
        self.ss = self.panel * (PANEL_SS * 10) + rng.integers(0, PANEL_SS * 10, size=rows)
        peaks = int(self.n_peaks.sum())
        self.peak_panel = rng.integers(0, n_panels, size=peaks)
        self.peak_fs = rng.integers(0, PANEL_FS * 100, size=peaks)  # hundredths
        self.peak_ss = self.peak_panel * (PANEL_SS * 100) + rng.integers(0, PANEL_SS * 100, size=peaks)
        self.peak_d = rng.integers(5, 700, size=peaks)
        self.peak_I = np.round(rng.gamma(1.5, 800.0, size=peaks) * 100).astype(np.int64)


class StreamWriter:
    def __init__(self, out, panel_names: list[str], columns: "ColumnSink | None"):
        self.out = out
        self.panels = panel_names
        self.columns = columns
        # "%4d %4d %4d %10.2f %10.2f %10.2f %10.2f%7.1f %6.1f " then the panel name
        self.rows = RowFormatter(panel_names, 73)
        # "%7.2f %7.2f %10.2f %10.2f   " then the panel name
        self.peak_rows = RowFormatter(panel_names, 40)
        self.hkl_table = text_table([str(v) for v in range(-999, 1000)], 4)
        self.fs_table = fixed_field(np.arange(PANEL_FS * 10), 7, 1)
        self.ss_table = fixed_field(np.arange(len(panel_names) * PANEL_SS * 10), 6, 1)
        self.n_images = 0
        self.n_crystals = 0
        self.n_rows = 0

    def _reflection_rows(self, b: Batch) -> tuple[bytes, np.ndarray]:
        m = self.rows.new_matrix(len(b.I))
        for j, start in enumerate((0, 5, 10)):
            m[:, start : start + 4] = self.hkl_table[b.hkl[:, j] + 999]
        for start, vals in ((15, b.I), (26, b.sigma), (37, b.peak), (48, b.background)):
            m[:, start : start + 10] = fixed_field(vals, 10, 2)
        m[:, 58:65] = self.fs_table[b.fs]
        m[:, 66:72] = self.ss_table[b.ss]
        return self.rows.finish(m, b.panel)

    def _peak_rows(self, b: Batch) -> tuple[bytes, np.ndarray]:
        m = self.peak_rows.new_matrix(len(b.peak_I))
        m[:, 0:7] = fixed_field(b.peak_fs, 7, 2)
        m[:, 8:15] = fixed_field(b.peak_ss, 7, 2)
        m[:, 16:26] = fixed_field(b.peak_d, 10, 2)
        m[:, 27:37] = fixed_field(b.peak_I, 10, 2)
        return self.peak_rows.finish(m, b.peak_panel)

    def write_batch(self, b: Batch, budget: int) -> int:
        """Write chunks of the batch while fewer than ``budget`` bytes are written.

        Returns the bytes written; stops early (and the file ends) once the
        budget is used up.
        """
        rows, row_len = self._reflection_rows(b)
        row_end = np.concatenate([[0], np.cumsum(row_len)])
        peaks, peak_len = self._peak_rows(b)
        peak_end = np.concatenate([[0], np.cumsum(peak_len)])
        rows_view, peaks_view = memoryview(rows), memoryview(peaks)
        cryst = 0  # crystal index within the batch
        row = 0  # reflection row index within the batch
        peak = 0
        written = 0
        cols = self.columns
        for c in range(CHUNKS_PER_BATCH):
            if written >= budget:
                break
            image = b.first_image + c
            n_cryst = int(b.n_cryst[c])
            n_peaks = int(b.n_peaks[c])
            energy = f"{b.energy[c]:.6f}"
            clen = f"{b.clen[c]:.6f}"
            shift = (f"{b.shift[c, 0]:.3f}", f"{b.shift[c, 1]:.3f}")
            parts = [
                "----- Begin chunk -----\n"
                f"Image filename: data/r0042/run0042_{image // 50:05d}.h5\n"
                f"Event: //{image % 50}\n"
                f"Image serial number: {image}\n"
                "hit = 1\n"
                f"indexed_by = {'xgandalf' if n_cryst else 'none'}\n"
                "n_indexing_tries = 1\n"
                f"photon_energy_eV = {energy}\n"
                "beam_divergence = 0.00e+00 rad\n"
                "beam_bandwidth = 1.00e-08 (fraction)\n"
                f"average_camera_length = {clen} m\n"
                f"num_peaks = {n_peaks}\n"
                "Peaks from peak search\n"
                f"{PEAK_HEADING}\n".encode(),
                peaks_view[peak_end[peak] : peak_end[peak + n_peaks]],
                b"End of peak list\n",
            ]
            peak += n_peaks
            if cols is not None:
                cols.image(float(energy), float(clen), n_peaks,
                           f"data/r0042/run0042_{image // 50:05d}.h5", f"//{image % 50}")
            for k in range(n_cryst):
                n_rows = int(b.n_rows[cryst])
                lengths = [f"{v:.5f}" for v in b.cell[cryst]]
                angles = [f"{v:.5f}" for v in b.angles[cryst]]
                basis = b.rot[cryst] @ np.diag([1 / float(lengths[0]), 1 / float(lengths[1]),
                                                1 / float(lengths[2])])
                vectors = [[f"{basis[i, j]:+.7f}" for i in range(3)] for j in range(3)]
                profile = f"{b.profile[cryst]:.5f}"
                q = f"{b.res_limit[cryst]:.2f}"
                parts.append(
                    "--- Begin crystal\n"
                    f"Cell parameters {' '.join(lengths)} nm, {' '.join(angles)} deg\n"
                    f"astar = {' '.join(vectors[0])} nm^-1\n"
                    f"bstar = {' '.join(vectors[1])} nm^-1\n"
                    f"cstar = {' '.join(vectors[2])} nm^-1\n"
                    f"lattice_type = {LATTICE[0]}\n"
                    f"centering = {LATTICE[1]}\n"
                    f"unique_axis = {LATTICE[2]}\n"
                    f"profile_radius = {profile} nm^-1\n"
                    "predict_refine/initial_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
                    "predict_refine/final_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
                    "predict_refine/total_shifts = 0.000000e+00 0.000000e+00 0.000000e+00\n"
                    f"predict_refine/det_shift x = {shift[0]} y = {shift[1]} mm\n"
                    f"diffraction_resolution_limit = {q} nm^-1 or {float(f32(10 / float(q))):.2f} A\n"
                    f"num_reflections = {n_rows}\n"
                    "num_saturated_reflections = 0\n"
                    "num_implausible_reflections = 0\n"
                    "Reflections measured after indexing\n"
                    f"{ROW_HEADING}\n".encode())
                parts.append(rows_view[row_end[row] : row_end[row + n_rows]])
                parts.append(b"End of reflections\n--- End crystal\n")
                if cols is not None:
                    cols.crystal(b, row, n_rows, lengths, angles, vectors, profile, q, k)
                cryst += 1
                row += n_rows
            parts.append(b"----- End chunk -----\n")
            if cols is not None:
                cols.image_shift(shift if n_cryst else None)
            chunk = b"".join(parts)
            self.out.write(chunk)
            written += len(chunk)
            self.n_images += 1
            self.n_crystals += n_cryst
        self.n_rows += row
        return written


class ColumnSink:
    """Collects the columns a correct parse of the generated text yields.

    Values are computed from the text as written: the number is read back as
    a double, converted to column units in double precision and rounded to
    float32, as the parser does.
    """

    def __init__(self, directory: Path):
        self.dir = directory
        directory.mkdir(parents=True, exist_ok=True)
        self.files = {name: open(directory / f"{name}.bin", "wb") for name in COLUMN_SPECS}
        self.counts = dict.fromkeys(COLUMN_SPECS, 0)
        self.names = open(directory / "filenames.txt", "w", encoding="utf-8", newline="\n")
        self.events = open(directory / "events.txt", "w", encoding="utf-8", newline="\n")
        self.n_crystals = 0
        self.n_images = 0
        self.shift = None

    def _put(self, name: str, values) -> None:
        dtype, width = COLUMN_SPECS[name]
        arr = np.ascontiguousarray(values, dtype=dtype).reshape(-1)
        self.files[name].write(arr.tobytes())
        self.counts[name] += arr.size // width

    def image(self, energy: float, clen: float, n_peaks: int, filename: str, event: str) -> None:
        self._put("beam_energy", [energy])
        self._put("camera_length", [clen])
        self._put("n_peaks", [n_peaks])
        self.names.write(filename + "\n")
        self.events.write(event + "\n")
        self.n_images += 1

    def image_shift(self, shift) -> None:
        # A kept crystal's shift goes to its image; images without crystals keep 0.
        x, y = (float(shift[0]), float(shift[1])) if shift else (0.0, 0.0)
        self._put("det_shift_x", [x])
        self._put("det_shift_y", [y])

    def crystal(self, b: Batch, row: int, n_rows: int, lengths, angles, vectors, profile, q, k) -> None:
        sl = slice(row, row + n_rows)
        self._put("hkl", b.hkl[sl])
        for name in ("I", "sigma", "peak", "background"):
            self._put(name, getattr(b, name)[sl] / 100.0)
        self._put("fs", b.fs[sl] / 10.0)
        self._put("ss", b.ss[sl] / 10.0)
        self._put("panel_id", b.panel[sl])
        self._put("crystal_id", np.full(n_rows, self.n_crystals))
        self._put("cell", [float(v) * 10 for v in lengths] + [float(v) for v in angles])
        for name, vec in zip(("astar", "bstar", "cstar"), vectors):
            self._put(name, [float(v) / 10 for v in vec])
        self._put("profile_rad", [float(profile) / 10])
        r = float(q)
        self._put("resolution", [10 / r if r > 0 else 999.0])
        self._put("n_refl", [n_rows])
        self._put("image_id", [self.n_images - 1])
        self._put("crystal_in_image", [k])
        self.n_crystals += 1

    def close(self) -> None:
        for f in self.files.values():
            f.close()
        self.names.close()
        self.events.close()
        meta = {name: [COLUMN_SPECS[name][0], self.counts[name], COLUMN_SPECS[name][1]]
                for name in COLUMN_SPECS}
        (self.dir / "meta.json").write_text(json.dumps(meta, indent=1) + "\n")


def load_columns(directory) -> tuple[dict, list[str], list[str]]:
    """Columns stored by ``--columns``: (arrays dict, filenames, events)."""
    directory = Path(directory)
    meta = json.loads((directory / "meta.json").read_text())
    arrays = {}
    for name, (dtype, rows, width) in meta.items():
        arr = np.fromfile(directory / f"{name}.bin", dtype=dtype)
        arrays[name] = arr.reshape(rows, width) if width > 1 else arr
    filenames = (directory / "filenames.txt").read_text(encoding="utf-8").splitlines()
    events = (directory / "events.txt").read_text(encoding="utf-8").splitlines()
    return arrays, filenames, events


def generate(out_path, size: int, seed: int = 1, columns_dir=None) -> dict:
    """Write the stream, its ``.panels`` sidecar and optionally the columns; return a summary."""
    out_path = Path(out_path)
    rng = np.random.default_rng(seed)
    panels = choose_panels(rng)
    header = make_header(panels, seed)
    Path(str(out_path) + ".panels").write_text("".join(p + "\n" for p in panels))
    sink = ColumnSink(Path(columns_dir)) if columns_dir is not None else None
    with open(out_path, "wb") as out:
        out.write(header.encode())
        written = len(header)
        writer = StreamWriter(out, panels, sink)
        first = 0
        while written < size:
            batch = Batch(rng, first, len(panels))
            written += writer.write_batch(batch, size - written)
            first += CHUNKS_PER_BATCH
    if sink is not None:
        sink.close()
    return {"path": str(out_path), "bytes": written, "images": writer.n_images,
            "crystals": writer.n_crystals, "panels": panels}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", help="stream file to write")
    ap.add_argument("--size", default="10M", help="approximate size: 10M, 1G, 500K or bytes")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--columns", metavar="DIR", help="also store the expected columns in DIR")
    args = ap.parse_args(argv)
    t0 = time.perf_counter()
    info = generate(args.out, parse_size(args.size), args.seed, args.columns)
    dt = time.perf_counter() - t0
    print(f"{info['path']}: {info['bytes']} bytes, {info['images']} images, "
          f"{info['crystals']} crystals, {len(info['panels'])} panels "
          f"({info['bytes'] / 1e6 / dt:.1f} MB/s, {dt:.1f} s)")
    print(f"panel names in {info['path']}.panels: {' '.join(info['panels'])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
