// The column table: every numeric column of a stream's content, once. Everything
// that lists columns is generated from it: the members of Columns and of its row
// structs, their order and names, append and truncate, the writer's input and the
// order in which it is fetched and checked. Adding a column is one line here plus
// its parsing and formatting rule.
//
// Each level's macro calls X(name, type, values_per_row, written_at) per column, in
// the order of the parse result; `written_at` is the column's position in the
// writer's input (fetched and checked in that order), or `no` for a column the
// writer derives itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// clang-format off
#define QN_OBSERVATION_COLUMNS(X)        \
  X(hkl,              std::int16_t, 3, 0) \
  X(I,                float,        1, 1) \
  X(sigma,            float,        1, 2) \
  X(peak,             float,        1, 3) \
  X(background,       float,        1, 4) \
  X(fs,               float,        1, 5) \
  X(ss,               float,        1, 6) \
  X(panel_id,         std::int16_t, 1, 7) \
  X(crystal_id,       std::int32_t, 1, no)

#define QN_CRYSTAL_COLUMNS(X)             \
  X(cell,             float,        6, 8)  \
  X(astar,            float,        3, 9)  \
  X(bstar,            float,        3, 10) \
  X(cstar,            float,        3, 11) \
  X(profile_rad,      float,        1, 12) \
  X(resolution,       float,        1, 13) \
  X(n_refl,           std::int32_t, 1, 14) \
  X(image_id,         std::int32_t, 1, 15) \
  X(crystal_in_image, std::int32_t, 1, no)

#define QN_IMAGE_COLUMNS(X)               \
  X(beam_energy,      float,        1, 16) \
  X(det_shift_x,      float,        1, 18) \
  X(det_shift_y,      float,        1, 19) \
  X(camera_length,    float,        1, 20) \
  X(n_peaks,          std::int32_t, 1, 17)
// clang-format on

/// Every column, observation level first.
#define QN_COLUMNS(X) QN_OBSERVATION_COLUMNS(X) QN_CRYSTAL_COLUMNS(X) QN_IMAGE_COLUMNS(X)

/// Expands `...` only for a column the writer reads (written_at is a number).
#define QN_IF_WRITTEN(written_at, ...) QN_IF_WRITTEN_I(QN_IS_NO_##written_at, __VA_ARGS__)
#define QN_IS_NO_no ~, 1
#define QN_IF_WRITTEN_I(probe, ...) QN_IF_WRITTEN_II(probe, 0, __VA_ARGS__)
#define QN_IF_WRITTEN_II(probe, ...) QN_IF_WRITTEN_III(probe, __VA_ARGS__)
#define QN_IF_WRITTEN_III(a, b, ...) QN_WRITTEN_WHEN_##b(__VA_ARGS__)
#define QN_WRITTEN_WHEN_0(...) __VA_ARGS__
#define QN_WRITTEN_WHEN_1(...)

namespace qn {

/// The three row levels of the column set.
enum class Level : std::uint8_t { kObservation, kCrystal, kImage };

/// The values of one row of a column: a scalar, or an array of `Width`.
template <class T, std::size_t Width>
using RowValue = std::conditional_t<Width == 1, T, T[Width]>;

/// The number of numeric columns, and of those the writer reads.
#define QN_COUNT_ONE(name, type, width, written_at) +1
#define QN_COUNT_WRITTEN(name, type, width, written_at) QN_IF_WRITTEN(written_at, +1)
inline constexpr std::size_t kNumericColumnCount = 0 QN_COLUMNS(QN_COUNT_ONE);
inline constexpr std::size_t kWrittenColumnCount = 0 QN_COLUMNS(QN_COUNT_WRITTEN);
#undef QN_COUNT_ONE
#undef QN_COUNT_WRITTEN

}  // namespace qn
