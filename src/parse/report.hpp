// Report: what a parse left out or defaulted, per exclusion reason, with how
// often and the file offset of the first line concerned.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace qn {

/// The ten exclusion reasons, in their fixed reporting order.
enum class Reason : std::uint8_t {
  kReflectionShort,     ///< a reflection line has fewer than 10 fields
  kReflectionValue,     ///< h, k, l or a measurement of a reflection does not convert
  kReflectionHklRange,  ///< h, k or l lies outside the int16 range
  kCrystalCell,         ///< the cell line of a crystal holds fewer than six numbers
  kCrystalVector,       ///< a reciprocal-vector line is malformed
  kCrystalTruncated,    ///< a crystal ends before its "End of reflections" line
  kImageTruncated,      ///< an image ends right after its "Image filename:" line
  kChunkNoImage,        ///< a chunk has no "Image filename:" line
  kKeyValue,            ///< a header or crystal value is present but does not convert
  kDetShift,            ///< a detector-shift line's x or y does not convert
};

inline constexpr std::size_t kReasonCount = 10;

/// The reason names, indexed by Reason, as they appear in the Python report.
inline constexpr std::array<std::string_view, kReasonCount> kReasonNames = {
    "reflection_short", "reflection_value",  "reflection_hkl_range", "crystal_cell",
    "crystal_vector",   "crystal_truncated", "image_truncated",      "chunk_no_image",
    "key_value",        "det_shift"};

inline constexpr std::string_view reason_name(Reason reason) noexcept {
  return kReasonNames[static_cast<std::size_t>(reason)];
}

struct Report {
  static constexpr std::uint64_t kNoOffset = std::numeric_limits<std::uint64_t>::max();

  struct Entry {
    std::uint64_t count = 0;
    std::uint64_t first_offset = kNoOffset;  ///< smallest offset recorded
  };

  std::array<Entry, kReasonCount> entries{};

  /// Counts one occurrence of `reason` at the line starting at `offset`.
  void record(Reason reason, std::uint64_t offset) noexcept;
  /// Adds the counts of `other` and keeps the smaller first offsets.
  void merge(const Report& other) noexcept;

  [[nodiscard]] const Entry& operator[](Reason reason) const noexcept {
    return entries[static_cast<std::size_t>(reason)];
  }
  /// True when nothing was recorded.
  [[nodiscard]] bool empty() const noexcept;
};

}  // namespace qn
