// format_image: the complete text of one image's chunk.
//
// This is the one place that decides what a written stream looks like: markers,
// header keys, the crystal blocks, the reflection table, every number's width and
// precision, the unit conversions and the values stated without a column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "write/layout.hpp"
#include "write/text_buffer.hpp"
#include "write/write_input.hpp"

namespace qn {

/// Formats the chunks of one write call. Built once per call; afterwards read-only,
/// so any number of threads may format images through one formatter at once.
class ChunkFormatter {
 public:
  /// The caller guarantees that `layout` came from build_layout() on `columns` and
  /// `text.panel_names`, and that `text`, `layout` and the memory the columns view
  /// outlive the formatter (the views themselves are copied).
  ChunkFormatter(const WriteColumns& columns, const WriteText& text, const Layout& layout);

  /// Appends the chunk of image `image` (< layout.n_images()) to `out`. Never fails;
  /// may throw std::bad_alloc when growing `out`.
  void format_image(TextBuffer& out, std::size_t image) const;

  /// Capacity with which an empty buffer takes the chunks of images [first, last)
  /// without growing, unless a row holds a value too wide for its field.
  [[nodiscard]] std::size_t room_for(std::size_t first, std::size_t last) const noexcept;

 private:
  // A panel name and its line feed, stored so that a row copies a fixed 16 bytes.
  struct PanelCell {
    char text[16];
    std::uint8_t size;  // name and line feed; 0 when the name is too long for the cell
  };

  void format_crystal(TextBuffer& out, std::size_t image, std::size_t c) const;
  [[nodiscard]] std::size_t crystal_head_room() const noexcept;
  // Room for n_rows rows that all take the fixed-column path.
  [[nodiscard]] std::size_t rows_room(std::size_t n_rows) const noexcept;

  const WriteColumns col_;
  const WriteText& text_;
  const Layout& layout_;
  std::vector<PanelCell> panels_;  // by position in panel_names
  // A row on the fixed-column path advances by at most row_step_ bytes and writes
  // at most row_reach_ bytes from its start (the panel cell's fixed 16 included).
  std::size_t row_step_ = 0;
  std::size_t row_reach_ = 0;
};

}  // namespace qn
