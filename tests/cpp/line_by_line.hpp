// The reference for parse_unit's rows taken straight from the reader's buffer: the
// text of one range handed to the parser a line at a time, each cut as the line
// reader cuts it (up to its line feed, carriage returns and line feeds at its end
// removed).
#pragma once

#include <string>
#include <string_view>

#include "parse/chunk_parser.hpp"
#include "parse/panel_lookup.hpp"
#include "parse/parse_unit.hpp"

namespace qn::testing {

inline UnitResult parse_line_by_line(std::string_view text, const PanelMap& panels,
                                     CapacityHints hints) {
  UnitResult unit{Columns::with_capacity(hints.observations, hints.crystals, hints.images), {}};
  const PanelLookup lookup(panels);
  std::string decoded;
  std::string scratch;
  Parser parser(unit.columns, unit.report, lookup, scratch);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t stop = text.find('\n', at);
    if (stop == std::string_view::npos) stop = text.size();
    std::size_t len = stop - at;
    while (len > 0 && (text[at + len - 1] == '\r' || text[at + len - 1] == '\n')) --len;
    parser.handle_line(text.substr(at, len), at, decoded);
    at = stop + 1;
  }
  parser.finish(text.size());
  return unit;
}

}  // namespace qn::testing
