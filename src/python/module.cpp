// The module definition: multi-phase initialisation with a single execution step
// that adds PROTOCOL, __version__ and the three functions, listing each in __all__.
#define QN_IMPORTS_NUMPY
#include "python/common.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace {

using qn::py::Ref;

constexpr const char* kIndexDoc =
    "index_chunks(path, n_threads=1, max_crystals=None)\n"
    "--\n"
    "\n"
    "Index the chunks of a stream: an ``(n, 4)`` int64 array of\n"
    "``(start, end, n_crystals, n_obs_upper)`` in file order. With\n"
    "``max_crystals``, stop after the chunk that brings the total to at least\n"
    "that many crystals (serial).";

constexpr const char* kParseDoc =
    "parse_chunks(path, chunks, panel_names, n_threads=1)\n"
    "--\n"
    "\n"
    "Parse chunk rows (from ``index_chunks``, file order) into columns.\n"
    "\n"
    "Returns ``(columns, filenames, events, report)``: columns is a dict of\n"
    "numpy arrays named as in ``_allocate_tensors``; report maps each exclusion\n"
    "reason that occurred to ``(count, first_byte_offset)``.";

constexpr const char* kWriteDoc =
    "write_stream(path, arrays, filenames, events, panel_names, lattice_type, centering, "
    "unique_axis, header, n_threads=1, images_per_batch=1024)\n"
    "--\n"
    "\n"
    "Write a ``.stream`` file: ``header`` verbatim, then one chunk per image.\n"
    "\n"
    "``arrays`` holds the observation (sorted by crystal), crystal and image\n"
    "columns under their ``_allocate_tensors`` names; ``panel_names`` covers\n"
    "every ``panel_id``; unit-cell fields that are ``None`` are omitted.";

// A fast-call method definition for one of the module's functions.
template <auto Function>
PyMethodDef fast_call(const char* name, const char* doc) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qn::py::entry<Function>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// Method definitions must outlive the function objects that point at them.
PyMethodDef g_functions[] = {
    fast_call<qn::py::index_chunks>("index_chunks", kIndexDoc),
    fast_call<qn::py::parse_chunks>("parse_chunks", kParseDoc),
    fast_call<qn::py::write_stream>("write_stream", kWriteDoc),
};

constexpr const char* kParseWithOffsetsDoc =
    "_parse_chunks_with_offsets(path, chunks, panel_names, n_threads=1)\n"
    "--\n"
    "\n"
    "Private. As ``parse_chunks``, plus two int64 arrays: per image the offset of its\n"
    "``Image filename:`` line, and per crystal its block ``(start, end)``, from its\n"
    "``--- Begin crystal`` line to just past its ``--- End crystal`` line.";

// Functions for the host package only: module attributes, never listed in __all__.
PyMethodDef g_private_functions[] = {
    fast_call<qn::py::parse_chunks_with_offsets>("_parse_chunks_with_offsets",
                                                  kParseWithOffsetsDoc),
};

// Appends `name` to __all__ (creating the list with the first name), then sets it.
int add_attribute(PyObject* module, const char* name, PyObject* value /* stolen */) {
  Ref owned(value);
  if (!owned) return -1;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  Ref key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) != 0) return -1;
  return PyObject_SetAttrString(module, name, owned.get());
}

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  if (!qn::py::init_panic_exception()) return -1;
  Ref modname(PyUnicode_FromString("quillon_native"));
  if (!modname) return -1;
  if (add_attribute(module, "PROTOCOL", PyLong_FromLong(1)) != 0) return -1;
  if (add_attribute(module, "__version__", PyUnicode_FromString(QN_VERSION)) != 0) return -1;
  // Reachable for `except quillon_native.PanicException`, but not part of __all__.
  if (PyModule_AddObjectRef(module, "PanicException", qn::py::panic_exception()) != 0) return -1;
  for (PyMethodDef& def : g_functions) {
    if (add_attribute(module, def.ml_name, PyCFunction_NewEx(&def, module, modname.get())) != 0) {
      return -1;
    }
  }
  for (PyMethodDef& def : g_private_functions) {
    Ref function(PyCFunction_NewEx(&def, module, modname.get()));
    if (!function || PyModule_AddObjectRef(module, def.ml_name, function.get()) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "quillon_native", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillon_native(void) { return PyModuleDef_Init(&g_module); }
