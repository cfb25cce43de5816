#include "python/arrays.hpp"

#include <cstdlib>
#include <new>
#include <string>

namespace qn::py {
namespace {

constexpr const char* kCapsuleName = "quillon_native.buffer";

// Zero-length arrays point here: they need a valid pointer but never touch it.
alignas(16) char g_empty[16];

void free_capsule(PyObject* capsule) {
  auto* storage = static_cast<Storage*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (storage == nullptr) return;
  free_storage(*storage);
  delete storage;
}

}  // namespace

bool is_array_of(PyObject* obj, int typenum) {
  if (!PyArray_Check(obj)) return false;
  PyArray_Descr* want = PyArray_DescrFromType(typenum);
  if (want == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool same = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), want);
  Py_DECREF(want);
  return same;
}

void set_not_an_array(PyObject* obj, const char* prefix) {
  std::string msg = prefix != nullptr ? std::string(prefix) + ": " : std::string();
  if (obj == Py_None) {
    msg += "'None' is not an instance of 'ndarray'";
  } else {
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "'" + std::string.
    msg += '\'';
    msg += type_qualname(obj);
    msg += "' object is not an instance of 'ndarray'";
  }
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

PyObject* array(PyObject* arrays, const char* name, int typenum) {
  Ref key(PyUnicode_FromString(name));
  if (!key) return nullptr;
  PyObject* value = PyDict_GetItemWithError(arrays, key.get());  // borrowed
  if (value == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    PyErr_SetObject(PyExc_KeyError, key.get());
    return nullptr;
  }
  if (!is_array_of(value, typenum)) {
    set_not_an_array(value, name);
    return nullptr;
  }
  Py_INCREF(value);
  return value;
}

bool check_row_width(PyObject* view, const char* name, std::size_t width) {
  auto* arr = reinterpret_cast<PyArrayObject*>(view);
  if (PyArray_NDIM(arr) != 2 || static_cast<std::size_t>(PyArray_DIM(arr, 1)) == width) return true;
  const std::string expected = width == 1 ? "(n,)" : "(n, " + std::to_string(width) + ")";
  PyErr_Format(PyExc_ValueError, "%s: expected shape %s, got (%zd, %zd)", name, expected.c_str(),
               static_cast<Py_ssize_t>(PyArray_DIM(arr, 0)),
               static_cast<Py_ssize_t>(PyArray_DIM(arr, 1)));
  return false;
}

bool flat_bytes(PyObject* view, const char* name, const void*& data, std::size_t& count) {
  auto* arr = reinterpret_cast<PyArrayObject*>(view);
  const npy_intp n = PyArray_SIZE(arr);
  data = nullptr;
  count = 0;
  if (n == 0) return true;
  if (!PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISALIGNED(arr)) {
    PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", name);
    return false;
  }
  data = PyArray_DATA(arr);
  count = static_cast<std::size_t>(n);
  return true;
}

PyObject* into_array_raw(Storage storage, std::size_t length, int typenum, std::size_t rows,
                         std::size_t k) {
  void* data = storage.data != nullptr ? storage.data : g_empty;
  auto* owned = new (std::nothrow) Storage(storage);
  if (owned == nullptr) {
    free_storage(storage);
    return PyErr_NoMemory();
  }
  // The capsule owns the storage from here on and frees it when NumPy lets go.
  Ref owner(PyCapsule_New(owned, kCapsuleName, free_capsule));
  if (!owner) {
    free_storage(storage);
    delete owned;
    return nullptr;
  }
  npy_intp dims[2];
  int nd = 1;
  if (k > 0) {
    nd = 2;
    dims[0] = static_cast<npy_intp>(rows);
    dims[1] = static_cast<npy_intp>(k);
  } else {
    dims[0] = static_cast<npy_intp>(length);
  }
  Ref arr(
      PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, data, 0, NPY_ARRAY_CARRAY, nullptr));
  if (!arr) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner.release()) != 0) {
    return nullptr;
  }
  return arr.release();
}

}  // namespace qn::py
