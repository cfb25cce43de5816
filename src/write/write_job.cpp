// The write driver and its buffered writer.
#include "write_job.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "../lines/line_reader.hpp"
#include "format.hpp"
#include "layout.hpp"
#include "text_buffer.hpp"

namespace qn {

namespace {

// Writes all of [data, data + n) to `fd`, repeating interrupted and partial writes.
// A write that accepts nothing fails with `zero_text`.
Result<void> write_all(int fd, const char* data, std::size_t n, const char* zero_text) {
  while (n > 0) {
    const ssize_t k = ::write(fd, data, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    if (k == 0) return Error::with_message(ErrorKind::kOther, zero_text);
    data += k;
    n -= static_cast<std::size_t>(k);
  }
  return {};
}

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
    if (n >= kWriteBufferBytes) return write_all(file_.get(), data, n, "failed to write whole buffer");
    std::memcpy(buffer_.get(), data, n);
    used_ = n;
    return {};
  }

  /// Writes the buffered bytes to the file. After a failure the bytes not yet
  /// written stay buffered.
  Result<void> flush() {
    std::size_t done = 0;
    Result<void> outcome;
    while (done < used_) {
      const ssize_t k = ::write(file_.get(), buffer_.get() + done, used_ - done);
      if (k < 0) {
        if (errno == EINTR) continue;
        outcome = Error::from_errno(errno);
        break;
      }
      if (k == 0) {
        outcome = Error::with_message(ErrorKind::kOther, "failed to write the buffered data");
        break;
      }
      done += static_cast<std::size_t>(k);
    }
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

Result<UniqueFd> create_for_writing(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  return UniqueFd(fd);
}

}  // namespace

Result<void> write_job(const std::string& path, const WriteColumns& columns, const WriteText& text,
                       std::uint64_t n_threads, std::uint64_t images_per_batch, Pool* pool) {
  QN_ASSIGN_OR_RETURN(const Layout layout, build_layout(columns, text.panel_names.size()));
  QN_TRY(check_text(text, layout));

  QN_ASSIGN_OR_RETURN(UniqueFd file, create_for_writing(path));
  BufferedWriter writer(std::move(file));
  QN_TRY(writer.write(text.header.data(), text.header.size()));

  const std::size_t n_img = layout.n_images();
  // 0 counts as 1; a batch never needs to be larger than the whole file.
  const std::uint64_t per_batch = images_per_batch == 0 ? 1 : images_per_batch;
  const std::size_t batch =
      per_batch < n_img ? static_cast<std::size_t>(per_batch) : (n_img == 0 ? 1 : n_img);
  const bool parallel = pool != nullptr && n_threads >= 2;

  if (!parallel) {
    TextBuffer chunks(kWriteBufferBytes);
    for (std::size_t first = 0; first < n_img; first += batch) {
      const std::size_t last = n_img - first < batch ? n_img : first + batch;
      chunks.clear();
      for (std::size_t i = first; i < last; ++i) format_image(chunks, i, columns, text, layout);
      QN_TRY(writer.write(chunks.data(), chunks.size()));
    }
  } else {
    for (std::size_t first = 0; first < n_img; first += batch) {
      const std::size_t count = n_img - first < batch ? n_img - first : batch;
      QN_ASSIGN_OR_RETURN(
          std::vector<TextBuffer> chunks,
          parallel_map<TextBuffer>(pool, count, [&](std::size_t j) -> Result<TextBuffer> {
            TextBuffer chunk(kImageBufferBytes);
            format_image(chunk, first + j, columns, text, layout);
            return chunk;
          }));
      if (chunks.size() != count) {
        return Error::with_message(ErrorKind::kPanic,
                                   "expected " + std::to_string(count) + " total writes, but got " +
                                       std::to_string(chunks.size()));
      }
      for (TextBuffer& chunk : chunks) {
        QN_TRY(writer.write(chunk.data(), chunk.size()));
        chunk = TextBuffer();  // freed as soon as it is written
      }
    }
  }
  return writer.flush();
}

}  // namespace qn
