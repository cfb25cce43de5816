// Files: opening for reading and for writing, positional reads and whole writes,
// each repeated while a signal interrupts it. The one place that calls open(),
// fstat(), pread() and write().
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

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

/// Opens `path` read-only without ever blocking in the open (a named pipe with no
/// writer would), and refuses what has no known size: named pipes, sockets and
/// devices. A directory opens; reading it fails with EISDIR.
Result<OpenedFile> open_for_reading(const std::string& path);

/// A file opened for writing, and which file it is.
struct CreatedFile {
  UniqueFd fd;
  bool regular = false;
  dev_t device = 0;
  ino_t inode = 0;
};

/// Creates or truncates `path`. O_NONBLOCK keeps the open of a named pipe from
/// waiting for a reader (without one it fails with ENXIO); a pipe that does have a
/// reader is refused too, as are sockets and block devices. Character devices are
/// kept, so that /dev/null takes a write.
Result<CreatedFile> create_for_writing(const std::string& path);

/// Removes `path` if it still names the regular file that `file` opened.
void remove_created(const std::string& path, const CreatedFile& file) noexcept;

/// Reads up to `n` bytes at `offset` into `out`; fewer only at the end of the file.
/// Safe on one descriptor from several threads at once.
Result<std::size_t> read_at(int fd, std::uint64_t offset, char* out, std::size_t n);

/// Writes [data, data + n) to `fd`, repeating partial writes; `written` counts the
/// bytes written, also when it fails. A write that accepts nothing fails with
/// `zero_text`.
Result<void> write_all(int fd, const char* data, std::size_t n, std::size_t& written,
                       const char* zero_text);

}  // namespace qn
