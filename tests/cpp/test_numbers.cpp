// Tables of texts with the outcome Python's int() and float() give for them, and the
// exact-decimal fast path against from_chars.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "pystr/exact_decimal.hpp"
#include "pystr/numbers.hpp"

namespace qn {
namespace {

// --- py_int -----------------------------------------------------------------

struct IntCase {
  std::string text;
  IntStatus status;
  std::int64_t value;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class PyIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(PyIntTest, MatchesPythonInt) {
  const IntCase& c = GetParam();
  const PyInt r = py_int(c.text);
  EXPECT_EQ(r.status, c.status) << '"' << c.text << '"';
  if (c.status == IntStatus::kOk) {
    EXPECT_EQ(r.value, c.value) << '"' << c.text << '"';
  }
}

constexpr auto kOk = IntStatus::kOk;
constexpr auto kRange = IntStatus::kOutOfRange;
constexpr auto kNot = IntStatus::kNotInteger;

INSTANTIATE_TEST_SUITE_P(
    Table, PyIntTest,
    ::testing::Values(
        IntCase{"42", kOk, 42}, IntCase{"+42", kOk, 42}, IntCase{"0042", kOk, 42},
        IntCase{"-0", kOk, 0}, IntCase{"1_000", kOk, 1000}, IntCase{"0_0", kOk, 0},
        IntCase{"-7", kOk, -7},
        IntCase{"9223372036854775807", kOk, std::numeric_limits<std::int64_t>::max()},
        IntCase{"-9223372036854775808", kOk, std::numeric_limits<std::int64_t>::min()},
        IntCase{"00000000000000000000009223372036854775807", kOk,
                std::numeric_limits<std::int64_t>::max()},
        IntCase{"9223372036854775808", kRange, 0}, IntCase{"-9223372036854775809", kRange, 0},
        IntCase{"99999999999999999999", kRange, 0},
        IntCase{"18446744073709551616", kRange, 0},  // 2^64 must not wrap to 0
        IntCase{"", kNot, 0}, IntCase{"+", kNot, 0}, IntCase{"-", kNot, 0}, IntCase{"1.0", kNot, 0},
        IntCase{"1e3", kNot, 0}, IntCase{"0x10", kNot, 0}, IntCase{"1_", kNot, 0},
        IntCase{"_1", kNot, 0}, IntCase{"1__0", kNot, 0}, IntCase{"-_1", kNot, 0},
        IntCase{"+-1", kNot, 0}, IntCase{" 42", kNot, 0}, IntCase{"42 ", kNot, 0},
        // A literal too large for 64 bits is still no integer if junk follows.
        IntCase{"99999999999999999999x", kNot, 0},
        // Arabic-Indic digits four and two: Python accepts them, this module does not.
        IntCase{"\xd9\xa4\xd9\xa2", kNot, 0}));

// --- py_float ---------------------------------------------------------------

struct FloatCase {
  std::string text;
  bool ok;
  double value;  // compared bit for bit; for a NaN only NaN-ness and sign
};

void PrintTo(const FloatCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.text.size() > 80 ? c.text.substr(0, 80) + "..." : c.text);
}

class PyFloatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(PyFloatTest, MatchesPythonFloat) {
  const FloatCase& c = GetParam();
  double got = 12345.0;
  ASSERT_EQ(py_float(c.text, got), c.ok) << '"' << c.text << '"';
  if (!c.ok) {
    EXPECT_EQ(got, 12345.0) << "failure must leave the output untouched";
  } else if (std::isnan(c.value)) {
    EXPECT_TRUE(std::isnan(got));
    EXPECT_EQ(std::signbit(got), std::signbit(c.value)) << '"' << c.text << '"';
  } else {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(c.value))
        << '"' << c.text << "\" gave " << got;
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

FloatCase Ok(std::string text, double value) { return {std::move(text), true, value}; }
FloatCase Fail(std::string text) { return {std::move(text), false, 0.0}; }

// Concatenation that keeps g++'s -Wrestrict false positive on string operator+ away.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PyFloatTest,
    ::testing::Values(
        Ok("1.5", 1.5), Ok("-.5", -0.5), Ok("5.", 5.0), Ok("1.e-5", 0.00001),
        Ok("1_000.25", 1000.25), Ok("1e400", kInf), Ok("-1e400", -kInf), Ok("1e-400", 0.0),
        Ok("-1e-400", -0.0), Ok("-0", -0.0), Ok("0e999999999999999999999", 0.0), Ok("INF", kInf),
        Ok("-Infinity", -kInf), Ok("+iNfInItY", kInf), Ok("nan", kNaN), Ok("NaN", kNaN),
        Ok("-nan", -kNaN), Ok("1e1_0", 1e10), Ok("1E+5", 1e5),
        // Exact fast path and its edges.
        Ok("0.1", 0.1), Ok("123456789012345678", 123456789012345678.0),
        Ok("9007199254740993", 9007199254740992.0),  // 2^53 + 1: ties to even
        Ok("1e22", 1e22), Ok("1e23", 1e23), Ok("12e30", 12e30), Ok("3.14159e-22", 3.14159e-22),
        // Slow path: long significands, subnormals, limits of the range.
        Ok("0.1000000000000000055511151231257827021181583404541015625", 0.1),
        Ok("2.2250738585072011e-308", 2.2250738585072011e-308),
        Ok("4.9406564584124654e-324", 4.9406564584124654e-324),
        Ok("2.4703282292062328e-324", 4.9406564584124654e-324), Ok("2.4703282292062327e-324", 0.0),
        Ok("1.7976931348623157e308", 1.7976931348623157e308), Ok("1.7976931348623159e308", kInf),
        Ok("0.000000000000000000000000000001e30", 1.0),
        Ok(cat({"1", std::string(400, '0'), "e-400"}), 1.0),
        Ok(cat({"0.", std::string(1000, '0'), "1e1001"}), 1.0),
        // Halfway between 1 and the next double, then just above it far out:
        // the digit that decides lies beyond the digits kept.
        Ok("1.00000000000000011102230246251565404236316680908203125", 1.0),
        Ok(cat({"1.00000000000000011102230246251565404236316680908203125", std::string(900, '0'),
                "1"}),
           1.0000000000000002),
        Fail("infin"), Fail("1e"), Fail("."), Fail(""), Fail("+"), Fail("e5"), Fail(" 1.5"),
        Fail("1.5 "), Fail("0x1p3"), Fail("1,5"), Fail("1__0.5"), Fail("1_.5"), Fail("1._5"),
        Fail("_1.5"), Fail("1.5_"), Fail("1e_5"), Fail("1e5_"), Fail("nan(1)"), Fail("--1"),
        Fail("+-1"), Fail("1e+"), Fail("inf_"), Fail("1.5e3.2"), Fail("1..5")));
// --- integer_times_pow10 ------------------------------------------------------

struct ExactCase {
  std::uint64_t w;
  std::int64_t power;
};

class ExactDecimalTest : public ::testing::TestWithParam<ExactCase> {};

// Inside its domain the fast path gives what from_chars, correctly rounded, gives
// for the same decimal; outside it it declines.
TEST_P(ExactDecimalTest, AgreesWithFromCharsOrDeclines) {
  const ExactCase c = GetParam();
  const std::string text = std::to_string(c.w) + "e" + std::to_string(c.power);
  double want = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), want);
  double got = -1.0;
  const bool taken = integer_times_pow10(c.w, c.power, got);
  const bool in_domain =
      c.w <= kMaxExactInt &&
      ((c.power >= -22 && c.power <= 22) ||
       (c.power > 22 && c.power <= 37 &&
        static_cast<double>(c.w) * std::pow(10.0, static_cast<double>(c.power - 22)) <=
            9007199254740992.0));
  ASSERT_EQ(taken, in_domain) << text;
  if (taken) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << text;
  } else {
    EXPECT_EQ(got, -1.0) << text;
  }
  if (taken && c.power <= 0) {
    EXPECT_EQ(exact_quotient_pow10(c.w, static_cast<unsigned>(-c.power)), want) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExactDecimalTest,
    ::testing::Values(ExactCase{0, 0}, ExactCase{1, -22}, ExactCase{1, 22}, ExactCase{1, 23},
                      ExactCase{1, -23}, ExactCase{9007199254740992, -1},
                      ExactCase{9007199254740993, 0}, ExactCase{123456789, -7}, ExactCase{3, -1},
                      ExactCase{7, -19}, ExactCase{9007199254740991, 22}, ExactCase{9, 37},
                      ExactCase{9007, 37}, ExactCase{1, 38}, ExactCase{900719925474099, 24},
                      ExactCase{900719925474099, 25}));

}  // namespace
}  // namespace qn
