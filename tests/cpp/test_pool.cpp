#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "base/job.hpp"
#include "base/parallel.hpp"
#include "base/pool.hpp"

namespace qn {
namespace {

TEST(ParallelMap, CollectsResultsInItemOrder) {
  for (std::size_t threads : {1u, 2u, 3u, 8u}) {
    Pool pool(threads);
    auto r = parallel_map<std::size_t>(&pool, 1000, [](std::size_t i) -> Result<std::size_t> {
      if (i % 7 == 0) std::this_thread::yield();
      return i * i;
    });
    ASSERT_TRUE(r.has_value());
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ((*r)[i], i * i);
  }
}

TEST(ParallelMap, FirstErrorStopsItemsNotYetStarted) {
  for (Pool* pool : {static_cast<Pool*>(nullptr), new Pool(4)}) {
    std::atomic<std::size_t> started{0};
    auto r = parallel_map<int>(pool, 100000, [&](std::size_t i) -> Result<int> {
      started.fetch_add(1);
      if (i == 10) return Error::invalid_input("item 10 failed");
      return 0;
    });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "item 10 failed");
    EXPECT_LT(started.load(), 100000u);
    delete pool;
  }
}

TEST(ParallelMap, ExceptionsBecomeErrors) {
  Pool pool(3);
  auto panic = parallel_map<int>(&pool, 5, [](std::size_t i) -> Result<int> {
    if (i == 3) throw std::logic_error("broken invariant");
    return 1;
  });
  ASSERT_FALSE(panic.has_value());
  EXPECT_EQ(panic.error().kind, ErrorKind::kPanic);
  EXPECT_EQ(panic.error().display(), "broken invariant");

  auto oom =
      parallel_map<int>(nullptr, 2, [](std::size_t) -> Result<int> { throw std::bad_alloc(); });
  ASSERT_FALSE(oom.has_value());
  EXPECT_EQ(oom.error().kind, ErrorKind::kOutOfMemory);
}

struct WorkerCase {
  std::size_t pool_threads;  // 0: no pool
  std::size_t items;
  std::size_t max_workers;
};

class WorkerNumbers : public ::testing::TestWithParam<WorkerCase> {};

// Each thread keeps one worker number for all its items, no two threads share one,
// and every number stays below the bound given for the call.
TEST_P(WorkerNumbers, OnePerThreadBelowTheBound) {
  const auto [threads, items, max_workers] = GetParam();
  std::optional<Pool> pool;
  if (threads > 0) pool.emplace(threads);
  Pool* p = pool ? &*pool : nullptr;
  const std::size_t bound = parallel_workers(p, items, max_workers);
  std::mutex mu;
  std::map<std::thread::id, std::set<std::size_t>> numbers_of_thread;
  std::map<std::size_t, std::set<std::thread::id>> threads_of_number;
  auto r = parallel_map<std::size_t>(
      p, items,
      [&](std::size_t i, std::size_t worker) -> Result<std::size_t> {
        if (i % 5 == 0) std::this_thread::yield();
        const std::lock_guard<std::mutex> lock(mu);
        numbers_of_thread[std::this_thread::get_id()].insert(worker);
        threads_of_number[worker].insert(std::this_thread::get_id());
        return i + 1;
      },
      max_workers);
  ASSERT_TRUE(r.has_value());
  for (std::size_t i = 0; i < items; ++i) ASSERT_EQ((*r)[i], i + 1);
  for (const auto& [id, numbers] : numbers_of_thread) EXPECT_EQ(numbers.size(), 1u);
  for (const auto& [number, ids] : threads_of_number) {
    EXPECT_LT(number, bound);
    EXPECT_EQ(ids.size(), 1u) << "worker " << number;
  }
}

INSTANTIATE_TEST_SUITE_P(
    PoolsItemsLimits, WorkerNumbers,
    ::testing::Values(WorkerCase{0, 50, SIZE_MAX}, WorkerCase{4, 1, SIZE_MAX},
                      WorkerCase{2, 200, SIZE_MAX}, WorkerCase{8, 3, SIZE_MAX},
                      WorkerCase{8, 500, 3}, WorkerCase{3, 500, 0}, WorkerCase{16, 2000, SIZE_MAX}),
    [](const auto& info) {
      const auto& c = info.param;
      return "pool" + std::to_string(c.pool_threads) + "_items" + std::to_string(c.items) +
             "_max" + (c.max_workers == SIZE_MAX ? std::string("all") : std::to_string(c.max_workers));
    });

TEST(Pool, StartsNoMoreThreadsThanItems) {
  Pool pool(65535);
  std::set<std::thread::id> seen;
  std::mutex mu;
  auto r = parallel_map<int>(&pool, 3, [&](std::size_t) -> Result<int> {
    std::lock_guard<std::mutex> lock(mu);
    seen.insert(std::this_thread::get_id());
    return 0;
  });
  ASSERT_TRUE(r.has_value());
  EXPECT_LE(pool.helpers_started(), 2u);
  EXPECT_LE(seen.size(), 3u);
}

TEST(RunJob, RunsInlineBelowTwoThreadsAndOnAPoolThreadOtherwise) {
  const auto caller = std::this_thread::get_id();
  for (std::uint64_t n : {0ull, 1ull}) {
    auto r = run_job<bool>(n, [&](Pool* pool) -> Result<bool> {
      return pool == nullptr && std::this_thread::get_id() == caller;
    });
    EXPECT_TRUE(r.has_value() && *r);
  }
  for (std::uint64_t n : {2ull, ~0ull}) {
    auto r = run_job<std::size_t>(n, [&](Pool* pool) -> Result<std::size_t> {
      EXPECT_NE(std::this_thread::get_id(), caller);
      return pool->max_threads();
    });
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, n == 2 ? 2u : 65535u);
  }
}

// The probe runs on the thread that made the Cancel: inside the job's checkpoints
// when the job runs there, in the wait for the job otherwise.
TEST(RunJob, TheCallersProbeStopsTheJobOnEveryThreadCount) {
  for (std::uint64_t n : {1ull, 2ull, 3ull}) {
    struct Probed {
      std::thread::id caller = std::this_thread::get_id();
      std::atomic<int> calls{0};
      bool on_caller = true;
    } probed;
    Cancel cancel(
        [](void* context) {
          auto* p = static_cast<Probed*>(context);
          p->on_caller = p->on_caller && std::this_thread::get_id() == p->caller;
          return ++p->calls >= 2;
        },
        &probed);
    auto r = run_job<int>(
        n,
        [&](Pool* pool) -> Result<int> {
          auto wait_for_stop = [&](std::size_t) -> Result<int> {
            for (int i = 0; i < 500; ++i) {
              if (cancel.stop_requested()) return Cancel::error();
              std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return 0;
          };
          QN_TRY(parallel_map<int>(pool, 4, wait_for_stop));
          return 1;
        },
        &cancel);
    ASSERT_FALSE(r.has_value()) << "n " << n;
    EXPECT_EQ(r.error().kind, ErrorKind::kCancelled);
    EXPECT_EQ(probed.calls.load(), 2);
    EXPECT_TRUE(probed.on_caller);
  }
}

TEST(RunJob, ExceptionsEscapingTheJobBecomeErrors) {
  for (std::uint64_t n : {1ull, 4ull}) {
    auto r = run_job<int>(n, [](Pool*) -> Result<int> { throw std::runtime_error("boom"); });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::kPanic);
    EXPECT_EQ(r.error().display(), "boom");
  }
}

}  // namespace
}  // namespace qn
