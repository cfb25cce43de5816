// The AVX-512 path: one 64-byte compare per mask. Compiled with -mavx512bw and only
// called once the processor was found to have AVX-512BW.
#include <immintrin.h>

#include "lines/classify_blocks.hpp"

namespace qn {
namespace {

struct Avx512Masks {
  static std::uint64_t popcount(std::uint64_t x) noexcept {
    return static_cast<std::uint64_t>(_mm_popcnt_u64(x));
  }
  static void of(const unsigned char* p, std::uint64_t& newline, std::uint64_t& space) noexcept {
    const __m512i v = _mm512_loadu_si512(p);
    newline = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
    // 0x09..0x0D: after subtracting 9, the unsigned values below 5.
    space = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(' ')) |
            _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(9)), _mm512_set1_epi8(5));
  }
};

}  // namespace

std::size_t classify_lines_avx512(const char* data, std::size_t n, ClassifyCarry& carry,
                                  LineEnd* out) {
  return classify_detail::walk_blocks<Avx512Masks>(data, n, carry, out);
}

}  // namespace qn
