#include "parse/columns.hpp"

#include <cstdint>

namespace qn {

const std::array<std::string_view, kNumericColumnCount> kNumericColumnNames = {
    "hkl",          "I",          "sigma",       "peak",          "background", "fs",
    "ss",           "panel_id",   "crystal_id",  "cell",          "astar",      "bstar",
    "cstar",        "profile_rad", "resolution", "n_refl",        "image_id",   "crystal_in_image",
    "beam_energy",  "det_shift_x", "det_shift_y", "camera_length", "n_peaks"};

Columns Columns::with_capacity(std::size_t observations, std::size_t crystals,
                               std::size_t images) {
  Columns c;
  c.for_each_numeric([&](std::string_view, auto& buffer, std::size_t width, Level level) {
    const std::size_t rows = level == Level::kObservation ? observations
                             : level == Level::kCrystal   ? crystals
                                                          : images;
    // An impossible product becomes an impossible request (std::bad_alloc), not a wrapped one.
    buffer.reserve(rows > SIZE_MAX / width ? SIZE_MAX : rows * width);
  });
  c.filenames.reserve(images);
  c.events.reserve(images);
  return c;
}

void Columns::append_crystal(const CrystalRow& row) {
  cell.append(row.cell, 6);
  astar.append(row.astar, 3);
  bstar.append(row.bstar, 3);
  cstar.append(row.cstar, 3);
  profile_rad.push_back(row.profile_rad);
  resolution.push_back(row.resolution);
  n_refl.push_back(row.n_refl);
  image_id.push_back(row.image_id);
  crystal_in_image.push_back(row.crystal_in_image);
}

void Columns::append_image(const ImageRow& row, std::string&& filename, std::string&& event) {
  // The strings go first: if either list cannot grow, no numeric column has
  // been touched and the level stays consistent.
  filenames.push_back(std::move(filename));
  events.push_back(std::move(event));
  beam_energy.push_back(row.beam_energy);
  det_shift_x.push_back(row.det_shift_x);
  det_shift_y.push_back(row.det_shift_y);
  camera_length.push_back(row.camera_length);
  n_peaks.push_back(row.n_peaks);
}

void Columns::truncate_observations(std::size_t n_rows) noexcept {
  hkl.truncate(3 * n_rows);
  I.truncate(n_rows);
  sigma.truncate(n_rows);
  peak.truncate(n_rows);
  background.truncate(n_rows);
  fs.truncate(n_rows);
  ss.truncate(n_rows);
  panel_id.truncate(n_rows);
  crystal_id.truncate(n_rows);
}

}  // namespace qn
