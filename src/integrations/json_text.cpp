#include "integrations/json_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace talvane::JsonText {

namespace {

constexpr std::size_t npos = std::string_view::npos;
// Deeper nesting than any settings file has; it keeps hostile input from exhausting the stack.
constexpr int kMaxDepth = 512;
// Past this many entry comparisons a changed list is written whole instead of diffed.
constexpr std::size_t kMaxDiffCells = std::size_t{1} << 22;

struct Item;

// A value and where its text lies; containers also know their entries.
struct Node {
  enum Kind { scalar, object, array };
  Kind kind = scalar;
  std::size_t begin = 0;  // the first character of the value
  std::size_t end = 0;    // one past its last character
  Json value;
  std::vector<Item> items;
};

struct Item {
  std::string key;        // members only
  std::size_t start = 0;  // the member's name, or the entry itself
  Node node;
  std::size_t comma = npos;  // the comma that follows it
};

class Parser {
 public:
  Parser(std::string_view text, Syntax syntax) : t_(text), syntax_(syntax) {}

  Node document() {
    if (t_.substr(0, 3) == "\xEF\xBB\xBF") p_ = 3;
    skip();
    Node root = value(0);
    skip();
    if (p_ < t_.size()) fail("unexpected text after the value");
    return root;
  }

  // Whether the file writes a space after the colon of its first member.
  bool spaced() const { return spaced_; }

 private:
  [[noreturn]] void fail(std::string_view what) const {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < p_ && i < t_.size(); ++i) {
      if (t_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw ParseError("parse error at line " + std::to_string(line) + ", column " +
                     std::to_string(column) + ": " + std::string(what));
  }

  void skip() {
    while (p_ < t_.size()) {
      const char c = t_[p_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++p_;
      } else if (t_.compare(p_, 2, "//") == 0) {
        p_ = std::min(t_.find('\n', p_), t_.size());
      } else if (t_.compare(p_, 2, "/*") == 0) {
        const std::size_t close = t_.find("*/", p_ + 2);
        if (close == npos) fail("unterminated comment");
        p_ = close + 2;
      } else {
        return;
      }
    }
  }

  Node value(int depth) {
    if (depth > kMaxDepth) fail("nested too deeply");
    if (p_ >= t_.size()) fail("expected a value");
    if (t_[p_] == '{') return container(Node::object, depth);
    if (t_[p_] == '[') return container(Node::array, depth);
    if (t_[p_] == '"') return scalar(stringEnd(), "invalid string");
    std::size_t end = p_;
    while (end < t_.size() && (std::isalnum(static_cast<unsigned char>(t_[end])) ||
                               t_[end] == '-' || t_[end] == '+' || t_[end] == '.'))
      ++end;
    if (end == p_) fail("expected a value");
    return scalar(end, "invalid literal");
  }

  std::size_t stringEnd() const {
    for (std::size_t i = p_ + 1; i < t_.size(); ++i) {
      if (t_[i] == '\\')
        ++i;
      else if (t_[i] == '"')
        return i + 1;
    }
    fail("unterminated string");
  }

  // The library decodes each token, so numbers and escapes read exactly as it reads them.
  Node scalar(std::size_t end, std::string_view what) {
    Node node;
    node.begin = p_;
    node.end = end;
    const std::string_view token = t_.substr(p_, end - p_);
    node.value = Json::parse(token.begin(), token.end(), nullptr, /*allow_exceptions=*/false);
    if (node.value.is_discarded()) fail(what);
    p_ = end;
    return node;
  }

  Node container(Node::Kind kind, int depth) {
    const char close = kind == Node::object ? '}' : ']';
    Node node;
    node.kind = kind;
    node.begin = p_;
    node.value = kind == Node::object ? Json::object() : Json::array();
    ++p_;
    skip();
    for (;;) {
      if (p_ >= t_.size()) fail(kind == Node::object ? "unterminated object" : "unterminated list");
      if (t_[p_] == close) {
        if (!node.items.empty() && node.items.back().comma != npos && !syntax_.trailingCommas)
          fail("trailing comma");
        ++p_;
        break;
      }
      if (!node.items.empty() && node.items.back().comma == npos)
        fail(kind == Node::object ? "expected ',' or '}'" : "expected ',' or ']'");
      Item item;
      item.start = p_;
      if (kind == Node::object) {
        if (t_[p_] != '"') fail("expected a member name");
        item.key = scalar(stringEnd(), "invalid member name").value.get<std::string>();
        skip();
        if (p_ >= t_.size() || t_[p_] != ':') fail("expected ':'");
        if (!colonSeen_) {
          colonSeen_ = true;
          spaced_ = p_ + 1 < t_.size() && std::isspace(static_cast<unsigned char>(t_[p_ + 1]));
        }
        ++p_;
        skip();
      }
      item.node = value(depth + 1);
      skip();
      if (p_ < t_.size() && t_[p_] == ',') {
        item.comma = p_++;
        skip();
      }
      if (kind == Node::object)
        node.value[item.key] = item.node.value;  // a repeated name: the last one counts
      else
        node.value.push_back(item.node.value);
      node.items.push_back(std::move(item));
    }
    node.end = p_;
    return node;
  }

  std::string_view t_;
  Syntax syntax_;
  std::size_t p_ = 0;
  bool colonSeen_ = false;
  bool spaced_ = true;
};

struct Edit {
  std::size_t begin;
  std::size_t end;
  std::string text;
};

// A new member (key set) or list entry, written where `before` says.
struct Addition {
  const std::string* key;
  const Json* value;
};

class Editor {
 public:
  Editor(std::string_view text, const Node& root, bool spaced)
      : t_(text), root_(root), spaced_(spaced) {
    if (t_.find("\r\n") != npos) nl_ = "\r\n";
    pretty_ = t_.substr(root.begin, root.end - root.begin).find('\n') != npos;
    learnIndentUnit(root);
  }

  void change(const Node& node, const Json& desired) {
    if (node.value == desired) return;
    if (node.kind == Node::object && desired.is_object() && !node.items.empty())
      return changeObject(node, desired);
    if (node.kind == Node::array && desired.is_array() && !node.items.empty())
      return changeArray(node, desired);
    // An empty container holding comments or blanks keeps them: the new entries go in after.
    if (node.kind != Node::scalar && desired.is_object() == (node.kind == Node::object) &&
        desired.is_structured() && node.end - node.begin > 2)
      return fill(node, desired);
    // A file that is still just "{}" has no layout of its own to follow: it gets ours.
    const bool multi = pretty_ || &node == &root_;
    edits_.push_back({node.begin, node.end, render(desired, indentOf(node.begin), multi)});
  }

  // The text with every change applied; absent if two changes would overlap.
  std::optional<std::string> result() {
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) {
      return a.begin != b.begin ? a.begin > b.begin : a.end > b.end;
    });
    std::string out(t_);
    std::size_t limit = t_.size();
    for (const Edit& edit : edits_) {
      if (edit.end > limit) return std::nullopt;
      out.replace(edit.begin, edit.end - edit.begin, edit.text);
      limit = edit.begin;
    }
    return out;
  }

 private:
  // One level of indentation as the file writes it: the first entry on a line of its own
  // says by how much it is indented beyond the line that opens its container.
  bool learnIndentUnit(const Node& node) {
    for (const Item& item : node.items) {
      if (ownLine(item.start)) {
        const std::string outer = indentOf(node.begin);
        const std::string inner = indentOf(item.start);
        if (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0) {
          unit_ = inner.substr(outer.size());
          return true;
        }
      }
      if (learnIndentUnit(item.node)) return true;
    }
    return false;
  }

  std::size_t lineStart(std::size_t pos) const {
    const std::size_t nl = pos == 0 ? npos : t_.rfind('\n', pos - 1);
    return nl == npos ? 0 : nl + 1;
  }

  bool blank(std::size_t from, std::size_t to) const {
    for (std::size_t i = from; i < to; ++i)
      if (!std::isspace(static_cast<unsigned char>(t_[i]))) return false;
    return true;
  }

  bool ownLine(std::size_t pos) const {
    const std::size_t start = lineStart(pos);
    return start > 0 && t_.find_first_not_of(" \t", start) >= pos;
  }

  std::string indentOf(std::size_t pos) const {
    const std::size_t start = lineStart(pos);
    const std::size_t text = std::min(t_.find_first_not_of(" \t", start), pos);
    return std::string(t_.substr(start, text - start));
  }

  // The line break that ends the line before `pos` (its "\r" when the file uses CRLF).
  std::size_t previousBreak(std::size_t pos) const {
    std::size_t nl = lineStart(pos) - 1;
    if (nl > 0 && t_[nl - 1] == '\r') --nl;
    return nl;
  }

  std::string quoted(const std::string& key) const { return json::compact(Json(key)); }

  std::string render(const Json& value, const std::string& indent, bool multi) const {
    if (!value.is_structured()) return json::compact(value);
    if (value.empty()) return value.is_object() ? "{}" : "[]";
    const std::string inner = indent + unit_;
    std::string out(1, value.is_object() ? '{' : '[');
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!first) out += ',';
      out += multi ? nl_ + inner : (!first && spaced_ ? " " : "");
      if (value.is_object()) out += quoted(it.key()) + (multi || spaced_ ? ": " : ":");
      out += render(*it, inner, multi);
      first = false;
    }
    if (multi) out += nl_ + indent;
    out += value.is_object() ? '}' : ']';
    return out;
  }

  std::string render(const Addition& added, const std::string& indent, bool multi) const {
    std::string out;
    if (added.key) out = quoted(*added.key) + (multi || spaced_ ? ": " : ":");
    return out + render(*added.value, indent, multi);
  }

  void changeObject(const Node& node, const Json& desired) {
    const std::vector<Item>& items = node.items;
    std::vector<bool> removed(items.size(), false);
    auto lastWithKey = [&](const std::string& key) {
      for (std::size_t i = items.size(); i-- > 0;)
        if (items[i].key == key) return i;
      return npos;
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
      auto it = desired.find(items[i].key);
      if (it == desired.end())
        removed[i] = true;
      else if (lastWithKey(items[i].key) == i)
        change(items[i].node, *it);
    }
    std::vector<std::vector<Addition>> before(items.size() + 1);
    for (auto it = desired.begin(); it != desired.end(); ++it)
      if (lastWithKey(it.key()) == npos) before.back().push_back({&it.key(), &*it});
    rearrange(node, removed, before);
  }

  void changeArray(const Node& node, const Json& desired) {
    const std::vector<Item>& items = node.items;
    const std::size_t n = items.size();
    const std::size_t m = desired.size();
    if ((n + 1) * (m + 1) > kMaxDiffCells) {
      edits_.push_back({node.begin, node.end, render(desired, indentOf(node.begin), pretty_)});
      return;
    }
    // Entries equal on both sides keep their text (longest common subsequence). Between two
    // such anchors, left-over entries are changed in place pairwise, the rest go or come.
    std::vector<std::uint32_t> common((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& {
      return common[i * (m + 1) + j];
    };
    for (std::size_t i = n; i-- > 0;)
      for (std::size_t j = m; j-- > 0;)
        at(i, j) = items[i].node.value == desired[j] ? at(i + 1, j + 1) + 1
                                                     : std::max(at(i + 1, j), at(i, j + 1));
    std::vector<bool> removed(n, false);
    std::vector<std::vector<Addition>> before(n + 1);
    std::vector<std::size_t> gone;
    std::vector<std::size_t> come;
    auto closeGap = [&](std::size_t next) {
      const std::size_t paired = std::min(gone.size(), come.size());
      for (std::size_t k = 0; k < paired; ++k) change(items[gone[k]].node, desired[come[k]]);
      for (std::size_t k = paired; k < gone.size(); ++k) removed[gone[k]] = true;
      for (std::size_t k = paired; k < come.size(); ++k)
        before[next].push_back({nullptr, &desired[come[k]]});
      gone.clear();
      come.clear();
    };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && items[i].node.value == desired[j]) {
        closeGap(i);
        ++i;
        ++j;
      } else if (j == m || (i < n && at(i + 1, j) >= at(i, j + 1))) {
        gone.push_back(i++);  // on a tie an entry goes rather than one coming early
      } else {
        come.push_back(j++);
      }
    }
    closeGap(n);
    rearrange(node, removed, before);
  }

  // New entries in a container that has none but holds other text. On lines of their own they
  // follow its last comment; on one line they go just before the closing bracket. Either way
  // removing them again gives back the text as it was.
  void fill(const Node& node, const Json& desired) {
    const std::size_t open = node.begin + 1;
    const std::size_t close = node.end - 1;
    const bool multi =
        pretty_ || &node == &root_ || t_.substr(open, close - open).find('\n') != npos;
    std::size_t at = close;
    while (multi && at > open && std::isspace(static_cast<unsigned char>(t_[at - 1]))) --at;
    const std::string indent = indentOf(node.begin) + unit_;
    std::string text;
    bool first = true;
    for (auto it = desired.begin(); it != desired.end(); ++it) {
      if (!first) text += ',';
      text += multi ? nl_ + indent : (!first && spaced_ ? " " : "");
      const std::string key = node.kind == Node::object ? it.key() : std::string();
      text += render({node.kind == Node::object ? &key : nullptr, &*it}, indent, multi);
      first = false;
    }
    edits_.push_back({at, at, text});
  }

  // Removes the flagged entries and writes the additions; `before[k]` goes in front of the
  // entry k (which stays), `before[n]` after the last one that stays.
  void rearrange(const Node& node, const std::vector<bool>& removed,
                 const std::vector<std::vector<Addition>>& before) {
    const std::size_t n = node.items.size();
    std::size_t survivor = npos;
    for (std::size_t i = 0; i < n; ++i)
      if (!removed[i]) survivor = i;
    const std::vector<Edit> cuts = removing(node, removed);
    const bool adding =
        std::any_of(before.begin(), before.end(), [](const auto& list) { return !list.empty(); });
    if (survivor == npos && !adding && leftBare(node, cuts)) {
      edits_.push_back({node.begin, node.end, node.kind == Node::object ? "{}" : "[]"});
      return;
    }
    edits_.insert(edits_.end(), cuts.begin(), cuts.end());
    for (std::size_t k = 0; k < n; ++k)
      if (!before[k].empty()) insertBefore(node.items[k], before[k]);
    if (!before[n].empty()) append(node, survivor, before[n]);
  }

  // The cuts that remove the flagged entries with their commas and the line breaks they
  // stand behind, in order and merged where they meet.
  std::vector<Edit> removing(const Node& node, const std::vector<bool>& removed) const {
    const std::vector<Item>& items = node.items;
    const std::size_t n = items.size();
    std::vector<Edit> cuts;
    std::size_t previous = npos;  // the last entry before i that stays
    for (std::size_t i = 0; i < n; ++i) {
      const Item& item = items[i];
      if (!removed[i]) {
        previous = i;
        continue;
      }
      const bool own = ownLine(item.start);
      // An entry on a line of its own takes the line break before it along.
      const std::size_t from = own ? previousBreak(item.start) : item.start;
      if (item.comma != npos) {
        std::size_t to = item.comma + 1;
        if (!own && i + 1 < n) {
          to = std::min(t_.find_first_not_of(" \t", to), t_.size());
        } else if (!own && previous != npos &&
                   blank(items[previous].comma + 1, items[previous + 1].start)) {
          // A trailing comma on one line: the blank before the entry goes, the one after stays.
          cuts.push_back({items[previous].comma + 1, items[previous + 1].start, {}});
        }
        cuts.push_back({from, to, {}});
        continue;
      }
      cuts.push_back({from, item.node.end, {}});
      // The last entry without a comma after it: the comma before it has to go too.
      // On one line, the blank after that comma goes with it ("a, b, c" loses ", b, c").
      if (previous != npos) {
        const std::size_t comma = items[previous].comma;
        const std::size_t next = items[previous + 1].start;
        cuts.push_back({comma, !own && blank(comma + 1, next) ? next : comma + 1, {}});
      }
    }
    std::sort(cuts.begin(), cuts.end(),
              [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
    std::vector<Edit> merged;
    for (Edit& cut : cuts) {
      if (!merged.empty() && cut.begin <= merged.back().end)
        merged.back().end = std::max(merged.back().end, cut.end);
      else
        merged.push_back(std::move(cut));
    }
    return merged;
  }

  // With every entry cut, whether the brackets keep nothing of the user's (comments, blank
  // lines): just the line break our own layout puts before the closing bracket.
  bool leftBare(const Node& node, const std::vector<Edit>& cuts) const {
    std::string rest;
    std::size_t from = node.begin + 1;
    for (const Edit& cut : cuts) {
      rest += t_.substr(from, cut.begin - from);
      from = cut.end;
    }
    rest += t_.substr(from, node.end - 1 - from);
    const std::string indent = indentOf(node.begin);
    return rest == "\n" + indent || rest == "\r\n" + indent;
  }

  // New entries in front of `next`, laid out as it is.
  void insertBefore(const Item& next, const std::vector<Addition>& added) {
    const bool multi = ownLine(next.start);
    const std::string indent = indentOf(next.start);
    std::string text;
    for (const Addition& addition : added) {
      if (multi) text += nl_ + indent;
      text += render(addition, indent, multi) + ",";
      if (!multi && spaced_) text += ' ';
    }
    const std::size_t at = multi ? previousBreak(next.start) : next.start;
    edits_.push_back({at, at, text});
  }

  // New entries after the last one that stays (`survivor`, npos for none).
  void append(const Node& node, std::size_t survivor, const std::vector<Addition>& added) {
    const std::size_t n = node.items.size();
    const Item& anchor = node.items[survivor == npos ? 0 : survivor];
    const bool multi = ownLine(anchor.start);
    const std::string indent = multi ? indentOf(anchor.start) : indentOf(node.begin) + unit_;
    if (survivor + 1 == n && (multi || anchor.comma != npos)) {
      // After the last entry and whatever follows it (its comma wherever it stands, comments),
      // so that removing the new ones gives all that back. A file that ends its entries with a
      // comma gets one after each new entry too.
      const bool trailing = anchor.comma != npos;
      std::size_t at = trailing ? anchor.comma + 1 : anchor.node.end;
      if (multi) {
        at = node.end - 1;
        while (at > anchor.node.end && std::isspace(static_cast<unsigned char>(t_[at - 1]))) --at;
      }
      std::string text;
      bool first = true;
      for (const Addition& addition : added) {
        if (!first && !trailing) text += ',';
        text += multi ? nl_ + indent : (spaced_ ? " " : "");
        text += render(addition, indent, multi);
        if (trailing) text += ',';
        first = false;
      }
      if (!trailing && at != anchor.node.end)
        edits_.push_back({anchor.node.end, anchor.node.end, ","});
      edits_.push_back({at, at, (!trailing && at == anchor.node.end ? "," : "") + text});
      return;
    }
    // After the last entry that stays, each new one behind a comma; its own comma, if it had
    // one, now follows the last new entry. With none staying, right after the opening bracket.
    std::string text;
    bool first = survivor == npos;
    for (const Addition& addition : added) {
      if (!first) text += ',';
      text += multi ? nl_ + indent : (!first && spaced_ ? " " : "");
      text += render(addition, indent, multi);
      first = false;
    }
    const std::size_t at = survivor == npos ? node.begin + 1 : anchor.node.end;
    edits_.push_back({at, at, text});
  }

  std::string_view t_;
  const Node& root_;
  bool spaced_;
  bool pretty_ = false;
  std::string nl_ = "\n";
  std::string unit_ = "  ";
  std::vector<Edit> edits_;
};

}  // namespace

Json parse(std::string_view text, Syntax syntax) { return Parser(text, syntax).document().value; }

std::optional<std::string> edit(std::string_view text, const Json& desired, Syntax syntax) {
  Parser parser(text, syntax);
  const Node root = parser.document();
  Editor editor(text, root, parser.spaced());
  editor.change(root, desired);
  auto result = editor.result();
  if (!result) return std::nullopt;
  try {
    if (parse(*result, syntax) == desired) return result;
  } catch (const ParseError&) {
  }
  return std::nullopt;
}

std::optional<std::string> textAt(std::string_view text, const std::vector<std::string>& path,
                                  Syntax syntax) {
  const Node root = Parser(text, syntax).document();
  const Node* node = &root;
  for (const std::string& name : path) {
    if (node->kind != Node::object) return std::nullopt;
    const Node* found = nullptr;
    for (const Item& item : node->items)
      if (item.key == name) found = &item.node;
    if (!found) return std::nullopt;
    node = found;
  }
  return std::string(text.substr(node->begin, node->end - node->begin));
}

}  // namespace talvane::JsonText
