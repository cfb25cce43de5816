// Reading one reflection row: h, k, l, six measurements and the panel name.
//
// Reflection rows are almost all of a stream's bytes, so they have two readers
// with one result. read_reflection_row is the reference: str.split() into
// fields, then int() and float() on them, on the decoded text of the line.
// read_reflection_row_ascii reads the raw bytes, but only in the plain spelling
// a writer produces (lines under 128 bytes, fields separated by spaces, plain
// decimals without exponent or underscore, indices of at most five digits); on
// anything else it gives up, and the caller asks the reference reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "parse/report.hpp"

namespace qn {

/// The converted fields of a reflection row that is kept.
struct ReflectionValues {
  std::int16_t hkl[3];
  double measurements[6];  ///< I, sigma(I), peak, background, fs, ss
  std::string_view panel;  ///< a view into the line
};

/// Reads the row from the decoded text of a line with the semantics of
/// str.split(), int() and float(). Returns nullopt and fills `out` when the
/// row is kept, otherwise the reason it is dropped (reflection_short,
/// reflection_value or reflection_hkl_range); `out` is then unspecified.
std::optional<Reason> read_reflection_row(std::string_view text, ReflectionValues& out) noexcept;

/// The same row read straight from the line's raw bytes, which need not have
/// been decoded. Returns true only when the line is shorter than 128 bytes,
/// the ten leading fields and everything before them are ASCII bytes from 0x20
/// up, separated by spaces, every number is spelled plainly and the row is
/// kept; `out` then holds exactly what read_reflection_row gives for the
/// decoded line. Returns false otherwise, with `out` unspecified.
bool read_reflection_row_ascii(std::string_view bytes, ReflectionValues& out) noexcept;

/// Byte classes of 16 bytes, bit i for byte i: `space` where it is " ",
/// `other` where it is below " " or above 0x7F (tab and the other white space,
/// bytes of multi-byte characters), which read_reflection_row_ascii leaves to
/// the reference reader.
struct Classes16 {
  unsigned space;
  unsigned other;
};

/// The classes of p[0..16), with SSE2 where the target has it.
Classes16 classify16(const unsigned char* p) noexcept;
/// The same, a 64-bit word at a time, for targets without SSE2.
Classes16 classify16_portable(const unsigned char* p) noexcept;

}  // namespace qn
