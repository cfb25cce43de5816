#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/page_buffer.hpp"
#include "lines/line_reader.hpp"
#include "temp_file.hpp"

namespace qn {
namespace {

using testing::InMemory;
using testing::TempFile;
using Lines = std::vector<std::pair<std::uint64_t, std::string>>;

Lines read_range(const ByteSource& source, std::uint64_t start, std::uint64_t end) {
  std::optional<LineReader> reader;
  reader.emplace(source, start, end);
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
  InMemory f(c.contents);
  EXPECT_EQ(read_range(f.source(), c.start, c.end), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, LineReaderRanges,
    ::testing::Values(
        RangeCase{"empty_range", "abc\ndef\n", 0, 0, {}},
        RangeCase{"end_at_line_start", "abc\ndef\n", 0, 4, {{0, "abc"}}},
        RangeCase{"start_at_line_start", "abc\ndef\n", 4, 8, {{4, "def"}}},
        RangeCase{"end_inside_line_reads_it_whole",
                  "abc\ndefgh\nxyz\n",
                  0,
                  6,
                  {{0, "abc"}, {4, "defgh"}}},
        RangeCase{
            "start_inside_line_yields_the_rest", "abcdef\nxyz\n", 2, 11, {{2, "cdef"}, {7, "xyz"}}},
        RangeCase{
            "carriage_returns_stripped", "abc\r\r\nx\ry\r\n", 0, 100, {{0, "abc"}, {6, "x\ry"}}},
        RangeCase{
            "lone_carriage_return_is_empty_line", "\r\n\nz", 0, 100, {{0, ""}, {2, ""}, {3, "z"}}},
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
  InMemory f(contents);
  const Lines lines = read_range(f.source(), 5, 105);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 5u);
  EXPECT_EQ(lines[0].second.size(), big.size());
  EXPECT_EQ(lines[0].second, big);
}

TEST(LineReader, ALongLineCostsAboutItsOwnSize) {
  // Doubling from 64 KiB would reach 16 MiB for this line; the buffer stops where
  // the file does.
  const std::string contents = "head\n" + std::string((10u << 20) + 12345, 'x');
  InMemory f(contents);
  std::optional<LineReader> reader;
  reader.emplace(f.source(), 5, 105);
  Line line;
  auto got = reader->next_line(line);
  ASSERT_TRUE(got.has_value() && *got);
  EXPECT_EQ(line.bytes.size(), contents.size() - 5);
  EXPECT_LE(reader->capacity(), contents.size() + 4096);
}

class LineReaderSizeLimit : public ::testing::TestWithParam<std::pair<std::uint64_t, Lines>> {};

TEST_P(LineReaderSizeLimit, ReadsNothingPastTheSizeTheFileHadWhenOpened) {
  const std::string contents = "abc\ndefgh\nxyz\n";
  const std::size_t opened_at = std::min<std::size_t>(GetParam().first, contents.size());
  TempFile f(contents.substr(0, opened_at));
  auto source = FileSource::open(f.path());
  ASSERT_TRUE(source.has_value());
  std::ofstream(f.path(), std::ios::binary | std::ios::app) << contents.substr(opened_at);
  EXPECT_EQ(read_range(*source, 0, 100), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LineReaderSizeLimit,
    ::testing::Values(std::pair<std::uint64_t, Lines>{0, {}},
                      std::pair<std::uint64_t, Lines>{4, {{0, "abc"}}},
                      std::pair<std::uint64_t, Lines>{6, {{0, "abc"}, {4, "de"}}},
                      std::pair<std::uint64_t, Lines>{1000,
                                                      {{0, "abc"}, {4, "defgh"}, {10, "xyz"}}}));

TEST(LineReader, HeadOfALineTooLongForTheBufferAndItsRest) {
  const std::string rest = std::string(200000, 'x') + " y";
  const std::string contents = "ab\n" + rest + "\r\ntail\n";
  InMemory f(contents);
  for (const bool read_rest : {true, false}) {
    std::optional<LineReader> reader;
    reader.emplace(LineReader::with_capacity(f.source(), 0, contents.size(), 0));
    Line line;
    ASSERT_TRUE(*reader->next_line_head(line));
    EXPECT_EQ(line.bytes, "ab");
    EXPECT_TRUE(line.whole);
    ASSERT_TRUE(*reader->next_line_head(line));
    EXPECT_FALSE(line.whole);
    EXPECT_EQ(line.offset, 3u);
    // As much of it as the buffer holds past the line's offset within its page.
    EXPECT_EQ(line.bytes, rest.substr(0, LineReader::kMinCapacity - 3));
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

TEST(FileSource, RefusesWhatHasNoKnownSizeWithoutWaiting) {
  TempFile f("");
  const std::string fifo = f.path() + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto pipe = FileSource::open(fifo);  // no writer: a blocking open would wait for ever
  ::unlink(fifo.c_str());
  ASSERT_FALSE(pipe.has_value());
  EXPECT_EQ(pipe.error().display(), "not a regular file: a named pipe");
  auto device = FileSource::open("/dev/zero");
  ASSERT_FALSE(device.has_value());
  EXPECT_EQ(device.error().display(), "not a regular file: a character device");
}

TEST(LineReader, StopsAtTheNextReadOnceCancelled) {
  InMemory f("abc\ndef\n");
  Cancel cancel;
  std::optional<LineReader> reader;
  reader.emplace(f.source(), 0, 100, &cancel);
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
  InMemory f(contents);
  EXPECT_EQ(read_range(f.source(), 0, contents.size()), expected);
  TempFile file(contents);
  auto source = FileSource::open(file.path());
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(read_range(*source, 0, contents.size()), expected);
}

// Every line length across the 16-byte steps of the line-feed search and past its
// first 128 bytes, with bytes that differ from a line feed in one bit, the last
// line with and without its line feed.
TEST(LineReader, EveryLineLengthEndsAtItsLineFeed) {
  for (const bool final_feed : {true, false}) {
    std::string contents;
    Lines expected;
    for (std::size_t len = 0; len <= 300; ++len) {
      std::string line;
      for (std::size_t j = 0; j < len; ++j) line += "\x0b\x8a\x0e\x1az"[j % 5];
      expected.emplace_back(contents.size(), line);
      contents += line;
      if (final_feed || len < 300) contents += '\n';
    }
    InMemory f(contents);
    EXPECT_EQ(read_range(f.source(), 0, contents.size()), expected) << final_feed;
  }
}

// buffered() shows what was read after the last line handed out, and never a byte
// at which no line of the range may begin; skip() hands its lines out.
TEST(LineReader, BufferedBytesAndSkip) {
  const std::string contents = "abc\ndef\nghi\njkl\n";
  InMemory f(contents);
  for (const std::uint64_t end : {std::uint64_t{8}, std::uint64_t{9}, std::uint64_t{16}}) {
    LineReader reader(f.source(), 0, end);
    Line line;
    ASSERT_TRUE(reader.next_line(line).value());
    EXPECT_EQ(line.bytes, "abc");
    const LineReader::Buffered held = reader.buffered();
    EXPECT_EQ(held.bytes, std::string_view(contents).substr(4, end - 4)) << end;
    EXPECT_EQ(held.starts, end - 4) << end;
    reader.skip(4);  // "def" taken
    Lines rest;
    while (reader.next_line(line).value()) rest.emplace_back(line.offset, std::string(line.bytes));
    Lines want;
    if (end > 8) want.emplace_back(8, "ghi");
    if (end > 12) want.emplace_back(12, "jkl");
    EXPECT_EQ(rest, want) << end;
    EXPECT_TRUE(reader.buffered().bytes.empty());
  }
  // While the rest of a cut line is unread, nothing is shown.
  const std::string long_line(LineReader::kMinCapacity + 10, 'x');
  InMemory g(long_line + "\nnext\n");
  LineReader reader = LineReader::with_capacity(g.source(), 0, long_line.size() + 6,
                                                LineReader::kMinCapacity);
  Line line;
  ASSERT_TRUE(reader.next_line_head(line).value());
  EXPECT_FALSE(line.whole);
  EXPECT_TRUE(reader.buffered().bytes.empty());
  ASSERT_TRUE(reader.next_line(line).value());
  EXPECT_EQ(line.bytes, "next");
}

TEST(LineReader, RangesCutAtEveryByteYieldEachLineOnce) {
  const std::string contents = "alpha\n\nbeta\r\ngamma delta\n\r\nx\nlast-no-newline";
  InMemory f(contents);
  const Lines whole = read_range(f.source(), 0, contents.size());
  for (std::uint64_t cut = 0; cut <= contents.size(); ++cut) {
    // Callers cut at line starts; a cut inside a line belongs to the first range.
    Lines first = read_range(f.source(), 0, cut);
    std::uint64_t resume = cut;
    if (!first.empty()) {
      const auto& [off, text] = first.back();
      const auto nl = contents.find('\n', off);
      resume = nl == std::string::npos ? contents.size() : nl + 1;
      if (resume < cut) resume = cut;
    }
    Lines second = read_range(f.source(), resume, contents.size());
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, whole) << "cut at " << cut;
  }
}

TEST(LineReader, RepositionKeepsTheLargerBuffer) {
  const std::string contents = std::string(5u << 20, 'a') + "\nb\n";
  InMemory f(contents);
  LineReader reader(f.source(), 0, contents.size());
  EXPECT_EQ(reader.capacity(), LineReader::kMaxInitialCapacity);
  reader.reposition(contents.size() - 2, contents.size());
  EXPECT_EQ(reader.capacity(), LineReader::kMaxInitialCapacity);
  Line line;
  auto got = reader.next_line(line);
  ASSERT_TRUE(got.has_value() && *got);
  EXPECT_EQ(line.bytes, "b");
  EXPECT_EQ(line.offset, contents.size() - 2);
}

// Every read lands at its file offset's place within a page of the buffer, so that
// the copy out of the page cache is aligned alike on both sides: from any range
// start, through compaction, growth for long lines, repositioning and cut lines.
class LineReaderAlignment : public ::testing::TestWithParam<std::uint64_t> {};

std::size_t misaligned_reads(const testing::WatchedSource& source) {
  std::size_t bad = 0;
  for (const auto& r : source.reads()) {
    bad += (reinterpret_cast<std::uintptr_t>(r.out) - r.offset) % PageBuffer::kPage != 0;
  }
  return bad;
}

TEST_P(LineReaderAlignment, ReadsLandAtTheirFileOffsetWithinAPage) {
  std::string contents;
  for (int i = 0; i < 300; ++i) {
    contents.append(static_cast<std::size_t>((i * 7919) % 90000), 'a').append("\n");
  }
  const std::uint64_t start = GetParam();
  const testing::WatchedSource source(contents);
  for (const bool grow : {true, false}) {
    LineReader reader = LineReader::with_capacity(source, start, contents.size(), 0);
    Line line;
    std::size_t n_lines = 0;
    for (int range = 0; range < 2; ++range) {
      for (;;) {
        auto got = grow ? reader.next_line(line) : reader.next_line_head(line);
        ASSERT_TRUE(got.has_value());
        if (!*got) break;
        ++n_lines;
      }
      reader.reposition(start + 12345, contents.size());
    }
    EXPECT_GT(n_lines, 400u);
  }
  EXPECT_GT(source.reads().size(), 100u);
  EXPECT_EQ(misaligned_reads(source), 0u) << "of " << source.reads().size() << " reads";
}

INSTANTIATE_TEST_SUITE_P(Starts, LineReaderAlignment,
                         ::testing::Values(0, 1, 17, 4095, 4096, 4097, 70001));

TEST(FileSource, OpenErrorsCarryTheSystemText) {
  auto missing = FileSource::open("/nonexistent/dir/file");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
  EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");

  auto dir = FileSource::open("/tmp");
  ASSERT_TRUE(dir.has_value());
  LineReader reader(*dir, 0, 10);
  Line line;
  auto got = reader.next_line(line);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind, ErrorKind::kIsADirectory);
  EXPECT_EQ(got.error().display(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace qn
