// Buffer<T>: a growable array of trivially copyable values whose storage can be
// handed over to another owner (a NumPy array) without copying.
//
// Storage comes from malloc/realloc, so a large buffer grows by remapping pages
// rather than copying, and released storage is freed with std::free. Large blocks
// are advised to use transparent huge pages: first touch of fresh memory is then
// far cheaper than page by page.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace qn {

namespace buffer_detail {
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Best effort: advise the whole huge pages inside [p, p + bytes).
inline void advise_huge(void* p, std::size_t bytes) noexcept {
  if (bytes < 2 * kHugePage) return;
  auto lo = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  auto hi = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (hi > lo) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}
}  // namespace buffer_detail

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Buffer() = default;
  explicit Buffer(std::size_t capacity) { reserve(capacity); }
  Buffer(Buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data_); }

  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] const T* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return cap_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  /// Makes room for at least `n` elements; throws std::bad_alloc on failure.
  void reserve(std::size_t n) {
    if (n <= cap_) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* p = std::realloc(data_, n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    cap_ = n;
    buffer_detail::advise_huge(data_, n * sizeof(T));
  }

  void push_back(const T& v) {
    if (size_ == cap_) grow(size_ + 1);
    data_[size_++] = v;
  }

  /// Appends n elements copied from `src`.
  void append(const T* src, std::size_t n) {
    if (n == 0) return;
    if (cap_ - size_ < n) grow(size_ + n);
    std::memcpy(data_ + size_, src, n * sizeof(T));
    size_ += n;
  }

  /// Cuts the buffer back to its first n elements (n <= size()).
  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }

  void clear() noexcept { size_ = 0; }

  /// Gives up the storage: the caller frees it with std::free. The buffer is empty afterwards.
  [[nodiscard]] T* release() noexcept {
    size_ = cap_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  void grow(std::size_t need) {
    std::size_t next = cap_ < 8 ? 8 : cap_ + cap_ / 2;
    reserve(next < need ? need : next);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

}  // namespace qn
