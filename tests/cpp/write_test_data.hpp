// Owned column data for the writer's tests, and the reference chunk of one image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "write/write_input.hpp"

namespace qn::testing {

/// The 21 writer columns as owned vectors; view() lends them as spans.
struct OwnedColumns {
#define QN_OWNED_MEMBER(name, type, width, written_at) \
  QN_IF_WRITTEN(written_at, std::vector<type> name;)
  QN_COLUMNS(QN_OWNED_MEMBER)
#undef QN_OWNED_MEMBER

  [[nodiscard]] WriteColumns view() const {
    WriteColumns out;
#define QN_LEND_MEMBER(name, type, width, written_at) QN_IF_WRITTEN(written_at, out.name = name;)
    QN_COLUMNS(QN_LEND_MEMBER)
#undef QN_LEND_MEMBER
    return out;
  }

  void add_image(float energy, std::int32_t peaks, float shift_x, float shift_y, float camera) {
    beam_energy.push_back(energy);
    n_peaks.push_back(peaks);
    det_shift_x.push_back(shift_x);
    det_shift_y.push_back(shift_y);
    camera_length.push_back(camera);
  }

  /// A crystal of image `image` that owns the next `refl` observation rows.
  void add_crystal(std::int32_t image, std::int32_t refl, std::array<float, 6> c,
                   std::array<float, 9> abc, float rad, float res) {
    cell.insert(cell.end(), c.begin(), c.end());
    astar.insert(astar.end(), abc.begin(), abc.begin() + 3);
    bstar.insert(bstar.end(), abc.begin() + 3, abc.begin() + 6);
    cstar.insert(cstar.end(), abc.begin() + 6, abc.end());
    profile_rad.push_back(rad);
    resolution.push_back(res);
    n_refl.push_back(refl);
    image_id.push_back(image);
  }

  void add_obs(std::array<std::int16_t, 3> h, float i, float s, float pk, float bg, float f,
               float sv, std::int16_t panel) {
    hkl.insert(hkl.end(), h.begin(), h.end());
    I.push_back(i);
    sigma.push_back(s);
    peak.push_back(pk);
    background.push_back(bg);
    fs.push_back(f);
    ss.push_back(sv);
    panel_id.push_back(panel);
  }
};

/// One image with one crystal and one reflection, and the text it writes.
struct Example {
  OwnedColumns columns;
  WriteText text;
};

inline Example worked_example() {
  Example e;
  e.columns.add_image(9500.0f, 1, 0.01f, -0.02f, 0.2f);
  e.columns.add_crystal(0, 1, {79.1f, 79.1f, 38.0f, 90.0f, 90.0f, 90.0f},
                        {0.0126422f, 0, 0, 0, 0.0126422f, 0, 0, 0, 0.0263158f}, 0.0005f, 2.0f);
  e.columns.add_obs({1, -2, 3}, 1234.5f, 45.6f, 300.0f, 12.3f, 512.3f, 100.7f, 0);
  e.text.filenames = {"run7/img_0001.h5"};
  e.text.events = {"//12"};
  e.text.panel_names = {"p0"};
  e.text.lattice_type = "tetragonal";
  e.text.centering = "P";
  e.text.unique_axis = "c";
  return e;
}

inline const char* const kWorkedExampleChunk =
    "----- Begin chunk -----\n"
    "Image filename: run7/img_0001.h5\n"
    "Event: //12\n"
    "Image serial number: 0\n"
    "hit = 1\n"
    "indexed_by = xgandalf\n"
    "n_indexing_tries = 1\n"
    "photon_energy_eV = 9500.000000\n"
    "beam_divergence = 0.00e+00 rad\n"
    "beam_bandwidth = 1.00e-08 (fraction)\n"
    "average_camera_length = 0.200000 m\n"
    "num_peaks = 1\n"
    "Peaks from peak search\n"
    "  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel\n"
    "End of peak list\n"
    "--- Begin crystal\n"
    "Cell parameters 7.91000 7.91000 3.80000 nm, 90.00000 90.00000 90.00000 deg\n"
    "astar = +0.1264220 +0.0000000 +0.0000000 nm^-1\n"
    "bstar = +0.0000000 +0.1264220 +0.0000000 nm^-1\n"
    "cstar = +0.0000000 +0.0000000 +0.2631580 nm^-1\n"
    "lattice_type = tetragonal\n"
    "centering = P\n"
    "unique_axis = c\n"
    "profile_radius = 0.00500 nm^-1\n"
    "predict_refine/initial_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
    "predict_refine/final_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
    "predict_refine/total_shifts = 0.000000e+00 0.000000e+00 0.000000e+00\n"
    "predict_refine/det_shift x = 0.010 y = -0.020 mm\n"
    "diffraction_resolution_limit = 5.00 nm^-1 or 2.00 A\n"
    "num_reflections = 1\n"
    "num_saturated_reflections = 0\n"
    "num_implausible_reflections = 0\n"
    "Reflections measured after indexing\n"
    "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel\n"
    "   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0\n"
    "End of reflections\n"
    "--- End crystal\n"
    "----- End chunk -----\n";

}  // namespace qn::testing
