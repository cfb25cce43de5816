// One pass over the lines of a range. Marker tests look at the first byte and the
// length before comparing; the row test counts fields with 16-byte masks.
#include "index/scan.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lines/line_reader.hpp"

namespace qn {
namespace {

inline bool starts_with(std::string_view line, std::string_view marker) noexcept {
  return line.size() >= marker.size() && std::memcmp(line.data(), marker.data(), marker.size()) == 0;
}

inline bool is_boundary(std::string_view line) noexcept {
  return line.size() >= kEndChunk.size() && line[0] == '-' &&
         (starts_with(line, kBeginChunk) || starts_with(line, kEndChunk));
}

inline bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Bytes of a cut line kept for the marker tests: more than the longest marker.
constexpr std::size_t kKeptHeadBytes = 64;

enum class ListState { kOutside, kHeading, kRows };

// Bits set in a 16-bit mask. A table rather than __builtin_popcount, which compiles
// to a library call on the baseline instruction set the wheel is built for.
constexpr auto kBitsInByte = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>((i & 1) + t[i / 2]);
  return t;
}();

inline int bits16(unsigned mask) noexcept { return kBitsInByte[mask & 0xFF] + kBitsInByte[(mask >> 8) & 0xFF]; }

}  // namespace

void FieldCounter::feed(std::string_view piece) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  int fields = fields_;
  bool prev_space = prev_space_;
  std::size_t i = 0;
  if (fields >= 10) return;
#if defined(__SSE2__)
  // A field starts where a non-space byte follows a space (or the line start):
  // count those starts 16 bytes at a time.
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i lo = _mm_set1_epi8(0x08);
  const __m128i hi = _mm_set1_epi8(0x0E);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // Bytes 0x09..0x0D, compared as signed: bytes >= 0x80 are negative and never match.
    const __m128i ctl = _mm_and_si128(_mm_cmpgt_epi8(v, lo), _mm_cmplt_epi8(v, hi));
    const __m128i ws = _mm_or_si128(ctl, _mm_cmpeq_epi8(v, space));
    const unsigned nonspace = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFFu;
    const unsigned prev = ((nonspace << 1) | (prev_space ? 0u : 1u)) & 0xFFFFu;
    fields += bits16(nonspace & ~prev);
    prev_space = (nonspace & 0x8000u) == 0;
    if (fields >= 10) {
      fields_ = fields;
      return;
    }
  }
#endif
  for (; i < n && fields < 10; ++i) {
    const bool space = is_ascii_space(p[i]);
    if (!space && prev_space) ++fields;
    prev_space = space;
  }
  fields_ = fields;
  prev_space_ = prev_space;
}

bool has_ten_fields(std::string_view line) noexcept {
  FieldCounter counter;
  counter.feed(line);
  return counter.ten();
}

Result<Scan> scan(const ByteSource& source, std::uint64_t start, std::uint64_t end,
                  std::optional<std::int64_t> max_crystals, Cancel* cancel) {
  LineReader reader(source, start, end, cancel);
  Scan out;
  std::optional<Chunk> open;
  std::int64_t total = 0;
  ListState state = ListState::kOutside;
  Line line;
  std::string head;  // the kept beginning of a cut line
  for (;;) {
    QN_ASSIGN_OR_RETURN(const bool got, reader.next_line_head(line));
    if (!got) break;
    std::string_view text = line.bytes;
    bool ten_fields_of_cut_line = false;
    if (!line.whole) {
      // Its trailing carriage returns are not stripped: a line of nothing else acts
      // like an empty line in every state below anyway.
      FieldCounter fields;
      fields.feed(text);
      head.assign(text.substr(0, kKeptHeadBytes));
      QN_TRY(reader.read_rest([&](std::string_view piece) { fields.feed(piece); }));
      ten_fields_of_cut_line = fields.ten();
      text = head;
    }
    if (text.empty()) {
      if (state == ListState::kHeading) state = ListState::kRows;
      continue;
    }
    if (state != ListState::kOutside) {
      if (is_boundary(text)) {
        state = ListState::kOutside;  // handled below as outside
      } else if (state == ListState::kHeading) {
        state = ListState::kRows;
        continue;
      } else {
        if (text[0] == 'E' && starts_with(text, kReflectionsEnd)) {
          state = ListState::kOutside;
        } else if (open && (line.whole ? has_ten_fields(text) : ten_fields_of_cut_line)) {
          ++open->n_obs_upper;
        }
        continue;
      }
    }
    const char c = text[0];
    if (c == '-') {
      if (starts_with(text, kBeginChunk)) {
        if (open) {
          open->end = line.offset;
          total += static_cast<std::int64_t>(open->n_crystals);
          out.chunks.push_back(*open);
          if (max_crystals && total >= *max_crystals) return out;
        }
        open = Chunk{line.offset, 0, 0, 0};
      } else if (starts_with(text, kBeginCrystal)) {
        if (open) ++open->n_crystals;
      }
    } else if (c == 'R' && starts_with(text, kReflectionsStart)) {
      state = ListState::kHeading;
    }
  }
  out.open_chunk = open;
  return out;
}

Result<std::uint64_t> find_chunk_at_or_after(const ByteSource& source, std::uint64_t pos,
                                             std::uint64_t end, Cancel* cancel) {
  const std::uint64_t from = pos < end ? pos : end;
  // A search usually finds a marker within a few kilobytes: read in small steps.
  // Only line beginnings are looked at, so long lines are passed over, not held.
  LineReader reader =
      LineReader::with_capacity(source, from, end, LineReader::kMinCapacity, cancel);
  Line line;
  if (pos > 0) {
    QN_ASSIGN_OR_RETURN(const bool got, reader.next_line_head(line));
    if (!got) return end;
  }
  for (;;) {
    QN_ASSIGN_OR_RETURN(const bool got, reader.next_line_head(line));
    if (!got) return end;
    if (starts_with(line.bytes, kBeginChunk)) return line.offset;
  }
}

}  // namespace qn
