// write_stream(path, arrays, filenames, events, panel_names, lattice_type, centering,
//              unique_axis, header, n_threads=1, images_per_batch=1024).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/frame.hpp"
#include "python/functions.hpp"
#include "write/write_job.hpp"

namespace qn::py {
namespace {

constexpr const char* kParams[] = {"path",        "arrays",       "filenames",       "events",
                                   "panel_names", "lattice_type", "centering",       "unique_axis",
                                   "header",      "n_threads",    "images_per_batch"};
constexpr Signature kSignature{"write_stream", kParams, 11, 9};

// A column the writer reads, as it is fetched and flattened.
template <class T>
struct Column {
  const char* name;
  std::span<const T> WriteColumns::*member;
  std::size_t width = 1;  // elements per row of a two-dimensional array
};

// Held array views, released in the reverse order of taking them.
struct Views : std::vector<Ref> {
  ~Views() {
    while (!empty()) pop_back();
  }
};

template <class T>
bool fetch(PyObject* arrays, const Column<T>& c, Views& views) {
  PyObject* view = array(arrays, c.name, NpyType<T>::num);
  if (view == nullptr) return false;
  views.emplace_back(view);
  return true;
}

template <class T>
bool flatten(const Column<T>& c, PyObject* view, WriteColumns& out) {
  return check_row_width(view, c.name, c.width) && slice<T>(view, c.name, out.*(c.member));
}

// Points `column` at a private copy of its elements. The work reads the arrays
// without the lock, while other Python threads may change them; a column whose
// values become indexes or sizes must not change between its checks and its uses.
template <class T>
void keep_private_copy(std::span<const T>& column, std::vector<T>& copy) {
  copy.assign(column.begin(), column.end());
  column = copy;
}

// Calls f(Column<T>) for the writer's columns in its fetch order; stops at the first false.
template <class F>
bool for_each_column(F&& f) {
  return for_each_write_column([&](const char* name, const auto member, std::size_t width, Level) {
    using T = typename std::remove_cvref_t<decltype(WriteColumns{}.*member)>::value_type;
    return f(Column<T>{name, member, width});
  });
}

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

  // Views are held until the call returns; the work reads the arrays in place.
  Views views;
  views.reserve(kWrittenColumnCount);
  if (!for_each_column([&](const auto& c) { return fetch(a[1], c, views); })) return nullptr;
  WriteColumns columns;
  std::size_t k = 0;
  if (!for_each_column([&](const auto& c) { return flatten(c, views[k++].get(), columns); })) {
    return nullptr;
  }
  // panel_id picks a name and the room of each row, n_refl and image_id shape the
  // layout; every other column is only formatted, whatever its values.
  std::vector<std::int16_t> panel_id;
  std::vector<std::int32_t> n_refl, image_id;
  keep_private_copy(columns.panel_id, panel_id);
  keep_private_copy(columns.n_refl, n_refl);
  keep_private_copy(columns.image_id, image_id);
  WriteText text{std::move(filenames),    std::move(events),    std::move(panel_names),
                 std::move(lattice_type), std::move(centering), std::move(unique_axis),
                 std::move(header)};

  std::optional<bool> done =
      call_frame<bool>(n_threads, [&](Pool* pool, Cancel& cancel) -> Result<bool> {
        QN_TRY(write_job(path, columns, text, n_threads, images_per_batch, pool, &cancel));
        return true;
      });
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* write_stream(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run(args, nargs, kwnames);
}

}  // namespace qn::py
