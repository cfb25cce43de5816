// What the writer is given: the 21 columns it reads, as flat read-only views, and the
// text pieces it copies into the stream.
//
// The views point into memory owned by the caller (NumPy arrays in the module), which
// stays alive for the whole write. Other threads may change the values meanwhile, so
// the columns that index or size (panel_id, n_refl, image_id) must be private copies;
// the formatter reads every other value once and writes whatever it finds. Lengths are element counts of the
// flattened arrays; build_layout() checks them against each other.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qn {

/// The writer's input columns. Observation rows are sorted by crystal; n_obs is the
/// length of `I`, n_cryst that of `n_refl`, n_img that of `beam_energy`.
struct WriteColumns {
  // Observation level.
  std::span<const std::int16_t> hkl;  ///< 3 per observation: h, k, l
  std::span<const float> I;           // NOLINT(readability-identifier-naming): the column's name
  std::span<const float> sigma;
  std::span<const float> peak;
  std::span<const float> background;
  std::span<const float> fs;
  std::span<const float> ss;
  std::span<const std::int16_t> panel_id;  ///< position in panel_names; negative counts from the end
  // Crystal level.
  std::span<const float> cell;         ///< 6 per crystal: a, b, c in ångström, then angles in degrees
  std::span<const float> astar;        ///< 3 per crystal, ångström⁻¹
  std::span<const float> bstar;        ///< 3 per crystal, ångström⁻¹
  std::span<const float> cstar;        ///< 3 per crystal, ångström⁻¹
  std::span<const float> profile_rad;  ///< ångström⁻¹
  std::span<const float> resolution;   ///< ångström
  std::span<const std::int32_t> n_refl;    ///< observations owned by each crystal, in row order
  std::span<const std::int32_t> image_id;  ///< image row of each crystal; others are not written
  // Image level.
  std::span<const float> beam_energy;  ///< electronvolts
  std::span<const std::int32_t> n_peaks;
  std::span<const float> det_shift_x;    ///< millimetres
  std::span<const float> det_shift_y;    ///< millimetres
  std::span<const float> camera_length;  ///< metres; may be shorter than n_img (0 is written)
};

/// The text the writer copies into the stream.
struct WriteText {
  std::vector<std::string> filenames;  ///< per image; images past the end get "image_{i}"
  std::vector<std::string> events;     ///< per image; images past the end get "//{i}"
  std::vector<std::string> panel_names;
  std::optional<std::string> lattice_type;  ///< absent: no line is written
  std::optional<std::string> centering;
  std::optional<std::string> unique_axis;
  std::string header;  ///< written first, verbatim; empty or ending in a line feed
};

}  // namespace qn
