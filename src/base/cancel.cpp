#include "base/cancel.hpp"

namespace qn {

void Cancel::run_probe_if_due() noexcept {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_probe_ < kProbeInterval) return;
  last_probe_ = now;
  if (probe_(context_)) request();
}

Error Cancel::error() {
  return Error::with_message(ErrorKind::kCancelled, "the call was cancelled");
}

}  // namespace qn
