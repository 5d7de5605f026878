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

// One call's reading state.
struct AppendedLines::Pass {
  int fd;
  std::uint64_t size;  // the file's length when the call began
  // Reads start only before this; what one started there is still taken to its end.
  std::uint64_t stop;
  std::uint64_t& offset;
  bool skipping;           // inside an over-long line: nothing is kept up to its newline
  std::uint64_t position;  // file position of buffer_[carry]
  // buffer_[0, carry) holds the start of a line that the previous chunk did not finish; never
  // more than a chunk, and nothing while skipping.
  std::size_t carry = 0;
  std::size_t wholeLine = 0;           // the next read takes a line this long
  std::uint64_t rewound = UINT64_MAX;  // where the last whole-line read began
};

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

  // A line that goes on past the chunk is first followed to its end without being kept, then
  // read whole, so that it costs two reads rather than a buffer grown step by step; a last line
  // still being written costs one read.
  Pass p{fd.get(), size, size - offset > budget ? offset + budget : size, offset, skipping, offset};
  while (p.position < p.stop || (p.wholeLine && p.position < p.size)) {
    if (!step(p, block)) break;
  }
  if (p.skipping) skipping_[path] = offset;
  if (more) *more = offset < size && p.position >= p.stop && p.stop < size;
  // One very long line may have grown the buffer far past a chunk: do not keep that around.
  release(2 * chunk_);
  return true;
}

bool AppendedLines::step(Pass& p, const std::function<void(std::string_view)>& block) {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(
      std::max(chunk_, p.wholeLine), (p.wholeLine ? p.size : p.stop) - p.position));
  p.wholeLine = 0;
  grow(p.carry, want);
  char* const base = buffer_.get();
  const ssize_t got = readAt(p.fd, base + p.carry, want, p.position);
  if (got <= 0) return false;  // the file shrank under us, or cannot be read: keep what was read
  const std::size_t filled = p.carry + static_cast<std::size_t>(got);
  p.position += static_cast<std::uint64_t>(got);
  std::size_t start = 0;  // first byte of the buffer that belongs to a line worth reading
  if (p.skipping) {
    const void* nl = std::memchr(base, '\n', filled);
    if (!nl) {
      p.offset = p.position;
      return true;
    }
    start = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
    p.offset = p.position - (filled - start);
    p.skipping = false;
  }
  // The carried part holds no newline, so only the new bytes need a look.
  const std::size_t fresh = std::max(start, p.carry);
  const void* last = ::memrchr(base + fresh, '\n', filled - fresh);
  if (!last) return followLine(p, p.position - (filled - start));
  const auto complete = static_cast<std::size_t>(static_cast<const char*>(last) - base) + 1;
  // Only the first line can be longer than a chunk, and so than the limit.
  const auto first = static_cast<const char*>(std::memchr(base + fresh, '\n', filled - fresh));
  if (static_cast<std::size_t>(first - base) - start > maxLine_)
    start = static_cast<std::size_t>(first - base) + 1;
  p.offset = p.position - (filled - complete);
  if (complete > start) block(std::string_view(base + start, complete - start));
  p.carry = filled - complete;
  if (p.carry) std::memmove(base, base + complete, p.carry);
  return true;
}

void AppendedLines::grow(std::size_t carry, std::size_t want) {
  if (capacity_ >= carry + want) return;
  // Room for a chunk and a carried line at once, so that carries of different lengths do not
  // each cost a new buffer (and its pages faulted in again); pages never touched cost nothing.
  const std::size_t room = std::max(carry + want, 2 * chunk_);
  auto bigger = std::make_unique_for_overwrite<char[]>(room);
  if (carry) std::memcpy(bigger.get(), buffer_.get(), carry);
  buffer_ = std::move(bigger);
  capacity_ = room;
}

bool AppendedLines::followLine(Pass& p, std::uint64_t lineStart) {
  if (lineStart == p.rewound) return false;  // the file changed while it was read; next time
  std::uint64_t scan = p.position;
  const std::optional<std::uint64_t> end = lineEnd(p, lineStart, scan);
  p.carry = 0;
  if (end && *end - lineStart <= maxLine_) {
    p.position = p.rewound = lineStart;
    p.wholeLine = static_cast<std::size_t>(*end - lineStart) + 1;
  } else if (end) {
    p.position = p.offset = *end + 1;
  } else if (scan - lineStart > maxLine_) {
    p.position = p.offset = scan;
    p.skipping = true;
  } else {
    return false;  // a last line still being written: read once it is complete
  }
  return true;
}

std::optional<std::uint64_t> AppendedLines::lineEnd(const Pass& p, std::uint64_t lineStart,
                                                    std::uint64_t& scan) {
  // The buffer is free to scan with: nothing in it is needed.
  char* const base = buffer_.get();
  while (scan < p.size && scan - lineStart <= maxLine_) {
    const ssize_t n =
        readAt(p.fd, base,
               static_cast<std::size_t>(std::min<std::uint64_t>(capacity_, p.size - scan)), scan);
    if (n <= 0) break;
    if (const void* nl = std::memchr(base, '\n', static_cast<std::size_t>(n)))
      return scan + static_cast<std::uint64_t>(static_cast<const char*>(nl) - base);
    scan += static_cast<std::uint64_t>(n);
  }
  return std::nullopt;
}

void AppendedLines::release(std::size_t keep) {
  if (capacity_ > keep) {
    buffer_.reset();
    capacity_ = 0;
  }
}

}  // namespace talvane
