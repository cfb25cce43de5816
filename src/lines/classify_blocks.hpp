// The block walk shared by every classification path. Each path's source file
// compiles it with its own instruction set and its own `Masks`, a type local to that
// file, so no instance of it is shared between paths.
//
// `Masks` supplies, for 64 readable bytes, the line-feed and white-space masks
// (bit i for byte i) and a population count suited to its instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lines/classify.hpp"

namespace qn::classify_detail {

inline constexpr std::uint32_t kMaxFields = std::uint32_t{1} << 30;

template <class Masks>
inline std::size_t walk_blocks(const char* data, std::size_t n, ClassifyCarry& carry,
                               LineEnd* out) {
  std::uint64_t in_field = carry.in_field ? 1 : 0;
  std::uint64_t fields = carry.fields;
  std::size_t k = 0;
  // Bits at and past `len` of a short last block are masked off.
  const auto block = [&](std::size_t base, std::uint64_t newline, std::uint64_t space,
                         unsigned len) {
    const std::uint64_t valid = len == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << len) - 1;
    const std::uint64_t nonspace = ~space & valid;
    std::uint64_t starts = nonspace & ~((nonspace << 1) | in_field);
    in_field = (nonspace >> (len - 1)) & 1;
    newline &= valid;
    while (newline != 0) {
      const unsigned b = static_cast<unsigned>(__builtin_ctzll(newline));
      const std::uint64_t upto = (std::uint64_t{2} << b) - 1;  // bits 0..b
      fields += Masks::popcount(starts & upto);
      out[k++] = LineEnd{static_cast<std::uint32_t>(base + b),
                         static_cast<std::uint32_t>(fields < kMaxFields ? fields : kMaxFields)};
      fields = 0;
      starts &= ~upto;
      newline &= newline - 1;
    }
    fields += Masks::popcount(starts);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::uint64_t newline = 0;
  std::uint64_t space = 0;
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    Masks::of(p + i, newline, space);
    block(i, newline, space, 64);
  }
  if (i < n) {
    alignas(64) unsigned char tail[64];
    std::memset(tail, ' ', sizeof tail);
    std::memcpy(tail, p + i, n - i);
    Masks::of(tail, newline, space);
    block(i, newline, space, static_cast<unsigned>(n - i));
  }
  carry.in_field = in_field != 0;
  carry.fields = static_cast<std::uint32_t>(fields < kMaxFields ? fields : kMaxFields);
  return k;
}

}  // namespace qn::classify_detail
