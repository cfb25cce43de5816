// Pool: the worker threads of one call.
//
// A Pool serves one call: helper threads are started lazily, never more than
// the work in hand asks for, and all of them are joined when the Pool is
// destroyed, so no thread outlives the call that made it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qn {

/// Most threads that serve one call.
inline constexpr std::uint64_t kMaxPoolThreads = 65535;

class Pool {
 public:
  /// A pool whose runs use at most `max_threads` threads, the caller of run() included.
  explicit Pool(std::size_t max_threads);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  [[nodiscard]] std::size_t max_threads() const noexcept { return max_threads_; }
  /// Helper threads started so far (they live until the pool is destroyed).
  [[nodiscard]] std::size_t helpers_started() const noexcept { return helpers_.size(); }

  /// Runs `body` on the calling thread and on up to min(workers, max_threads) - 1
  /// helpers at once; returns when every participant has returned. `body` must not throw.
  void run(std::size_t workers, const std::function<void()>& body);

 private:
  void helper_loop();

  std::size_t max_threads_;
  std::vector<std::thread> helpers_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void()>* task_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t seats_ = 0;    // helpers still allowed to join the current run
  std::size_t running_ = 0;  // helpers inside the current run
  bool stopping_ = false;
};

}  // namespace qn
