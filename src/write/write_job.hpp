// write_job: writes a whole stream file from columns.
//
// Every check runs before the file is created or truncated. Then the header is
// written verbatim and the images follow in batches: formatted on the calling thread
// into one reused buffer, or in parallel into one reused buffer per piece of
// consecutive images, and always written in image order through a 1 MiB buffered writer, so the bytes of the file
// do not depend on the thread count or the batch size.
#pragma once

#include <cstdint>
#include <string>

#include "base/pool.hpp"
#include "base/result.hpp"
#include "write/write_input.hpp"

namespace qn {

/// Size of the buffered writer's buffer, and the least room of the serial batch buffer.
inline constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 20;

/// Writes the stream at `path`. Images are formatted in batches of `images_per_batch`
/// (0 counts as 1); batches are formatted in parallel on `pool` when it is non-null and
/// `n_threads` is at least 2, otherwise on the calling thread. The output must be a
/// regular file or a character device (/dev/null); a named pipe is refused without
/// waiting for a reader. On a failure after the file was opened the file keeps what
/// had been written, except when `cancel` said stop: then a regular file is removed
/// and the result is Cancel::error(). `cancel` is visited before each image.
Result<void> write_job(const std::string& path, const WriteColumns& columns, const WriteText& text,
                       std::uint64_t n_threads, std::uint64_t images_per_batch, Pool* pool,
                       Cancel* cancel = nullptr);

}  // namespace qn
