// parallel_for and parallel_map: items of work spread over the threads of a Pool,
// the first error winning.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/pool.hpp"
#include "base/result.hpp"

namespace qn {

/// Calls `fn(i)` (returning Result<void>) for i = 0 .. n-1: in order on the calling
/// thread when `pool` is null or n <= 1, otherwise on up to min(n, max_workers)
/// threads of `pool`, the calling thread among them. The first error recorded stops
/// items not yet started and is returned; later errors are dropped. A C++ exception
/// thrown by `fn` is turned into an Error and handled the same way.
template <class F>
Result<void> parallel_for(Pool* pool, std::size_t n, F&& fn, std::size_t max_workers = SIZE_MAX) {
  auto guarded = [&fn](std::size_t i) -> Result<void> {
    try {
      return fn(i);
    } catch (...) {
      return error_from_current_exception();
    }
  };
  if (pool == nullptr || n <= 1) {
    for (std::size_t i = 0; i < n; ++i) {
      Result<void> r = guarded(i);
      if (!r) return r;
    }
    return {};
  }

  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mu;
  std::optional<Error> first_error;
  const std::function<void()> body = [&]() {
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) break;
      Result<void> r = guarded(i);
      if (!r) {
        failed.store(true, std::memory_order_relaxed);
        const std::lock_guard<std::mutex> lock(error_mu);
        if (!first_error) first_error = std::move(r).error();
      }
    }
  };
  pool->run(n < max_workers ? n : max_workers, body);
  if (failed.load()) {
    if (first_error) return std::move(*first_error);
    return Error::with_message(ErrorKind::kPanic, "a failing work item left no error");
  }
  return {};
}

/// Applies `fn(i)` (returning Result<T>) to i = 0 .. n-1 as parallel_for() does, and
/// collects the values in index order.
template <class T, class F>
Result<std::vector<T>> parallel_map(Pool* pool, std::size_t n, F&& fn,
                                    std::size_t max_workers = SIZE_MAX) {
  std::vector<std::optional<T>> slots(n);
  QN_TRY(parallel_for(
      pool, n,
      [&](std::size_t i) -> Result<void> {
        Result<T> r = fn(i);
        if (!r) return std::move(r).error();
        slots[i].emplace(std::move(r).value());
        return {};
      },
      max_workers));
  std::vector<T> out;
  out.reserve(n);
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

}  // namespace qn
