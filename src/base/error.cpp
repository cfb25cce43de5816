#include "base/error.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

namespace qn {

ErrorKind kind_of_errno(int e) noexcept {
  switch (e) {
    case EINVAL: return ErrorKind::kInvalidInput;
    case ENOENT: return ErrorKind::kNotFound;
    case EPERM:
    case EACCES: return ErrorKind::kPermissionDenied;
    case ECONNREFUSED: return ErrorKind::kConnectionRefused;
    case ECONNRESET: return ErrorKind::kConnectionReset;
    case ECONNABORTED: return ErrorKind::kConnectionAborted;
    case EPIPE: return ErrorKind::kBrokenPipe;
    case EEXIST: return ErrorKind::kAlreadyExists;
    case EAGAIN: return ErrorKind::kWouldBlock;
    case ENOTDIR: return ErrorKind::kNotADirectory;
    case EISDIR: return ErrorKind::kIsADirectory;
    case ETIMEDOUT: return ErrorKind::kTimedOut;
    case EINTR: return ErrorKind::kInterrupted;
    case ENOMEM: return ErrorKind::kOutOfMemory;
    default: return ErrorKind::kOther;
  }
}

std::string os_error_text(int e) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(e, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(e);
  out += ')';
  return out;
}

Error Error::from_errno(int e) { return Error{kind_of_errno(e), e, {}}; }

Error Error::invalid_input(std::string text) {
  return Error{ErrorKind::kInvalidInput, 0, std::move(text)};
}

Error Error::with_message(ErrorKind kind, std::string text) {
  return Error{kind, 0, std::move(text)};
}

Error error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Error::with_message(ErrorKind::kOutOfMemory, "memory allocation failed");
  } catch (const std::exception& e) {
    return Error::with_message(ErrorKind::kPanic, e.what());
  } catch (...) {
    return Error::with_message(ErrorKind::kPanic, "unknown C++ exception");
  }
}

std::string Error::display() const { return os_errno != 0 ? os_error_text(os_errno) : message; }

}  // namespace qn
