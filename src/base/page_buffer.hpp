// PageBuffer: bytes that start on a page boundary, for the destinations of file reads.
//
// The kernel copies a read out of its page cache, where the file's bytes sit at their
// file offset within each page. When the destination has the same offset within its
// page, source and destination are aligned alike for the whole copy; a destination
// 16 bytes past a page boundary (where malloc puts a large block) can make that copy
// several times slower on some machines. Readers place each read at
// page_offset(file position) within a PageBuffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.hpp"

namespace qn {

class PageBuffer {
 public:
  static constexpr std::size_t kPage = buffer_detail::kPage;

  /// Where a byte at file offset `offset` sits within its page.
  static constexpr std::size_t page_offset(std::uint64_t offset) noexcept {
    return static_cast<std::size_t>(offset % kPage);
  }

  PageBuffer() = default;
  /// A buffer of `n` uninitialised bytes; throws std::bad_alloc.
  explicit PageBuffer(std::size_t n) { resize(n); }

  [[nodiscard]] char* data() noexcept { return bytes_.data(); }
  [[nodiscard]] const char* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }

  /// Sets the size to `n`, keeping the first min(size(), n) bytes; bytes past the
  /// old size are uninitialised. Throws std::bad_alloc.
  void resize(std::size_t n) {
    if (bytes_.capacity() == 0) bytes_ = Buffer<char>::page_aligned(n);
    bytes_.resize_uninitialized(n);
  }

 private:
  Buffer<char> bytes_;  // a mapping of its own: it starts on a page and grows by remapping
};

}  // namespace qn
