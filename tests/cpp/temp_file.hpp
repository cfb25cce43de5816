// Test input: bytes held in memory behind a ByteSource, or a file with given
// contents in the temporary directory, removed on destruction.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lines/byte_source.hpp"

namespace qn::testing {

/// Bytes kept in memory and read through a MemorySource.
class InMemory {
 public:
  explicit InMemory(std::string contents) : bytes_(std::move(contents)), source_(bytes_) {}
  InMemory(const InMemory&) = delete;
  InMemory& operator=(const InMemory&) = delete;
  [[nodiscard]] const ByteSource& source() const { return source_; }

 private:
  std::string bytes_;
  MemorySource source_;
};

/// Bytes in memory whose reads are noted: where each one was asked to write, and
/// from which offset.
class WatchedSource final : public ByteSource {
 public:
  struct Read {
    std::uint64_t offset;
    const char* out;
  };

  explicit WatchedSource(std::string contents) : bytes_(std::move(contents)), source_(bytes_) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return source_.size(); }
  Result<std::size_t> read_at(std::uint64_t offset, char* out, std::size_t n) const override {
    reads_.push_back({offset, out});
    return source_.read_at(offset, out, n);
  }
  [[nodiscard]] const std::vector<Read>& reads() const { return reads_; }

 private:
  std::string bytes_;
  MemorySource source_;
  mutable std::vector<Read> reads_;
};

class TempFile {
 public:
  explicit TempFile(std::string_view contents) {
    std::string templ =
        std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/qn_test_XXXXXX";
    const int fd = ::mkstemp(templ.data());
    if (fd >= 0) ::close(fd);
    path_ = templ;
    std::ofstream(path_, std::ios::binary)
        .write(contents.data(), static_cast<std::streamsize>(contents.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qn::testing
