"""Plain Python baselines: the reflection reader and the stream writer a
scientist would write without a native module.

``parse_reflections`` reads the reflection rows of a stream line by line;
``write_stream`` writes a stream from the column dict with f-strings and the
same arguments as ``quillon_native.write_stream`` (plus ``max_images`` to
write only the first images).  Both are kept simple on purpose: they are what
the native functions are measured against.
"""

from __future__ import annotations

import numpy as np

ROW_HEADING = "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel"


def parse_reflections(path, panel_names, max_bytes=None):
    """Read every reflection row of ``path``.

    Returns ``(columns, n_bytes)``: a dict of NumPy arrays ``hkl`` (n, 3),
    ``I``, ``sigma``, ``peak``, ``background``, ``fs``, ``ss``, ``panel_id``
    (position in ``panel_names``, 0 when unknown) and ``crystal_id``, and the
    number of bytes read.  With ``max_bytes`` reading stops at the first chunk
    that begins after that many bytes.
    """
    panel_index = {name: i for i, name in enumerate(panel_names)}
    h, k, l = [], [], []
    intensity, sigma, peak, background, fs, ss = [], [], [], [], [], []
    panel, crystal = [], []
    n_crystals = 0
    n_bytes = 0
    in_list = False
    heading_next = False
    with open(path, encoding="utf-8", errors="replace", newline="\n") as f:
        for line in f:
            if max_bytes is not None and n_bytes >= max_bytes and line.startswith("----- Begin chunk"):
                break
            n_bytes += len(line)
            if heading_next:
                heading_next = False
                continue
            if line.startswith("Reflections measured after indexing"):
                in_list = True
                heading_next = True
                continue
            if not in_list:
                continue
            if line.startswith("End of reflections"):
                in_list = False
                n_crystals += 1
                continue
            fields = line.split()
            if len(fields) < 10:
                continue
            h.append(int(fields[0]))
            k.append(int(fields[1]))
            l.append(int(fields[2]))
            intensity.append(float(fields[3]))
            sigma.append(float(fields[4]))
            peak.append(float(fields[5]))
            background.append(float(fields[6]))
            fs.append(float(fields[7]))
            ss.append(float(fields[8]))
            panel.append(panel_index.get(fields[9], 0))
            crystal.append(n_crystals)
    columns = {
        "hkl": np.array([h, k, l], dtype=np.int16).T.reshape(-1, 3),
        "I": np.array(intensity, dtype=np.float32),
        "sigma": np.array(sigma, dtype=np.float32),
        "peak": np.array(peak, dtype=np.float32),
        "background": np.array(background, dtype=np.float32),
        "fs": np.array(fs, dtype=np.float32),
        "ss": np.array(ss, dtype=np.float32),
        "panel_id": np.array(panel, dtype=np.int16),
        "crystal_id": np.array(crystal, dtype=np.int32),
    }
    return columns, n_bytes


def write_stream(path, arrays, filenames, events, panel_names, lattice_type, centering,
                 unique_axis, header, max_images=None):
    """Write ``header`` then one chunk per image, in the layout of the native writer."""
    hkl = np.asarray(arrays["hkl"]).reshape(-1, 3).tolist()
    intensity = arrays["I"].tolist()
    sigma = arrays["sigma"].tolist()
    peak = arrays["peak"].tolist()
    background = arrays["background"].tolist()
    fs = arrays["fs"].tolist()
    ss = arrays["ss"].tolist()
    panel_id = arrays["panel_id"].tolist()
    # Unit conversions are made in single precision, as the columns are stored.
    cell = np.asarray(arrays["cell"], dtype=np.float32).reshape(-1, 6)
    lengths_nm = (cell[:, :3] / np.float32(10)).tolist()
    angles = cell[:, 3:].tolist()
    astar = (np.asarray(arrays["astar"]).reshape(-1, 3) * np.float32(10)).tolist()
    bstar = (np.asarray(arrays["bstar"]).reshape(-1, 3) * np.float32(10)).tolist()
    cstar = (np.asarray(arrays["cstar"]).reshape(-1, 3) * np.float32(10)).tolist()
    profile = (arrays["profile_rad"] * np.float32(10)).tolist()
    resolution = arrays["resolution"].tolist()
    n_refl = arrays["n_refl"].tolist()
    image_id = arrays["image_id"].tolist()
    energy = arrays["beam_energy"].tolist()
    n_peaks = arrays["n_peaks"].tolist()
    shift_x = arrays["det_shift_x"].tolist()
    shift_y = arrays["det_shift_y"].tolist()
    camera = arrays["camera_length"].tolist()

    n_images = len(energy)
    if max_images is not None:
        n_images = min(n_images, max_images)
    first_row = [0]
    for n in n_refl:
        first_row.append(first_row[-1] + n)
    crystals_of = [[] for _ in range(n_images)]
    for c, m in enumerate(image_id):
        if 0 <= m < n_images:
            crystals_of[m].append(c)
    cell_lines = []
    for key, value in (("lattice_type", lattice_type), ("centering", centering),
                       ("unique_axis", unique_axis)):
        if value is not None:
            cell_lines.append(f"{key} = {value}\n")
    cell_text = "".join(cell_lines)

    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(header)
        for i in range(n_images):
            name = filenames[i] if i < len(filenames) else f"image_{i}"
            event = events[i] if i < len(events) else f"//{i}"
            clen = camera[i] if i < len(camera) else 0.0
            f.write("----- Begin chunk -----\n")
            f.write(f"Image filename: {name}\n")
            f.write(f"Event: {event}\n")
            f.write(f"Image serial number: {i}\n")
            f.write("hit = 1\n")
            f.write(f"indexed_by = {'xgandalf' if crystals_of[i] else 'none'}\n")
            f.write("n_indexing_tries = 1\n")
            f.write(f"photon_energy_eV = {energy[i]:.6f}\n")
            f.write("beam_divergence = 0.00e+00 rad\n")
            f.write("beam_bandwidth = 1.00e-08 (fraction)\n")
            f.write(f"average_camera_length = {clen:.6f} m\n")
            f.write(f"num_peaks = {n_peaks[i]}\n")
            f.write("Peaks from peak search\n")
            f.write("  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel\n")
            f.write("End of peak list\n")
            for c in crystals_of[i]:
                a, b, cc = lengths_nm[c]
                al, be, ga = angles[c]
                res = resolution[c]
                q = 10.0 / res if res > 0 else 0.0
                f.write("--- Begin crystal\n")
                f.write(f"Cell parameters {a:.5f} {b:.5f} {cc:.5f} nm, {al:.5f} {be:.5f} {ga:.5f} deg\n")
                for label, v in (("astar", astar[c]), ("bstar", bstar[c]), ("cstar", cstar[c])):
                    f.write(f"{label} = {v[0]:+.7f} {v[1]:+.7f} {v[2]:+.7f} nm^-1\n")
                f.write(cell_text)
                f.write(f"profile_radius = {profile[c]:.5f} nm^-1\n")
                f.write("predict_refine/initial_residual = 0.000000 (0.000000 0.000000 0.000000)\n")
                f.write("predict_refine/final_residual = 0.000000 (0.000000 0.000000 0.000000)\n")
                f.write("predict_refine/total_shifts = 0.000000e+00 0.000000e+00 0.000000e+00\n")
                f.write(f"predict_refine/det_shift x = {shift_x[i]:.3f} y = {shift_y[i]:.3f} mm\n")
                f.write(f"diffraction_resolution_limit = {q:.2f} nm^-1 or {res:.2f} A\n")
                f.write(f"num_reflections = {n_refl[c]}\n")
                f.write("num_saturated_reflections = 0\n")
                f.write("num_implausible_reflections = 0\n")
                f.write("Reflections measured after indexing\n")
                f.write(ROW_HEADING + "\n")
                for o in range(first_row[c], first_row[c + 1]):
                    hh, kk, ll = hkl[o]
                    f.write(f"{hh:4d} {kk:4d} {ll:4d} {intensity[o]:10.2f} {sigma[o]:10.2f} "
                            f"{peak[o]:10.2f} {background[o]:10.2f}{fs[o]:7.1f} {ss[o]:6.1f} "
                            f"{panel_names[panel_id[o]]}\n")
                f.write("End of reflections\n")
                f.write("--- End crystal\n")
            f.write("----- End chunk -----\n")
