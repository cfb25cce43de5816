// The general path of the reflection row: any values, each number formatted on its
// own and padded to its width, so a value wider than its field pushes the rest of
// the row to the right.
#include "write/row.hpp"

#include <initializer_list>

#include "write/fixed.hpp"

namespace qn {

char* write_row_general(char* out, const RowValues& v) noexcept {
  char* p = out;
  for (const std::int16_t n : {v.h, v.k, v.l}) {
    p = pad_left(p, write_int(p, n), 4);
    *p++ = ' ';
  }
  p = write_fixed_field(p, v.I, 2, 10);
  *p++ = ' ';
  p = write_fixed_field(p, v.sigma, 2, 10);
  *p++ = ' ';
  p = write_fixed_field(p, v.peak, 2, 10);
  *p++ = ' ';
  p = write_fixed_field(p, v.background, 2, 10);
  // No separator follows the background: the width of fs normally leaves a space in
  // front of it. A value that fills the width gets one, or the two fields would run
  // together and the row would read back one field short.
  char* fs = p;
  p = write_fixed_field(p, v.fs, 1, 7);
  if (*fs != ' ') {
    std::memmove(fs + 1, fs, static_cast<std::size_t>(p - fs));
    *fs = ' ';
    ++p;
  }
  *p++ = ' ';
  p = write_fixed_field(p, v.ss, 1, 6);
  *p++ = ' ';
  return p;
}

}  // namespace qn
