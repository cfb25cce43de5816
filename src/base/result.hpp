// Result<T>: a value or an Error, with std::expected's member names.
//
// g++ 12 has std::expected only under C++23 and the fuzzing compiler (clang 14)
// lacks it, so the work of the module returns this small type instead.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/error.hpp"

namespace qn {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  [[nodiscard]] bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : e_(std::move(error)) {}  // NOLINT

  [[nodiscard]] bool has_value() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  const Error& error() const& { return *e_; }
  Error&& error() && { return std::move(*e_); }

 private:
  std::optional<Error> e_;
};

}  // namespace qn

#define QN_CONCAT_INNER(a, b) a##b
#define QN_CONCAT(a, b) QN_CONCAT_INNER(a, b)

/// Evaluates a Result-returning expression and returns its error from the
/// enclosing function if it failed.
#define QN_TRY(expr)                                               \
  do {                                                             \
    auto&& qn_try_result_ = (expr);                                \
    if (!qn_try_result_) return std::move(qn_try_result_).error(); \
  } while (0)

/// Declares or assigns `lhs` from a Result-returning expression, returning
/// its error from the enclosing function if it failed.
#define QN_ASSIGN_OR_RETURN(lhs, expr) \
  QN_ASSIGN_OR_RETURN_IMPL(QN_CONCAT(qn_result_, __LINE__), lhs, expr)
#define QN_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                             \
  if (!tmp) return std::move(tmp).error();       \
  lhs = std::move(tmp).value()
