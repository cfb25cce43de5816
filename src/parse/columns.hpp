// Columns: the parsed content of a stream as typed column buffers at three
// levels (observation, crystal, image), plus the image file names and events.
//
// The member names are the column names the host package uses, and the same
// names key the arrays handed to and taken from Python. Multi-valued columns are
// flat and row-major: `hkl` holds h0, k0, l0, h1, ... and `cell` six values per
// crystal. Rows are appended a whole level at a time, so the columns of a level
// always have the same number of rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/buffer.hpp"

namespace qn {

/// The three row levels of the column set.
enum class Level : std::uint8_t { kObservation, kCrystal, kImage };

/// One reflection kept for a kept crystal, as stored (float32 / int16 / int32).
struct ObservationRow {
  std::int16_t hkl[3];
  float I, sigma, peak, background, fs, ss;
  std::int16_t panel_id;
  std::int32_t crystal_id;
};

/// One kept crystal, in ångström units and degrees.
struct CrystalRow {
  float cell[6];
  float astar[3], bstar[3], cstar[3];
  float profile_rad, resolution;
  std::int32_t n_refl, image_id, crystal_in_image;
};

/// The numeric values of one kept image.
struct ImageRow {
  float beam_energy;
  float det_shift_x, det_shift_y;
  float camera_length;
  std::int32_t n_peaks;
};

struct Columns {
  // Observation level.
  Buffer<std::int16_t> hkl;  ///< 3 per row
  Buffer<float> I;
  Buffer<float> sigma;
  Buffer<float> peak;
  Buffer<float> background;
  Buffer<float> fs;
  Buffer<float> ss;
  Buffer<std::int16_t> panel_id;
  Buffer<std::int32_t> crystal_id;
  // Crystal level.
  Buffer<float> cell;  ///< 6 per row: a, b, c (Å), alpha, beta, gamma (degrees)
  Buffer<float> astar;  ///< 3 per row
  Buffer<float> bstar;  ///< 3 per row
  Buffer<float> cstar;  ///< 3 per row
  Buffer<float> profile_rad;
  Buffer<float> resolution;
  Buffer<std::int32_t> n_refl;
  Buffer<std::int32_t> image_id;
  Buffer<std::int32_t> crystal_in_image;
  // Image level.
  Buffer<float> beam_energy;
  Buffer<float> det_shift_x;
  Buffer<float> det_shift_y;
  Buffer<float> camera_length;
  Buffer<std::int32_t> n_peaks;
  std::vector<std::string> filenames;
  std::vector<std::string> events;

  /// Empty columns whose buffers have room for the given numbers of rows.
  /// Hints are not limits: the buffers grow when more rows arrive.
  static Columns with_capacity(std::size_t observations, std::size_t crystals,
                               std::size_t images);

  [[nodiscard]] std::size_t n_observations() const noexcept { return I.size(); }
  [[nodiscard]] std::size_t n_crystals() const noexcept { return n_refl.size(); }
  [[nodiscard]] std::size_t n_images() const noexcept { return beam_energy.size(); }

  /// Inline: it runs once per reflection row.
  void append_observation(const ObservationRow& row) {
    hkl.append(row.hkl, 3);
    I.push_back(row.I);
    sigma.push_back(row.sigma);
    peak.push_back(row.peak);
    background.push_back(row.background);
    fs.push_back(row.fs);
    ss.push_back(row.ss);
    panel_id.push_back(row.panel_id);
    crystal_id.push_back(row.crystal_id);
  }
  void append_crystal(const CrystalRow& row);
  /// Appends an image row; the two strings are moved into `filenames` and `events`.
  void append_image(const ImageRow& row, std::string&& filename, std::string&& event);

  /// Cuts every observation column back to its first `n_rows` rows (n_rows <=
  /// n_observations()); used to roll back a crystal that could not be read whole.
  void truncate_observations(std::size_t n_rows) noexcept;

  /// Overwrites the detector shift of an existing image row.
  void set_det_shift(std::size_t image_row, float x, float y) noexcept {
    det_shift_x[image_row] = x;
    det_shift_y[image_row] = y;
  }

  /// Calls f(name, buffer, values_per_row, level) for each of the 23 numeric
  /// columns in their fixed order; `buffer` is a Buffer<T>& of the column's type.
  template <class F>
  void for_each_numeric(F&& f);
};

/// The number of numeric columns, and their names in order.
inline constexpr std::size_t kNumericColumnCount = 23;
extern const std::array<std::string_view, kNumericColumnCount> kNumericColumnNames;

template <class F>
void Columns::for_each_numeric(F&& f) {
  using L = Level;
  f(std::string_view("hkl"), hkl, 3, L::kObservation);
  f(std::string_view("I"), I, 1, L::kObservation);
  f(std::string_view("sigma"), sigma, 1, L::kObservation);
  f(std::string_view("peak"), peak, 1, L::kObservation);
  f(std::string_view("background"), background, 1, L::kObservation);
  f(std::string_view("fs"), fs, 1, L::kObservation);
  f(std::string_view("ss"), ss, 1, L::kObservation);
  f(std::string_view("panel_id"), panel_id, 1, L::kObservation);
  f(std::string_view("crystal_id"), crystal_id, 1, L::kObservation);
  f(std::string_view("cell"), cell, 6, L::kCrystal);
  f(std::string_view("astar"), astar, 3, L::kCrystal);
  f(std::string_view("bstar"), bstar, 3, L::kCrystal);
  f(std::string_view("cstar"), cstar, 3, L::kCrystal);
  f(std::string_view("profile_rad"), profile_rad, 1, L::kCrystal);
  f(std::string_view("resolution"), resolution, 1, L::kCrystal);
  f(std::string_view("n_refl"), n_refl, 1, L::kCrystal);
  f(std::string_view("image_id"), image_id, 1, L::kCrystal);
  f(std::string_view("crystal_in_image"), crystal_in_image, 1, L::kCrystal);
  f(std::string_view("beam_energy"), beam_energy, 1, L::kImage);
  f(std::string_view("det_shift_x"), det_shift_x, 1, L::kImage);
  f(std::string_view("det_shift_y"), det_shift_y, 1, L::kImage);
  f(std::string_view("camera_length"), camera_length, 1, L::kImage);
  f(std::string_view("n_peaks"), n_peaks, 1, L::kImage);
}

}  // namespace qn
