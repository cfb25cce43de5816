// What the writer is given: the columns it reads, as flat read-only views, and the
// text pieces it copies into the stream.
//
// The views point into memory owned by the caller (NumPy arrays in the module), which
// stays alive for the whole write. Other threads may change the values meanwhile, so
// the columns that index or size (panel_id, n_refl, image_id) must be private copies;
// the formatter reads every other value once and writes whatever it finds. Lengths are element
// counts of the flattened arrays; build_layout() checks them against each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "stream/column_table.hpp"

namespace qn {

/// The writer's input columns, as the column table lists them (without crystal_id
/// and crystal_in_image, which the stream's layout states). Observation rows are
/// sorted by crystal; n_obs is the length of `I`, n_cryst that of `n_refl`, n_img
/// that of `beam_energy`. Units are those of Columns: ångström, ångström⁻¹, degrees,
/// electronvolts, millimetres (detector shifts) and metres (camera length, which may
/// be shorter than n_img: 0 is written). panel_id is a position in panel_names,
/// negative counting from the end; image_id names an image row, others are not written.
struct WriteColumns {
#define QN_WRITE_MEMBER(name, type, width, written_at) \
  QN_IF_WRITTEN(written_at, std::span<const type> name;)
  QN_COLUMNS(QN_WRITE_MEMBER)
#undef QN_WRITE_MEMBER
};

/// Calls f(name, member, values_per_row, level) for the column at `position` of the
/// writer's fetch order (< kWrittenColumnCount), `member` pointing into WriteColumns;
/// returns what f returns.
template <class F>
bool visit_write_column(std::size_t position, F&& f) {
  switch (position) {
#define QN_WRITE_CASE(name, width, written_at, level) \
  QN_IF_WRITTEN(written_at, case written_at           \
                : return f(#name, &WriteColumns::name, std::size_t{width}, level);)
#define QN_WRITE_OBSERVATION(name, type, width, written_at) \
  QN_WRITE_CASE(name, width, written_at, Level::kObservation)
#define QN_WRITE_CRYSTAL(name, type, width, written_at) \
  QN_WRITE_CASE(name, width, written_at, Level::kCrystal)
#define QN_WRITE_IMAGE(name, type, width, written_at) \
  QN_WRITE_CASE(name, width, written_at, Level::kImage)
    QN_OBSERVATION_COLUMNS(QN_WRITE_OBSERVATION)
    QN_CRYSTAL_COLUMNS(QN_WRITE_CRYSTAL)
    QN_IMAGE_COLUMNS(QN_WRITE_IMAGE)
#undef QN_WRITE_CASE
#undef QN_WRITE_OBSERVATION
#undef QN_WRITE_CRYSTAL
#undef QN_WRITE_IMAGE
    default: return false;
  }
}

/// visit_write_column() for every column in the writer's fetch order, which is also
/// the order of its checks; stops at the first false.
template <class F>
bool for_each_write_column(F&& f) {
  for (std::size_t position = 0; position < kWrittenColumnCount; ++position) {
    if (!visit_write_column(position, f)) return false;
  }
  return true;
}

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
