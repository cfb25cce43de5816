// Number formatting against std::to_chars, and the text of formatted chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "write/fixed.hpp"
#include "write/format.hpp"
#include "write/layout.hpp"
#include "write/row.hpp"
#include "write_test_data.hpp"

namespace qn {
namespace {

using testing::Example;
using testing::worked_example;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string reference_fixed(float v, int precision) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(v), std::chars_format::fixed,
                         precision);
  return std::string(buf, r.ptr);
}

std::string fast_fixed(float v, int precision) {
  char buf[kMaxFloatFixedChars];
  return std::string(buf, write_fixed(buf, v, precision));
}

// ---- write_fixed: differential against to_chars, for every precision ----

class FixedVsToChars : public ::testing::TestWithParam<int> {
 protected:
  // Counts mismatches and reports the first few, so one failure does not flood the log.
  void expect_same(float v) {
    const int p = GetParam();
    const std::string want = reference_fixed(v, p);
    const std::string got = fast_fixed(v, p);
    if (want != got && ++mismatches_ <= 5) {
      ADD_FAILURE() << "bits 0x" << std::hex << std::bit_cast<std::uint32_t>(v) << std::dec
                    << " precision " << p << ": got " << got << ", want " << want;
    }
  }
  int mismatches_ = 0;
};

TEST_P(FixedVsToChars, StrideSweepOverAllBitPatterns) {
  // A prime stride visits every exponent and both signs with varied significands.
  for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << 32); bits += 4099) {
    const float v = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isnan(v)) expect_same(v);
  }
  EXPECT_EQ(mismatches_, 0);
}

TEST_P(FixedVsToChars, RandomValuesInTheRangesColumnsHold) {
  std::mt19937_64 rng(1234 + GetParam());
  std::uniform_real_distribution<double> log_magnitude(-8.0, 13.0);
  for (int n = 0; n < 200000; ++n) {
    const auto v = static_cast<float>(std::pow(10.0, log_magnitude(rng)));
    expect_same(v);
    expect_same(-v);
  }
  EXPECT_EQ(mismatches_, 0);
}

TEST_P(FixedVsToChars, ExactTiesRoundToEven) {
  // x * 10^p ends in exactly .5 iff x = j / 2^(p+1) with j odd (5^p must divide the
  // numerator for x to be a binary fraction); these are all the ties there are.
  const int p = GetParam();
  const double unit = std::ldexp(1.0, -(p + 1));
  std::mt19937 rng(99);
  std::uniform_int_distribution<std::uint32_t> big_odd(0, (1u << 23) - 1);
  for (std::uint32_t j = 1; j < (1u << 16); j += 2) expect_same(static_cast<float>(j * unit));
  for (int n = 0; n < 50000; ++n) {
    const float v = static_cast<float>((2.0 * big_odd(rng) + 1.0) * unit);
    expect_same(v);
    expect_same(-v);
  }
  EXPECT_EQ(mismatches_, 0);
}

TEST_P(FixedVsToChars, EdgeValuesAndTheFastPathLimit) {
  const int p = GetParam();
  for (float v : {0.0f, -0.0f, 0.5f, 1.5f, 2.5f, -2.5f, 1e-45f, -1e-45f,
                  std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                  -std::numeric_limits<float>::max(), kInf, -kInf, 9.5e-8f, -4e-8f}) {
    expect_same(v);
  }
  // Values whose scaled magnitude lies just below and above 2^64, where the integer
  // path hands over to to_chars, and around 2^52, where the rounding trick ends.
  for (const double limit : {std::ldexp(1.0, 64), std::ldexp(1.0, 52), std::ldexp(1.0, 53)}) {
    float v = static_cast<float>(limit / std::pow(10.0, p));
    for (int k = 0; k < 64; ++k) v = std::nextafter(v, 0.0f);
    for (int k = 0; k < 128; ++k, v = std::nextafter(v, kInf)) {
      expect_same(v);
      expect_same(-v);
    }
  }
  EXPECT_EQ(mismatches_, 0);
}

// Every positive finite float32 (the sign only adds a "-" in front, which the
// samples above cover). Minutes per precision, so it runs only on request:
//   test_format --gtest_also_run_disabled_tests --gtest_filter='*EveryPositiveFloat*'
TEST_P(FixedVsToChars, DISABLED_EveryPositiveFloat) {
  const int p = GetParam();
  std::uint64_t mismatches = 0;
  for (std::uint32_t bits = 0; bits < 0x7f800000u; ++bits) {
    const float v = std::bit_cast<float>(bits);
    char want[400];
    char got[kMaxFloatFixedChars];
    const char* want_end =
        std::to_chars(want, want + sizeof want, static_cast<double>(v), std::chars_format::fixed, p)
            .ptr;
    const char* got_end = write_fixed(got, v, p);
    const auto n = static_cast<std::size_t>(want_end - want);
    if (n != static_cast<std::size_t>(got_end - got) || std::memcmp(want, got, n) != 0) {
      if (++mismatches <= 5) ADD_FAILURE() << "bits 0x" << std::hex << bits;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Precisions, FixedVsToChars, ::testing::Range(0, kMaxFastPrecision + 1));

// ---- rounding to an integer, ties to even ----

// Values of [0, 2^52) around 2^e: exact ties k + 1/2, the doubles next to them, and
// the integers themselves, against nearbyint() in the default rounding mode.
class RoundHalfEven : public ::testing::TestWithParam<int> {};

TEST_P(RoundHalfEven, TiesAndTheirNeighboursAgainstNearbyint) {
  const int e = GetParam();
  const double base = std::ldexp(1.0, e);
  for (int j = -300; j <= 300; ++j) {
    const double tie = std::floor(base) + j + 0.5;
    if (tie < 0 || tie >= kTwo52) continue;
    for (const double a : {tie, std::nextafter(tie, 0.0), std::nextafter(tie, kTwo52), tie - 0.5,
                           tie + 0.5, tie / 3, std::ldexp(tie, -40)}) {
      if (!(a >= 0 && a < kTwo52)) continue;
      ASSERT_EQ(round_half_even_below_2_52(a), static_cast<std::uint64_t>(std::nearbyint(a)))
          << std::hexfloat << a;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Magnitudes, RoundHalfEven,
                         ::testing::Values(-1074, -30, -1, 0, 1, 10, 23, 31, 32, 40, 51, 52));

// ---- reflection rows: the fixed-column path against the general path ----

TEST(RowDigits, Digits4AndDigits8AgainstDivision) {
  auto reference = [](std::uint32_t n, int k) {
    std::uint64_t bytes = 0;
    for (int i = k - 1; i >= 0; --i, n /= 10) bytes |= std::uint64_t{n % 10} << (8 * i);
    return bytes;
  };
  for (std::uint32_t n = 0; n < 10000; ++n) ASSERT_EQ(row_detail::digits4(n), reference(n, 4)) << n;
  // digits8 works on the two halves n / 10^4 and n % 10^4 side by side: every value
  // of each half, with varied values of the other.
  for (std::uint32_t half = 0; half < 10000; ++half) {
    for (const std::uint32_t n :
         {half, half * 10000 + (half * 7919) % 10000, half * 10000 + 9999}) {
      ASSERT_EQ(row_detail::digits8(n), reference(n, 8)) << n;
    }
  }
}

TEST(RowDigits, IntegerFieldForEveryInt16) {
  for (int v = std::numeric_limits<std::int16_t>::min();
       v <= std::numeric_limits<std::int16_t>::max(); ++v) {
    char field[4] = {'x', 'x', 'x', 'x'};
    const bool fits = row_detail::put_int4(field, static_cast<std::int16_t>(v));
    char want[8];
    const char* end = std::to_chars(want, want + sizeof want, v).ptr;
    const auto len = static_cast<std::size_t>(end - want);
    ASSERT_EQ(fits, len <= 4) << v;
    if (fits) {
      ASSERT_EQ(std::string(field, 4), std::string(4 - len, ' ') + std::string(want, len)) << v;
    }
  }
}

class RowPaths : public ::testing::Test {
 protected:
  // The fixed-column path must give the general path's text whenever it accepts a
  // row, and accept every row whose general text keeps to the 73 columns without
  // an infinity (an infinity is narrow but left to the general path).
  void expect_agree(const RowValues& v) {
    char general[kMaxRowChars];
    const std::string want(general, write_row_general(general, v));
    char fixed[kRowColumns + 1];
    const bool accepted = write_row_columns(fixed, v);
    const bool infinite = std::isinf(v.I) || std::isinf(v.sigma) || std::isinf(v.peak) ||
                          std::isinf(v.background) || std::isinf(v.fs) || std::isinf(v.ss);
    const bool should_accept = want.size() == kRowColumns && !infinite;
    const std::string got = accepted ? std::string(fixed, kRowColumns) : want;
    if ((got != want || accepted != should_accept) && ++mismatches_ <= 5) {
      ADD_FAILURE() << "row " << v.h << " " << v.k << " " << v.l << " " << describe(v.I) << " "
                    << describe(v.sigma) << " " << describe(v.peak) << " " << describe(v.background)
                    << " " << describe(v.fs) << " " << describe(v.ss) << "\n  fixed:   [" << got
                    << "] accepted " << accepted << "\n  general: [" << want << "]";
    }
    ++rows_;
  }
  static std::string describe(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g(0x%08x)", static_cast<double>(f),
                  std::bit_cast<std::uint32_t>(f));
    return buf;
  }
  void TearDown() override { EXPECT_EQ(mismatches_, 0) << "of " << rows_ << " rows"; }

  // A row of ordinary values in which tests replace one field at a time.
  static RowValues plain() { return {1, -2, 3, 1234.5f, 45.6f, 300.0f, 12.3f, 512.3f, 100.7f}; }
  static constexpr float RowValues::*kFloatFields[6] = {&RowValues::I,    &RowValues::sigma,
                                                        &RowValues::peak, &RowValues::background,
                                                        &RowValues::fs,   &RowValues::ss};

  int mismatches_ = 0;
  long rows_ = 0;
};

TEST_F(RowPaths, RandomRowsInTheRangesColumnsHold) {
  std::mt19937 rng(5);
  auto real = [&](float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
  };
  auto index = [&]() {
    return static_cast<std::int16_t>(std::uniform_int_distribution<int>(-80, 80)(rng));
  };
  for (int n = 0; n < 300000; ++n) {
    expect_agree({index(), index(), index(), real(-100, 1e5f), real(0, 400), real(-50, 3000),
                  real(-30, 50), real(0, 1024), real(0, 5000)});
  }
}

TEST_F(RowPaths, ValuesAroundEveryFieldWidth) {
  // Each float field takes values around the largest magnitudes that still fit its
  // width, positive and negative, and around the points where rounding adds a digit.
  for (float RowValues::*field : kFloatFields) {
    const bool two_decimals = field != &RowValues::fs && field != &RowValues::ss;
    const int width = two_decimals ? 10 : field == &RowValues::fs ? 7 : 6;
    const double unit = two_decimals ? 0.01 : 0.1;
    for (const int digits : {width - 1, width - 2, width - 3}) {
      const double limit = std::pow(10.0, digits) * unit;  // first value that needs more digits
      for (const double centre : {limit, limit - unit / 2, limit / 10}) {
        float x = static_cast<float>(centre);
        for (int k = 0; k < 40; ++k) x = std::nextafter(x, 0.0f);
        for (int k = 0; k < 80; ++k, x = std::nextafter(x, kInf)) {
          for (const float sign : {1.0f, -1.0f}) {
            RowValues v = plain();
            v.*field = sign * x;
            expect_agree(v);
          }
        }
      }
    }
  }
}

TEST_F(RowPaths, SpecialValuesAndTiesInEveryField) {
  const float specials[] = {0.0f,   -0.0f,    kNaN,      -kNaN,     kInf,        -kInf,
                            1e-45f, -1e-45f,  0.005f,    -0.005f,   0.05f,       -0.05f,
                            0.125f, 0.375f,   -0.625f,   2.5f,      0.25f,       -0.75f,
                            1e30f,  -3.4e38f, 99999.95f, -9999.95f, 999999.995f, 9999999.995f};
  for (float RowValues::*field : kFloatFields) {
    for (const float x : specials) {
      RowValues v = plain();
      v.*field = x;
      expect_agree(v);
    }
  }
  // Exact ties of both precisions: j / 2^(p+1) for odd j.
  for (std::uint32_t j = 1; j < 200000; j += 2) {
    RowValues v = plain();
    v.I = v.sigma = static_cast<float>(j / 8.0);
    v.peak = v.background = static_cast<float>(-(j / 8.0));
    v.fs = static_cast<float>(j / 4.0 / 100.0 * 100.0);
    v.ss = static_cast<float>(-(j / 4.0) / 10.0);
    expect_agree(v);
  }
}

TEST_F(RowPaths, EveryFloatNearTheLengthLimitsOfEveryField) {
  // A field holds at most W - 1 digits, one fewer when negative (fs counts one
  // column fewer, as a full-width fs gets a space before it). Every float within
  // a band around the value where the text gains a digit, and around the point
  // halfway to it where the rounding adds that digit, both signs, and NaN of
  // either sign with payloads in the same rows.
  struct Field {
    float RowValues::*member;
    int decimals;
    int max_chars;
  };
  const Field fields[] = {{&RowValues::I, 2, 10},   {&RowValues::sigma, 2, 10},
                          {&RowValues::peak, 2, 10}, {&RowValues::background, 2, 10},
                          {&RowValues::fs, 1, 6},    {&RowValues::ss, 1, 6}};
  const float nans[] = {std::bit_cast<float>(0x7fc00001u), std::bit_cast<float>(0xffc00000u),
                        std::bit_cast<float>(0x7f800001u)};
  for (const Field& f : fields) {
    const double unit = std::pow(10.0, -f.decimals);
    for (const int digits : {f.max_chars - 1, f.max_chars - 2}) {
      const double limit = std::pow(10.0, digits) * unit;
      for (const double centre : {limit, limit - unit / 2}) {
        float x = static_cast<float>(centre);
        for (int k = 0; k < 2048; ++k) x = std::nextafter(x, 0.0f);
        for (int k = 0; k < 4096; ++k, x = std::nextafter(x, kInf)) {
          for (const float sign : {1.0f, -1.0f}) {
            RowValues v = plain();
            v.*f.member = sign * x;
            v.ss = k % 7 == 0 ? nans[k % 3] : v.ss;
            expect_agree(v);
          }
        }
      }
    }
  }
}

TEST_F(RowPaths, RandomBitPatternsAndIndices) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::uint32_t> bits;
  std::uniform_int_distribution<int> index(std::numeric_limits<std::int16_t>::min(),
                                           std::numeric_limits<std::int16_t>::max());
  // Random bit patterns are mostly far too wide; scaling the exponent down keeps
  // about half of the rows within their widths.
  auto value = [&]() {
    const float f = std::bit_cast<float>(bits(rng));
    return bits(rng) % 2 == 0 ? f
                              : std::ldexp(std::fmod(f, 1.0f), static_cast<int>(bits(rng) % 24));
  };
  for (int n = 0; n < 300000; ++n) {
    auto small = [&]() {
      return static_cast<std::int16_t>(n % 3 == 0 ? index(rng) : index(rng) % 1200);
    };
    expect_agree({small(), small(), small(), value(), value(), value(), value(), value(), value()});
  }
}

TEST(TextBuffer, BorrowedRegionMovesToOwnStorageWhenOutgrown) {
  char region[16];
  std::memset(region, '#', sizeof region);
  TextBuffer out = TextBuffer::borrowing(region, 8);
  out.append("12345678");
  EXPECT_FALSE(out.owns_storage());
  EXPECT_EQ(std::string(region, 8), "12345678");
  out.append("9");  // past the region: the text moves, the region keeps its bytes
  EXPECT_TRUE(out.owns_storage());
  EXPECT_EQ(out.view(), "123456789");
  EXPECT_EQ(std::string(region, 16), "12345678########");
  TextBuffer moved = std::move(out);
  EXPECT_EQ(moved.view(), "123456789");
}

// ---- format_image ----

std::string chunk_of(const Example& e, std::size_t image) {
  const WriteColumns cols = e.columns.view();
  Result<Layout> layout = build_layout(cols, e.text.panel_names.size());
  EXPECT_TRUE(layout.has_value()) << (layout ? "" : layout.error().message);
  if (!layout) return {};
  TextBuffer out;
  ChunkFormatter(cols, e.text, *layout).format_image(out, image);
  return std::string(out.view());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  EXPECT_EQ(start, text.size()) << "text does not end with a line feed";
  return lines;
}

TEST(FormatImage, WorkedExampleByteForByte) {
  EXPECT_EQ(chunk_of(worked_example(), 0), testing::kWorkedExampleChunk);
}

TEST(FormatImage, AppendsToWhatTheBufferHolds) {
  const Example e = worked_example();
  Result<Layout> layout = build_layout(e.columns.view(), 1);
  ASSERT_TRUE(layout.has_value());
  TextBuffer out(4);  // far too small: every line must grow it
  out.append("earlier\n");
  ChunkFormatter(e.columns.view(), e.text, *layout).format_image(out, 0);
  ChunkFormatter(e.columns.view(), e.text, *layout).format_image(out, 0);
  EXPECT_EQ(out.view(),
            std::string("earlier\n") + testing::kWorkedExampleChunk + testing::kWorkedExampleChunk);
}

struct EditCase {
  const char* name;
  std::function<void(Example&)> edit;
  std::vector<std::string> present;  // whole lines that must appear
  std::vector<std::string> absent;   // whole lines that must not appear
};

class FormatEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(FormatEdit, WritesTheExpectedLines) {
  Example e = worked_example();
  GetParam().edit(e);
  const std::vector<std::string> lines = lines_of(chunk_of(e, 0));
  auto has = [&](const std::string& l) {
    return std::find(lines.begin(), lines.end(), l) != lines.end();
  };
  for (const std::string& l : GetParam().present) EXPECT_TRUE(has(l)) << "missing: " << l;
  for (const std::string& l : GetParam().absent) EXPECT_FALSE(has(l)) << "unexpected: " << l;
}

const std::string kRowHead = "   1   -2    3 ";

const EditCase kEditCases[] = {
    {"NanIntensity",
     [](Example& e) { e.columns.I[0] = kNaN; },
     {kRowHead + "       nan      45.60     300.00      12.30  512.3  100.7 p0"},
     {}},
    {"NanSigmaPeakBackground",
     [](Example& e) { e.columns.sigma[0] = e.columns.peak[0] = e.columns.background[0] = kNaN; },
     {kRowHead + "   1234.50        nan        nan        nan  512.3  100.7 p0"},
     {}},
    {"NanPosition",
     [](Example& e) { e.columns.fs[0] = e.columns.ss[0] = kNaN; },
     {kRowHead + "   1234.50      45.60     300.00      12.30    nan    nan p0"},
     {}},
    {"InfinitiesInRow",
     [](Example& e) {
       e.columns.I[0] = kInf;
       e.columns.sigma[0] = -kInf;
       e.columns.fs[0] = kInf;
       e.columns.ss[0] = -kInf;
     },
     {kRowHead + "       inf       -inf     300.00      12.30    inf   -inf p0"},
     {}},
    {"TiesToEven",
     [](Example& e) {
       e.columns.I[0] = 0.125f;
       e.columns.sigma[0] = 0.375f;
       e.columns.fs[0] = 512.25f;
       e.columns.ss[0] = 100.75f;
     },
     {kRowHead + "      0.12       0.38     300.00      12.30  512.2  100.8 p0"},
     {}},
    {"WideValuesPushTheLineRight",
     [](Example& e) {
       e.columns.I[0] = 1.5e9f;
       e.columns.hkl[0] = -1000;
       e.columns.hkl[2] = -32768;
     },
     {"-1000   -2 -32768 1500000000.00      45.60     300.00      12.30  512.3  100.7 p0"},
     {}},
    {"NanAndInfiniteCell",
     [](Example& e) {
       e.columns.cell[0] = kNaN;
       e.columns.cell[4] = kNaN;
       e.columns.cell[5] = -kInf;
     },
     {"Cell parameters nan 7.91000 3.80000 nm, 90.00000 nan -inf deg"},
     {}},
    {"ReciprocalVectorSpecials",
     [](Example& e) {
       e.columns.astar[0] = kNaN;
       e.columns.astar[1] = -0.0f;
       e.columns.bstar[1] = -kInf;
       e.columns.cstar[0] = kInf;
       e.columns.cstar[2] = -0.0263158f;
     },
     {"astar = +nan -0.0000000 +0.0000000 nm^-1", "bstar = +0.0000000 -inf +0.0000000 nm^-1",
      "cstar = +inf +0.0000000 -0.2631580 nm^-1"},
     {}},
    {"NanImageValues",
     [](Example& e) {
       e.columns.beam_energy[0] = kNaN;
       e.columns.camera_length[0] = kInf;
       e.columns.profile_rad[0] = kNaN;
       e.columns.det_shift_x[0] = -0.0f;
       e.columns.det_shift_y[0] = kNaN;
     },
     {"photon_energy_eV = nan", "average_camera_length = inf m", "profile_radius = nan nm^-1",
      "predict_refine/det_shift x = -0.000 y = nan mm"},
     {}},
    {"ZeroResolution",
     [](Example& e) { e.columns.resolution[0] = 0.0f; },
     {"diffraction_resolution_limit = 0.00 nm^-1 or 0.00 A"},
     {}},
    {"NegativeResolution",
     [](Example& e) { e.columns.resolution[0] = -1.0f; },
     {"diffraction_resolution_limit = 0.00 nm^-1 or -1.00 A"},
     {}},
    {"NanResolution",
     [](Example& e) { e.columns.resolution[0] = kNaN; },
     {"diffraction_resolution_limit = 0.00 nm^-1 or nan A"},
     {}},
    {"InfiniteResolution",
     [](Example& e) { e.columns.resolution[0] = kInf; },
     {"diffraction_resolution_limit = 0.00 nm^-1 or inf A"},
     {}},
    {"ReciprocalResolutionInDoublePrecision",
     [](Example& e) { e.columns.resolution[0] = 0.8f; },
     {"diffraction_resolution_limit = 12.50 nm^-1 or 0.80 A"},
     {}},
    {"ReciprocalResolutionTie",
     [](Example& e) { e.columns.resolution[0] = 80.0f; },
     {"diffraction_resolution_limit = 0.12 nm^-1 or 80.00 A"},
     {}},
    {"SubnormalResolutionWritesEveryDigit",
     [](Example& e) { e.columns.resolution[0] = 1e-45f; },
     {"diffraction_resolution_limit = 7136238463529799405291429847247475681913733120.00 nm^-1 "
      "or 0.00 A"},
     {}},
    {"MissingFilenameAndEvent",
     [](Example& e) {
       e.text.filenames.clear();
       e.text.events.clear();
     },
     {"Image filename: image_0", "Event: //0"},
     {}},
    {"EmptyFilenameAndEvent",
     [](Example& e) {
       e.text.filenames = {""};
       e.text.events = {""};
     },
     {"Image filename: ", "Event: "},
     {}},
    {"Utf8TextIsCopied",
     [](Example& e) {
       e.text.filenames = {"données/é.h5"};
       e.text.panel_names = {"q\xc3\xa9"};
     },
     {"Image filename: données/é.h5",
      kRowHead + "   1234.50      45.60     300.00      12.30  512.3  100.7 qé"},
     {}},
    {"EmptyCameraLength",
     [](Example& e) { e.columns.camera_length.clear(); },
     {"average_camera_length = 0.000000 m"},
     {}},
    {"NoUnitCellStrings",
     [](Example& e) {
       e.text.lattice_type.reset();
       e.text.centering.reset();
       e.text.unique_axis.reset();
     },
     {},
     {"lattice_type = tetragonal", "centering = P", "unique_axis = c"}},
    {"EmptyAndPartialUnitCellStrings",
     [](Example& e) {
       e.text.lattice_type = "";
       e.text.unique_axis = std::nullopt;
     },
     {"lattice_type = ", "centering = P"},
     {"unique_axis = c"}},
    {"NegativePanelIdCountsFromTheEnd",
     [](Example& e) {
       e.text.panel_names = {"a", "b"};
       e.columns.panel_id[0] = -1;
     },
     {kRowHead + "   1234.50      45.60     300.00      12.30  512.3  100.7 b"},
     {}},
    {"NegativePeakCount", [](Example& e) { e.columns.n_peaks[0] = -5; }, {"num_peaks = -5"}, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, FormatEdit, ::testing::ValuesIn(kEditCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FormatImage, NoUnitCellStringsGoesStraightToProfileRadius) {
  Example e = worked_example();
  e.text.lattice_type.reset();
  e.text.centering.reset();
  e.text.unique_axis.reset();
  EXPECT_NE(chunk_of(e, 0).find("+0.2631580 nm^-1\nprofile_radius = "), std::string::npos);
}

TEST(FormatImage, ImageWithoutCrystalIsHeaderAndEnd) {
  Example e = worked_example();
  e.columns.image_id[0] = 1;  // names no image: left out
  const std::string want =
      std::string(testing::kWorkedExampleChunk)
          .substr(0, std::string(testing::kWorkedExampleChunk).find("--- Begin crystal"));
  std::string expected = want + "----- End chunk -----\n";
  expected.replace(expected.find("indexed_by = xgandalf"), 21, "indexed_by = none");
  EXPECT_EQ(chunk_of(e, 0), expected);
  e.columns.image_id[0] = -1;
  EXPECT_EQ(chunk_of(e, 0), expected);
}

TEST(FormatImage, CrystalWithoutReflections) {
  Example e = worked_example();
  e.columns.n_refl[0] = 0;  // the observation row now belongs to no crystal
  const std::string chunk = chunk_of(e, 0);
  EXPECT_NE(chunk.find("num_reflections = 0\n"), std::string::npos);
  EXPECT_NE(chunk.find("ss/px panel\nEnd of reflections\n--- End crystal\n----- End chunk -----\n"),
            std::string::npos);
}

TEST(FormatImage, CrystalsOfAnImageInRowOrderAndOnlyTheirRows) {
  Example e;
  testing::OwnedColumns& c = e.columns;
  for (int m = 0; m < 6; ++m) c.add_image(1000.0f + m, m, 0, 0, 0.1f);
  c.camera_length.resize(3);
  const std::array<float, 9> abc{};
  // Crystals 0 and 2 in image 5, crystal 1 in image 0, crystal 3 in no image.
  const std::int32_t images[] = {5, 0, 5, 6};
  for (int k = 0; k < 4; ++k) c.add_crystal(images[k], 1, {}, abc, 0.001f * (k + 1), 1.0f);
  for (int o = 0; o < 5; ++o)
    c.add_obs({static_cast<std::int16_t>(o), 0, 0}, 10.0f * o, 0, 0, 0, 0, 0, 0);
  e.text.filenames = {"a.h5", "b.h5"};
  e.text.panel_names = {"p"};

  const std::string chunk = chunk_of(e, 5);
  EXPECT_NE(chunk.find("Image filename: image_5\nEvent: //5\nImage serial number: 5\n"),
            std::string::npos);
  EXPECT_NE(chunk.find("average_camera_length = 0.000000 m\nnum_peaks = 5\n"), std::string::npos);
  const std::size_t first = chunk.find("profile_radius = 0.01000");
  const std::size_t second = chunk.find("profile_radius = 0.03000");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_NE(chunk.find("\n   0    0    0       0.00"), std::string::npos);
  EXPECT_NE(chunk.find("\n   2    0    0      20.00"), std::string::npos);
  EXPECT_EQ(chunk.find("\n   1    0    0"), std::string::npos);  // crystal 1's row
  EXPECT_EQ(chunk.find("\n   4    0    0"), std::string::npos);  // owned by no crystal
  EXPECT_NE(chunk_of(e, 0).find("Image filename: a.h5\n"), std::string::npos);
  EXPECT_NE(chunk_of(e, 3).find("indexed_by = none\n"), std::string::npos);
}

TEST(FormatImage, PanelNamesOfEveryLengthInOneCrystal) {
  // Names up to 15 characters travel as a fixed 16-byte cell, longer ones as they are;
  // rows of different name lengths follow each other without gaps.
  Example e = worked_example();
  e.text.panel_names = {"a", std::string(14, 'b'), std::string(15, 'c'), std::string(16, 'd'),
                        std::string(40, 'e')};
  const std::int16_t ids[] = {0, 4, 1, 3, 2, -1, -5, 2};
  e.columns = testing::OwnedColumns{};
  e.columns.add_image(9500.0f, 1, 0.01f, -0.02f, 0.2f);
  e.columns.add_crystal(0, std::size(ids), {79.1f, 79.1f, 38.0f, 90.0f, 90.0f, 90.0f}, {}, 0, 2);
  for (const std::int16_t id : ids)
    e.columns.add_obs({1, -2, 3}, 1234.5f, 45.6f, 300.0f, 12.3f, 512.3f, 100.7f, id);
  std::string want;
  for (const std::int16_t id : ids) {
    const std::size_t pos = id < 0 ? id + 5 : id;
    want += kRowHead + "   1234.50      45.60     300.00      12.30  512.3  100.7 " +
            e.text.panel_names[pos] + "\n";
  }
  const std::string chunk = chunk_of(e, 0);
  EXPECT_NE(chunk.find("ss/px panel\n" + want + "End of reflections\n"), std::string::npos)
      << chunk;
}

TEST(FormatImage, RoomForHoldsTheWidestValues) {
  // Every head value as wide as its type allows, long strings and names, and rows
  // that keep to their columns: the chunk fits the room promised for it, so a batch
  // region of that size is never outgrown.
  constexpr float kMax = std::numeric_limits<float>::max();
  Example e;
  testing::OwnedColumns& c = e.columns;
  c.add_image(-kMax, std::numeric_limits<std::int32_t>::min(), -kMax, -kMax, -kMax);
  c.add_image(-kMax, std::numeric_limits<std::int32_t>::min(), -kMax, -kMax, -kMax);
  const float wide = -kMax / 10;  // stays finite when scaled by 10
  for (const std::int32_t rows : {0, 3, 40}) {
    c.add_crystal(1, rows, {-kMax, -kMax, -kMax, -kMax, -kMax, -kMax},
                  {wide, wide, wide, wide, wide, wide, wide, wide, wide}, wide, 1e-45f);
    for (std::int32_t o = 0; o < rows; ++o) {
      c.add_obs({-999, 9999, -999}, -999999.99f, 9999999.0f, -0.0f, kNaN, 99999.9f, -999.9f,
                static_cast<std::int16_t>(o % 3));
    }
  }
  e.text.panel_names = {"p", std::string(15, 'q'), std::string(33, 'r')};
  e.text.filenames = {std::string(500, 'f')};  // image 1 falls back to "image_1"
  e.text.lattice_type = std::string(300, 'l');
  e.text.centering = "";
  e.text.unique_axis = std::string(70, 'u');
  Result<Layout> layout = build_layout(c.view(), e.text.panel_names.size());
  ASSERT_TRUE(layout.has_value());
  const ChunkFormatter formatter(c.view(), e.text, *layout);
  for (std::size_t image = 0; image < 2; ++image) {
    const std::size_t room = formatter.room_for(image, image + 1);
    std::vector<char> region(room);
    TextBuffer out = TextBuffer::borrowing(region.data(), region.size());
    formatter.format_image(out, image);
    EXPECT_FALSE(out.owns_storage())
        << "image " << image << ": " << out.size() << " bytes, room " << room;
    TextBuffer reference;
    ChunkFormatter(c.view(), e.text, *layout).format_image(reference, image);
    EXPECT_EQ(out.view(), reference.view());
  }
  EXPECT_EQ(formatter.room_for(0, 2), formatter.room_for(0, 1) + formatter.room_for(1, 2));
}

}  // namespace
}  // namespace qn
