// Layout construction and the checks that precede any effect on the file system.
//
// Every check reports the first row that fails it, with the message the caller
// shows as the ValueError text, so the order of the checks is part of the contract.
#include "write/layout.hpp"

#include <cstdint>
#include <string>

#include "pystr/white_space.hpp"

namespace qn {

namespace {

Error length_error(const char* key, std::size_t actual, std::size_t expected) {
  return Error::invalid_input(std::string(key) + ": length " + std::to_string(actual) +
                              ", expected " + std::to_string(expected));
}

// Every column against the row count of its level, in the order of the writer's
// input. The columns that define the counts (I, n_refl, beam_energy) pass by
// definition; camera_length may be shorter than the image count and is not checked.
Result<void> check_lengths(const WriteColumns& c) {
  const std::size_t n_rows[] = {c.I.size(), c.n_refl.size(), c.beam_energy.size()};
  Result<void> outcome;
  for_each_write_column([&](const char* name, const auto member, std::size_t width, Level level) {
    const std::size_t expected = width * n_rows[static_cast<std::size_t>(level)];
    const std::size_t actual = (c.*member).size();
    if (actual == expected || std::string_view(name) == "camera_length") return true;
    outcome = length_error(name, actual, expected);
    return false;
  });
  return outcome;
}

bool has_line_feed(std::string_view s) noexcept { return s.find('\n') != std::string_view::npos; }

Result<void> check_list_line_feeds(const char* name, const std::vector<std::string>& list,
                                   std::size_t n_written) {
  const std::size_t n = list.size() < n_written ? list.size() : n_written;
  for (std::size_t i = 0; i < n; ++i) {
    if (has_line_feed(list[i])) {
      return Error::invalid_input(std::string(name) + "[" + std::to_string(i) +
                                  "] contains a line feed");
    }
  }
  return {};
}

Result<void> check_optional_line_feed(const char* name, const std::optional<std::string>& s) {
  if (s && has_line_feed(*s))
    return Error::invalid_input(std::string(name) + " contains a line feed");
  return {};
}

}  // namespace

Result<Layout> build_layout(const WriteColumns& c, std::size_t n_panel_names) {
  QN_TRY(check_lengths(c));
  const std::size_t n_obs = c.I.size();
  const std::size_t n_cryst = c.n_refl.size();
  const std::size_t n_img = c.beam_energy.size();

  Layout layout;
  layout.offsets.resize(n_cryst + 1);
  layout.offsets[0] = 0;
  for (std::size_t k = 0; k < n_cryst; ++k) {
    const std::int32_t v = c.n_refl[k];
    const std::size_t start = layout.offsets[k];
    if (v < 0 || static_cast<std::size_t>(v) > n_obs - start) {
      return Error::invalid_input("n_refl[" + std::to_string(k) + "] = " + std::to_string(v) +
                                  " overruns the " + std::to_string(n_obs) + " observations");
    }
    layout.offsets[k + 1] = start + static_cast<std::size_t>(v);
  }

  // Crystals per image, as one flat list cut by image_start: count, prefix-sum, fill.
  // Filling in ascending crystal order keeps each image's list ascending.
  layout.image_start.assign(n_img + 1, 0);
  auto image_of = [&](std::size_t k) -> std::size_t {
    const std::int32_t m = c.image_id[k];
    return m >= 0 && static_cast<std::size_t>(m) < n_img ? static_cast<std::size_t>(m) : n_img;
  };
  for (std::size_t k = 0; k < n_cryst; ++k) {
    const std::size_t m = image_of(k);
    if (m < n_img) ++layout.image_start[m + 1];
  }
  for (std::size_t m = 0; m < n_img; ++m) layout.image_start[m + 1] += layout.image_start[m];
  layout.image_crystals.resize(layout.image_start[n_img]);
  {
    std::vector<std::size_t> next(layout.image_start.begin(), layout.image_start.end() - 1);
    for (std::size_t k = 0; k < n_cryst; ++k) {
      const std::size_t m = image_of(k);
      if (m < n_img) layout.image_crystals[next[m]++] = k;
    }
  }

  // Every observation is looked up, also those that no crystal owns. One pass marks
  // the distinct ids (a store per row, no branch); only the few distinct ids are
  // then resolved. A bad id sends a second pass after the first row that holds one,
  // since that row is the one reported.
  layout.n_panel_names = n_panel_names;
  layout.panel_used.assign(n_panel_names, 0);
  std::vector<std::uint8_t> seen(std::size_t{1} << 16, 0);
  for (const std::int16_t p : c.panel_id) seen[static_cast<std::uint16_t>(p)] = 1;
  const auto n_names = static_cast<std::int64_t>(n_panel_names);
  auto position = [&](std::int16_t p) -> std::int64_t {
    return p >= 0 ? p : std::int64_t{p} + n_names;
  };
  bool all_named = true;
  for (std::size_t raw = 0; raw < seen.size(); ++raw) {
    if (seen[raw] == 0) continue;
    const std::int64_t pos = position(static_cast<std::int16_t>(static_cast<std::uint16_t>(raw)));
    if (pos < 0 || pos >= n_names) {
      all_named = false;
      break;
    }
    layout.panel_used[static_cast<std::size_t>(pos)] = 1;
  }
  if (!all_named) {
    for (const std::int16_t p : c.panel_id) {
      const std::int64_t pos = position(p);
      if (pos < 0 || pos >= n_names) {
        return Error::invalid_input("panel_id " + std::to_string(p) + " has no name (" +
                                    std::to_string(n_panel_names) + " panel names)");
      }
    }
  }
  return layout;
}

Result<void> check_text(const WriteText& text, const Layout& layout) {
  // Only the entries that reach the file are examined.
  const std::size_t n_img = layout.n_images();
  QN_TRY(check_list_line_feeds("filenames", text.filenames, n_img));
  QN_TRY(check_list_line_feeds("events", text.events, n_img));

  // A reflection row is split on white space when read back, so its panel name must
  // be one non-empty field.
  for (std::size_t j = 0; j < layout.panel_used.size() && j < text.panel_names.size(); ++j) {
    if (layout.panel_used[j] == 0) continue;
    const std::string& name = text.panel_names[j];
    if (name.empty())
      return Error::invalid_input("panel_names[" + std::to_string(j) + "] is empty");
    if (contains_py_space(name)) {
      return Error::invalid_input("panel_names[" + std::to_string(j) + "] contains white space");
    }
  }

  QN_TRY(check_optional_line_feed("lattice_type", text.lattice_type));
  QN_TRY(check_optional_line_feed("centering", text.centering));
  QN_TRY(check_optional_line_feed("unique_axis", text.unique_axis));
  if (!text.header.empty() && text.header.back() != '\n') {
    return Error::invalid_input("header must end with a line feed");
  }
  return {};
}

}  // namespace qn
