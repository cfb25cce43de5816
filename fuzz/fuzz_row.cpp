// Differential fuzz target for the fast reflection row readers: whatever the
// bytes, the fixed-column reader and the ASCII reader either decline the row or
// give, bit for bit, what the reference reader gives for the decoded line.
//
// The input is the row itself when its first byte is odd. Otherwise the input
// builds a row in the writer's fixed columns from its bytes (three indices, six
// measurements, a panel name) and then changes it, a few bytes at a time, so
// that the fuzzer spends its time near the layout the fixed reader takes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "parse/fixed_row.hpp"
#include "parse/reflection_row.hpp"
#include "parse/utf8_decode.hpp"

namespace {

void check(bool ok, const char* what, std::string_view row) {
  if (!ok) {
    std::fprintf(stderr, "%s for the row \"%.*s\"\n", what, static_cast<int>(row.size()),
                 row.data());
    std::abort();
  }
}

// Takes bytes from the front of the input; zeros once it is used up.
struct Input {
  const std::uint8_t* p;
  std::size_t n;

  std::uint32_t take(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      v = v << 8 | (n > 0 ? *p : 0u);
      if (n > 0) ++p, --n;
    }
    return v;
  }
};

std::string writer_row(Input& in) {
  const auto index = [&] { return static_cast<int>(in.take(2) % 22000) - 11000; };
  const auto measurement = [&](int decimals) {
    const auto v = static_cast<double>(static_cast<std::int32_t>(in.take(4)));
    return decimals == 2 ? v / 100.0 : v / 10.0;
  };
  const int h = index(), k = index(), l = index();
  double m[6];
  for (int i = 0; i < 6; ++i) m[i] = measurement(i < 4 ? 2 : 1);
  std::string panel;
  for (std::uint32_t len = in.take(1) % 30; len > 0; --len) {
    panel += static_cast<char>(in.take(1));
  }
  char buf[512];
  const int n =
      std::snprintf(buf, sizeof buf, "%4d %4d %4d %10.2f %10.2f %10.2f %10.2f%7.1f %6.1f ", h, k, l,
                    m[0], m[1], m[2], m[3], m[4], m[5]);
  std::string row(buf, static_cast<std::size_t>(n));
  row += panel;
  // Changes: (place, byte) pairs; a byte of 0xFF removes the place's byte instead.
  while (in.n >= 2 && !row.empty()) {
    const std::size_t at = in.take(1) % row.size();
    const auto b = static_cast<char>(in.take(1));
    if (static_cast<unsigned char>(b) == 0xFF) {
      row.erase(at, 1);
    } else {
      row[at] = b;
    }
  }
  return row;
}

// One fast reader against the reference, on a copy of the exact size, so that a
// read past the row's end shows under AddressSanitizer.
void compare(bool (*reader)(std::string_view, qn::ReflectionValues&) noexcept,
             std::string_view text, const char* name) {
  const std::unique_ptr<char[]> copy(new char[text.size()]);
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  const std::string_view row(copy.get(), text.size());
  qn::ReflectionValues fast{}, ref{};
  if (!reader(row, fast)) return;
  std::string scratch;
  const std::optional<qn::Reason> dropped =
      qn::read_reflection_row(qn::decode_utf8_lossy(row, scratch), ref);
  check(!dropped.has_value(), name, row);
  for (int i = 0; i < 3; ++i) check(fast.hkl[i] == ref.hkl[i], name, row);
  for (int i = 0; i < 6; ++i) {
    check(std::memcmp(&fast.measurements[i], &ref.measurements[i], sizeof(double)) == 0, name, row);
  }
  check(fast.panel == ref.panel, name, row);
  check(fast.panel.data() >= row.data() &&
            fast.panel.data() + fast.panel.size() <= row.data() + row.size(),
        name, row);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 512) return 0;
  std::string row;
  if ((data[0] & 1) != 0) {
    row.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else {
    Input in{data + 1, size - 1};
    row = writer_row(in);
  }
  compare(qn::read_reflection_row_fixed, row, "the fixed-column reader disagrees");
  compare(qn::read_reflection_row_ascii, row, "the ASCII reader disagrees");
  return 0;
}
