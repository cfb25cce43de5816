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
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace qn {

class PageBuffer {
 public:
  static constexpr std::size_t kPage = 4096;

  /// Where a byte at file offset `offset` sits within its page.
  static constexpr std::size_t page_offset(std::uint64_t offset) noexcept {
    return static_cast<std::size_t>(offset % kPage);
  }

  PageBuffer() = default;
  /// A buffer of `n` uninitialised bytes; throws std::bad_alloc.
  explicit PageBuffer(std::size_t n) { resize(n); }
  PageBuffer(PageBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  PageBuffer& operator=(PageBuffer&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer() { std::free(data_); }

  [[nodiscard]] char* data() noexcept { return data_; }
  [[nodiscard]] const char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  /// Sets the size to `n`, keeping the first min(size(), n) bytes; bytes past the
  /// old size are uninitialised. Throws std::bad_alloc.
  void resize(std::size_t n) {
    if (n == size_) return;
    if (n > SIZE_MAX - kPage) throw std::bad_alloc();
    const std::size_t rounded = (n + kPage - 1) / kPage * kPage;
    void* p = std::aligned_alloc(kPage, rounded == 0 ? kPage : rounded);
    if (p == nullptr) throw std::bad_alloc();
    if (data_ != nullptr) std::memcpy(p, data_, size_ < n ? size_ : n);
    std::free(data_);
    data_ = static_cast<char*>(p);
    size_ = n;
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace qn
