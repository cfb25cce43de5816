// The fast reflection row readers against the reference, their byte
// classes and decimals against independent definitions, the panel lookup
// against the map it indexes, and parse_unit against the reference reader row
// by row.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parse/fixed_row.hpp"
#include "parse/panel_lookup.hpp"
#include "parse/parse_unit.hpp"
#include "parse/reflection_row.hpp"
#include "parse/utf8_decode.hpp"
#include "temp_file.hpp"

namespace qn {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Concatenation that keeps g++'s -Wrestrict false positive on string operator+ away.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

using FastReader = bool (*)(std::string_view, ReflectionValues&) noexcept;

// A fast reader (by default the ASCII reader) must either decline or agree with
// the reference, on the decoded line, bit for bit. Returns whether it took the
// row. The row is read from an allocation of its exact size, so that a read past
// its end shows under AddressSanitizer.
bool expect_agreement(std::string_view text, FastReader reader = read_reflection_row_ascii) {
  const std::unique_ptr<char[]> copy(new char[text.size()]);
  std::memcpy(copy.get(), text.data(), text.size());
  const std::string_view row(copy.get(), text.size());
  ReflectionValues fast{}, ref{};
  if (!reader(row, fast)) return false;
  std::string scratch;
  const std::optional<Reason> dropped = read_reflection_row(decode_utf8_lossy(row, scratch), ref);
  EXPECT_FALSE(dropped.has_value())
      << "a fast reader kept a dropped row: " << ::testing::PrintToString(row);
  if (dropped) return true;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(fast.hkl[i], ref.hkl[i]) << ::testing::PrintToString(row);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(bits(fast.measurements[i]), bits(ref.measurements[i]))
        << "field " << 4 + i << " of " << ::testing::PrintToString(row);
  }
  EXPECT_EQ(fast.panel, ref.panel) << ::testing::PrintToString(row);
  EXPECT_GE(fast.panel.data(), row.data()) << "the panel is a view into the line";
  EXPECT_LE(fast.panel.data() + fast.panel.size(), row.data() + row.size());
  return true;
}

// --- both readers, by example ---------------------------------------------------

struct RowCase {
  std::string row;
  std::optional<Reason> dropped;  // the reference reader's outcome
  bool ascii;                     // whether the ASCII reader takes the row
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.row); }

class RowReadersTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowReadersTest, AsciiReaderTakesOnlyPlainRowsAndAgrees) {
  const RowCase& c = GetParam();
  ReflectionValues ref{};
  EXPECT_EQ(read_reflection_row(c.row, ref), c.dropped);
  EXPECT_EQ(expect_agreement(c.row), c.ascii);
}

constexpr std::optional<Reason> kKept = std::nullopt;
constexpr auto kShort = Reason::kReflectionShort;
constexpr auto kValue = Reason::kReflectionValue;
constexpr auto kRange = Reason::kReflectionHklRange;

std::string pad_to(std::string row, std::size_t n) {
  row.insert(0, n - row.size(), ' ');
  return row;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowReadersTest,
    ::testing::Values(
        // As written, with fixed-width columns.
        RowCase{"   0   14    8      75.58       9.15     153.00      16.18  146.4  181.2 q0a1",
                kKept, true},
        RowCase{" -15  -33   13     483.09      19.83     315.77      12.37   29.6 4718.7 q18a0",
                kKept, true},
        RowCase{"1 2 3 4 5 6 7 8 9 p", kKept, true},
        RowCase{"   1 2 3 4 5 6 7 8 9 p   more fields \xff\xfe", kKept,
                true},  // nothing after the panel counts
        // Signs, leading zeros, points at either end, negative zero.
        RowCase{"+1 -0 007 +1.5 -0.25 +.5 -.5 5. -0.0 p", kKept, true},
        RowCase{"+00000 -32768 32767 0 0 0 0 0 0 p", kKept, true},
        RowCase{"1 2 3 12345678 1234567.8 .1234567 99999999 0.000001 1 p", kKept, true},
        RowCase{"1 2 3 -1234.567 +9638.329 -12345678 +.1234567 -1234567. 1 p", kKept, true},
        // Longer numbers: byte by byte while the significand stays exact.
        RowCase{"1 2 3 1234567.89 123456789 9007199254740992 0.000000000000000001 1 1 p", kKept,
                true},
        RowCase{"1 2 3 9007199254740993 1 1 1 1 1 p", kKept, false},
        RowCase{"1 2 3 0.0000000000000000001 1 1 1 1 1 p", kKept, false},
        RowCase{"1 2 3 12345678901234567890 1 1 1 1 1 p", kKept, false},
        RowCase{"000001 2 3 1 1 1 1 1 1 p", kKept, false},
        // Spellings the reference reader accepts and the ASCII reader leaves to it.
        RowCase{"1 2 3 1e5 1 1 1 1 1 p", kKept, false},
        RowCase{"1 2 3 1_0 1 1 1 1 1 p", kKept, false},
        RowCase{"1_0 2 3 1 1 1 1 1 1 p", kKept, false},
        RowCase{"1 2 3 inf -nan Infinity 1 1 1 p", kKept, false},
        RowCase{"1\t2 3 4 5 6 7 8 9 p", kKept, false},
        RowCase{"1 2 3 4 5 6 7 8 9\x0bp", kKept, false},
        RowCase{"1\xc2\xa0"
                "2 3 4 5 6 7 8 9 p",
                kKept, false},  // no-break space
        RowCase{"1 2 3 4 5 6 7 8 9 p\xe3\x80\x80"
                "q",
                kKept, false},                                         // ideographic space
        RowCase{"1 2 3 4 5 6 7 8 9 p\x1cq", kKept, false},             // U+001C separates too
        RowCase{"1 2 3 4 5 6 7 8 9 \xc3\xa9t\xc3\xa9", kKept, false},  // non-ASCII panel
        RowCase{"1 2 3 4 5 6 7 8 9 p\x01q", kKept, false},
        RowCase{"1 2 3 4 5 6 7 8 9 p\x7fq", kKept, true},  // DEL is no white space
        RowCase{pad_to("1 2 3 4 5 6 7 8 9 p", 128), kKept, false},
        // Dropped rows are always the reference reader's to report.
        RowCase{"1 2 3 4 5 6 7 8 9", kShort, false}, RowCase{"", kShort, false},
        RowCase{"End of reflections", kShort, false},
        RowCase{"----- End chunk -----", kShort, false},
        RowCase{"1.5 2 3 4 5 6 7 8 9 p", kValue, false},
        RowCase{"1. 2 3 4 5 6 7 8 9 p", kValue, false},
        RowCase{"- 2 3 4 5 6 7 8 9 p", kValue, false},
        RowCase{"+-1 2 3 4 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 . 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 - 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 -. 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 1.2.3 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 1-2 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 --1 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 0x10 5 6 7 8 9 p", kValue, false},
        RowCase{"1 2 3 4 5 6 7 8 9: p", kValue, false},
        RowCase{"1 2 3 4 5 6 7 8 1234567.8/ p", kValue, false},
        RowCase{"32768 2 3 4 5 6 7 8 9 p", kRange, false},
        RowCase{"1 -32769 3 4 5 6 7 8 9 p", kRange, false},
        RowCase{"99999 2 3 4 5 6 7 8 9 p", kRange, false}));

// Every line length the ASCII reader handles, with the fields placed so that
// each of them in turn straddles the 64-byte boundary of the masks.
TEST(RowReaders, EveryLengthAndFieldPosition) {
  const std::string base = "-12 345 -6 -78.25 9.5 +101.125 -.75 3. 4567.5 q12a1";
  for (std::size_t lead = 0; lead + base.size() <= 140; ++lead) {
    for (std::size_t trail : {0, 1, 7}) {
      const std::string row = cat({std::string(lead, ' '), base, std::string(trail, ' ')});
      const bool taken = expect_agreement(row);
      EXPECT_EQ(taken, row.size() < 128) << row.size();
    }
  }
  // Wider gaps move the later fields alone.
  for (std::size_t gap = 1; gap <= 60; ++gap) {
    const std::string row = cat({"1 2 3", std::string(gap, ' '), "4.5 6 7 8 9 10.25 panel_name_x"});
    EXPECT_EQ(expect_agreement(row), row.size() < 128) << gap;
  }
}

// --- generated rows -------------------------------------------------------------

class RowGenerator {
 public:
  explicit RowGenerator(std::uint32_t seed) : rng_(seed) {}

  // A row of plain spelling only: the ASCII reader must take it.
  std::string plain() {
    std::string row(pick(0, 3), ' ');
    for (int i = 0; i < 3; ++i) append_field(row, plain_index());
    for (int i = 0; i < 6; ++i) append_field(row, plain_decimal());
    append_field(row, plain_panel());
    while (pick(0, 3) == 0) append_field(row, odd_token());  // ignored fields
    if (row.size() >= 128) return plain();
    return row;
  }

  // A row that may hold anything the readers have to tell apart.
  std::string odd() {
    std::string row = pick(0, 4) == 0 ? odd_separator() : "";
    const int n_fields = pick(0, 9) == 0 ? pick(0, 9) : 10 + pick(0, 2);
    for (int i = 0; i < n_fields; ++i) {
      if (i > 0) row += pick(0, 5) == 0 ? odd_separator() : std::string(pick(1, 6), ' ');
      if (i < 3) {
        row += pick(0, 3) == 0 ? odd_token() : plain_index();
      } else if (i < 9) {
        row += pick(0, 3) == 0 ? odd_token() : plain_decimal();
      } else {
        row += pick(0, 3) == 0 ? odd_token() : plain_panel();
      }
    }
    if (pick(0, 4) == 0) row += odd_separator();
    return row;
  }

  std::string plain_decimal() {
    std::string s = sign();
    const int int_digits = pick(0, 7);
    s += digits(int_digits);
    if (int_digits == 0 || pick(0, 3) != 0) {
      s += '.';
      s += digits(std::max(int_digits == 0 ? 1 : 0, pick(0, 7 - int_digits)));
    }
    return s;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string digits(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + pick(0, 9));
    return s;
  }
  std::string sign() {
    const int r = pick(0, 5);
    return r == 0 ? "-" : r == 1 ? "+" : "";
  }
  std::string plain_index() {
    std::string s;
    do {
      s = cat({sign(), digits(pick(1, 5))});
    } while (std::stoi(s) < INT16_MIN || std::stoi(s) > INT16_MAX);
    return s;
  }
  std::string plain_panel() {
    static const char* const kPanels[] = {"q0a1", "q18a0", "p", "panel_with_a_long_name_17",
                                          "x\x7fy"};
    return kPanels[pick(0, static_cast<int>(std::size(kPanels)) - 1)];
  }
  std::string odd_separator() {
    static const char* const kSeps[] = {"\t",       "\x0b",         "\x1c",         "\xc2\xa0",
                                        "\xc2\x85", "\xe3\x80\x80", "\xe2\x80\x8b", " \t "};
    return kSeps[pick(0, static_cast<int>(std::size(kSeps)) - 1)];
  }
  std::string odd_token() {
    static const char* const kTokens[] = {
        "1e5",
        "1E-3",
        "1.e2",
        "1_000",
        "1__0",
        "_1",
        "1_",
        "inf",
        "-Infinity",
        "nan",
        "NaN",
        ".",
        "-",
        "+",
        "+-1",
        "--1",
        "1.2.3",
        "1-2",
        "0x1f",
        "1,5",
        "5.",
        ".5",
        "-.5",
        "00000000000000000000001",
        "123456789012345678901234567890",
        "9007199254740993",
        "0.1000000000000000055511151231257827021181583404541015625",
        "32768",
        "-32769",
        "99999999999999999999",
        "007",
        "\xc3\xa9",
        "a\xff"
        "b",
        "x",
        ""};
    return kTokens[pick(0, static_cast<int>(std::size(kTokens)) - 1)];
  }
  static void append_field(std::string& row, const std::string& field) {
    if (!row.empty() && row.back() != ' ') row += std::string(1, ' ');
    row += field;
  }

  std::mt19937 rng_;
};

TEST(RowReaders, GeneratedPlainRowsAreTakenAndAgree) {
  RowGenerator gen(20260108);
  for (int i = 0; i < 100000; ++i) {
    const std::string row = gen.plain();
    ASSERT_TRUE(expect_agreement(row)) << ::testing::PrintToString(row);
  }
}

TEST(RowReaders, GeneratedOddRowsNeverDisagree) {
  RowGenerator gen(7);
  int taken = 0;
  for (int i = 0; i < 200000 && !HasFailure(); ++i) taken += expect_agreement(gen.odd());
  // Plenty of rows still come out plain enough to be taken.
  EXPECT_GT(taken, 1000);
}

// Short decimals come out as the correctly rounded double, which from_chars
// gives independently of the module's own float().
TEST(RowReaders, DecimalsAreCorrectlyRounded) {
  RowGenerator gen(99);
  std::vector<std::string> texts = {"0.1",      "0.2",       "0.3",        "2.675",    "1.005",
                                    "0.000001", "9999999.9", "8.589973e9", "123456.7", "0.1234567"};
  for (int i = 0; i < 200000; ++i) texts.push_back(gen.plain_decimal());
  for (const std::string& text : texts) {
    if (text.find('e') != std::string::npos) continue;
    const std::string row = cat({"1 2 3 ", text, " 0 0 0 0 0 p"});
    ReflectionValues v{};
    ASSERT_TRUE(read_reflection_row_ascii(row, v)) << text;
    const std::string_view digits = text[0] == '+' ? std::string_view(text).substr(1) : text;
    double want = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), want);
    ASSERT_EQ(r.ptr, digits.data() + digits.size()) << text;
    ASSERT_EQ(bits(v.measurements[0]), bits(want)) << text;
  }
}

// --- the fixed-column reader --------------------------------------------------------

// A row as the writer lays it out: h, k, l in 4 characters, I to background in 10
// with 2 decimals, fs in 7 and ss in 6 with 1 decimal, the panel from byte 73.
std::string writer_row(const int (&hkl)[3], const double (&m)[6], std::string_view panel) {
  char buf[512];
  const int n =
      std::snprintf(buf, sizeof buf, "%4d %4d %4d %10.2f %10.2f %10.2f %10.2f%7.1f %6.1f %.*s",
                    hkl[0], hkl[1], hkl[2], m[0], m[1], m[2], m[3], m[4], m[5],
                    static_cast<int>(panel.size()), panel.data());
  return std::string(buf, static_cast<std::size_t>(n));
}

const std::string kWritten =
    writer_row({13, -19, 20}, {37.17, 149.88, 74.0, 54.13, 937.1, 1504.3}, "p2a3");

std::string with(std::string row, std::size_t at, std::string_view replacement) {
  return row.replace(at, replacement.size(), replacement);
}

struct FixedCase {
  std::string row;
  bool taken;  // whether the fixed-column reader takes it
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.row); }

class FixedRowTest : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedRowTest, TakesOnlyTheWritersLayoutAndAgrees) {
  EXPECT_EQ(expect_agreement(GetParam().row, read_reflection_row_fixed), GetParam().taken);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedRowTest,
    ::testing::Values(
        FixedCase{kWritten, true},
        FixedCase{"  13  -19   20      37.17     149.88      74.00      54.13  937.1 1504.3 p2a3",
                  true},
        // Every column full, signs of both kinds, leading zeros, negative zero.
        FixedCase{"9999 -999 +999 9999999.99 -999999.99 +999999.99 0000000.00 9999.9 9999.9 p",
                  true},
        FixedCase{"-  1   -0 0000      -0.00      +0.00  000001.00      -0.01   -0.0   +0.0 q",
                  false},  // a sign apart from its digits
        FixedCase{"  -1   -0 0000      -0.00      +0.00  000001.00      -0.01   -0.0   +0.0 q",
                  true},
        FixedCase{with(kWritten, 73, "panel_with_23_bytes_abc"), true},  // 96 bytes
        FixedCase{kWritten + "0123456789abcdefghij", false},  // 97 bytes: left to the others
        FixedCase{kWritten + " and more fields", true},       // nothing after the panel counts
        FixedCase{kWritten + " \xff\xfe", true},
        FixedCase{kWritten + "\t", false},  // the panel ends at a space only
        FixedCase{kWritten + "\xc2\xa0", false},
        FixedCase{kWritten + "\x7f", true},            // DEL is no white space
        FixedCase{kWritten.substr(0, 73), false},      // no panel
        FixedCase{with(kWritten, 73, " p2a"), false},  // two spaces before the panel
        // A wider number shifts the row: the fixed reader leaves it.
        FixedCase{writer_row({-1000, 0, 0}, {1, 1, 1, 1, 1, 1}, "p"), false},
        FixedCase{writer_row({0, 0, 0}, {-1234567.89, 1, 1, 1, 1, 1}, "p"), false},
        FixedCase{writer_row({0, 0, 0}, {1, 1, 1, 12345678.9, 1, 1}, "p"), false},
        FixedCase{writer_row({0, 0, 0}, {1, 1, 1, 1, 12345.6, 1}, "p"), false},  // runs into fs
        FixedCase{writer_row({0, 0, 0}, {1, 1, 1, 1, 1, 12345.6}, "p"), false},
        // Spellings the general reader accepts, in their columns.
        FixedCase{with(kWritten, 15, "  37.17e0"), false},
        FixedCase{with(kWritten, 15, "1_000.17"), false},
        FixedCase{with(kWritten, 15, "       .17"), false},
        FixedCase{with(kWritten, 15, "       nan"), false},
        FixedCase{with(kWritten, 15, "      -inf"), false},
        FixedCase{with(kWritten, 0, "  13\t"), false}, FixedCase{with(kWritten, 72, "\t"), false},
        FixedCase{with(kWritten, 24, "\r"), false}, FixedCase{with(kWritten, 4, "\x0b"), false},
        // Dropped rows are the reference reader's to report.
        FixedCase{with(kWritten, 15, "  37+17.1"), false},
        FixedCase{with(kWritten, 15, "  --37.17"), false},
        FixedCase{with(kWritten, 15, "  3 7.17"), false}, FixedCase{with(kWritten, 22, ","), false},
        FixedCase{with(kWritten, 0, "  -+"), false}, FixedCase{with(kWritten, 0, " 1.5"), false},
        FixedCase{with(kWritten, 73, "    "), false}));  // nine fields

// Rows in the writer's layout from random values, among them values too wide for
// their columns, NaN and infinities: taken exactly when every field fits.
TEST(FixedRow, GeneratedWriterRowsAreTakenWhenTheyFit) {
  std::mt19937 rng(2112);
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const auto value = [&](int width) {
    switch (pick(0, 12)) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return pick(0, 1) ? HUGE_VAL : -HUGE_VAL;
      case 2: return -0.0;
      case 3: return std::ldexp(static_cast<double>(rng()), -pick(0, 40)) * (pick(0, 1) ? 1 : -1);
      default: {
        // Mostly within the width, sometimes just beyond it.
        const double top = std::pow(10.0, pick(0, width - 1));
        return std::uniform_real_distribution<double>(-top, top)(rng);
      }
    }
  };
  const std::string panels[] = {
      "p", "q0a1", "p12a15", "x\x7fy", "panel_with_23_bytes_abc", "panel_with_24_bytes_abcd"};
  int taken = 0;
  for (int i = 0; i < 200000 && !HasFailure(); ++i) {
    const int hkl[3] = {pick(-1200, 1200) * (pick(0, 3) == 0 ? 10 : 1), pick(-999, 9999),
                        pick(-99, 99)};
    const double m[6] = {value(8), value(8), value(7), value(8), value(5), value(5)};
    const std::string& panel = panels[pick(0, 5)];
    const std::string row = writer_row(hkl, m, panel);
    // Fits: nothing pushed right, so a space stands before each column (fs
    // included, which the writer puts right after the background) and the panel.
    bool fits = row.size() <= kFixedRowMaxBytes && row[73] != ' ';
    for (const std::size_t at : {4, 9, 14, 25, 36, 47, 58, 65, 72}) fits = fits && row[at] == ' ';
    for (const double v : m) fits = fits && std::isfinite(v);
    const bool got = expect_agreement(row, read_reflection_row_fixed);
    ASSERT_EQ(got, fits) << ::testing::PrintToString(row);
    taken += got;
  }
  EXPECT_GT(taken, 20000);
}

// Each byte of rows in the layout replaced by every byte that matters to the
// readers, removed, or doubled: the fixed reader declines or agrees.
TEST(FixedRow, EveryByteChangedNeverDisagrees) {
  const std::string bases[] = {
      kWritten,
      writer_row({-999, 9999, 0}, {-999999.99, 0.0, 1234567.89, -0.0, -999.9, 9999.9}, "q18a0"),
      writer_row({0, -1, 10}, {0.01, -0.05, 10.5, 100.25, 0.1, -0.1}, "panel_with_23_bytes_abc"),
  };
  const std::string_view replacements[] = {" ",    "0",        "5",    "9",
                                           "+",    "-",        ".",    "e",
                                           "E",    "_",        "\t",   "\r",
                                           "\x0b", "\x1c",     "x",    "\x7f",
                                           "\x80", "\xc2\xa0", "\xff", std::string_view("\0", 1)};
  int taken = 0;
  for (const std::string& base : bases) {
    ASSERT_TRUE(expect_agreement(base, read_reflection_row_fixed)) << base;
    for (std::size_t at = 0; at < base.size(); ++at) {
      for (const std::string_view r : replacements) {
        std::string changed = base;
        changed.replace(at, 1, r);
        taken += expect_agreement(changed, read_reflection_row_fixed);
        std::string inserted = base;
        inserted.insert(at, r);
        taken += expect_agreement(inserted, read_reflection_row_fixed);
      }
      std::string removed = base;
      removed.erase(at, 1);
      taken += expect_agreement(removed, read_reflection_row_fixed);
    }
  }
  // Digits for digits and the like keep a row in the layout.
  EXPECT_GT(taken, 500);
}

// parse_unit reads rows in the layout with the fixed reader and everything else
// with the others: mixed rows give what the reference gives row by row.
TEST(FixedRow, TheOtherRowGeneratorsNeverDisagree) {
  RowGenerator gen(31);
  for (int i = 0; i < 100000 && !HasFailure(); ++i) {
    expect_agreement(gen.plain(), read_reflection_row_fixed);
    expect_agreement(gen.odd(), read_reflection_row_fixed);
  }
}

TEST(FixedRowMasks, BothVersionsMatchTheDefinition) {
  std::mt19937 rng(17);
  std::vector<unsigned char> row(kFixedRowMaxBytes);
  const auto check = [&](std::size_t n) {
    FixedRowMasks want;
    for (unsigned i = 0; i < n; ++i) {
      const unsigned char b = row[i];
      const auto at = [i](bool set) { return static_cast<unsigned __int128>(set) << i; };
      want.space |= at(b == ' ');
      want.digit |= at(b >= '0' && b <= '9');
      want.sign |= at(b == '+' || b == '-');
      want.minus |= at(b == '-');
      want.other |= at(b < 0x20 || b >= 0x80);
    }
    const unsigned char* data = row.data();
    for (const FixedRowMasks& got : {fixed_row_masks(data, n), fixed_row_masks_portable(data, n)}) {
      ASSERT_TRUE(got.space == want.space && got.digit == want.digit && got.sign == want.sign &&
                  got.minus == want.minus && got.other == want.other)
          << "length " << n;
    }
  };
  // Every byte value at every place, among neighbours of several classes, for the
  // lengths where the blocks meet differently; random rows of every length.
  for (const std::size_t n : {74, 79, 80, 81, 96}) {
    for (const unsigned char fill : {' ', '7', '\x01', '\xff'}) {
      for (std::size_t pos = 0; pos < n; ++pos) {
        for (int value = 0; value < 256; ++value) {
          std::fill(row.begin(), row.end(), fill);
          row[pos] = static_cast<unsigned char>(value);
          check(n);
        }
      }
    }
  }
  for (std::size_t n = kFixedRowMinBytes; n <= kFixedRowMaxBytes; ++n) {
    for (int i = 0; i < 2000; ++i) {
      for (unsigned char& b : row) b = static_cast<unsigned char>(rng());
      check(n);
    }
  }
}

// --- byte classes -----------------------------------------------------------------

TEST(Classify16, BothVersionsMatchTheDefinition) {
  std::mt19937 rng(5);
  unsigned char block[16];
  const auto check = [&] {
    unsigned space = 0, other = 0;
    for (int i = 0; i < 16; ++i) {
      space |= (block[i] == ' ' ? 1u : 0u) << i;
      other |= (block[i] < 0x20 || block[i] >= 0x80 ? 1u : 0u) << i;
    }
    const Classes16 a = classify16(block), b = classify16_portable(block);
    ASSERT_EQ(a.space, space);
    ASSERT_EQ(a.other, other);
    ASSERT_EQ(b.space, space);
    ASSERT_EQ(b.other, other);
  };
  // Every byte value at every position, among neighbours that carry.
  for (int pos = 0; pos < 16; ++pos) {
    for (int value = 0; value < 256; ++value) {
      std::memset(block, 0xFF, sizeof block);
      block[pos] = static_cast<unsigned char>(value);
      check();
      std::memset(block, 0x1F, sizeof block);
      block[pos] = static_cast<unsigned char>(value);
      check();
    }
  }
  for (int i = 0; i < 100000; ++i) {
    for (unsigned char& b : block) b = static_cast<unsigned char>(rng());
    check();
  }
}

// --- panel lookup -------------------------------------------------------------------

// Maps of a few names up to a few hundred: the lookup's table is laid out without
// collisions for the smaller ones, with probing for the larger.
class PanelLookupSizes : public ::testing::TestWithParam<int> {};

TEST_P(PanelLookupSizes, FindsExactlyWhatTheMapHolds) {
  PanelMap map;
  std::vector<std::string> names = {"",
                                    "a",
                                    "b",
                                    "ab",
                                    "ba",
                                    "aba",
                                    "abb",
                                    "q0a0",
                                    "q0a1",
                                    "q10a0",
                                    "q1a00",
                                    "12345678",
                                    "12345679",
                                    "123456789",
                                    "0123456789abcdef",
                                    "0123456789abcdeg",
                                    "0123456789abcdefg",
                                    std::string(1, '\0'),
                                    std::string("a\0b", 3),
                                    "\xc3\xa9t\xc3\xa9"};
  for (int i = 0; i < GetParam(); ++i) {
    names.push_back(cat({"p", std::to_string(i / 16), "a", std::to_string(i % 16)}));
  }
  std::int16_t id = 1;
  for (const std::string& name : names) map[name] = id++;
  const PanelLookup lookup(map);

  const auto want = [&map](std::string_view name) {
    const auto it = map.find(name);
    return it == map.end() ? std::int16_t{0} : it->second;
  };
  std::vector<std::string> probes = names;
  for (const std::string& name : names) {
    // Near misses: one byte changed, one dropped, one added, at either end.
    for (std::size_t i = 0; i < name.size(); ++i) {
      std::string changed = name;
      changed[i] = static_cast<char>(changed[i] ^ 1);
      probes.push_back(changed);
    }
    if (!name.empty()) {
      probes.push_back(name.substr(1));
      probes.push_back(name.substr(0, name.size() - 1));
    }
    probes.push_back(cat({name, "x"}));
    probes.push_back(cat({"x", name}));
  }
  for (const std::string& probe : probes) {
    ASSERT_EQ(lookup.find(probe), want(probe)) << ::testing::PrintToString(probe);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, PanelLookupSizes, ::testing::Values(0, 44, 64, 236, 300));

TEST(PanelLookup, FullAndEmptyMaps) {
  PanelMap full;
  for (int i = 0; i < 32768; ++i)
    full[cat({"p", std::to_string(i)})] = static_cast<std::int16_t>(i);
  const PanelLookup lookup(full);
  for (int i = 0; i < 32768; ++i) ASSERT_EQ(lookup.find(cat({"p", std::to_string(i)})), i);
  EXPECT_EQ(lookup.find("p32768"), 0);
  EXPECT_EQ(lookup.find("q1"), 0);

  const PanelMap empty;
  const PanelLookup none(empty);
  EXPECT_EQ(none.find("p0"), 0);
  EXPECT_EQ(none.find(""), 0);
}

// --- parse_unit, row by row ------------------------------------------------------------

// A crystal of generated rows, some in the writer's columns, some with invalid
// UTF-8, read by parse_unit, gives the observations and report entries that the
// reference reader gives for each decoded row.
TEST(ParseUnitRows, MatchTheReferenceReaderRowByRow) {
  const PanelMap panels = {{"q0a1", 3}, {"q18a0", 4}, {"p", 5}, {"x\x7fy", 6}, {"\xef\xbf\xbd", 7}};
  RowGenerator gen(11);
  std::mt19937 rng(12);
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<std::string> rows;
  for (int i = 0; i < 5000; ++i) {
    std::string row = i % 3 == 0 ? gen.odd() : gen.plain();
    if (i % 3 == 1) {  // in the writer's columns, for the fixed-column reader
      const int hkl[3] = {pick(-999, 9999), pick(-999, 999), pick(-99, 99)};
      double m[6];
      for (double& v : m) v = pick(-99999, 999999) / 100.0;
      row = writer_row(hkl, m, i % 2 == 0 ? "q0a1" : "p");
    }
    if (row.empty()) continue;
    if (i % 17 == 0) row[row.size() / 2] = '\xff';  // invalid UTF-8 somewhere
    // A row that reads as a marker would end the list.
    if (row.starts_with("End of reflections") || row.starts_with("----- ")) continue;
    rows.push_back(row);
  }
  std::string text =
      "----- Begin chunk -----\nImage filename: a.h5\nEvent: //1\n"
      "Peaks from peak search\n\xff\xfe peak row\nEnd of peak list\n--- Begin crystal\n"
      "Cell parameters 7.8 7.8 3.8 nm, 90.0 90.0 90.0 deg\nastar = +0.1 -0.2 +0.3 nm^-1\n"
      "bstar = +0.4 +0.5 +0.6 nm^-1\ncstar = -0.7 +0.8 +0.9 nm^-1\n"
      "Reflections measured after indexing\n   h    k    l  \xff heading\n";
  std::vector<std::uint64_t> offsets;
  for (const std::string& row : rows) {
    offsets.push_back(text.size());
    text.append(row).append("\n");
  }
  text += "End of reflections\n--- End crystal\n----- End chunk -----\n";

  // What the reference reader makes of each decoded row.
  Columns want;
  Report want_report;
  std::string scratch;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ReflectionValues v{};
    if (const auto dropped = read_reflection_row(decode_utf8_lossy(rows[i], scratch), v)) {
      want_report.record(*dropped, offsets[i]);
      continue;
    }
    const auto panel = panels.find(v.panel);
    want.append_observation({{v.hkl[0], v.hkl[1], v.hkl[2]},
                             static_cast<float>(v.measurements[0]),
                             static_cast<float>(v.measurements[1]),
                             static_cast<float>(v.measurements[2]),
                             static_cast<float>(v.measurements[3]),
                             static_cast<float>(v.measurements[4]),
                             static_cast<float>(v.measurements[5]),
                             panel == panels.end() ? std::int16_t{0} : panel->second,
                             0});
  }

  const testing::InMemory bytes(text);
  const ByteRange range{0, text.size()};
  auto got = parse_unit(bytes.source(), {&range, 1}, panels, {rows.size(), 1, 1});
  ASSERT_TRUE(got.has_value());
  const Columns& c = got->columns;
  ASSERT_EQ(c.n_crystals(), 1u);
  ASSERT_EQ(c.n_observations(), want.n_observations());
  const auto same = [](const auto& a, const auto& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(*a.data())) == 0;
  };
  EXPECT_TRUE(same(c.hkl, want.hkl));
  EXPECT_TRUE(same(c.I, want.I));
  EXPECT_TRUE(same(c.sigma, want.sigma));
  EXPECT_TRUE(same(c.peak, want.peak));
  EXPECT_TRUE(same(c.background, want.background));
  EXPECT_TRUE(same(c.fs, want.fs));
  EXPECT_TRUE(same(c.ss, want.ss));
  EXPECT_TRUE(same(c.panel_id, want.panel_id));
  EXPECT_TRUE(same(c.crystal_id, want.crystal_id));
  for (std::size_t i = 0; i < kReasonCount; ++i) {
    EXPECT_EQ(got->report.entries[i].count, want_report.entries[i].count) << i;
    EXPECT_EQ(got->report.entries[i].first_offset, want_report.entries[i].first_offset) << i;
  }
}

}  // namespace
}  // namespace qn
