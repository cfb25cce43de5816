// LineReader: the lines that begin inside a byte range of a file, with their offsets.
//
// A line belongs to the range in which its first byte lies, so consecutive ranges
// [a, b) and [b, c) together yield every line exactly once: the line that crosses b
// is read whole by the first range. Lines are returned without their trailing
// carriage returns and line feeds, as views into the reader's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../result.hpp"

namespace qn {

/// A file descriptor that is closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

/// Opens `path` read-only, or returns the operating system's error.
Result<UniqueFd> open_for_reading(const std::string& path);

/// One line: the file offset of its first byte and its bytes without terminator.
struct Line {
  std::uint64_t offset = 0;
  std::string_view bytes;
};

class LineReader {
 public:
  static constexpr std::size_t kMinCapacity = 65536;
  static constexpr std::size_t kMaxInitialCapacity = 4194304;

  /// The buffer size for a range: clamp(end - start, 64 KiB, 4 MiB).
  static std::size_t capacity_for(std::uint64_t start, std::uint64_t end) noexcept;

  /// Opens `path` and positions the reader at [start, end).
  static Result<LineReader> open(const std::string& path, std::uint64_t start, std::uint64_t end);
  /// As open(), but with an explicit initial buffer size (at least 64 KiB).
  static Result<LineReader> open_with_capacity(const std::string& path, std::uint64_t start,
                                               std::uint64_t end, std::size_t capacity);

  /// Points the reader at a new range; the buffer grows to that range's size and never shrinks.
  Result<void> reposition(std::uint64_t start, std::uint64_t end);

  /// Fills `line` with the next line that begins before the range end and returns
  /// true, or returns false at the end of the range (or of the file). The view is
  /// valid until the next call on the reader.
  Result<bool> next_line(Line& line);

  [[nodiscard]] std::size_t capacity() const noexcept { return buffer_.size(); }

 private:
  LineReader(UniqueFd file, std::size_t capacity);
  Result<void> seek_to(std::uint64_t start, std::uint64_t end);
  Result<void> refill();

  std::vector<char> buffer_;
  std::size_t start_ = 0;   // first byte not yet returned
  std::size_t filled_ = 0;  // valid bytes from index 0
  std::uint64_t base_ = 0;  // file offset of buffer index 0
  std::uint64_t end_ = 0;   // end of the current range
  UniqueFd file_;
  bool at_eof_ = false;
};

}  // namespace qn
