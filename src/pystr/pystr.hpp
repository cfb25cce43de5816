// Text conversions with the semantics of Python's str.strip(), str.split(),
// int() and float().
//
// The chunk parser must accept and reject exactly the field texts that the
// Python built-ins accept and reject, so these functions mirror them, within
// three restrictions: only ASCII digits are digits, integers are limited to the
// signed 64-bit range (with a distinct outcome for larger literals), and the
// number parsers take single fields without surrounding white space. Inputs are
// expected to be valid UTF-8; results are views into the input wherever
// possible, and nothing allocates except strip_underscores on long texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qn {

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

/// Room for the text that strip_underscores builds. Texts of up to kInline
/// bytes are built in place; only longer ones allocate.
class UnderscoreScratch {
 public:
  static constexpr std::size_t kInline = 128;

 private:
  friend std::optional<std::string_view> strip_underscores(std::string_view text,
                                                           UnderscoreScratch& scratch);
  char inline_[kInline];
  std::string heap_;
};

/// The text with the underscores that Python's numeric literals allow removed,
/// or nullopt when an underscore is misplaced (every "_" must stand between two
/// ASCII digits). Returns `text` itself when it holds no underscore; otherwise
/// a view into `scratch`, valid until its next use.
std::optional<std::string_view> strip_underscores(std::string_view text,
                                                  UnderscoreScratch& scratch);

/// Outcome of py_int.
enum class IntStatus : std::uint8_t {
  kOk,          ///< an integer literal in the signed 64-bit range; `value` holds it
  kOutOfRange,  ///< an integer literal whose value does not fit in 64 bits
  kNotInteger,  ///< not an integer literal at all
};

struct PyInt {
  IntStatus status;
  std::int64_t value;  ///< 0 unless status is kOk
};

/// Python's int(text) for ASCII decimal digits: optional sign, digits with
/// single underscores between them, leading zeros allowed, no white space.
PyInt py_int(std::string_view text) noexcept;

/// Python's float(text) for ASCII digits and no surrounding white space: a
/// decimal literal with an optional exponent, or inf / infinity / nan (any case,
/// optional sign). On success stores the correctly rounded double in `out`;
/// returns false, leaving `out` untouched, when Python would raise.
bool py_float(std::string_view text, double& out) noexcept;

}  // namespace qn
