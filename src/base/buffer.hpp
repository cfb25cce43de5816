// Buffer<T>: a growable array of trivially copyable values whose storage can be
// handed over to another owner (a NumPy array) without copying.
//
// Small buffers live on the heap; large ones are anonymous mappings, which grow
// without copying and are returned to the system as soon as they are freed.
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

/// Storage given up by a Buffer: free it with free_storage().
struct Storage {
  void* data = nullptr;
  std::size_t bytes = 0;  ///< size of the allocation
  bool mapped = false;    ///< true: an anonymous mapping; false: from malloc
};

namespace buffer_detail {
// Large buffers are anonymous mappings of their own: growing them remaps pages
// instead of copying, and freeing one returns its memory to the system at once
// (a freed heap block can stay resident, which would inflate peak memory while
// per-unit columns are joined).
//
// They are not advised to use transparent huge pages. A huge page is cheaper to
// fault in than 512 small ones only when the machine hands out memory it has used
// recently; on a virtual machine that returns free 2 MiB blocks to its host, a
// huge page is usually such a block, which the host must provide afresh on first
// touch. There, fresh processes whose column buffers were advised took about
// 0.14 s longer to parse 250 MB on one thread than without the advice, and a
// first touch of 106 MiB took 0.18 to 0.33 s instead of 0.06 to 0.08 s.
inline constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
inline constexpr std::size_t kPage = 4096;
#ifdef MADV_POPULATE_WRITE
inline constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
inline constexpr int kPopulateWrite = 23;  // Linux 5.14; older kernels refuse it
#endif

inline std::size_t round_to_pages(std::size_t bytes) noexcept {
  return (bytes + kPage - 1) & ~(kPage - 1);
}

inline void release_storage(const Storage& s) noexcept {
  if (s.data == nullptr) return;
  if (s.mapped) {
    ::munmap(s.data, s.bytes);
  } else {
    std::free(s.data);
  }
}

// Resizes `s` to hold at least `bytes`, keeping its contents; throws std::bad_alloc.
// With `map`, and whenever `s` is mapped already, the storage is a mapping of its
// own (page-aligned, grown by remapping) whatever its size.
inline void resize_storage(Storage& s, std::size_t bytes, std::size_t used, bool map = false) {
  if (bytes >= kMapThreshold || map || s.mapped) {
    const std::size_t want = round_to_pages(bytes);
    void* p;
    if (s.mapped) {
      p = ::mremap(s.data, s.bytes, want, MREMAP_MAYMOVE);
    } else {
      p = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED && used > 0) std::memcpy(p, s.data, used);
      if (p != MAP_FAILED) std::free(s.data);
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
    s = Storage{p, want, true};
    return;
  }
  void* p = std::realloc(s.data, bytes);
  if (p == nullptr) throw std::bad_alloc();
  s = Storage{p, bytes, false};
}
}  // namespace buffer_detail

/// Frees storage given up by Buffer::release().
inline void free_storage(const Storage& s) noexcept { buffer_detail::release_storage(s); }

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Buffer() = default;
  explicit Buffer(std::size_t capacity) { reserve(capacity); }
  /// An empty buffer that writes into [region, region + capacity), memory the caller
  /// owns and keeps alive while the buffer uses it. Growing past the region moves the
  /// elements into storage of the buffer's own. Such a buffer has no storage to
  /// release() while it stays in the region.
  static Buffer borrowing(T* region, std::size_t capacity) noexcept {
    Buffer b;
    b.data_ = region;
    b.cap_ = region != nullptr ? capacity : 0;
    return b;
  }
  Buffer(Buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)),
        storage_(std::exchange(o.storage_, Storage{})) {}
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      buffer_detail::release_storage(storage_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
      storage_ = std::exchange(o.storage_, Storage{});
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { buffer_detail::release_storage(storage_); }

  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] const T* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return cap_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  /// An empty buffer whose storage is a mapping of its own from the start, so that
  /// its elements begin on a page boundary, with room for at least max(capacity, 1)
  /// elements; throws std::bad_alloc.
  static Buffer page_aligned(std::size_t capacity) {
    Buffer b;
    b.reserve_storage(capacity > 0 ? capacity : 1, true);
    return b;
  }

  /// Makes room for at least `n` elements; throws std::bad_alloc on failure.
  void reserve(std::size_t n) { reserve_storage(n, false); }

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

  /// Counts n more elements, written past the old end by the caller (n <= capacity()
  /// - size()).
  void extend_written(std::size_t n) noexcept { size_ += n; }

  /// Sets the size to n, growing the storage as needed and keeping the elements
  /// before the old size; elements past it are left uninitialised.
  void resize_uninitialized(std::size_t n) {
    reserve(n);
    size_ = n;
  }

  /// Cuts the buffer back to its first n elements (n <= size()).
  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }

  void clear() noexcept { size_ = 0; }

  /// Asks the system to back the whole pages of the room past the elements with
  /// memory now, in one call, rather than one page fault per page as they are
  /// written. Only a request: nothing changes where the system cannot do it.
  void prefault() noexcept {
    const auto from = reinterpret_cast<std::uintptr_t>(data_ + size_);
    const auto to = reinterpret_cast<std::uintptr_t>(data_ + cap_);
    const std::uintptr_t first = (from + buffer_detail::kPage - 1) & ~(buffer_detail::kPage - 1);
    const std::uintptr_t last = to & ~(buffer_detail::kPage - 1);
    if (data_ == nullptr || last <= first || last - first < buffer_detail::kMapThreshold) return;
    (void)::madvise(reinterpret_cast<void*>(first), last - first, buffer_detail::kPopulateWrite);
  }

  /// Gives up the storage (free it with free_storage()); the buffer is empty afterwards.
  [[nodiscard]] Storage release() noexcept {
    size_ = cap_ = 0;
    data_ = nullptr;
    return std::exchange(storage_, Storage{});
  }

 private:
  void reserve_storage(std::size_t n, bool map) {
    if (n <= cap_) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    if (storage_.data == nullptr && data_ != nullptr) {
      // Leaving borrowed memory: the elements move into storage of our own.
      Storage own;
      buffer_detail::resize_storage(own, n * sizeof(T), 0, map);
      if (size_ > 0) std::memcpy(own.data, data_, size_ * sizeof(T));
      storage_ = own;
    } else {
      buffer_detail::resize_storage(storage_, n * sizeof(T), size_ * sizeof(T), map);
    }
    data_ = static_cast<T*>(storage_.data);
    cap_ = storage_.bytes / sizeof(T);
  }

  void grow(std::size_t need) {
    std::size_t next = cap_ < 8 ? 8 : cap_ + cap_ / 2;
    reserve(next < need ? need : next);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  Storage storage_;
};

}  // namespace qn
