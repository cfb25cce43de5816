// Exact decimal to double: an integer times a power of ten, correctly rounded, in
// one IEEE operation.
//
// When w <= 2^53 and |k| <= 22, both w and 10^|k| are exactly representable as
// doubles (5^22 < 2^53, and powers of two cost nothing), so the one multiplication
// w * 10^k or division w / 10^-k is correctly rounded by IEEE arithmetic under the
// default rounding mode (Clinger's fast path). For 22 < k <= 22 + 15 the product can
// still be exact: when w * 10^(k - 22) is itself at most 2^53, multiplying that
// integer by 10^22 is again one rounding. Everything else needs a general algorithm
// (the caller's fallback: std::from_chars).
#pragma once

#include <cstdint>

namespace qn {

/// The largest integer below which every integer is a double: 2^53.
inline constexpr std::uint64_t kMaxExactInt = std::uint64_t{1} << 53;

namespace exact_decimal_detail {
inline constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr std::uint64_t kIntPow10[] = {1ULL,
                                              10ULL,
                                              100ULL,
                                              1000ULL,
                                              10000ULL,
                                              100000ULL,
                                              1000000ULL,
                                              10000000ULL,
                                              100000000ULL,
                                              1000000000ULL,
                                              10000000000ULL,
                                              100000000000ULL,
                                              1000000000000ULL,
                                              10000000000000ULL,
                                              100000000000000ULL,
                                              1000000000000000ULL};
}  // namespace exact_decimal_detail

/// w / 10^k, correctly rounded. Requires w <= kMaxExactInt and k <= 22. No branch:
/// for callers that have checked both already, on every value of a column.
inline double exact_quotient_pow10(std::uint64_t w, unsigned k) noexcept {
  return static_cast<double>(w) / exact_decimal_detail::kPow10[k];
}

/// Sets `out` to w * 10^power, correctly rounded, and returns true when the fast
/// path above gives it; returns false, leaving `out` untouched, otherwise.
inline bool integer_times_pow10(std::uint64_t w, std::int64_t power, double& out) noexcept {
  using exact_decimal_detail::kIntPow10;
  using exact_decimal_detail::kPow10;
  if (w > kMaxExactInt) return false;
  const double x = static_cast<double>(w);
  if (power >= 0 && power <= 22) {
    out = x * kPow10[power];
  } else if (power < 0 && power >= -22) {
    out = x / kPow10[-power];
  } else if (power > 22 && power <= 22 + 15 && w <= kMaxExactInt / kIntPow10[power - 22]) {
    out = static_cast<double>(w * kIntPow10[power - 22]) * 1e22;
  } else {
    return false;
  }
  return true;
}

}  // namespace qn
