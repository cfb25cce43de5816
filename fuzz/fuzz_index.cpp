// Fuzz target: the line reader and the chunk scan over arbitrary bytes.
// Checks that every classification path this processor runs counts lines and fields
// as the byte-at-a-time count does (whole and cut in two) and gives the same chunk
// scan, that ranges cut anywhere yield every line once, and that the parallel index
// equals the serial one for several thread counts and piece sizes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "index/index_job.hpp"
#include "index/scan.hpp"
#include "lines/classify.hpp"
#include "lines/line_reader.hpp"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

std::vector<std::pair<std::uint64_t, std::string>> lines_of(const qn::ByteSource& source,
                                                            std::uint64_t start,
                                                            std::uint64_t end) {
  std::vector<std::pair<std::uint64_t, std::string>> out;
  qn::LineReader reader(source, start, end);
  qn::Line line;
  for (;;) {
    auto got = reader.next_line(line);
    check(got.has_value(), "read");
    if (!*got) break;
    out.emplace_back(line.offset, std::string(line.bytes));
  }
  return out;
}

// Every path's line ends and carry equal the byte-at-a-time ones, with the input
// given whole and given in two calls cut at `cut`.
void check_classify_paths(std::string_view bytes, std::size_t cut) {
  std::vector<qn::LineEnd> want(bytes.size() + 1);
  std::vector<qn::LineEnd> got(bytes.size() + 1);
  qn::ClassifyCarry want_carry;
  want.resize(qn::classify_lines_bytewise(bytes.data(), bytes.size(), want_carry, want.data()));
  for (qn::SimdPath p : {qn::SimdPath::kPortable, qn::SimdPath::kAvx2, qn::SimdPath::kAvx512}) {
    const qn::ClassifyFn fn = qn::classify_fn(p);
    if (fn == nullptr) continue;
    qn::ClassifyCarry carry;
    std::size_t k = fn(bytes.data(), bytes.size(), carry, got.data());
    check(k == want.size() && std::equal(want.begin(), want.end(), got.begin()) &&
              carry == want_carry,
          "classified whole");
    carry = {};
    k = fn(bytes.data(), cut, carry, got.data());
    for (std::size_t i = 0; i < k; ++i) check(got[i] == want[i], "classified before the cut");
    const std::size_t k2 = fn(bytes.data() + cut, bytes.size() - cut, carry, got.data() + k);
    for (std::size_t i = k; i < k + k2; ++i) got[i].pos += static_cast<std::uint32_t>(cut);
    check(k + k2 == want.size() && std::equal(want.begin(), want.end(), got.begin()) &&
              carry == want_carry,
          "classified in two calls");
  }
}

// The chunk scan gives the same rows on every path as with the byte-at-a-time count.
void check_scan_paths(const qn::ByteSource& source) {
  auto want =
      qn::scan(source, 0, source.size(), std::nullopt, nullptr, qn::classify_lines_bytewise);
  check(want.has_value(), "scan");
  for (qn::SimdPath p : {qn::SimdPath::kPortable, qn::SimdPath::kAvx2, qn::SimdPath::kAvx512}) {
    const qn::ClassifyFn fn = qn::classify_fn(p);
    if (fn == nullptr) continue;
    auto got = qn::scan(source, 0, source.size(), std::nullopt, nullptr, fn);
    check(got.has_value() && got->chunks == want->chunks && got->open_chunk == want->open_chunk,
          "scan equal on every path");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const qn::MemorySource source(bytes);
  check_scan_paths(source);
  check_classify_paths(bytes, size > 1 ? data[1] % (size + 1) : 0);

  // Cutting at a line start splits the lines between the two ranges exactly.
  const auto whole = lines_of(source, 0, size);
  const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
  const std::size_t line_start = cut == 0 ? 0 : bytes.find('\n', cut - 1);
  const std::uint64_t b =
      line_start == std::string_view::npos ? size : (cut == 0 ? 0 : line_start + 1);
  auto first = lines_of(source, 0, b);
  const auto second = lines_of(source, b, size);
  first.insert(first.end(), second.begin(), second.end());
  check(first == whole, "cut ranges yield each line once");

  auto serial = qn::index_source(source, 1, std::nullopt, nullptr);
  check(serial.has_value(), "serial index");
  // Pieces of the default size, and tiny ones that cut most chunks into many.
  const std::uint64_t tiny_piece = 1 + size % 97;
  for (std::uint64_t n : {2ull, 3ull, 7ull, 64ull, ~0ull}) {
    qn::Pool pool(4);
    for (std::uint64_t piece : {qn::kIndexPieceBytes, tiny_piece}) {
      auto parallel = qn::index_source(source, n, std::nullopt, &pool, nullptr, piece);
      check(parallel.has_value(), "parallel index");
      check(*parallel == *serial, "parallel index equals serial");
    }
  }
  std::uint64_t previous_end = 0;
  for (const auto& c : *serial) {
    check(c.start < c.end && c.end <= size, "row inside the file");
    check(previous_end == 0 || c.start == previous_end, "rows tile the file");
    previous_end = c.end;
  }
  return 0;
}
