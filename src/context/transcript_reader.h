#pragma once
// Keeps a running TranscriptStats per Claude Code transcript, reading only what was appended since
// the last call. The hub calls update() whenever a hook event names a transcript.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "context/appended_lines.h"
#include "context/transcript_stats.h"

namespace talvane {

class TranscriptReader {
 public:
  explicit TranscriptReader(std::size_t chunk = AppendedLines::kChunk) : lines_(chunk) {}

  // Texts kept from a line are cut to this many bytes (titles and prompts are shown as one
  // short line); a longer working directory, branch, model or entry point is no such thing and
  // is ignored. What a session keeps, and shows on every snapshot, stays small however long the
  // line.
  static constexpr std::size_t kMaxText = 4096;

  // Reads the complete lines appended to `path` and returns the updated record. A file that
  // shrank is read again from its start with an empty record; an unreadable one changes nothing.
  // With a `budget`, reading stops at the first line that starts that many bytes on, and `*more`
  // tells whether the file goes on.
  TranscriptStats update(const std::string& path, std::uint64_t budget = UINT64_MAX,
                         bool* more = nullptr);

  // The record last returned for `path`, or nullptr.
  const TranscriptStats* stats(const std::string& path) const;
  // Bytes of `path` already read (just past its last complete line).
  std::uint64_t offset(const std::string& path) const;

  // Takes over what `other` read of the paths this reader has not read.
  void adopt(TranscriptReader&& other);
  // Moves what is known of `path` into a reader of its own, to be read further elsewhere; this
  // reader keeps only its record meanwhile. `giveBack` takes it back, replacing that record.
  TranscriptReader lend(const std::string& path);
  void giveBack(TranscriptReader&& other);

 private:
  struct Entry {
    std::uint64_t offset = 0;
    std::unordered_set<std::string> seenMessages;  // assistant message ids already costed
    TranscriptStats stats;
  };

  static void apply(std::string_view line, Entry& entry);

  std::unordered_map<std::string, Entry> entries_;
  AppendedLines lines_;
};

}  // namespace talvane
