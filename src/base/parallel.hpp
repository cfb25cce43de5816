// parallel_for and parallel_map: items of work spread over the threads of a Pool,
// the first error winning.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/pool.hpp"
#include "base/result.hpp"

namespace qn {

namespace parallel_detail {
// fn(i, worker) where fn takes both, fn(i) otherwise.
template <class F>
decltype(auto) call_item(F& fn, std::size_t i, std::size_t worker) {
  if constexpr (std::is_invocable_v<F&, std::size_t, std::size_t>) {
    return fn(i, worker);
  } else {
    (void)worker;
    return fn(i);
  }
}
}  // namespace parallel_detail

/// Calls `fn(i)` (returning Result<void>) for i = 0 .. n-1: in order on the calling
/// thread when `pool` is null or n <= 1, otherwise on up to min(n, max_workers)
/// threads of `pool`, the calling thread among them. The first error recorded stops
/// items not yet started and is returned; later errors are dropped. A C++ exception
/// thrown by `fn` is turned into an Error and handled the same way.
///
/// `fn` may also take `(i, worker)`: `worker` numbers the threads taking part, from 0
/// to below parallel_workers(pool, n, max_workers), and stays the same for every item
/// one thread runs, so that each thread can keep its own scratch memory in slot `worker`.
template <class F>
Result<void> parallel_for(Pool* pool, std::size_t n, F&& fn, std::size_t max_workers = SIZE_MAX) {
  auto guarded = [&fn](std::size_t i, std::size_t worker) -> Result<void> {
    try {
      return parallel_detail::call_item(fn, i, worker);
    } catch (...) {
      return error_from_current_exception();
    }
  };
  if (pool == nullptr || n <= 1) {
    for (std::size_t i = 0; i < n; ++i) {
      Result<void> r = guarded(i, 0);
      if (!r) return r;
    }
    return {};
  }

  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> seated{0};
  std::atomic<bool> failed{false};
  std::mutex error_mu;
  std::optional<Error> first_error;
  const std::function<void()> body = [&]() {
    const std::size_t worker = seated.fetch_add(1, std::memory_order_relaxed);
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) break;
      Result<void> r = guarded(i, worker);
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

/// Threads that a parallel_for(pool, n, fn, max_workers) call may run on: an upper
/// bound of the `worker` numbers it hands out.
inline std::size_t parallel_workers(const Pool* pool, std::size_t n,
                                    std::size_t max_workers = SIZE_MAX) noexcept {
  if (pool == nullptr || n <= 1) return 1;
  std::size_t w = n < max_workers ? n : max_workers;
  if (w > pool->max_threads()) w = pool->max_threads();
  return w > 0 ? w : 1;
}

/// Applies `fn(i)` or `fn(i, worker)` (returning Result<T>) to i = 0 .. n-1 as
/// parallel_for() does, and collects the values in index order.
template <class T, class F>
Result<std::vector<T>> parallel_map(Pool* pool, std::size_t n, F&& fn,
                                    std::size_t max_workers = SIZE_MAX) {
  std::vector<std::optional<T>> slots(n);
  QN_TRY(parallel_for(
      pool, n,
      [&](std::size_t i, std::size_t worker) -> Result<void> {
        Result<T> r = parallel_detail::call_item(fn, i, worker);
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
