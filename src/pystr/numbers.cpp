// Python's int() and float() over ASCII digits.
//
// py_float checks Python's grammar itself and collects the significant digits;
// short significands with small exponents are converted exactly in double
// arithmetic (pystr/exact_decimal.hpp), everything else goes to std::from_chars,
// which is correctly rounded.
#include "pystr/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "pystr/exact_decimal.hpp"

namespace qn {
namespace {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Case-insensitive comparison with a lower-case ASCII word.
bool equals_word(const char* p, const char* end, std::string_view word) noexcept {
  if (static_cast<std::size_t>(end - p) != word.size()) return false;
  for (char w : word) {
    // OR-ing 0x20 maps exactly the upper- and lower-case forms of a letter onto it.
    if ((*p++ | 0x20) != w) return false;
  }
  return true;
}

// Significant digits kept for the slow path. Deciding the rounding of a decimal
// to a double never needs more than 767 of them; the rest only matter as to
// whether any is non-zero, which a single appended "1" preserves.
constexpr std::size_t kMaxDigits = 800;

// The digits of a decimal literal, from the first non-zero one, with the value
// 0.DIGITS × 10^exp10.
struct Decimal {
  char digits[kMaxDigits + 1];
  std::size_t n_digits = 0;
  bool truncated = false;  // a non-zero digit beyond kMaxDigits was dropped
  std::uint64_t head = 0;  // the first (up to) 19 digits as an integer
  std::int64_t exp10 = 0;
};

// Consumes one significand digit.
inline void take_digit(Decimal& d, char c) noexcept {
  if (d.n_digits < kMaxDigits) {
    if (d.n_digits < 19) d.head = d.head * 10 + static_cast<unsigned>(c - '0');
    d.digits[d.n_digits++] = c;
  } else if (c != '0') {
    d.truncated = true;
  }
}

// Converts the collected digits, which are not all zero, to the nearest double.
double decimal_to_double(Decimal& d) noexcept {
  // 0.DIGITS × 10^E lies in [10^(E-1), 10^E).
  if (d.exp10 > 309) return std::numeric_limits<double>::infinity();
  if (d.exp10 <= -324) return 0.0;  // below 10^-324, less than half the least subnormal

  const std::int64_t pow = d.exp10 - static_cast<std::int64_t>(d.n_digits);
  double exact;
  if (d.n_digits <= 19 && integer_times_pow10(d.head, pow, exact)) return exact;

  // Slow path: "DIGITS[1]e<pow>" through from_chars.
  char text[kMaxDigits + 1 + 24];
  std::size_t n = d.n_digits;
  std::memcpy(text, d.digits, n);
  std::int64_t text_pow = pow;
  if (d.truncated) {
    text[n++] = '1';
    --text_pow;
  }
  text[n++] = 'e';
  const auto tail = std::to_chars(text + n, text + sizeof text, text_pow);
  double value = 0.0;
  const auto res = std::from_chars(text, tail.ptr, value);
  if (res.ec == std::errc::result_out_of_range) {
    return d.exp10 > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

// The common case, without storing digits: [sign] digits [. digits] [e [sign]
// digits] with at most 19 significand digits, no underscore, and a value that
// one exact double operation gives. Returns false to leave the text to the
// general path, which also decides whether the text is valid at all.
inline bool short_decimal(const char* p, const char* end, bool negative, double& out) noexcept {
  std::uint64_t w = 0;
  const char* const int_begin = p;
  while (p < end && is_digit(*p)) w = w * 10 + static_cast<unsigned>(*p++ - '0');
  std::ptrdiff_t n_digits = p - int_begin;
  std::ptrdiff_t frac_digits = 0;
  if (p < end && *p == '.') {
    const char* const frac_begin = ++p;
    while (p < end && is_digit(*p)) w = w * 10 + static_cast<unsigned>(*p++ - '0');
    frac_digits = p - frac_begin;
    n_digits += frac_digits;
  }
  if (n_digits == 0 || n_digits > 19) return false;
  std::ptrdiff_t exponent = 0;
  if (p < end && (*p | 0x20) == 'e') {
    ++p;
    const bool exp_negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* const exp_begin = p;
    while (p < end && is_digit(*p) && p - exp_begin < 4) exponent = exponent * 10 + (*p++ - '0');
    if (p == exp_begin) return false;
    if (exp_negative) exponent = -exponent;
  }
  double v;
  if (p != end || !integer_times_pow10(w, exponent - frac_digits, v)) return false;
  out = negative ? -v : v;
  return true;
}

}  // namespace

PyInt py_int(std::string_view text) noexcept {
  constexpr PyInt kNotInteger{IntStatus::kNotInteger, 0};
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return kNotInteger;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (p == end) return kNotInteger;

  // The magnitude is kept at or below 2^63, the largest one a negative value may
  // have; any larger literal is out of range but must still be checked to the end.
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  std::uint64_t magnitude = 0;
  bool too_large = false;
  if (!is_digit(*p)) return kNotInteger;  // also rejects a leading "_"
  for (; p < end; ++p) {
    char c = *p;
    if (c == '_') {
      // The previous byte was a digit (checked on the last round); the next must be one.
      if (p + 1 == end || !is_digit(p[1])) return kNotInteger;
      c = *++p;
    } else if (!is_digit(c)) {
      return kNotInteger;
    }
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (too_large || magnitude > (kLimit - digit) / 10) {
      too_large = true;
    } else {
      magnitude = magnitude * 10 + digit;
    }
  }
  if (too_large || (!negative && magnitude == kLimit)) return {IntStatus::kOutOfRange, 0};
  // Two's complement wrap-around gives -2^63 for the magnitude 2^63.
  const auto value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return {IntStatus::kOk, value};
}

bool py_float(std::string_view text, double& out) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return false;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (p == end) return false;
  if (short_decimal(p, end, negative, out)) return true;

  const char lead = static_cast<char>(*p | 0x20);
  if (lead == 'i' || lead == 'n') {
    double special;
    if (equals_word(p, end, "inf") || equals_word(p, end, "infinity")) {
      special = std::numeric_limits<double>::infinity();
    } else if (equals_word(p, end, "nan")) {
      special = std::numeric_limits<double>::quiet_NaN();
    } else {
      return false;
    }
    out = negative ? -special : special;  // negation sets the sign bit of a NaN too
    return true;
  }

  Decimal d;
  // A digit run is digit ("_"? digit)*: an underscore is valid exactly when it
  // stands inside such a run. Returns the number of digits, or -1 on a bad "_".
  auto scan_run = [&p, end](auto&& on_digit) noexcept -> std::int64_t {
    std::int64_t count = 0;
    while (p < end) {
      if (is_digit(*p)) {
        on_digit(*p);
        ++count;
        ++p;
      } else if (*p == '_') {
        if (count == 0 || p + 1 == end || !is_digit(p[1])) return -1;
        ++p;
      } else {
        break;
      }
    }
    return count;
  };

  const std::int64_t int_digits = scan_run([&d](char c) noexcept {
    if (d.n_digits == 0 && c == '0') return;  // leading zero
    take_digit(d, c);
    ++d.exp10;
  });
  if (int_digits < 0) return false;
  std::int64_t frac_digits = 0;
  if (p < end && *p == '.') {
    ++p;
    frac_digits = scan_run([&d](char c) noexcept {
      if (d.n_digits == 0 && c == '0') {
        --d.exp10;  // a zero between the point and the first significant digit
        return;
      }
      take_digit(d, c);
    });
    if (frac_digits < 0) return false;
  }
  if (int_digits == 0 && frac_digits == 0) return false;

  if (p < end && (*p | 0x20) == 'e') {
    ++p;
    const bool exp_negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    std::int64_t exponent = 0;
    // Saturates far beyond any exponent that could still give a finite, non-zero
    // double, whatever the number of digits in the significand.
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    const std::int64_t exp_digits = scan_run([&exponent](char c) noexcept {
      if (exponent < kCap) exponent = exponent * 10 + (c - '0');
    });
    if (exp_digits <= 0) return false;
    if (d.n_digits != 0) d.exp10 += exp_negative ? -exponent : exponent;
  }
  if (p != end) return false;

  const double magnitude = d.n_digits == 0 ? 0.0 : decimal_to_double(d);
  out = negative ? -magnitude : magnitude;
  return true;
}

}  // namespace qn
