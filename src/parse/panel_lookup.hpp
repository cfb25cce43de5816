// PanelLookup: the panel map, read once per reflection row.
//
// Panel names are short, so each name of up to 16 bytes is keyed by two 64-bit
// words loaded straight from its bytes plus its length, and found with one
// multiplicative hash and one probe in the common case: no byte loop, no
// division, no string comparison. Longer names go to the map itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "parse/parse_unit.hpp"

namespace qn {

class PanelLookup {
 public:
  /// Indexes every name of `panels`, which must outlive the lookup.
  explicit PanelLookup(const PanelMap& panels);

  /// The panel_id of `name` in the map, or 0 when the name is not in it.
  [[nodiscard]] std::int16_t find(std::string_view name) const noexcept {
    if (name.empty() || name.size() > kMaxShort) return find_in_map(name);
    const Key key = key_of(name);
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.size == key.size && s.head == key.head && s.tail == key.tail) return s.id;
      if (s.size == 0) return 0;  // an empty slot ends the probe
    }
  }

 private:
  static constexpr std::size_t kMaxShort = 16;

  // A name of 1 to 16 bytes, unique for its length: bytes [0, 8) and
  // [size - 8, size) for 8 bytes or more, [0, 4) and [size - 4, size) for 4 to
  // 7, and the first, middle and last byte for 1 to 3 cover every byte.
  struct Key {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::uint32_t size = 0;
  };
  struct Slot {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::uint32_t size = 0;  ///< 0 marks an empty slot
    std::int16_t id = 0;
  };

  static Key key_of(std::string_view name) noexcept;
  [[nodiscard]] std::size_t slot_of(const Key& key) const noexcept {
    const std::uint64_t h =
        (key.head ^ (key.tail * 0x9E3779B97F4A7C15ULL) ^ key.size ^ seed_) * 0xBF58476D1CE4E5B9ULL;
    return static_cast<std::size_t>(h >> shift_);
  }
  [[nodiscard]] std::int16_t find_in_map(std::string_view name) const noexcept;

  const PanelMap& panels_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::uint64_t seed_ = 0;
};

inline PanelLookup::Key PanelLookup::key_of(std::string_view name) noexcept {
  const char* p = name.data();
  const std::size_t n = name.size();
  Key k;
  k.size = static_cast<std::uint32_t>(n);
  if (n >= 8) {
    std::memcpy(&k.head, p, 8);
    std::memcpy(&k.tail, p + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    k.head = a;
    k.tail = b;
  } else {
    const auto byte = [p](std::size_t i) {
      return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]));
    };
    k.head = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
  }
  return k;
}

}  // namespace qn
