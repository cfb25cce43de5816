// The writer's checks, the layout, and whole files written by write_job.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/pool.hpp"
#include "write/format.hpp"
#include "write/layout.hpp"
#include "write/write_job.hpp"
#include "write_test_data.hpp"

namespace qn {
namespace {

using testing::Example;
using testing::OwnedColumns;
using testing::worked_example;

// Image 0 with crystals 0 and 1 (one reflection each) and a third observation row
// that no crystal owns; two panel names.
Example two_crystals() {
  Example e = worked_example();
  e.columns.add_crystal(0, 1, {1, 2, 3, 4, 5, 6}, {}, 0.0f, 1.0f);
  e.columns.add_obs({4, 5, 6}, 1, 2, 3, 4, 5, 6, -1);
  e.columns.add_obs({7, 8, 9}, 1, 2, 3, 4, 5, 6, 1);
  e.text.panel_names = {"p0", "p1"};
  return e;
}

struct ErrorCase {
  const char* name;
  std::function<void(Example&)> edit;
  std::string message;
};

std::string case_name(const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; }

// Runs both pre-write checks the way write_job does; the first error wins.
Result<void> check_all(const Example& e) {
  QN_ASSIGN_OR_RETURN(const Layout layout,
                      build_layout(e.columns.view(), e.text.panel_names.size()));
  return check_text(e.text, layout);
}

const ErrorCase kRefusals[] = {
    // Lengths, in the order they are checked.
    {"HklFirst",
     [](Example& e) {
       e.columns.hkl.pop_back();
       e.columns.sigma.clear();
     },
     "hkl: length 8, expected 9"},
    {"Sigma", [](Example& e) { e.columns.sigma.pop_back(); }, "sigma: length 2, expected 3"},
    {"Ss", [](Example& e) { e.columns.ss.push_back(0); }, "ss: length 4, expected 3"},
    {"PanelId", [](Example& e) { e.columns.panel_id.pop_back(); },
     "panel_id: length 2, expected 3"},
    {"Cell", [](Example& e) { e.columns.cell.pop_back(); }, "cell: length 11, expected 12"},
    {"Astar", [](Example& e) { e.columns.astar.push_back(0); }, "astar: length 7, expected 6"},
    {"BstarAgainstThreeCrystalRows", [](Example& e) { e.columns.bstar.resize(4); },
     "bstar: length 4, expected 6"},
    {"Cstar", [](Example& e) { e.columns.cstar.clear(); }, "cstar: length 0, expected 6"},
    {"ProfileRad", [](Example& e) { e.columns.profile_rad.pop_back(); },
     "profile_rad: length 1, expected 2"},
    {"ImageId", [](Example& e) { e.columns.image_id.push_back(0); },
     "image_id: length 3, expected 2"},
    {"NPeaks", [](Example& e) { e.columns.n_peaks.clear(); }, "n_peaks: length 0, expected 1"},
    {"DetShiftY", [](Example& e) { e.columns.det_shift_y.push_back(0); },
     "det_shift_y: length 2, expected 1"},
    // Observation ranges.
    {"NReflOverrun",
     [](Example& e) {
       e.columns.n_refl = {2, 2};
     },
     "n_refl[1] = 2 overruns the 3 observations"},
    {"NReflNegative",
     [](Example& e) {
       e.columns.n_refl = {-1, 1};
     },
     "n_refl[0] = -1 overruns the 3 observations"},
    // Panel positions, including the row that no crystal owns.
    {"PanelIdPastTheEnd", [](Example& e) { e.columns.panel_id[2] = 2; },
     "panel_id 2 has no name (2 panel names)"},
    {"PanelIdBeforeTheStart", [](Example& e) { e.columns.panel_id[1] = -3; },
     "panel_id -3 has no name (2 panel names)"},
    {"NoPanelNames", [](Example& e) { e.text.panel_names.clear(); },
     "panel_id 0 has no name (0 panel names)"},
    {"FirstBadPanelIdInRowOrder",
     [](Example& e) {
       e.columns.panel_id[1] = -7;
       e.columns.panel_id[2] = 5;
     },
     "panel_id -7 has no name (2 panel names)"},
    // Text that would break the line structure.
    {"LineFeedInFilename", [](Example& e) { e.text.filenames[0] = "a\nb"; },
     "filenames[0] contains a line feed"},
    {"LineFeedInEvent", [](Example& e) { e.text.events[0] = "//1\n"; },
     "events[0] contains a line feed"},
    {"EmptyUsedPanelName", [](Example& e) { e.text.panel_names[1] = ""; },
     "panel_names[1] is empty"},
    {"SpaceInUsedPanelName", [](Example& e) { e.text.panel_names[0] = "p 0"; },
     "panel_names[0] contains white space"},
    {"UnicodeSpaceInPanelName", [](Example& e) { e.text.panel_names[1] = "p\xe3\x80\x80"; },
     "panel_names[1] contains white space"},
    {"LineFeedInLatticeType", [](Example& e) { e.text.lattice_type = "cubic\n"; },
     "lattice_type contains a line feed"},
    {"LineFeedInCentering", [](Example& e) { e.text.centering = "\n"; },
     "centering contains a line feed"},
    {"LineFeedInUniqueAxis", [](Example& e) { e.text.unique_axis = "a\nb"; },
     "unique_axis contains a line feed"},
    {"HeaderWithoutFinalLineFeed", [](Example& e) { e.text.header = "first line\nlast"; },
     "header must end with a line feed"},
    {"FilenameCheckedBeforeHeader",
     [](Example& e) {
       e.text.header = "x";
       e.text.filenames[0] = "\n";
     },
     "filenames[0] contains a line feed"},
};

class Refusal : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Refusal, ReportsTheFirstFailingCheck) {
  Example e = two_crystals();
  ASSERT_TRUE(check_all(e).has_value());
  GetParam().edit(e);
  Result<void> r = check_all(e);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kInvalidInput);
  EXPECT_EQ(r.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal, ::testing::ValuesIn(kRefusals), case_name);

const ErrorCase kAcceptances[] = {
    {"CameraLengthOfAnyLength", [](Example& e) { e.columns.camera_length.assign(7, 1.0f); }, ""},
    {"EmptyCameraLength", [](Example& e) { e.columns.camera_length.clear(); }, ""},
    {"NReflShortOfTheObservations",
     [](Example& e) {
       e.columns.n_refl = {1, 1};
     },
     ""},
    {"CrystalOfNoImage",
     [](Example& e) {
       e.columns.image_id = {1, -1};
     },
     ""},
    {"BadTextThatIsNeverWritten",
     [](Example& e) {
       e.text.filenames.push_back("b\n");  // only one image
       e.text.events.push_back("\n");
       e.columns.panel_id[1] = 0;  // -1 would now name the new last entry
       e.text.panel_names.push_back("un used");
     },
     ""},
    {"EmptyHeaderAndEmptyStrings",
     [](Example& e) {
       e.text.header = "";
       e.text.lattice_type = "";
       e.text.filenames[0] = "with space";
     },
     ""},
    {"NoObservationsNoPanelNames",
     [](Example& e) {
       e.columns = OwnedColumns{};
       e.columns.add_image(1, 0, 0, 0, 0);
       e.text.panel_names.clear();
     },
     ""},
};

class Acceptance : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Acceptance, PassesEveryCheck) {
  Example e = two_crystals();
  GetParam().edit(e);
  Result<void> r = check_all(e);
  EXPECT_TRUE(r.has_value()) << r.error().message;
}

INSTANTIATE_TEST_SUITE_P(Cases, Acceptance, ::testing::ValuesIn(kAcceptances), case_name);

TEST(BuildLayout, OffsetsImageListsAndPanelsUsed) {
  OwnedColumns c;
  for (int m = 0; m < 3; ++m) c.add_image(1, 0, 0, 0, 0);
  // Crystals in no particular image order; crystal 3 names no image.
  const std::int32_t images[] = {2, 0, 2, 3, 0};
  const std::int32_t refl[] = {2, 0, 1, 1, 1};
  for (int k = 0; k < 5; ++k) c.add_crystal(images[k], refl[k], {}, {}, 0, 0);
  const std::int16_t panels[] = {0, -1, 2, -3, 1, 0, 0};
  for (std::int16_t p : panels) c.add_obs({0, 0, 0}, 0, 0, 0, 0, 0, 0, p);
  Result<Layout> r = build_layout(c.view(), 5);
  ASSERT_TRUE(r.has_value()) << r.error().message;
  const Layout& layout = *r;
  EXPECT_EQ(layout.offsets, (std::vector<std::size_t>{0, 2, 2, 3, 4, 5}));
  ASSERT_EQ(layout.n_images(), 3u);
  auto list = [&](std::size_t m) {
    auto s = layout.crystals_of(m);
    return std::vector<std::size_t>(s.begin(), s.end());
  };
  EXPECT_EQ(list(0), (std::vector<std::size_t>{1, 4}));
  EXPECT_EQ(list(1), (std::vector<std::size_t>{}));
  EXPECT_EQ(list(2), (std::vector<std::size_t>{0, 2}));
  // Of five names, -1 and -3 stand for the last and the third; the fourth is unused.
  EXPECT_EQ(layout.panel_used, (std::vector<std::uint8_t>{1, 1, 1, 0, 1}));
  std::vector<std::size_t> positions;
  for (const std::int16_t p : panels) positions.push_back(layout.panel_position(p));
  EXPECT_EQ(positions, (std::vector<std::size_t>{0, 4, 2, 2, 1, 0, 0}));
}

// ---- write_job ----

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qn_write_XXXXXX";
    const char* p = ::mkdtemp(tmpl);
    EXPECT_NE(p, nullptr);
    path_ = p ? p : "/tmp";
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Result<void> write(const std::string& path, const Example& e, std::uint64_t n_threads = 1,
                   std::uint64_t images_per_batch = 1024) {
  if (n_threads < 2)
    return write_job(path, e.columns.view(), e.text, n_threads, images_per_batch, nullptr);
  Pool pool(n_threads);
  return write_job(path, e.columns.view(), e.text, n_threads, images_per_batch, &pool);
}

// The file format_image alone would give: the header, then every chunk in order.
std::string expected_file(const Example& e) {
  Result<Layout> layout = build_layout(e.columns.view(), e.text.panel_names.size());
  EXPECT_TRUE(layout.has_value());
  TextBuffer out;
  out.append(e.text.header);
  for (std::size_t i = 0; layout && i < layout->n_images(); ++i) {
    ChunkFormatter(e.columns.view(), e.text, *layout).format_image(out, i);
  }
  return std::string(out.view());
}

// Images with 0 to 3 crystals of 0 to 40 reflections, crystals in shuffled image
// order, some crystals of no image, NaN here and there, shorter name lists.
Example random_stream(std::size_t n_img, unsigned seed) {
  std::mt19937 rng(seed);
  auto real = [&](float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
  };
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto maybe_nan = [&](float v) {
    return pick(0, 50) == 0 ? std::numeric_limits<float>::quiet_NaN() : v;
  };
  Example e;
  OwnedColumns& c = e.columns;
  for (std::size_t m = 0; m < n_img; ++m) {
    c.add_image(maybe_nan(real(5000, 15000)), pick(0, 500), real(-0.1f, 0.1f), real(-0.1f, 0.1f),
                real(0.1f, 0.3f));
  }
  c.camera_length.resize(n_img * 3 / 4);
  std::vector<std::int32_t> owners;
  for (std::size_t m = 0; m < n_img; ++m)
    owners.insert(owners.end(), pick(0, 3), static_cast<std::int32_t>(m));
  owners.push_back(-1);
  owners.push_back(static_cast<std::int32_t>(n_img));
  std::shuffle(owners.begin(), owners.end(), rng);
  for (const std::int32_t m : owners) {
    const int refl = pick(0, 40);
    c.add_crystal(m, refl, {real(30, 120), real(30, 120), real(30, 120), 90, 90, real(60, 120)},
                  {real(-0.05f, 0.05f), real(-0.05f, 0.05f), real(-0.05f, 0.05f),
                   real(-0.05f, 0.05f), real(-0.05f, 0.05f), real(-0.05f, 0.05f),
                   real(-0.05f, 0.05f), real(-0.05f, 0.05f), maybe_nan(real(-0.05f, 0.05f))},
                  real(0, 0.001f), real(-0.5f, 4));
    for (int o = 0; o < refl; ++o) {
      c.add_obs({static_cast<std::int16_t>(pick(-60, 60)), static_cast<std::int16_t>(pick(-60, 60)),
                 static_cast<std::int16_t>(pick(-60, 60))},
                maybe_nan(real(-100, 1e5f)), real(0, 300), real(0, 1e4f), real(-10, 100),
                maybe_nan(real(0, 1024)), real(0, 512), static_cast<std::int16_t>(pick(-8, 7)));
    }
  }
  c.add_obs({1, 1, 1}, 0, 0, 0, 0, 0, 0, 0);  // owned by no crystal
  for (std::size_t m = 0; m < n_img / 2; ++m)
    e.text.filenames.push_back("run/img_" + std::to_string(m) + ".h5");
  for (std::size_t m = 0; m + 3 < n_img; ++m) e.text.events.push_back("//" + std::to_string(m * 7));
  for (int p = 0; p < 8; ++p) e.text.panel_names.push_back("q" + std::to_string(p));
  e.text.lattice_type = "monoclinic";
  e.text.unique_axis = "b";
  e.text.header = "Stream header line 1\nGenerated by a test\n";
  return e;
}

TEST(WriteJob, WorkedExampleFile) {
  TempDir dir;
  Example e = worked_example();
  e.text.header = "HEADER\n";
  ASSERT_TRUE(write(dir.file("s.stream"), e).has_value());
  EXPECT_EQ(read_file(dir.file("s.stream")),
            std::string("HEADER\n") + testing::kWorkedExampleChunk);
}

struct Setting {
  std::uint64_t n_threads;
  std::uint64_t images_per_batch;
};

class WriteSettings : public ::testing::TestWithParam<Setting> {};

TEST_P(WriteSettings, SameBytesForEveryThreadCountAndBatchSize) {
  TempDir dir;
  const Example e = random_stream(400, 7);
  const std::string want = expected_file(e);
  ASSERT_GT(want.size(), kWriteBufferBytes);  // the largest batch goes past the buffer
  Result<void> r =
      write(dir.file("s.stream"), e, GetParam().n_threads, GetParam().images_per_batch);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_TRUE(read_file(dir.file("s.stream")) == want);
}

INSTANTIATE_TEST_SUITE_P(Grid, WriteSettings, ::testing::ValuesIn([] {
                           std::vector<Setting> grid;
                           for (std::uint64_t t : {0, 1, 2, 8}) {
                             for (std::uint64_t b : {0, 1, 7, 1024}) grid.push_back({t, b});
                           }
                           return grid;
                         }()),
                         [](const auto& info) {
                           return "threads" + std::to_string(info.param.n_threads) + "_batch" +
                                  std::to_string(info.param.images_per_batch);
                         });

TEST(WriteJob, HeaderAroundAndAboveTheBufferSize) {
  TempDir dir;
  Example e = random_stream(5, 3);
  for (const std::size_t size : {kWriteBufferBytes - 1, kWriteBufferBytes, kWriteBufferBytes + 1,
                                 3 * kWriteBufferBytes + 17}) {
    for (const std::uint64_t threads : {1, 4}) {
      e.text.header.assign(size - 1, 'h');
      e.text.header += '\n';
      ASSERT_TRUE(write(dir.file("s.stream"), e, threads).has_value());
      EXPECT_TRUE(read_file(dir.file("s.stream")) == expected_file(e)) << size << " " << threads;
    }
  }
}

TEST(WriteJob, RowsWiderThanTheRoomOfTheirPiece) {
  // Rows whose values overflow their fields take more room than a batch region is
  // given for them; the text moves out of the region and the file is unchanged.
  TempDir dir;
  Example e = random_stream(40, 5);
  OwnedColumns& c = e.columns;
  for (std::size_t o = 0; o < c.I.size(); o += 2) {
    c.I[o] = -3.4e38f;
    c.fs[o] = 1e9f;
    c.hkl[3 * o] = -32768;
  }
  const std::string want = expected_file(e);
  for (const std::uint64_t threads : {1, 3}) {
    for (const std::uint64_t per_batch : {1, 1024}) {
      ASSERT_TRUE(write(dir.file("s.stream"), e, threads, per_batch).has_value());
      EXPECT_TRUE(read_file(dir.file("s.stream")) == want) << threads << " " << per_batch;
    }
  }
}

TEST(WriteJob, ImageFarLargerThanAPieceAmongSmallOnes) {
  // One image's text fills several pieces' room: its piece grows past the usual size
  // and the slot that held it is given back its usual size afterwards.
  TempDir dir;
  Example e;
  e.text = random_stream(1, 21).text;
  OwnedColumns& c = e.columns;
  for (std::int32_t m = 0; m < 7; ++m) {
    c.add_image(12000, m, 0, 0, 0.2f);
    const int refl = m == 3 ? 30000 : 3;
    c.add_crystal(m, refl, {50, 60, 70, 90, 90, 90}, {0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 1);
    for (int o = 0; o < refl; ++o) {
      c.add_obs({static_cast<std::int16_t>(o % 50), 1, -2}, static_cast<float>(o), 1.5f, 20, 3,
                static_cast<float>(o % 1000), 7, static_cast<std::int16_t>(o % 8));
    }
  }
  const std::string want = expected_file(e);
  ASSERT_GT(want.size(), 2 * kWriteBufferBytes);
  for (const std::uint64_t threads : {1, 3}) {
    for (const std::uint64_t per_batch : {1, 1024}) {
      ASSERT_TRUE(write(dir.file("s.stream"), e, threads, per_batch).has_value());
      EXPECT_TRUE(read_file(dir.file("s.stream")) == want) << threads << " " << per_batch;
    }
  }
}

TEST(WriteJob, NoImagesGivesTheHeaderAlone) {
  TempDir dir;
  Example e;
  e.text.header = "only the header\n";
  for (const std::uint64_t threads : {0, 3}) {
    ASSERT_TRUE(write(dir.file("s.stream"), e, threads).has_value());
    EXPECT_EQ(read_file(dir.file("s.stream")), "only the header\n");
  }
}

TEST(WriteJob, EmptyHeaderStartsWithTheFirstChunk) {
  TempDir dir;
  ASSERT_TRUE(write(dir.file("s.stream"), worked_example(), 2).has_value());
  EXPECT_EQ(read_file(dir.file("s.stream")), testing::kWorkedExampleChunk);
}

TEST(WriteJob, TruncatesAnExistingFileAndCreatesWithMode0666) {
  TempDir dir;
  const std::string path = dir.file("s.stream");
  std::ofstream(path) << std::string(100000, 'x');
  ASSERT_TRUE(write(path, worked_example()).has_value());
  EXPECT_EQ(read_file(path), testing::kWorkedExampleChunk);

  const mode_t mask = ::umask(0);
  ::umask(mask);
  const std::string fresh = dir.file("fresh.stream");
  ASSERT_TRUE(write(fresh, worked_example()).has_value());
  struct stat st;
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

class RefusalLeavesFilesAlone : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RefusalLeavesFilesAlone, NeitherCreatedNorTruncated) {
  TempDir dir;
  Example e = two_crystals();
  GetParam().edit(e);
  const std::string existing = dir.file("old.stream");
  std::ofstream(existing) << "previous content\n";
  for (const std::uint64_t threads : {1, 4}) {
    for (const std::string& path : {existing, dir.file("new.stream")}) {
      Result<void> r = write(path, e, threads);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message, GetParam().message);
    }
    EXPECT_EQ(read_file(existing), "previous content\n");
    EXPECT_FALSE(exists(dir.file("new.stream")));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusalLeavesFilesAlone, ::testing::ValuesIn(kRefusals), case_name);

TEST(WriteJob, OpenFailuresAfterTheChecks) {
  TempDir dir;
  Result<void> r = write(dir.file(""), worked_example());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kIsADirectory);
  EXPECT_EQ(r.error().os_errno, EISDIR);

  r = write(dir.file("missing/s.stream"), worked_example());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kNotFound);

  // The checks come first: invalid input is reported even for a path that cannot open.
  Example bad = worked_example();
  bad.columns.sigma.clear();
  r = write(dir.file("missing/s.stream"), bad);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::kInvalidInput);
}

TEST(WriteJob, WriteAndFlushFailuresAreReported) {
  if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  Example e = worked_example();
  // Small: everything sits in the buffer until the final flush fails.
  Result<void> r = write("/dev/full", e);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().os_errno, ENOSPC);
  // Larger than the buffer: the direct write of the header fails.
  e.text.header = std::string(kWriteBufferBytes + 5, '\n');
  r = write("/dev/full", e, 3);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().os_errno, ENOSPC);
  // Chunks past the buffer: a write in the middle of a batch fails, on every path.
  const Example big = random_stream(400, 9);
  for (const std::uint64_t threads : {1, 2, 5}) {
    r = write("/dev/full", big, threads);
    ASSERT_FALSE(r.has_value()) << threads;
    EXPECT_EQ(r.error().os_errno, ENOSPC) << threads;
  }
}

}  // namespace
}  // namespace qn
