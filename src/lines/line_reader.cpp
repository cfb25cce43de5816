#include "lines/line_reader.hpp"

#include <algorithm>
#include <cstring>

namespace qn {

namespace {

// The most one read asks for: small enough that what it brings in is still in the
// core's own cache when the lines are read from it (parse of 250 MB on one thread
// about 4% faster than with 4 MiB reads), and that a call keeps visiting its
// checkpoints while one very long line is read.
constexpr std::size_t kMaxReadBytes = std::size_t{256} << 10;

}  // namespace

std::size_t LineReader::capacity_for(std::uint64_t start, std::uint64_t end) noexcept {
  const std::uint64_t span = end > start ? end - start : 0;
  if (span < kMinCapacity) return kMinCapacity;
  if (span > kMaxInitialCapacity) return kMaxInitialCapacity;
  return static_cast<std::size_t>(span);
}

LineReader::LineReader(const ByteSource& source, std::size_t capacity, Cancel* cancel)
    : source_(&source), limit_(source.size()), cancel_(cancel) {
  buffer_.resize(capacity < kMinCapacity ? kMinCapacity : capacity);
}

LineReader::LineReader(const ByteSource& source, std::uint64_t start, std::uint64_t end,
                       Cancel* cancel)
    : LineReader(source, capacity_for(start, end), cancel) {
  seek_to(start, end);
}

LineReader LineReader::with_capacity(const ByteSource& source, std::uint64_t start,
                                     std::uint64_t end, std::size_t capacity, Cancel* cancel) {
  LineReader reader(source, capacity, cancel);
  reader.seek_to(start, end);
  return reader;
}

void LineReader::reposition(std::uint64_t start, std::uint64_t end) {
  const std::size_t want = capacity_for(start, end);
  if (buffer_.size() < want) buffer_.resize(want);
  seek_to(start, end);
}

void LineReader::seek_to(std::uint64_t start, std::uint64_t end) noexcept {
  start_ = filled_ = PageBuffer::page_offset(start);
  base_ = start - start_;
  end_ = end;
  at_eof_ = false;
  cut_ = false;
}

// Makes room at the back of the buffer and reads once into it; at the size limit
// it reads nothing and sets at_eof_. The bytes kept move by whole pages, so they
// keep their offsets within their pages.
Result<void> LineReader::refill() {
  if (stop_requested(cancel_)) return Cancel::error();
  const std::size_t shift = start_ - PageBuffer::page_offset(start_);
  if (shift > 0) {
    std::memmove(buffer_.data(), buffer_.data() + shift, filled_ - shift);
    base_ += shift;
    filled_ -= shift;
    start_ -= shift;
  }
  const std::uint64_t pos = base_ + filled_;
  if (pos >= limit_) {
    at_eof_ = true;
    return {};
  }
  const std::uint64_t left = limit_ - pos;  // bytes the source may still give
  if (filled_ == buffer_.size()) {
    // One line fills the whole buffer: double it, but never beyond what is left of
    // the source.
    std::size_t next = std::max(buffer_.size() * 2, kMinCapacity);
    if (left < next - filled_) next = filled_ + static_cast<std::size_t>(left);
    buffer_.resize(next);
  }
  std::uint64_t want = pos < end_ ? end_ - pos : kMinCapacity;
  want = std::min<std::uint64_t>({want, buffer_.size() - filled_, left, kMaxReadBytes});
  QN_ASSIGN_OR_RETURN(const std::size_t got, source_->read_at(pos, buffer_.data() + filled_,
                                                              static_cast<std::size_t>(want)));
  if (got == 0) {
    at_eof_ = true;
  } else {
    filled_ += got;
  }
  return {};
}

Result<bool> LineReader::next_line(Line& line) { return read_line(line, true); }

Result<bool> LineReader::next_line_head(Line& line) { return read_line(line, false); }

Result<bool> LineReader::read_line(Line& line, bool grow) {
  if (cut_) QN_TRY(read_rest({}));
  if (base_ + start_ >= end_) return false;
  const std::uint64_t offset = base_ + start_;
  std::size_t searched = 0;  // bytes after start_ known to hold no line feed
  std::size_t stop;
  for (;;) {
    const char* from = buffer_.data() + start_ + searched;
    const std::size_t left = filled_ - start_ - searched;
    const char* nl = find_line_feed(from, left);
    if (nl != nullptr) {
      stop = static_cast<std::size_t>(nl - buffer_.data());
      break;
    }
    if (at_eof_) {
      if (start_ == filled_) return false;
      stop = filled_;
      break;
    }
    if (!grow && start_ < PageBuffer::kPage && filled_ == buffer_.size()) {
      // Full, and no room to be made by moving whole pages.
      line.offset = offset;
      line.bytes = std::string_view(buffer_.data() + start_, filled_ - start_);
      line.whole = false;
      start_ = filled_;
      cut_ = true;
      return true;
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
  line.whole = true;
  return true;
}

Result<void> LineReader::read_rest(const std::function<void(std::string_view)>& piece) {
  while (cut_) {
    const char* from = buffer_.data() + start_;
    const std::size_t left = filled_ - start_;
    const void* nl = left > 0 ? std::memchr(from, '\n', left) : nullptr;
    const std::size_t n =
        nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - from) : left;
    if (piece && n > 0) piece(std::string_view(from, n));
    if (nl != nullptr) {
      start_ += n + 1;
      cut_ = false;
    } else {
      start_ = filled_;
      if (at_eof_) {
        cut_ = false;
      } else {
        QN_TRY(refill());
      }
    }
  }
  return {};
}

}  // namespace qn
