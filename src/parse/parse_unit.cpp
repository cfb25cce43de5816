// parse_unit: a fresh Parser per byte range, fed by one LineReader, into
// columns sized by the capacity hints (or into slices of a joined result).
#include "parse/parse_unit.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "lines/line_reader.hpp"
#include "parse/chunk_parser.hpp"
#include "parse/panel_lookup.hpp"
#include "stream/vocabulary.hpp"

namespace qn {
namespace {

using namespace vocabulary;

// The fewest bytes a row can take in the file. Capacity hints are capped at the
// rows the unit's bytes could hold, so a hint made up by a caller cannot
// reserve more than the input could ever fill.
constexpr std::uint64_t kMinReflectionBytes = 20;  // ten 1-byte fields, 9 separators, line feed
constexpr std::uint64_t kMinCrystalBytes = kBeginCrystal.size() + 1;
constexpr std::uint64_t kMinImageBytes = kBeginChunk.size() + 1;

// Bytes the ranges can actually yield: each range clipped to the source's size.
std::uint64_t readable_bytes(std::span<const ByteRange> ranges, std::uint64_t limit) {
  std::uint64_t total = 0;
  for (const ByteRange& r : ranges) {
    const std::uint64_t end = std::min(r.end, limit);
    if (end > r.start) total = std::min(UINT64_MAX - (end - r.start), total) + (end - r.start);
  }
  return total;
}

std::size_t clamp_hint(std::size_t hint, std::uint64_t bytes, std::uint64_t bytes_per_row) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(hint, bytes / bytes_per_row));
}

}  // namespace

CapacityHints clamp_hints(CapacityHints hints, std::span<const ByteRange> ranges,
                          std::uint64_t source_size) {
  const std::uint64_t bytes = readable_bytes(ranges, source_size);
  return CapacityHints{clamp_hint(hints.observations, bytes, kMinReflectionBytes),
                       clamp_hint(hints.crystals, bytes, kMinCrystalBytes),
                       clamp_hint(hints.images, bytes, kMinImageBytes)};
}

Result<UnitResult> parse_unit(const ByteSource& source, std::span<const ByteRange> ranges,
                              const PanelMap& panels, CapacityHints hints, Cancel* cancel) {
  const CapacityHints rows = clamp_hints(hints, ranges, source.size());
  return parse_unit_into(Columns::with_capacity(rows.observations, rows.crystals, rows.images),
                         source, ranges, panels, cancel);
}

Result<UnitResult> parse_unit_into(Columns columns, const ByteSource& source,
                                   std::span<const ByteRange> ranges, const PanelMap& panels,
                                   Cancel* cancel, LineReader* shared) {
  const ByteRange first = ranges.empty() ? ByteRange{0, 0} : ranges.front();
  std::optional<LineReader> own;
  if (shared != nullptr) {
    shared->reposition(first.start, first.end);
  } else {
    own.emplace(source, first.start, first.end, cancel);
  }
  LineReader& reader = shared != nullptr ? *shared : *own;
  UnitResult unit{std::move(columns), Report{}};
  unit.columns.prefault_observations();

  const PanelLookup lookup(panels);
  std::string decoded;  // a line with invalid UTF-8, after replacement
  std::string scratch;
  Line line;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i > 0) reader.reposition(ranges[i].start, ranges[i].end);
    Parser parser(unit.columns, unit.report, lookup, scratch);
    for (;;) {
      // Rows of a reflection list are taken straight from the reader's buffer while
      // they are in the fixed-column layout.
      const LineReader::Buffered held = reader.buffered();
      reader.skip(parser.take_fixed_rows(held.bytes, held.starts));
      QN_ASSIGN_OR_RETURN(const bool more, reader.next_line(line));
      if (!more) break;
      parser.handle_line(line.bytes, line.offset, decoded);
    }
    parser.finish(std::min(ranges[i].end, source.size()));
  }
  return unit;
}

}  // namespace qn
