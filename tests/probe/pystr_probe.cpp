// A C-ABI view of the text primitives, loaded with ctypes by the Python
// property tests so that they can compare them with Python's own built-ins.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pystr/numbers.hpp"
#include "pystr/white_space.hpp"

extern "C" {

/// py_int: returns 0 (integer, stored in *value), 1 (out of range) or 2 (not an integer).
int qn_probe_py_int(const char* text, std::size_t len, std::int64_t* value) {
  const qn::PyInt r = qn::py_int(std::string_view(text, len));
  *value = r.value;
  return static_cast<int>(r.status);
}

/// py_float: returns 1 and stores the value, or returns 0.
int qn_probe_py_float(const char* text, std::size_t len, double* value) {
  return qn::py_float(std::string_view(text, len), *value) ? 1 : 0;
}

/// py_strip: stores the byte offset and length of the stripped view.
void qn_probe_py_strip(const char* text, std::size_t len, std::size_t* start,
                       std::size_t* out_len) {
  const std::string_view s = qn::py_strip(std::string_view(text, len));
  *start = static_cast<std::size_t>(s.data() - text);
  *out_len = s.size();
}

/// PySplit: stores up to `capacity` (offset, length) pairs in `pairs` and
/// returns the total number of fields.
std::size_t qn_probe_py_split(const char* text, std::size_t len, std::size_t* pairs,
                              std::size_t capacity) {
  qn::PySplit split(std::string_view(text, len));
  std::string_view field;
  std::size_t n = 0;
  while (split.next(field)) {
    if (n < capacity) {
      pairs[2 * n] = static_cast<std::size_t>(field.data() - text);
      pairs[2 * n + 1] = field.size();
    }
    ++n;
  }
  return n;
}

/// The underscores that Python's numeric literals allow, removed: returns the length
/// of the result copied to `out` (which holds at least len bytes), or -1 when an
/// underscore is misplaced (every "_" must stand between two ASCII digits). The
/// property tests check this rule, which py_int and py_float apply as they read.
std::ptrdiff_t qn_probe_strip_underscores(const char* text, std::size_t len, char* out) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t n = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] != '_') {
      out[n++] = text[i];
    } else if (i == 0 || i + 1 == len || !digit(text[i - 1]) || !digit(text[i + 1])) {
      return -1;
    }
  }
  return static_cast<std::ptrdiff_t>(n);
}

}  // extern "C"
