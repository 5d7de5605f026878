#pragma once
// The short English texts the notch shows for a tool call, prompt or message. Pure functions:
// any input is accepted, a missing key or a value of another type counts as empty.
//
// Lengths are counted in user-perceived characters (grapheme clusters). Line breaks are
// U+000A to U+000D, U+0085, U+2028 and U+2029; white space means spaces and tabs only.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "hub/session.h"
#include "platform/json.h"

namespace talvane::ToolText {

// The first non-empty line of `text`, trimmed, cut to at most `max` characters with a final
// "…" when it was longer.
std::string shortText(std::string_view text, int max);

// A one-line title of a prompt: its first line that is not markup ("<", "#", "```"), with "**"
// removed, at most 64 characters.
std::string headline(std::string_view text);

// The last path component of "file_path", "notebook_path" or "path", the first present.
std::string file(const Json& input);

// The line of a running tool: "Running ls", "Editing main.cpp", "github · create_issue", ...
std::string activity(std::string_view tool, const Json& input);

// "research", "write", "review", "reason", "delegate" or "other".
std::string kind(std::string_view tool, const Json& input);

// The tally's detail of one call: the command, file, pattern, host, ...
std::string detail(std::string_view tool, const Json& input);

struct PermissionText {
  std::string title;
  std::string detail;

  bool operator==(const PermissionText&) const = default;
};
// The title and detail of a permission request for running `tool` with `input`.
PermissionText permission(std::string_view tool, const Json& input);

// The questions of a question tool's input, in order.
std::vector<Question> questions(const Json& input);

// Helpers the functions above are built on, shared with other text code.

// Number of grapheme clusters.
std::size_t characterCount(std::string_view text);
// The first `count` grapheme clusters of `text` (all of it when it has fewer).
std::string_view prefixCharacters(std::string_view text, std::size_t count);
// Whether a line-break character starts at byte `offset`; `length` gets its size in bytes.
bool isLineBreakAt(std::string_view text, std::size_t offset, std::size_t* length = nullptr);
// The pieces of `text` between line breaks, empty pieces dropped.
std::vector<std::string_view> lines(std::string_view text);
// `text` without horizontal white space (tabs and Unicode space separators) at both ends.
std::string_view trimBlanks(std::string_view text);
// Without white space and line breaks (Unicode's White_Space) at both ends.
std::string trimWhite(std::string_view text);
// The host of an absolute URL, or empty when `text` is no URL with a host.
std::string urlHost(std::string_view text);

}  // namespace talvane::ToolText
