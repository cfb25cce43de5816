// Python-compatible white space, splitting and number conversion.
//
// White space is the set of Python's str.isspace(): ASCII 0x09-0x0D, 0x1C-0x20,
// and eleven code points above 0x7F, all of which are encoded with lead byte
// 0xC2, 0xE1, 0xE2 or 0xE3. Every other byte can be skipped without decoding, so
// ASCII text is classified one table lookup per byte.
//
// py_float checks Python's grammar itself and collects the significant digits;
// short significands with small exponents are converted exactly in double
// arithmetic, everything else goes to std::from_chars, which is correctly
// rounded.
#include "pystr/pystr.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace qn {
namespace {

// Byte classes: 0 never starts white space, 1 is ASCII white space, 2 may lead
// a multi-byte white-space character.
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> t{};
  for (int b = 0x09; b <= 0x0D; ++b) t[b] = 1;
  for (int b = 0x1C; b <= 0x20; ++b) t[b] = 1;
  t[0xC2] = t[0xE1] = t[0xE2] = t[0xE3] = 2;
  return t;
}();

inline unsigned byte_at(const char* p) noexcept { return static_cast<unsigned char>(*p); }

// Length of a multi-byte white-space character starting at p (lead byte of class
// 2), or 0 when the bytes there encode something else.
std::size_t wide_space_at(const char* p, const char* end) noexcept {
  const auto left = end - p;
  switch (byte_at(p)) {
    case 0xC2:  // U+0085, U+00A0
      return left >= 2 && (byte_at(p + 1) == 0x85 || byte_at(p + 1) == 0xA0) ? 2 : 0;
    case 0xE1:  // U+1680
      return left >= 3 && byte_at(p + 1) == 0x9A && byte_at(p + 2) == 0x80 ? 3 : 0;
    case 0xE2: {
      if (left < 3) return 0;
      const unsigned c1 = byte_at(p + 1), c2 = byte_at(p + 2);
      if (c1 == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        return (c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
      }
      return c1 == 0x81 && c2 == 0x9F ? 3 : 0;  // U+205F
    }
    case 0xE3:  // U+3000
      return left >= 3 && byte_at(p + 1) == 0x80 && byte_at(p + 2) == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// Length of the white-space character starting at p (p < end), or 0.
inline std::size_t space_at(const char* p, const char* end) noexcept {
  switch (kByteClass[byte_at(p)]) {
    case 0: return 0;
    case 1: return 1;
    default: return wide_space_at(p, end);
  }
}

// Length of the white-space character ending just before e (begin < e), or 0.
// Lead bytes never occur as continuation bytes, so looking back two or three
// bytes for a lead byte finds the character's true start.
inline std::size_t space_before(const char* begin, const char* e) noexcept {
  const unsigned last = byte_at(e - 1);
  if (last < 0x80) return kByteClass[last];
  if (last > 0xBF) return 0;
  if (e - begin >= 2 && byte_at(e - 2) == 0xC2) return wide_space_at(e - 2, e);
  if (e - begin >= 3 && wide_space_at(e - 3, e) == 3) return 3;
  return 0;
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Every "_" stands between two ASCII digits.
bool underscores_valid(std::string_view text) noexcept {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  while (const void* hit = std::memchr(p, '_', static_cast<std::size_t>(end - p))) {
    const char* u = static_cast<const char*>(hit);
    if (u == begin || u + 1 == end || !is_digit(u[-1]) || !is_digit(u[1])) return false;
    p = u + 1;
  }
  return true;
}

// Case-insensitive comparison with a lower-case ASCII word.
bool equals_word(const char* p, const char* end, std::string_view word) noexcept {
  if (static_cast<std::size_t>(end - p) != word.size()) return false;
  for (char w : word) {
    // OR-ing 0x20 maps exactly the upper- and lower-case forms of a letter onto it.
    if ((*p++ | 0x20) != w) return false;
  }
  return true;
}

constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kIntPow10[] = {1ULL,
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
constexpr std::uint64_t kMaxExactInt = std::uint64_t{1} << 53;

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
  if (d.n_digits <= 19 && d.head <= kMaxExactInt) {
    // Both operands are exact doubles, so one IEEE operation rounds correctly.
    const double w = static_cast<double>(d.head);
    if (pow >= 0 && pow <= 22) return w * kExactPow10[pow];
    if (pow < 0 && pow >= -22) return w / kExactPow10[-pow];
    if (pow > 22 && pow <= 22 + 15 && d.head <= kMaxExactInt / kIntPow10[pow - 22]) {
      return static_cast<double>(d.head * kIntPow10[pow - 22]) * 1e22;
    }
  }

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
  if (p != end || w > kMaxExactInt) return false;
  const std::ptrdiff_t pow = exponent - frac_digits;
  double v = static_cast<double>(w);
  if (pow >= 0 && pow <= 22) {
    v *= kExactPow10[pow];
  } else if (pow < 0 && pow >= -22) {
    v /= kExactPow10[-pow];
  } else {
    return false;
  }
  out = negative ? -v : v;
  return true;
}

}  // namespace

std::string_view py_strip(std::string_view text) noexcept {
  const char* b = text.data();
  const char* e = b + text.size();
  while (b < e) {
    const std::size_t n = space_at(b, e);
    if (n == 0) break;
    b += n;
  }
  while (e > b) {
    const std::size_t n = space_before(b, e);
    if (n == 0) break;
    e -= n;
  }
  return {b, static_cast<std::size_t>(e - b)};
}

bool PySplit::next(std::string_view& field) noexcept {
  const char* p = pos_;
  const char* const end = end_;
  // Skip white space: ASCII runs by table, the rare wide characters decoded.
  for (;;) {
    while (p < end && kByteClass[byte_at(p)] == 1) ++p;
    if (p == end) {
      pos_ = p;
      return false;
    }
    if (kByteClass[byte_at(p)] == 0) break;
    const std::size_t n = wide_space_at(p, end);
    if (n == 0) break;
    p += n;
  }
  const char* const start = p++;  // the first byte is not white space
  for (;;) {
    while (p < end && kByteClass[byte_at(p)] == 0) ++p;
    if (p == end || kByteClass[byte_at(p)] == 1 || wide_space_at(p, end) != 0) break;
    ++p;  // a lead byte that starts no white space
  }
  pos_ = p;
  field = std::string_view(start, static_cast<std::size_t>(p - start));
  return true;
}

std::optional<std::string_view> strip_underscores(std::string_view text,
                                                  UnderscoreScratch& scratch) {
  if (text.find('_') == std::string_view::npos) return text;
  if (!underscores_valid(text)) return std::nullopt;
  char* out;
  if (text.size() <= UnderscoreScratch::kInline) {
    out = scratch.inline_;
  } else {
    scratch.heap_.resize(text.size());
    out = scratch.heap_.data();
  }
  std::size_t n = 0;
  for (char c : text) {
    if (c != '_') out[n++] = c;
  }
  return std::string_view(out, n);
}

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
