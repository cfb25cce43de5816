// The write driver and its buffered writer.
#include "write/write_job.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/buffer.hpp"
#include "base/io.hpp"
#include "write/format.hpp"
#include "write/layout.hpp"
#include "write/text_buffer.hpp"

namespace qn {

namespace {

// A file written through a 1 MiB buffer. Small pieces are gathered in the buffer;
// a piece at least as large as the buffer goes straight to the file after the
// buffer has been emptied. Destruction writes out what is left on a best-effort
// basis and closes the file, ignoring errors of both.
class BufferedWriter {
 public:
  explicit BufferedWriter(UniqueFd file)
      : file_(std::move(file)), buffer_(std::make_unique<char[]>(kWriteBufferBytes)) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  ~BufferedWriter() { (void)flush(); }

  Result<void> write(const char* data, std::size_t n) {
    if (n <= kWriteBufferBytes - used_) {
      std::memcpy(buffer_.get() + used_, data, n);
      used_ += n;
      return {};
    }
    QN_TRY(flush());
    if (n >= kWriteBufferBytes) {
      std::size_t written = 0;
      return write_all(file_.get(), data, n, written, "failed to write whole buffer");
    }
    std::memcpy(buffer_.get(), data, n);
    used_ = n;
    return {};
  }

  /// Writes the buffered bytes to the file. After a failure the bytes not yet
  /// written stay buffered.
  Result<void> flush() {
    std::size_t done = 0;
    Result<void> outcome =
        write_all(file_.get(), buffer_.get(), used_, done, "failed to write the buffered data");
    if (done > 0) {
      std::memmove(buffer_.get(), buffer_.get() + done, used_ - done);
      used_ -= done;
    }
    return outcome;
  }

 private:
  UniqueFd file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

// Cuts images [first, last) into pieces of consecutive images for `n_workers`
// threads, and lays the pieces out one after the other in one block of memory, each
// with the room it needs (ChunkFormatter::room_for). On one thread the batch is one
// piece. Otherwise a piece is closed once its room reaches the target size, so that
// pieces are many enough to balance the threads and, for large batches, large enough
// to go to the file without a copy. Leaves the first image of every piece and then
// `last` in `starts`, and the matching region boundaries in `offsets`.
void cut_into_pieces(const ChunkFormatter& formatter, std::size_t first, std::size_t last,
                     std::size_t n_workers, std::vector<std::size_t>& starts,
                     std::vector<std::size_t>& offsets) {
  constexpr std::size_t kMaxPieceBytes = 2 * kWriteBufferBytes;
  starts.assign(1, first);
  offsets.assign(1, 0);
  if (n_workers < 2) {
    starts.push_back(last);
    offsets.push_back(formatter.room_for(first, last));
    return;
  }
  const std::size_t balanced = formatter.room_for(first, last) / (4 * n_workers);
  const std::size_t target = balanced < kMaxPieceBytes ? balanced : kMaxPieceBytes;
  std::size_t room = 0;
  for (std::size_t i = first; i < last; ++i) {
    room += formatter.room_for(i, i + 1);
    if (room >= target || i + 1 == last) {
      starts.push_back(i + 1);
      offsets.push_back(offsets.back() + room);
      room = 0;
    }
  }
}

// Formats the pieces laid out by cut_into_pieces() into their regions of `block`,
// on the threads of `pool` (or on the calling thread alone when it is null), and
// writes them in image order through `writer`. Only the calling thread writes: it
// formats pieces like every other thread, and after each one it writes the pieces
// that are formatted and next in line, so the file grows while the rest of the batch
// is being formatted. It writes whatever is left once every piece is formatted. The
// order of the file never depends on which thread formatted what.
Result<void> format_and_write(Pool* pool, const ChunkFormatter& formatter, Buffer<char>& block,
                              const std::vector<std::size_t>& starts,
                              const std::vector<std::size_t>& offsets, BufferedWriter& writer,
                              Cancel* cancel) {
  const std::size_t n_pieces = starts.size() - 1;
  std::vector<TextBuffer> pieces(n_pieces);
  const std::unique_ptr<std::atomic<bool>[]> formatted(new std::atomic<bool>[n_pieces]);
  for (std::size_t j = 0; j < n_pieces; ++j) formatted[j].store(false, std::memory_order_relaxed);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mu;
  std::optional<Error> first_error;
  auto fail = [&](Error e) {
    failed.store(true, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(error_mu);
    if (!first_error) first_error = std::move(e);
  };

  std::size_t n_written = 0;  // read and written by the calling thread only
  auto write_formatted = [&]() {
    while (n_written < n_pieces && formatted[n_written].load(std::memory_order_acquire)) {
      TextBuffer& piece = pieces[n_written];
      Result<void> r = writer.write(piece.data(), piece.size());
      piece = TextBuffer();  // text that had outgrown its region is freed now
      if (!r) return fail(std::move(r).error());
      ++n_written;
    }
  };

  const std::thread::id writing_thread = std::this_thread::get_id();
  const std::function<void()> body = [&]() {
    const bool writes = std::this_thread::get_id() == writing_thread;
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t j = next.fetch_add(1, std::memory_order_relaxed);
      if (j >= n_pieces) break;
      try {
        // Text that outgrows its region moves to storage of its own.
        TextBuffer piece =
            TextBuffer::borrowing(block.data() + offsets[j], offsets[j + 1] - offsets[j]);
        for (std::size_t i = starts[j]; i < starts[j + 1]; ++i) {
          if (stop_requested(cancel)) return fail(Cancel::error());
          formatter.format_image(piece, i);
        }
        pieces[j] = std::move(piece);
        formatted[j].store(true, std::memory_order_release);
        if (writes) write_formatted();
      } catch (...) {
        fail(error_from_current_exception());
      }
    }
  };
  if (pool != nullptr) {
    pool->run(n_pieces, body);
  } else {
    body();
  }
  if (!failed.load()) write_formatted();
  if (failed.load()) {
    if (first_error) return std::move(*first_error);
    return Error::with_message(ErrorKind::kPanic, "a failing piece left no error");
  }
  if (n_written != n_pieces) {
    return Error::with_message(ErrorKind::kPanic, "expected " + std::to_string(n_pieces) +
                                                      " total writes, but got " +
                                                      std::to_string(n_written));
  }
  return {};
}

// Writes the header and every image of the batches through `writer`.
Result<void> write_images(BufferedWriter& writer, const WriteColumns& columns, const WriteText& text,
                          const Layout& layout, std::uint64_t n_threads,
                          std::uint64_t images_per_batch, Pool* pool, Cancel* cancel) {
  QN_TRY(writer.write(text.header.data(), text.header.size()));

  const ChunkFormatter formatter(columns, text, layout);
  const std::size_t n_img = layout.n_images();
  // 0 counts as 1; a batch never needs to be larger than the whole file.
  const std::uint64_t per_batch = images_per_batch == 0 ? 1 : images_per_batch;
  const std::size_t batch =
      per_batch < n_img ? static_cast<std::size_t>(per_batch) : (n_img == 0 ? 1 : n_img);
  Pool* workers = pool != nullptr && n_threads >= 2 ? pool : nullptr;
  const std::size_t n_workers = workers != nullptr ? workers->max_threads() : 1;

  // The text of a batch is formatted piece by piece into the regions of one block,
  // each piece on one thread. The block is kept from batch to batch, so its memory
  // is touched once, and it holds no more than one batch of text (plus the slack of
  // each region). The next batch starts once the whole batch is written.
  Buffer<char> block;
  std::vector<std::size_t> starts;
  std::vector<std::size_t> offsets;
  for (std::size_t first = 0; first < n_img; first += batch) {
    const std::size_t last = n_img - first < batch ? n_img : first + batch;
    cut_into_pieces(formatter, first, last, n_workers, starts, offsets);
    block.reserve(offsets.back() > kWriteBufferBytes ? offsets.back() : kWriteBufferBytes);
    QN_TRY(format_and_write(workers, formatter, block, starts, offsets, writer, cancel));
  }
  QN_TRY(writer.flush());
  if (stop_requested(cancel)) return Cancel::error();
  return {};
}

}  // namespace

Result<void> write_job(const std::string& path, const WriteColumns& columns, const WriteText& text,
                       std::uint64_t n_threads, std::uint64_t images_per_batch, Pool* pool,
                       Cancel* cancel) {
  QN_ASSIGN_OR_RETURN(const Layout layout, build_layout(columns, text.panel_names.size()));
  QN_TRY(check_text(text, layout));

  QN_ASSIGN_OR_RETURN(CreatedFile out, create_for_writing(path));
  Result<void> written = [&] {
    BufferedWriter writer(std::move(out.fd));
    return write_images(writer, columns, text, layout, n_threads, images_per_batch, pool, cancel);
  }();
  if (!written && written.error().kind == ErrorKind::kCancelled) remove_created(path, out);
  return written;
}

}  // namespace qn
