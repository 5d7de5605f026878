#include "context/appended_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/gobject.h"

namespace talvane {

bool AppendedLines::read(const std::string& path, std::uint64_t& offset, Shrunk shrunk,
                         const std::function<void(std::string_view)>& block,
                         const std::function<void()>& restarted) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  const off_t end = ::lseek(fd.get(), 0, SEEK_END);
  const std::uint64_t size = end < 0 ? 0 : static_cast<std::uint64_t>(end);
  if (size < offset && shrunk == Shrunk::restart) {
    offset = 0;
    if (restarted) restarted();
  }
  if (size <= offset) return true;
  ::posix_fadvise(fd.get(), static_cast<off_t>(offset), 0, POSIX_FADV_SEQUENTIAL);

  // buffer_[0, carry) holds the start of a line that the previous chunk did not finish.
  std::uint64_t position = offset;  // file position of buffer_[carry]
  std::size_t carry = 0;
  while (position < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, size - position));
    if (capacity_ < carry + want) {
      auto bigger = std::make_unique_for_overwrite<char[]>(carry + want);
      if (carry) std::memcpy(bigger.get(), buffer_.get(), carry);
      buffer_ = std::move(bigger);
      capacity_ = carry + want;
    }
    ssize_t got;
    do {
      got = ::pread(fd.get(), buffer_.get() + carry, want, static_cast<off_t>(position));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) break;  // the file shrank under us, or cannot be read: keep what was read
    const std::size_t filled = carry + static_cast<std::size_t>(got);
    position += static_cast<std::uint64_t>(got);
    // The carried part holds no newline, so only the new bytes need a look.
    const void* nl = ::memrchr(buffer_.get() + carry, '\n', static_cast<std::size_t>(got));
    if (!nl) {
      carry = filled;
      continue;
    }
    const auto complete =
        static_cast<std::size_t>(static_cast<const char*>(nl) - buffer_.get()) + 1;
    offset = position - (filled - complete);
    block(std::string_view(buffer_.get(), complete));
    carry = filled - complete;
    if (carry) std::memmove(buffer_.get(), buffer_.get() + complete, carry);
  }
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
