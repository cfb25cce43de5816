#include "parse/panel_lookup.hpp"

namespace qn {

PanelLookup::PanelLookup(const PanelMap& panels) : panels_(panels) {
  std::vector<Key> keys;
  std::vector<std::int16_t> ids;
  for (const auto& [name, id] : panels) {
    if (name.empty() || name.size() > kMaxShort) continue;
    keys.push_back(key_of(name));
    ids.push_back(id);
  }
  // Each name should find itself at its first probe: a probe loop that sometimes
  // goes on costs a mispredicted branch on the rows that hit a collision. So the
  // table is made two to sixteen times as large as the names and the hash seeded
  // until no two names share a slot; where no such table is found, one four times
  // as large keeps the collisions few, and probing finds the rest.
  std::size_t smallest = 16;
  unsigned smallest_shift = 60;
  while (smallest < 2 * keys.size()) {
    smallest *= 2;
    --smallest_shift;
  }
  std::vector<bool> taken;
  const auto fill = [&](std::size_t capacity, unsigned shift, std::uint64_t seed, bool probe) {
    mask_ = capacity - 1;
    shift_ = shift;
    seed_ = seed;
    if (!probe) {
      taken.assign(capacity, false);
      for (const Key& key : keys) {
        const std::size_t i = slot_of(key);
        if (taken[i]) return false;
        taken[i] = true;
      }
    }
    slots_.assign(capacity, Slot{});
    for (std::size_t k = 0; k < keys.size(); ++k) {
      std::size_t i = slot_of(keys[k]);
      while (slots_[i].size != 0) i = (i + 1) & mask_;  // names in a map are distinct
      slots_[i] = Slot{keys[k].head, keys[k].tail, keys[k].size, ids[k]};
    }
    return true;
  };
  // Past a few hundred names such a table is rarely found, and looking costs more
  // than the collisions.
  constexpr std::size_t kMostSought = 256;
  for (unsigned doubling = 0; doubling < 4 && keys.size() <= kMostSought; ++doubling) {
    for (std::uint64_t seed = 0; seed < 64; ++seed) {
      if (fill(smallest << doubling, smallest_shift - doubling, seed, false)) return;
    }
  }
  fill(smallest << 2, smallest_shift - 2, 0, true);
}

std::int16_t PanelLookup::find_in_map(std::string_view name) const noexcept {
  const auto it = panels_.find(name);
  return it == panels_.end() ? std::int16_t{0} : it->second;
}

}  // namespace qn
