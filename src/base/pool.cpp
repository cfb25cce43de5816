#include "base/pool.hpp"

#include <system_error>

namespace qn {

Pool::Pool(std::size_t max_threads) : max_threads_(max_threads == 0 ? 1 : max_threads) {}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : helpers_) t.join();
}

void Pool::run(std::size_t workers, const std::function<void()>& body) {
  if (workers > max_threads_) workers = max_threads_;
  const std::size_t want = workers > 0 ? workers - 1 : 0;
  // Start the helpers this run can use. A failure to start one more thread is
  // not an error: the run goes on with the threads it has.
  while (helpers_.size() < want) {
    try {
      helpers_.emplace_back([this] { helper_loop(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  const std::size_t seats = want < helpers_.size() ? want : helpers_.size();
  {
    std::lock_guard<std::mutex> lock(mu_);
    task_ = &body;
    seats_ = seats;
    running_ = 0;
    ++generation_;
  }
  if (seats > 0) wake_.notify_all();
  body();
  std::unique_lock<std::mutex> lock(mu_);
  // Close the run: helpers that have not joined yet will find no seat.
  seats_ = 0;
  done_.wait(lock, [this] { return running_ == 0; });
  task_ = nullptr;
}

void Pool::helper_loop() {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    if (seats_ == 0) continue;
    --seats_;
    ++running_;
    const std::function<void()>* task = task_;
    lock.unlock();
    (*task)();
    lock.lock();
    if (--running_ == 0) done_.notify_all();
  }
}

}  // namespace qn
