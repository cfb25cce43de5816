#include "parse/columns.hpp"

#include <cstdint>

namespace qn {

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

}  // namespace qn
