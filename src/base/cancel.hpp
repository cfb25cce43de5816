// Cancel: how the threads of one call learn that the caller wants it to stop.
//
// The call's own thread may carry a probe that asks the outside world (in the module:
// whether a signal such as Ctrl-C is pending). Every thread calls stop_requested() at
// its checkpoints; on the call's own thread that also runs the probe, at most once per
// probe interval, and a probe that says stop raises the flag every thread reads.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "base/error.hpp"

namespace qn {

class Cancel {
 public:
  /// Asks the outside world whether to stop; `context` is the one given with it.
  using Probe = bool (*)(void* context);

  /// Time between two probes; a request is seen about this long after it is made.
  static constexpr std::chrono::milliseconds kProbeInterval{50};

  /// A Cancel that stops only when request() is called.
  Cancel() = default;
  /// A Cancel whose probe runs on the constructing thread only.
  Cancel(Probe probe, void* context) noexcept
      : probe_(probe), context_(context), owner_(std::this_thread::get_id()) {}
  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;

  /// A checkpoint: true once the call should stop. Safe on any thread.
  bool stop_requested() noexcept {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (probe_ != nullptr && std::this_thread::get_id() == owner_) run_probe_if_due();
    return stop_.load(std::memory_order_relaxed);
  }

  /// Makes every later checkpoint return true.
  void request() noexcept { stop_.store(true, std::memory_order_relaxed); }

  /// True once a stop was requested or probed; runs no probe.
  [[nodiscard]] bool requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  /// The error that a job returns when it stopped at a checkpoint.
  static Error error();

 private:
  void run_probe_if_due() noexcept;

  std::atomic<bool> stop_{false};
  Probe probe_ = nullptr;
  void* context_ = nullptr;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point last_probe_{};  // touched by the owner only
};

/// A checkpoint on an optional Cancel: false when there is none.
inline bool stop_requested(Cancel* cancel) noexcept {
  return cancel != nullptr && cancel->stop_requested();
}

}  // namespace qn
