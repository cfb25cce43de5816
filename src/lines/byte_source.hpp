// ByteSource: where the lines of a stream come from. A small positional-read
// interface, so that the readers above it neither know nor care whether the bytes
// are a file, memory, or (later) the output of a decompressor.
//
// A source has a fixed size, taken when it was made: nothing at or past it is read,
// so a file that grows while it is read, or one that reports size 0 (a /proc file),
// ends there. read_at() may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/io.hpp"
#include "base/result.hpp"

namespace qn {

class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  /// The number of bytes the source holds.
  [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;

  /// Reads up to `n` bytes at `offset` into `out` and returns how many it read: `n`
  /// unless the source ends first (0 at or past its end).
  virtual Result<std::size_t> read_at(std::uint64_t offset, char* out, std::size_t n) const = 0;

 protected:
  ByteSource(ByteSource&&) = default;
  ByteSource& operator=(ByteSource&&) = default;
};

/// The bytes of a file, up to the size it had when it was opened.
class FileSource final : public ByteSource {
 public:
  /// Opens `path` with open_for_reading().
  static Result<FileSource> open(const std::string& path);

  FileSource(FileSource&&) = default;
  FileSource& operator=(FileSource&&) = default;

  [[nodiscard]] std::uint64_t size() const noexcept override { return size_; }
  Result<std::size_t> read_at(std::uint64_t offset, char* out, std::size_t n) const override;

 private:
  explicit FileSource(OpenedFile file) : fd_(std::move(file.fd)), size_(file.size) {}
  UniqueFd fd_;
  std::uint64_t size_;
};

/// Bytes in memory that the caller keeps alive while the source is used.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes) {}

  [[nodiscard]] std::uint64_t size() const noexcept override { return bytes_.size(); }
  Result<std::size_t> read_at(std::uint64_t offset, char* out, std::size_t n) const override;

 private:
  std::string_view bytes_;
};

}  // namespace qn
