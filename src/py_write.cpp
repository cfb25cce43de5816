// write_stream(path, arrays, filenames, events, panel_names, lattice_type, centering,
//              unique_axis, header, n_threads=1, images_per_batch=1024).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py_args.hpp"
#include "py_arrays.hpp"
#include "py_errors.hpp"
#include "py_functions.hpp"

namespace qn::py {
namespace {

constexpr const char* kParams[] = {"path",        "arrays",    "filenames",    "events",
                                   "panel_names", "lattice_type", "centering", "unique_axis",
                                   "header",      "n_threads", "images_per_batch"};
constexpr Signature kSignature{"write_stream", kParams, 11, 9};

PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[11];
  if (!bind(kSignature, args, nargs, kwnames, a)) return nullptr;
  std::string path, header;
  std::vector<std::string> filenames, events, panel_names;
  std::optional<std::string> lattice_type, centering, unique_axis;
  std::uint64_t n_threads = 1, images_per_batch = 1024;
  if (!to_path(a[0], "path", path)) return nullptr;
  if (!check_dict(a[1], "arrays")) return nullptr;
  if (!to_str_list(a[2], "filenames", filenames)) return nullptr;
  if (!to_str_list(a[3], "events", events)) return nullptr;
  if (!to_str_list(a[4], "panel_names", panel_names)) return nullptr;
  if (!to_optional_str(a[5], "lattice_type", lattice_type)) return nullptr;
  if (!to_optional_str(a[6], "centering", centering)) return nullptr;
  if (!to_optional_str(a[7], "unique_axis", unique_axis)) return nullptr;
  if (!to_str(a[8], "header", header)) return nullptr;
  if (a[9] != nullptr && !to_u64(a[9], "n_threads", n_threads)) return nullptr;
  if (a[10] != nullptr && !to_u64(a[10], "images_per_batch", images_per_batch)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "write_stream is not implemented yet");
  return nullptr;
}

}  // namespace

PyObject* write_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return run(args, nargs, kwnames);
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace qn::py
