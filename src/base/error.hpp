// The one error type of all native work, and how it is displayed.
#pragma once

#include <cstdint>
#include <string>

namespace qn {

/// Classification of a failure; decides which Python exception it becomes.
enum class ErrorKind : std::uint8_t {
  kInvalidInput,       ///< a check of ours failed, or EINVAL
  kNotFound,           ///< ENOENT
  kPermissionDenied,   ///< EPERM, EACCES
  kConnectionRefused,  ///< ECONNREFUSED
  kConnectionReset,    ///< ECONNRESET
  kConnectionAborted,  ///< ECONNABORTED
  kBrokenPipe,         ///< EPIPE
  kAlreadyExists,      ///< EEXIST
  kWouldBlock,         ///< EAGAIN
  kNotADirectory,      ///< ENOTDIR
  kIsADirectory,       ///< EISDIR
  kTimedOut,           ///< ETIMEDOUT
  kInterrupted,        ///< EINTR
  kOutOfMemory,        ///< ENOMEM, or an allocation that failed
  kOther,              ///< any other operating-system error, or a plain I/O failure
  kPoolFailed,         ///< the worker pool could not be started
  kPanic,              ///< a broken invariant: a bug in us, never the input's fault
  kCancelled,          ///< the caller asked the call to stop (Cancel)
};

/// A failure: a kind with either an operating-system error number or a message.
struct Error {
  ErrorKind kind = ErrorKind::kOther;
  int os_errno = 0;     ///< 0 when the error carries a message instead
  std::string message;  ///< used when os_errno is 0

  /// An error of the kind that `errno_value` belongs to, displayed from strerror.
  static Error from_errno(int errno_value);
  /// An invalid-input error with the given text.
  static Error invalid_input(std::string text);
  /// An error of any kind with a message text.
  static Error with_message(ErrorKind kind, std::string text);

  /// "message", or for an OS error "{strerror} (os error {n})".
  [[nodiscard]] std::string display() const;
};

/// The Error that stands for the C++ exception being handled (call only in a catch
/// block): std::bad_alloc is out of memory, anything else a panic with its text. The
/// one translation of C++ exceptions; the module raises what this returns.
Error error_from_current_exception() noexcept;

/// The kind that an operating-system error number belongs to.
ErrorKind kind_of_errno(int errno_value) noexcept;

/// "{strerror} (os error {n})".
std::string os_error_text(int errno_value);

}  // namespace qn
