// run_job: how every call runs its work, on the calling thread or on a pool built
// for the call, with the caller's thread left free to visit its Cancel.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "base/cancel.hpp"
#include "base/pool.hpp"
#include "base/result.hpp"

namespace qn {

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
