#include "parse/value_rules.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pystr/numbers.hpp"

namespace qn {

std::optional<double> number_rule(std::string_view field) noexcept {
  const PyInt i = py_int(field);
  if (i.status == IntStatus::kOk) return static_cast<double>(i.value);
  double v;
  if (!py_float(field, v)) return std::nullopt;
  if (i.status == IntStatus::kOutOfRange && !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<std::int32_t> count_rule(std::string_view field) noexcept {
  constexpr double kMin = -2147483648.0, kMax = 2147483647.0;
  const PyInt i = py_int(field);
  if (i.status == IntStatus::kOk) {
    if (i.value < INT32_MIN || i.value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(i.value);
  }
  if (i.status == IntStatus::kOutOfRange) return std::nullopt;
  double v;
  if (!py_float(field, v) || !std::isfinite(v)) return std::nullopt;
  v = std::trunc(v);
  if (v < kMin || v > kMax) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

std::optional<double> float_rule(std::string_view field) noexcept {
  double v;
  if (!py_float(field, v)) return std::nullopt;
  return v;
}

}  // namespace qn
