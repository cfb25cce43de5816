#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "lines/line_reader.hpp"
#include "temp_file.hpp"

namespace qn {
namespace {

using testing::TempFile;
using Lines = std::vector<std::pair<std::uint64_t, std::string>>;

Lines read_range(const std::string& path, std::uint64_t start, std::uint64_t end,
                 ReadLimits limits = {}) {
  auto reader = LineReader::open(path, start, end, limits);
  EXPECT_TRUE(reader.has_value());
  Lines out;
  Line line;
  for (;;) {
    auto got = reader->next_line(line);
    EXPECT_TRUE(got.has_value());
    if (!got.has_value() || !*got) break;
    out.emplace_back(line.offset, std::string(line.bytes));
  }
  // The end of the range is sticky.
  auto again = reader->next_line(line);
  EXPECT_TRUE(again.has_value() && !*again);
  return out;
}

struct RangeCase {
  const char* name;
  std::string contents;
  std::uint64_t start, end;
  Lines expected;
};

class LineReaderRanges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(LineReaderRanges, YieldsExactlyTheLinesThatBeginInTheRange) {
  const RangeCase& c = GetParam();
  TempFile f(c.contents);
  EXPECT_EQ(read_range(f.path(), c.start, c.end), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, LineReaderRanges,
    ::testing::Values(
        RangeCase{"empty_range", "abc\ndef\n", 0, 0, {}},
        RangeCase{"end_at_line_start", "abc\ndef\n", 0, 4, {{0, "abc"}}},
        RangeCase{"start_at_line_start", "abc\ndef\n", 4, 8, {{4, "def"}}},
        RangeCase{"end_inside_line_reads_it_whole", "abc\ndefgh\nxyz\n", 0, 6,
                  {{0, "abc"}, {4, "defgh"}}},
        RangeCase{"start_inside_line_yields_the_rest", "abcdef\nxyz\n", 2, 11,
                  {{2, "cdef"}, {7, "xyz"}}},
        RangeCase{"carriage_returns_stripped", "abc\r\r\nx\ry\r\n", 0, 100,
                  {{0, "abc"}, {6, "x\ry"}}},
        RangeCase{"lone_carriage_return_is_empty_line", "\r\n\nz", 0, 100,
                  {{0, ""}, {2, ""}, {3, "z"}}},
        RangeCase{"unterminated_last_line", "abc\nlast", 0, 100, {{0, "abc"}, {4, "last"}}},
        RangeCase{"no_extra_empty_line_at_end", "abc\n", 0, 100, {{0, "abc"}}},
        RangeCase{"file_shorter_than_range", "a\nb\n", 0, 1000000, {{0, "a"}, {2, "b"}}},
        RangeCase{"empty_file", "", 0, 10, {}},
        RangeCase{"start_past_end_of_file", "abc\n", 10, 20, {}},
        RangeCase{"end_before_start", "abc\n", 3, 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineReader, HugeLineInSmallRangeIsReturnedWhole) {
  const std::string big(10u << 20, 'x');
  const std::string contents = "head\n" + big + "\ntail\n";
  TempFile f(contents);
  const Lines lines = read_range(f.path(), 5, 105);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 5u);
  EXPECT_EQ(lines[0].second.size(), big.size());
  EXPECT_EQ(lines[0].second, big);
}

TEST(LineReader, ALongLineCostsAboutItsOwnSize) {
  // Doubling from 64 KiB would reach 16 MiB for this line; the buffer stops where
  // the file does.
  const std::string contents = "head\n" + std::string((10u << 20) + 12345, 'x');
  TempFile f(contents);
  auto reader = LineReader::open(f.path(), 5, 105);
  ASSERT_TRUE(reader.has_value());
  Line line;
  auto got = reader->next_line(line);
  ASSERT_TRUE(got.has_value() && *got);
  EXPECT_EQ(line.bytes.size(), contents.size() - 5);
  EXPECT_LE(reader->capacity(), contents.size() + 4096);
}

class LineReaderSizeLimit : public ::testing::TestWithParam<std::pair<std::uint64_t, Lines>> {};

TEST_P(LineReaderSizeLimit, ReadsNothingAtOrPastTheCallersSize) {
  const std::string contents = "abc\ndefgh\nxyz\n";
  TempFile f(contents);
  EXPECT_EQ(read_range(f.path(), 0, 100, ReadLimits{GetParam().first, nullptr}), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LineReaderSizeLimit,
    ::testing::Values(std::pair<std::uint64_t, Lines>{0, {}},
                      std::pair<std::uint64_t, Lines>{4, {{0, "abc"}}},
                      std::pair<std::uint64_t, Lines>{6, {{0, "abc"}, {4, "de"}}},
                      std::pair<std::uint64_t, Lines>{1000, {{0, "abc"}, {4, "defgh"}, {10, "xyz"}}}));

TEST(LineReader, HeadOfALineTooLongForTheBufferAndItsRest) {
  const std::string rest = std::string(200000, 'x') + " y";
  const std::string contents = "ab\n" + rest + "\r\ntail\n";
  TempFile f(contents);
  for (const bool read_rest : {true, false}) {
    auto reader = LineReader::open_with_capacity(f.path(), 0, contents.size(), 0);
    ASSERT_TRUE(reader.has_value());
    Line line;
    ASSERT_TRUE(*reader->next_line_head(line));
    EXPECT_EQ(line.bytes, "ab");
    EXPECT_TRUE(line.whole);
    ASSERT_TRUE(*reader->next_line_head(line));
    EXPECT_FALSE(line.whole);
    EXPECT_EQ(line.offset, 3u);
    EXPECT_EQ(line.bytes, rest.substr(0, LineReader::kMinCapacity));
    if (read_rest) {
      std::string pieces(line.bytes);
      ASSERT_TRUE(reader->read_rest([&](std::string_view p) { pieces += p; }).has_value());
      EXPECT_EQ(pieces, rest + "\r");
    }
    // Unless read, the rest is passed over by the next call.
    ASSERT_TRUE(*reader->next_line_head(line));
    EXPECT_EQ(line.bytes, "tail");
    EXPECT_EQ(line.offset, 3 + rest.size() + 2);
    EXPECT_EQ(reader->capacity(), LineReader::kMinCapacity);
    EXPECT_FALSE(*reader->next_line_head(line));
  }
}

TEST(LineReader, RefusesWhatHasNoKnownSizeWithoutWaiting) {
  TempFile f("");
  const std::string fifo = f.path() + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto pipe = LineReader::open(fifo, 0, 10);  // no writer: a blocking open would wait for ever
  ::unlink(fifo.c_str());
  ASSERT_FALSE(pipe.has_value());
  EXPECT_EQ(pipe.error().display(), "not a regular file: a named pipe");
  auto device = LineReader::open("/dev/zero", 0, 10);
  ASSERT_FALSE(device.has_value());
  EXPECT_EQ(device.error().display(), "not a regular file: a character device");
}

TEST(LineReader, StopsAtTheNextReadOnceCancelled) {
  TempFile f("abc\ndef\n");
  Cancel cancel;
  auto reader = LineReader::open(f.path(), 0, 100, ReadLimits{UINT64_MAX, &cancel});
  ASSERT_TRUE(reader.has_value());
  cancel.request();
  Line line;
  auto got = reader->next_line(line);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind, ErrorKind::kCancelled);
}

TEST(LineReader, OffsetsStayExactAcrossRefillsAndGrowth) {
  // Lines of varied lengths, some longer than the minimum buffer, force
  // compaction and growth; every offset must still point at its line.
  std::string contents;
  std::vector<std::pair<std::uint64_t, std::string>> expected;
  for (int i = 0; i < 400; ++i) {
    std::string line(static_cast<std::size_t>((i * 7919) % 70000), static_cast<char>('a' + i % 26));
    expected.emplace_back(contents.size(), line);
    contents += line + (i % 3 == 0 ? "\r\n" : "\n");
  }
  TempFile f(contents);
  EXPECT_EQ(read_range(f.path(), 0, contents.size()), expected);
}

TEST(LineReader, RangesCutAtEveryByteYieldEachLineOnce) {
  const std::string contents = "alpha\n\nbeta\r\ngamma delta\n\r\nx\nlast-no-newline";
  TempFile f(contents);
  const Lines whole = read_range(f.path(), 0, contents.size());
  for (std::uint64_t cut = 0; cut <= contents.size(); ++cut) {
    // Callers cut at line starts; a cut inside a line belongs to the first range.
    Lines first = read_range(f.path(), 0, cut);
    std::uint64_t resume = cut;
    if (!first.empty()) {
      const auto& [off, text] = first.back();
      const auto nl = contents.find('\n', off);
      resume = nl == std::string::npos ? contents.size() : nl + 1;
      if (resume < cut) resume = cut;
    }
    Lines second = read_range(f.path(), resume, contents.size());
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, whole) << "cut at " << cut;
  }
}

TEST(LineReader, RepositionKeepsTheLargerBuffer) {
  const std::string contents = std::string(5u << 20, 'a') + "\nb\n";
  TempFile f(contents);
  auto reader = LineReader::open(f.path(), 0, contents.size());
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->capacity(), LineReader::kMaxInitialCapacity);
  ASSERT_TRUE(reader->reposition(contents.size() - 2, contents.size()).has_value());
  EXPECT_EQ(reader->capacity(), LineReader::kMaxInitialCapacity);
  Line line;
  auto got = reader->next_line(line);
  ASSERT_TRUE(got.has_value() && *got);
  EXPECT_EQ(line.bytes, "b");
  EXPECT_EQ(line.offset, contents.size() - 2);
}

TEST(LineReader, OpenErrorsCarryTheSystemText) {
  auto missing = LineReader::open("/nonexistent/dir/file", 0, 10);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
  EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");

  auto dir = LineReader::open("/tmp", 0, 10);
  ASSERT_TRUE(dir.has_value());
  Line line;
  auto got = dir->next_line(line);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind, ErrorKind::kIsADirectory);
  EXPECT_EQ(got.error().display(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace qn
