// Exchange of column data with NumPy: reading named arrays out of a dict in place,
// and turning finished native buffers into arrays without copying.
#pragma once

#include <cstdint>
#include <span>

#include "base/buffer.hpp"
#include "python/common.hpp"

namespace qn::py {

template <class T>
struct NpyType;
template <>
struct NpyType<float> {
  static constexpr int num = NPY_FLOAT32;
};
template <>
struct NpyType<std::int16_t> {
  static constexpr int num = NPY_INT16;
};
template <>
struct NpyType<std::int32_t> {
  static constexpr int num = NPY_INT32;
};
template <>
struct NpyType<std::int64_t> {
  static constexpr int num = NPY_INT64;
};

/// The array stored under `name` in `arrays` (new reference) if it is an ndarray
/// whose dtype is equivalent to `typenum`; otherwise null with KeyError, TypeError or
/// the lookup's own exception set.
PyObject* array(PyObject* arrays, const char* name, int typenum);

/// True when `obj` is an ndarray whose dtype is equivalent to `typenum`.
bool is_array_of(PyObject* obj, int typenum);

/// Sets TypeError "'{type}' object is not an instance of 'ndarray'" (or the None
/// form), prefixed by "{prefix}: " when a prefix is given.
void set_not_an_array(PyObject* obj, const char* prefix);

/// False with ValueError "{name}: expected shape (n, {width}), got ({rows}, {cols})"
/// ("(n,)" for width 1) for a two-dimensional array whose rows are not `width`
/// elements wide; arrays of any other dimensionality pass.
bool check_row_width(PyObject* view, const char* name, std::size_t width);

/// The elements of a view as one flat sequence in memory order; false with
/// ValueError "{name} must be C-contiguous" for a non-empty array that is not.
bool flat_bytes(PyObject* view, const char* name, const void*& data, std::size_t& count);

template <class T>
bool slice(PyObject* view, const char* name, std::span<const T>& out) {
  const void* data = nullptr;
  std::size_t count = 0;
  if (!flat_bytes(view, name, data, count)) return false;
  out = std::span<const T>(static_cast<const T*>(data), count);
  return true;
}

/// A new writeable, C-contiguous array over the buffer's storage: one-dimensional,
/// or (rows, k) when k > 0. The array's base object frees the storage when NumPy
/// lets go of it. Null with the NumPy or Python exception set on failure.
PyObject* into_array_raw(Storage storage, std::size_t length, int typenum, std::size_t rows,
                         std::size_t k);

template <class T>
PyObject* into_array(Buffer<T>&& buffer, std::size_t rows = 0, std::size_t k = 0) {
  const std::size_t n = buffer.size();
  return into_array_raw(buffer.release(), n, NpyType<T>::num, rows, k);
}

}  // namespace qn::py
