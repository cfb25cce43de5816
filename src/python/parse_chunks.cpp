// parse_chunks(path, chunks, panel_names, n_threads=1)
//   -> (columns, filenames, events, report).
// _parse_chunks_with_offsets(path, chunks, panel_names, n_threads=1)
//   -> (columns, filenames, events, report, image_lines, crystal_blocks): the same
//   parse, plus where each image and crystal stands in the file (private: the host
//   package copies selections of a stream's text with it).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "parse/parse_job.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/frame.hpp"
#include "python/functions.hpp"

namespace qn::py {
namespace {

constexpr const char* kParams[] = {"path", "chunks", "panel_names", "n_threads"};
constexpr Signature kSignature{"parse_chunks", kParams, 4, 3};
constexpr Signature kOffsetsSignature{"_parse_chunks_with_offsets", kParams, 4, 3};
constexpr std::size_t kMaxPanels = 32768;

// Reads the rows of a 2-D int64 array in index order, whatever its strides.
std::vector<ChunkRow> copy_rows(PyArrayObject* arr) {
  const npy_intp n = PyArray_DIM(arr, 0);
  const npy_intp s0 = PyArray_STRIDE(arr, 0);
  const npy_intp s1 = PyArray_STRIDE(arr, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(arr));
  std::vector<ChunkRow> rows(static_cast<std::size_t>(n));
  for (npy_intp i = 0; i < n; ++i) {
    std::int64_t v[4];
    for (int c = 0; c < 4; ++c) std::memcpy(&v[c], base + i * s0 + c * s1, sizeof v[c]);
    rows[static_cast<std::size_t>(i)] = ChunkRow{v[0], v[1], v[2], v[3]};
  }
  return rows;
}

PyObject* string_list(std::vector<std::string>& strings) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < strings.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(strings[i].data(),
                                       static_cast<Py_ssize_t>(strings[i].size()), "replace");
    if (s == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);  // steals s
    std::string().swap(strings[i]);
  }
  return list.release();
}

// Hands every column to NumPy, in their fixed order.
PyObject* columns_dict(Columns& columns) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  bool ok = true;
  columns.for_each_numeric([&](std::string_view name, auto& buffer, int per_row, Level) {
    if (!ok) return;
    const std::size_t rows = buffer.size() / static_cast<std::size_t>(per_row);
    Ref arr(per_row > 1 ? into_array(std::move(buffer), rows, static_cast<std::size_t>(per_row))
                        : into_array(std::move(buffer)));
    const std::string key(name);
    ok = arr && PyDict_SetItemString(dict.get(), key.c_str(), arr.get()) == 0;
  });
  return ok ? dict.release() : nullptr;
}

PyObject* report_dict(const Report& report) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < kReasonCount; ++i) {
    const Report::Entry& e = report.entries[i];
    if (e.count == 0) continue;
    Ref value(Py_BuildValue("(KK)", static_cast<unsigned long long>(e.count),
                            static_cast<unsigned long long>(e.first_offset)));
    const std::string key(kReasonNames[i]);
    if (!value || PyDict_SetItemString(dict.get(), key.c_str(), value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* run(const Signature& signature, bool with_offsets, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!bind(signature, args, nargs, kwnames, a)) return nullptr;
  std::string path;
  std::vector<std::string> panel_names;
  std::uint64_t n_threads = 1;
  if (!to_path(a[0], "path", path)) return nullptr;
  if (!is_array_of(a[1], NPY_INT64) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a[1])) != 2) {
    set_not_an_array(a[1], nullptr);
    add_processing_note("chunks");
    return nullptr;
  }
  // The array is only read here, under the lock; the work uses the copied rows.
  Ref chunks(Py_NewRef(a[1]));
  if (!to_str_list(a[2], "panel_names", panel_names)) return nullptr;
  if (a[3] != nullptr && !to_u64(a[3], "n_threads", n_threads)) return nullptr;

  auto* arr = reinterpret_cast<PyArrayObject*>(chunks.get());
  if (PyArray_DIM(arr, 1) != 4) {
    PyErr_Format(PyExc_ValueError, "chunks must have 4 columns, got %zd",
                 static_cast<Py_ssize_t>(PyArray_DIM(arr, 1)));
    return nullptr;
  }
  const std::vector<ChunkRow> rows = copy_rows(arr);
  for (const ChunkRow& r : rows) {
    if (r.start < 0 || r.end < r.start) {
      PyErr_Format(PyExc_ValueError, "invalid chunk byte range [%lld, %lld]",
                   static_cast<long long>(r.start), static_cast<long long>(r.end));
      return nullptr;
    }
  }
  if (panel_names.size() > kMaxPanels) {
    PyErr_SetString(PyExc_ValueError, "more panels than an int16 panel_id can hold");
    return nullptr;
  }
  PanelMap panels;
  panels.reserve(panel_names.size());
  for (std::size_t i = 0; i < panel_names.size(); ++i) {
    panels.insert_or_assign(std::move(panel_names[i]), static_cast<std::int16_t>(i));
  }

  std::optional<UnitResult> parsed =
      call_frame<UnitResult>(n_threads, [&](Pool* pool, Cancel& cancel) {
        return parse_rows(path, rows, panels, n_threads, pool, &cancel);
      });
  if (!parsed) return nullptr;

  Ref columns(columns_dict(parsed->columns));
  if (!columns) return nullptr;
  Ref filenames(string_list(parsed->columns.filenames));
  if (!filenames) return nullptr;
  Ref events(string_list(parsed->columns.events));
  if (!events) return nullptr;
  Ref report(report_dict(parsed->report));
  if (!report) return nullptr;
  if (!with_offsets) {
    return PyTuple_Pack(4, columns.get(), filenames.get(), events.get(), report.get());
  }
  Ref image_lines(into_array(std::move(parsed->columns.image_lines)));
  if (!image_lines) return nullptr;
  const std::size_t n_blocks = parsed->columns.crystal_blocks.size() / 2;
  Ref crystal_blocks(into_array(std::move(parsed->columns.crystal_blocks), n_blocks, 2));
  if (!crystal_blocks) return nullptr;
  return PyTuple_Pack(6, columns.get(), filenames.get(), events.get(), report.get(),
                      image_lines.get(), crystal_blocks.get());
}

}  // namespace

PyObject* parse_chunks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run(kSignature, false, args, nargs, kwnames);
}

PyObject* parse_chunks_with_offsets(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run(kOffsetsSignature, true, args, nargs, kwnames);
}

}  // namespace qn::py
