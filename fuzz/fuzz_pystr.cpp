// Fuzz target: py_int and py_float against slow references built from a regular
// expression of Python's literal grammar and the C library's strtoll/strtod (both
// exact: strtod is correctly rounded in glibc).
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "pystr/numbers.hpp"
#include "pystr/white_space.hpp"

namespace {

void check(bool ok, const std::string& what, const std::string& text) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s for \"%s\"\n", what.c_str(), text.c_str());
    std::abort();
  }
}

std::string without_underscores(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c != '_') out += c;
  }
  return out;
}

// Expands D to "digits with single underscores between them".
std::string expand(const char* pattern) {
  std::string out;
  for (const char* p = pattern; *p; ++p) {
    if (*p == 'D') {
      out += "[0-9](_?[0-9])*";
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 400) return 0;  // the reference regex is slow on long texts
  const std::string text(reinterpret_cast<const char*>(data), size);
  static const std::regex int_re(expand("[+-]?D"));
  static const std::regex float_re(expand(
      "[+-]?(((D(\\.(D)?)?|\\.D)([eE][+-]?D)?)|[iI][nN][fF]([iI][nN][iI][tT][yY])?|[nN][aA][nN])"));

  // py_int
  const qn::PyInt got = qn::py_int(text);
  if (!std::regex_match(text, int_re)) {
    check(got.status == qn::IntStatus::kNotInteger, "py_int accepts a non-literal", text);
  } else {
    const std::string digits = without_underscores(text);
    errno = 0;
    const long long v = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE) {
      check(got.status == qn::IntStatus::kOutOfRange, "py_int range", text);
    } else {
      check(got.status == qn::IntStatus::kOk && got.value == v, "py_int value", text);
    }
  }

  // py_float
  double value = 0;
  const bool ok = qn::py_float(text, value);
  if (!std::regex_match(text, float_re)) {
    check(!ok, "py_float accepts a non-literal", text);
  } else {
    check(ok, "py_float rejects a literal", text);
    const std::string plain = without_underscores(text);
    const double expected = std::strtod(plain.c_str(), nullptr);
    if (std::isnan(expected)) {
      check(std::isnan(value) && std::signbit(value) == (plain[0] == '-'), "py_float nan", text);
    } else {
      check(std::memcmp(&value, &expected, sizeof value) == 0, "py_float value", text);
    }
  }
  return 0;
}
