// The module's three functions, as fast-call entry points.
#pragma once

#include "py_common.hpp"

namespace qn::py {

PyObject* index_chunks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parse_chunks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qn::py
