// The reflection row: the one line of a stream written once per observation, and so
// the line that decides how fast a stream is written.
//
//   "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel"
//   "   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0"
//
// Three integers of width 4, four fixed-2 values of width 10, fs fixed 1 width 7 and
// ss fixed 1 width 6, each followed by one space except the background, which the
// width of fs separates from fs (an fs value of 7 or more characters gets a space
// in front of it, or the two fields would run together and the row read back
// short). When every
// value fits its width, every field starts and ends at a constant column, so the
// fast path builds each field whole in a register, digits, padding spaces, sign and
// point together, and stores it with one or two writes: no per-field length, no
// padding moves, and no branch that depends on a value's sign or size (those vary
// from row to row and would be mispredicted). The integer fields come from a table.
// Rows with a value too wide for its field, or infinite, take the general path,
// which pads number by number and lets a long value push the rest of the row right.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "write/fixed.hpp"

namespace qn {

/// The numbers of one reflection row, as the observation columns hold them.
struct RowValues {
  std::int16_t h, k, l;
  float I, sigma, peak, background;  // NOLINT(readability-identifier-naming): the column's name
  float fs, ss;
};

/// Characters before the panel name when every field fits its width.
inline constexpr std::size_t kRowColumns = 73;
/// Most characters write_row_general() writes: 3 integers of at most 6 characters,
/// 6 float fields of at most 48 (sign, 39 integer digits, point, decimals), 9 spaces.
inline constexpr std::size_t kMaxRowChars = 3 * 6 + 6 * 48 + 9;

namespace row_detail {

// The tables below are hidden from the shared library's symbol table, so that code
// built position-independent reaches them directly rather than through the GOT
// (one load fewer for every field).

static_assert(std::endian::native == std::endian::little,
              "the row's fields are assembled in registers in memory order");

// "00" "01" ... "99": two digits per table read.
[[gnu::visibility("hidden")]] inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;

// The same pairs as 2-byte units, so that a pair is read at its index scaled by the
// addressing itself.
struct DigitPairs16 {
  std::uint16_t text[100];
};
constexpr DigitPairs16 make_digit_pairs16() noexcept {
  DigitPairs16 t{};
  for (int i = 0; i < 100; ++i) {
    t.text[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(kDigitPairs[2 * i]) |
                                           static_cast<unsigned char>(kDigitPairs[2 * i + 1]) << 8);
  }
  return t;
}
[[gnu::visibility("hidden")]] inline constexpr DigitPairs16 kDigitPairs16 = make_digit_pairs16();

constexpr std::uint32_t pow10_u32(int n) noexcept { return n == 0 ? 1 : 10 * pow10_u32(n - 1); }

// x with its low lane of B bits replaced by q = x / d and the lane above by x % d,
// where the value x sits in the low lane and its remainder fits one lane. As the
// two results never share a bit, q | (x - d * q) << B is also their sum, and that
// sum is (x << B) + q * (1 - d * 2^B) modulo 2^64: one multiplication for the
// remainder and the move together.
template <int B, std::uint64_t D>
constexpr std::uint64_t split_lanes(std::uint64_t x, std::uint64_t q) noexcept {
  return (x << B) + q * (std::uint64_t{1} - (D << B));
}

// The digits of n < 10^4 as byte values 0..9, the most significant in the lowest byte
// (first in memory). Divisions by 10 and 100 of all lanes at once, by multiplying
// and shifting: (x * 103) >> 10 == x / 10 for x < 179, and the lanes of 16 bits
// never carry into each other. Larger n give meaningless bytes.
constexpr std::uint64_t digits4(std::uint32_t n) noexcept {
  const std::uint64_t pairs = split_lanes<16, 100>(n, n / 100);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000FULL;
  return split_lanes<8, 10>(pairs, tens);
}

// The same for n < 10^8 in 8 bytes: (x * 10486) >> 20 == x / 100 for x < 10^4 in
// each 32-bit lane, then as digits4() in each 16-bit lane.
inline std::uint64_t digits8(std::uint32_t n) noexcept {
  const std::uint64_t quads = split_lanes<32, 10000>(n, n / 10000);
  const std::uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007FULL;
  const std::uint64_t pairs = split_lanes<16, 100>(quads, hundreds);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
  return split_lanes<8, 10>(pairs, tens);
}

// For a number with `n` leading zero digits, what is taken from its digit bytes
// plus "0" in every byte to give its text: "0" - " " in each of the n leading bytes,
// which turns them into spaces, and for a negative number (n >= 1) also " " - "-" in
// the last of them, which turns that space into a "-". By sign, then by n. The
// bytes never borrow from each other: each leading byte holds "0" before the
// subtraction and a space or a "-" after it.
struct LeadingMasks {
  std::uint64_t adjust[2][8];
};
constexpr LeadingMasks make_leading_masks() noexcept {
  LeadingMasks m{};
  for (int n = 0; n < 8; ++n) {
    const std::uint64_t blanks = (0x10 * kEveryByte) & ((std::uint64_t{1} << (8 * n)) - 1);
    const std::uint64_t minus = n == 0 ? 0 : std::uint64_t{'-' - ' '} << (8 * (n - 1));
    m.adjust[0][n] = blanks;
    m.adjust[1][n] = blanks - minus;
  }
  return m;
}
[[gnu::visibility("hidden")]] inline constexpr LeadingMasks kLeadingMasks = make_leading_masks();

// Text of the K digit bytes at the bottom of `digits` (from digits4() or digits8()),
// right-aligned in K columns: leading zeros, all but the last digit, become spaces,
// and a negative number gets its "-" in the space before its first digit (the caller
// makes sure there is one). No branch: signs and lengths vary from row to row.
// `Above` is added as it is to the bytes above the K digits (which must be zero in
// `digits`): text that follows the number, added with the same constant.
template <int K, std::uint64_t Above = 0>
constexpr std::uint64_t int_text(std::uint64_t digits, bool negative) noexcept {
  static_assert(K >= 1 && K <= 8);
  constexpr std::uint64_t kLow = K == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * K)) - 1;
  static_assert((Above & kLow) == 0);
  const auto leading =
      static_cast<unsigned>(std::countr_zero(digits | (std::uint64_t{1} << (8 * (K - 1))))) / 8;
  return digits + (((0x30 * kEveryByte) & kLow) | Above) - kLeadingMasks.adjust[negative][leading];
}

// The text of every integer that fits 4 columns, -999 to 9999, right-aligned, as the
// 4 bytes of a uint32 in memory order. Miller indices cluster near zero, so the
// entries in use stay in cache and a field costs one load and one store.
inline constexpr int kInt4Min = -999;
inline constexpr int kInt4Max = 9999;
struct Int4Table {
  std::uint32_t text[kInt4Max - kInt4Min + 1];
};
constexpr Int4Table make_int4_table() noexcept {
  Int4Table t{};
  for (int v = kInt4Min; v <= kInt4Max; ++v) {
    const auto magnitude = static_cast<std::uint32_t>(v < 0 ? -v : v);
    t.text[v - kInt4Min] = static_cast<std::uint32_t>(int_text<4>(digits4(magnitude), v < 0));
  }
  return t;
}
[[gnu::visibility("hidden")]] inline constexpr Int4Table kInt4Table = make_int4_table();

// An integer right-aligned in the 4 columns from `start`. False when it needs more
// than 4 characters (the columns are then left as they were).
inline bool put_int4(char* start, std::int16_t v) noexcept {
  if (v < kInt4Min || v > kInt4Max) return false;
  std::memcpy(start, &kInt4Table.text[v - kInt4Min], 4);
  return true;
}

// Value `v` in fixed notation with P decimals, right-aligned in the W columns from
// `start`; NaN as "nan" (over the spaces already there). Writes 8 bytes from `start`,
// filling the columns after the field with spaces, or W bytes when W > 8. False when
// the text needs more than M characters (M <= W) or `v` is infinite; nothing is
// written then.
//
// The rounding is that of write_fixed() (fixed.cpp): |v| * 10^P is exact in double
// precision, and round_half_even_below_2_52() rounds it to an integer with ties to
// even. Text of M characters holds at most M - 1 digits (M - 2 after a "-"), so the
// rounded units must stay below L = 10^(M - 1) (10^(M - 2) when negative). As L is
// even, the tie L - 0.5 rounds up to L: the units stay below L exactly when the
// scaled value is below L - 0.5, so one comparison before rounding decides, and it
// also keeps the units in 32 bits and NaN (for which it is false) out of the digits.
// The product of the signed value is as exact as that of its magnitude.
template <int P, int W, int M = W>
inline bool put_fixed_field(char* start, float v) noexcept {
  constexpr int K = W - 1 - P;  // integer digits
  static_assert(P >= 1 && P <= 2 && K >= 1 && (W <= 8 || K + 1 == 8) && M <= W);
  constexpr std::uint32_t kScale = pow10_u32(P);
  constexpr double kBelow = static_cast<double>(pow10_u32(M - 1)) - 0.5;
  constexpr double kBelowNegative = static_cast<double>(pow10_u32(M - 2)) - 0.5;
  // The limit depends on the sign; two comparisons of the signed value, rather than a
  // limit chosen by sign, leave no branch that follows the sign. -0 passes both.
  const double signed_scaled = static_cast<double>(v) * static_cast<double>(kScale);
  if (!(signed_scaled < kBelow) || !(signed_scaled > -kBelowNegative)) [[unlikely]] {
    if (!std::isnan(v)) return false;  // NaN fails both
    std::memcpy(start + W - 3, "nan", 3);
    return true;
  }
  const bool negative = std::signbit(v);
  const double scaled = std::fabs(signed_scaled);
  const auto units = static_cast<std::uint32_t>(round_half_even_below_2_52(scaled));
  const std::uint32_t whole = units / kScale;
  const std::uint32_t frac = units % kScale;
  const std::uint64_t digits = K <= 4 ? digits4(whole) : digits8(whole) >> (8 * (8 - K));
  if constexpr (W <= 8) {
    // The point, the decimal's "0" and the spaces after the field (W < 8) join the
    // constant the digits are added to; the decimal's value is added in its byte.
    static_assert(P == 1);
    constexpr std::uint64_t kSpaces = W < 8 ? (0x20 * kEveryByte) << (8 * W) : 0;
    constexpr std::uint64_t kTail =
        (std::uint64_t{'.'} << (8 * K)) | (std::uint64_t{'0'} << (8 * (K + 1))) | kSpaces;
    const std::uint64_t text =
        int_text<K, kTail>(digits, negative) + (std::uint64_t{frac} << (8 * (K + 1)));
    std::memcpy(start, &text, 8);
  } else {
    const std::uint64_t text = int_text<K, std::uint64_t{'.'} << (8 * K)>(digits, negative);
    std::memcpy(start, &text, 8);
    std::memcpy(start + 8, &kDigitPairs16.text[frac], 2);
  }
  return true;
}

}  // namespace row_detail

/// Writes the 73 columns of a row before its panel name at `out`, and one space
/// behind them (room for kRowColumns + 1 bytes; the panel name goes over it).
/// Returns true when every value fits its field and none is infinite; otherwise
/// false, with unspecified text at `out`.
inline bool write_row_columns(char* out, const RowValues& v) noexcept {
  using row_detail::put_fixed_field;
  using row_detail::put_int4;
  // Spaces for the separators and for the columns left of a "nan".
  std::memset(out, ' ', kRowColumns);
  // Non-short-circuit `&`: every field is written, and one branch decides the row.
  // The bytes a field writes past its columns are those of the separator after it
  // (and, after ss, the first byte of the panel name), so the order does not matter.
  return put_int4(out, v.h) & put_int4(out + 5, v.k) & put_int4(out + 10, v.l) &
         put_fixed_field<2, 10>(out + 15, v.I) & put_fixed_field<2, 10>(out + 26, v.sigma) &
         put_fixed_field<2, 10>(out + 37, v.peak) & put_fixed_field<2, 10>(out + 48, v.background) &
         put_fixed_field<1, 7, 6>(out + 58, v.fs) & put_fixed_field<1, 6>(out + 66, v.ss);
}

/// Writes the row up to its panel name for any values (room for kMaxRowChars bytes)
/// and returns the end: numbers padded to their widths, wider ones in full.
char* write_row_general(char* out, const RowValues& v) noexcept;

}  // namespace qn
