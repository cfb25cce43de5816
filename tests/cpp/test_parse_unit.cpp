// parse_unit over small streams assembled from parts: columns, report entries
// and their offsets, by parser state; plus the column set, the report and the
// lossy UTF-8 decoding the parser reads lines through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "line_by_line.hpp"
#include "parse/parse_unit.hpp"
#include "parse/utf8_decode.hpp"
#include "temp_file.hpp"

namespace qn {
namespace {

// --- stream builder ---------------------------------------------------------

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

constexpr std::string_view kBegin = "----- Begin chunk -----\n";
constexpr std::string_view kEnd = "----- End chunk -----\n";
constexpr std::string_view kHeader =
    "photon_energy_eV = 9000\nnum_peaks = 2\naverage_camera_length = 0.1 m\n";
constexpr std::string_view kPeaks =
    "Peaks from peak search\n  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel\n"
    "  10.0  20.0  1.0  100.0 p0\nEnd of peak list\n";

std::string refl(int h, int k, int l, std::string_view panel = "p0") {
  char line[128];
  std::snprintf(line, sizeof line, "%4d %4d %4d  100.5  10.25  50.0  5.0  12.5  7.5 %s\n", h, k, l,
                std::string(panel).c_str());
  return line;
}

struct CrystalText {
  std::string cell = "Cell parameters 7.8 7.8 3.8 nm, 90.0 90.0 90.0 deg\n";
  std::string vectors =
      "astar = +0.1 -0.2 +0.3 nm^-1\nbstar = +0.4 +0.5 +0.6 nm^-1\ncstar = -0.7 +0.8 +0.9 nm^-1\n";
  std::string keys =
      "profile_radius = 0.002 nm^-1\npredict_refine/det_shift x = 0.05 y = -0.02 mm\n"
      "diffraction_resolution_limit = 2.50 nm^-1 or 4.00 A\n";
  std::string heading =
      "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel\n";
  std::string rows = refl(1, 2, 3) + refl(-4, 5, -6, "p1");
  std::string tail = "End of reflections\n--- End crystal\n";
};

std::string crystal(const CrystalText& c = {}) {
  return cat({"--- Begin crystal\n", c.cell, c.vectors, c.keys,
              "Reflections measured after indexing\n", c.heading, c.rows, c.tail});
}

// A chunk whose image header and crystals are given; the default is one full image.
std::string chunk(std::string_view crystals = "", std::string_view header = kHeader,
                  std::string_view name = "a.h5") {
  return cat({kBegin, "Image filename: ", name, "\nEvent: //7\n", header, kPeaks, crystals, kEnd});
}

// Offset of the n-th occurrence of `needle`.
std::uint64_t at(std::string_view text, std::string_view needle, int n = 0) {
  std::size_t pos = text.find(needle);
  while (n-- > 0) pos = text.find(needle, pos + 1);
  EXPECT_NE(pos, std::string_view::npos) << needle;
  return pos;
}

using qn::testing::InMemory;

const PanelMap kPanels = {{"p0", 0}, {"p1", 1}, {"q7", 7}};

UnitResult parse(std::string_view text, std::vector<ByteRange> ranges = {},
                 CapacityHints hints = {16, 4, 4}) {
  InMemory bytes{std::string(text)};
  if (ranges.empty()) ranges.push_back({0, text.size()});
  auto r = parse_unit(bytes.source(), ranges, kPanels, hints);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return r ? std::move(r).value() : UnitResult{};
}

using Entry = std::tuple<Reason, std::uint64_t, std::uint64_t>;  // reason, count, first offset

std::vector<Entry> entries(const Report& report) {
  std::vector<Entry> out;
  for (std::size_t i = 0; i < kReasonCount; ++i) {
    const auto& e = report.entries[i];
    if (e.count != 0) out.emplace_back(static_cast<Reason>(i), e.count, e.first_offset);
  }
  return out;
}

// Every numeric column's bytes, then the file names and events.
std::vector<std::string> columns_contents(Columns& c) {
  std::vector<std::string> out;
  c.for_each_numeric([&](std::string_view, auto& buffer, std::size_t, Level) {
    out.emplace_back(reinterpret_cast<const char*>(buffer.data()),
                     buffer.size() * sizeof(*buffer.data()));
  });
  out.insert(out.end(), c.filenames.begin(), c.filenames.end());
  out.insert(out.end(), c.events.begin(), c.events.end());
  return out;
}

// The level sizes and their invariants.
void expect_rows(const Columns& c, std::size_t obs, std::size_t cryst, std::size_t img) {
  EXPECT_EQ(c.n_observations(), obs);
  EXPECT_EQ(c.hkl.size(), 3 * obs);
  EXPECT_EQ(c.crystal_id.size(), obs);
  EXPECT_EQ(c.n_crystals(), cryst);
  EXPECT_EQ(c.cell.size(), 6 * cryst);
  EXPECT_EQ(c.crystal_in_image.size(), cryst);
  EXPECT_EQ(c.n_images(), img);
  EXPECT_EQ(c.n_peaks.size(), img);
  EXPECT_EQ(c.filenames.size(), img);
  EXPECT_EQ(c.events.size(), img);
  std::int64_t sum = 0;
  for (std::int32_t n : c.n_refl) sum += n;
  EXPECT_EQ(sum, static_cast<std::int64_t>(obs));
}

// --- a whole chunk ----------------------------------------------------------

TEST(ParseUnit, ReadsEveryColumnOfAWellFormedChunk) {
  CrystalText second;
  second.keys = "predict_refine/det_shift x = -0.01 y = 0.03 mm\n";
  second.rows = refl(7, 8, 9, "nowhere");
  const std::string text = cat({"free header\n", chunk(crystal() + crystal(second)), chunk()});
  const UnitResult u = parse(text);
  const Columns& c = u.columns;
  EXPECT_TRUE(u.report.empty()) << "nothing to report";
  expect_rows(c, 3, 2, 2);

  EXPECT_EQ(std::vector<std::int16_t>(c.hkl.begin(), c.hkl.end()),
            (std::vector<std::int16_t>{1, 2, 3, -4, 5, -6, 7, 8, 9}));
  EXPECT_EQ(std::vector<std::int16_t>(c.panel_id.begin(), c.panel_id.end()),
            (std::vector<std::int16_t>{0, 1, 0}));  // unknown panel -> 0
  EXPECT_EQ(std::vector<std::int32_t>(c.crystal_id.begin(), c.crystal_id.end()),
            (std::vector<std::int32_t>{0, 0, 1}));
  EXPECT_FLOAT_EQ(c.I[0], 100.5f);
  EXPECT_FLOAT_EQ(c.sigma[0], 10.25f);
  EXPECT_FLOAT_EQ(c.peak[0], 50.0f);
  EXPECT_FLOAT_EQ(c.background[0], 5.0f);
  EXPECT_FLOAT_EQ(c.fs[0], 12.5f);
  EXPECT_FLOAT_EQ(c.ss[0], 7.5f);

  const float cell[6] = {78, 78, 38, 90, 90, 90};
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(c.cell[i], cell[i]);
  const float astar[3] = {0.01f, -0.02f, 0.03f}, cstar[3] = {-0.07f, 0.08f, 0.09f};
  for (int i = 0; i < 3; ++i) {
    EXPECT_FLOAT_EQ(c.astar[i], astar[i]);
    EXPECT_FLOAT_EQ(c.cstar[3 + i], cstar[i]);
  }
  EXPECT_FLOAT_EQ(c.bstar[1], 0.05f);
  EXPECT_FLOAT_EQ(c.profile_rad[0], 0.0002f);
  EXPECT_FLOAT_EQ(c.profile_rad[1], 0.004f);  // no profile_radius line
  EXPECT_FLOAT_EQ(c.resolution[0], 4.0f);
  EXPECT_FLOAT_EQ(c.resolution[1], 999.0f);  // no resolution line
  EXPECT_EQ(c.n_refl[0], 2);
  EXPECT_EQ(c.n_refl[1], 1);
  EXPECT_EQ(c.image_id[1], 0);
  EXPECT_EQ(c.crystal_in_image[0], 0);
  EXPECT_EQ(c.crystal_in_image[1], 1);

  EXPECT_FLOAT_EQ(c.beam_energy[0], 9000.0f);
  EXPECT_EQ(c.n_peaks[0], 2);
  EXPECT_FLOAT_EQ(c.camera_length[0], 0.1f);  // "0.1 m": the unit is a second field
  EXPECT_FLOAT_EQ(c.det_shift_x[0], -0.01f);  // the later crystal's shift wins
  EXPECT_FLOAT_EQ(c.det_shift_y[0], 0.03f);
  EXPECT_EQ(c.det_shift_x[1], 0.0f);  // no crystal, no shift
  EXPECT_EQ(c.filenames, (std::vector<std::string>{"a.h5", "a.h5"}));
  EXPECT_EQ(c.events, (std::vector<std::string>{"//7", "//7"}));
}

TEST(ParseUnit, CarriageReturnLineEndsReadTheSame) {
  const std::string lf = chunk(crystal() + crystal());
  std::string crlf;
  for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  const UnitResult a = parse(lf), b = parse(crlf);
  expect_rows(b.columns, 4, 2, 1);
  EXPECT_EQ(b.columns.filenames, a.columns.filenames);
  EXPECT_EQ(b.columns.events, a.columns.events);
  EXPECT_FLOAT_EQ(b.columns.camera_length[0], a.columns.camera_length[0]);
  EXPECT_TRUE(b.report.empty());
}

// --- image header values ----------------------------------------------------

struct HeaderCase {
  std::string header;
  float beam_energy;
  std::int32_t n_peaks;
  float camera_length;
  std::uint64_t key_value_count;
  std::string needle = {};  // the line reported, when not the first header line
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.header); }

class ImageHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ImageHeaderTest, NumberAndCountRules) {
  const HeaderCase& h = GetParam();
  const std::string text = chunk("", h.header);
  const UnitResult u = parse(text);
  ASSERT_EQ(u.columns.n_images(), 1u);
  EXPECT_EQ(u.columns.beam_energy[0], h.beam_energy);
  EXPECT_EQ(u.columns.n_peaks[0], h.n_peaks);
  EXPECT_EQ(u.columns.camera_length[0], h.camera_length);
  EXPECT_EQ(u.report[Reason::kKeyValue].count, h.key_value_count);
  if (h.key_value_count == 1) {
    EXPECT_EQ(u.report[Reason::kKeyValue].first_offset,
              at(text, h.needle.empty() ? h.header : h.needle));
  }
}

constexpr float kInfF = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, ImageHeaderTest,
    ::testing::Values(HeaderCase{"num_peaks = 12.7\n", 0, 12, 0, 0},
                      HeaderCase{"num_peaks = -3.9\n", 0, -3, 0, 0},
                      HeaderCase{"num_peaks = 2147483647\n", 0, 2147483647, 0, 0},
                      HeaderCase{"num_peaks = 2147483648\n", 0, 0, 0, 1},
                      HeaderCase{"num_peaks = 99999999999999999999\n", 0, 0, 0, 1},
                      HeaderCase{"num_peaks = 1e10\n", 0, 0, 0, 1},
                      HeaderCase{"num_peaks = inf\n", 0, 0, 0, 1},
                      HeaderCase{"num_peaks = 1_000\n", 0, 1000, 0, 0},
                      HeaderCase{"photon_energy_eV = inf\n", kInfF, 0, 0, 0},
                      HeaderCase{"photon_energy_eV = 99999999999999999999\n", 1e20f, 0, 0, 0},
                      // An integer beyond 64 bits that float() makes infinite is invalid.
                      HeaderCase{"photon_energy_eV = 1" + std::string(400, '0') + "\n", 0, 0, 0, 1},
                      HeaderCase{"photon_energy_eV = 9.5keV\n", 0, 0, 0, 1},
                      HeaderCase{"  photon_energy_eV   =   9.5 eV\n", 9.5f, 0, 0, 0},
                      HeaderCase{"photon_energy_eV =\n", 0, 0, 0, 0},    // no field: no effect
                      HeaderCase{"Photon_energy_eV = 5\n", 0, 0, 0, 0},  // keys are case-sensitive
                      // The last line for a key decides; an earlier bad value is not reported.
                      HeaderCase{"photon_energy_eV = bad\nphoton_energy_eV = 7\n", 7, 0, 0, 0},
                      HeaderCase{"average_camera_length = 0.1 m\naverage_camera_length = x\n", 0, 0,
                                 0, 1, "average_camera_length = x"}));

// --- crystal values ---------------------------------------------------------

struct CrystalKeyCase {
  std::string keys;
  float profile_rad, resolution, det_shift_x, det_shift_y;
  std::optional<Reason> reason;  // nullopt: nothing reported
  std::string needle = {};       // the line reported, when not the first key line
};

void PrintTo(const CrystalKeyCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.keys); }

class CrystalKeyTest : public ::testing::TestWithParam<CrystalKeyCase> {};

TEST_P(CrystalKeyTest, ProfileResolutionAndDetectorShift) {
  const CrystalKeyCase& k = GetParam();
  CrystalText ct;
  ct.keys = k.keys;
  const std::string text = chunk(crystal(ct));
  const UnitResult u = parse(text);
  ASSERT_EQ(u.columns.n_crystals(), 1u);
  EXPECT_FLOAT_EQ(u.columns.profile_rad[0], k.profile_rad);
  EXPECT_FLOAT_EQ(u.columns.resolution[0], k.resolution);
  EXPECT_FLOAT_EQ(u.columns.det_shift_x[0], k.det_shift_x);
  EXPECT_FLOAT_EQ(u.columns.det_shift_y[0], k.det_shift_y);
  if (!k.reason) {
    EXPECT_TRUE(u.report.empty());
  } else {
    EXPECT_EQ(entries(u.report),
              (std::vector<Entry>{{*k.reason, 1, at(text, k.needle.empty() ? k.keys : k.needle)}}));
  }
}

constexpr std::nullopt_t kNone = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, CrystalKeyTest,
    ::testing::Values(
        CrystalKeyCase{"", 0.004f, 999, 0, 0, kNone},
        CrystalKeyCase{"diffraction_resolution_limit = 0.00 nm^-1\n", 0.004f, 999, 0, 0, kNone},
        CrystalKeyCase{"diffraction_resolution_limit = -1 nm^-1\n", 0.004f, 999, 0, 0, kNone},
        CrystalKeyCase{"diffraction_resolution_limit = nan\n", 0.004f, 999, 0, 0, kNone},
        CrystalKeyCase{"diffraction_resolution_limit = x\n", 0.004f, 999, 0, 0, Reason::kKeyValue},
        CrystalKeyCase{"profile_radius = 0.01 nm^-1\n", 0.001f, 999, 0, 0, kNone},
        CrystalKeyCase{"profile_radius = ?\n", 0.004f, 999, 0, 0, Reason::kKeyValue},
        CrystalKeyCase{"predict_refine/det_shift x = 0.05 y = -0.02 mm\n", 0.004f, 999, 0.05f,
                       -0.02f, kNone},
        // Every "mm" goes, wherever it stands, and a second "y =" ends the y text.
        CrystalKeyCase{"det_shift x = 1 y = 2mm y = 3\n", 0.004f, 999, 1, 2, kNone},
        CrystalKeyCase{"det_shift x = 1 y = 2m3\n", 0.004f, 999, 0, 0, Reason::kDetShift},
        CrystalKeyCase{"predict_refine/det_shift x = abc y = 0.1 mm\n", 0.004f, 999, 0, 0,
                       Reason::kDetShift},
        // A later bad shift leaves the earlier good one in place.
        CrystalKeyCase{"det_shift x = 1 y = 2 mm\ndet_shift x = 3 y = ? mm\n", 0.004f, 999, 1, 2,
                       Reason::kDetShift, "det_shift x = 3"},
        // Without "y =" a det_shift key falls to the plain key rule: no effect.
        CrystalKeyCase{"predict_refine/det_shift x = 0.05\n", 0.004f, 999, 0, 0, kNone}));

// --- reflection rows --------------------------------------------------------

struct RowCase {
  std::string row;
  std::optional<Reason> reason;  // nullopt: the row is kept
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.row); }

class ReflectionRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(ReflectionRowTest, KeepsOrDropsTheRow) {
  const RowCase& r = GetParam();
  CrystalText ct;
  ct.rows = r.row;
  const std::string text = chunk(crystal(ct));
  const UnitResult u = parse(text);
  ASSERT_EQ(u.columns.n_crystals(), 1u) << "a bad row never costs the crystal";
  if (!r.reason) {
    EXPECT_EQ(u.columns.n_observations(), 1u);
    EXPECT_TRUE(u.report.empty());
  } else {
    EXPECT_EQ(u.columns.n_observations(), 0u);
    EXPECT_EQ(u.columns.n_refl[0], 0);
    EXPECT_EQ(entries(u.report), (std::vector<Entry>{{*r.reason, 1, at(text, r.row)}}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReflectionRowTest,
    ::testing::Values(RowCase{"1 2 3 4 5 6 7 8 9\n", Reason::kReflectionShort},
                      RowCase{"1 2 3 4 5 6 7 8 9 p0 extra fields\n", kNone},
                      RowCase{"-32768 32767 0 1 1 1 1 1 1 p0\n", kNone},
                      RowCase{"1 2 3 nan inf -inf 1e5 1_0 .5 p0\n", kNone},
                      RowCase{"1.5 2 3 4 5 6 7 8 9 p0\n", Reason::kReflectionValue},
                      RowCase{"1 2 3 4 5 6 7 8 x p0\n", Reason::kReflectionValue},
                      RowCase{"32768 2 3 4 5 6 7 8 9 p0\n", Reason::kReflectionHklRange},
                      RowCase{"1 2 -99999999999999999999 4 5 6 7 8 9 p0\n",
                              Reason::kReflectionHklRange},
                      // A bad measurement outranks a bad index.
                      RowCase{"40000 2 3 x 5 6 7 8 9 p0\n", Reason::kReflectionValue}));

// --- chunk and crystal structure, by state ----------------------------------

struct StructureCase {
  std::string name;
  std::string text;
  std::size_t obs, crystals, images;
  struct Expected {
    Reason reason;
    std::uint64_t count;
    std::string needle;  // the first offset is that of its nth occurrence
    int nth = 0;
  };
  std::vector<Expected> report;
};

void PrintTo(const StructureCase& c, std::ostream* os) { *os << c.name; }

class StructureTest : public ::testing::TestWithParam<StructureCase> {};

TEST_P(StructureTest, RowsAndReport) {
  const StructureCase& s = GetParam();
  const UnitResult u = parse(s.text);
  expect_rows(u.columns, s.obs, s.crystals, s.images);
  std::vector<Entry> want;
  for (const auto& e : s.report) want.emplace_back(e.reason, e.count, at(s.text, e.needle, e.nth));
  EXPECT_EQ(entries(u.report), want);
}

CrystalText with_cell(std::string cell) {
  CrystalText c;
  c.cell = std::move(cell);
  return c;
}

// Text of a crystal cut off after `n` of its lines.
std::string crystal_cut(std::size_t n) {
  const std::string full = crystal();
  std::size_t pos = 0;
  for (std::size_t i = 0; i < n; ++i) pos = full.find('\n', pos) + 1;
  return full.substr(0, pos);
}

const std::string kFull = chunk(crystal());

INSTANTIATE_TEST_SUITE_P(
    Table, StructureTest,
    ::testing::Values(
        // SeekImage
        StructureCase{"EmptyChunk",
                      cat({kBegin, kEnd}),
                      0,
                      0,
                      0,
                      {{Reason::kChunkNoImage, 1, std::string(kBegin)}}},
        StructureCase{"TwoEmptyChunks",
                      cat({kBegin, kEnd, "x\n", kBegin, kEnd}),
                      0,
                      0,
                      0,
                      {{Reason::kChunkNoImage, 2, std::string(kBegin)}}},
        StructureCase{"EndChunkOutsideAChunk", cat({kEnd, kFull}), 2, 1, 1, {}},
        // ExpectEvent
        StructureCase{"FilenameThenEnd",
                      cat({kBegin, "Image filename: x.h5\n", kEnd}),
                      0,
                      0,
                      0,
                      {{Reason::kImageTruncated, 1, "Image filename:"}}},
        // ImageHeader: the line after the filename is used up as the event line.
        StructureCase{"NoEventLine",
                      cat({kBegin, "Image filename: x.h5\nphoton_energy_eV = x\n", kPeaks, kEnd}),
                      0,
                      0,
                      1,
                      {}},
        StructureCase{"CrystalWithoutPeakList",
                      cat({kBegin, "Image filename: x.h5\nEvent: e\n", crystal(), kEnd}),
                      2,
                      1,
                      1,
                      {}},
        StructureCase{"HeaderEndsAtBoundary",
                      cat({kBegin, "Image filename: x.h5\nEvent: e\nnum_peaks = z\n", kEnd}),
                      0,
                      0,
                      1,
                      {{Reason::kKeyValue, 1, "num_peaks"}}},
        // PeakList / AfterPeaks: a peak list with no end still lets crystals in.
        StructureCase{"CrystalInsidePeakList",
                      cat({kBegin,
                           "Image filename: x.h5\nEvent: e\nPeaks from peak search\n1 2 3\n",
                           crystal(), kEnd}),
                      2,
                      1,
                      1,
                      {}},
        // CellLine
        StructureCase{"CellWithFiveNumbers",
                      chunk(crystal(with_cell("Cell parameters 7.8 7.8 3.8 nm, 90.0 90.0 deg\n")) +
                            crystal()),
                      2,
                      1,
                      1,
                      {{Reason::kCrystalCell, 1, "Cell parameters 7.8 7.8 3.8 nm, 90.0 90.0 deg"}}},
        StructureCase{"CellLineIsBoundary",
                      cat({kBegin, "Image filename: x.h5\nEvent: e\n", "--- Begin crystal\n",
                           kEnd}),
                      0,
                      0,
                      1,
                      {{Reason::kCrystalTruncated, 1, "--- Begin crystal"}}},
        // Vectors
        StructureCase{"VectorWithoutEquals",
                      chunk(crystal({.vectors = "astar +0.1 -0.2 +0.3\n"})),
                      0,
                      0,
                      1,
                      {{Reason::kCrystalVector, 1, "astar +0.1"}}},
        StructureCase{"VectorWithTwoNumbers",
                      chunk(crystal({.vectors = "astar = 1 2 3\nbstar = 1 2 nm^-1\n"})),
                      0,
                      0,
                      1,
                      {{Reason::kCrystalVector, 1, "bstar"}}},
        StructureCase{"CutInVectors",
                      chunk(crystal_cut(3)),
                      0,
                      0,
                      1,
                      {{Reason::kCrystalTruncated, 1, "--- Begin crystal"}}},
        // CrystalHeader and ReflectionHeader
        StructureCase{"CutInCrystalHeader",
                      chunk(crystal_cut(6)),
                      0,
                      0,
                      1,
                      {{Reason::kCrystalTruncated, 1, "--- Begin crystal"}}},
        StructureCase{"CutAfterReflectionsMeasured",
                      chunk(crystal_cut(9)),
                      0,
                      0,
                      1,
                      {{Reason::kCrystalTruncated, 1, "--- Begin crystal"}}},
        // A row right after the marker is taken as the heading and lost silently.
        StructureCase{"NoColumnHeading", chunk(crystal({.heading = ""})), 1, 1, 1, {}},
        // Reflections: a boundary drops the rows already read; the image stays.
        StructureCase{"CutInReflections",
                      chunk(crystal() + crystal_cut(11)),
                      2,
                      1,
                      1,
                      {{Reason::kCrystalTruncated, 1, "--- Begin crystal", 1}}},
        // CrystalDone / CrystalRejected: a missing "--- End crystal" does not
        // lose the crystal that follows.
        StructureCase{"DoneWithoutEndCrystal",
                      chunk(crystal({.tail = "End of reflections\n"}) + crystal()),
                      4,
                      2,
                      1,
                      {}},
        StructureCase{"RejectedWithoutEndCrystal",
                      chunk(crystal({.cell = "bad\n", .tail = "End of reflections\n"}) + crystal()),
                      2,
                      1,
                      1,
                      {{Reason::kCrystalCell, 1, "bad"}}},
        StructureCase{"RejectedSkipsToEndCrystal",
                      chunk(crystal({.cell = "bad\n"}) + crystal()),
                      2,
                      1,
                      1,
                      {{Reason::kCrystalCell, 1, "bad"}}}),
    [](const auto& info) { return info.param.name; });

// --- where images and crystals stand ---------------------------------------

// The blocks of the kept crystals, as the texts they cover.
std::vector<std::string> block_texts(const UnitResult& u, std::string_view text) {
  std::vector<std::string> out;
  const auto& b = u.columns.crystal_blocks;
  EXPECT_EQ(b.size(), 2 * u.columns.n_crystals());
  for (std::size_t k = 0; k + 1 < b.size(); k += 2) {
    EXPECT_LE(b[k], b[k + 1]);
    out.emplace_back(text.substr(static_cast<std::size_t>(b[k]),
                                 static_cast<std::size_t>(b[k + 1] - b[k])));
  }
  return out;
}

struct BlockCase {
  const char* name;
  std::vector<std::string> crystals;  // the crystal texts of one chunk, in order
  std::vector<int> kept;              // which of them the parser keeps
  std::string line_end = "\n";
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

class CrystalBlockTest : public ::testing::TestWithParam<BlockCase> {};

std::string with_line_end(std::string text, const std::string& line_end) {
  if (line_end == "\n") return text;
  std::string out;
  for (char ch : text) {
    if (ch == '\n') {
      out.append(line_end);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

TEST_P(CrystalBlockTest, EachKeptCrystalGetsItsOwnBlock) {
  const BlockCase& c = GetParam();
  std::string crystals;
  for (const auto& t : c.crystals) crystals += t;
  const std::string text = with_line_end(cat({"head\n", chunk(crystals), chunk()}), c.line_end);
  const UnitResult u = parse(text);
  ASSERT_EQ(u.columns.n_crystals(), c.kept.size());
  std::vector<std::string> want;
  for (int k : c.kept) want.push_back(with_line_end(c.crystals[static_cast<std::size_t>(k)], c.line_end));
  EXPECT_EQ(block_texts(u, text), want);
  // One image line per image, at its "Image filename:" line.
  ASSERT_EQ(u.columns.image_lines.size(), 2u);
  EXPECT_EQ(u.columns.image_lines[0], static_cast<std::int64_t>(at(text, "Image filename:")));
  EXPECT_EQ(u.columns.image_lines[1], static_cast<std::int64_t>(at(text, "Image filename:", 1)));
}

CrystalText without_end() {
  CrystalText c;
  c.tail = "End of reflections\n";
  return c;
}

CrystalText with_rows(std::string rows) {
  CrystalText c;
  c.rows = std::move(rows);
  return c;
}

const std::string kBadCell = crystal(with_cell("Cell parameters x y z\n"));
const std::string kGood = crystal();
const std::string kOther = crystal(with_rows(refl(9, 9, 9)));

INSTANTIATE_TEST_SUITE_P(
    Table, CrystalBlockTest,
    ::testing::Values(
        BlockCase{"TwoCrystals", {kGood, kOther}, {0, 1}},
        BlockCase{"DamagedBeforeGood", {kBadCell, kGood, kOther}, {1, 2}},
        BlockCase{"DamagedBetween", {kGood, kBadCell, kOther}, {0, 2}},
        BlockCase{"DamagedVectorLine",
                  {crystal([] {
                     CrystalText c;
                     c.vectors = "astar = +0.1 nm^-1\nbstar = 1 2 3\ncstar = 1 2 3\n";
                     return c;
                   }()),
                   kGood},
                  {1}},
        BlockCase{"MissingEndCrystalEndsAtTheNextBlock", {crystal(without_end()), kOther}, {0, 1}},
        BlockCase{"MissingEndCrystalEndsAtTheChunkEnd", {kGood, crystal(without_end())}, {0, 1}},
        BlockCase{"CarriageReturnLineEnds", {kBadCell, kGood, kOther}, {1, 2}, "\r\n"},
        BlockCase{"SeveralCarriageReturns", {kGood, kOther}, {0, 1}, "\r\r\n"}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return std::string(info.param.name); });

TEST(ParseUnit, TextAfterEndCrystalStaysOutOfTheBlock) {
  const std::string text = chunk(kGood + "unknown line\n");
  const UnitResult u = parse(text);
  EXPECT_EQ(block_texts(u, text), std::vector<std::string>{kGood});
}

TEST(ParseUnit, BlockOpenAtTheRangeEndEndsThere) {
  // The range ends right after "--- End crystal" (no chunk end follows).
  const std::string text = cat({kBegin, "Image filename: a.h5\nEvent: //1\n", kPeaks, kGood});
  const UnitResult u = parse(text);
  EXPECT_EQ(block_texts(u, text), std::vector<std::string>{kGood});
  const UnitResult cut = parse(text, {{0, text.size() - 1}});  // the last line end left out
  EXPECT_EQ(block_texts(cut, text), std::vector<std::string>{kGood.substr(0, kGood.size() - 1)});
}

TEST(ParseUnit, TruncatedCrystalHasNoBlock) {
  const std::string text = cat({kBegin, "Image filename: a.h5\nEvent: //1\n", kPeaks,
                                crystal_cut(12), kEnd, chunk(kGood)});
  const UnitResult u = parse(text);
  ASSERT_EQ(u.columns.n_crystals(), 1u);
  EXPECT_EQ(u.columns.crystal_blocks[0], static_cast<std::int64_t>(at(text, "--- Begin crystal", 1)));
}

TEST(ParseUnit, MissingEventLineLeavesTheEventEmpty) {
  const UnitResult u = parse(cat({kBegin, "Image filename: x.h5\n", kHeader, kPeaks, kEnd}));
  ASSERT_EQ(u.columns.n_images(), 1u);
  EXPECT_EQ(u.columns.events[0], "");
  // The photon energy line was taken as the event line; the others were read.
  EXPECT_EQ(u.columns.beam_energy[0], 0.0f);
  EXPECT_EQ(u.columns.n_peaks[0], 2);
}

// --- byte ranges --------------------------------------------------------------

TEST(ParseUnit, RangeEndingInsideAReflectionListRollsTheCrystalBack) {
  const std::string first = chunk(crystal());
  const std::string text = first + chunk(crystal());
  // Cut the second chunk's range just after its first reflection row.
  const std::uint64_t cut = at(text, refl(-4, 5, -6, "p1"), 1);
  const UnitResult u = parse(text, {{0, first.size()}, {first.size(), cut}});
  expect_rows(u.columns, 2, 1, 2);
  EXPECT_EQ(entries(u.report),
            (std::vector<Entry>{{Reason::kCrystalTruncated, 1, at(text, "--- Begin crystal", 1)}}));
}

TEST(ParseUnit, IdsCountAcrossRangesAndEachRangeStartsAfresh) {
  const std::string text = chunk(crystal()) + chunk(crystal() + crystal());
  const std::uint64_t second = at(text, "----- Begin chunk -----", 1);
  const UnitResult u = parse(text, {{0, second}, {second, text.size()}});
  expect_rows(u.columns, 6, 3, 2);
  EXPECT_EQ(std::vector<std::int32_t>(u.columns.image_id.begin(), u.columns.image_id.end()),
            (std::vector<std::int32_t>{0, 1, 1}));
  EXPECT_EQ(u.columns.crystal_id[5], 2);
  EXPECT_EQ(u.columns.crystal_in_image[2], 1);
  EXPECT_TRUE(u.report.empty());

  // Cut between the Begin line and the filename: the first range ends with a
  // chunk that has no image, and the second still reads the image whole.
  const std::uint64_t filename = at(text, "Image filename:", 1);
  const UnitResult cut = parse(text, {{0, filename}, {filename, text.size()}});
  expect_rows(cut.columns, 6, 3, 2);
  EXPECT_EQ(entries(cut.report), (std::vector<Entry>{{Reason::kChunkNoImage, 1, second}}));
}

TEST(ParseUnit, RangeEndingAfterFilenameTruncatesTheImage) {
  const std::string text = chunk();
  const std::uint64_t cut = at(text, "Event:");
  const UnitResult u = parse(text, {{0, cut}});
  expect_rows(u.columns, 0, 0, 0);
  EXPECT_EQ(entries(u.report),
            (std::vector<Entry>{{Reason::kImageTruncated, 1, at(text, "Image filename:")}}));
}

TEST(ParseUnit, AbsurdHintsReserveOnlyWhatTheBytesCanHold) {
  const std::string text = chunk(crystal());
  constexpr std::size_t kHuge = std::size_t{1} << 62;
  const UnitResult u =
      parse(text, {{0, text.size()}, {text.size(), ~std::uint64_t{0} >> 2}}, {kHuge, kHuge, kHuge});
  expect_rows(u.columns, 2, 1, 1);
  EXPECT_LE(u.columns.I.capacity(), text.size());
  EXPECT_LE(u.columns.filenames.capacity(), text.size());
}

TEST(ParseUnit, NoRangesGivesEmptyColumns) {
  InMemory bytes(chunk());
  auto r = parse_unit(bytes.source(), {}, kPanels, {8, 8, 8});
  ASSERT_TRUE(r.has_value());
  expect_rows(r->columns, 0, 0, 0);
}

// --- text decoding ------------------------------------------------------------

TEST(ParseUnit, InvalidUtf8IsReplacedLikePythonDoes) {
  // b"Image filename: a\xffb\xe2\x80.h5".decode("utf-8", "replace")
  const std::string text = cat({kBegin,
                                "Image filename: a\xff"
                                "b\xe2\x80.h5\nEvent: \xc3\xa9\xc3\n",
                                kHeader, kPeaks, kEnd});
  const UnitResult u = parse(text);
  ASSERT_EQ(u.columns.n_images(), 1u);
  EXPECT_EQ(u.columns.filenames[0],
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd.h5");
  EXPECT_EQ(u.columns.events[0], "\xc3\xa9\xef\xbf\xbd");
}

struct DecodeCase {
  std::string bytes;
  std::string text;  // what Python's bytes.decode("utf-8", "replace") gives, as UTF-8
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.bytes); }

class Utf8DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8DecodeTest, MatchesPython) {
  std::string scratch;
  const std::string_view got = decode_utf8_lossy(GetParam().bytes, scratch);
  EXPECT_EQ(got, GetParam().text);
  if (GetParam().bytes == GetParam().text) {
    EXPECT_EQ(got.data(), GetParam().bytes.data()) << "valid text is not copied";
  }
}

#define FFFD "\xef\xbf\xbd"
INSTANTIATE_TEST_SUITE_P(
    Table, Utf8DecodeTest,
    ::testing::Values(DecodeCase{"", ""},
                      DecodeCase{"plain ascii text, long enough", "plain ascii text, long enough"},
                      DecodeCase{"\xf0\x9f\x98\x80 ok \xc3\xa9", "\xf0\x9f\x98\x80 ok \xc3\xa9"},
                      DecodeCase{"\xe2\x80", FFFD},
                      DecodeCase{"\xe2\x80"
                                 "A",
                                 FFFD "A"},
                      DecodeCase{"\xe0\x80", FFFD FFFD},
                      DecodeCase{"\xf0\x90\x80"
                                 "A",
                                 FFFD "A"},
                      DecodeCase{"\xed\xa0\x80", FFFD FFFD FFFD}, DecodeCase{"\xc0\xaf", FFFD FFFD},
                      DecodeCase{"\xf4\x90\x80\x80", FFFD FFFD FFFD FFFD}, DecodeCase{"\xff", FFFD},
                      DecodeCase{"\xc3", FFFD},
                      DecodeCase{"a\x80\x80"
                                 "b",
                                 "a" FFFD FFFD "b"},
                      DecodeCase{"\xf1\x80\x80\xc3\xa9", FFFD "\xc3\xa9"},
                      DecodeCase{"0123456789abcdef\xff"
                                 "0123456789abcdef\xc3\xa9",
                                 "0123456789abcdef" FFFD "0123456789abcdef\xc3\xa9"}));
#undef FFFD

// --- column set and report ----------------------------------------------------

TEST(Columns, CapacityFollowsTheHintsPerLevelAndWidth) {
  Columns c = Columns::with_capacity(10, 4, 2);
  EXPECT_GE(c.hkl.capacity(), 30u);
  EXPECT_GE(c.I.capacity(), 10u);
  EXPECT_GE(c.cell.capacity(), 24u);
  EXPECT_GE(c.astar.capacity(), 12u);
  EXPECT_GE(c.n_peaks.capacity(), 2u);
  EXPECT_GE(c.filenames.capacity(), 2u);
  // The order of the parse result, which callers see as the order of its keys.
  const std::vector<std::string_view> order = {"hkl",         "I",
                                               "sigma",       "peak",
                                               "background",  "fs",
                                               "ss",          "panel_id",
                                               "crystal_id",  "cell",
                                               "astar",       "bstar",
                                               "cstar",       "profile_rad",
                                               "resolution",  "n_refl",
                                               "image_id",    "crystal_in_image",
                                               "beam_energy", "det_shift_x",
                                               "det_shift_y", "camera_length",
                                               "n_peaks"};
  std::vector<std::string_view> names;
  c.for_each_numeric(
      [&](std::string_view name, auto&, std::size_t, Level) { names.push_back(name); });
  EXPECT_EQ(names, order);
  EXPECT_EQ(names.size(), kNumericColumnCount);
}

TEST(Report, RecordKeepsTheSmallestOffsetAndMergeIsSymmetric) {
  Report a, b;
  a.record(Reason::kKeyValue, 50);
  a.record(Reason::kKeyValue, 20);
  b.record(Reason::kKeyValue, 10);
  b.record(Reason::kDetShift, 99);
  Report ab = a, ba = b;
  ab.merge(b);
  ba.merge(a);
  for (const Report& r : {ab, ba}) {
    EXPECT_EQ(entries(r),
              (std::vector<Entry>{{Reason::kKeyValue, 3, 10}, {Reason::kDetShift, 1, 99}}));
  }
  EXPECT_EQ(Report{}[Reason::kChunkNoImage].first_offset, Report::kNoOffset);
  EXPECT_EQ(reason_name(Reason::kReflectionHklRange), "reflection_hkl_range");
  EXPECT_EQ(reason_name(Reason::kDetShift), "det_shift");
}


// --- reflection rows taken straight from the reader's buffer -------------------

// Reads of at most `step` bytes, so that the buffer ends at every kind of place.
class ShortReads final : public ByteSource {
 public:
  ShortReads(std::string_view bytes, std::size_t step) : source_(bytes), step_(step) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return source_.size(); }
  Result<std::size_t> read_at(std::uint64_t offset, char* out, std::size_t n) const override {
    return source_.read_at(offset, out, std::min(n, step_));
  }

 private:
  MemorySource source_;
  std::size_t step_;
};

// Reflection lists whose rows are in the writer's fixed columns or not, with every
// line ending, panels up to and past the longest such a row holds, short lines before
// rows, and lines that are no rows at all.
std::string mixed_reflection_stream(unsigned seed) {
  std::mt19937 rng(seed);
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const std::string panels[] = {"p0", "p1", "q7", "nowhere", "p0_with_23_bytes_abcdef",
                                "p0_with_24_bytes_abcdefg"};
  const std::string ends[] = {"\n", "\r\n", "\r\r\r\n", "\r\r\r\r\r\r\r\r\r\r\r\r\r\n"};
  std::string text;
  for (int c = 0; c < 40; ++c) {
    CrystalText crystal_text;
    crystal_text.rows.clear();
    const int n = pick(0, 120);
    for (int i = 0; i < n; ++i) {
      char row[256];
      const double wide = pick(0, 9) == 0 ? 1234567.89 : pick(-99999, 99999) / 100.0;
      switch (pick(0, 9)) {
        case 0:  // the general spelling
          std::snprintf(row, sizeof row, "%d %d %d %.3f 1.5 2 3 4.25 5.5 %s", pick(-9, 9),
                        pick(-9, 9), pick(-9, 9), wide, panels[pick(0, 5)].c_str());
          break;
        case 1:  // a line that is no row, or a short one
          std::snprintf(row, sizeof row, "%s", pick(0, 1) ? "   1    2" : "");
          break;
        default:  // the writer's columns
          std::snprintf(row, sizeof row, "%4d %4d %4d %10.2f %10.2f %10.2f %10.2f%7.1f %6.1f %s",
                        pick(-999, 999), pick(-99, 99), pick(-9, 9), wide,
                        pick(0, 99999) / 100.0, pick(-99999, 99999) / 100.0,
                        pick(0, 9999) / 100.0, pick(0, 99999) / 10.0, pick(0, 99999) / 10.0,
                        panels[pick(0, 5)].c_str());
      }
      crystal_text.rows += row + ends[pick(0, 3)];
    }
    if (pick(0, 9) == 0) crystal_text.tail = "----- End chunk -----\n";  // cut short
    text += chunk(crystal(crystal_text));
  }
  return text;
}

class BufferedRows : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BufferedRows, GiveWhatLineByLineGives) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    const std::string text = mixed_reflection_stream(seed);
    const CapacityHints hints{64, 4, 4};
    ShortReads source(text, GetParam());
    const std::vector<ByteRange> ranges{{0, text.size()}};
    auto got = parse_unit(source, ranges, kPanels, hints);
    ASSERT_TRUE(got.has_value());
    UnitResult want = qn::testing::parse_line_by_line(text, kPanels, hints);
    ASSERT_GT(want.columns.n_observations(), 1000u);
    EXPECT_EQ(columns_contents(got->columns), columns_contents(want.columns)) << seed;
    EXPECT_EQ(entries(got->report), entries(want.report)) << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, BufferedRows,
                         ::testing::Values(std::size_t{100}, std::size_t{150}, std::size_t{333},
                                           std::size_t{4096}, std::size_t{1} << 30));

}  // namespace
}  // namespace qn
