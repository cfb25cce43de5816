// Reading a reflection row in the column layout this library's writer uses.
//
// The writer puts every field of a reflection row in a fixed column: h, k and l
// right-aligned in four characters each, I, sigma(I), peak and background in ten
// with two decimals, fs in seven and ss in six with one decimal, one space
// between fields (none between background and fs), and the panel name from byte
// 73 on. Nearly every row of a stream that came from such a writer is in that
// layout, so the fields' places need not be searched for: the reader checks that
// each byte is what the layout allows where it stands and converts the numbers at
// their known places. Anything else (a wider number that shifts the row, an
// exponent, "nan", a tab, non-ASCII bytes) makes it give up, and the caller asks
// the other readers (reflection_row.hpp).
#pragma once

#include <cstddef>
#include <string_view>

#include "parse/reflection_row.hpp"

namespace qn {

/// Byte classes of a row of up to kFixedRowMaxBytes bytes, one bit per byte.
struct FixedRowMasks {
  unsigned __int128 space = 0;  ///< " "
  unsigned __int128 digit = 0;  ///< "0" to "9"
  unsigned __int128 sign = 0;   ///< "+" or "-"
  unsigned __int128 minus = 0;  ///< "-"
  unsigned __int128 other = 0;  ///< below " " or above 0x7F
};

/// The shortest row in the layout: up to the space before the panel, and a panel
/// of one byte.
inline constexpr std::size_t kFixedRowMinBytes = 74;
/// Longer rows (panel names of more than 23 bytes) are left to the other readers.
inline constexpr std::size_t kFixedRowMaxBytes = 96;

/// Reads the row from the line's raw bytes. Returns true only when the line is in
/// the writer's layout with every number spelled plainly, the bytes up to the
/// panel's end are ASCII and the row is kept; `out` then holds exactly what
/// read_reflection_row gives for the decoded line. Returns false otherwise, with
/// `out` holding no meaningful value.
bool read_reflection_row_fixed(std::string_view bytes, ReflectionValues& out) noexcept;

/// The byte classes of p[0..n) for kFixedRowMinBytes <= n <= kFixedRowMaxBytes,
/// with SSE2 where the target has it.
FixedRowMasks fixed_row_masks(const unsigned char* p, std::size_t n) noexcept;
/// The same, a byte at a time.
FixedRowMasks fixed_row_masks_portable(const unsigned char* p, std::size_t n) noexcept;

}  // namespace qn
