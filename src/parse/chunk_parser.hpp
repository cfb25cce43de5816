// Parser: the chunk parser's state machine over the lines of one byte range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "parse/columns.hpp"
#include "parse/panel_lookup.hpp"
#include "parse/reflection_row.hpp"
#include "parse/report.hpp"
#include "parse/value_rules.hpp"

namespace qn {

// The state of one byte range. It writes into the unit's columns and report and
// owns nothing but the texts of the image being read.
class Parser {
 public:
  Parser(Columns& columns, Report& report, const PanelLookup& panels, std::string& scratch)
      : columns_(columns), report_(report), panels_(panels), scratch_(scratch) {}

  /// Handles the raw bytes of one line starting at file offset `at`, decoding
  /// them into `decoded` where the text is needed.
  void handle_line(std::string_view bytes, std::uint64_t at, std::string& decoded);
  /// Inside a reflection list, handles the rows at the front of `bytes` that are in
  /// the fixed-column layout (read_reflection_row_fixed()), each a line that begins
  /// within the first `starts` bytes and ends at a line feed; stops at the first
  /// other line. Returns the number of bytes used, up to just past the last line feed
  /// taken. What it takes is handled exactly as handle_line() would handle it.
  std::size_t take_fixed_rows(std::string_view bytes, std::size_t starts);

  /// Handles one decoded line starting at file offset `at`.
  void handle(std::string_view text, std::uint64_t at);
  /// Ends the range, whose last byte read is just before `end`: commits or drops
  /// what is still open.
  void finish(std::uint64_t end);

 private:
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
  // The stored row of a reflection of the current crystal.
  [[nodiscard]] ObservationRow observation_row(const ReflectionValues& values) const noexcept;
  void commit_image();
  void commit_crystal();
  // The committed crystal's block ends where the line at `at` begins.
  void close_block(std::uint64_t at) noexcept {
    if (!block_open_) return;
    columns_.crystal_blocks[columns_.crystal_blocks.size() - 1] = static_cast<std::int64_t>(at);
    block_open_ = false;
  }

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
  bool block_open_ = false;  // the last committed crystal's block end is not known yet
};

}  // namespace qn
