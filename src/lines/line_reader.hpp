// LineReader: the lines that begin inside a byte range of a file, with their offsets.
//
// A line belongs to the range in which its first byte lies, so consecutive ranges
// [a, b) and [b, c) together yield every line exactly once: the line that crosses b
// is read whole by the first range. Lines are returned without their trailing
// carriage returns and line feeds, as views into the reader's buffer.
//
// Nothing at or past the file's size is read: the size the file had when the reader
// was opened, or the smaller size the caller took at the start of its call. So a file
// that grows while it is read, or one that reports size 0 (a /proc file), ends there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/buffer.hpp"
#include "base/cancel.hpp"
#include "base/result.hpp"

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

/// An open file and the size it had when it was opened.
struct OpenedFile {
  UniqueFd fd;
  std::uint64_t size = 0;
};

/// The error for a file that is neither a regular file nor a directory; `mode` is
/// its st_mode.
Error not_a_regular_file(unsigned mode);

/// Opens `path` read-only without ever blocking in the open (a named pipe with no
/// writer would), and refuses what has no known size: named pipes, sockets and
/// devices. A directory opens; reading it fails with EISDIR.
Result<OpenedFile> open_for_reading(const std::string& path);

/// What one call puts on all of its readers.
struct ReadLimits {
  std::uint64_t file_size = UINT64_MAX;  ///< no byte at or past this offset is read
  Cancel* cancel = nullptr;              ///< visited before every read
};

/// One line: the file offset of its first byte and its bytes without terminator.
struct Line {
  std::uint64_t offset = 0;
  std::string_view bytes;
  /// False for a line cut by next_line_head(): `bytes` is only its beginning.
  bool whole = true;
};

class LineReader {
 public:
  static constexpr std::size_t kMinCapacity = 65536;
  static constexpr std::size_t kMaxInitialCapacity = 4194304;

  /// The buffer size for a range: clamp(end - start, 64 KiB, 4 MiB).
  static std::size_t capacity_for(std::uint64_t start, std::uint64_t end) noexcept;

  /// Opens `path` and positions the reader at [start, end).
  static Result<LineReader> open(const std::string& path, std::uint64_t start, std::uint64_t end,
                                 ReadLimits limits = {});
  /// As open(), but with an explicit initial buffer size (at least 64 KiB).
  static Result<LineReader> open_with_capacity(const std::string& path, std::uint64_t start,
                                               std::uint64_t end, std::size_t capacity,
                                               ReadLimits limits = {});

  /// Points the reader at a new range; the buffer grows to that range's size and never shrinks.
  Result<void> reposition(std::uint64_t start, std::uint64_t end);

  /// Fills `line` with the next line that begins before the range end and returns
  /// true, or returns false at the end of the range (or of the file). The view is
  /// valid until the next call on the reader. The buffer grows to hold the line.
  Result<bool> next_line(Line& line);

  /// As next_line(), but the buffer never grows: a line that does not fit comes back
  /// with `whole` false and `bytes` holding its first capacity() bytes, carriage
  /// returns included. Its rest is passed over by the next call, or handed out
  /// piece by piece by read_rest().
  Result<bool> next_line_head(Line& line);

  /// Passes the rest of the line that next_line_head() cut to `piece`, in order and
  /// without its line feed, and consumes it. Does nothing when no line was cut.
  Result<void> read_rest(const std::function<void(std::string_view)>& piece);

  [[nodiscard]] std::size_t capacity() const noexcept { return buffer_.size(); }
  /// The offset at which reading stops: the smaller of the file's size at opening
  /// and the caller's limit.
  [[nodiscard]] std::uint64_t size_limit() const noexcept { return limit_; }

 private:
  LineReader(OpenedFile file, std::size_t capacity, ReadLimits limits);
  Result<bool> read_line(Line& line, bool grow);
  Result<void> seek_to(std::uint64_t start, std::uint64_t end);
  Result<void> refill();

  Buffer<char> buffer_;     // its size is the reader's capacity
  std::size_t start_ = 0;   // first byte not yet returned
  std::size_t filled_ = 0;  // valid bytes from index 0
  std::uint64_t base_ = 0;  // file offset of buffer index 0
  std::uint64_t end_ = 0;   // end of the current range
  std::uint64_t limit_ = 0; // nothing at or past this offset is read
  UniqueFd file_;
  Cancel* cancel_ = nullptr;
  bool at_eof_ = false;
  bool cut_ = false;        // the rest of a cut line is still to be consumed
};

}  // namespace qn
