// Fuzz target: columns made from the input bytes are written as a stream, indexed
// and parsed back. Every row must come back, exact where the text is exact and
// within the written precision elsewhere, and writing what was read must give the
// same bytes again from the second generation on.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "index/index_job.hpp"
#include "parse/parse_job.hpp"
#include "write/write_job.hpp"
#include "write_test_data.hpp"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Hands out the input bytes as values; zeros once they run out.
class Source {
 public:
  Source(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Mostly ordinary values, sometimes any bit pattern (NaN, infinities, huge, tiny).
  float value(float scale) {
    const std::uint8_t kind = byte();
    if (kind < 16) {
      const std::uint32_t bits = u32();
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    return static_cast<float>(static_cast<std::int32_t>(u32())) / 2147483648.0f * scale;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

using Owned = qn::testing::OwnedColumns;

const std::string& scratch(int k) {
  static const std::string paths[2] = {"/tmp/qn_fuzz_rt_a_" + std::to_string(::getpid()),
                                       "/tmp/qn_fuzz_rt_b_" + std::to_string(::getpid())};
  return paths[k];
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

qn::UnitResult parse_file(const std::string& path, const qn::PanelMap& panels) {
  auto rows = qn::index_file(path, 1, std::nullopt, nullptr);
  check(rows.has_value(), "index");
  std::vector<qn::ChunkRow> chunk_rows;
  for (const auto& c : *rows) {
    chunk_rows.push_back({static_cast<std::int64_t>(c.start), static_cast<std::int64_t>(c.end),
                          static_cast<std::int64_t>(c.n_crystals),
                          static_cast<std::int64_t>(c.n_obs_upper)});
  }
  qn::Pool pool(3);
  auto parsed = qn::parse_rows(path, chunk_rows, panels, 3, &pool);
  check(parsed.has_value(), "parse");
  return std::move(parsed).value();
}

// Same value after a write and a read: equal NaN-ness and infinities, else within tol.
bool close(float want, float got, double tol) {
  if (std::isnan(want)) return std::isnan(got);
  if (std::isinf(want)) return want == got;
  return std::fabs(static_cast<double>(want) - got) <=
         tol + 1e-6 * std::fabs(static_cast<double>(want));
}

Owned from_columns(const qn::Columns& c) {
  Owned o;
  o.hkl.assign(c.hkl.begin(), c.hkl.end());
  o.panel_id.assign(c.panel_id.begin(), c.panel_id.end());
  for (auto [dst, src] : {std::pair{&Owned::I, &c.I},
                          {&Owned::sigma, &c.sigma},
                          {&Owned::peak, &c.peak},
                          {&Owned::background, &c.background},
                          {&Owned::fs, &c.fs},
                          {&Owned::ss, &c.ss},
                          {&Owned::cell, &c.cell},
                          {&Owned::astar, &c.astar},
                          {&Owned::bstar, &c.bstar},
                          {&Owned::cstar, &c.cstar},
                          {&Owned::profile_rad, &c.profile_rad},
                          {&Owned::resolution, &c.resolution},
                          {&Owned::beam_energy, &c.beam_energy},
                          {&Owned::det_shift_x, &c.det_shift_x},
                          {&Owned::det_shift_y, &c.det_shift_y},
                          {&Owned::camera_length, &c.camera_length}}) {
    (o.*dst).assign(src->begin(), src->end());
  }
  o.n_refl.assign(c.n_refl.begin(), c.n_refl.end());
  o.image_id.assign(c.image_id.begin(), c.image_id.end());
  o.n_peaks.assign(c.n_peaks.begin(), c.n_peaks.end());
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Source src(data, size);
  Owned x;
  const std::size_t n_img = src.byte() % 6;
  const std::size_t n_panels = 1 + src.byte() % 4;
  qn::WriteText text;
  for (std::size_t p = 0; p < n_panels; ++p) text.panel_names.push_back("q" + std::to_string(p));
  for (std::size_t m = 0; m < n_img; ++m) {
    x.beam_energy.push_back(src.value(20000));
    x.n_peaks.push_back(static_cast<std::int32_t>(src.u32()));
    x.det_shift_x.push_back(src.value(2));
    x.det_shift_y.push_back(src.value(2));
    x.camera_length.push_back(src.value(1));
    text.filenames.push_back("img_" + std::to_string(m) + ".h5");
    text.events.push_back("//" + std::to_string(src.byte()));
    const std::size_t crystals = src.byte() % 3;
    for (std::size_t c = 0; c < crystals; ++c) {
      x.image_id.push_back(static_cast<std::int32_t>(m));
      for (int k = 0; k < 6; ++k) x.cell.push_back(src.value(k < 3 ? 500 : 180));
      for (auto* v : {&x.astar, &x.bstar, &x.cstar}) {
        for (int k = 0; k < 3; ++k) v->push_back(src.value(0.1f));
      }
      x.profile_rad.push_back(src.value(0.01f));
      x.resolution.push_back(src.value(20));
      const std::size_t rows = src.byte() % 5;
      x.n_refl.push_back(static_cast<std::int32_t>(rows));
      for (std::size_t r = 0; r < rows; ++r) {
        for (int k = 0; k < 3; ++k) x.hkl.push_back(static_cast<std::int16_t>(src.u32()));
        for (auto* v : {&x.I, &x.sigma, &x.peak, &x.background}) v->push_back(src.value(1e5f));
        x.fs.push_back(src.value(3000));
        x.ss.push_back(src.value(3000));
        x.panel_id.push_back(static_cast<std::int16_t>(src.byte() % n_panels));
      }
    }
  }
  text.header = "fuzz\n";

  check(qn::write_job(scratch(0), x.view(), text, 1, 2, nullptr).has_value(), "write");
  qn::PanelMap panels;
  for (std::size_t p = 0; p < n_panels; ++p)
    panels.emplace(text.panel_names[p], static_cast<std::int16_t>(p));
  qn::UnitResult back = parse_file(scratch(0), panels);
  const qn::Columns& y = back.columns;

  for (std::size_t r = 0; r < qn::kReasonCount; ++r) {
    if (back.report.entries[r].count != 0) {
      std::fprintf(stderr, "%s at %llu\n", std::string(qn::kReasonNames[r]).c_str(),
                   static_cast<unsigned long long>(back.report.entries[r].first_offset));
    }
  }
  check(back.report.empty(), "a written stream reads without exclusions");
  check(y.n_images() == n_img && y.n_crystals() == x.n_refl.size() &&
            y.n_observations() == x.I.size(),
        "row counts");
  check(y.filenames == text.filenames && y.events == text.events, "file names and events");
  check(std::equal(x.hkl.begin(), x.hkl.end(), y.hkl.begin()), "hkl");
  check(std::equal(x.panel_id.begin(), x.panel_id.end(), y.panel_id.begin()), "panel_id");
  check(std::equal(x.n_refl.begin(), x.n_refl.end(), y.n_refl.begin()), "n_refl");
  check(std::equal(x.n_peaks.begin(), x.n_peaks.end(), y.n_peaks.begin()), "n_peaks");
  for (std::size_t o = 0; o < x.I.size(); ++o) {
    check(close(x.I[o], y.I[o], 0.005) && close(x.sigma[o], y.sigma[o], 0.005) &&
              close(x.peak[o], y.peak[o], 0.005) &&
              close(x.background[o], y.background[o], 0.005) && close(x.fs[o], y.fs[o], 0.05) &&
              close(x.ss[o], y.ss[o], 0.05),
          "observation values");
  }
  for (std::size_t m = 0; m < n_img; ++m) {
    check(close(x.beam_energy[m], y.beam_energy[m], 5e-7) &&
              close(x.camera_length[m], y.camera_length[m], 5e-7),
          "image values");
  }
  for (std::size_t i = 0; i < x.cell.size(); ++i) check(close(x.cell[i], y.cell[i], 1e-4), "cell");
  // Vectors are written in nm^-1, scaled by 10 in single precision: a component
  // beyond FLT_MAX / 10 is written, and so read, as an infinity.
  auto scaled = [](float v) { return std::isinf(v * 10.0f) ? v * 10.0f : v; };
  for (std::size_t i = 0; i < x.astar.size(); ++i) {
    check(close(scaled(x.astar[i]), y.astar[i], 1e-8) &&
              close(scaled(x.bstar[i]), y.bstar[i], 1e-8) &&
              close(scaled(x.cstar[i]), y.cstar[i], 1e-8),
          "reciprocal vectors");
  }

  for (std::size_t c = 0; c < x.profile_rad.size(); ++c) {
    check(close(scaled(x.profile_rad[c]), y.profile_rad[c], 6e-7), "profile radius");
  }
  // The detector shift is stated in crystal blocks: an image without one reads 0.
  std::vector<bool> has_crystal(n_img, false);
  for (const std::int32_t m : x.image_id) has_crystal[static_cast<std::size_t>(m)] = true;
  for (std::size_t m = 0; m < n_img; ++m) {
    const float want_x = has_crystal[m] ? x.det_shift_x[m] : 0.0f;
    const float want_y = has_crystal[m] ? x.det_shift_y[m] : 0.0f;
    check(close(want_x, y.det_shift_x[m], 5e-4) && close(want_y, y.det_shift_y[m], 5e-4),
          "detector shift");
  }

  // Writing what was read gives the same text from the next generation on. The one
  // exception is the resolution: a limit that rounds to "0.00 nm^-1" reads back as 999,
  // which writes as "0.01 nm^-1" and reads as 1000, stable from then on.
  qn::WriteText text2 = text;
  text2.filenames = y.filenames;
  text2.events = y.events;
  std::string generation[3];
  Owned current = from_columns(y);
  for (int g = 0; g < 3; ++g) {
    qn::Pool pool(2);
    check(qn::write_job(scratch(g % 2), current.view(), text2, g == 1 ? 2 : 1, 1 + g,
                        g == 1 ? &pool : nullptr)
              .has_value(),
          "rewrite");
    generation[g] = read_all(scratch(g % 2));
    current = from_columns(parse_file(scratch(g % 2), panels).columns);
  }
  check(generation[1] == generation[2], "the text is a fixed point after two round trips");
  std::size_t a = 0, b = 0;
  while (a < generation[0].size() && b < generation[1].size()) {
    const std::size_t ea = generation[0].find('\n', a), eb = generation[1].find('\n', b);
    const std::string_view la(generation[0].data() + a, ea - a),
        lb(generation[1].data() + b, eb - b);
    check(la == lb || (la.starts_with("diffraction_resolution_limit = ") &&
                       lb.starts_with("diffraction_resolution_limit = ")),
          "only the resolution line changes after one round trip");
    a = ea + 1;
    b = eb + 1;
  }
  check(a == generation[0].size() && b == generation[1].size(), "same number of lines");
  return 0;
}
