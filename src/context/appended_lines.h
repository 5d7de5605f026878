#pragma once
// Reading what was appended to a growing JSON-lines file since the last time, in bounded chunks, so
// that memory stays at one chunk plus the longest line however large the file gets.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace talvane {

class AppendedLines {
 public:
  // Small enough that a chunk is still in the core's cache when its lines are scanned, and that
  // its pages are not faulted in afresh for every file.
  static constexpr std::size_t kChunk = 256u << 10;
  // Longer lines are skipped, as the bridge skips them: no record worth reading comes near it,
  // and a line that never ends must not be gathered in memory.
  static constexpr std::size_t kMaxLine = 64u << 20;

  explicit AppendedLines(std::size_t chunk = kChunk, std::size_t maxLine = kMaxLine)
      : maxLine_(maxLine ? maxLine : 1), chunk_(std::min(chunk ? chunk : 1, maxLine_)) {}

  enum class Shrunk {
    restart,  // a file shorter than the offset was replaced or truncated: read it from its start
    wait,     // keep the offset: nothing is read until the file grows past it
  };

  // Hands `block` every run of complete lines (each ending in a newline) between `offset` and the
  // file's current end, and moves `offset` just past the last newline; a partial last line stays
  // for the next call. A line longer than the limit is not handed on: the offset moves past what
  // was read of it, and the next call goes on skipping it to its newline. Returns false when the
  // file cannot be opened or is no regular file. With Shrunk::restart, a file shorter than
  // `offset` calls `restarted` and is read from 0.
  //
  // With a `budget`, no line that starts `budget` bytes or more past `offset` is read (a line
  // begun before that is finished), so that a file growing as fast as it is read still gives
  // the reader back; `*more` then tells whether the file went on past where reading stopped.
  bool read(const std::string& path, std::uint64_t& offset, Shrunk shrunk,
            const std::function<void(std::string_view block)>& block,
            const std::function<void()>& restarted = {}, std::uint64_t budget = UINT64_MAX,
            bool* more = nullptr);

  // Gives the buffer's memory back (it is kept between reads to spare page faults), or only when
  // it holds more than `keep` bytes.
  void release(std::size_t keep = 0);

  // Calls `line` for each non-empty line of a block of complete lines.
  template <typename Fn>
  static void forEachLine(std::string_view block, Fn&& line) {
    while (!block.empty()) {
      const auto nl = block.find('\n');
      const auto text = block.substr(0, nl);
      if (!text.empty()) line(text);
      if (nl == std::string_view::npos) break;
      block.remove_prefix(nl + 1);
    }
  }

 private:
  struct Pass;
  // One read of the pass and the lines it completes; false ends the pass.
  bool step(Pass& p, const std::function<void(std::string_view block)>& block);
  // Makes room for `want` bytes after the `carry` bytes kept at the buffer's start.
  void grow(std::size_t carry, std::size_t want);
  // A read found no newline after the line that starts at `lineStart`: sets the pass up to read
  // that line whole, skip it, or wait for its end; false ends the pass.
  bool followLine(Pass& p, std::uint64_t lineStart);
  // Where the line ends, reading on from `scan` (left where the search stopped) while the line
  // is within the limit; none when it runs past the limit or the file's end first.
  std::optional<std::uint64_t> lineEnd(const Pass& p, std::uint64_t lineStart, std::uint64_t& scan);

  std::size_t maxLine_;
  std::size_t chunk_;
  // Per path, the offset at which a call stopped inside an over-long line; still skipping when
  // the next call starts from there.
  std::unordered_map<std::string, std::uint64_t> skipping_;
  std::unique_ptr<char[]> buffer_;  // not zero-filled: every byte used is read first
  std::size_t capacity_ = 0;
};

}  // namespace talvane
