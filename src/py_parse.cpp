// parse_chunks(path, chunks, panel_names, n_threads=1).
#include <cstdint>
#include <string>
#include <vector>

#include "py_args.hpp"
#include "py_arrays.hpp"
#include "py_errors.hpp"
#include "py_functions.hpp"

namespace qn::py {
namespace {

constexpr const char* kParams[] = {"path", "chunks", "panel_names", "n_threads"};
constexpr Signature kSignature{"parse_chunks", kParams, 4, 3};

PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!bind(kSignature, args, nargs, kwnames, a)) return nullptr;
  std::string path;
  std::vector<std::string> panel_names;
  std::uint64_t n_threads = 1;
  if (!to_path(a[0], "path", path)) return nullptr;
  if (!is_array_of(a[1], NPY_INT64) ||
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a[1])) != 2) {
    set_not_an_array(a[1], nullptr);
    add_processing_note("chunks");
    return nullptr;
  }
  if (!to_str_list(a[2], "panel_names", panel_names)) return nullptr;
  if (a[3] != nullptr && !to_u64(a[3], "n_threads", n_threads)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "parse_chunks is not implemented yet");
  return nullptr;
}

}  // namespace

PyObject* parse_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return run(args, nargs, kwnames);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace qn::py
