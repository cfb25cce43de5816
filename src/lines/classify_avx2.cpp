// The AVX2 path: two 32-byte compares per mask. Compiled with -mavx2 and only
// called once the processor was found to have AVX2.
#include <immintrin.h>

#include "lines/classify_blocks.hpp"

namespace qn {
namespace {

struct Avx2Masks {
  static std::uint64_t popcount(std::uint64_t x) noexcept {
    return static_cast<std::uint64_t>(_mm_popcnt_u64(x));
  }
  static void of(const unsigned char* p, std::uint64_t& newline, std::uint64_t& space) noexcept {
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i blank = _mm256_set1_epi8(' ');
    const __m256i below = _mm256_set1_epi8(0x08);
    const __m256i above = _mm256_set1_epi8(0x0E);
    std::uint64_t nl = 0;
    std::uint64_t ws = 0;
    for (int half = 0; half < 2; ++half) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
      // Signed compares: bytes from 0x80 up are negative and never inside 0x09..0x0D.
      const __m256i ctl =
          _mm256_and_si256(_mm256_cmpgt_epi8(v, below), _mm256_cmpgt_epi8(above, v));
      const __m256i w = _mm256_or_si256(ctl, _mm256_cmpeq_epi8(v, blank));
      const auto n32 = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lf)));
      const auto w32 = static_cast<std::uint32_t>(_mm256_movemask_epi8(w));
      nl |= std::uint64_t{n32} << (32 * half);
      ws |= std::uint64_t{w32} << (32 * half);
    }
    newline = nl;
    space = ws;
  }
};

}  // namespace

std::size_t classify_lines_avx2(const char* data, std::size_t n, ClassifyCarry& carry,
                                LineEnd* out) {
  return classify_detail::walk_blocks<Avx2Masks>(data, n, carry, out);
}

}  // namespace qn
