// Line and field classification, 64 bytes at a time.
//
// Each block of 64 bytes becomes two bit masks, its line feeds and its white space
// (space and 0x09..0x0D); a field starts at every non-space byte whose predecessor
// is white space, so the starts of a block are nonspace & ~(nonspace << 1 | carry).
// The fields of a line are then the set start bits between two line-feed bits,
// counted with a population count. The masks are made with the widest vector
// instructions the processor has, chosen once at run time; the portable path serves
// every other processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qn {

/// One line feed found by a classification path (ClassifyFn).
struct LineEnd {
  std::uint32_t pos = 0;     ///< offset of the line feed in the bytes given
  std::uint32_t fields = 0;  ///< fields of the line it ends, its bytes in earlier calls included

  friend bool operator==(const LineEnd&, const LineEnd&) = default;
};

/// The line still open at the end of one call, handed to the next.
struct ClassifyCarry {
  std::uint32_t fields = 0;  ///< fields of the open line so far
  bool in_field = false;     ///< the last byte given belongs to a field

  friend bool operator==(const ClassifyCarry&, const ClassifyCarry&) = default;
};

/// A classification path: writes one LineEnd to `out` for each line feed in
/// [data, data + n), in order, and returns how many it wrote; `out` needs room for
/// one per line feed (n at most). `carry` comes in describing the bytes before
/// `data` and leaves describing all bytes given so far. A line's field count
/// saturates at 2^30. n must be below 2^32.
using ClassifyFn = std::size_t (*)(const char* data, std::size_t n, ClassifyCarry& carry,
                                   LineEnd* out);

enum class SimdPath { kPortable, kAvx2, kAvx512 };

/// "portable", "avx2" or "avx512".
const char* simd_path_name(SimdPath path) noexcept;
std::optional<SimdPath> simd_path_from_name(std::string_view name) noexcept;

/// True when `path` was compiled in and this processor (and its operating system)
/// runs it.
bool simd_path_supported(SimdPath path) noexcept;

/// The path for a QUILLON_SIMD value: that path when named and supported, otherwise
/// the widest supported one (`forced` null or unknown) or the widest supported one
/// below the path named.
SimdPath choose_simd_path(const char* forced) noexcept;

/// The function of `path`, or null when it is not supported here.
ClassifyFn classify_fn(SimdPath path) noexcept;

/// The path chosen once per process from QUILLON_SIMD and the processor.
SimdPath simd_path() noexcept;

/// The same result one byte at a time: the path of processors without vector
/// instructions, and the measure of the others in tests.
std::size_t classify_lines_bytewise(const char* data, std::size_t n, ClassifyCarry& carry,
                                    LineEnd* out) noexcept;

}  // namespace qn
