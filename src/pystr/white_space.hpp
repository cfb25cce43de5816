// White space with the semantics of Python's str.isspace(), and the str.strip()
// and str.split() built on it.
//
// Inputs are expected to be valid UTF-8; results are views into the input.
#pragma once

#include <cstddef>
#include <string_view>

namespace qn {

/// The length of the white-space character that starts at `p` (p < end), or 0
/// when the character there is not white space.
std::size_t py_space_at(const char* p, const char* end) noexcept;

/// True when `text` holds a character for which str.isspace() is true.
bool contains_py_space(std::string_view text) noexcept;

/// `text` without the leading and trailing characters for which Python's
/// str.isspace() is true; the view starts and ends on character boundaries.
std::string_view py_strip(std::string_view text) noexcept;

/// The fields of str.split() without arguments: maximal runs of characters that
/// are not white space, in order. White space at either end makes no field.
class PySplit {
 public:
  explicit PySplit(std::string_view text) noexcept
      : pos_(text.data()), end_(text.data() + text.size()) {}

  /// Sets `field` to the next field and returns true, or returns false once the
  /// text is exhausted (and on every later call).
  bool next(std::string_view& field) noexcept;

 private:
  const char* pos_;
  const char* end_;
};

}  // namespace qn
