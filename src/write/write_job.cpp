// The write driver and its buffered writer.
#include "write/write_job.hpp"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/io.hpp"
#include "base/parallel.hpp"
#include "write/format.hpp"
#include "write/layout.hpp"
#include "write/text_buffer.hpp"

namespace qn {

namespace {

// A file written through a 1 MiB buffer. Small pieces are gathered in the buffer;
// a piece of kDirectBytes or more goes straight to the file after the buffer has
// been emptied, without a copy. Destruction writes out what is left on a best-effort
// basis and closes the file, ignoring errors of both.
class BufferedWriter {
 public:
  explicit BufferedWriter(UniqueFd file)
      // Not zero-filled: only the bytes written into it are read, and pieces that go
      // straight to the file never touch most of its pages.
      : file_(std::move(file)),
        buffer_(std::make_unique_for_overwrite<char[]>(kWriteBufferBytes)) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  ~BufferedWriter() { (void)flush(); }

  static constexpr std::size_t kDirectBytes = std::size_t{64} << 10;

  Result<void> write(const char* data, std::size_t n) {
    if (n < kDirectBytes && n <= kWriteBufferBytes - used_) {
      std::memcpy(buffer_.get() + used_, data, n);
      used_ += n;
      return {};
    }
    QN_TRY(flush());
    if (n >= kDirectBytes) {
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

// Text a piece of images is given room for: the pieces are cut so that the room
// they ask for stays at or under this (a single image may ask for more), small
// enough that a piece is written while it is still in the cache of the thread that
// formatted it.
constexpr std::size_t kPieceBytes = std::size_t{512} << 10;

// The pieces of a file, formatted by every thread into a small ring of reused slots
// and written in image order by whichever thread finds the next piece formatted and
// no other thread writing. Piece j is formatted into slot j % ring size once piece
// j - ring size is written, so memory holds at most one ring of pieces whatever the
// file's length and the batch size. With one thread the ring is one slot: each
// piece is formatted, then written.
//
// Pieces are handed out in order by parallel_for(), so the piece a thread waits for
// to leave its slot was taken before and is being formatted or is formatted: the
// lowest piece not yet written never waits, and whoever formats it writes it (or
// the thread writing at the time finds it formatted).
class PiecePipeline {
 public:
  PiecePipeline(const ChunkFormatter& formatter, std::size_t n_images, std::size_t per_piece,
                std::size_t n_slots, BufferedWriter& writer, Cancel* cancel)
      : formatter_(formatter), writer_(writer), cancel_(cancel), slots_(n_slots) {
    cut(n_images, per_piece);
  }

  [[nodiscard]] std::size_t n_pieces() const noexcept { return starts_.size() - 1; }

  // Formats piece j and writes what is next in line. Safe on many threads at once.
  Result<void> piece(std::size_t j) {
    std::unique_lock<std::mutex> lock(mu_);
    slot_free_.wait(lock, [&] { return first_error_ || n_written_ + slots_.size() > j; });
    if (first_error_) return stopped();
    Slot& slot = slots_[j % slots_.size()];
    lock.unlock();
    Result<void> formatted = format(slot.text, starts_[j], starts_[j + 1]);
    lock.lock();
    if (!formatted) {
      fail(std::move(formatted).error());
      return stopped();
    }
    slot.piece = j;
    if (!writing_) write_ready(lock);
    if (first_error_) return stopped();
    return {};
  }

  // The outcome once `loop`, the result of the parallel loop over the pieces, is in.
  Result<void> finish(Result<void> loop) {
    if (first_error_) return std::move(*first_error_);
    QN_TRY(std::move(loop));
    if (n_written_ != n_pieces()) {
      return Error::with_message(ErrorKind::kPanic, "expected " + std::to_string(n_pieces()) +
                                                        " pieces written, but got " +
                                                        std::to_string(n_written_));
    }
    return {};
  }

 private:
  struct Slot {
    TextBuffer text;
    std::size_t piece = SIZE_MAX;  // the piece whose formatted text it holds
  };

  // Cuts the images into pieces of at most `per_piece` images that, past their first
  // image, ask for no more room than kPieceBytes.
  void cut(std::size_t n_images, std::size_t per_piece) {
    starts_.assign(1, 0);
    std::size_t room = 0;
    for (std::size_t i = 0; i < n_images; ++i) {
      const std::size_t need = formatter_.room_for(i, i + 1);
      const std::size_t in_piece = i - starts_.back();
      if (in_piece > 0 && (in_piece == per_piece || room + need > kPieceBytes)) {
        starts_.push_back(i);
        room = 0;
      }
      room += need;
    }
    if (n_images > 0) starts_.push_back(n_images);
  }

  Result<void> format(TextBuffer& text, std::size_t first, std::size_t last) const {
    try {
      text.clear();
      text.reserve(formatter_.room_for(first, last));
      for (std::size_t i = first; i < last; ++i) {
        if (stop_requested(cancel_)) return Cancel::error();
        formatter_.format_image(text, i);
      }
      return {};
    } catch (...) {
      return error_from_current_exception();
    }
  }

  // Writes the formatted pieces next in line, releasing the lock during each write.
  // Pieces formatted meanwhile by other threads are seen when the lock is taken back.
  void write_ready(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    while (!first_error_ && n_written_ < n_pieces()) {
      Slot& slot = slots_[n_written_ % slots_.size()];
      if (slot.piece != n_written_) break;
      lock.unlock();
      Result<void> r = writer_.write(slot.text.data(), slot.text.size());
      // A slot that one large image made grow goes back to the usual size.
      if (slot.text.capacity() > 2 * kPieceBytes) slot.text = TextBuffer();
      lock.lock();
      if (!r) {
        fail(std::move(r).error());
        break;
      }
      slot.piece = SIZE_MAX;
      ++n_written_;
      slot_free_.notify_all();
    }
    writing_ = false;
  }

  // Keeps the first error and wakes the threads waiting for a slot.
  void fail(Error e) {
    if (!first_error_) first_error_ = std::move(e);
    slot_free_.notify_all();
  }

  // What a piece returns once the pipeline has failed; finish() returns the error
  // that made it fail instead.
  static Error stopped() {
    return Error::with_message(ErrorKind::kPanic, "the pipeline stopped at an earlier error");
  }

  const ChunkFormatter& formatter_;
  BufferedWriter& writer_;
  Cancel* const cancel_;
  std::vector<std::size_t> starts_;  // first image of every piece, then the image count
  std::vector<Slot> slots_;

  std::mutex mu_;  // guards everything below and the slots' `piece`
  std::condition_variable slot_free_;
  std::size_t n_written_ = 0;
  bool writing_ = false;  // a thread is writing pieces
  std::optional<Error> first_error_;
};

// Writes the header and every image through `writer`.
Result<void> write_images(BufferedWriter& writer, const WriteColumns& columns,
                          const WriteText& text, const Layout& layout, std::uint64_t n_threads,
                          std::uint64_t images_per_batch, Pool* pool, Cancel* cancel) {
  QN_TRY(writer.write(text.header.data(), text.header.size()));

  const ChunkFormatter formatter(columns, text, layout);
  // 0 counts as 1.
  const std::size_t per_piece =
      images_per_batch == 0
          ? 1
          : static_cast<std::size_t>(images_per_batch < SIZE_MAX ? images_per_batch : SIZE_MAX);
  Pool* workers = pool != nullptr && n_threads >= 2 ? pool : nullptr;
  const std::size_t n_workers = workers != nullptr ? workers->max_threads() : 1;
  // Two slots per thread: one being formatted, one formatted and waiting its turn.
  const std::size_t n_slots = n_workers < 2 ? 1 : 2 * n_workers;

  PiecePipeline pipeline(formatter, layout.n_images(), per_piece, n_slots, writer, cancel);
  Result<void> loop =
      parallel_for(workers, pipeline.n_pieces(), [&](std::size_t j) { return pipeline.piece(j); });
  QN_TRY(pipeline.finish(std::move(loop)));
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
