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
// bytes: in the writer's fixed columns, else with the fields searched for; they
// are decoded only when both readers give up.
#include "parse/chunk_parser.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "lines/line_reader.hpp"
#include "parse/fixed_row.hpp"
#include "parse/utf8_decode.hpp"
#include "pystr/numbers.hpp"
#include "pystr/white_space.hpp"
#include "stream/vocabulary.hpp"

namespace qn {
namespace {

using namespace vocabulary;

constexpr double kDefaultProfileRadius = 0.04;  // nm^-1
constexpr float kNoResolution = 999.0f;

}  // namespace

void Parser::handle_line(std::string_view bytes, std::uint64_t at, std::string& decoded) {
  switch (state_) {
    case State::kReflections: {
      // No marker line is read as a row here: a marker starts with a letter or
      // with "--", where a row needs a digit after at most one sign.
      ReflectionValues row;
      if (read_reflection_row_fixed(bytes, row) || read_reflection_row_ascii(bytes, row)) {
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
    default: break;
  }
  handle(decode_utf8_lossy(bytes, decoded), at);
}

std::size_t Parser::take_fixed_rows(std::string_view bytes, std::size_t starts) {
  if (state_ != State::kReflections) return 0;
  // A row in the layout has no line feed in its first 73 bytes and ends within
  // kFixedRowMaxBytes (carriage returns before its line feed aside), so its line
  // feed is looked for from byte 73 on, in the next 32 bytes. Where that finds a
  // line feed that does not end a row in the layout, the row reader refuses the
  // line (a line feed in its first 73 bytes breaks the layout), and the line is left
  // to handle_line().
  constexpr std::size_t kFrom = kFixedRowMinBytes - 1;
  constexpr std::size_t kWindow = 32;
  const char* const data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t at = 0;
  ReflectionValues row;
  // The rows go straight into the columns while they have room; the line after
  // the room is used up is left to handle_line(), which grows them.
  const Columns::ObservationSlots slots = columns_.observation_slots();
  std::size_t n = 0;
  while (at < starts && size - at >= kFrom + kWindow && n < slots.room) {
    const char* const p = data + at;
    const char* const nl = find_line_feed(p + kFrom, kWindow);
    if (nl == nullptr) break;
    const auto stop = static_cast<std::size_t>(nl - p);
    std::size_t len = stop;
    while (len > 0 && p[len - 1] == '\r') --len;
    if (!read_reflection_row_fixed(std::string_view(p, len), row)) break;
    slots.put(n++, observation_row(row));
    at += stop + 1;
  }
  columns_.commit_observations(n);
  return at;
}

void Parser::handle(std::string_view text, std::uint64_t at) {
  switch (state_) {
    case State::kSeekImage: seek_image(text, at); return;

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
      close_block(at);  // the line after a crystal's "--- End crystal"
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
        close_block(at);
        seek_image(text, at);
      } else if (text.starts_with(kEndCrystal)) {
        state_ = State::kAfterPeaks;  // the block ends with this line: at the next one
      } else if (text.starts_with(kBeginCrystal)) {
        // A missing "--- End crystal" must not cost the next crystal.
        close_block(at);
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
  if (eq == std::string_view::npos ||
      !collect_numbers(text.substr(eq + 1), vectors_[vector_index_])) {
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
    for (std::size_t hit; (hit = y_text.find("mm", from)) != std::string_view::npos;
         from = hit + 2) {
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
  columns_.append_observation(observation_row(values));
}

ObservationRow Parser::observation_row(const ReflectionValues& values) const noexcept {
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
  return row;
}

void Parser::commit_image() {
  ImageRow row{};
  row.beam_energy = static_cast<float>(photon_energy_.take(0.0, report_));
  row.n_peaks = peak_count_.take(0, report_);
  row.camera_length = static_cast<float>(camera_length_.take(0.0, report_));
  columns_.append_image(row, std::move(filename_), std::move(event_));
  columns_.image_lines.push_back(static_cast<std::int64_t>(image_line_));
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
  const std::int64_t block[2] = {static_cast<std::int64_t>(crystal_line_), 0};
  columns_.crystal_blocks.append(block, 2);
  block_open_ = true;
  if (det_shift_) {
    columns_.set_det_shift(image_index_, static_cast<float>(det_shift_->first),
                           static_cast<float>(det_shift_->second));
  }
}

void Parser::finish(std::uint64_t end) {
  close_block(end);
  switch (state_) {
    case State::kExpectEvent: report_.record(Reason::kImageTruncated, image_line_); break;
    case State::kImageHeader: commit_image(); break;
    case State::kReflections: columns_.truncate_observations(reflection_start_); [[fallthrough]];
    case State::kCellLine:
    case State::kVectors:
    case State::kCrystalHeader:
    case State::kReflectionHeader: report_.record(Reason::kCrystalTruncated, crystal_line_); break;
    default: break;
  }
  if (open_chunk_ && !image_seen_) report_.record(Reason::kChunkNoImage, *open_chunk_);
}

}  // namespace qn
