#include "context/appended_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/files.h"
#include "platform/gobject.h"

namespace talvane {

namespace {

ssize_t readAt(int fd, char* into, std::size_t size, std::uint64_t position) {
  ssize_t got;
  do {
    got = ::pread(fd, into, size, static_cast<off_t>(position));
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace

bool AppendedLines::read(const std::string& path, std::uint64_t& offset, Shrunk shrunk,
                         const std::function<void(std::string_view)>& block,
                         const std::function<void()>& restarted, std::uint64_t budget, bool* more) {
  if (more) *more = false;
  UniqueFd fd(files::openRegular(path));
  if (!fd) return false;
  const off_t end = ::lseek(fd.get(), 0, SEEK_END);
  const std::uint64_t size = end < 0 ? 0 : static_cast<std::uint64_t>(end);
  if (size < offset && shrunk == Shrunk::restart) {
    offset = 0;
    if (restarted) restarted();
  }
  bool skipping = false;
  if (auto it = skipping_.find(path); it != skipping_.end()) {
    skipping = it->second == offset;
    skipping_.erase(it);
  }
  if (size <= offset) {
    if (skipping) skipping_[path] = offset;
    return true;
  }
  ::posix_fadvise(fd.get(), static_cast<off_t>(offset), 0, POSIX_FADV_SEQUENTIAL);

  // buffer_[0, carry) holds the start of a line that the previous chunk did not finish; never
  // more than a chunk, and nothing while skipping. A line that goes on past the chunk is first
  // followed to its end without being kept, then read whole, so that it costs two reads rather
  // than a buffer grown step by step; a last line still being written costs one read.
  std::uint64_t position = offset;  // file position of buffer_[carry]
  std::size_t carry = 0;
  std::size_t wholeLine = 0;                          // the next read takes a line this long
  std::uint64_t rewound = UINT64_MAX;                 // where the last whole-line read began
  // Reads start only before this; what one started there is still taken to its end.
  const std::uint64_t stop = size - offset > budget ? offset + budget : size;
  while (position < stop || (wholeLine && position < size)) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(chunk_, wholeLine), (wholeLine ? size : stop) - position));
    wholeLine = 0;
    if (capacity_ < carry + want) {
      // Room for a chunk and a carried line at once, so that carries of different lengths do
      // not each cost a new buffer (and its pages faulted in again); pages never touched cost
      // nothing.
      const std::size_t room = std::max(carry + want, 2 * chunk_);
      auto bigger = std::make_unique_for_overwrite<char[]>(room);
      if (carry) std::memcpy(bigger.get(), buffer_.get(), carry);
      buffer_ = std::move(bigger);
      capacity_ = room;
    }
    char* const base = buffer_.get();
    const ssize_t got = readAt(fd.get(), base + carry, want, position);
    if (got <= 0) break;  // the file shrank under us, or cannot be read: keep what was read
    const std::size_t filled = carry + static_cast<std::size_t>(got);
    position += static_cast<std::uint64_t>(got);
    std::size_t start = 0;  // first byte of the buffer that belongs to a line worth reading
    if (skipping) {
      const void* nl = std::memchr(base, '\n', filled);
      if (!nl) {
        offset = position;
        continue;
      }
      start = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
      offset = position - (filled - start);
      skipping = false;
    }
    // The carried part holds no newline, so only the new bytes need a look.
    const std::size_t fresh = std::max(start, carry);
    const void* last = ::memrchr(base + fresh, '\n', filled - fresh);
    if (!last) {
      const std::uint64_t lineStart = position - (filled - start);
      if (lineStart == rewound) break;  // the file changed while it was read; next time
      // Where does the line end? The buffer is free to scan with: nothing in it is needed.
      std::uint64_t scan = position;
      std::optional<std::uint64_t> end;
      while (scan < size && scan - lineStart <= maxLine_) {
        const ssize_t n = readAt(fd.get(), base,
                                 static_cast<std::size_t>(std::min<std::uint64_t>(
                                     capacity_, size - scan)),
                                 scan);
        if (n <= 0) break;
        if (const void* nl = std::memchr(base, '\n', static_cast<std::size_t>(n))) {
          end = scan + static_cast<std::uint64_t>(static_cast<const char*>(nl) - base);
          break;
        }
        scan += static_cast<std::uint64_t>(n);
      }
      carry = 0;
      if (end && *end - lineStart <= maxLine_) {
        position = rewound = lineStart;
        wholeLine = static_cast<std::size_t>(*end - lineStart) + 1;
      } else if (end) {
        position = offset = *end + 1;
      } else if (scan - lineStart > maxLine_) {
        position = offset = scan;
        skipping = true;
      } else {
        break;  // a last line still being written: read once it is complete
      }
      continue;
    }
    const auto complete = static_cast<std::size_t>(static_cast<const char*>(last) - base) + 1;
    // Only the first line can be longer than a chunk, and so than the limit.
    const auto first = static_cast<const char*>(std::memchr(base + fresh, '\n', filled - fresh));
    if (static_cast<std::size_t>(first - base) - start > maxLine_)
      start = static_cast<std::size_t>(first - base) + 1;
    offset = position - (filled - complete);
    if (complete > start) block(std::string_view(base + start, complete - start));
    carry = filled - complete;
    if (carry) std::memmove(base, base + complete, carry);
  }
  if (skipping) skipping_[path] = offset;
  if (more) *more = offset < size && position >= stop && stop < size;
  // One very long line may have grown the buffer far past a chunk: do not keep that around.
  release(2 * chunk_);
  return true;
}

void AppendedLines::release(std::size_t keep) {
  if (capacity_ > keep) {
    buffer_.reset();
    capacity_ = 0;
  }
}

}  // namespace talvane
