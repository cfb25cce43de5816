// Fixed-point formatting of float32 values by integer arithmetic.
//
// A finite float32 is m * 2^e with m < 2^24. For p <= 7 decimals, 10^p = 5^p * 2^p
// with 5^p <= 78125 < 2^17, so x * 10^p = (m * 5^p) * 2^(e + p) has a significand
// below 2^41 and an exponent well inside double's range (the smallest float32
// subnormal, 2^-149, stays far above double's 2^-1022, and FLT_MAX * 10^7 < 2^152):
// the product of the exact double value of x and the double 10^p is computed
// without any rounding. Rounding that exact product to an integer with ties to even
// gives exactly the decimals to_chars would print; what remains is printing an
// integer with a decimal point inserted. Values whose scaled magnitude reaches 2^64
// (above about 1.8e12 for 7 decimals) and non-finite values go to std::to_chars.
#include "write/fixed.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace qn {

namespace {

constexpr double kPow10Double[kMaxFastPrecision + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
constexpr std::uint64_t kPow10[kMaxFastPrecision + 1] = {1,     10,     100,     1000,
                                                         10000, 100000, 1000000, 10000000};

// Rounds a double in [0, 2^64) that may carry a fraction to the nearest integer,
// ties to even. From 2^52 on every double is already an integer.
inline std::uint64_t round_half_even(double a) noexcept {
  if (a < kTwo52) return round_half_even_below_2_52(a);
  return static_cast<std::uint64_t>(a);
}

}  // namespace

char* write_fixed_double(char* out, double value, int precision) noexcept {
  return std::to_chars(out, out + max_double_fixed_chars(precision), value,
                       std::chars_format::fixed, precision)
      .ptr;
}

char* write_fixed(char* out, float value, int precision) noexcept {
  const double x = value;
  constexpr double kTwo64 = 18446744073709551616.0;              // 2^64
  const double scaled = std::fabs(x) * kPow10Double[precision];  // exact, see above
  // The comparison is false for NaN, which takes the general path with infinities.
  if (!(scaled < kTwo64)) return write_fixed_double(out, x, precision);

  const std::uint64_t units = round_half_even(scaled);
  if (std::signbit(x)) *out++ = '-';
  const std::uint64_t scale = kPow10[precision];
  out = std::to_chars(out, out + 20, units / scale).ptr;
  if (precision > 0) {
    *out = '.';
    std::uint64_t frac = units % scale;
    for (int k = precision; k > 0; --k) {
      out[k] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    out += precision + 1;
  }
  return out;
}

char* write_fixed_field(char* out, float value, int precision, std::size_t width) noexcept {
  char* end = out;
  if (std::isnan(value)) {
    std::memcpy(out, "nan", 3);
    end += 3;
  } else {
    end = write_fixed(out, value, precision);
  }
  return pad_left(out, end, width);
}

char* write_int(char* out, std::int64_t value) noexcept {
  return std::to_chars(out, out + 20, value).ptr;
}

char* pad_left(char* start, char* end, std::size_t width) noexcept {
  const auto len = static_cast<std::size_t>(end - start);
  if (len >= width) return end;
  const std::size_t gap = width - len;
  std::memmove(start + gap, start, len);
  std::memset(start, ' ', gap);
  return start + width;
}

}  // namespace qn
