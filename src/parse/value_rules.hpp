// How a value is read from a key line: the number, count and float rules, the
// first numbers of a line, and the slot that keeps a key's value until its image
// or crystal is committed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parse/report.hpp"
#include "pystr/numbers.hpp"
#include "pystr/white_space.hpp"

namespace qn {

// The first field of str.split() over `text`, if there is one.
inline std::optional<std::string_view> first_field(std::string_view text) noexcept {
  PySplit split(text);
  std::string_view field;
  if (!split.next(field)) return std::nullopt;
  return field;
}

// Number rule (photon energy, camera length): integers are taken exactly when
// they fit in 64 bits; anything else goes through float().
std::optional<double> number_rule(std::string_view field) noexcept;

// Count rule (peak count): an int32, also from a finite float truncated toward zero.
std::optional<std::int32_t> count_rule(std::string_view field) noexcept;

// Float rule (crystal values): float() of the field.
std::optional<double> float_rule(std::string_view field) noexcept;

// Takes the first K fields of `text` that float() accepts, skipping the others.
template <std::size_t K>
bool collect_numbers(std::string_view text, double (&out)[K]) noexcept {
  PySplit split(text);
  std::string_view field;
  double taken[K];
  std::size_t n = 0;
  while (n < K && split.next(field)) {
    if (py_float(field, taken[n])) ++n;
  }
  if (n < K) return false;
  std::copy(taken, taken + K, out);
  return true;
}

// A value read from a key line, kept until the image or crystal is committed.
// The last line for a key decides.
template <class T>
struct ValueSlot {
  enum class State : std::uint8_t { kAbsent, kValid, kInvalid };
  State state = State::kAbsent;
  T value{};
  std::uint64_t offset = 0;  // the line that set the slot

  void set(std::optional<T> v, std::uint64_t at) noexcept {
    state = v ? State::kValid : State::kInvalid;
    value = v.value_or(T{});
    offset = at;
  }
  void clear() noexcept { state = State::kAbsent; }

  // The value, or `fallback` when absent or invalid; an invalid value is
  // recorded, since it reaches a committed row.
  T take(T fallback, Report& report) const noexcept {
    if (state == State::kValid) return value;
    if (state == State::kInvalid) report.record(Reason::kKeyValue, offset);
    return fallback;
  }
};

}  // namespace qn
