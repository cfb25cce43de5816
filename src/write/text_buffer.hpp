// TextBuffer: a growable byte buffer that formatting code writes into through a raw
// pointer.
//
// The formatter asks for room once per line (or per group of lines) with prepare(),
// writes numbers and constant text straight to the returned pointer, and marks the
// new end with commit(). Nothing is zero-filled and no temporary strings are made.
// Storage comes from realloc, so growth of a large batch buffer may remap instead of copy.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace qn {

class TextBuffer {
 public:
  TextBuffer() = default;
  /// An empty buffer with room for `capacity` bytes.
  explicit TextBuffer(std::size_t capacity) { reserve(capacity); }
  /// An empty buffer that writes into [region, region + capacity), memory the caller
  /// owns and keeps alive while the buffer uses it.
  static TextBuffer borrowing(char* region, std::size_t capacity) noexcept {
    TextBuffer b;
    b.data_ = region;
    b.cap_ = capacity;
    b.owned_ = false;
    return b;
  }
  TextBuffer(TextBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)),
        owned_(std::exchange(o.owned_, true)) {}
  TextBuffer& operator=(TextBuffer&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
      owned_ = std::exchange(o.owned_, true);
    }
    return *this;
  }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() { release(); }

  [[nodiscard]] const char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return cap_; }
  [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }
  /// False while the text sits in borrowed memory.
  [[nodiscard]] bool owns_storage() const noexcept { return owned_; }

  /// Empties the buffer; its storage is kept for reuse.
  void clear() noexcept { size_ = 0; }

  /// Makes room for at least `n` bytes in total; throws std::bad_alloc on failure.
  void reserve(std::size_t n) {
    if (n <= cap_) return;
    void* p = std::realloc(owned_ ? data_ : nullptr, n);
    if (p == nullptr) throw std::bad_alloc();
    if (!owned_ && size_ > 0) std::memcpy(p, data_, size_);
    data_ = static_cast<char*>(p);
    cap_ = n;
    owned_ = true;
  }

  /// Returns the end of the text, with room for `n` more bytes behind it. The pointer
  /// is valid until the next call that may grow the buffer.
  char* prepare(std::size_t n) {
    if (cap_ - size_ < n) grow(size_ + n);
    return data_ + size_;
  }

  /// Marks the text as ending at `end`, a pointer into the room given by prepare().
  void commit(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

  /// Appends `text` whole.
  void append(std::string_view text) {
    char* p = prepare(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    size_ += text.size();
  }

 private:
  void release() noexcept {
    if (owned_) std::free(data_);
  }

  void grow(std::size_t need) {
    const std::size_t doubled = cap_ * 2;
    reserve(doubled > need ? doubled : need);
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  bool owned_ = true;  // data_ is ours to realloc and free
};

}  // namespace qn
