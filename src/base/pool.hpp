// The per-call worker pool and the parallel map built on it.
//
// A Pool serves one call: helper threads are started lazily, never more than
// the work in hand asks for, and all of them are joined when the Pool is
// destroyed, so no thread outlives the call that made it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "base/cancel.hpp"
#include "base/result.hpp"

namespace qn {

/// Most threads that serve one call.
inline constexpr std::uint64_t kMaxPoolThreads = 65535;

/// The Error that stands for the exception being handled (call only in a catch block).
Error error_from_current_exception() noexcept;

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
  std::size_t seats_ = 0;      // helpers still allowed to join the current run
  std::size_t running_ = 0;    // helpers inside the current run
  bool stopping_ = false;
};

/// Applies `fn(i)` (returning Result<T>) to i = 0 .. n-1 and collects the values in
/// index order. Serial on the calling thread when `pool` is null. The first error
/// recorded stops items not yet started and is returned; later errors are dropped.
/// A C++ exception thrown by `fn` is turned into an Error and handled the same way.
/// At most `max_workers` threads take part (never more than n).
template <class T, class F>
Result<std::vector<T>> parallel_map(Pool* pool, std::size_t n, F&& fn,
                                    std::size_t max_workers = SIZE_MAX) {
  std::vector<T> out;
  if (pool == nullptr || n <= 1) {
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      Result<T> r = [&]() -> Result<T> {
        try {
          return fn(i);
        } catch (...) {
          return error_from_current_exception();
        }
      }();
      if (!r) return std::move(r).error();
      out.push_back(std::move(r).value());
    }
    return out;
  }

  std::vector<std::optional<T>> slots(n);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mu;
  std::optional<Error> first_error;
  auto record = [&](Error e) {
    failed.store(true, std::memory_order_relaxed);
    // Only tried, never waited for: whoever holds the lock is storing an error already.
    std::unique_lock<std::mutex> lock(error_mu, std::try_to_lock);
    if (lock.owns_lock() && !first_error) first_error = std::move(e);
  };
  const std::function<void()> body = [&]() {
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) break;
      try {
        Result<T> r = fn(i);
        if (r) {
          slots[i].emplace(std::move(r).value());
        } else {
          record(std::move(r).error());
        }
      } catch (...) {
        record(error_from_current_exception());
      }
    }
  };
  pool->run(n < max_workers ? n : max_workers, body);
  if (failed.load()) {
    if (first_error) return std::move(*first_error);
    return Error::with_message(ErrorKind::kPanic, "a failing work item left no error");
  }
  out.reserve(n);
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

/// Runs a job the way every Python-facing function does: on the calling thread
/// when n_threads < 2, otherwise on a pool thread of a pool built for this call
/// (at most kMaxPoolThreads threads) while the caller waits. `job(Pool*)` returns
/// Result<T>; exceptions escaping it become errors. The pool is joined before return.
/// While it waits, the calling thread visits `cancel` (when given) once per probe
/// interval, so that its probe runs although the job runs elsewhere.
template <class T, class Job>
Result<T> run_job(std::uint64_t n_threads, Job&& job, Cancel* cancel = nullptr) {
  auto guarded = [&](Pool* pool) -> Result<T> {
    try {
      return job(pool);
    } catch (...) {
      return error_from_current_exception();
    }
  };
  if (n_threads < 2) return guarded(nullptr);

  std::optional<Result<T>> outcome;
  {
    Pool pool(static_cast<std::size_t>(n_threads < kMaxPoolThreads ? n_threads : kMaxPoolThreads));
    std::mutex mu;
    std::condition_variable finished;
    bool done = false;
    try {
      std::thread job_thread([&] {
        outcome.emplace(guarded(&pool));
        const std::lock_guard<std::mutex> lock(mu);
        done = true;
        finished.notify_one();
      });
      {
        std::unique_lock<std::mutex> lock(mu);
        while (!finished.wait_for(lock, Cancel::kProbeInterval, [&] { return done; })) {
          lock.unlock();
          (void)stop_requested(cancel);
          lock.lock();
        }
      }
      job_thread.join();
    } catch (const std::system_error& e) {
      return Error::with_message(ErrorKind::kPoolFailed, os_error_text(e.code().value()));
    } catch (...) {
      return error_from_current_exception();
    }
  }
  if (!outcome) return Error::with_message(ErrorKind::kPanic, "the job thread returned no outcome");
  return std::move(*outcome);
}

}  // namespace qn
