// Test input: bytes held in memory behind a ByteSource, or a file with given
// contents in the temporary directory, removed on destruction.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

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
