#include "parse/panel_lookup.hpp"

namespace qn {

PanelLookup::PanelLookup(const PanelMap& panels) : panels_(panels) {
  std::size_t n_short = 0;
  for (const auto& entry : panels) {
    if (!entry.first.empty() && entry.first.size() <= kMaxShort) ++n_short;
  }
  // At most half full, so probes stay short and always meet an empty slot.
  std::size_t capacity = 16;
  shift_ = 60;
  while (capacity < 2 * n_short) {
    capacity *= 2;
    --shift_;
  }
  slots_.assign(capacity, Slot{});
  mask_ = capacity - 1;
  for (const auto& [name, id] : panels) {
    if (name.empty() || name.size() > kMaxShort) continue;
    const Key key = key_of(name);
    std::size_t i = slot_of(key);
    while (slots_[i].size != 0) i = (i + 1) & mask_;  // names in a map are distinct
    slots_[i] = Slot{key.head, key.tail, key.size, id};
  }
}

std::int16_t PanelLookup::find_in_map(std::string_view name) const noexcept {
  const auto it = panels_.find(name);
  return it == panels_.end() ? std::int16_t{0} : it->second;
}

}  // namespace qn
