// LineReader: the lines that begin inside a byte range of a ByteSource, with their
// offsets.
//
// A line belongs to the range in which its first byte lies, so consecutive ranges
// [a, b) and [b, c) together yield every line exactly once: the line that crosses b
// is read whole by the first range. Lines are returned without their trailing
// carriage returns and line feeds, as views into the reader's buffer. Nothing at or
// past the source's size is read.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/cancel.hpp"
#include "base/page_buffer.hpp"
#include "base/result.hpp"
#include "lines/byte_source.hpp"

namespace qn {

/// One line: the offset of its first byte and its bytes without terminator.
struct Line {
  std::uint64_t offset = 0;
  std::string_view bytes;
  /// False for a line cut by next_line_head(): `bytes` is only its beginning.
  bool whole = true;
};

/// The first line feed in [from, from + n), or nullptr. Lines are mostly short, so
/// the first 128 bytes are searched inline, 16 at a time, before memchr takes over.
inline const char* find_line_feed(const char* from, std::size_t n) noexcept {
#if defined(__SSE2__)
  constexpr std::size_t kInline = 128;
  const __m128i lf = _mm_set1_epi8('\n');
  std::size_t i = 0;
  for (; i + 16 <= n && i < kInline; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    if (hits != 0) return from + i + static_cast<unsigned>(std::countr_zero(hits));
  }
  from += i;
  n -= i;
#endif
  return n > 0 ? static_cast<const char*>(std::memchr(from, '\n', n)) : nullptr;
}

class LineReader {
 public:
  static constexpr std::size_t kMinCapacity = 65536;
  static constexpr std::size_t kMaxInitialCapacity = 4194304;

  /// The buffer size for a range: clamp(end - start, 64 KiB, 4 MiB).
  static std::size_t capacity_for(std::uint64_t start, std::uint64_t end) noexcept;

  /// A reader of [start, end) of `source`, which must outlive it. `cancel`, when
  /// given, is visited before every read.
  LineReader(const ByteSource& source, std::uint64_t start, std::uint64_t end,
             Cancel* cancel = nullptr);
  /// As the constructor, but with an explicit initial buffer size (at least 64 KiB).
  static LineReader with_capacity(const ByteSource& source, std::uint64_t start, std::uint64_t end,
                                  std::size_t capacity, Cancel* cancel = nullptr);

  /// Points the reader at a new range; the buffer grows to that range's size and never shrinks.
  void reposition(std::uint64_t start, std::uint64_t end);

  /// Fills `line` with the next line that begins before the range end and returns
  /// true, or returns false at the end of the range (or of the source). The view is
  /// valid until the next call on the reader. The buffer grows to hold the line.
  Result<bool> next_line(Line& line);

  /// As next_line(), but the buffer never grows: a line that does not fit comes back
  /// with `whole` false and `bytes` holding as many of its first bytes as the buffer
  /// holds (capacity() less the line's offset within its page), carriage returns
  /// included. Its rest is passed over by the next call, or handed out
  /// piece by piece by read_rest().
  Result<bool> next_line_head(Line& line);

  /// Passes the rest of the line that next_line_head() cut to `piece`, in order and
  /// without its line feed, and consumes it. Does nothing when no line was cut.
  Result<void> read_rest(const std::function<void(std::string_view)>& piece);

  [[nodiscard]] std::size_t capacity() const noexcept { return buffer_.size(); }

  /// The bytes already in memory after the last line handed out, for a caller that
  /// takes lines from them itself: `bytes` up to the end of what was read, and
  /// `starts` (at most bytes.size()) the number of them at which a line of the
  /// range may begin. Empty while the rest of a cut line is still to be consumed.
  struct Buffered {
    std::string_view bytes;
    std::size_t starts = 0;
  };
  [[nodiscard]] Buffered buffered() const noexcept {
    if (cut_ || base_ + start_ >= end_) return {};
    const std::uint64_t in_range = end_ - (base_ + start_);
    const std::size_t held = filled_ - start_;
    return {std::string_view(buffer_.data() + start_, held),
            in_range < held ? static_cast<std::size_t>(in_range) : held};
  }
  /// Consumes the first `n` bytes of buffered(), which must end just past a line feed
  /// (or be 0): the lines in them count as handed out.
  void skip(std::size_t n) noexcept { start_ += n; }

 private:
  LineReader(const ByteSource& source, std::size_t capacity, Cancel* cancel);
  Result<bool> read_line(Line& line, bool grow);
  void seek_to(std::uint64_t start, std::uint64_t end) noexcept;
  Result<void> refill();

  // Every byte sits at the same offset within its page of the buffer as within its
  // page of the file: base_ is a multiple of the page size, and so each read's
  // destination is aligned like its source (see PageBuffer).
  const ByteSource* source_;
  PageBuffer buffer_;        // its size is the reader's capacity
  std::size_t start_ = 0;    // first byte not yet returned
  std::size_t filled_ = 0;   // end of the valid bytes, which begin at start_ or before
  std::uint64_t base_ = 0;   // source offset of buffer index 0, a multiple of the page size
  std::uint64_t end_ = 0;    // end of the current range
  std::uint64_t limit_ = 0;  // the source's size: nothing at or past it is read
  Cancel* cancel_ = nullptr;
  bool at_eof_ = false;
  bool cut_ = false;  // the rest of a cut line is still to be consumed
};

}  // namespace qn
