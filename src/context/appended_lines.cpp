#include "context/appended_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/gobject.h"

namespace talvane {

bool AppendedLines::read(const std::string& path, std::uint64_t& offset, Shrunk shrunk,
                         const std::function<void(std::string_view)>& block,
                         const std::function<void()>& restarted) {
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

  // buffer_[0, carry) holds the start of a line that the previous chunk did not finish; it never
  // holds more than maxLine_ bytes, and none while skipping.
  std::uint64_t position = offset;  // file position of buffer_[carry]
  std::size_t carry = 0;
  while (position < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, size - position));
    if (capacity_ < carry + want) {
      // Doubling keeps a long line's gathering linear; it never needs more than this.
      const std::size_t grown =
          std::max(carry + want, std::min(2 * capacity_, maxLine_ + chunk_));
      auto bigger = std::make_unique_for_overwrite<char[]>(grown);
      if (carry) std::memcpy(bigger.get(), buffer_.get(), carry);
      buffer_ = std::move(bigger);
      capacity_ = grown;
    }
    char* const base = buffer_.get();
    ssize_t got;
    do {
      got = ::pread(fd.get(), base + carry, want, static_cast<off_t>(position));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) break;  // the file shrank under us, or cannot be read: keep what was read
    const std::size_t filled = carry + static_cast<std::size_t>(got);
    position += static_cast<std::uint64_t>(got);
    // The carried part holds no newline, so only the new bytes need a look.
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
    const std::size_t fresh = std::max(start, carry);
    const void* last = ::memrchr(base + fresh, '\n', filled - fresh);
    if (!last) {
      if (filled - start > maxLine_) {
        skipping = true;
        offset = position;
        carry = 0;
      } else {
        if (start) std::memmove(base, base + start, filled - start);
        carry = filled - start;
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
