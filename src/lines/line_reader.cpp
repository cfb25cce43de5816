#include "line_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qn {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<UniqueFd> open_for_reading(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  return UniqueFd(fd);
}

std::size_t LineReader::capacity_for(std::uint64_t start, std::uint64_t end) noexcept {
  const std::uint64_t span = end > start ? end - start : 0;
  if (span < kMinCapacity) return kMinCapacity;
  if (span > kMaxInitialCapacity) return kMaxInitialCapacity;
  return static_cast<std::size_t>(span);
}

LineReader::LineReader(UniqueFd file, std::size_t capacity)
    : buffer_(capacity), file_(std::move(file)) {}

Result<LineReader> LineReader::open(const std::string& path, std::uint64_t start,
                                    std::uint64_t end) {
  return open_with_capacity(path, start, end, capacity_for(start, end));
}

Result<LineReader> LineReader::open_with_capacity(const std::string& path, std::uint64_t start,
                                                  std::uint64_t end, std::size_t capacity) {
  QN_ASSIGN_OR_RETURN(UniqueFd fd, open_for_reading(path));
  LineReader reader(std::move(fd), capacity < kMinCapacity ? kMinCapacity : capacity);
  QN_TRY(reader.seek_to(start, end));
  return reader;
}

Result<void> LineReader::reposition(std::uint64_t start, std::uint64_t end) {
  const std::size_t want = capacity_for(start, end);
  if (buffer_.size() < want) buffer_.resize(want);
  return seek_to(start, end);
}

Result<void> LineReader::seek_to(std::uint64_t start, std::uint64_t end) {
  if (start > static_cast<std::uint64_t>(INT64_MAX)) return Error::from_errno(EINVAL);
  if (::lseek(file_.get(), static_cast<off_t>(start), SEEK_SET) < 0) {
    return Error::from_errno(errno);
  }
  start_ = filled_ = 0;
  base_ = start;
  end_ = end;
  at_eof_ = false;
  return {};
}

// Makes room at the back of the buffer and reads once into it.
Result<void> LineReader::refill() {
  if (start_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + start_, filled_ - start_);
    base_ += start_;
    filled_ -= start_;
    start_ = 0;
  }
  if (filled_ == buffer_.size()) {
    // One line fills the whole buffer: double it.
    const std::size_t doubled = buffer_.size() * 2;
    buffer_.resize(doubled > kMinCapacity ? doubled : kMinCapacity);
  }
  const std::uint64_t pos = base_ + filled_;
  std::uint64_t want = pos < end_ ? end_ - pos : kMinCapacity;
  const std::size_t room = buffer_.size() - filled_;
  if (want > room) want = room;
  ssize_t got;
  do {
    got = ::read(file_.get(), buffer_.data() + filled_, static_cast<std::size_t>(want));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Error::from_errno(errno);
  if (got == 0) {
    at_eof_ = true;
  } else {
    filled_ += static_cast<std::size_t>(got);
  }
  return {};
}

Result<bool> LineReader::next_line(Line& line) {
  if (base_ + start_ >= end_) return false;
  const std::uint64_t offset = base_ + start_;
  std::size_t searched = 0;  // bytes after start_ known to hold no line feed
  std::size_t stop;
  for (;;) {
    const char* from = buffer_.data() + start_ + searched;
    const std::size_t left = filled_ - start_ - searched;
    const void* nl = left > 0 ? std::memchr(from, '\n', left) : nullptr;
    if (nl != nullptr) {
      const auto i = static_cast<std::size_t>(static_cast<const char*>(nl) - buffer_.data());
      stop = i;
      break;
    }
    if (at_eof_) {
      if (start_ == filled_) return false;
      stop = filled_;
      break;
    }
    searched = filled_ - start_;
    QN_TRY(refill());
  }
  const char* begin = buffer_.data() + start_;
  std::size_t len = stop - start_;
  start_ = stop < filled_ ? stop + 1 : filled_;
  while (len > 0 && (begin[len - 1] == '\r' || begin[len - 1] == '\n')) --len;
  line.offset = offset;
  line.bytes = std::string_view(begin, len);
  return true;
}

}  // namespace qn
