// Stream lines are almost always ASCII, so the check runs eight bytes at a time
// until it meets a byte with the high bit set, checks that sequence against the
// well-formed UTF-8 table, and only on the first ill-formed one starts copying.
#include "parse/utf8_decode.hpp"

#include <cstdint>
#include <cstring>

namespace qn {
namespace {

using Byte = unsigned char;

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Skips ASCII bytes from p; returns the first non-ASCII byte or end.
inline const Byte* skip_ascii(const Byte* p, const Byte* end) noexcept {
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if ((word & kHighBits) != 0) break;
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

// For the sequence starting at the non-ASCII byte p: returns its length when it
// is well formed, else 0 with `bad` set to the length of its maximal invalid
// subpart.
inline std::size_t check_sequence(const Byte* p, const Byte* end, std::size_t& bad) noexcept {
  const Byte lead = *p;
  std::size_t tail;           // continuation bytes required
  Byte lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    tail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    tail = 2;
    if (lead == 0xE0)
      lo = 0xA0;  // no overlong forms
    else if (lead == 0xED)
      hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    tail = 3;
    if (lead == 0xF0)
      lo = 0x90;  // no overlong forms
    else if (lead == 0xF4)
      hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;  // a continuation byte, C0, C1 or F5..FF
    return 0;
  }
  if (end - p < 2 || p[1] < lo || p[1] > hi) {
    bad = 1;
    return 0;
  }
  for (std::size_t i = 2; i <= tail; ++i) {
    if (static_cast<std::size_t>(end - p) <= i || p[i] < 0x80 || p[i] > 0xBF) {
      bad = i;
      return 0;
    }
  }
  return tail + 1;
}

}  // namespace

std::string_view decode_utf8_lossy(std::string_view bytes, std::string& scratch) {
  const Byte* const begin = reinterpret_cast<const Byte*>(bytes.data());
  const Byte* const end = begin + bytes.size();
  const Byte* p = begin;
  std::size_t bad = 0;
  for (;;) {
    p = skip_ascii(p, end);
    if (p == end) return bytes;
    const std::size_t n = check_sequence(p, end, bad);
    if (n == 0) break;
    p += n;
  }

  // p is at the first ill-formed subpart: copy what came before, then decode.
  scratch.assign(bytes.data(), static_cast<std::size_t>(p - begin));
  for (;;) {
    scratch.append(kReplacement, 3);
    p += bad;
    const Byte* const run = p;
    for (;;) {
      p = skip_ascii(p, end);
      if (p == end) break;
      const std::size_t n = check_sequence(p, end, bad);
      if (n == 0) break;
      p += n;
    }
    scratch.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end) return scratch;
  }
}

}  // namespace qn
