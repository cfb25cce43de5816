// Chunk scanning: chunk boundaries and cheap size estimates over a byte range.
//
// A chunk runs from its begin marker line to the next one (or the end
// of the scanned range). Per chunk the scan counts its crystal begin lines and an
// upper bound of its reflection rows, without decoding or parsing anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/page_buffer.hpp"
#include "base/result.hpp"
#include "lines/classify.hpp"
#include "lines/line_reader.hpp"

namespace qn {

struct Chunk {
  std::uint64_t start = 0;      ///< offset of the chunk's begin marker line
  std::uint64_t end = 0;        ///< offset just past the chunk
  std::size_t n_crystals = 0;   ///< crystal begin lines in the chunk
  std::size_t n_obs_upper = 0;  ///< reflection rows counted in its reflection lists

  friend bool operator==(const Chunk&, const Chunk&) = default;
};

struct Scan {
  std::optional<Chunk> open_chunk;  ///< still open when the range ended; its end is 0
  std::vector<Chunk> chunks;        ///< chunks completed inside the range, in file order
};

/// The memory a scan reads and classifies in. A thread that scans many ranges keeps
/// one and passes it to each scan, so that it is allocated and first touched once.
class ScanBuffers {
 public:
  ScanBuffers() = default;
  /// A read window of at least `window_bytes` (plus a page, for the read's offset
  /// within its page) and the line ends of one classification step.
  void reserve(std::size_t window_bytes);
  [[nodiscard]] char* window() noexcept { return window_.data(); }
  [[nodiscard]] LineEnd* ends() noexcept { return ends_.get(); }

 private:
  PageBuffer window_;
  std::unique_ptr<LineEnd[]> ends_;
};

/// Scans [start, end) into chunk rows. `start` must be 0 or a line start. With
/// `max_crystals`, stops after the completed chunk that brings the crystal total to
/// at least that many, returning no open chunk.
/// The range is read in windows: no line is held whole, however long; the first
/// bytes of each line are kept for the marker tests and its fields are counted as it
/// streams past. A reflection row is a line of at least ten fields, runs of bytes
/// other than ASCII white space (space and 0x09..0x0D).
/// `classify` picks a classification path (tests); null means the chosen one.
/// `buffers`, when given, is read into instead of memory of the scan's own.
Result<Scan> scan(const ByteSource& source, std::uint64_t start, std::uint64_t end,
                  std::optional<std::int64_t> max_crystals, Cancel* cancel = nullptr,
                  ClassifyFn classify = nullptr, ScanBuffers* buffers = nullptr);

/// The offset of the first begin marker line that begins after the end of the line
/// holding byte `pos` (for pos = 0: the first of the file), or `end` when none
/// begins before `end`.
Result<std::uint64_t> find_chunk_at_or_after(const ByteSource& source, std::uint64_t pos,
                                             std::uint64_t end, Cancel* cancel = nullptr);

}  // namespace qn
