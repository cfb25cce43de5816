#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "parse/parse_job.hpp"
#include "temp_file.hpp"

namespace qn {
namespace {

std::vector<ChunkRow> touching(const std::vector<std::int64_t>& n_obs) {
  std::vector<ChunkRow> rows;
  std::int64_t at = 100;
  for (std::int64_t n : n_obs) {
    rows.push_back({at, at + 50, 1, n});
    at += 50;
  }
  return rows;
}

std::vector<std::size_t> images_per_unit(const std::vector<WorkUnit>& units) {
  std::vector<std::size_t> out;
  for (const auto& u : units) out.push_back(u.hints.images);
  return out;
}

TEST(WorkUnits, FiveRowExampleGivesThreeUnits) {
  const auto units = form_work_units(touching({10, 0, 30, 5, 5}), 2);
  EXPECT_EQ(images_per_unit(units), (std::vector<std::size_t>{2, 1, 2}));
  EXPECT_EQ(units[0].hints.observations, 10u);
  EXPECT_EQ(units[1].hints.observations, 30u);
  EXPECT_EQ(units[2].hints.observations, 10u);
  // Touching rows become one range.
  ASSERT_EQ(units[0].ranges.size(), 1u);
  EXPECT_EQ(units[0].ranges[0].start, 100u);
  EXPECT_EQ(units[0].ranges[0].end, 200u);
}

struct UnitCase {
  const char* name;
  std::vector<std::int64_t> n_obs;
  std::uint64_t n_threads;
  std::vector<std::size_t> images_per_unit;
};

class UnitFormation : public ::testing::TestWithParam<UnitCase> {};

TEST_P(UnitFormation, RowsPerUnit) {
  const UnitCase& k = GetParam();
  EXPECT_EQ(images_per_unit(form_work_units(touching(k.n_obs), k.n_threads)), k.images_per_unit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitFormation,
    ::testing::Values(
        UnitCase{"FiveRowExample", {10, 0, 30, 5, 5}, 2, {2, 1, 2}},
        UnitCase{"NoThreadsIsOneUnit", {10, 0, 30, 5, 5}, 0, {5}},
        UnitCase{"OneThreadIsOneUnit", {10, 0, 30, 5, 5}, 1, {5}},
        // Fewer rows than 4 per thread: the target is 3 units, the threshold 11 / 3.
        UnitCase{"TargetClampedToRows", {1, 1, 9}, 2, {3}},
        UnitCase{"TargetFourPerThread", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 2, {2, 2, 2, 2, 2}},
        UnitCase{"EightEqualRowsOnTwoThreads",
                 {7, 7, 7, 7, 7, 7, 7, 7},
                 2,
                 {1, 1, 1, 1, 1, 1, 1, 1}},
        // -5 and 0 weigh 1 each, like a row of one reflection: W = 6 and the
        // threshold 1.5 closes a unit after two rows.
        UnitCase{"NegativeAndZeroWeighOne", {-5, 0, 1, 3}, 2, {2, 2}},
        UnitCase{"ZeroHintsOnly", {0, 0, 0, 0, 0, 0}, 3, {1, 1, 1, 1, 1, 1}},
        UnitCase{"OneRow", {7}, 4, {1}},
        // The last unit takes what is left.
        UnitCase{"LastUnitTakesTheRest", {10, 1, 1}, 2, {1, 2}},
        UnitCase{"HeavyFirstRow", {30, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 2, {1, 5, 4}}),
    [](const ::testing::TestParamInfo<UnitCase>& info) { return std::string(info.param.name); });

TEST(WorkUnits, UnitCountFollowsThreads) {
  const auto rows = touching({7, 7, 7, 7, 7, 7, 7, 7});
  EXPECT_EQ(form_work_units({}, 8).size(), 0u);
  EXPECT_EQ(form_work_units(rows, ~0ull).size(), 8u);  // 4 * n_threads saturates
}

TEST(WorkUnits, BytesDoNotWeigh) {
  // Equal row counts; the first chunk holds as many bytes as all the others. The
  // units still split the rows evenly.
  std::vector<ChunkRow> rows;
  std::int64_t at = 0;
  for (int i = 0; i < 16; ++i) {
    const std::int64_t bytes = i == 0 ? 15 * 64000 : 64000;
    rows.push_back({at, at + bytes, 1, 10});
    at += bytes;
  }
  EXPECT_EQ(images_per_unit(form_work_units(rows, 2)), std::vector<std::size_t>(8, 2));
}

TEST(WorkUnits, RowsOutOfOrderOrOverlappingKeepTheirOwnRanges) {
  std::vector<ChunkRow> rows = {{200, 300, 0, 1},
                                {100, 200, 0, 1},
                                {150, 250, 0, 1},
                                {250, 260, 0, 1}};
  const auto units = form_work_units(rows, 1);
  ASSERT_EQ(units.size(), 1u);
  ASSERT_EQ(units[0].ranges.size(), 3u);  // only the last row touches its predecessor
  EXPECT_EQ(units[0].ranges[2].start, 150u);
  EXPECT_EQ(units[0].ranges[2].end, 260u);
}

TEST(WorkUnits, AbsurdHintsSaturateAndNegativeCountsWeighOne) {
  constexpr std::int64_t kHuge = std::numeric_limits<std::int64_t>::max();
  std::vector<ChunkRow> rows = {{0, 10, kHuge, kHuge},
                                {10, 20, kHuge, kHuge},
                                {20, 30, -5, -5},
                                {30, 40, kHuge, kHuge}};
  const auto one = form_work_units(rows, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].hints.observations, std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(one[0].hints.crystals, std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(one[0].hints.images, 4u);
  const auto many = form_work_units(rows, 4);
  std::size_t images = 0;
  for (const auto& u : many) images += u.hints.images;
  EXPECT_EQ(images, 4u);
}

// Every numeric column's bytes, and the file names.
std::vector<std::string> contents(Columns& c) {
  std::vector<std::string> out;
  c.for_each_numeric([&](std::string_view, auto& buffer, std::size_t, Level) {
    out.emplace_back(reinterpret_cast<const char*>(buffer.data()),
                     buffer.size() * sizeof(*buffer.data()));
  });
  for (const auto& f : c.filenames) out.push_back(f);
  return out;
}

// A chunk with `peaks` peak rows and one crystal of `reflections` reflection rows.
std::string chunk_text(int peaks, int reflections) {
  std::string t = "----- Begin chunk -----\nImage filename: a.h5\nEvent: //1\nnum_peaks = 3\n";
  t += "Peaks from peak search\n";
  for (int i = 0; i < peaks; ++i) t += "  101.5  202.5  0.5  1234.5  p0\n";
  t += "End of peak list\n--- Begin crystal\nCell parameters 1 2 3 nm, 90 90 90 deg\n"
       "astar = 1 0 0 nm^-1\nbstar = 0 1 0 nm^-1\ncstar = 0 0 1 nm^-1\n"
       "Reflections measured after indexing\n   h    k    l  heading\n";
  for (int i = 0; i < reflections; ++i) {
    t += "   1   -2    " + std::to_string(i % 90) +
         "  1234.50  45.60  300.00  12.30  512.3  100.7 p0\n";
  }
  t += "End of reflections\n--- End crystal\n----- End chunk -----\n";
  return t;
}

enum class Cut {
  kWholeChunks,      // rows are whole chunks, touching
  kEveryOtherChunk,  // whole chunks, every second one left out: no row touches
  kMidLine,          // touching rows, each starting a few bytes into a chunk
  kImageLine,        // touching rows, each starting at a chunk's filename line
  kInsideList,       // touching rows, each starting inside a reflection list
};

struct SplitCase {
  const char* name;
  Cut cut;
  bool pieces_finer_than_units;
};

class SplitUnits : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitUnits, CutsOnlyWhereTheParseCannotTellAndJoinsLikeTheUnits) {
  const SplitCase& k = GetParam();
  // Chunks of one or two reflections, two of them with long peak lists: the units,
  // formed from the reflection counts, are three rows each, and the second one
  // holds most of the bytes.
  std::string text;
  std::vector<std::int64_t> starts;
  for (int i = 0; i < 24; ++i) {
    starts.push_back(static_cast<std::int64_t>(text.size()));
    text += chunk_text(i == 3 || i == 4 ? 400 : 2, 1 + i % 2);
  }
  starts.push_back(static_cast<std::int64_t>(text.size()));
  const auto offset_in_chunk = [&](std::size_t i) -> std::int64_t {
    const std::string_view chunk(text.data() + starts[i],
                                 static_cast<std::size_t>(starts[i + 1] - starts[i]));
    switch (k.cut) {
      case Cut::kMidLine: return 5;
      case Cut::kImageLine: return static_cast<std::int64_t>(chunk.find("Image filename:"));
      case Cut::kInsideList: return static_cast<std::int64_t>(chunk.find("1234.50") - 3);
      default: return 0;
    }
  };
  std::vector<ChunkRow> rows;
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    if (k.cut == Cut::kEveryOtherChunk && i % 2 == 1) continue;
    const std::int64_t begin = i == 0 ? 0 : starts[i] + offset_in_chunk(i);
    const std::int64_t end =
        i + 2 < starts.size() ? starts[i + 1] + offset_in_chunk(i + 1) : starts[i + 1];
    rows.push_back({begin, k.cut == Cut::kEveryOtherChunk ? starts[i + 1] : end, 1, 1});
  }
  testing::InMemory bytes(text);
  const std::vector<WorkUnit> units = form_work_units(rows, 2);
  const std::vector<WorkUnit> pieces = split_units(bytes.source(), rows, units, 2);
  EXPECT_EQ(pieces.size() > units.size(), k.pieces_finer_than_units)
      << units.size() << " units, " << pieces.size() << " pieces";

  // The pieces refine the units: every unit is a run of whole pieces.
  std::vector<std::uint64_t> unit_starts, piece_starts;
  for (const auto& u : units) unit_starts.push_back(u.ranges.front().start);
  for (const auto& p : pieces) piece_starts.push_back(p.ranges.front().start);
  for (std::uint64_t at : unit_starts) {
    EXPECT_NE(std::find(piece_starts.begin(), piece_starts.end(), at), piece_starts.end()) << at;
  }
  std::size_t rows_in_pieces = 0;
  for (const auto& p : pieces) rows_in_pieces += p.hints.images;
  EXPECT_EQ(rows_in_pieces, rows.size());

  // Parsed in pieces, the rows give what the units give, parsed one by one and joined.
  const PanelMap panels = {{"p0", 0}};
  std::vector<UnitResult> parts;
  for (const auto& u : units) {
    auto part = parse_unit(bytes.source(), u.ranges, panels, u.hints);
    ASSERT_TRUE(part.has_value());
    parts.push_back(std::move(*part));
  }
  auto want = merge_units(std::move(parts), nullptr);
  Pool pool(2);
  auto got = parse_rows(bytes.source(), rows, panels, 2, &pool);
  ASSERT_TRUE(want.has_value() && got.has_value());
  EXPECT_EQ(contents(got->columns), contents(want->columns));
  for (std::size_t r = 0; r < kReasonCount; ++r) {
    EXPECT_EQ(got->report.entries[r].count, want->report.entries[r].count) << r;
    EXPECT_EQ(got->report.entries[r].first_offset, want->report.entries[r].first_offset) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitUnits,
    ::testing::Values(SplitCase{"WholeChunks", Cut::kWholeChunks, true},
                      SplitCase{"EveryOtherChunk", Cut::kEveryOtherChunk, true},
                      SplitCase{"MidLine", Cut::kMidLine, false},
                      SplitCase{"ImageLine", Cut::kImageLine, false},
                      SplitCase{"InsideList", Cut::kInsideList, false}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

// Appends `images` images of `crystals_per_image` crystals of `obs_per_crystal`
// observations to `u`, and one report entry at `offset`.
void fill_unit(UnitResult& u, int crystals_per_image, int images, int obs_per_crystal,
               std::uint64_t offset) {
  for (int m = 0; m < images; ++m) {
    u.columns.append_image(ImageRow{1.0f * m, 0, 0, 0, m}, "f" + std::to_string(m), "e");
    for (int c = 0; c < crystals_per_image; ++c) {
      const auto crystal = static_cast<std::int32_t>(u.columns.n_crystals());
      for (int o = 0; o < obs_per_crystal; ++o) {
        u.columns.append_observation(ObservationRow{{1, 2, 3}, 1, 1, 1, 1, 1, 1, 0, crystal});
      }
      CrystalRow row{};
      row.n_refl = obs_per_crystal;
      row.image_id = m;
      row.crystal_in_image = c;
      u.columns.append_crystal(row);
    }
  }
  u.report.record(Reason::kKeyValue, offset);
}

UnitResult unit_with(int crystals_per_image, int images, int obs_per_crystal,
                     std::uint64_t offset) {
  UnitResult u{Columns{}, Report{}};
  fill_unit(u, crystals_per_image, images, obs_per_crystal, offset);
  return u;
}

TEST(MergeUnits, RenumbersIdsAndMergesReports) {
  for (bool with_pool : {false, true}) {
    Pool pool(3);
    std::vector<UnitResult> parts;
    parts.push_back(unit_with(2, 2, 3, 500));
    parts.push_back(unit_with(1, 3, 2, 90));
    parts.push_back(unit_with(0, 1, 0, 700));
    auto merged = merge_units(std::move(parts), with_pool ? &pool : nullptr);
    ASSERT_TRUE(merged.has_value());
    const Columns& c = merged->columns;
    ASSERT_EQ(c.n_images(), 6u);
    ASSERT_EQ(c.n_crystals(), 7u);
    ASSERT_EQ(c.n_observations(), 18u);
    EXPECT_EQ(c.filenames, (std::vector<std::string>{"f0", "f1", "f0", "f1", "f2", "f0"}));
    const std::vector<std::int32_t> image_id(c.image_id.begin(), c.image_id.end());
    EXPECT_EQ(image_id, (std::vector<std::int32_t>{0, 0, 1, 1, 2, 3, 4}));
    // Every observation points at its crystal row among all crystals.
    std::size_t o = 0;
    for (std::size_t k = 0; k < c.n_crystals(); ++k) {
      for (std::int32_t r = 0; r < c.n_refl[k]; ++r, ++o) {
        EXPECT_EQ(c.crystal_id[o], static_cast<std::int32_t>(k));
      }
    }
    EXPECT_EQ(o, c.n_observations());
    EXPECT_EQ(c.hkl.size(), 54u);
    const auto& e = merged->report[Reason::kKeyValue];
    EXPECT_EQ(e.count, 3u);
    EXPECT_EQ(e.first_offset, 90u);
  }
}

TEST(BorrowedBuffer, FillsItsRegionThenMovesOutWithItsElements) {
  std::vector<std::int32_t> region(6, -1);
  Buffer<std::int32_t> b = Buffer<std::int32_t>::borrowing(region.data() + 1, 3);
  for (std::int32_t v : {10, 11, 12}) b.push_back(v);
  EXPECT_EQ(b.data(), region.data() + 1);
  EXPECT_EQ(region, (std::vector<std::int32_t>{-1, 10, 11, 12, -1, -1}));
  b.push_back(13);  // past the region: moved, the region's neighbour untouched
  EXPECT_NE(b.data(), region.data() + 1);
  EXPECT_EQ(region[4], -1);
  EXPECT_EQ(std::vector<std::int32_t>(b.begin(), b.end()),
            (std::vector<std::int32_t>{10, 11, 12, 13}));
}

struct SliceCase {
  const char* name;
  // Per part: images, crystals per image, observations per crystal, and the slice's
  // room as a difference from what the part fills (rows at each level).
  std::vector<std::array<int, 3>> shapes;
  std::vector<std::array<int, 3>> room_over;
  bool observations_in_place;
};

class MergeSlices : public ::testing::TestWithParam<SliceCase> {};

TEST_P(MergeSlices, JoinsLikeSeparateUnitsAndMovesOnlyWhatOutgrewItsSlice) {
  const SliceCase& k = GetParam();
  for (bool with_pool : {false, true}) {
    Pool pool(3);
    std::vector<UnitResult> separate;
    std::vector<RowCounts> rooms;
    RowCounts total;
    std::vector<RowCounts> starts;
    for (std::size_t i = 0; i < k.shapes.size(); ++i) {
      const auto [images, crystals, obs] = k.shapes[i];
      separate.push_back(unit_with(crystals, images, obs, 100 + i));
      const auto room = [&](std::size_t filled, int over) {
        return static_cast<std::size_t>(static_cast<int>(filled) + over);
      };
      const RowCounts r{room(static_cast<std::size_t>(images * crystals * obs), k.room_over[i][0]),
                        room(static_cast<std::size_t>(images * crystals), k.room_over[i][1]),
                        room(static_cast<std::size_t>(images), k.room_over[i][2])};
      starts.push_back(total);
      rooms.push_back(r);
      total = {total.observations + r.observations, total.crystals + r.crystals,
               total.images + r.images};
    }
    Columns whole;
    whole.resize_rows_uninitialized(total);
    const std::int32_t* whole_ids = whole.crystal_id.data();
    std::vector<UnitResult> sliced;
    for (std::size_t i = 0; i < k.shapes.size(); ++i) {
      sliced.push_back(UnitResult{Columns::slice_of(whole, starts[i], rooms[i]), Report{}});
      const auto [images, crystals, obs] = k.shapes[i];
      fill_unit(sliced.back(), crystals, images, obs, 100 + i);
    }
    auto want = merge_units(std::move(separate), with_pool ? &pool : nullptr);
    auto got = merge_units(std::move(sliced), with_pool ? &pool : nullptr, nullptr, &whole, starts);
    ASSERT_TRUE(want.has_value() && got.has_value());
    EXPECT_EQ(contents(got->columns), contents(want->columns));
    EXPECT_EQ(got->report[Reason::kKeyValue].count, k.shapes.size());
    EXPECT_EQ(got->columns.crystal_id.data() == whole_ids, k.observations_in_place) << with_pool;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeSlices,
    ::testing::Values(
        SliceCase{"Exact",
                  {{2, 2, 3}, {3, 1, 2}, {1, 0, 0}, {2, 1, 5}},
                  {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
                  true},
        SliceCase{"RoomToSpare",
                  {{2, 2, 3}, {3, 1, 2}, {1, 0, 0}},
                  {{4, 1, 2}, {0, 3, 0}, {7, 0, 1}},
                  true},
        SliceCase{"OneObservationSliceTooSmall",
                  {{2, 2, 3}, {3, 1, 2}, {2, 1, 1}},
                  {{0, 0, 0}, {-1, 0, 0}, {5, 1, 0}},
                  false},
        SliceCase{
            "CrystalsOutgrowTheirSlice", {{2, 2, 3}, {3, 1, 2}}, {{2, -3, 0}, {0, 0, -1}}, true},
        SliceCase{"NoRoomAtAll", {{1, 1, 4}, {2, 2, 2}}, {{-4, -1, -1}, {-8, -4, -2}}, false}),
    [](const ::testing::TestParamInfo<SliceCase>& info) { return std::string(info.param.name); });

class TailPieces : public ::testing::TestWithParam<std::uint64_t> {};

// Rows of equal cost that never touch: every cut is allowed. The pieces refine the
// units in order, none is larger than an even share of the units, and the pieces
// that end the parse are down to about a quarter of one, so that no thread is left
// with a whole unit's work while the others wait. One thread keeps its one unit.
TEST_P(TailPieces, ShrinkTowardsTheEndOfTheRows) {
  const std::uint64_t threads = GetParam();
  std::vector<ChunkRow> rows;
  for (std::int64_t i = 0; i < 960; ++i) rows.push_back({i * 100, i * 100 + 64, 1, 10});
  const testing::InMemory bytes(std::string(96000, 'x'));
  const std::vector<WorkUnit> units = form_work_units(rows, threads);
  const std::vector<WorkUnit> pieces = split_units(bytes.source(), rows, units, threads);
  std::vector<std::size_t> sizes;
  std::size_t covered = 0;
  for (const auto& p : pieces) {
    EXPECT_EQ(p.ranges.front().start, static_cast<std::uint64_t>(rows[covered].start));
    sizes.push_back(p.hints.images);
    covered += p.hints.images;
  }
  EXPECT_EQ(covered, rows.size());
  if (threads < 2) {
    EXPECT_EQ(pieces.size(), 1u);
    return;
  }
  const std::size_t share = rows.size() / units.size();
  EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), share);
  EXPECT_LE(sizes.back(), share / 4 + 1);
  EXPECT_GT(pieces.size(), units.size());
}

INSTANTIATE_TEST_SUITE_P(Threads, TailPieces, ::testing::Values(1, 2, 3, 4, 8));

// A thread's one reader, pointed at unit after unit, reads each as a reader of the
// unit's own would: after a unit whose line outgrew every buffer, after units further
// on or further back in the file, and over units of several ranges.
class SharedReader : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(SharedReader, ParsesEachUnitLikeItsOwnReader) {
  std::string text;
  std::vector<std::uint64_t> starts;
  for (int i = 0; i < 12; ++i) {
    starts.push_back(text.size());
    text += chunk_text(i % 3 == 0 ? 900 : 2, 40 + i);
    if (i == 4) text.insert(text.size() - 22, std::string(300000, 'x') + "\n");  // a long line
  }
  starts.push_back(text.size());
  const testing::InMemory bytes(text);
  const PanelMap panels = {{"p0", 0}};
  // Unit k: chunks k and k + 1 as one range, then chunk k + 3 (when there is one).
  auto ranges_of = [&](int k) {
    std::vector<ByteRange> r{{starts[k], starts[k + 2]}};
    if (k + 4 < static_cast<int>(starts.size())) r.push_back({starts[k + 3], starts[k + 4]});
    return r;
  };
  LineReader shared(bytes.source(), std::uint64_t{0}, std::uint64_t{0});
  for (const int k : GetParam()) {
    const std::vector<ByteRange> ranges = ranges_of(k);
    auto own = parse_unit_into(Columns{}, bytes.source(), ranges, panels);
    auto reused = parse_unit_into(Columns{}, bytes.source(), ranges, panels, nullptr, &shared);
    ASSERT_TRUE(own.has_value() && reused.has_value()) << "unit " << k;
    EXPECT_EQ(contents(reused->columns), contents(own->columns)) << "unit " << k;
    EXPECT_EQ(reused->columns.events, own->columns.events) << "unit " << k;
    for (std::size_t r = 0; r < kReasonCount; ++r) {
      EXPECT_EQ(reused->report.entries[r].count, own->report.entries[r].count) << "unit " << k;
      EXPECT_EQ(reused->report.entries[r].first_offset, own->report.entries[r].first_offset);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(UnitOrders, SharedReader,
                         ::testing::Values(std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                           std::vector<int>{4, 0, 9, 3, 10, 1},
                                           std::vector<int>{10, 8, 6, 4, 2, 0}));

TEST(ParseRows, AFileParsesLikeItsBytesAndAMissingOneIsNotFound) {
  const std::string one =
      "----- Begin chunk -----\nImage filename: a.h5\nEvent: //1\nnum_peaks = 3\n"
      "--- Begin crystal\nCell parameters 1 2 3 nm, 90 90 90 deg\n"
      "astar = 1 0 0 nm^-1\nbstar = 0 1 0 nm^-1\ncstar = 0 0 1 nm^-1\n"
      "Reflections measured after indexing\n   h    k    l  heading\n"
      "   1   -2    3    1234.50      45.60     300.00      12.30  512.3  100.7 p0\n"
      "End of reflections\n--- End crystal\n----- End chunk -----\n";
  const std::string text = one + one;
  const auto size = static_cast<std::int64_t>(one.size());
  // The third row lies past the end: the file shrank since it was indexed.
  const std::vector<ChunkRow> rows = {{0, size, 1, 1},
                                      {size, 2 * size, 1, 1},
                                      {2 * size, 3 * size, 1, 1}};
  const PanelMap panels = {{"p0", 0}};
  testing::InMemory bytes(text);
  testing::TempFile file(text);
  Pool pool(2);
  auto from_memory = parse_rows(bytes.source(), rows, panels, 2, &pool);
  auto from_file = parse_rows(file.path(), rows, panels, 2, &pool);
  ASSERT_TRUE(from_memory.has_value());
  ASSERT_TRUE(from_file.has_value());
  EXPECT_EQ(from_file->columns.n_observations(), 2u);
  EXPECT_EQ(from_file->columns.filenames, from_memory->columns.filenames);
  EXPECT_EQ(from_file->columns.crystal_id[1], from_memory->columns.crystal_id[1]);
  EXPECT_EQ(from_file->report.entries[static_cast<std::size_t>(Reason::kImageTruncated)].count, 1u);
  EXPECT_EQ(
      from_memory->report.entries[static_cast<std::size_t>(Reason::kImageTruncated)].first_offset,
      static_cast<std::uint64_t>(2 * size));

  // Where each image and crystal stands: file offsets, the same however the units fall.
  auto serial = parse_rows(bytes.source(), rows, panels, 1, nullptr);
  ASSERT_TRUE(serial.has_value());
  const std::string_view begin = "--- Begin crystal";
  for (const auto* r : {&*serial, &*from_memory, &*from_file}) {
    const auto& lines = r->columns.image_lines;
    const auto& blocks = r->columns.crystal_blocks;
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(blocks.size(), 4u);
    for (std::size_t i = 0; i < 2; ++i) {
      const std::int64_t chunk = static_cast<std::int64_t>(i) * size;
      EXPECT_EQ(lines[i], chunk + static_cast<std::int64_t>(one.find("Image filename:")));
      EXPECT_EQ(blocks[2 * i], chunk + static_cast<std::int64_t>(one.find(begin)));
      EXPECT_EQ(blocks[2 * i + 1], chunk + static_cast<std::int64_t>(one.find("----- End chunk")));
    }
  }

  auto missing = parse_rows(file.path() + ".missing", rows, panels, 1, nullptr);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace qn
