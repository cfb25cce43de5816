// How errors of the native work become Python exceptions.
#pragma once

#include "base/error.hpp"
#include "python/common.hpp"

namespace qn::py {

/// Creates the PanicException class once per process; false with an exception set on failure.
bool init_panic_exception();

/// The PanicException class (borrowed; null before init_panic_exception()).
PyObject* panic_exception() noexcept;

/// Sets the Python exception for any error of the work: the OSError subclass of its
/// kind for I/O errors, ValueError for invalid input, RuntimeError when the pool could
/// not be built, PanicException (derived from BaseException) for a broken invariant,
/// MemoryError when memory ran out.
void raise_error(const Error& error) noexcept;

/// Sets the Python exception for the C++ exception being handled (use in a catch
/// block): raise_error() of error_from_current_exception().
void raise_current_exception() noexcept;

/// The probe of a call's Cancel: takes the lock back for a moment and runs the
/// pending signal handlers. True when one raised (KeyboardInterrupt for Ctrl-C);
/// its exception then stays set for the call to raise. `context` points to the
/// calling thread's saved state.
bool signal_raised(void* context) noexcept;

}  // namespace qn::py
