// Tables of texts with the outcome Python's str.strip(), str.split() and
// str.isspace() give for them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pystr/white_space.hpp"

namespace qn {
namespace {

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
        SplitCase{" \t a \tb  c\t ", "a \tb  c", {"a", "b", "c"}}, SplitCase{"abc", "abc", {"abc"}},
        // U+00A0 no-break space in front, U+3000 ideographic space behind.
        SplitCase{"\xc2\xa0x y\xe3\x80\x80", "x y", {"x", "y"}},
        // U+001C is white space.
        SplitCase{"x\x1c", "x", {"x"}},
        // U+200B zero-width space is not.
        SplitCase{"\xe2\x80\x8bx\xe2\x80\x8b",
                  "\xe2\x80\x8bx\xe2\x80\x8b",
                  {"\xe2\x80\x8bx\xe2\x80\x8b"}},
        // U+00A0 between two words separates them.
        SplitCase{"one\xc2\xa0two", "one\xc2\xa0two", {"one", "two"}},
        // U+0085, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F all separate.
        SplitCase{"a\xc2\x85"
                  "b\xe1\x9a\x80"
                  "c\xe2\x80\x80"
                  "d\xe2\x80\x8a"
                  "e\xe2\x80\xa8"
                  "f\xe2\x80\xa9"
                  "g\xe2\x80\xaf"
                  "h\xe2\x81\x9f"
                  "i",
                  "a\xc2\x85"
                  "b\xe1\x9a\x80"
                  "c\xe2\x80\x80"
                  "d\xe2\x80\x8a"
                  "e\xe2\x80\xa8"
                  "f\xe2\x80\xa9"
                  "g\xe2\x80\xaf"
                  "h\xe2\x81\x9f"
                  "i",
                  {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
        // Near misses: U+180E, U+FEFF, U+200B, and U+2005 vs U+00C5 (Å, whose
        // last byte equals that of U+0085).
        SplitCase{"\xe1\xa0\x8e\xef\xbb\xbf\xc3\x85",
                  "\xe1\xa0\x8e\xef\xbb\xbf\xc3\x85",
                  {"\xe1\xa0\x8e\xef\xbb\xbf\xc3\x85"}},
        SplitCase{"\xe2\x80\x85x\xe2\x80\x85", "x", {"x"}},
        // A lone lead byte at the end is not a white-space character.
        SplitCase{"x\xe2", "x\xe2", {"x\xe2"}}));

std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

TEST(ContainsPySpace, MatchesStrIsspaceOverTheBasicPlane) {
  // The code points for which Python's str.isspace() is true.
  auto is_space = [](char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
  };
  for (char32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string name = "p" + utf8(cp) + "q";
    ASSERT_EQ(contains_py_space(name), is_space(cp))
        << "U+" << std::hex << static_cast<std::uint32_t>(cp);
  }
  EXPECT_FALSE(contains_py_space("\xf0\x9f\x98\x80"));  // outside the basic plane
  EXPECT_TRUE(contains_py_space("\xc2\xa0"));           // at both ends
  EXPECT_FALSE(contains_py_space("\xc2"));              // cut sequence
}

}  // namespace
}  // namespace qn
