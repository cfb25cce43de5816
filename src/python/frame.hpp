// The call frame: run a job without the interpreter lock, on the calling thread or
// on a worker pool built for this call, and raise its error on the way back.
#pragma once

#include <cstdint>
#include <optional>

#include "base/cancel.hpp"
#include "base/job.hpp"
#include "python/common.hpp"
#include "python/errors.hpp"

namespace qn::py {

/// Releases the lock, runs `job(Pool*, Cancel&)` (returning Result<T>) through
/// run_job, takes the lock back and returns the value, or nullopt with the Python
/// exception set. The job must not touch any Python object; it stops at its
/// checkpoints once a signal handler raised, and that exception is the call's.
template <class T, class Job>
std::optional<T> call_frame(std::uint64_t n_threads, Job&& job) {
  std::optional<Result<T>> outcome;
  PyThreadState* saved = PyEval_SaveThread();
  Cancel cancel(signal_raised, &saved);
  try {
    outcome.emplace(run_job<T>(
        n_threads, [&](Pool* pool) { return job(pool, cancel); }, &cancel));
  } catch (...) {
    outcome.emplace(error_from_current_exception());
  }
  PyEval_RestoreThread(saved);
  if (cancel.requested()) {
    // The handler's exception wins over whatever the job made of the stop.
    if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return std::nullopt;
  }
  if (!*outcome) {
    raise_error(outcome->error());
    return std::nullopt;
  }
  return std::move(*outcome).value();
}

}  // namespace qn::py
