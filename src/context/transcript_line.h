#pragma once
// One transcript line, accepted or rejected exactly as a full JSON parser would, without building a
// document: transcripts are mostly long tool outputs the readers never look at, and checking those
// bytes is far cheaper than materialising them. Only the members the readers use are kept, as raw
// JSON text pointing into the line.

#include <optional>
#include <string>
#include <string_view>

#include "context/pricing.h"

namespace talvane {

struct TranscriptLine {
  // Raw JSON values ("\"user\"", "{...}", "12"); empty when the member is absent. A repeated key
  // keeps its last value, as a parser building an object would.
  std::string_view type, timestamp, cwd, entrypoint, gitBranch, customTitle, lastPrompt;
  std::string_view message;
  // Members of "message", set only when the last "message" is an object.
  std::string_view model, id, usage, stopReason, content;

  // The line's members when `text` is one valid JSON object, else nothing (invalid JSON, another
  // kind of value, trailing bytes...).
  static std::optional<TranscriptLine> read(std::string_view text);

  // The decoded text of a raw value that is a JSON string.
  static std::optional<std::string> string(std::string_view raw);
  // A raw string value that decodes to `text`.
  static bool equals(std::string_view raw, std::string_view text);
  // The counts of a raw "usage" object, exactly as Pricing::Usage::of reads the parsed object,
  // without building it.
  static Pricing::Usage counts(std::string_view raw);

  static bool isObject(std::string_view raw) { return !raw.empty() && raw.front() == '{'; }
  static bool isString(std::string_view raw) { return !raw.empty() && raw.front() == '"'; }
};

}  // namespace talvane
