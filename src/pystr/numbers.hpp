// Numbers with the semantics of Python's int() and float().
//
// The chunk parser must accept and reject exactly the field texts that the
// Python built-ins accept and reject, so these functions mirror them, within
// three restrictions: only ASCII digits are digits, integers are limited to the
// signed 64-bit range (with a distinct outcome for larger literals), and the
// parsers take single fields without surrounding white space. Nothing allocates.
#pragma once

#include <cstdint>
#include <string_view>

namespace qn {

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
