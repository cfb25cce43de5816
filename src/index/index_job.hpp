// The chunk index of a whole file: serial, parallel over byte ranges, or stopping
// early once enough crystals were seen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "base/result.hpp"
#include "index/scan.hpp"

namespace qn {

/// Split points for a parallel index: `first` followed by the distinct chunk starts
/// found at first + floor(k * span / n_pieces) for k = 1 .. n_pieces - 1.
/// Positions that fall before the last split point found cannot give a new one and
/// are skipped without a search, so at most one search runs per chunk.
Result<std::vector<std::uint64_t>> split_points(const ByteSource& source, std::uint64_t first,
                                                std::uint64_t size, std::uint64_t n_pieces,
                                                Cancel* cancel = nullptr);

/// Bytes of the pieces a parallel index hands out: small enough that a thread slowed
/// by other load on its core takes fewer of them instead of holding up the call,
/// large enough that the serial search for their starting chunks stays negligible.
inline constexpr std::uint64_t kIndexPieceBytes = std::uint64_t{8} << 20;
/// Most pieces per thread, whatever the piece size.
inline constexpr std::uint64_t kMaxIndexPiecesPerThread = 16;

/// How many pieces a parallel index of `span` bytes on `n_threads` threads asks
/// for: span / piece_bytes rounded up, kept between n_threads and
/// kMaxIndexPiecesPerThread * n_threads (saturating, never 0).
std::uint64_t index_piece_count(std::uint64_t span, std::uint64_t n_threads,
                                std::uint64_t piece_bytes) noexcept;

/// All chunk rows of `source`, in order. With `max_crystals` the source is scanned
/// on one thread and the scan stops at that many crystals; otherwise, with a pool
/// and n_threads >= 2, the file is cut at chunk starts into pieces of about
/// `piece_bytes` (see index_piece_count()), which the threads take one at a time.
/// Every read visits `cancel`; once it says stop, the call ends with Cancel::error().
Result<std::vector<Chunk>> index_source(const ByteSource& source, std::uint64_t n_threads,
                                        std::optional<std::int64_t> max_crystals, Pool* pool,
                                        Cancel* cancel = nullptr,
                                        std::uint64_t piece_bytes = kIndexPieceBytes);

/// index_source() of the file at `path`, whose size is taken once, when it is
/// opened; nothing past it is read.
Result<std::vector<Chunk>> index_file(const std::string& path, std::uint64_t n_threads,
                                      std::optional<std::int64_t> max_crystals, Pool* pool,
                                      Cancel* cancel = nullptr);

}  // namespace qn
