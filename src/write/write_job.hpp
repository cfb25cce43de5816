// write_job: writes a whole stream file from columns.
//
// Every check runs before the file is created or truncated. Then the header is
// written verbatim and the images follow in pieces of consecutive images, each
// formatted by one thread into one of a small ring of reused buffers and written in
// image order as soon as it is next in line, so the bytes of the file do not depend
// on the thread count or the piece size, and the memory used does not grow with the
// file or the batch size.
#pragma once

#include <cstdint>
#include <string>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "base/result.hpp"
#include "write/write_input.hpp"

namespace qn {

/// Size of the buffered writer's buffer.
inline constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 20;

/// Writes the stream at `path`. Images are formatted in pieces of at most
/// `images_per_batch` images (0 counts as 1) and about 512 KiB of text, on the threads
/// of `pool` when it is non-null and `n_threads` is at least 2, otherwise on the
/// calling thread. The output must be a regular file or a character device
/// (/dev/null); a named pipe is refused without waiting for a reader. On a failure after the file
/// was opened the file keeps what had been written, except when `cancel` said stop: then a regular
/// file is removed and the result is Cancel::error(). `cancel` is visited before each image.
Result<void> write_job(const std::string& path, const WriteColumns& columns, const WriteText& text,
                       std::uint64_t n_threads, std::uint64_t images_per_batch, Pool* pool,
                       Cancel* cancel = nullptr);

}  // namespace qn
