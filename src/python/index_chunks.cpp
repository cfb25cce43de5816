// index_chunks(path, n_threads=1, max_crystals=None) -> (n, 4) int64 array.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/index_job.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/frame.hpp"
#include "python/functions.hpp"

namespace qn::py {
namespace {

constexpr const char* kParams[] = {"path", "n_threads", "max_crystals"};
constexpr Signature kSignature{"index_chunks", kParams, 3, 1};

PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind(kSignature, args, nargs, kwnames, a)) return nullptr;
  std::string path;
  std::uint64_t n_threads = 1;
  std::optional<std::int64_t> max_crystals;
  if (!to_path(a[0], "path", path)) return nullptr;
  if (a[1] != nullptr && !to_u64(a[1], "n_threads", n_threads)) return nullptr;
  if (!to_optional_i64(a[2], "max_crystals", max_crystals)) return nullptr;

  std::optional<std::vector<Chunk>> rows =
      call_frame<std::vector<Chunk>>(n_threads, [&](Pool* pool, Cancel& cancel) {
        return index_file(path, n_threads, max_crystals, pool, &cancel);
      });
  if (!rows) return nullptr;

  Buffer<std::int64_t> flat(rows->size() * 4);
  for (const Chunk& c : *rows) {
    flat.push_back(static_cast<std::int64_t>(c.start));
    flat.push_back(static_cast<std::int64_t>(c.end));
    flat.push_back(static_cast<std::int64_t>(c.n_crystals));
    flat.push_back(static_cast<std::int64_t>(c.n_obs_upper));
  }
  const std::size_t n = rows->size();
  rows.reset();
  return into_array(std::move(flat), n, 4);
}

}  // namespace

PyObject* index_chunks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run(args, nargs, kwnames);
}

}  // namespace qn::py
