#include "lines/byte_source.hpp"

#include <algorithm>
#include <cstring>

namespace qn {

Result<FileSource> FileSource::open(const std::string& path) {
  QN_ASSIGN_OR_RETURN(OpenedFile file, open_for_reading(path));
  return FileSource(std::move(file));
}

Result<std::size_t> FileSource::read_at(std::uint64_t offset, char* out, std::size_t n) const {
  if (offset >= size_) return std::size_t{0};
  const std::uint64_t left = size_ - offset;
  return qn::read_at(fd_.get(), offset, out, left < n ? static_cast<std::size_t>(left) : n);
}

Result<std::size_t> MemorySource::read_at(std::uint64_t offset, char* out, std::size_t n) const {
  if (offset >= bytes_.size()) return std::size_t{0};
  const std::size_t k = std::min<std::uint64_t>(n, bytes_.size() - offset);
  std::memcpy(out, bytes_.data() + offset, k);
  return k;
}

}  // namespace qn
