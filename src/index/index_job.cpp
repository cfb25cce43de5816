#include "index/index_job.hpp"

#include <algorithm>
#include <cstdint>

namespace qn {
namespace {

using u128 = unsigned __int128;

// first + floor(k * span / n), without overflow.
std::uint64_t position(std::uint64_t first, std::uint64_t span, std::uint64_t k, std::uint64_t n) {
  return first + static_cast<std::uint64_t>(static_cast<u128>(k) * span / n);
}

}  // namespace

std::uint64_t index_piece_count(std::uint64_t span, std::uint64_t n_threads,
                                std::uint64_t piece_bytes) noexcept {
  const std::uint64_t threads = n_threads > 0 ? n_threads : 1;
  const std::uint64_t most = threads > UINT64_MAX / kMaxIndexPiecesPerThread
                                 ? UINT64_MAX
                                 : threads * kMaxIndexPiecesPerThread;
  const std::uint64_t size = piece_bytes > 0 ? piece_bytes : 1;
  const std::uint64_t pieces = span / size + (span % size != 0 ? 1 : 0);
  return std::clamp(pieces, threads, most);
}

Result<std::vector<std::uint64_t>> split_points(const ByteSource& source, std::uint64_t first,
                                                std::uint64_t size, std::uint64_t n_pieces,
                                                Cancel* cancel) {
  std::vector<std::uint64_t> points{first};
  const std::uint64_t span = size - first;
  std::uint64_t k = 1;
  while (k < n_pieces && span > 0) {
    const std::uint64_t last = points.back();
    std::uint64_t p = position(first, span, k, n_pieces);
    if (p < last) {
      // Jump to the smallest k whose position reaches `last`:
      // k >= (last - first) * n / span, rounded up.
      const u128 need = static_cast<u128>(last - first) * n_pieces;
      const u128 k_min = (need + span - 1) / span;
      if (k_min >= n_pieces) break;
      k = static_cast<std::uint64_t>(k_min) > k ? static_cast<std::uint64_t>(k_min) : k + 1;
      continue;
    }
    QN_ASSIGN_OR_RETURN(const std::uint64_t f, find_chunk_at_or_after(source, p, size, cancel));
    if (f >= size) break;  // no chunk begins after p, nor after any later position
    if (f > last) points.push_back(f);
    // Positions equal to p would repeat this search: go on with the first k past it.
    const u128 k_next = (static_cast<u128>(p - first + 1) * n_pieces + span - 1) / span;
    if (k_next >= n_pieces) break;
    k = static_cast<std::uint64_t>(k_next) > k ? static_cast<std::uint64_t>(k_next) : k + 1;
  }
  return points;
}

Result<std::vector<Chunk>> index_source(const ByteSource& source, std::uint64_t n_threads,
                                        std::optional<std::int64_t> max_crystals, Pool* pool,
                                        Cancel* cancel, std::uint64_t piece_bytes) {
  const std::uint64_t size = source.size();
  if (n_threads < 2 || max_crystals || pool == nullptr) {
    QN_ASSIGN_OR_RETURN(Scan s, scan(source, 0, size, max_crystals, cancel));
    std::vector<Chunk> rows = std::move(s.chunks);
    if (s.open_chunk) {
      s.open_chunk->end = size;
      rows.push_back(*s.open_chunk);
    }
    return rows;
  }

  QN_ASSIGN_OR_RETURN(const std::uint64_t first, find_chunk_at_or_after(source, 0, size, cancel));
  if (first >= size) return std::vector<Chunk>{};
  const std::uint64_t n_pieces = index_piece_count(size - first, n_threads, piece_bytes);
  QN_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> points,
                      split_points(source, first, size, n_pieces, cancel));

  // More pieces than threads: each thread takes the next piece when it is done with
  // one, so the pieces spread by how fast each thread goes.
  // Each thread reads into memory of its own, made by its first piece and reused by
  // the next ones.
  const std::size_t n_ranges = points.size();
  const std::size_t max_workers =
      n_threads < SIZE_MAX ? static_cast<std::size_t>(n_threads) : SIZE_MAX;
  auto range_end = [&](std::size_t i) { return i + 1 < n_ranges ? points[i + 1] : size; };
  std::vector<ScanBuffers> buffers(parallel_workers(pool, n_ranges, max_workers));
  QN_ASSIGN_OR_RETURN(std::vector<Scan> scans,
                      parallel_map<Scan>(
                          pool, n_ranges,
                          [&](std::size_t i, std::size_t worker) {
                            return scan(source, points[i], range_end(i), std::nullopt, cancel,
                                        nullptr, &buffers[worker]);
                          },
                          max_workers));

  std::size_t total = 0;
  for (const Scan& s : scans) total += s.chunks.size() + (s.open_chunk ? 1 : 0);
  std::vector<Chunk> rows;
  rows.reserve(total);
  for (std::size_t i = 0; i < n_ranges; ++i) {
    Scan& s = scans[i];
    rows.insert(rows.end(), s.chunks.begin(), s.chunks.end());
    if (s.open_chunk) {
      s.open_chunk->end = range_end(i);
      rows.push_back(*s.open_chunk);
    }
    s.chunks = {};  // free each range's rows once copied
  }
  return rows;
}

Result<std::vector<Chunk>> index_file(const std::string& path, std::uint64_t n_threads,
                                      std::optional<std::int64_t> max_crystals, Pool* pool,
                                      Cancel* cancel) {
  QN_ASSIGN_OR_RETURN(const FileSource source, FileSource::open(path));
  return index_source(source, n_threads, max_crystals, pool, cancel);
}

}  // namespace qn
