#pragma once
// Changing JSON text the way a careful person would. The agents' configuration files belong to
// the user, so a change touches only the members and list entries it must: everything else
// keeps its bytes (comments, order, indentation, line ends, the spelling of numbers and
// escapes), and new entries follow the indentation and line ends the file already uses.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json.h"

namespace talvane::JsonText {

struct Syntax {
  // A comma may close an object or a list, as the editors' own settings files allow.
  bool trailingCommas = false;
};

// Why text is not JSON, e.g. "parse error at line 3, column 7: expected a value".
class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value the text holds; "//" and "/* */" comments are allowed. Throws ParseError.
Json parse(std::string_view text, Syntax syntax = {});

// `text` changed so that it holds `desired`. Members and entries that stay keep their text;
// removed ones go with their comma and their line; new ones are written after the last one
// that stays, in the file's indentation. Absent when the result would not hold exactly
// `desired` (it is parsed again to make sure). Throws ParseError when `text` is not JSON.
std::optional<std::string> edit(std::string_view text, const Json& desired, Syntax syntax = {});

// The text of the value reached through the member names `path` (for a repeated name, the last
// one), as it stands in `text`; absent when there is none. Throws ParseError when `text` is not
// JSON.
std::optional<std::string> textAt(std::string_view text, const std::vector<std::string>& path,
                                  Syntax syntax = {});

}  // namespace talvane::JsonText
