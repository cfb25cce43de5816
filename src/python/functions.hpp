// The module's three functions, and the fast-call entry point that wraps each.
#pragma once

#include "python/common.hpp"
#include "python/errors.hpp"

namespace qn::py {

// Each binds, converts and checks its arguments, runs its job and builds its result;
// null with a Python exception set on failure.
PyObject* index_chunks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parse_chunks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_stream(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Private (not in __all__): parse_chunks plus the offsets of each image and crystal.
PyObject* parse_chunks_with_offsets(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The interpreter's view of a function: the one place where a C++ exception that
/// escaped it becomes a Python exception (MemoryError or PanicException).
template <PyObject* (*Function)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  try {
    return Function(args, nargs, kwnames);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace qn::py
