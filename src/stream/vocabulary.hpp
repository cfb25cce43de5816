// The words of a stream: every marker line, the header keys that are read and
// written, and what separates fields. The index, the parser and the writer take
// them from here, so that what one writes the others recognise.
//
// Markers are prefixes: a line is a marker when it starts with one (a line that
// merely holds one elsewhere is not). Fields are separated by Python's white space
// (pystr/white_space.hpp), except in the index's row count, which counts ASCII
// white space only, as an upper bound.
#pragma once

#include <cstring>
#include <string_view>

namespace qn::vocabulary {

// Chunk (one per image) and its image header.
inline constexpr std::string_view kBeginChunk = "----- Begin chunk -----";
inline constexpr std::string_view kEndChunk = "----- End chunk -----";
inline constexpr std::string_view kImageFilename = "Image filename:";
inline constexpr std::string_view kEvent = "Event:";
inline constexpr std::string_view kPhotonEnergy = "photon_energy_eV";
inline constexpr std::string_view kCameraLength = "average_camera_length";
inline constexpr std::string_view kNumPeaks = "num_peaks";
// Peak list.
inline constexpr std::string_view kPeaksFromSearch = "Peaks from peak search";
inline constexpr std::string_view kEndOfPeakList = "End of peak list";
// Crystal and its keys.
inline constexpr std::string_view kBeginCrystal = "--- Begin crystal";
inline constexpr std::string_view kEndCrystal = "--- End crystal";
inline constexpr std::string_view kProfileRadius = "profile_radius";
inline constexpr std::string_view kResolutionLimit = "diffraction_resolution_limit";
inline constexpr std::string_view kDetShift = "det_shift";
// Reflection list: the marker, one heading line, rows, the end marker.
inline constexpr std::string_view kReflectionsMeasured = "Reflections measured after indexing";
inline constexpr std::string_view kEndOfReflections = "End of reflections";

/// True when `line` begins with `marker`.
inline bool starts_with(std::string_view line, std::string_view marker) noexcept {
  return line.size() >= marker.size() &&
         std::memcmp(line.data(), marker.data(), marker.size()) == 0;
}

/// True for a chunk's begin or end marker line. Looks at the length and the first
/// byte before comparing, since it is asked of nearly every line.
inline bool is_boundary(std::string_view line) noexcept {
  static_assert(kEndChunk.size() < kBeginChunk.size() && kEndChunk[0] == '-' &&
                kBeginChunk[0] == '-');
  return line.size() >= kEndChunk.size() && line[0] == '-' &&
         (starts_with(line, kBeginChunk) || starts_with(line, kEndChunk));
}

}  // namespace qn::vocabulary
