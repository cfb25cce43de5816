// Fuzz target for parse_unit. The input is parsed from memory:
//  - as one range: the result must satisfy every invariant of a Columns;
//  - cut at every "----- Begin chunk -----" line: a fresh parser per range must
//    give exactly the same columns and report, since a chunk start resets the
//    parser anyway;
//  - cut at two arbitrary offsets: the invariants must still hold;
//  - handed to the parser a line at a time: the same columns and report as the
//    one-range parse, whose rows in the fixed-column layout are taken straight from
//    the reader's buffer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "line_by_line.hpp"
#include "parse/parse_unit.hpp"

namespace {

using qn::ByteRange;
using qn::Columns;
using qn::Report;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Where the rows stand: one image line per image, at an "Image filename:" line, in
// file order; one block per kept crystal, starting at a "--- Begin crystal" line, not
// overlapping the next one, ending inside the file.
void check_offsets(const Columns& c, std::string_view text) {
  check(c.image_lines.size() == c.n_images(), "one image line per image");
  check(c.crystal_blocks.size() == 2 * c.n_crystals(), "one block per crystal");
  for (std::size_t i = 0; i < c.image_lines.size(); ++i) {
    const auto at = static_cast<std::size_t>(c.image_lines[i]);
    check(at < text.size() && text.substr(at).starts_with("Image filename:"),
          "an image line is an \"Image filename:\" line");
    check(i == 0 || c.image_lines[i] > c.image_lines[i - 1], "image lines in file order");
  }
  for (std::size_t k = 0; k < c.n_crystals(); ++k) {
    const std::int64_t start = c.crystal_blocks[2 * k], end = c.crystal_blocks[2 * k + 1];
    check(start >= 0 && static_cast<std::size_t>(start) < text.size() &&
              text.substr(static_cast<std::size_t>(start)).starts_with("--- Begin crystal"),
          "a block starts at a \"--- Begin crystal\" line");
    check(start < end && static_cast<std::size_t>(end) <= text.size(), "a block ends in the file");
    check(k == 0 || c.crystal_blocks[2 * k - 1] <= start, "blocks do not overlap");
    const std::int64_t image_line = c.image_lines[static_cast<std::size_t>(c.image_id[k])];
    check(image_line < start, "a crystal's block follows its image's line");
  }
}

void check_invariants(Columns& c, const Report& report, std::uint64_t file_size) {
  const std::size_t n_obs = c.n_observations(), n_cryst = c.n_crystals(), n_img = c.n_images();
  c.for_each_numeric([&](std::string_view, auto& buffer, std::size_t width, qn::Level level) {
    const std::size_t rows = level == qn::Level::kObservation ? n_obs
                             : level == qn::Level::kCrystal   ? n_cryst
                                                              : n_img;
    check(buffer.size() == rows * width, "a level's columns have equal row counts");
  });
  check(c.filenames.size() == n_img && c.events.size() == n_img,
        "one file name and event per image");

  // Observation rows of crystal k are contiguous, in crystal order, n_refl[k] of them.
  std::size_t row = 0;
  for (std::size_t k = 0; k < n_cryst; ++k) {
    check(c.n_refl[k] >= 0, "n_refl is a count");
    for (std::int32_t i = 0; i < c.n_refl[k]; ++i, ++row) {
      check(row < n_obs && c.crystal_id[row] == static_cast<std::int32_t>(k),
            "crystal_id matches n_refl");
    }
    check(c.image_id[k] >= 0 && static_cast<std::size_t>(c.image_id[k]) < n_img,
          "image_id indexes an image");
    const bool same_image = k > 0 && c.image_id[k] == c.image_id[k - 1];
    check(k == 0 || c.image_id[k] >= c.image_id[k - 1], "image_id never decreases");
    check(c.crystal_in_image[k] == (same_image ? c.crystal_in_image[k - 1] + 1 : 0),
          "crystal_in_image counts from 0 per image");
  }
  check(row == n_obs, "the sum of n_refl is the number of observations");
  for (const auto& e : report.entries) {
    check((e.count == 0) == (e.first_offset == Report::kNoOffset), "offset set iff counted");
    check(e.count == 0 || e.first_offset < file_size, "offsets lie inside the file");
  }
}

// Byte-wise equality of all columns (NaNs included, since both sides parse the
// same texts).
bool same_columns(Columns& a, Columns& b) {
  std::vector<std::pair<const void*, std::size_t>> bytes_a, bytes_b;
  auto collect = [](std::vector<std::pair<const void*, std::size_t>>& out) {
    return [&out](std::string_view, auto& buffer, std::size_t, qn::Level) {
      out.emplace_back(buffer.data(), buffer.size() * sizeof(*buffer.data()));
    };
  };
  a.for_each_numeric(collect(bytes_a));
  b.for_each_numeric(collect(bytes_b));
  for (std::size_t i = 0; i < bytes_a.size(); ++i) {
    if (bytes_a[i].second != bytes_b[i].second) return false;
    if (bytes_a[i].second != 0 &&
        std::memcmp(bytes_a[i].first, bytes_b[i].first, bytes_a[i].second) != 0) {
      return false;
    }
  }
  const auto same = [](const qn::Buffer<std::int64_t>& x, const qn::Buffer<std::int64_t>& y) {
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
  };
  return a.filenames == b.filenames && a.events == b.events &&
         same(a.image_lines, b.image_lines) && same(a.crystal_blocks, b.crystal_blocks);
}

bool same_report(const Report& a, const Report& b) {
  for (std::size_t i = 0; i < qn::kReasonCount; ++i) {
    if (a.entries[i].count != b.entries[i].count ||
        a.entries[i].first_offset != b.entries[i].first_offset) {
      return false;
    }
  }
  return true;
}

const qn::PanelMap kPanels = {{"p0", 0}, {"p1", 1}, {"q0", 2}};

// Hints derived from the size exercise both reservation and growth.
qn::CapacityHints hints_for(std::uint64_t size) { return {size / 64, size / 512, size / 1024}; }

qn::UnitResult parse(const qn::ByteSource& source, std::string_view text,
                     const std::vector<ByteRange>& ranges, std::uint64_t size) {
  auto r = qn::parse_unit(source, ranges, kPanels, hints_for(size));
  check(r.has_value(), "parsing bytes in memory cannot fail");
  check_invariants(r->columns, r->report, size);
  check_offsets(r->columns, text);
  return std::move(r).value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qn::MemorySource source(text);
  qn::UnitResult whole = parse(source, text, {{0, size}}, size);

  constexpr std::string_view kBeginChunk = "----- Begin chunk -----";
  std::vector<ByteRange> at_chunks;
  std::uint64_t from = 0;
  for (std::size_t line = 0; line < size;) {
    if (line > 0 && text.substr(line).starts_with(kBeginChunk)) {
      at_chunks.push_back({from, line});
      from = line;
    }
    const std::size_t nl = text.find('\n', line);
    line = nl == std::string_view::npos ? size : nl + 1;
  }
  at_chunks.push_back({from, size});
  qn::UnitResult split = parse(source, text, at_chunks, size);
  check(same_columns(whole.columns, split.columns), "cutting at chunk starts changes no column");
  check(same_report(whole.report, split.report), "cutting at chunk starts changes no report entry");

  qn::UnitResult by_line = qn::testing::parse_line_by_line(text, kPanels, hints_for(size));
  check(same_columns(whole.columns, by_line.columns),
        "rows taken from the buffer give the columns of line-by-line parsing");
  check(same_report(whole.report, by_line.report),
        "rows taken from the buffer give the report of line-by-line parsing");

  // Arbitrary cuts, including ones inside lines and past the end of the file.
  const std::uint64_t a = size / 3, b = size - size / 4;
  parse(source, text, {{0, a}, {a, b}, {b, size + 100}}, size);
  return 0;
}
