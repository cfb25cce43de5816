#include "base/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace qn {
namespace {

// Opens with O_NONBLOCK, so that no open waits on a named pipe, checks the type with
// `allowed`, then clears O_NONBLOCK for the reads and writes that follow.
template <class Allowed>
Result<UniqueFd> open_checked(const std::string& path, int flags, Allowed&& allowed,
                              struct stat& st) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  UniqueFd file(fd);
  if (::fstat(fd, &st) != 0) return Error::from_errno(errno);
  if (!allowed(st.st_mode)) {
    const unsigned mode = st.st_mode;
    const char* what = S_ISFIFO(mode)   ? "a named pipe"
                       : S_ISSOCK(mode) ? "a socket"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                                        : "of an unknown type";
    return Error::with_message(ErrorKind::kOther, std::string("not a regular file: ") + what);
  }
  const int now = ::fcntl(fd, F_GETFL);
  if (now < 0 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) < 0) return Error::from_errno(errno);
  return file;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<OpenedFile> open_for_reading(const std::string& path) {
  struct stat st {};
  QN_ASSIGN_OR_RETURN(UniqueFd fd,
                      open_checked(
                          path, O_RDONLY,
                          [](unsigned mode) { return S_ISREG(mode) || S_ISDIR(mode); }, st));
  return OpenedFile{std::move(fd), static_cast<std::uint64_t>(st.st_size)};
}

Result<CreatedFile> create_for_writing(const std::string& path) {
  struct stat st {};
  QN_ASSIGN_OR_RETURN(UniqueFd fd,
                      open_checked(
                          path, O_CREAT | O_TRUNC | O_WRONLY,
                          [](unsigned mode) { return S_ISREG(mode) || S_ISCHR(mode); }, st));
  return CreatedFile{std::move(fd), S_ISREG(st.st_mode), st.st_dev, st.st_ino};
}

void remove_created(const std::string& path, const CreatedFile& file) noexcept {
  struct stat st {};
  if (file.regular && ::stat(path.c_str(), &st) == 0 && st.st_dev == file.device &&
      st.st_ino == file.inode) {
    ::unlink(path.c_str());
  }
}

Result<std::size_t> read_at(int fd, std::uint64_t offset, char* out, std::size_t n) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Error::from_errno(EINVAL);
  ssize_t got;
  do {
    got = ::pread(fd, out, n, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Error::from_errno(errno);
  return static_cast<std::size_t>(got);
}

Result<void> write_all(int fd, const char* data, std::size_t n, std::size_t& written,
                       const char* zero_text) {
  written = 0;
  while (written < n) {
    const ssize_t k = ::write(fd, data + written, n - written);
    if (k < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    if (k == 0) return Error::with_message(ErrorKind::kOther, zero_text);
    written += static_cast<std::size_t>(k);
  }
  return {};
}

}  // namespace qn
