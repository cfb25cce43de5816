// The general path of the reflection row: any values, each number formatted on its
// own and padded to its width, so a value wider than its field pushes the rest of
// the row to the right.
#include "write/row.hpp"

#include <initializer_list>

#include "write/fixed.hpp"

namespace qn {

namespace {

// fixed p, padded to `width`; NaN as "nan".
char* put_fixed(char* p, float v, int precision, std::size_t width) noexcept {
  char* end = std::isnan(v) ? static_cast<char*>(std::memcpy(p, "nan", 3)) + 3
                            : write_fixed(p, v, precision);
  return pad_left(p, end, width);
}

}  // namespace

char* write_row_general(char* out, const RowValues& v) noexcept {
  char* p = out;
  for (const std::int16_t n : {v.h, v.k, v.l}) {
    p = pad_left(p, write_int(p, n), 4);
    *p++ = ' ';
  }
  p = put_fixed(p, v.I, 2, 10);
  *p++ = ' ';
  p = put_fixed(p, v.sigma, 2, 10);
  *p++ = ' ';
  p = put_fixed(p, v.peak, 2, 10);
  *p++ = ' ';
  p = put_fixed(p, v.background, 2, 10);
  // No separator follows the background: the width of fs normally leaves a space in
  // front of it. A value that fills the width gets one, or the two fields would run
  // together and the row would read back one field short.
  char* fs = p;
  p = put_fixed(p, v.fs, 1, 7);
  if (*fs != ' ') {
    std::memmove(fs + 1, fs, static_cast<std::size_t>(p - fs));
    *fs = ' ';
    ++p;
  }
  *p++ = ' ';
  p = put_fixed(p, v.ss, 1, 6);
  *p++ = ' ';
  return p;
}

}  // namespace qn
