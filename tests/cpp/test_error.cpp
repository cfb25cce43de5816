#include <gtest/gtest.h>

#include <cerrno>

#include "base/error.hpp"

namespace qn {
namespace {

struct ErrnoCase {
  int number;
  ErrorKind kind;
};

class ErrnoKinds : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoKinds, EachNumberHasItsKind) {
  const Error e = Error::from_errno(GetParam().number);
  EXPECT_EQ(e.kind, GetParam().kind);
  // "{strerror} (os error {n})", the text Python shows.
  const std::string suffix = " (os error " + std::to_string(GetParam().number) + ")";
  const std::string text = e.display();
  ASSERT_GT(text.size(), suffix.size());
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoKinds,
    ::testing::Values(
        ErrnoCase{EINVAL, ErrorKind::kInvalidInput}, ErrnoCase{ENOENT, ErrorKind::kNotFound},
        ErrnoCase{EPERM, ErrorKind::kPermissionDenied},
        ErrnoCase{EACCES, ErrorKind::kPermissionDenied},
        ErrnoCase{ECONNREFUSED, ErrorKind::kConnectionRefused},
        ErrnoCase{ECONNRESET, ErrorKind::kConnectionReset},
        ErrnoCase{ECONNABORTED, ErrorKind::kConnectionAborted},
        ErrnoCase{EPIPE, ErrorKind::kBrokenPipe}, ErrnoCase{EEXIST, ErrorKind::kAlreadyExists},
        ErrnoCase{EAGAIN, ErrorKind::kWouldBlock}, ErrnoCase{ENOTDIR, ErrorKind::kNotADirectory},
        ErrnoCase{EISDIR, ErrorKind::kIsADirectory}, ErrnoCase{ETIMEDOUT, ErrorKind::kTimedOut},
        ErrnoCase{EINTR, ErrorKind::kInterrupted}, ErrnoCase{ENOMEM, ErrorKind::kOutOfMemory},
        ErrnoCase{ENOSPC, ErrorKind::kOther}, ErrnoCase{EIO, ErrorKind::kOther}));

TEST(Error, DisplayTexts) {
  EXPECT_EQ(Error::from_errno(ENOENT).display(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::from_errno(EISDIR).display(), "Is a directory (os error 21)");
  EXPECT_EQ(Error::invalid_input("chunks must have 4 columns, got 5").display(),
            "chunks must have 4 columns, got 5");
}

}  // namespace
}  // namespace qn
