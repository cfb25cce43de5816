// Layout: which observations belong to which crystal, which crystals to which image,
// and which panel names the observations use; and the checks that make every later
// index safe.
//
// build_layout() and check_text() run before the output file is touched, so input
// they refuse leaves the file system unchanged. Once both have passed, formatting
// reads every column and list only at positions they have verified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "write/write_input.hpp"

namespace qn {

struct Layout {
  /// n_cryst + 1 entries: crystal c owns observation rows [offsets[c], offsets[c + 1]).
  std::vector<std::size_t> offsets;
  /// n_img + 1 entries: image m's crystals are image_crystals[image_start[m] .. image_start[m +
  /// 1]).
  std::vector<std::size_t> image_start;
  /// Crystal rows grouped by image, ascending within each image; crystals whose
  /// image_id names no image are absent.
  std::vector<std::size_t> image_crystals;
  /// The length of panel_names that every panel_id was checked against.
  std::size_t n_panel_names = 0;
  /// n_panel_names entries: 1 where some observation names that panel, else 0.
  std::vector<std::uint8_t> panel_used;

  [[nodiscard]] std::size_t n_images() const noexcept {
    return image_start.empty() ? 0 : image_start.size() - 1;
  }
  /// The crystal rows of image m (m < n_images()), ascending.
  [[nodiscard]] std::span<const std::size_t> crystals_of(std::size_t m) const noexcept {
    return {image_crystals.data() + image_start[m], image_start[m + 1] - image_start[m]};
  }
  /// The position in panel_names of the name that `panel_id` stands for. Negative
  /// ids count from the end; build_layout() has checked every id of the columns.
  [[nodiscard]] std::size_t panel_position(std::int16_t panel_id) const noexcept {
    const std::int64_t p = panel_id;
    return static_cast<std::size_t>(p < 0 ? p + static_cast<std::int64_t>(n_panel_names) : p);
  }
};

/// Checks the column lengths against each other, the n_refl counts against the
/// observations and every panel_id against `n_panel_names`, and derives the Layout.
/// The first failing check is returned as an invalid-input error.
Result<Layout> build_layout(const WriteColumns& columns, std::size_t n_panel_names);

/// Refuses text that would break the line structure of the stream: a line feed in a
/// written file name or event or in a unit-cell string, a panel name used by an
/// observation that is empty or holds white space, and a non-empty header that does
/// not end with a line feed. `layout` must come from build_layout() on the same input.
Result<void> check_text(const WriteText& text, const Layout& layout);

}  // namespace qn
