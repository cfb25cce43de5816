#include "parse/columns.hpp"

#include <cstdint>

namespace qn {

Columns Columns::with_capacity(std::size_t observations, std::size_t crystals, std::size_t images) {
  Columns c;
  const RowCounts counts{observations, crystals, images};
  c.for_each_numeric([&](std::string_view, auto& buffer, std::size_t width, Level level) {
    const std::size_t rows = counts.at(level);
    // An impossible product becomes an impossible request (std::bad_alloc), not a wrapped one.
    buffer.reserve(rows > SIZE_MAX / width ? SIZE_MAX : rows * width);
  });
  c.filenames.reserve(images);
  c.events.reserve(images);
  c.image_lines.reserve(images);
  c.crystal_blocks.reserve(crystals > SIZE_MAX / 2 ? SIZE_MAX : 2 * crystals);
  return c;
}

Columns Columns::slice_of(Columns& whole, RowCounts start, RowCounts rows) {
  Columns c;
#define QN_SLICE(level)                                                             \
  [&](auto& part, auto& of_whole, std::size_t width) {                              \
    using B = std::remove_reference_t<decltype(part)>;                              \
    part = B::borrowing(of_whole.data() + start.level * width, rows.level * width); \
  }
  const auto observation = QN_SLICE(observations);
  const auto crystal = QN_SLICE(crystals);
  const auto image = QN_SLICE(images);
#undef QN_SLICE
#define QN_SLICE_OBSERVATION(name, type, width, written_at) observation(c.name, whole.name, width);
#define QN_SLICE_CRYSTAL(name, type, width, written_at) crystal(c.name, whole.name, width);
#define QN_SLICE_IMAGE(name, type, width, written_at) image(c.name, whole.name, width);
  QN_OBSERVATION_COLUMNS(QN_SLICE_OBSERVATION)
  QN_CRYSTAL_COLUMNS(QN_SLICE_CRYSTAL)
  QN_IMAGE_COLUMNS(QN_SLICE_IMAGE)
#undef QN_SLICE_OBSERVATION
#undef QN_SLICE_CRYSTAL
#undef QN_SLICE_IMAGE
  c.filenames.reserve(rows.images);
  c.events.reserve(rows.images);
  c.image_lines.reserve(rows.images);
  c.crystal_blocks.reserve(2 * rows.crystals);
  return c;
}

void Columns::resize_rows_uninitialized(RowCounts rows) {
  for_each_numeric([&](std::string_view, auto& buffer, std::size_t width, Level level) {
    buffer.resize_uninitialized(rows.at(level) * width);
  });
}

}  // namespace qn
