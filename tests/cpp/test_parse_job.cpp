#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "parse/parse_job.hpp"

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

TEST(WorkUnits, UnitCountFollowsThreads) {
  const auto rows = touching({7, 7, 7, 7, 7, 7, 7, 7});
  EXPECT_EQ(form_work_units(rows, 0).size(), 1u);
  EXPECT_EQ(form_work_units(rows, 1).size(), 1u);
  EXPECT_EQ(images_per_unit(form_work_units(rows, 2)), std::vector<std::size_t>(8, 1));
  EXPECT_EQ(form_work_units({}, 8).size(), 0u);
  EXPECT_EQ(form_work_units(rows, ~0ull).size(), 8u);  // 4 * n_threads saturates
}

TEST(WorkUnits, RowsOutOfOrderOrOverlappingKeepTheirOwnRanges) {
  std::vector<ChunkRow> rows = {{200, 300, 0, 1}, {100, 200, 0, 1}, {150, 250, 0, 1}, {250, 260, 0, 1}};
  const auto units = form_work_units(rows, 1);
  ASSERT_EQ(units.size(), 1u);
  ASSERT_EQ(units[0].ranges.size(), 3u);  // only the last row touches its predecessor
  EXPECT_EQ(units[0].ranges[2].start, 150u);
  EXPECT_EQ(units[0].ranges[2].end, 260u);
}

TEST(WorkUnits, AbsurdHintsSaturateAndNegativeCountsWeighOne) {
  constexpr std::int64_t kHuge = std::numeric_limits<std::int64_t>::max();
  std::vector<ChunkRow> rows = {
      {0, 10, kHuge, kHuge}, {10, 20, kHuge, kHuge}, {20, 30, -5, -5}, {30, 40, kHuge, kHuge}};
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

UnitResult unit_with(int crystals_per_image, int images, int obs_per_crystal, std::uint64_t offset) {
  UnitResult u{Columns{}, Report{}};
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

}  // namespace
}  // namespace qn
