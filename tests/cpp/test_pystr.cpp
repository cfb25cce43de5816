// Tables of texts with the outcome Python's int(), float(), str.strip() and
// str.split() give for them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "pystr/pystr.hpp"

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
        IntCase{"", kNot, 0}, IntCase{"+", kNot, 0}, IntCase{"-", kNot, 0},
        IntCase{"1.0", kNot, 0}, IntCase{"1e3", kNot, 0}, IntCase{"0x10", kNot, 0},
        IntCase{"1_", kNot, 0}, IntCase{"_1", kNot, 0}, IntCase{"1__0", kNot, 0},
        IntCase{"-_1", kNot, 0}, IntCase{"+-1", kNot, 0}, IntCase{" 42", kNot, 0},
        IntCase{"42 ", kNot, 0},
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
        Ok("-1e-400", -0.0), Ok("-0", -0.0), Ok("0e999999999999999999999", 0.0),
        Ok("INF", kInf), Ok("-Infinity", -kInf), Ok("+iNfInItY", kInf), Ok("nan", kNaN),
        Ok("NaN", kNaN), Ok("-nan", -kNaN), Ok("1e1_0", 1e10), Ok("1E+5", 1e5),
        // Exact fast path and its edges.
        Ok("0.1", 0.1), Ok("123456789012345678", 123456789012345678.0),
        Ok("9007199254740993", 9007199254740992.0),  // 2^53 + 1: ties to even
        Ok("1e22", 1e22), Ok("1e23", 1e23), Ok("12e30", 12e30), Ok("3.14159e-22", 3.14159e-22),
        // Slow path: long significands, subnormals, limits of the range.
        Ok("0.1000000000000000055511151231257827021181583404541015625", 0.1),
        Ok("2.2250738585072011e-308", 2.2250738585072011e-308),
        Ok("4.9406564584124654e-324", 4.9406564584124654e-324),
        Ok("2.4703282292062328e-324", 4.9406564584124654e-324),
        Ok("2.4703282292062327e-324", 0.0),
        Ok("1.7976931348623157e308", 1.7976931348623157e308),
        Ok("1.7976931348623159e308", kInf),
        Ok("0.000000000000000000000000000001e30", 1.0),
        Ok(cat({"1", std::string(400, '0'), "e-400"}), 1.0),
        Ok(cat({"0.", std::string(1000, '0'), "1e1001"}), 1.0),
        // Halfway between 1 and the next double, then just above it far out:
        // the digit that decides lies beyond the digits kept.
        Ok("1.00000000000000011102230246251565404236316680908203125", 1.0),
        Ok(cat({"1.00000000000000011102230246251565404236316680908203125", std::string(900, '0'), "1"}),
           1.0000000000000002),
        Fail("infin"), Fail("1e"), Fail("."), Fail(""), Fail("+"), Fail("e5"), Fail(" 1.5"),
        Fail("1.5 "), Fail("0x1p3"), Fail("1,5"), Fail("1__0.5"), Fail("1_.5"), Fail("1._5"),
        Fail("_1.5"), Fail("1.5_"), Fail("1e_5"), Fail("1e5_"), Fail("nan(1)"), Fail("--1"),
        Fail("+-1"), Fail("1e+"), Fail("inf_"), Fail("1.5e3.2"), Fail("1..5")));

// --- strip_underscores ------------------------------------------------------

struct UnderscoreCase {
  std::string text;
  bool valid;
  std::string stripped;
};

void PrintTo(const UnderscoreCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class StripUnderscoresTest : public ::testing::TestWithParam<UnderscoreCase> {};

TEST_P(StripUnderscoresTest, RemovesOnlyUnderscoresBetweenDigits) {
  const UnderscoreCase& c = GetParam();
  UnderscoreScratch scratch;
  const auto r = strip_underscores(c.text, scratch);
  ASSERT_EQ(r.has_value(), c.valid) << '"' << c.text << '"';
  if (c.valid) {
    EXPECT_EQ(*r, c.stripped);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StripUnderscoresTest,
    ::testing::Values(UnderscoreCase{"1_000", true, "1000"},
                      UnderscoreCase{"1_2.3_4e5_6", true, "12.34e56"},
                      UnderscoreCase{"abc", true, "abc"}, UnderscoreCase{"", true, ""},
                      UnderscoreCase{cat({std::string(300, '1'), "_2"}), true, cat({std::string(300, '1'), "2"})},
                      UnderscoreCase{"_1", false, ""}, UnderscoreCase{"1_", false, ""},
                      UnderscoreCase{"1__0", false, ""}, UnderscoreCase{"1_.5", false, ""},
                      UnderscoreCase{"1._5", false, ""}, UnderscoreCase{"1e_5", false, ""},
                      UnderscoreCase{"-_1", false, ""}));

TEST(StripUnderscores, ReturnsTheInputItselfWithoutUnderscores) {
  UnderscoreScratch scratch;
  const std::string text = "12.5";
  EXPECT_EQ(strip_underscores(text, scratch)->data(), text.data());
}

// --- py_strip and PySplit ---------------------------------------------------

struct SplitCase {
  std::string text;
  std::string stripped;
  std::vector<std::string> fields;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class WhiteSpaceTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WhiteSpaceTest, StripAndSplitMatchPython) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(py_strip(c.text), c.stripped);
  std::vector<std::string> fields;
  PySplit split(c.text);
  std::string_view field;
  while (split.next(field)) fields.emplace_back(field);
  EXPECT_EQ(fields, c.fields);
  EXPECT_FALSE(split.next(field)) << "an exhausted split stays exhausted";
}

INSTANTIATE_TEST_SUITE_P(
    Table, WhiteSpaceTest,
    ::testing::Values(
        SplitCase{"", "", {}}, SplitCase{"   ", "", {}},
        SplitCase{" \t a \tb  c\t ", "a \tb  c", {"a", "b", "c"}},
        SplitCase{"abc", "abc", {"abc"}},
        // U+00A0 no-break space in front, U+3000 ideographic space behind.
        SplitCase{"\xc2\xa0x y\xe3\x80\x80", "x y", {"x", "y"}},
        // U+001C is white space.
        SplitCase{"x\x1c", "x", {"x"}},
        // U+200B zero-width space is not.
        SplitCase{"\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b",
                  {"\xe2\x80\x8bx\xe2\x80\x8b"}},
        // U+00A0 between two words separates them.
        SplitCase{"one\xc2\xa0two", "one\xc2\xa0two", {"one", "two"}},
        // U+0085, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F all separate.
        SplitCase{"a\xc2\x85" "b\xe1\x9a\x80" "c\xe2\x80\x80" "d\xe2\x80\x8a" "e\xe2\x80\xa8"
                  "f\xe2\x80\xa9" "g\xe2\x80\xaf" "h\xe2\x81\x9f" "i",
                  "a\xc2\x85" "b\xe1\x9a\x80" "c\xe2\x80\x80" "d\xe2\x80\x8a" "e\xe2\x80\xa8"
                  "f\xe2\x80\xa9" "g\xe2\x80\xaf" "h\xe2\x81\x9f" "i",
                  {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
        // Near misses: U+180E, U+FEFF, U+200B, and U+2005 vs U+00C5 (Å, whose
        // last byte equals that of U+0085).
        SplitCase{"\xe1\xa0\x8e\xef\xbb\xbf\xc3\x85", "\xe1\xa0\x8e\xef\xbb\xbf\xc3\x85",
                  {"\xe1\xa0\x8e\xef\xbb\xbf\xc3\x85"}},
        SplitCase{"\xe2\x80\x85x\xe2\x80\x85", "x", {"x"}},
        // A lone lead byte at the end is not a white-space character.
        SplitCase{"x\xe2", "x\xe2", {"x\xe2"}}));

}  // namespace
}  // namespace qn
