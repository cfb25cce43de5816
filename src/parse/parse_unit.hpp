// parse_unit: reads the chunks inside a list of byte ranges of a stream file
// into one Columns and one Report.
//
// Reading is tolerant: nothing in the content of the file is an error. Lines
// that match no rule are skipped; rows, crystals and images that cannot be read
// whole are left out and counted in the Report. Only I/O failures end a unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/result.hpp"
#include "lines/line_reader.hpp"
#include "parse/columns.hpp"
#include "parse/report.hpp"

namespace qn {

/// A half-open range [start, end) of file offsets.
struct ByteRange {
  std::uint64_t start;
  std::uint64_t end;
};

/// Expected row counts of a unit, used only to size its buffers up front.
using CapacityHints = RowCounts;

/// Hashes std::string keys and std::string_view probes alike, so looking a
/// panel name up needs no temporary string. Panel names are short, so an
/// inline FNV-1a beats the library's general-purpose byte hash.
struct PanelNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    std::uint64_t h = 14695981039346656037ULL;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return static_cast<std::size_t>(h);
  }
};

/// Panel name (compared exactly) to panel_id.
using PanelMap = std::unordered_map<std::string, std::int16_t, PanelNameHash, std::equal_to<>>;

struct UnitResult {
  Columns columns;
  Report report;
};

/// Parses the byte ranges of `source`, in order, each with a fresh parser state.
/// `crystal_id` and `image_id` of the result count from 0 within the unit. The
/// hints size the column buffers, never beyond what the ranges could hold.
/// Returns the error of a read, or Cancel::error() when `cancel` said stop before one.
Result<UnitResult> parse_unit(const ByteSource& source, std::span<const ByteRange> ranges,
                              const PanelMap& panels, CapacityHints hints,
                              Cancel* cancel = nullptr);

/// The row counts parse_unit() sizes its columns for: the hints, but never more rows
/// of a level than the readable bytes of `ranges` (up to `source_size`) could hold.
CapacityHints clamp_hints(CapacityHints hints, std::span<const ByteRange> ranges,
                          std::uint64_t source_size);

/// As parse_unit(), but into `columns` (empty; a slice of a joined result, see
/// Columns::slice_of()) instead of columns sized from hints. `reader`, when given, is
/// a reader of `source` that is pointed at the ranges instead of a reader of the
/// unit's own, so that a thread parsing many units reads into one buffer.
Result<UnitResult> parse_unit_into(Columns columns, const ByteSource& source,
                                   std::span<const ByteRange> ranges, const PanelMap& panels,
                                   Cancel* cancel = nullptr, LineReader* reader = nullptr);

}  // namespace qn
