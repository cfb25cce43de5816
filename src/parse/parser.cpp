// The chunk parser: a twelve-state machine over the lines of a byte range that
// appends rows to the unit's Columns and records exclusions in its Report.
//
// Markers are prefix tests on the line's decoded text. An image row is appended
// once its header is complete (at the peak list, its first crystal, a chunk
// boundary or the end of the range); a crystal row only on "End of reflections".
// Reflection rows go straight into the observation columns while the list is
// read and are cut back again if the crystal never reaches its end.
//
// Lines are decoded only where their text is used. Every marker is ASCII, and
// decoding changes nothing but non-ASCII bytes, so a marker test gives the same
// answer on the raw bytes; states that only test markers read the raw line.
// Reflection rows, nearly all of a stream, are first read straight from the raw
// bytes, and decoded only when that reader gives up.
#include "parse/parser.hpp"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <optional>

#include "lines/line_reader.hpp"
#include "parse/panel_lookup.hpp"
#include "parse/reflection_row.hpp"
#include "parse/utf8_decode.hpp"
#include "pystr/numbers.hpp"
#include "pystr/white_space.hpp"
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

constexpr double kDefaultProfileRadius = 0.04;  // nm^-1
constexpr float kNoResolution = 999.0f;

// The first field of str.split() over `text`, if there is one.
inline std::optional<std::string_view> first_field(std::string_view text) noexcept {
  PySplit split(text);
  std::string_view field;
  if (!split.next(field)) return std::nullopt;
  return field;
}

// Number rule (photon energy, camera length): integers are taken exactly when
// they fit in 64 bits; anything else goes through float().
std::optional<double> number_rule(std::string_view field) noexcept {
  const PyInt i = py_int(field);
  if (i.status == IntStatus::kOk) return static_cast<double>(i.value);
  double v;
  if (!py_float(field, v)) return std::nullopt;
  if (i.status == IntStatus::kOutOfRange && !std::isfinite(v)) return std::nullopt;
  return v;
}

// Count rule (peak count): an int32, also from a finite float truncated toward zero.
std::optional<std::int32_t> count_rule(std::string_view field) noexcept {
  constexpr double kMin = -2147483648.0, kMax = 2147483647.0;
  const PyInt i = py_int(field);
  if (i.status == IntStatus::kOk) {
    if (i.value < INT32_MIN || i.value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(i.value);
  }
  if (i.status == IntStatus::kOutOfRange) return std::nullopt;
  double v;
  if (!py_float(field, v) || !std::isfinite(v)) return std::nullopt;
  v = std::trunc(v);
  if (v < kMin || v > kMax) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

// Float rule (crystal values): float() of the field.
std::optional<double> float_rule(std::string_view field) noexcept {
  double v;
  if (!py_float(field, v)) return std::nullopt;
  return v;
}

// Takes the first K fields of `text` that float() accepts, skipping the others.
template <std::size_t K>
bool collect_numbers(std::string_view text, double (&out)[K]) noexcept {
  PySplit split(text);
  std::string_view field;
  double taken[K];
  std::size_t n = 0;
  while (n < K && split.next(field)) {
    if (py_float(field, taken[n])) ++n;
  }
  if (n < K) return false;
  std::copy(taken, taken + K, out);
  return true;
}

// A value read from a key line, kept until the image or crystal is committed.
// The last line for a key decides.
template <class T>
struct ValueSlot {
  enum class State : std::uint8_t { kAbsent, kValid, kInvalid };
  State state = State::kAbsent;
  T value{};
  std::uint64_t offset = 0;  // the line that set the slot

  void set(std::optional<T> v, std::uint64_t at) noexcept {
    state = v ? State::kValid : State::kInvalid;
    value = v.value_or(T{});
    offset = at;
  }
  void clear() noexcept { state = State::kAbsent; }

  // The value, or `fallback` when absent or invalid; an invalid value is
  // recorded, since it reaches a committed row.
  T take(T fallback, Report& report) const noexcept {
    if (state == State::kValid) return value;
    if (state == State::kInvalid) report.record(Reason::kKeyValue, offset);
    return fallback;
  }
};

enum class State : std::uint8_t {
  kSeekImage,         ///< outside an image: waiting for a chunk start or "Image filename:"
  kExpectEvent,       ///< the line after "Image filename:", which may give the event
  kImageHeader,       ///< image header key lines, until the peak list or a crystal
  kPeakList,          ///< peak rows (skipped) until "End of peak list"
  kAfterPeaks,        ///< between crystals: waiting for "--- Begin crystal"
  kCellLine,          ///< the line after "--- Begin crystal": the unit cell
  kVectors,           ///< the three reciprocal-vector lines a*, b*, c*
  kCrystalHeader,     ///< crystal key lines, until "Reflections measured after indexing"
  kReflectionHeader,  ///< the column heading of the reflection list (not examined)
  kReflections,       ///< reflection rows until "End of reflections"
  kCrystalDone,       ///< crystal committed: waiting for "--- End crystal"
  kCrystalRejected,   ///< crystal dropped: waiting for "--- End crystal"
};

// The state of one byte range. It writes into the unit's columns and report and
// owns nothing but the texts of the image being read.
class Parser {
 public:
  Parser(Columns& columns, Report& report, const PanelLookup& panels, std::string& scratch)
      : columns_(columns), report_(report), panels_(panels), scratch_(scratch) {}

  /// Handles the raw bytes of one line starting at file offset `at`, decoding
  /// them into `decoded` where the text is needed.
  void handle_line(std::string_view bytes, std::uint64_t at, std::string& decoded);
  /// Handles one decoded line starting at file offset `at`.
  void handle(std::string_view text, std::uint64_t at);
  /// Ends the range: commits or drops what is still open.
  void finish();

 private:
  void seek_image(std::string_view text, std::uint64_t at);
  void begin_crystal(std::uint64_t at) noexcept {
    crystal_line_ = at;
    state_ = State::kCellLine;
  }
  // A boundary line inside a crystal: the crystal and its rows are dropped.
  void truncate_crystal(std::string_view text, std::uint64_t at);
  void image_header_key(std::string_view text, std::uint64_t at);
  void cell_line(std::string_view text, std::uint64_t at);
  void vector_line(std::string_view text, std::uint64_t at);
  void crystal_key(std::string_view text, std::uint64_t at);
  void det_shift_line(std::string_view value, std::uint64_t at);
  void reflection_row(std::string_view text, std::uint64_t at);
  void append_observation(const ReflectionValues& row);
  void commit_image();
  void commit_crystal();

  Columns& columns_;
  Report& report_;
  const PanelLookup& panels_;
  std::string& scratch_;  // reused for the y text of detector-shift lines

  State state_ = State::kSeekImage;
  std::optional<std::uint64_t> open_chunk_;
  bool image_seen_ = false;
  std::string filename_;
  std::string event_;
  std::uint64_t image_line_ = 0;
  ValueSlot<double> photon_energy_;
  ValueSlot<double> camera_length_;
  ValueSlot<std::int32_t> peak_count_;
  std::size_t image_index_ = 0;
  std::int32_t crystals_in_image_ = 0;
  std::uint64_t crystal_line_ = 0;
  double cell_[6] = {};
  double vectors_[3][3] = {};
  int vector_index_ = 0;
  ValueSlot<double> profile_radius_;
  ValueSlot<double> resolution_;
  std::optional<std::pair<double, double>> det_shift_;
  std::size_t reflection_start_ = 0;
};

void Parser::handle_line(std::string_view bytes, std::uint64_t at, std::string& decoded) {
  switch (state_) {
    case State::kReflections: {
      // No marker line is read as a row here: a marker starts with a letter or
      // with "--", where a row needs a digit after at most one sign.
      ReflectionValues row;
      if (read_reflection_row_ascii(bytes, row)) {
        append_observation(row);
        return;
      }
      break;
    }
    case State::kPeakList:
    case State::kAfterPeaks:
    case State::kReflectionHeader:
    case State::kCrystalDone:
    case State::kCrystalRejected:
      // Marker tests only; a boundary line handled again in kSeekImage cannot
      // also be an "Image filename:" line, so no text is taken from it.
      handle(bytes, at);
      return;
    default:
      break;
  }
  handle(decode_utf8_lossy(bytes, decoded), at);
}

void Parser::handle(std::string_view text, std::uint64_t at) {
  switch (state_) {
    case State::kSeekImage:
      seek_image(text, at);
      return;

    case State::kExpectEvent:
      if (is_boundary(text)) {
        report_.record(Reason::kImageTruncated, image_line_);
        seek_image(text, at);
        return;
      }
      // The line is used up whether or not it is the event line.
      if (text.starts_with(kEvent)) {
        event_.assign(py_strip(text.substr(kEvent.size())));
      } else {
        event_.clear();
      }
      photon_energy_.clear();
      camera_length_.clear();
      peak_count_.clear();
      state_ = State::kImageHeader;
      return;

    case State::kImageHeader:
      if (text.starts_with(kPeaksFromSearch)) {
        commit_image();
        state_ = State::kPeakList;
      } else if (is_boundary(text)) {
        commit_image();
        seek_image(text, at);
      } else if (text.starts_with(kBeginCrystal)) {
        commit_image();
        begin_crystal(at);
      } else {
        image_header_key(text, at);
      }
      return;

    case State::kPeakList:
      if (is_boundary(text)) {
        seek_image(text, at);
      } else if (text.starts_with(kEndOfPeakList)) {
        state_ = State::kAfterPeaks;
      } else if (text.starts_with(kBeginCrystal)) {
        begin_crystal(at);
      }
      return;

    case State::kAfterPeaks:
      if (is_boundary(text)) {
        seek_image(text, at);
      } else if (text.starts_with(kBeginCrystal)) {
        begin_crystal(at);
      }
      return;

    case State::kCellLine:
      if (is_boundary(text)) {
        truncate_crystal(text, at);
      } else {
        cell_line(text, at);
      }
      return;

    case State::kVectors:
      if (is_boundary(text)) {
        truncate_crystal(text, at);
      } else {
        vector_line(text, at);
      }
      return;

    case State::kCrystalHeader:
      if (text.starts_with(kReflectionsMeasured)) {
        state_ = State::kReflectionHeader;
      } else if (is_boundary(text)) {
        truncate_crystal(text, at);
      } else {
        crystal_key(text, at);
      }
      return;

    case State::kReflectionHeader:
      if (is_boundary(text)) {
        truncate_crystal(text, at);
      } else {
        reflection_start_ = columns_.n_observations();
        state_ = State::kReflections;
      }
      return;

    case State::kReflections:
      if (text.starts_with(kEndOfReflections)) {
        commit_crystal();
        state_ = State::kCrystalDone;
      } else if (is_boundary(text)) {
        truncate_crystal(text, at);
      } else {
        reflection_row(text, at);
      }
      return;

    case State::kCrystalDone:
    case State::kCrystalRejected:
      if (is_boundary(text)) {
        seek_image(text, at);
      } else if (text.starts_with(kEndCrystal)) {
        state_ = State::kAfterPeaks;
      } else if (text.starts_with(kBeginCrystal)) {
        // A missing "--- End crystal" must not cost the next crystal.
        begin_crystal(at);
      }
      return;
  }
}

void Parser::seek_image(std::string_view text, std::uint64_t at) {
  state_ = State::kSeekImage;
  if (text.starts_with(kBeginChunk)) {
    if (open_chunk_ && !image_seen_) report_.record(Reason::kChunkNoImage, *open_chunk_);
    open_chunk_ = at;
    image_seen_ = false;
  } else if (text.starts_with(kImageFilename)) {
    image_seen_ = true;
    filename_.assign(py_strip(text.substr(kImageFilename.size())));
    image_line_ = at;
    state_ = State::kExpectEvent;
  }
}

void Parser::truncate_crystal(std::string_view text, std::uint64_t at) {
  if (state_ == State::kReflections) columns_.truncate_observations(reflection_start_);
  report_.record(Reason::kCrystalTruncated, crystal_line_);
  seek_image(text, at);
}

void Parser::image_header_key(std::string_view text, std::uint64_t at) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view key = py_strip(text.substr(0, eq));
  const bool photon = key == kPhotonEnergy;
  const bool camera = !photon && key == kCameraLength;
  const bool peaks = !photon && !camera && key == kNumPeaks;
  if (!photon && !camera && !peaks) return;
  const auto field = first_field(text.substr(eq + 1));
  if (!field) return;
  if (photon) {
    photon_energy_.set(number_rule(*field), at);
  } else if (camera) {
    camera_length_.set(number_rule(*field), at);
  } else {
    peak_count_.set(count_rule(*field), at);
  }
}

void Parser::cell_line(std::string_view text, std::uint64_t at) {
  if (collect_numbers(text, cell_)) {
    vector_index_ = 0;
    state_ = State::kVectors;
  } else {
    report_.record(Reason::kCrystalCell, at);
    state_ = State::kCrystalRejected;
  }
}

void Parser::vector_line(std::string_view text, std::uint64_t at) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos || !collect_numbers(text.substr(eq + 1), vectors_[vector_index_])) {
    report_.record(Reason::kCrystalVector, at);
    state_ = State::kCrystalRejected;
    return;
  }
  if (vector_index_ < 2) {
    ++vector_index_;
    return;
  }
  profile_radius_.clear();
  resolution_.clear();
  det_shift_.reset();
  state_ = State::kCrystalHeader;
}

void Parser::crystal_key(std::string_view text, std::uint64_t at) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view key = py_strip(text.substr(0, eq));
  const std::string_view value = py_strip(text.substr(eq + 1));
  if (key.find(kDetShift) != std::string_view::npos &&
      value.find("y =") != std::string_view::npos) {
    det_shift_line(value, at);
    return;
  }
  const bool radius = key == kProfileRadius;
  if (!radius && key != kResolutionLimit) return;
  const auto field = first_field(value);
  if (!field) return;
  (radius ? profile_radius_ : resolution_).set(float_rule(*field), at);
}

// The value reads "<x> y = <y> mm": x before the first "y =", y up to a second one.
void Parser::det_shift_line(std::string_view value, std::uint64_t at) {
  constexpr std::string_view kY = "y =";
  const std::size_t first = value.find(kY);
  const std::string_view x_text = value.substr(0, first);
  std::string_view y_text = value.substr(first + kY.size());
  y_text = py_strip(y_text.substr(0, y_text.find(kY)));

  // Every "mm" is removed before the y text is read, wherever it stands.
  if (y_text.find("mm") != std::string_view::npos) {
    scratch_.clear();
    std::size_t from = 0;
    for (std::size_t hit; (hit = y_text.find("mm", from)) != std::string_view::npos; from = hit + 2) {
      scratch_.append(y_text.substr(from, hit - from));
    }
    scratch_.append(y_text.substr(from));
    y_text = py_strip(scratch_);
  }

  double x, y;
  if (py_float(py_strip(x_text), x) && py_float(y_text, y)) {
    det_shift_.emplace(x, y);
  } else {
    report_.record(Reason::kDetShift, at);
  }
}

void Parser::reflection_row(std::string_view text, std::uint64_t at) {
  ReflectionValues row;
  if (const auto dropped = read_reflection_row(text, row)) {
    report_.record(*dropped, at);
    return;
  }
  append_observation(row);
}

void Parser::append_observation(const ReflectionValues& values) {
  ObservationRow row;
  for (int i = 0; i < 3; ++i) row.hkl[i] = values.hkl[i];
  row.I = static_cast<float>(values.measurements[0]);
  row.sigma = static_cast<float>(values.measurements[1]);
  row.peak = static_cast<float>(values.measurements[2]);
  row.background = static_cast<float>(values.measurements[3]);
  row.fs = static_cast<float>(values.measurements[4]);
  row.ss = static_cast<float>(values.measurements[5]);
  row.panel_id = panels_.find(values.panel);
  // The index the current crystal will get when it is committed.
  row.crystal_id = static_cast<std::int32_t>(columns_.n_crystals());
  columns_.append_observation(row);
}

void Parser::commit_image() {
  ImageRow row{};
  row.beam_energy = static_cast<float>(photon_energy_.take(0.0, report_));
  row.n_peaks = peak_count_.take(0, report_);
  row.camera_length = static_cast<float>(camera_length_.take(0.0, report_));
  columns_.append_image(row, std::move(filename_), std::move(event_));
  filename_.clear();
  event_.clear();
  photon_energy_.clear();
  camera_length_.clear();
  peak_count_.clear();
  image_index_ = columns_.n_images() - 1;
  crystals_in_image_ = 0;
}

void Parser::commit_crystal() {
  const double p = profile_radius_.take(kDefaultProfileRadius, report_);
  const double r = resolution_.take(0.0, report_);
  profile_radius_.clear();
  resolution_.clear();

  // The stream gives nanometres and nm^-1; the columns hold ångström units.
  CrystalRow row;
  for (int i = 0; i < 3; ++i) {
    row.cell[i] = static_cast<float>(cell_[i] * 10.0);
    row.cell[3 + i] = static_cast<float>(cell_[3 + i]);
    row.astar[i] = static_cast<float>(vectors_[0][i] / 10.0);
    row.bstar[i] = static_cast<float>(vectors_[1][i] / 10.0);
    row.cstar[i] = static_cast<float>(vectors_[2][i] / 10.0);
  }
  row.profile_rad = static_cast<float>(p / 10.0);
  row.resolution = r > 0.0 ? static_cast<float>(10.0 / r) : kNoResolution;  // NaN too
  row.n_refl = static_cast<std::int32_t>(columns_.n_observations() - reflection_start_);
  row.image_id = static_cast<std::int32_t>(image_index_);
  row.crystal_in_image = crystals_in_image_++;
  columns_.append_crystal(row);
  if (det_shift_) {
    columns_.set_det_shift(image_index_, static_cast<float>(det_shift_->first),
                           static_cast<float>(det_shift_->second));
  }
}

void Parser::finish() {
  switch (state_) {
    case State::kExpectEvent:
      report_.record(Reason::kImageTruncated, image_line_);
      break;
    case State::kImageHeader:
      commit_image();
      break;
    case State::kReflections:
      columns_.truncate_observations(reflection_start_);
      [[fallthrough]];
    case State::kCellLine:
    case State::kVectors:
    case State::kCrystalHeader:
    case State::kReflectionHeader:
      report_.record(Reason::kCrystalTruncated, crystal_line_);
      break;
    default:
      break;
  }
  if (open_chunk_ && !image_seen_) report_.record(Reason::kChunkNoImage, *open_chunk_);
}

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
                                   Cancel* cancel) {
  const ByteRange first = ranges.empty() ? ByteRange{0, 0} : ranges.front();
  LineReader reader(source, first.start, first.end, cancel);
  UnitResult unit{std::move(columns), Report{}};

  const PanelLookup lookup(panels);
  std::string decoded;  // a line with invalid UTF-8, after replacement
  std::string scratch;
  Line line;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i > 0) reader.reposition(ranges[i].start, ranges[i].end);
    Parser parser(unit.columns, unit.report, lookup, scratch);
    for (;;) {
      QN_ASSIGN_OR_RETURN(const bool more, reader.next_line(line));
      if (!more) break;
      parser.handle_line(line.bytes, line.offset, decoded);
    }
    parser.finish();
  }
  return unit;
}

}  // namespace qn
