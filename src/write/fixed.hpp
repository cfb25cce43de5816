// Fixed-point text of floating-point values, exact and correctly rounded.
//
// The digits are those of std::to_chars(..., chars_format::fixed, precision): the
// exact binary value rounded to `precision` decimals with ties to even, a "-" for
// every negative value including negative zero, never an exponent. Functions write
// at `out`, which must have the stated room, and return the end of what they wrote.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace qn {

/// Most decimals write_fixed() accepts.
inline constexpr int kMaxFastPrecision = 7;
/// Room write_fixed() needs: sign, 39 integer digits (FLT_MAX), point, 7 decimals.
inline constexpr std::size_t kMaxFloatFixedChars = 48;
/// Room write_fixed_double() needs for `precision` decimals: sign, 309 digits, point.
constexpr std::size_t max_double_fixed_chars(int precision) noexcept {
  return 311 + static_cast<std::size_t>(precision);
}

inline constexpr double kTwo52 = 4503599627370496.0;  // 2^52

/// Rounds a value in [0, 2^52) to the nearest integer, ties to even. On x86-64 this
/// is the one conversion instruction that rounds by the current rounding mode (ties
/// to even by default, and nothing here changes it). Elsewhere: adding 2^52 moves
/// the value to where doubles are spaced exactly 1 apart, so the addition itself
/// rounds to an integer under the same default mode (2^52 is even); subtracting 2^52
/// back is exact. Neither needs a library call or a branch.
inline std::uint64_t round_half_even_below_2_52(double a) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
  return static_cast<std::uint64_t>(_mm_cvtsd_si64(_mm_set_sd(a)));
#else
  return static_cast<std::uint64_t>(static_cast<std::int64_t>((a + kTwo52) - kTwo52));
#endif
}

/// Writes a float32 value in fixed notation with 0..7 decimals. Infinities give
/// "inf" and "-inf"; NaN gives to_chars' text ("nan" or "-nan").
char* write_fixed(char* out, float value, int precision) noexcept;

/// write_fixed() padded on the left to `width` (0: no padding), with NaN written as
/// "nan" (room for kMaxFloatFixedChars and `width` bytes).
char* write_fixed_field(char* out, float value, int precision, std::size_t width = 0) noexcept;

/// The same for any double, through std::to_chars.
char* write_fixed_double(char* out, double value, int precision) noexcept;

/// Writes `value` in decimal, with a "-" when negative (at most 20 characters).
char* write_int(char* out, std::int64_t value) noexcept;

/// Shifts the text [start, end) right so that it ends `width` bytes after `start`,
/// filling the gap with spaces, when it is shorter than `width`; longer text stays
/// as it is. Needs room for `width` bytes at `start`. Returns the new end.
char* pad_left(char* start, char* end, std::size_t width) noexcept;

}  // namespace qn
