// format_image: the complete text of one image's chunk.
//
// This is the one place that decides what a written stream looks like: markers,
// header keys, the crystal blocks, the reflection table, every number's width and
// precision, the unit conversions and the values stated without a column.
#pragma once

#include <cstddef>

#include "layout.hpp"
#include "text_buffer.hpp"
#include "write_input.hpp"

namespace qn {

/// Appends the chunk of image `image` to `out`. The caller guarantees that `layout`
/// came from build_layout() on `columns` and `text.panel_names`, and that
/// image < layout.n_images(). Never fails; may throw std::bad_alloc when growing `out`.
void format_image(TextBuffer& out, std::size_t image, const WriteColumns& columns,
                  const WriteText& text, const Layout& layout);

}  // namespace qn
