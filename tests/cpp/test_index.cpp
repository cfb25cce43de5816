#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/page_buffer.hpp"
#include "index/index_job.hpp"
#include "index/scan.hpp"
#include "simd_paths.hpp"
#include "temp_file.hpp"

namespace qn {
namespace {

using testing::InMemory;
using testing::TempFile;

const std::string kRow =
    "   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0\n";

// A chunk with the given crystals, each holding `rows` reflection rows.
std::string chunk(int crystals, int rows = 2) {
  std::string s = "----- Begin chunk -----\nImage filename: x.h5\nEvent: //1\n";
  for (int c = 0; c < crystals; ++c) {
    s += "--- Begin crystal\nCell parameters 1 2 3 nm, 90 90 90 deg\n";
    s += "Reflections measured after indexing\n   h    k    l  heading\n";
    for (int r = 0; r < rows; ++r) s += kRow;
    s += "End of reflections\n--- End crystal\n";
  }
  return s + "----- End chunk -----\n";
}

std::vector<Chunk> serial(const ByteSource& source,
                          std::optional<std::int64_t> max = std::nullopt) {
  auto rows = index_source(source, 1, max, nullptr);
  EXPECT_TRUE(rows.has_value());
  return rows.has_value() ? *rows : std::vector<Chunk>{};
}

std::vector<std::size_t> crystals_of(const std::vector<Chunk>& rows) {
  std::vector<std::size_t> out;
  for (const auto& c : rows) out.push_back(c.n_crystals);
  return out;
}

// Rows counted when `line` is the only line of a reflection list, scanned with `fn`.
std::size_t rows_counted(const std::string& line, ClassifyFn fn) {
  const std::string text =
      "----- Begin chunk -----\n--- Begin crystal\nReflections measured after indexing\n"
      "   h    k    l\n" +
      line + "\nEnd of reflections\n";
  InMemory f(text);
  auto s = scan(f.source(), 0, text.size(), std::nullopt, nullptr, fn);
  EXPECT_TRUE(s.has_value() && s->open_chunk.has_value());
  return s.has_value() && s->open_chunk ? s->open_chunk->n_obs_upper : 99;
}

// The row test of every classification path this processor runs.
class RowTest : public testing::SimdPathTest {};

TEST_P(RowTest, CountsTenFieldsSeparatedByAsciiWhiteSpace) {
  struct Case {
    std::string line;
    bool ten;
  };
  const std::vector<Case> cases = {
      {"1 2 3 4 5 6 7 8 9", false},
      {"1 2 3 4 5 6 7 8 9 p0", true},
      {"1\t2\t3\t4\t5\t6\t7\t8\t9\tp0", true},
      {"a b c d e f g h i j", true},  // fields need not be numbers
      {"  1 2 3 4 5 6 7 8 9   ", false},
      {"1\x1c"
       "2 3 4 5 6 7 8 9 p0",
       false},  // 0x1C is a field byte here
      {"1\xc2\xa0"
       "2 3 4 5 6 7 8 9 p0",
       false},  // so is a no-break space
      {"                          1   2  3  4  5  6  7  8  9                       10", true},
      {"1 2 3 4 5 6 7 8                                       9                       ", false},
      {"1 2 3 4 5 6 7 8 9 p0\r\r", true},
      {"1 2 3 4 5 6 7 8 9\r\r", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(rows_counted(c.line, fn_), c.ten ? 1u : 0u) << c.line;
}

TEST_P(RowTest, CountMatchesByteByByteCount) {
  std::mt19937 rng(7);
  const char alphabet[] = {' ', '\t', '\r', '\v', 'a', '1', '\x1c', '\x80', '\xff', '-'};
  for (int iter = 0; iter < 3000; ++iter) {
    std::string s(rng() % 200, ' ');
    for (auto& ch : s) ch = alphabet[rng() % sizeof alphabet];
    int fields = 0;
    bool prev_space = true;
    for (unsigned char ch : s) {
      const bool space = ch == ' ' || (ch >= 9 && ch <= 13);
      if (!space && prev_space) ++fields;
      prev_space = space;
    }
    ASSERT_EQ(rows_counted(s, fn_), fields >= 10 ? 1u : 0u) << '"' << s << '"';
  }
}

TEST_P(RowTest, MarkersAndRowsAcrossReadWindows) {
  // A first line that ends just before, at or after a read window's edge (256 KiB),
  // so that markers and rows straddle it, and lines longer than a window.
  const std::string body = chunk(2, 3) + chunk(0) + chunk(1, 5);
  const std::string wide = "----- Begin chunk -----" + std::string(600000, ' ') + "x\n" +
                           "--- Begin crystal\nReflections measured after indexing\n\n" +
                           "1 2 3 4 5 6 7 8 9" + std::string(300000, '\t') + "10\n" + kRow;
  for (const std::string& tail : {body, body + wide}) {
    for (std::size_t before = 262144 - 90; before < 262144 + 20; ++before) {
      const std::string text = std::string(before, 'h') + "\n" + tail;
      InMemory f(text);
      auto s = scan(f.source(), 0, text.size(), std::nullopt, nullptr, fn_);
      ASSERT_TRUE(s.has_value());
      std::vector<Chunk> rows = s->chunks;
      if (s->open_chunk) rows.push_back(*s->open_chunk);
      const bool with_wide = tail.size() > body.size();
      ASSERT_EQ(rows.size(), with_wide ? 4u : 3u) << before;
      EXPECT_EQ(rows[0].start, before + 1);
      EXPECT_EQ(crystals_of(rows), with_wide ? (std::vector<std::size_t>{2, 0, 1, 1})
                                             : (std::vector<std::size_t>{2, 0, 1}));
      EXPECT_EQ(rows[0].n_obs_upper, 6u);
      EXPECT_EQ(rows[2].n_obs_upper, 5u);
      if (with_wide) {
        EXPECT_EQ(rows[3].n_obs_upper, 2u);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, RowTest, testing::kAllSimdPaths, testing::simd_test_name);

TEST(Scan, NoChunksInEmptyFileOrFileWithoutMarker) {
  for (const std::string contents : {"", "header\n--- Begin crystal\nnothing else\n"}) {
    InMemory f(contents);
    EXPECT_TRUE(serial(f.source()).empty());
  }
}

TEST(Scan, HeaderContentBelongsToNoChunk) {
  const std::string header = "--- Begin crystal\nReflections measured after indexing\nh\n" + kRow;
  const std::string body = chunk(1, 3);
  InMemory f(header + body);
  const auto rows = serial(f.source());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (Chunk{header.size(), header.size() + body.size(), 1, 3}));
}

TEST(Scan, ChunksEndAtTheNextBeginMarker) {
  const std::string a = "----- Begin chunk -----\n";
  const std::string b = "----- Begin chunk -----\nno end marker\n";
  const std::string c = chunk(2, 1) + "trailing text after end marker\n";
  InMemory f(a + b + c);
  const auto rows = serial(f.source());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (Chunk{0, a.size(), 0, 0}));
  EXPECT_EQ(rows[1], (Chunk{a.size(), a.size() + b.size(), 0, 0}));
  EXPECT_EQ(rows[2], (Chunk{a.size() + b.size(), a.size() + b.size() + c.size(), 2, 2}));
}

struct ListCase {
  const char* name;
  std::string body;  // lines after the begin marker
  std::size_t n_crystals, n_obs_upper;
};

class ScanLists : public ::testing::TestWithParam<ListCase> {};

TEST_P(ScanLists, CountsRowsAndCrystals) {
  InMemory f("----- Begin chunk -----\n" + GetParam().body);
  const auto rows = serial(f.source());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].n_crystals, GetParam().n_crystals);
  EXPECT_EQ(rows[0].n_obs_upper, GetParam().n_obs_upper);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ScanLists,
    ::testing::Values(
        ListCase{"missing_heading_first_row_is_heading",
                 "Reflections measured after indexing\n" + kRow + kRow + "End of reflections\n", 0,
                 1},
        ListCase{"end_right_after_start_is_heading",
                 "Reflections measured after indexing\nEnd of reflections\n" + kRow + kRow +
                     "----- End chunk -----\n" + kRow,
                 0, 2},
        ListCase{"nine_fields_not_counted",
                 "Reflections measured after indexing\nh\n1 2 3 4 5 6 7 8 9\nEnd of reflections\n",
                 0, 0},
        ListCase{"tab_separated_row_counted",
                 "Reflections measured after indexing\nh\n1\t2\t3\t4\t5\t6\t7\t8\t9\tp\n", 0, 1},
        ListCase{"marker_like_lines_are_rows_inside_a_list",
                 "Reflections measured after indexing\nh\n--- Begin crystal a b c d e f g h i\n", 0,
                 1},
        ListCase{"empty_lines_inside_list_ignored",
                 "Reflections measured after indexing\nh\n\n" + kRow + "\n" + kRow, 0, 2},
        ListCase{"empty_heading_line", "Reflections measured after indexing\n\n" + kRow, 0, 1},
        ListCase{"indented_marker_not_a_crystal", "  --- Begin crystal\n--- Begin crystal x\n", 1,
                 0},
        ListCase{"rows_outside_lists_not_counted", kRow + kRow, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scan, MarkerRecognitionIsAPrefixTest) {
  InMemory f(
      "  ----- Begin chunk -----\n----- Begin chunk ----- trailing\n----- Begin chunk ---\n");
  const auto rows = serial(f.source());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].start, 26u);
}

TEST(Scan, MaxCrystalsStopsAfterTheChunkReachingTheTotal) {
  const std::string file = chunk(2) + chunk(0) + chunk(1) + chunk(5);
  InMemory f(file);
  EXPECT_EQ(crystals_of(serial(f.source(), 3)), (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(crystals_of(serial(f.source(), 0)), (std::vector<std::size_t>{2}));
  EXPECT_EQ(crystals_of(serial(f.source(), -5)), (std::vector<std::size_t>{2}));
  const auto all = serial(f.source(), 100);
  EXPECT_EQ(crystals_of(all), (std::vector<std::size_t>{2, 0, 1, 5}));
  EXPECT_EQ(all.back().end, file.size());
  auto s = scan(f.source(), 0, file.size(), 3);
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->open_chunk.has_value());
}

TEST(Scan, LinesLongerThanTheBufferCountAsTheirWholeText) {
  // Fields far apart: the tenth begins long after the reader's buffer has filled.
  const std::string gap(300000, ' ');
  const std::string ten = "1 2 3 4 5 6 7 8 9" + gap + "p0";
  const std::string nine = "1 2 3 4 5 6 7 8" + gap + "p0\r\r";
  const std::string text = "----- Begin chunk -----" + gap +
                           "junk\n"
                           "--- Begin crystal\nReflections measured after indexing\n   h  k  l\n" +
                           ten + "\n" + nine + "\n" + kRow +
                           "End of reflections\n--- End crystal\n" + chunk(1);
  InMemory f(text);
  const auto rows = serial(f.source());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].n_crystals, 1u);
  EXPECT_EQ(rows[0].n_obs_upper, 2u);  // the ten-field row and kRow
  EXPECT_EQ(rows[1].start, text.size() - chunk(1).size());
  EXPECT_EQ(rows[1].n_obs_upper, 2u);
}

// Each window is read to its file position's offset within a page, so that the
// copy out of the page cache is aligned alike on both sides; the rows stay those of
// any other start.
TEST(Scan, ReadsLandAtTheirFileOffsetWithinAPage) {
  std::string text;
  for (int i = 0; i < 400; ++i) text += chunk(i % 7, 20);
  ASSERT_GT(text.size(), 600000u);  // several windows
  for (const std::uint64_t start : {0, 1, 4095, 4097, 300001}) {
    const testing::WatchedSource source(text);
    const auto got = scan(source, start, text.size(), std::nullopt);
    ASSERT_TRUE(got.has_value());
    EXPECT_GT(source.reads().size(), 2u);
    for (const auto& r : source.reads()) {
      EXPECT_EQ((reinterpret_cast<std::uintptr_t>(r.out) - r.offset) % PageBuffer::kPage, 0u)
          << "start " << start << ", read at " << r.offset;
    }
  }
}

// One thread's memory serves scans of ranges in any order: a short range near the
// end (a small window), then longer ones that need it to grow. Each gives the rows of
// a scan with memory of its own, its reads still landing at their page offset.
TEST(Scan, ReusedBuffersGiveTheRowsOfFreshOnes) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += chunk(i % 5, 30);
  ASSERT_GT(text.size(), 700000u);
  const std::uint64_t size = text.size();
  const testing::WatchedSource source(text);
  std::vector<std::uint64_t> starts;
  for (const std::uint64_t pos : {size - 3000, std::uint64_t{0}, size / 2, size / 3, size - 100}) {
    starts.push_back(*find_chunk_at_or_after(source, pos, size));
  }
  for (const bool reversed : {false, true}) {
    ScanBuffers buffers;
    for (std::size_t k = 0; k < starts.size(); ++k) {
      const std::uint64_t start = starts[reversed ? starts.size() - 1 - k : k];
      const std::uint64_t end = start + 250000 < size ? start + 250000 : size;
      const auto fresh = scan(source, start, end, std::nullopt);
      const std::size_t reads_before = source.reads().size();
      const auto reused = scan(source, start, end, std::nullopt, nullptr, nullptr, &buffers);
      ASSERT_TRUE(fresh.has_value() && reused.has_value());
      EXPECT_EQ(reused->chunks, fresh->chunks) << "start " << start;
      EXPECT_EQ(reused->open_chunk, fresh->open_chunk) << "start " << start;
      for (std::size_t r = reads_before; r < source.reads().size(); ++r) {
        const auto& read = source.reads()[r];
        EXPECT_EQ((reinterpret_cast<std::uintptr_t>(read.out) - read.offset) % PageBuffer::kPage,
                  0u);
      }
    }
  }
}

TEST(FindChunk, SnapsToTheNextBeginMarkerAfterTheLine) {
  const std::string a = chunk(1);
  const std::string b = chunk(0);
  InMemory f(a + b);
  const std::uint64_t size = a.size() + b.size();
  auto at = [&](std::uint64_t pos) { return *find_chunk_at_or_after(f.source(), pos, size); };
  EXPECT_EQ(at(0), 0u);        // a marker at offset 0 is found from 0
  EXPECT_EQ(at(1), a.size());  // inside the first marker line
  EXPECT_EQ(at(a.size() - 1), a.size());
  EXPECT_EQ(at(a.size()), size);  // exactly at a marker: that line is skipped
  EXPECT_EQ(at(size), size);
  EXPECT_EQ(at(size + 10), size);
}

// A file of many small chunks of varied sizes.
std::string many_chunks(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s = "some header\nwith lines\n";
  for (int i = 0; i < n; ++i) s += chunk(static_cast<int>(rng() % 4), static_cast<int>(rng() % 5));
  return s;
}

TEST(ParallelIndex, EqualsSerialForAnyThreadCount) {
  const std::string file = many_chunks(60, 3);
  InMemory f(file);
  const auto expected = serial(f.source());
  ASSERT_EQ(expected.size(), 60u);
  for (std::uint64_t n : {2ull, 3ull, 8ull, 61ull, 1000ull, ~0ull}) {
    Pool pool(static_cast<std::size_t>(n < 16 ? n : 16));
    auto rows = index_source(f.source(), n, std::nullopt, &pool);
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(*rows, expected) << "n_threads " << n;
  }
}

// Files the pieces cut: many small chunks, and chunks far bigger than a small piece
// (one of them with a single line longer than every piece).
const std::string& piece_file(int which) {
  static const std::string small = many_chunks(60, 3);
  static const std::string big =
      "header\n" + chunk(3, 400) + chunk(0) + chunk(1, 900) + many_chunks(20, 9).substr(23) +
      chunk(2, 700) + "----- Begin chunk -----\n" + std::string(70000, 'w') + "\n" + chunk(1, 50);
  return which == 0 ? small : big;
}

struct PieceCase {
  int file;
  std::uint64_t piece_bytes;
  std::uint64_t n_threads;
};

class IndexPieces : public ::testing::TestWithParam<PieceCase> {};

TEST_P(IndexPieces, EqualOneThreadsRows) {
  const auto [which, piece_bytes, n_threads] = GetParam();
  InMemory f(piece_file(which));
  const auto expected = serial(f.source());
  ASSERT_GT(expected.size(), 20u);
  Pool pool(static_cast<std::size_t>(n_threads));
  auto rows = index_source(f.source(), n_threads, std::nullopt, &pool, nullptr, piece_bytes);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(*rows, expected);
}

std::vector<PieceCase> piece_cases() {
  std::vector<PieceCase> out;
  for (int file : {0, 1}) {
    for (const std::uint64_t piece :
         std::vector<std::uint64_t>{1, 97, 1000, 4096, 50000, kIndexPieceBytes}) {
      for (const std::uint64_t n : {2, 3, 5}) out.push_back({file, piece, n});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(SizesAndThreads, IndexPieces, ::testing::ValuesIn(piece_cases()),
                         [](const auto& info) {
                           return std::string(info.param.file == 0 ? "small" : "big") +
                                  "_chunks_piece" + std::to_string(info.param.piece_bytes) + "_" +
                                  std::to_string(info.param.n_threads) + "t";
                         });

TEST(IndexPieceCount, SpanOverPieceSizeKeptBetweenThreadsAndSixteenPerThread) {
  struct Case {
    std::uint64_t span, threads, piece, pieces;
  };
  const std::uint64_t mib = 1 << 20;
  const std::vector<Case> cases = {
      {262 * mib, 2, 8 * mib, 32},  // 33 pieces of 8 MiB, at most 16 per thread
      {100 * mib, 2, 8 * mib, 13},  // rounded up
      {96 * mib, 4, 8 * mib, 12},   // exact
      {1000, 3, 8 * mib, 3},        // at least one per thread
      {1000, 2, 1, 32},             // tiny pieces: the cap
      {0, 2, 8 * mib, 2},           // nothing to cut
      {1000, 2, 0, 32},             // piece size 0 counts as 1
      {mib, ~0ull, 1, ~0ull},       // the cap saturates
      {~0ull, ~0ull / 8, 1, ~0ull},
      {~0ull, 1, ~0ull, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(index_piece_count(c.span, c.threads, c.piece), c.pieces)
        << c.span << " bytes, " << c.threads << " threads, pieces of " << c.piece;
  }
}

TEST(SplitPoints, HugeThreadCountsSearchAtMostOncePerChunk) {
  const std::string file = many_chunks(40, 5);
  InMemory f(file);
  const auto rows = serial(f.source());
  const std::uint64_t first = rows.front().start;
  for (std::uint64_t n : {2ull, 7ull, 1000000ull, ~0ull}) {
    auto points = split_points(f.source(), first, file.size(), n);
    ASSERT_TRUE(points.has_value());
    EXPECT_LE(points->size(), std::min<std::uint64_t>(n, rows.size()));
    EXPECT_EQ(points->front(), first);
    for (std::size_t i = 1; i < points->size(); ++i) {
      EXPECT_LT((*points)[i - 1], (*points)[i]);
      const bool is_chunk_start = std::any_of(rows.begin(), rows.end(), [&](const Chunk& c) {
        return c.start == (*points)[i];
      });
      EXPECT_TRUE(is_chunk_start);
    }
  }
  // With a thread count above the byte count every chunk becomes its own range.
  auto all = split_points(f.source(), first, file.size(), ~0ull);
  EXPECT_EQ(all->size(), rows.size());
}

TEST(SplitPoints, MatchesTheDirectSearchForSmallThreadCounts) {
  const std::string file = many_chunks(30, 11);
  InMemory f(file);
  const std::uint64_t first = *find_chunk_at_or_after(f.source(), 0, file.size());
  for (std::uint64_t n = 2; n <= 40; ++n) {
    std::vector<std::uint64_t> direct{first};
    const std::uint64_t span = file.size() - first;
    for (std::uint64_t k = 1; k < n; ++k) {
      const std::uint64_t p = first + k * span / n;
      const std::uint64_t found = *find_chunk_at_or_after(f.source(), p, file.size());
      if (found < file.size() && found > direct.back()) direct.push_back(found);
    }
    EXPECT_EQ(*split_points(f.source(), first, file.size(), n), direct) << "n " << n;
  }
}

TEST(ParallelIndex, SingleChunkGivesOneRowEndingAtFileSize) {
  const std::string file = "header\n" + chunk(3);
  InMemory f(file);
  Pool pool(8);
  auto rows = index_source(f.source(), 8, std::nullopt, &pool);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0], (Chunk{7, file.size(), 3, 6}));
}

TEST(IndexFile, AFileGivesTheRowsOfItsBytes) {
  const std::string file = "header\n" + chunk(2) + chunk(0) + chunk(1, 3) + chunk(4);
  InMemory bytes(file);
  TempFile f(file);
  Pool pool(3);
  for (const std::uint64_t n : {1, 3}) {
    auto rows = index_file(f.path(), n, std::nullopt, &pool);
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(*rows, serial(bytes.source())) << "threads " << n;
  }
}

TEST(IndexFile, MissingFileIsNotFound) {
  auto rows = index_file("/nonexistent/file.stream", 1, std::nullopt, nullptr);
  ASSERT_FALSE(rows.has_value());
  EXPECT_EQ(rows.error().display(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace qn
