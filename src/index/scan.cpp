// One pass over the lines of a range, read in windows straight from the source.
// Each window is classified 64 bytes at a time (lines/classify.hpp): the line ends and
// the field count of every line come from bit masks, and only the first bytes of a
// line are looked at, for the marker tests.
#include "index/scan.hpp"

#include <cstdint>
#include <cstring>
#include <new>

#include "lines/line_reader.hpp"
#include "stream/vocabulary.hpp"

namespace qn {
namespace {

using namespace vocabulary;

// Bytes of a line kept for the marker tests: more than the longest marker.
constexpr std::size_t kHeadBytes = 64;
// Bytes read at once: small enough to be classified while still in the cache.
constexpr std::size_t kWindowBytes = std::size_t{256} << 10;
// Bytes classified at once, so that the line ends of one step stay small.
constexpr std::size_t kStepBytes = std::size_t{16} << 10;

enum class ListState { kOutside, kHeading, kRows };

// The chunk rows of a range, fed one line at a time: its offset, its first bytes
// (up to kHeadBytes, line feed excluded) and its field count. Carriage returns are
// white space, so they change no field count and no marker test; a line without
// fields (empty or blank) matters only as the end of a reflection heading.
class ChunkRows {
 public:
  explicit ChunkRows(std::optional<std::int64_t> max_crystals) : max_crystals_(max_crystals) {}

  // Returns false once the crystal total has been reached.
  bool line(std::uint64_t offset, std::string_view head, std::uint32_t fields) {
    if (fields == 0) {
      if (state_ == ListState::kHeading) state_ = ListState::kRows;
      return true;
    }
    if (state_ != ListState::kOutside) {
      if (is_boundary(head)) {
        state_ = ListState::kOutside;  // handled below as outside
      } else if (state_ == ListState::kHeading) {
        state_ = ListState::kRows;
        return true;
      } else {
        if (head[0] == 'E' && starts_with(head, kEndOfReflections)) {
          state_ = ListState::kOutside;
        } else if (open_ && fields >= 10) {
          ++open_->n_obs_upper;
        }
        return true;
      }
    }
    const char c = head[0];
    if (c == '-') {
      if (starts_with(head, kBeginChunk)) {
        if (open_) {
          open_->end = offset;
          total_ += static_cast<std::int64_t>(open_->n_crystals);
          out_.chunks.push_back(*open_);
          if (max_crystals_ && total_ >= *max_crystals_) {
            open_.reset();
            return false;
          }
        }
        open_ = Chunk{offset, 0, 0, 0};
      } else if (starts_with(head, kBeginCrystal)) {
        if (open_) ++open_->n_crystals;
      }
    } else if (c == 'R' && starts_with(head, kReflectionsMeasured)) {
      state_ = ListState::kHeading;
    }
    return true;
  }

  Scan finish() {
    out_.open_chunk = open_;
    return std::move(out_);
  }

 private:
  std::optional<std::int64_t> max_crystals_;
  Scan out_;
  std::optional<Chunk> open_;
  std::int64_t total_ = 0;
  ListState state_ = ListState::kOutside;
};

}  // namespace

void ScanBuffers::reserve(std::size_t window_bytes) {
  if (window_bytes > SIZE_MAX - PageBuffer::kPage) throw std::bad_alloc();
  if (window_.size() < window_bytes + PageBuffer::kPage) {
    window_ = PageBuffer(window_bytes + PageBuffer::kPage);
  }
  if (!ends_) ends_.reset(new LineEnd[kStepBytes]);
}

Result<Scan> scan(const ByteSource& source, std::uint64_t start, std::uint64_t end,
                  std::optional<std::int64_t> max_crystals, Cancel* cancel, ClassifyFn classify,
                  ScanBuffers* buffers) {
  if (classify == nullptr) classify = classify_fn(simd_path());
  const std::uint64_t limit = source.size();
  const std::uint64_t readable = limit > start ? limit - start : 1;
  const std::size_t window_size =
      readable < kWindowBytes ? static_cast<std::size_t>(readable) : kWindowBytes;
  ScanBuffers own;
  ScanBuffers& memory = buffers != nullptr ? *buffers : own;
  memory.reserve(window_size);
  // Each read lands at its file position's offset within a page (see PageBuffer).
  char* const window = memory.window();
  LineEnd* const ends = memory.ends();
  ChunkRows rows(max_crystals);
  ClassifyCarry carry;
  // The line being read: its offset and, when it began in an earlier window, its
  // first bytes.
  std::uint64_t line_start = start;
  char head[kHeadBytes];
  std::size_t head_len = 0;
  std::uint64_t pos = start;  // where the next window is read
  // Lines that begin before `end` belong to the range; the last of them is read to
  // its end even past `end`.
  while (line_start < end && pos < limit) {
    if (stop_requested(cancel)) return Cancel::error();
    const std::uint64_t left = limit - pos;
    const std::size_t want = left < window_size ? static_cast<std::size_t>(left) : window_size;
    char* const w = window + PageBuffer::page_offset(pos);
    QN_ASSIGN_OR_RETURN(const std::size_t got, source.read_at(pos, w, want));
    if (got == 0) break;
    for (std::size_t step = 0; step < got && line_start < end; step += kStepBytes) {
      const std::size_t n = got - step < kStepBytes ? got - step : kStepBytes;
      const std::size_t k = classify(w + step, n, carry, ends);
      for (std::size_t e = 0; e < k; ++e) {
        const std::uint64_t at = pos + step + ends[e].pos;  // the line feed
        std::string_view text;
        if (line_start >= pos) {
          const auto from = static_cast<std::size_t>(line_start - pos);
          const std::size_t len = static_cast<std::size_t>(at - line_start);
          text = std::string_view(w + from, len < kHeadBytes ? len : kHeadBytes);
        } else {
          // Began in an earlier window: complete its kept bytes from this one.
          const std::size_t in_window = static_cast<std::size_t>(at - pos);
          const std::size_t more =
              kHeadBytes - head_len < in_window ? kHeadBytes - head_len : in_window;
          std::memcpy(head + head_len, w, more);
          text = std::string_view(head, head_len + more);
        }
        if (!rows.line(line_start, text, ends[e].fields)) return rows.finish();
        line_start = at + 1;
        head_len = 0;
        if (line_start >= end) break;
      }
    }
    // Keep the first bytes of a line that goes on past this window.
    const std::uint64_t window_end = pos + got;
    if (line_start < end && line_start < window_end && head_len < kHeadBytes) {
      const std::size_t from = line_start >= pos ? static_cast<std::size_t>(line_start - pos) : 0;
      const std::size_t avail = got - from;
      const std::size_t more = kHeadBytes - head_len < avail ? kHeadBytes - head_len : avail;
      std::memcpy(head + head_len, w + from, more);
      head_len += more;
    }
    pos = window_end;
  }
  // A last line without a line feed.
  if (line_start < end && line_start < pos) {
    rows.line(line_start, std::string_view(head, head_len), carry.fields);
  }
  return rows.finish();
}

Result<std::uint64_t> find_chunk_at_or_after(const ByteSource& source, std::uint64_t pos,
                                             std::uint64_t end, Cancel* cancel) {
  const std::uint64_t from = pos < end ? pos : end;
  // A search usually finds a marker within a few kilobytes: read in small steps.
  // Only line beginnings are looked at, so long lines are passed over, not held.
  LineReader reader =
      LineReader::with_capacity(source, from, end, LineReader::kMinCapacity, cancel);
  Line line;
  if (pos > 0) {
    QN_ASSIGN_OR_RETURN(const bool got, reader.next_line_head(line));
    if (!got) return end;
  }
  for (;;) {
    QN_ASSIGN_OR_RETURN(const bool got, reader.next_line_head(line));
    if (!got) return end;
    if (starts_with(line.bytes, kBeginChunk)) return line.offset;
  }
}

}  // namespace qn
