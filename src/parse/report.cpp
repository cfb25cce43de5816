#include "parse/report.hpp"

#include <algorithm>

namespace qn {

void Report::record(Reason reason, std::uint64_t offset) noexcept {
  Entry& e = entries[static_cast<std::size_t>(reason)];
  ++e.count;
  e.first_offset = std::min(e.first_offset, offset);
}

void Report::merge(const Report& other) noexcept {
  for (std::size_t i = 0; i < kReasonCount; ++i) {
    entries[i].count += other.entries[i].count;
    entries[i].first_offset = std::min(entries[i].first_offset, other.entries[i].first_offset);
  }
}

bool Report::empty() const noexcept {
  return std::all_of(entries.begin(), entries.end(), [](const Entry& e) { return e.count == 0; });
}

}  // namespace qn
