// The fixed-column row reader. The layout is a table of nine numeric columns;
// from it come, at compile time, bit masks of the byte places that must hold a
// space, a digit or a point, and of the places left of each number that may hold
// its padding, its sign and its leading digits. One pass classifies the row 16
// bytes at a time into bit masks; a handful of mask operations then check the
// whole row against the layout, without a branch per field.
//
// A number then sits at a known place with nothing but spaces, one sign and
// digits left of its point, so its integer part is the eight bytes ending at the
// point read as one word, padding counted as zeros. Its value is that integer
// significand (at most nine digits) over 10 or 100: both exact doubles, so the
// one division is correctly rounded, as py_float rounds the same literal.
//
// Nearly every row has spaces in the first two places of its four wide columns,
// so that no significand has more than eight places. Such a row is converted in
// SIMD lanes: each number's places (the point taken out) become an eight-byte
// string, two strings to a register, and a few multiply-adds give their values;
// the divisions and signs are done two lanes at a time. Other rows take the
// column-by-column path.
#include "parse/fixed_row.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pystr/exact_decimal.hpp"

namespace qn {
namespace {

using Byte = unsigned char;
using Word = std::uint64_t;
using Mask = unsigned __int128;

// One numeric column: the space before it (none for h, which starts the row),
// its integer part [first, point) whose last byte is a digit, and the number of
// digits after the point at `point` (0: an integer, no point).
struct Column {
  unsigned space;  // 0: no space before it
  unsigned first;
  unsigned point;
  unsigned decimals;
};

constexpr Column kColumns[9] = {
    {0, 0, 4, 0},    {4, 5, 9, 0},    {9, 10, 14, 0},   // h, k, l
    {14, 15, 22, 2}, {25, 26, 33, 2}, {36, 37, 44, 2},  // I, sigma, peak
    {47, 48, 55, 2}, {58, 59, 63, 1}, {65, 66, 70, 1},  // background, fs, ss
};
constexpr unsigned kPanelSpace = 72;
static_assert(kPanelSpace + 2 == kFixedRowMinBytes);

constexpr Mask bit(unsigned i) { return Mask{1} << i; }
constexpr Mask span(unsigned from, unsigned to) {  // bits [from, to)
  Mask m = 0;
  for (unsigned i = from; i < to; ++i) m |= bit(i);
  return m;
}

struct Layout {
  Mask space = 0;  // must be " "
  Mask digit = 0;  // must be a digit
  Mask free = 0;   // padding, then at most one sign, then digits
  Mask padding[9] = {};
};

constexpr Layout make_layout() {
  Layout l;
  for (unsigned k = 0; k < 9; ++k) {
    const Column& c = kColumns[k];
    if (c.space != 0) l.space |= bit(c.space);
    l.padding[k] = span(c.first, c.point - 1);
    l.free |= l.padding[k];
    l.digit |= bit(c.point - 1) | span(c.point + 1, c.point + 1 + c.decimals);
  }
  l.space |= bit(kPanelSpace);
  return l;
}
constexpr Layout kLayout = make_layout();

inline Word load8(const Byte* p) noexcept {
  Word x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;  // byte i of the text is byte i of x, counted from the least significant
}

// The value of eight bytes of digits, spaces and signs (byte 0 the most
// significant), the last two counting as 0 digits.
inline std::uint32_t eight_digits(Word x) noexcept {
  // Digits are 0x30..0x39; spaces and signs 0x20..0x2D, without bit 4.
  const Word is_digit = ((x >> 4) & 0x0101010101010101ULL) * 0xFF;
  x &= 0x0F0F0F0F0F0F0F0FULL & is_digit;
  x = (x * 2561) >> 8;                                // 10 * 256 + 1: pairs
  x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;  // 100 * 65536 + 1: quads
  return static_cast<std::uint32_t>(((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32);
}

// The integer part of column c: the bytes [first, point) as a number.
template <unsigned K>
inline std::uint32_t integer_part(const Byte* line) noexcept {
  constexpr Column c = kColumns[K];
  constexpr unsigned len = c.point - c.first;
  static_assert(len <= 8);
  if constexpr (c.point >= 8) {
    return eight_digits(load8(line + c.point - 8) & (~Word{0} << (8 * (8 - len))));
  } else {
    return eight_digits(load8(line) << (8 * (8 - c.point)));
  }
}

template <unsigned K>
inline bool negative(const FixedRowMasks& m) noexcept {
  return (m.minus & kLayout.padding[K]) != 0;
}

template <unsigned K>
inline std::int16_t index_value(const Byte* line, const FixedRowMasks& m) noexcept {
  const auto v = static_cast<std::int32_t>(integer_part<K>(line));  // at most 9999
  return static_cast<std::int16_t>(negative<K>(m) ? -v : v);
}

template <unsigned K>
inline double measurement_value(const Byte* line, const FixedRowMasks& m) noexcept {
  constexpr Column c = kColumns[K];
  std::uint64_t w = integer_part<K>(line);
  for (unsigned i = 0; i < c.decimals; ++i) w = w * 10 + (line[c.point + 1 + i] & 0x0Fu);
  // The quotient is +0 or positive, so setting the sign bit negates it.
  const double v = exact_quotient_pow10(w, c.decimals);
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | std::uint64_t{negative<K>(m)}
                                                                     << 63);
}


#if defined(__SSE2__)
// Digit strings in SIMD lanes: byte 0 of a string is its most significant digit,
// and every byte that is not a digit (a space, a sign, a zero byte) counts as 0.
inline __m128i digit_values(__m128i z) noexcept {
  // Only digits, spaces, signs and zero bytes reach here: digits are the bytes above "/".
  const __m128i is_digit = _mm_cmpgt_epi8(z, _mm_set1_epi8('/'));
  return _mm_and_si128(_mm_sub_epi8(z, _mm_set1_epi8('0')), is_digit);
}

// Four-byte strings in the 32-bit lanes: their values, at most 9999.
inline __m128i values_of_4(__m128i z) noexcept {
  const __m128i d = digit_values(z);
  const __m128i pairs = _mm_add_epi16(
      _mm_mullo_epi16(_mm_and_si128(d, _mm_set1_epi16(0xFF)), _mm_set1_epi16(10)),
      _mm_srli_epi16(d, 8));
  return _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));  // 100 * first pair + second
}

// Eight-byte strings in the 64-bit lanes: their values (below 10^8), in the same lanes.
inline __m128i values_of_8(__m128i z) noexcept {
  const __m128i quads = values_of_4(z);
  return _mm_add_epi64(_mm_mul_epu32(quads, _mm_set1_epi32(10000)), _mm_srli_epi64(quads, 32));
}

// Two decimal significands (eight-byte strings) over 10^decimals, as doubles with the
// sign of a "-" in their string: what py_float makes of the same literals.
inline __m128d quotients(__m128i z, double pow10) noexcept {
  const __m128i w = _mm_shuffle_epi32(values_of_8(z), _MM_SHUFFLE(3, 1, 2, 0));
  const __m128d q = _mm_div_pd(_mm_cvtepi32_pd(w), _mm_set1_pd(pow10));
  // A lane holds at most one "-": its byte sum is 0 or 255, whose top bit lands on bit 63.
  const __m128i minus = _mm_sad_epu8(_mm_cmpeq_epi8(z, _mm_set1_epi8('-')), _mm_setzero_si128());
  const __m128i sign = _mm_and_si128(_mm_slli_epi64(minus, 56), _mm_set1_epi64x(INT64_MIN));
  return _mm_or_pd(q, _mm_castsi128_pd(sign));
}

inline __m128i two_words(const Byte* a, const Byte* b) noexcept {
  return _mm_set_epi64x(static_cast<long long>(load8(b)), static_cast<long long>(load8(a)));
}

inline std::uint32_t load4(const Byte* p) noexcept {
  std::uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
}

// The layout's bytes [0, 73), checked 16 at a time. Every place holds one of four
// things: a given byte (a space or the point), a digit, or padding (a space, or a
// sign or a digit followed by a digit). Each block checks the places whose next
// byte it also holds, so that "followed by a digit" is the block's own digit test
// moved by one byte; the blocks overlap so that every place is checked.
struct LayoutBlock {
  unsigned offset = 0;
  Byte given[16] = {};       // the byte a place must hold, where it is given
  Byte is_given[16] = {};    // 0xFF: check the given byte here
  Byte is_digit[16] = {};    // 0xFF: a digit must stand here
  Byte is_padding[16] = {};  // 0xFF: padding
  Byte unchecked[16] = {};   // 0xFF: left to another block
};
constexpr unsigned kLayoutBytes = kPanelSpace + 1;
constexpr unsigned kLayoutBlocks = 5;

constexpr std::array<LayoutBlock, kLayoutBlocks> make_layout_blocks() {
  std::array<LayoutBlock, kLayoutBlocks> blocks{};
  bool checked[kLayoutBytes] = {};
  unsigned offset = 0;
  for (LayoutBlock& b : blocks) {
    b.offset = offset;
    for (unsigned j = 0; j < 16; ++j) {
      const unsigned at = offset + j;
      const bool padding = ((kLayout.free >> at) & 1) != 0;
      if (checked[at] || (padding && j == 15)) continue;
      checked[at] = true;
      if (padding) {
        b.is_padding[j] = 0xFF;
      } else if (((kLayout.digit >> at) & 1) != 0) {
        b.is_digit[j] = 0xFF;
      } else {
        b.is_given[j] = 0xFF;
        b.given[j] = ((kLayout.space >> at) & 1) != 0 ? ' ' : '.';
      }
    }
    for (unsigned j = 0; j < 16; ++j) {
      if ((b.is_given[j] | b.is_digit[j] | b.is_padding[j]) == 0) b.unchecked[j] = 0xFF;
    }
    unsigned next = 0;
    while (next < kLayoutBytes && checked[next]) ++next;
    offset = next + 16 <= kLayoutBytes ? next : kLayoutBytes - 16;
  }
  for (const bool c : checked) {
    if (!c) throw "a place of the layout is left unchecked";
  }
  return blocks;
}
constexpr std::array<LayoutBlock, kLayoutBlocks> kLayoutBlocksTable = make_layout_blocks();

inline __m128i load16(const Byte* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// 0xFF for the digits of v.
inline __m128i digits_of(__m128i v) noexcept {
  const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
}

// Whether bytes [0, 73) of the line are in the layout.
inline bool in_layout(const Byte* line) noexcept {
  __m128i all = _mm_set1_epi8(-1);
  for (const LayoutBlock& b : kLayoutBlocksTable) {
    const __m128i v = load16(line + b.offset);
    const __m128i digit = digits_of(v);
    const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
    const __m128i sign = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('+')),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('-')));
    const __m128i next_digit = _mm_srli_si128(digit, 1);
    const __m128i padding =
        _mm_or_si128(space, _mm_and_si128(_mm_or_si128(digit, sign), next_digit));
    const __m128i ok = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(load16(b.is_given), _mm_cmpeq_epi8(v, load16(b.given))),
                     _mm_and_si128(load16(b.is_digit), digit)),
        _mm_and_si128(load16(b.is_padding), padding));
    all = _mm_and_si128(all, _mm_or_si128(ok, load16(b.unchecked)));
  }
  return _mm_movemask_epi8(all) == 0xFFFF;
}

// The length of the panel, from byte 73 to the next space or the end of the line:
// printable ASCII without spaces, so 0 (no panel) also when a control byte or a
// byte of 0x80 and above ends it. The line has 74 to 96 bytes; none past its end
// is read.
inline unsigned panel_length(const Byte* line, unsigned n) noexcept {
  constexpr unsigned from = kLayoutBytes;
  // Spaces, control bytes and bytes of 0x80 and above (below " " as signed bytes).
  const auto stops = [](__m128i v) {
    const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(space, _mm_cmplt_epi8(v, _mm_set1_epi8(' ')))));
  };
  // Bit i stands for byte from + i; bit n - from for the end of the line.
  std::uint32_t at = std::uint32_t{1} << (n - from);
  const std::uint32_t last = stops(load16(line + n - 16));  // bytes n - 16 .. n - 1
  if (n - 16 >= from) {
    at |= stops(load16(line + from)) | last << (n - 16 - from);
  } else {
    at |= last >> (from - (n - 16));
  }
  const auto length = static_cast<unsigned>(std::countr_zero(at));
  return from + length == n || line[from + length] == ' ' ? length : 0;
}

// The numbers of a row in the layout whose four wide columns have spaces in their
// first two places, so that every significand has at most seven digits.
inline void read_numbers_narrow(const Byte* line, ReflectionValues& out) noexcept {
  // h, k and l: four bytes each, in three 32-bit lanes.
  static_assert(kColumns[0].point - kColumns[0].first == 4 &&
                kColumns[1].point - kColumns[1].first == 4 &&
                kColumns[2].point - kColumns[2].first == 4);
  const __m128i hkl_text = _mm_set_epi32(0, static_cast<int>(load4(line + kColumns[2].first)),
                                         static_cast<int>(load4(line + kColumns[1].first)),
                                         static_cast<int>(load4(line + kColumns[0].first)));
  const __m128i hkl_abs = values_of_4(hkl_text);
  const __m128i no_minus =
      _mm_cmpeq_epi32(_mm_cmpeq_epi8(hkl_text, _mm_set1_epi8('-')), _mm_setzero_si128());
  const __m128i negate = _mm_xor_si128(no_minus, _mm_set1_epi32(-1));
  const __m128i hkl = _mm_sub_epi32(_mm_xor_si128(hkl_abs, negate), negate);
  out.hkl[0] = static_cast<std::int16_t>(_mm_cvtsi128_si32(hkl));
  out.hkl[1] = static_cast<std::int16_t>(_mm_extract_epi16(hkl, 2));
  out.hkl[2] = static_cast<std::int16_t>(_mm_extract_epi16(hkl, 4));

  // I, sigma(I), peak, background: the last five places of the integer part, the point
  // taken out, then the two decimals: the eight bytes from point - 5, byte 5 dropped.
  const __m128i keep_int = _mm_set1_epi64x(0xFFFFFFFFFFLL);
  const __m128i keep_dec = _mm_set1_epi64x(static_cast<long long>(0xFFFF000000000000ULL));
  const auto drop_point2 = [&](__m128i x) {
    return _mm_or_si128(_mm_slli_epi64(_mm_and_si128(x, keep_int), 8), _mm_and_si128(x, keep_dec));
  };
  constexpr auto from = [](unsigned k) { return kColumns[k].point - 5; };
  static_assert(kColumns[3].decimals == 2 && kColumns[4].decimals == 2 &&
                kColumns[5].decimals == 2 && kColumns[6].decimals == 2);
  _mm_storeu_pd(out.measurements + 0,
                quotients(drop_point2(two_words(line + from(3), line + from(4))), 100.0));
  _mm_storeu_pd(out.measurements + 2,
                quotients(drop_point2(two_words(line + from(5), line + from(6))), 100.0));
  // fs and ss: four integer places, the point, one decimal: the eight bytes from point - 6.
  static_assert(kColumns[7].decimals == 1 && kColumns[7].point - kColumns[7].first == 4 &&
                kColumns[8].decimals == 1 && kColumns[8].point - kColumns[8].first == 4);
  const __m128i x = two_words(line + kColumns[7].point - 6, line + kColumns[8].point - 6);
  const __m128i z = _mm_or_si128(
      _mm_and_si128(_mm_slli_epi64(x, 8), _mm_set1_epi64x(0x00FFFFFFFF000000LL)),
      _mm_and_si128(x, _mm_set1_epi64x(static_cast<long long>(0xFF00000000000000ULL))));
  _mm_storeu_pd(out.measurements + 4, quotients(z, 10.0));
}
#endif

template <unsigned... K>
inline bool points_in_place(const Byte* line, std::integer_sequence<unsigned, K...>) noexcept {
  // Bitwise &: every point is looked at, without a branch per column.
  return (... & (kColumns[K].decimals == 0 || line[kColumns[K].point] == '.'));
}

// The classes of 16 bytes, bit i for byte i.
struct Classes16 {
  unsigned space, digit, sign, minus, other;
};

inline Classes16 classify_portable(const Byte* p) noexcept {
  Classes16 c{0, 0, 0, 0, 0};
  for (unsigned i = 0; i < 16; ++i) {
    const Byte b = p[i];
    c.space |= static_cast<unsigned>(b == ' ') << i;
    c.digit |= static_cast<unsigned>(b >= '0' && b <= '9') << i;
    c.sign |= static_cast<unsigned>(b == '+' || b == '-') << i;
    c.minus |= static_cast<unsigned>(b == '-') << i;
    c.other |= static_cast<unsigned>(b < ' ' || b >= 0x80) << i;
  }
  return c;
}

[[gnu::always_inline]] inline Classes16 classify(const Byte* p, bool portable) noexcept {
#if defined(__SSE2__)
  if (!portable) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto bits = [](__m128i eq) { return static_cast<unsigned>(_mm_movemask_epi8(eq)); };
    const __m128i minus = _mm_cmpeq_epi8(v, _mm_set1_epi8('-'));
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    // The signed comparison puts the bytes of 0x80 and above below " " too.
    return {bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))),
            bits(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)),
            bits(_mm_or_si128(minus, _mm_cmpeq_epi8(v, _mm_set1_epi8('+')))), bits(minus),
            bits(_mm_cmplt_epi8(v, _mm_set1_epi8(' ')))};
  }
#endif
  return classify_portable(p);
}

// The five classes as pairs of words: bytes 0..63, then 64..127.
struct Words {
  Word lo[5] = {};
  Word hi[5] = {};

  static void put(Word (&w)[5], const Classes16& c, int shift) noexcept {
    const Word v[5] = {c.space, c.digit, c.sign, c.minus, c.other};
    for (int i = 0; i < 5; ++i) w[i] |= shift >= 0 ? v[i] << shift : v[i] >> -shift;
  }
};

// Four blocks at fixed places fill the low words; the bytes from 64 on come from
// a block that ends at the row's end (and, for rows of more than 80 bytes, the
// block at 64), so no byte past the end is read and no shift is wider than a word.
[[gnu::always_inline]] inline FixedRowMasks build_masks(const Byte* p, std::size_t n,
                                                        bool portable) noexcept {
  Words w;
#pragma GCC unroll 4
  for (int b = 0; b < 4; ++b) Words::put(w.lo, classify(p + 16 * b, portable), 16 * b);
  const int tail = static_cast<int>(n) - 80;  // -6 .. 16
  Words::put(w.hi, classify(p + n - 16, portable), tail);
  if (tail > 0) Words::put(w.hi, classify(p + 64, portable), 0);
  FixedRowMasks m;
  const auto join = [&](int i) { return static_cast<Mask>(w.hi[i]) << 64 | w.lo[i]; };
  m.space = join(0);
  m.digit = join(1);
  m.sign = join(2);
  m.minus = join(3);
  m.other = join(4);
  return m;
}

}  // namespace

FixedRowMasks fixed_row_masks(const unsigned char* p, std::size_t n) noexcept {
  return build_masks(p, n, false);
}

FixedRowMasks fixed_row_masks_portable(const unsigned char* p, std::size_t n) noexcept {
  return build_masks(p, n, true);
}

bool read_reflection_row_fixed(std::string_view bytes, ReflectionValues& out) noexcept {
  const Byte* const line = reinterpret_cast<const Byte*>(bytes.data());
  const std::size_t n = bytes.size();
  if (n < kFixedRowMinBytes || n > kFixedRowMaxBytes) return false;
#if defined(__SSE2__)
  if (!in_layout(line)) return false;
  const unsigned panel_len = panel_length(line, static_cast<unsigned>(n));
  if (panel_len == 0) return false;
  out.panel = bytes.substr(kLayoutBytes, panel_len);
  if (std::memcmp(line + kColumns[3].first, "  ", 2) == 0 &&
      std::memcmp(line + kColumns[4].first, "  ", 2) == 0 &&
      std::memcmp(line + kColumns[5].first, "  ", 2) == 0 &&
      std::memcmp(line + kColumns[6].first, "  ", 2) == 0) {
    read_numbers_narrow(line, out);
    return true;
  }
  // A wide number: column by column, with the signs from the byte classes.
  const FixedRowMasks m = build_masks(line, n, false);
#else
  const FixedRowMasks m = build_masks(line, n, false);

  // The layout: spaces, digits and points in their places, and left of each
  // number only spaces, signs and digits, where a sign or a digit is followed by
  // a digit. So a number is its padding, at most one sign, then digits.
  const Mask allowed = m.space | m.digit | m.sign;
  const Mask taken = (m.digit | m.sign) & kLayout.free;
  const bool layout =
      ((m.space & kLayout.space) == kLayout.space) & ((m.digit & kLayout.digit) == kLayout.digit) &
      ((allowed & kLayout.free) == kLayout.free) & (((taken << 1) & ~m.digit) == 0) &
      points_in_place(line, std::make_integer_sequence<unsigned, 9>{});
  // The panel: from byte 73 to the next space or the end of the line, printable
  // ASCII without spaces (what follows it is not read). Bit n stands for the end.
  const Mask ends = ((m.space | m.other) >> (kPanelSpace + 1)) |
                    bit(static_cast<unsigned>(n) - (kPanelSpace + 1));
  const auto panel_len =
      static_cast<unsigned>(std::countr_zero(static_cast<std::uint64_t>(ends)));  // n - 73 < 64
  const unsigned panel_end = kPanelSpace + 1 + panel_len;
  const bool panel = panel_len > 0 && ((m.other >> panel_end) & 1) == 0;
  if (!(layout & panel)) return false;
  out.panel = bytes.substr(kPanelSpace + 1, panel_len);
#endif
  out.hkl[0] = index_value<0>(line, m);
  out.hkl[1] = index_value<1>(line, m);
  out.hkl[2] = index_value<2>(line, m);
  out.measurements[0] = measurement_value<3>(line, m);
  out.measurements[1] = measurement_value<4>(line, m);
  out.measurements[2] = measurement_value<5>(line, m);
  out.measurements[3] = measurement_value<6>(line, m);
  out.measurements[4] = measurement_value<7>(line, m);
  out.measurements[5] = measurement_value<8>(line, m);
  return true;
}

}  // namespace qn
