// Every classification path against the byte-at-a-time count, on the same inputs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "simd_paths.hpp"

namespace qn {
namespace {

struct Classified {
  std::vector<LineEnd> ends;
  ClassifyCarry carry;
  friend bool operator==(const Classified&, const Classified&) = default;
};

// Classifies `bytes` in calls that end at each of `cuts` (ascending) and at the end,
// with line-feed positions made relative to the whole input.
Classified run(ClassifyFn fn, const std::string& bytes, const std::vector<std::size_t>& cuts = {}) {
  Classified r;
  std::vector<LineEnd> out(bytes.size() + 1);
  std::size_t from = 0;
  auto step = [&](std::size_t to) {
    const std::size_t k = fn(bytes.data() + from, to - from, r.carry, out.data());
    for (std::size_t i = 0; i < k; ++i) {
      r.ends.push_back(LineEnd{static_cast<std::uint32_t>(out[i].pos + from), out[i].fields});
    }
    from = to;
  };
  for (std::size_t c : cuts) step(c);
  step(bytes.size());
  return r;
}

Classified reference(const std::string& bytes) { return run(classify_lines_bytewise, bytes); }

std::ostream& operator<<(std::ostream& os, const Classified& c) {
  os << c.ends.size() << " line ends:";
  for (std::size_t i = 0; i < c.ends.size() && i < 40; ++i)
    os << ' ' << c.ends[i].pos << '/' << c.ends[i].fields;
  return os << " carry " << c.carry.fields << '/' << c.carry.in_field;
}

// Bytes chosen to sit on both sides of every test the masks make.
const char kAlphabet[] = {' ', '\t', '\n', '\v', '\f',   '\r',   '\x08', '\x0e', '\x1c', '\x1f',
                          '!', 'a',  '1',  '-',  '\x7f', '\x80', '\x89', '\xa0', '\xff', '\0'};

std::string random_bytes(std::mt19937& rng, std::size_t n, std::size_t alphabet_size) {
  std::string s(n, ' ');
  for (auto& ch : s) ch = kAlphabet[rng() % alphabet_size];
  return s;
}

// A stream-like text: reflection rows, headings, CRLF endings, blank lines, a tab.
std::string stream_like() {
  std::string s = "----- Begin chunk -----\r\nImage filename: x.h5\n\n";
  for (int r = 0; r < 9; ++r) {
    s += "   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0";
    s += r % 3 == 0 ? "\r\n" : "\n";
  }
  return s + "\tEnd of reflections \x0b\x0c\n   \n\n----- End chunk -----";
}

class ClassifyPath : public testing::SimdPathTest {};

TEST_P(ClassifyPath, EveryPrefixMatchesByteCount) {
  const std::string text = stream_like() + stream_like();
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const std::string prefix = text.substr(0, n);
    ASSERT_EQ(run(fn_, prefix), reference(prefix)) << "prefix " << n;
  }
}

TEST_P(ClassifyPath, EveryCutMatchesWholeInput) {
  const std::string text = stream_like();
  const Classified whole = reference(text);
  for (std::size_t c = 0; c <= text.size(); ++c) {
    ASSERT_EQ(run(fn_, text, {c}), whole) << "cut at " << c;
  }
  // Runs of one-byte calls and calls ending just inside or after a block.
  std::vector<std::size_t> ones;
  for (std::size_t c = 1; c < 200 && c < text.size(); ++c) ones.push_back(c);
  EXPECT_EQ(run(fn_, text, ones), whole);
  EXPECT_EQ(run(fn_, text, {63, 64, 65, 127, 129, 192}), whole);
}

TEST_P(ClassifyPath, RandomInputsAndCutsMatchByteCount) {
  std::mt19937 rng(13);
  for (int iter = 0; iter < 3000; ++iter) {
    // Small alphabets make long fields and long blank runs; the full one mixes all.
    const std::size_t alphabet = 2 + rng() % (sizeof kAlphabet - 1);
    const std::string s = random_bytes(rng, rng() % 700, alphabet);
    std::vector<std::size_t> cuts;
    for (std::size_t c = 0; c < s.size(); c += 1 + rng() % 150) cuts.push_back(c);
    const Classified want = reference(s);
    ASSERT_EQ(run(fn_, s), want) << "iteration " << iter;
    ASSERT_EQ(run(fn_, s, cuts), want) << "iteration " << iter;
  }
}

TEST_P(ClassifyPath, LongLinesCountEveryField) {
  std::string line;
  for (int i = 0; i < 50000; ++i) line += i % 7 == 0 ? "x\t" : (i % 5 == 0 ? "yy \r " : "z ");
  const std::string text = line + "\n" + line + "\n" + std::string(100000, 'q');
  const Classified got = run(fn_, text, {1, 4096, 100001, 150000, 250001});
  ASSERT_EQ(got.ends.size(), 2u);
  EXPECT_EQ(got.ends[0].fields, 50000u);
  EXPECT_EQ(got.ends[1].fields, 50000u);
  EXPECT_EQ(got.carry, (ClassifyCarry{1, true}));
  EXPECT_EQ(got, reference(text));
}

INSTANTIATE_TEST_SUITE_P(Paths, ClassifyPath, testing::kAllSimdPaths, testing::simd_test_name);

TEST(ClassifyChoice, NamedPathWhenSupportedElseTheWidestBelowIt) {
  EXPECT_EQ(choose_simd_path("portable"), SimdPath::kPortable);
  const SimdPath widest = choose_simd_path(nullptr);
  EXPECT_TRUE(simd_path_supported(widest));
  EXPECT_EQ(choose_simd_path("no-such-path"), widest);
  EXPECT_EQ(choose_simd_path("avx512"), widest);
  const SimdPath avx2 = choose_simd_path("avx2");
  EXPECT_EQ(avx2, simd_path_supported(SimdPath::kAvx2) ? SimdPath::kAvx2 : SimdPath::kPortable);
  for (SimdPath p : {SimdPath::kPortable, SimdPath::kAvx2, SimdPath::kAvx512}) {
    EXPECT_EQ(simd_path_from_name(simd_path_name(p)), p);
    EXPECT_EQ(classify_fn(p) != nullptr, simd_path_supported(p));
  }
  const char* forced = std::getenv("QUILLON_SIMD");
  EXPECT_EQ(simd_path(), choose_simd_path(forced));
}

}  // namespace
}  // namespace qn
