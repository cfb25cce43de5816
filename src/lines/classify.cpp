// The portable and byte-at-a-time paths, and the choice of path.
#include "lines/classify.hpp"

#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lines/classify_blocks.hpp"

namespace qn {

#if defined(QUILLON_X86_PATHS)
std::size_t classify_lines_avx2(const char* data, std::size_t n, ClassifyCarry& carry,
                                LineEnd* out);
std::size_t classify_lines_avx512(const char* data, std::size_t n, ClassifyCarry& carry,
                                  LineEnd* out);
#endif

namespace {

inline bool is_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

struct PortableMasks {
  // Without a population-count instruction in the baseline set, the builtin would be
  // a library call: count in parallel within the word instead.
  static std::uint64_t popcount(std::uint64_t x) noexcept {
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return (x * 0x0101010101010101ULL) >> 56;
  }
  static void of(const unsigned char* p, std::uint64_t& newline, std::uint64_t& space) noexcept {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i below = _mm_set1_epi8(0x08);
    const __m128i above = _mm_set1_epi8(0x0E);
    std::uint64_t nl = 0;
    std::uint64_t ws = 0;
    for (int q = 0; q < 4; ++q) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
      // Signed compares: bytes from 0x80 up are negative and never inside 0x09..0x0D.
      const __m128i ctl = _mm_and_si128(_mm_cmpgt_epi8(v, below), _mm_cmplt_epi8(v, above));
      const __m128i w = _mm_or_si128(ctl, _mm_cmpeq_epi8(v, blank));
      nl |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf))) << (16 * q);
      ws |= static_cast<std::uint64_t>(_mm_movemask_epi8(w)) << (16 * q);
    }
    newline = nl;
    space = ws;
#else
    std::uint64_t nl = 0;
    std::uint64_t ws = 0;
    for (unsigned i = 0; i < 64; ++i) {
      nl |= std::uint64_t{p[i] == '\n'} << i;
      ws |= std::uint64_t{is_space(p[i])} << i;
    }
    newline = nl;
    space = ws;
#endif
  }
};

std::size_t classify_lines_portable(const char* data, std::size_t n, ClassifyCarry& carry,
                                    LineEnd* out) {
  return classify_detail::walk_blocks<PortableMasks>(data, n, carry, out);
}

bool cpu_has(SimdPath path) noexcept {
#if defined(QUILLON_X86_PATHS)
  // The checks include the operating system's support for the wider registers.
  __builtin_cpu_init();
  switch (path) {
    case SimdPath::kPortable: return true;
    case SimdPath::kAvx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    case SimdPath::kAvx512:
      return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("popcnt");
  }
  return false;
#else
  return path == SimdPath::kPortable;
#endif
}

}  // namespace

std::size_t classify_lines_bytewise(const char* data, std::size_t n, ClassifyCarry& carry,
                                    LineEnd* out) noexcept {
  std::uint32_t fields = carry.fields;
  bool in_field = carry.in_field;
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    const bool space = is_space(c);
    if (!space && !in_field && fields < classify_detail::kMaxFields) ++fields;
    in_field = !space;
    if (c == '\n') {
      out[k++] = LineEnd{static_cast<std::uint32_t>(i), fields};
      fields = 0;
    }
  }
  carry = ClassifyCarry{fields, in_field};
  return k;
}

const char* simd_path_name(SimdPath path) noexcept {
  switch (path) {
    case SimdPath::kPortable: return "portable";
    case SimdPath::kAvx2: return "avx2";
    case SimdPath::kAvx512: return "avx512";
  }
  return "?";
}

std::optional<SimdPath> simd_path_from_name(std::string_view name) noexcept {
  for (SimdPath p : {SimdPath::kPortable, SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (name == simd_path_name(p)) return p;
  }
  return std::nullopt;
}

bool simd_path_supported(SimdPath path) noexcept { return cpu_has(path); }

SimdPath choose_simd_path(const char* forced) noexcept {
  const std::optional<SimdPath> named =
      forced != nullptr ? simd_path_from_name(forced) : std::nullopt;
  SimdPath p = named.value_or(SimdPath::kAvx512);
  while (p != SimdPath::kPortable && !cpu_has(p)) {
    p = static_cast<SimdPath>(static_cast<int>(p) - 1);
  }
  return p;
}

ClassifyFn classify_fn(SimdPath path) noexcept {
  if (!cpu_has(path)) return nullptr;
  switch (path) {
    case SimdPath::kPortable: return classify_lines_portable;
#if defined(QUILLON_X86_PATHS)
    case SimdPath::kAvx2: return classify_lines_avx2;
    case SimdPath::kAvx512: return classify_lines_avx512;
#endif
    default: return nullptr;
  }
}

SimdPath simd_path() noexcept {
  static const SimdPath chosen = choose_simd_path(std::getenv("QUILLON_SIMD"));
  return chosen;
}

}  // namespace qn
