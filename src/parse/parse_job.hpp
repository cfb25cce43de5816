// The parse of a list of chunk rows: balanced work units, parsed in parallel and
// joined in order with crystal and image ids renumbered across units.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "base/result.hpp"
#include "parse/parse_unit.hpp"

namespace qn {

/// One row of the chunk array as given by the caller (values not yet trusted).
struct ChunkRow {
  std::int64_t start, end, n_crystals, n_obs_upper;
};

/// A run of consecutive rows: their byte ranges (touching rows joined into one
/// range) and the capacity hints summed over them.
struct WorkUnit {
  std::vector<ByteRange> ranges;
  CapacityHints hints{0, 0, 0};
};

/// Cuts the rows into at most min(max(N, 1), 4 * n_threads) units (one unit when
/// n_threads < 2): walking the rows in order, a unit closes once its weight reaches
/// the total weight over that count, a row weighing its n_obs_upper (at least 1);
/// the last row never closes a unit and the last unit takes what is left. A unit is
/// parsed as one text, so this choice is part of the result whenever touching rows
/// do not begin and end at chunk boundaries. Hint sums saturate instead of
/// overflowing. No unit for no rows.
std::vector<WorkUnit> form_work_units(std::span<const ChunkRow> rows, std::uint64_t n_threads);

/// The units of `rows` (form_work_units()) cut into pieces of more even cost, a row
/// costing its n_obs_upper plus its bytes over 64, only between rows where the cut
/// cannot change the parse: rows that do not touch, or a touching row whose start,
/// read from `source`, is the start of a "Begin chunk" line. Parsing the pieces and
/// joining them in order gives what the units give. Pieces shrink towards the end of
/// the rows (down to a quarter of an even share), so that the threads finish close
/// together; with n_threads < 2 the units are returned whole.
std::vector<WorkUnit> split_units(const ByteSource& source, std::span<const ChunkRow> rows,
                                  std::span<const WorkUnit> units, std::uint64_t n_threads);

/// Joins unit results in order: reports merged, ids shifted by the crystals and
/// images of the preceding units, every column concatenated (columns in parallel
/// when a pool is given). Each unit's buffer is freed once copied. `cancel` is
/// visited before each column.
///
/// With `whole`, the units were parsed into its slices, unit i's starting at rows
/// `slice_starts[i]` (Columns::slice_of()), and the result's columns are whole's: in
/// each column the units' rows are moved together where they lie, which moves
/// nothing while every unit before filled its slice; a column in which a unit
/// outgrew its slice is joined by copying.
Result<UnitResult> merge_units(std::vector<UnitResult>&& parts, Pool* pool,
                               Cancel* cancel = nullptr, Columns* whole = nullptr,
                               std::span<const RowCounts> slice_starts = {});

/// Forms the units, parses them (in pieces, in parallel with a pool) and merges them. Each row
/// that starts at or past the source's end while asking for bytes is reported as an
/// image_truncated at its start. Every read visits `cancel`; once it says stop, the
/// call ends with Cancel::error().
Result<UnitResult> parse_rows(const ByteSource& source, std::span<const ChunkRow> rows,
                              const PanelMap& panels, std::uint64_t n_threads, Pool* pool,
                              Cancel* cancel = nullptr);

/// parse_rows() of the file at `path`, whose size is taken once, when it is opened
/// (not at all for no rows); nothing past it is read.
Result<UnitResult> parse_rows(const std::string& path, std::span<const ChunkRow> rows,
                              const PanelMap& panels, std::uint64_t n_threads, Pool* pool,
                              Cancel* cancel = nullptr);

}  // namespace qn
