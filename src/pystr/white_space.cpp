// Python's white space: the set of str.isspace(), which is ASCII 0x09-0x0D,
// 0x1C-0x20, and eleven code points above 0x7F, all of which are encoded with lead
// byte 0xC2, 0xE1, 0xE2 or 0xE3. Every other byte can be skipped without decoding,
// so ASCII text is classified one table lookup per byte.
#include "pystr/white_space.hpp"

#include <array>
#include <cstdint>

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
    default: return 0;
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

}  // namespace

std::size_t py_space_at(const char* p, const char* end) noexcept { return space_at(p, end); }

bool contains_py_space(std::string_view text) noexcept {
  const char* const end = text.data() + text.size();
  // Lead bytes never occur inside a sequence, so matching at any position is safe.
  for (const char* p = text.data(); p < end; ++p) {
    if (space_at(p, end) != 0) return true;
  }
  return false;
}

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

}  // namespace qn
