#include "hub/tool_text.h"

#include <gio/gio.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "platform/files.h"

namespace talvane::ToolText {
namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// One character iterator per thread: creating one loads ICU's rules, which costs far more
// than the texts we measure.
icu::BreakIterator* characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  return iterator.get();
}

// Calls `boundary(offset)` for each grapheme boundary after the start, in order, until it
// returns false. Offsets are byte offsets into `text`.
template <typename Fn>
void forEachBoundary(std::string_view text, Fn boundary) {
  if (text.empty()) return;
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return;
  const auto length = static_cast<int32_t>(text.size());
  icu::BreakIterator* it = characterIterator();
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = it ? utext_openUTF8(nullptr, text.data(), length, &status) : nullptr;
  if (ut && U_SUCCESS(status)) it->setText(ut, status);
  if (!ut || U_FAILURE(status)) {
    // Without ICU's rules, fall back to one character per code point.
    if (ut) utext_close(ut);
    int32_t offset = 0;
    while (offset < length) {
      UChar32 c;
      U8_NEXT(text.data(), offset, length, c);
      (void)c;
      if (!boundary(static_cast<std::size_t>(offset))) return;
    }
    return;
  }
  it->first();
  for (int32_t offset = it->next(); offset != icu::BreakIterator::DONE; offset = it->next()) {
    if (!boundary(static_cast<std::size_t>(offset))) break;
  }
  // Leave no pointer to `text` behind in the shared iterator.
  static const icu::UnicodeString nothing;
  it->setText(nothing);
  utext_close(ut);
}

bool isBlank(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

// The first piece between line breaks that is not empty; empty when there is none.
std::string_view firstLine(std::string_view text) {
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t breakLength = 0;
    if (isLineBreakAt(text, i, &breakLength)) {
      if (i > start) return text.substr(start, i - start);
      i += breakLength;
      start = i;
    } else {
      ++i;
    }
  }
  return text.substr(start);
}

std::string inputString(const Json& input, std::string_view key) {
  return json::string(input, key).value_or(std::string());
}

std::string shortOf(const Json& input, std::string_view key, int max) {
  return shortText(inputString(input, key), max);
}

bool isMcp(std::string_view tool) { return tool.starts_with("mcp__"); }

// The pieces of a tool name between underscores, empty pieces dropped.
std::vector<std::string_view> underscorePieces(std::string_view name) {
  std::vector<std::string_view> pieces;
  std::size_t i = 0;
  while (i <= name.size()) {
    std::size_t j = name.find('_', i);
    if (j == std::string_view::npos) j = name.size();
    if (j > i) pieces.push_back(name.substr(i, j - i));
    i = j + 1;
  }
  return pieces;
}

std::string joinFrom(const std::vector<std::string_view>& pieces, std::size_t first) {
  std::string out;
  for (std::size_t i = first; i < pieces.size(); ++i) {
    if (i > first) out += '_';
    out += pieces[i];
  }
  return out;
}

bool isOneOf(std::string_view tool, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), tool) != names.end();
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  if (isAscii(text)) {
    // In ASCII every byte is a character, except that CR LF is one.
    std::size_t count = text.size();
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == '\r' && text[i + 1] == '\n') --count;
    }
    return count;
  }
  std::size_t count = 0;
  forEachBoundary(text, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string_view prefixCharacters(std::string_view text, std::size_t count) {
  if (count == 0) return {};
  if (isAscii(text) && text.find('\r') == std::string_view::npos) {
    return text.substr(0, std::min(count, text.size()));
  }
  std::size_t end = text.size();
  std::size_t seen = 0;
  forEachBoundary(text, [&](std::size_t offset) {
    if (++seen < count) return true;
    end = offset;
    return false;
  });
  return text.substr(0, end);
}

bool isLineBreakAt(std::string_view text, std::size_t offset, std::size_t* length) {
  std::size_t size = 0;
  if (offset < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[offset]);
    const std::string_view rest = text.substr(offset);
    if (b0 >= 0x0A && b0 <= 0x0D) {
      size = 1;
    } else if (rest.starts_with("\xC2\x85") || rest.starts_with("\xE2\x80\xA8") ||
               rest.starts_with("\xE2\x80\xA9")) {
      size = b0 == 0xC2 ? 2 : 3;
    }
  }
  if (length) *length = size;
  return size > 0;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t breakLength = 0;
    if (isLineBreakAt(text, i, &breakLength)) {
      if (i > start) pieces.push_back(text.substr(start, i - start));
      i += breakLength;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

std::string trimWhite(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t start = 0;
  while (start < length) {
    std::int32_t next = start;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    start = next;
  }
  std::int32_t end = length;
  while (end > start) {
    std::int32_t previous = end;
    UChar32 c;
    U8_PREV(bytes, start, previous, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return std::string(
      text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
}

std::string_view trimBlanks(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return text;
  const char* s = text.data();
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (!isBlank(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (!isBlank(c)) break;
    end = previous;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string urlHost(std::string_view text) {
  const std::string owned(text);
  GUri* uri = g_uri_parse(owned.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (!uri) return {};
  const char* host = g_uri_get_host(uri);
  std::string out = host ? host : "";
  g_uri_unref(uri);
  return out;
}

std::string shortText(std::string_view text, int max) {
  // A text made only of line breaks has no line to show.
  std::string_view line = trimBlanks(firstLine(text));
  if (max <= 0) return {};
  const auto limit = static_cast<std::size_t>(max);
  // Bytes never undercount characters, so a short enough byte length needs no counting.
  if (line.size() <= limit || characterCount(line) <= limit) return std::string(line);
  std::string out(prefixCharacters(line, limit - 1));
  out += "\u2026";
  return out;
}

std::string headline(std::string_view text) {
  std::vector<std::string_view> pieces = lines(text);
  for (auto& piece : pieces) piece = trimBlanks(piece);
  auto isMarkup = [](std::string_view piece) {
    return piece.starts_with("<") || piece.starts_with("#") || piece.starts_with("```");
  };
  auto chosen = std::find_if(pieces.begin(), pieces.end(), [&](std::string_view piece) {
    return !piece.empty() && !isMarkup(piece);
  });
  std::string_view choice;
  if (chosen != pieces.end()) {
    choice = *chosen;
  } else if (!pieces.empty()) {
    choice = pieces.front();
  }
  std::string plain;
  plain.reserve(choice.size());
  for (std::size_t i = 0; i < choice.size(); ++i) {
    if (choice[i] == '*' && i + 1 < choice.size() && choice[i + 1] == '*') {
      ++i;
      continue;
    }
    plain += choice[i];
  }
  return shortText(plain, 64);
}

std::string file(const Json& input) {
  for (std::string_view key : {"file_path", "notebook_path", "path"}) {
    if (auto path = json::string(input, key)) return files::lastComponent(*path);
  }
  return {};
}

std::string activity(std::string_view tool, const Json& input) {
  if (tool == "Bash") return "Running " + shortOf(input, "command", 48);
  if (isOneOf(tool, {"Edit", "MultiEdit", "NotebookEdit"})) return "Editing " + file(input);
  if (tool == "Write") return "Writing " + file(input);
  if (tool == "Read") return "Reading " + file(input);
  if (isOneOf(tool, {"Grep", "Glob"})) return "Searching " + shortOf(input, "pattern", 32);
  if (tool == "WebFetch") {
    std::string host = urlHost(inputString(input, "url"));
    return host.empty() ? "Reading the web" : "Reading " + host;
  }
  if (tool == "WebSearch") return "Searching the web";
  if (isOneOf(tool, {"Task", "Agent"})) return "Delegating " + shortOf(input, "description", 36);
  if (tool == "TodoWrite") return "Planning";
  if (tool == "AskUserQuestion") return "Asking you";
  if (isMcp(tool)) {
    auto pieces = underscorePieces(tool);
    if (pieces.size() > 2) return std::string(pieces[1]) + " \u00B7 " + joinFrom(pieces, 2);
  }
  return std::string(tool);
}

std::string kind(std::string_view tool, const Json&) {
  if (isOneOf(tool, {"Read", "Grep", "Glob", "WebFetch", "WebSearch", "LS"})) return "research";
  if (isOneOf(tool, {"Edit", "MultiEdit", "Write", "NotebookEdit"})) return "write";
  if (tool == "Bash") return "review";
  if (tool == "TodoWrite") return "reason";
  if (isOneOf(tool, {"Task", "Agent"})) return "delegate";
  return "other";
}

std::string detail(std::string_view tool, const Json& input) {
  if (tool == "Bash") return shortOf(input, "command", 40);
  if (isOneOf(tool, {"Read", "Edit", "MultiEdit", "Write", "NotebookEdit"})) return file(input);
  if (isOneOf(tool, {"Grep", "Glob"})) return shortOf(input, "pattern", 32);
  if (tool == "WebFetch") return urlHost(inputString(input, "url"));
  if (tool == "WebSearch") return shortOf(input, "query", 32);
  if (isOneOf(tool, {"Task", "Agent"})) return shortOf(input, "description", 32);
  if (isMcp(tool)) return joinFrom(underscorePieces(tool), 2);
  return {};
}

PermissionText permission(std::string_view tool, const Json& input) {
  if (tool == "Bash") return {"Wants to run", inputString(input, "command")};
  if (isOneOf(tool, {"Edit", "MultiEdit", "NotebookEdit"})) {
    auto path = json::string(input, "file_path");
    if (!path) path = json::string(input, "notebook_path");
    return {"Edit " + file(input) + "?", path.value_or(std::string())};
  }
  if (tool == "Write") return {"Create " + file(input) + "?", inputString(input, "file_path")};
  if (tool == "Read") return {"Read " + file(input) + "?", inputString(input, "file_path")};
  if (tool == "WebFetch") return {"Fetch this page?", inputString(input, "url")};
  if (tool == "WebSearch") return {"Search the web?", inputString(input, "query")};
  // The input is a dictionary; anything else shows as an empty one. Json objects keep their
  // keys sorted, and the serialiser leaves "/" unescaped and replaces ill-formed UTF-8.
  const std::string shown = input.is_object() ? json::compact(input) : std::string("{}");
  return {"Allow " + activity(tool, Json::object()) + "?", shown};
}

std::vector<Question> questions(const Json& input) {
  std::vector<Question> out;
  const Json* list = json::array(input, "questions");
  if (!list) return out;
  for (const Json& item : *list) {
    // A stray non-object entry is skipped; answers are keyed by question text, not position.
    if (!item.is_object()) continue;
    Question q;
    q.header = inputString(item, "header");
    q.text = inputString(item, "question");
    if (const Json* options = json::array(item, "options")) {
      for (const Json& option : *options) {
        if (!option.is_object()) continue;
        q.options.push_back({inputString(option, "label"), inputString(option, "description")});
      }
    }
    q.multi = json::boolean(item, "multiSelect").value_or(false);
    out.push_back(std::move(q));
  }
  return out;
}

}  // namespace talvane::ToolText
