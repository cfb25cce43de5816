// The two reflection row readers. The ASCII reader accepts a strict subset of
// what the reference reader keeps, and for that subset computes the same values
// the same way: the separators are spaces, an index is int() of at most five
// digits, and a measurement of at most 19 significant digits whose integer
// significand is at most 2^53 is that significand divided by a power of ten of
// at most 10^19. Both operands of that division are exact doubles, so the one
// IEEE division is correctly rounded, which is how py_float converts such a
// literal too.
//
// The ASCII reader is built to run without data-dependent branches on the rows
// a writer produces, whose field widths vary from row to row: the line is
// classified 16 bytes at a time into bit masks, the fields are found in the
// masks, and each number of up to 8 bytes is checked and converted as one
// 64-bit word.
#include "parse/reflection_row.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pystr/exact_decimal.hpp"
#include "pystr/numbers.hpp"
#include "pystr/white_space.hpp"

namespace qn {

std::optional<Reason> read_reflection_row(std::string_view text, ReflectionValues& out) noexcept {
  std::string_view fields[10];
  std::size_t n = 0;
  PySplit split(text);
  while (n < 10 && split.next(fields[n])) ++n;
  if (n < 10) return Reason::kReflectionShort;

  PyInt hkl[3];
  for (int i = 0; i < 3; ++i) {
    hkl[i] = py_int(fields[i]);
    if (hkl[i].status == IntStatus::kNotInteger) return Reason::kReflectionValue;
  }
  for (int i = 0; i < 6; ++i) {
    if (!py_float(fields[3 + i], out.measurements[i])) return Reason::kReflectionValue;
  }
  // Range problems count only once every field has converted.
  for (int i = 0; i < 3; ++i) {
    if (hkl[i].status != IntStatus::kOk || hkl[i].value < INT16_MIN || hkl[i].value > INT16_MAX) {
      return Reason::kReflectionHklRange;
    }
    out.hkl[i] = static_cast<std::int16_t>(hkl[i].value);
  }
  out.panel = fields[9];
  return std::nullopt;
}

namespace {

using Byte = unsigned char;
using Word = std::uint64_t;

constexpr Word kAllOnes = ~Word{0};

inline Word load8(const Byte* p) noexcept {
  Word x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;  // byte i of the text is byte i of x, counted from the least significant
}

// Bit 8i+7 set where byte i of x equals `c`.
inline Word bytes_equal(Word x, Byte c) noexcept {
  constexpr Word kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const Word y = x ^ (0x0101010101010101ULL * c);
  return ~(((y & kLow7) + kLow7) | y) & ~kLow7;
}

inline Classes16 classify(const Byte* p) noexcept {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i blank = _mm_set1_epi8(' ');
  // The signed comparison puts the bytes of 0x80 and above below " " too.
  return {static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, blank))),
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, blank)))};
#else
  return classify16_portable(p);
#endif
}

// A bit per byte of a line of up to 127 bytes, in two words. No block reaches
// past the line's end; the bits there are set in `space`, so that the end of
// the line ends its last field.
struct LineMasks {
  Word space[2] = {0, 0};
  Word other[2] = {0, 0};

  // ORs in the classes of the 16 bytes at `at`. Bytes covered twice get the
  // same bits twice, so blocks may overlap.
  void add(const Byte* line, std::size_t at) noexcept {
    const Classes16 c = classify(line + at);
    place(space, c.space, at);
    place(other, c.other, at);
  }

  // ORs the 16 bits of `mask` into the pair at bit `at` (at <= 112).
  static void place(Word (&pair)[2], Word mask, std::size_t at) noexcept {
    pair[0] |= at < 64 ? mask << at : 0;
    pair[1] |= at >= 64 ? mask << (at - 64) : at > 48 ? mask >> (64 - at) : 0;
  }
};

// Classifies bytes [0, n) for 16 <= n < 128.
inline LineMasks classify_line(const Byte* line, std::size_t n) noexcept {
  LineMasks m;
  if (n >= 64 && n <= 96) {
    // The usual row length: four fixed blocks and two that end at or before
    // the line's end, so no loop whose trip count depends on the length.
    m.add(line, 0);
    m.add(line, 16);
    m.add(line, 32);
    m.add(line, 48);
    m.add(line, n - 16 < 64 ? n - 16 : 64);
    m.add(line, n - 16);
  } else {
    for (std::size_t at = 0; at + 16 <= n; at += 16) m.add(line, at);
    m.add(line, n - 16);
  }
  if (n < 64) {
    m.space[0] |= kAllOnes << n;
    m.space[1] = kAllOnes;
  } else {
    m.space[1] |= kAllOnes << (n - 64);
  }
  return m;
}

// Position of the lowest set bit of the pair (lo, hi), which it clears; 128
// when none is set. Which word holds the bit goes with the field's number in
// the row, so the branch is learnt.
inline unsigned take_lowest(Word& lo, Word& hi) noexcept {
  if (lo != 0) {
    const auto r = static_cast<unsigned>(std::countr_zero(lo));
    lo &= lo - 1;
    return r;
  }
  const auto r = 64 + static_cast<unsigned>(std::countr_zero(hi));
  hi &= hi - 1;
  return r;
}

// Bytes [from, from + 8) of the line, those past its end as zero; n >= 8.
inline Word load_field(const Byte* line, std::size_t n, std::size_t from) noexcept {
  if (n - from >= 8) return load8(line + from);
  return load8(line + n - 8) >> (8 * (8 - (n - from)));
}

// Moves `from` past a leading "+" or "-"; true for "-". Without a branch:
// signs come in no predictable order.
inline bool take_sign(const Byte* line, std::size_t& from) noexcept {
  const Byte first = line[from];
  const bool negative = first == '-';
  from += negative | (first == '+');
  return negative;
}

// The value of 1 to 8 ASCII digits, the low `len` bytes of x, or false if one
// of them is not a digit.
inline bool digits8(Word x, std::size_t len, std::uint64_t& value) noexcept {
  // After the subtraction a digit byte holds 0 to 9; any other byte holds more
  // (and may borrow from the bytes above it, which are never below a digit
  // that counts). Shifting the field to the top fills in leading zeros.
  x -= 0x3030303030303030ULL;
  x <<= 8 * (8 - len);
  if ((((x + 0x7676767676767676ULL) | x) & 0x8080808080808080ULL) != 0) return false;
  // Combine neighbours into pairs, pairs into quads, quads into the whole.
  x = x * 10 + (x >> 8);
  constexpr Word kPairs = 0x000000FF000000FFULL;
  x = ((x & kPairs) * (100 + (1000000ULL << 32)) + ((x >> 16) & kPairs) * (1 + (10000ULL << 32))) >>
      32;
  value = static_cast<std::uint32_t>(x);
  return true;
}

// A measurement of more than 8 bytes, byte by byte: digits with at most one
// "." among them, at most 19 digits, a significand of at most 2^53.
bool long_decimal(const Byte* p, std::size_t len, std::uint64_t& w, std::size_t& frac) noexcept {
  w = 0;
  std::size_t n_digits = 0;
  const Byte* point = nullptr;
  const Byte* const end = p + len;
  for (; p < end; ++p) {
    if (static_cast<Byte>(*p - '0') < 10) {
      w = w * 10 + static_cast<unsigned>(*p - '0');  // wraps only past 19 digits, refused below
      ++n_digits;
    } else if (*p == '.' && point == nullptr) {
      point = p;
    } else {
      return false;
    }
  }
  if (n_digits == 0 || n_digits > 19 || w > kMaxExactInt) return false;
  frac = point == nullptr ? 0 : static_cast<std::size_t>(end - point - 1);
  return true;
}

// The numeric fields are followed by the panel, so from < to < n.
inline bool index_field(const Byte* line, std::size_t n, std::size_t from, std::size_t to,
                        std::int16_t& out) noexcept {
  const bool negative = take_sign(line, from);
  const std::size_t len = to - from;
  std::uint64_t w;
  if (len - 1 >= 5 || !digits8(load_field(line, n, from), len, w)) return false;
  const auto flip = -static_cast<std::int32_t>(negative);  // 0 or all ones
  const std::int32_t value = (static_cast<std::int32_t>(w) ^ flip) - flip;
  if (value < INT16_MIN || value > INT16_MAX) return false;
  out = static_cast<std::int16_t>(value);
  return true;
}

inline bool measurement_field(const Byte* line, std::size_t n, std::size_t from, std::size_t to,
                              double& out) noexcept {
  const bool negative = take_sign(line, from);
  Word x = load_field(line, n, from);
  std::size_t len = to - from;
  std::uint64_t w;
  std::size_t frac = 0;
  if (len - 1 < 8) {
    const Word points = bytes_equal(x, '.') & (kAllOnes >> (8 * (8 - len)));
    if (points != 0) {
      if ((points & (points - 1)) != 0 || len == 1) return false;
      const unsigned at = static_cast<unsigned>(std::countr_zero(points)) / 8;
      const Word before = (Word{1} << (8 * at)) - 1;
      x = (x & before) | ((x >> 8) & ~before);  // close the gap of the point
      --len;
      frac = len - at;
    }
    if (!digits8(x, len, w)) return false;
  } else if (len == 0 || !long_decimal(line + from, len, w, frac)) {
    return false;
  }
  // The quotient is +0 or positive, so setting the sign bit negates it.
  const double v = exact_quotient_pow10(w, static_cast<unsigned>(frac));
  out = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | std::uint64_t{negative} << 63);
  return true;
}

}  // namespace

Classes16 classify16(const unsigned char* p) noexcept { return classify(p); }

Classes16 classify16_portable(const unsigned char* p) noexcept {
  // Gathers bit 8i+7 of a word into bit i: the eight partial products land on
  // distinct bit positions, so no carry disturbs the top byte.
  const auto gather = [](Word high_bits) {
    return static_cast<unsigned>(((high_bits >> 7) * 0x0102040810204080ULL) >> 56);
  };
  Classes16 out{0, 0};
  for (int half = 0; half < 2; ++half) {
    const Word x = load8(p + 8 * half);
    // High bit set where the low seven bits are below 0x20.
    const Word low = ~((x & 0x7F7F7F7F7F7F7F7FULL) + 0x6060606060606060ULL);
    out.space |= gather(bytes_equal(x, ' ')) << (8 * half);
    out.other |= gather((low | x) & 0x8080808080808080ULL) << (8 * half);
  }
  return out;
}

bool read_reflection_row_ascii(std::string_view bytes, ReflectionValues& out) noexcept {
  const Byte* const line = reinterpret_cast<const Byte*>(bytes.data());
  const std::size_t n = bytes.size();
  // No row under 16 bytes is kept; rows of 128 bytes and more are left to the
  // reference reader.
  if (n < 16 || n >= 128) return false;
  LineMasks m = classify_line(line, n);

  // Field k runs from the k-th set bit of `starts` to the k-th set bit of `ends`.
  Word starts[2] = {~m.space[0] & ((m.space[0] << 1) | 1),
                    ~m.space[1] & ((m.space[1] << 1) | (m.space[0] >> 63))};
  Word ends[2] = {m.space[0] & (~m.space[0] << 1),
                  m.space[1] & ((~m.space[1] << 1) | (~m.space[0] >> 63))};
  unsigned from[10], to[10];
#pragma GCC unroll 10
  for (int k = 0; k < 10; ++k) {
    from[k] = take_lowest(starts[0], starts[1]);
    to[k] = take_lowest(ends[0], ends[1]);
  }
  if (from[9] >= n) return false;  // fewer than ten fields
  // Up to the panel's end only " " separates, and every byte is plain ASCII.
  const unsigned e = to[9];
  const Word other_lo = e >= 64 ? m.other[0] : m.other[0] & ~(kAllOnes << e);
  const Word other_hi = e <= 64 ? 0 : m.other[1] & ~(kAllOnes << (e - 64));
  if ((other_lo | other_hi) != 0) return false;

#pragma GCC unroll 3
  for (int k = 0; k < 3; ++k) {
    if (!index_field(line, n, from[k], to[k], out.hkl[k])) return false;
  }
#pragma GCC unroll 6
  for (int k = 0; k < 6; ++k) {
    if (!measurement_field(line, n, from[3 + k], to[3 + k], out.measurements[k])) return false;
  }
  out.panel = bytes.substr(from[9], to[9] - from[9]);
  return true;
}

}  // namespace qn
