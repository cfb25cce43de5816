#include "parse/parse_job.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "lines/line_reader.hpp"
#include "stream/vocabulary.hpp"

namespace qn {
namespace {

using vocabulary::kBeginChunk;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
// About the bytes of one reflection row in the file.
constexpr double kBytesPerRow = 64.0;
// Touching rows whose cut could not be shown harmless before a unit gives up
// splitting (each check reads a few bytes of the file).
constexpr std::size_t kMaxFailedCutChecks = 16;
// The rest of a unit is not cut when it is at most this share over one piece.
constexpr double kLeastRest = 0.5;
// The last pieces of a parse are down to this fraction of an even share.
constexpr double kTailSplit = 4.0;

std::size_t saturating_add_size(std::size_t a, std::int64_t v) noexcept {
  if (v <= 0) return a;
  const auto b = static_cast<std::uint64_t>(v);
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  return a > kMax - b ? kMax : a + static_cast<std::size_t>(b);
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
  return a > std::numeric_limits<std::int64_t>::max() - b ? std::numeric_limits<std::int64_t>::max()
                                                           : a + b;
}

// 1 for no threads or one, else 4 per thread, but never more than the rows.
std::uint64_t unit_target(std::size_t n_rows, std::uint64_t n_threads) noexcept {
  if (n_threads < 2) return 1;
  const std::uint64_t per_thread = n_threads > kU64Max / 4 ? kU64Max : 4 * n_threads;
  return std::min<std::uint64_t>(std::max<std::size_t>(n_rows, 1), per_thread);
}

// What a row weighs when the units are formed: its reflection rows, at least 1.
std::int64_t row_weight(const ChunkRow& r) noexcept {
  return r.n_obs_upper >= 1 ? r.n_obs_upper : 1;
}

// What a row costs to parse: its reflection rows plus its bytes over the size of a
// typical reflection row, so that chunks of long peak lists or other text weigh
// what they cost too. Used only where splitting a unit changes nothing.
double row_cost(const ChunkRow& r) noexcept {
  const double bytes =
      r.end > r.start ? static_cast<double>(r.end) - static_cast<double>(r.start) : 0.0;
  return static_cast<double>(row_weight(r)) + bytes / kBytesPerRow;
}

// Adds a row to a unit: its range joins the unit's last one when it starts where
// that one ends, and its counts go into the hints.
void add_row(WorkUnit& unit, const ChunkRow& r) {
  const auto start = static_cast<std::uint64_t>(r.start);
  const auto end = static_cast<std::uint64_t>(r.end);
  if (!unit.ranges.empty() && unit.ranges.back().end == start) {
    unit.ranges.back().end = end;
  } else {
    unit.ranges.push_back(ByteRange{start, end});
  }
  unit.hints.observations = saturating_add_size(unit.hints.observations, r.n_obs_upper);
  unit.hints.crystals = saturating_add_size(unit.hints.crystals, r.n_crystals);
  unit.hints.images += 1;
}

// Whether the text of a unit may be cut between `before` and the row `next` without
// changing what it parses to. Rows that do not touch are separate ranges anyway. A
// touching row qualifies when it starts a line that is a "Begin chunk" line: every
// parser state meets that line by closing what it had open exactly as the end of a
// range does, and then goes on from the state in which a new range begins.
bool cut_is_unseen(const ByteSource& source, const ChunkRow& before, const ChunkRow& next) {
  if (next.start != before.end) return true;
  if (next.start <= 0) return false;
  std::array<char, 1 + kBeginChunk.size()> head{};
  const auto got = source.read_at(static_cast<std::uint64_t>(next.start) - 1, head.data(),
                                  head.size());
  if (!got || *got != head.size()) return false;
  return head[0] == '\n' && std::string_view(head.data() + 1, kBeginChunk.size()) == kBeginChunk;
}

// The column number `index` of `columns`, which the caller knows to hold T.
template <class T>
Buffer<T>* column_at(Columns& columns, std::size_t index) {
  Buffer<T>* found = nullptr;
  std::size_t k = 0;
  columns.for_each_numeric([&](std::string_view, auto& buffer, int, Level) {
    if constexpr (std::is_same_v<std::remove_reference_t<decltype(buffer)>, Buffer<T>>) {
      if (k == index) found = &buffer;
    }
    ++k;
  });
  return found;
}

// Joins column `index` of the parts in `out`, whose storage holds part i's slice at
// element starts[i] * width (see merge_units()).
template <class T>
void join_in_place(Buffer<T>& out, std::vector<UnitResult>& parts, std::size_t index,
                   std::span<const RowCounts> starts, std::size_t width, Level level) {
  bool in_place = true;
  std::size_t total = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Buffer<T>* src = column_at<T>(parts[i].columns, index);
    total += src->size();
    in_place = in_place && src->data() == out.data() + starts[i].at(level) * width;
  }
  if (!in_place) {
    // A part outgrew its slice: copy every part, reading the others where they lie.
    Buffer<T> joined(total);
    for (UnitResult& p : parts) {
      Buffer<T>* src = column_at<T>(p.columns, index);
      joined.append(src->data(), src->size());
      *src = Buffer<T>();
    }
    out = std::move(joined);
    return;
  }
  // Every part before a slice filled no more than its own slice: moving the parts
  // down in order never overwrites one not yet moved.
  std::size_t pos = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    Buffer<T>* src = column_at<T>(parts[i].columns, index);
    const std::size_t from = starts[i].at(level) * width;
    if (from != pos && src->size() > 0) {
      std::memmove(out.data() + pos, out.data() + from, src->size() * sizeof(T));
    }
    pos += src->size();
    *src = Buffer<T>();
  }
  out.truncate(pos);
}

template <class T>
void concatenate(Buffer<T>& out, std::vector<UnitResult>& parts, std::size_t index) {
  std::size_t total = 0;
  for (auto& p : parts) total += column_at<T>(p.columns, index)->size();
  out.reserve(total);
  for (auto& p : parts) {
    Buffer<T>* src = column_at<T>(p.columns, index);
    out.append(src->data(), src->size());
    *src = Buffer<T>();
  }
}

}  // namespace

std::vector<WorkUnit> form_work_units(std::span<const ChunkRow> rows, std::uint64_t n_threads) {
  std::vector<WorkUnit> units;
  const std::size_t n = rows.size();
  if (n == 0) return units;
  const std::uint64_t target = unit_target(n, n_threads);
  std::int64_t total_weight = 0;
  for (const ChunkRow& r : rows) total_weight = saturating_add(total_weight, row_weight(r));
  const double threshold =
      std::max(static_cast<double>(total_weight) / static_cast<double>(target), 1.0);

  WorkUnit open;
  double accumulated = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    add_row(open, rows[i]);
    accumulated += static_cast<double>(row_weight(rows[i]));
    if (accumulated >= threshold && i + 1 < n && units.size() + 1 < target) {
      units.push_back(std::move(open));
      open = WorkUnit{};
      accumulated = 0.0;
    }
  }
  if (!open.ranges.empty()) units.push_back(std::move(open));
  return units;
}

std::vector<WorkUnit> split_units(const ByteSource& source, std::span<const ChunkRow> rows,
                                  std::span<const WorkUnit> units, std::uint64_t n_threads) {
  if (n_threads < 2) return {units.begin(), units.end()};
  std::vector<WorkUnit> pieces;
  // cost_before[i]: the cost of rows 0 .. i-1.
  std::vector<double> cost_before(rows.size() + 1, 0.0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    cost_before[i + 1] = cost_before[i] + row_cost(rows[i]);
  }
  const double total_cost = cost_before.back();
  // The largest piece: about the size an even split into as many units would give.
  const double largest =
      std::max(total_cost / static_cast<double>(unit_target(rows.size(), n_threads)), 1.0);
  const double smallest = std::max(largest / kTailSplit, 1.0);
  const double threads = static_cast<double>(n_threads);
  // The pieces are taken in order, so the last ones decide how long a thread waits
  // for the others at the end: a piece aims at the cost left from where it starts
  // over twice the threads, kept between the smallest and the largest size.
  auto target = [&](double at) {
    return std::clamp((total_cost - at) / (2.0 * threads), smallest, largest);
  };

  std::size_t first = 0;  // the unit's first row
  for (const WorkUnit& unit : units) {
    const std::size_t last = first + unit.hints.images;  // one image per row
    const double unit_end = cost_before[last];
    std::size_t failed_checks = 0;
    WorkUnit open;
    double piece_start = cost_before[first];
    for (std::size_t i = first; i < last; ++i) {
      add_row(open, rows[i]);
      const double at = cost_before[i + 1];
      const double aim = target(piece_start);
      if (i + 1 == last || at - piece_start < aim) continue;
      // What is left of the unit stays one piece when it is close to one piece.
      if (unit_end - piece_start <= (1.0 + kLeastRest) * aim) continue;
      if (failed_checks >= kMaxFailedCutChecks) continue;
      if (!cut_is_unseen(source, rows[i], rows[i + 1])) {
        ++failed_checks;
        continue;
      }
      pieces.push_back(std::move(open));
      open = WorkUnit{};
      piece_start = at;
    }
    pieces.push_back(std::move(open));
    first = last;
  }
  return pieces;
}

Result<UnitResult> merge_units(std::vector<UnitResult>&& parts, Pool* pool, Cancel* cancel,
                               Columns* whole, std::span<const RowCounts> slice_starts) {
  if (whole == nullptr) {
    if (parts.empty()) return UnitResult{Columns{}, Report{}};
    if (parts.size() == 1) return std::move(parts.front());
  } else if (slice_starts.size() != parts.size()) {
    return Error::with_message(ErrorKind::kPanic, "a slice start for every part is needed");
  }

  UnitResult out{whole != nullptr ? std::move(*whole) : Columns{}, Report{}};
  std::uint32_t crystals = 0;
  std::uint32_t images = 0;
  std::size_t n_images = 0;
  for (UnitResult& p : parts) {
    out.report.merge(p.report);
    // Ids are 32-bit like their columns; the shift wraps the same way.
    if (crystals != 0) {
      for (std::size_t i = 0; i < p.columns.crystal_id.size(); ++i) {
        p.columns.crystal_id[i] = static_cast<std::int32_t>(
            static_cast<std::uint32_t>(p.columns.crystal_id[i]) + crystals);
      }
    }
    if (images != 0) {
      for (std::size_t i = 0; i < p.columns.image_id.size(); ++i) {
        p.columns.image_id[i] =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(p.columns.image_id[i]) + images);
      }
    }
    crystals += static_cast<std::uint32_t>(p.columns.n_refl.size());
    images += static_cast<std::uint32_t>(p.columns.beam_energy.size());
    n_images += p.columns.filenames.size();
  }

  // Strings are moved, not copied.
  out.columns.filenames.reserve(n_images);
  out.columns.events.reserve(n_images);
  out.columns.image_lines.reserve(n_images);
  out.columns.crystal_blocks.reserve(2 * static_cast<std::size_t>(crystals));
  for (UnitResult& p : parts) {
    for (auto& s : p.columns.filenames) out.columns.filenames.push_back(std::move(s));
    for (auto& s : p.columns.events) out.columns.events.push_back(std::move(s));
    p.columns.filenames = {};
    p.columns.events = {};
    out.columns.image_lines.append(p.columns.image_lines.data(), p.columns.image_lines.size());
    out.columns.crystal_blocks.append(p.columns.crystal_blocks.data(),
                                      p.columns.crystal_blocks.size());
    p.columns.image_lines = {};
    p.columns.crystal_blocks = {};
  }

  // Every column is independent of the others: join them in parallel, on no more
  // threads than the parse itself used.
  auto joined = parallel_map<bool>(
      pool, kNumericColumnCount,
      [&](std::size_t index) -> Result<bool> {
        if (stop_requested(cancel)) return Cancel::error();
        std::size_t k = 0;
        out.columns.for_each_numeric(
            [&](std::string_view, auto& buffer, std::size_t width, Level level) {
              if (k++ != index) return;
              using T = std::remove_pointer_t<decltype(buffer.data())>;
              if (whole != nullptr) {
                join_in_place<T>(buffer, parts, index, slice_starts, width, level);
              } else {
                concatenate<T>(buffer, parts, index);
              }
            });
        return true;
      },
      parts.size());
  if (!joined) return std::move(joined).error();
  return out;
}

Result<UnitResult> parse_rows(const ByteSource& source, std::span<const ChunkRow> rows,
                              const PanelMap& panels, std::uint64_t n_threads, Pool* pool,
                              Cancel* cancel) {
  if (rows.empty()) return UnitResult{Columns{}, Report{}};
  const std::uint64_t size = source.size();
  // The units decide what is parsed as one text; their pieces are only a finer
  // schedule of the same work and join to the same result.
  const std::vector<WorkUnit> units =
      split_units(source, rows, form_work_units(rows, n_threads), n_threads);
  const std::size_t n_units = units.size();
  // Several units fill slices of one set of columns, sized by their hints, so the
  // joined result is allocated once, each part of it first touched by the thread
  // that parses into it, and nothing is copied when the hints were exact.
  std::vector<RowCounts> starts(n_units);
  Columns whole;
  if (n_units > 1) {
    RowCounts total;
    for (std::size_t i = 0; i < n_units; ++i) {
      const RowCounts rows_of_unit = clamp_hints(units[i].hints, units[i].ranges, size);
      starts[i] = total;
      total.observations += rows_of_unit.observations;
      total.crystals += rows_of_unit.crystals;
      total.images += rows_of_unit.images;
    }
    whole.resize_rows_uninitialized(total);
  }
  // Each thread reads every unit it takes through one reader of its own, so that its
  // buffer is allocated and first touched once, not once per unit.
  std::vector<std::optional<LineReader>> readers(parallel_workers(pool, n_units));
  const auto parse_piece = [&](std::size_t i, std::size_t worker) -> Result<UnitResult> {
    if (n_units == 1) {
      return parse_unit(source, units[i].ranges, panels, units[i].hints, cancel);
    }
    const RowCounts end =
        i + 1 < n_units ? starts[i + 1]
                        : RowCounts{whole.n_observations(), whole.n_crystals(), whole.n_images()};
    const RowCounts rows_of_unit{end.observations - starts[i].observations,
                                 end.crystals - starts[i].crystals,
                                 end.images - starts[i].images};
    std::optional<LineReader>& reader = readers[worker];
    if (!reader) reader.emplace(source, 0, 0, cancel);
    return parse_unit_into(Columns::slice_of(whole, starts[i], rows_of_unit), source,
                           units[i].ranges, panels, cancel, &*reader);
  };
  QN_ASSIGN_OR_RETURN(std::vector<UnitResult> parts,
                      parallel_map<UnitResult>(pool, n_units, parse_piece));
  readers.clear();  // their buffers are not needed for the merge
  QN_ASSIGN_OR_RETURN(UnitResult out,
                      n_units > 1 ? merge_units(std::move(parts), pool, cancel, &whole, starts)
                                  : merge_units(std::move(parts), pool, cancel));
  // A row past the end (the file shrank since it was indexed) yields no line at
  // all; it still stands for an image that could not be read.
  for (const ChunkRow& r : rows) {
    if (static_cast<std::uint64_t>(r.start) >= size && r.end > r.start) {
      out.report.record(Reason::kImageTruncated, static_cast<std::uint64_t>(r.start));
    }
  }
  return out;
}

Result<UnitResult> parse_rows(const std::string& path, std::span<const ChunkRow> rows,
                              const PanelMap& panels, std::uint64_t n_threads, Pool* pool,
                              Cancel* cancel) {
  if (rows.empty()) return UnitResult{Columns{}, Report{}};
  QN_ASSIGN_OR_RETURN(const FileSource source, FileSource::open(path));
  return parse_rows(source, rows, panels, n_threads, pool, cancel);
}

}  // namespace qn
