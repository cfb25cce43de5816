"""Small builders for stream text used by the tests.

They write the text a stream writer produces (one chunk per image, crystals with
their reflection lists) from plain Python values, so each test states only what
it is about.
"""
from __future__ import annotations

import random
from dataclasses import dataclass, field

BEGIN_CHUNK = "----- Begin chunk -----"
END_CHUNK = "----- End chunk -----"


@dataclass
class Crystal:
    rows: list[str] = field(default_factory=list)
    cell: str = "Cell parameters 7.91000 7.91000 3.80000 nm, 90.00000 90.00000 90.00000 deg"
    astar: str = "astar = +0.1264220 +0.0000000 +0.0000000 nm^-1"
    bstar: str = "bstar = +0.0000000 +0.1264220 +0.0000000 nm^-1"
    cstar: str = "cstar = +0.0000000 +0.0000000 +0.2631580 nm^-1"
    keys: list[str] = field(default_factory=lambda: [
        "profile_radius = 0.00500 nm^-1",
        "predict_refine/det_shift x = 0.010 y = -0.020 mm",
        "diffraction_resolution_limit = 5.00 nm^-1 or 2.00 A",
    ])
    end_crystal: bool = True

    def text(self) -> str:
        lines = ["--- Begin crystal", self.cell, self.astar, self.bstar, self.cstar, *self.keys,
                 "Reflections measured after indexing",
                 "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel",
                 *self.rows, "End of reflections"]
        if self.end_crystal:
            lines.append("--- End crystal")
        return "\n".join(lines) + "\n"


@dataclass
class Image:
    filename: str = "img.h5"
    event: str | None = "//1"
    header: list[str] = field(default_factory=lambda: [
        "photon_energy_eV = 9500.000000",
        "average_camera_length = 0.200000 m",
        "num_peaks = 3",
    ])
    crystals: list[Crystal] = field(default_factory=list)
    peaks: bool = True

    def text(self) -> str:
        lines = [BEGIN_CHUNK, f"Image filename: {self.filename}"]
        if self.event is not None:
            lines.append(f"Event: {self.event}")
        lines += self.header
        if self.peaks:
            lines += ["Peaks from peak search", "  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel",
                      "  10.00   20.00       0.10      100.00 p0", "End of peak list"]
        body = "\n".join(lines) + "\n"
        body += "".join(c.text() for c in self.crystals)
        return body + END_CHUNK + "\n"


def row(h: int, k: int, l: int, i: float = 1234.5, sigma: float = 45.6, peak: float = 300.0,
        bg: float = 12.3, fs: float = 512.3, ss: float = 100.7, panel: str = "p0") -> str:
    return (f"{h:4d} {k:4d} {l:4d} {i:10.2f} {sigma:10.2f} {peak:10.2f} {bg:10.2f}"
            f"{fs:7.1f} {ss:6.1f} {panel}")


def stream(images: list[Image], header: str = "Generated for tests\n") -> str:
    return header + "".join(im.text() for im in images)


def random_images(n: int, seed: int, panels: list[str], max_crystals: int = 3,
                  max_rows: int = 12) -> list[Image]:
    rng = random.Random(seed)
    images = []
    for m in range(n):
        crystals = []
        for _ in range(rng.randint(0, max_crystals)):
            rows = [row(rng.randint(-40, 40), rng.randint(-40, 40), rng.randint(-40, 40),
                        rng.uniform(-100, 5000), rng.uniform(0, 100), rng.uniform(0, 1000),
                        rng.uniform(-10, 50), rng.uniform(0, 1000), rng.uniform(0, 1000),
                        rng.choice(panels))
                    for _ in range(rng.randint(0, max_rows))]
            crystals.append(Crystal(rows=rows))
        images.append(Image(filename=f"run/img_{m:04d}.h5", event=f"//{m}", crystals=crystals))
    return images
