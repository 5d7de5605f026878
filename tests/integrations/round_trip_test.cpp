// Connect then disconnect over generated JSONC: the user's bytes come back for every agent.
#include "round_trip.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "integrations/hook_installer.h"
#include "support/test_home.h"

namespace talvane {
namespace {

// A small generator of its own, so the documents are the same with every standard library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 2 + 1) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_ >> 16);
  }
  std::size_t below(std::size_t n) { return next() % n; }
  bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
  template <typename T, std::size_t N>
  const T& pick(const T (&from)[N]) {
    return from[below(N)];
  }

 private:
  std::uint64_t state_;
};

struct Value {
  enum Kind { scalar, object, array } kind = scalar;
  std::string text;                                                     // a scalar's spelling
  std::vector<std::pair<std::string, std::unique_ptr<Value>>> members;  // object
  std::vector<std::unique_ptr<Value>> items;                            // array
};

using Ptr = std::unique_ptr<Value>;

Ptr scalar(std::string text) {
  auto v = std::make_unique<Value>();
  v->text = std::move(text);
  return v;
}

Ptr container(Value::Kind kind) {
  auto v = std::make_unique<Value>();
  v->kind = kind;
  return v;
}

// Writes values the many ways people lay out their settings: indentation, line ends, comments
// anywhere a blank may stand, commas after a value or on the next line, trailing commas.
class Writer {
 public:
  Writer(Random& random, bool trailingCommas)
      : r_(random), trailing_(trailingCommas), nl_(r_.chance(25) ? "\r\n" : "\n") {
    const char* units[] = {"  ", "    ", "\t"};
    unit_ = r_.pick(units);
    oneLine_ = r_.chance(10);
    commaOnNextLine_ = r_.chance(trailing_ ? 40 : 20);
  }

  std::string document(const Value& root) {
    std::string out;
    if (r_.chance(15)) out += oneLine_ ? "/* settings */ " : "// settings" + nl_;
    out += write(root, "");
    return out + (oneLine_ && r_.chance(50) ? "" : nl_);
  }

 private:
  std::string blockComment() {
    const char* texts[] = {"/* keep */", "/* \"a\": 1, */", "/**/", "/* } ] , */"};
    return r_.pick(texts);
  }
  std::string lineComment() {
    const char* texts[] = {"// mine", "// \"model\": \"opus\",", "//", "// }"};
    return r_.pick(texts);
  }
  // Where a blank may stand before a comma: sometimes a comment.
  std::string gap() { return r_.chance(20) ? " " + blockComment() + " " : ""; }

  std::string emptyInside(const std::string& indent) {
    const std::string inner = indent + unit_;
    switch (r_.below(oneLine_ ? 2 : 7)) {
      case 0:
        return " " + blockComment() + " ";
      case 1:
        return " ";
      case 2:
        return nl_ + inner + lineComment() + nl_ + indent;
      case 3:
        return " " + lineComment() + nl_ + indent;
      case 4:
        return nl_ + inner + blockComment() + nl_ + inner + lineComment() + nl_ + indent;
      case 5:
        return nl_ + nl_ + indent;
      default:
        return nl_ + inner + blockComment() + nl_ + indent;
    }
  }

  std::string write(const Value& v, const std::string& indent) {
    if (v.kind == Value::scalar) return v.text;
    const bool object = v.kind == Value::object;
    const std::size_t n = object ? v.members.size() : v.items.size();
    std::string out(1, object ? '{' : '[');
    const char close = object ? '}' : ']';
    if (n == 0) return out + emptyInside(indent) + close;
    const bool multi = !oneLine_ && (indent.empty() || r_.chance(80));
    const std::string inner = indent + unit_;
    for (std::size_t i = 0; i < n; ++i) {
      if (multi) {
        out += nl_ + inner;
        if (r_.chance(15)) out += lineComment() + nl_ + inner;
      } else if (i > 0) {
        out += ' ';
      }
      if (object) out += "\"" + v.members[i].first + "\":" + (r_.chance(90) ? " " : "");
      out += write(object ? *v.members[i].second : *v.items[i], inner);
      const bool last = i + 1 == n;
      if (!last || (trailing_ && r_.chance(50))) {
        if (multi && commaOnNextLine_) out += nl_ + inner;
        out += gap() + ",";
      }
      if (multi && r_.chance(15)) out += " " + lineComment();
    }
    if (multi && r_.chance(15)) out += nl_ + inner + lineComment();
    out += multi ? nl_ + indent : "";
    return out + close;
  }

  Random& r_;
  bool trailing_;
  std::string nl_;
  std::string unit_;
  bool oneLine_ = false;
  bool commaOnNextLine_ = false;
};

Ptr settingValue(Random& r, int depth) {
  const char* scalars[] = {"1",         "1.50",
                           "-0",        "1e3",
                           "true",      "null",
                           "\"x\"",     "\"caf\\u00e9\"",
                           "\"a\\/b\"", "12345678901234567890123"};
  if (depth > 2 || r.chance(55)) return scalar(r.pick(scalars));
  auto v = container(r.chance(50) ? Value::object : Value::array);
  const std::size_t n = r.below(4);
  for (std::size_t i = 0; i < n; ++i) {
    if (v->kind == Value::object)
      v->members.emplace_back("k" + std::to_string(i), settingValue(r, depth + 1));
    else
      v->items.push_back(settingValue(r, depth + 1));
  }
  return v;
}

// A foreign hook entry as the agent's file holds it: a Claude-style group or a flat hook.
Ptr foreignHook(Random& r, bool groups) {
  const char* commands[] = {"\"audit.sh\"", "\"say done\"", "\"/usr/bin/notify\""};
  auto hook = container(Value::object);
  if (groups) hook->members.emplace_back("type", scalar("\"command\""));
  hook->members.emplace_back("command", scalar(r.pick(commands)));
  if (!groups) return hook;
  auto list = container(Value::array);
  list->items.push_back(std::move(hook));
  auto group = container(Value::object);
  if (r.chance(50)) group->members.emplace_back("matcher", scalar("\"Bash\""));
  group->members.emplace_back("hooks", std::move(list));
  return group;
}

Ptr document(Random& r, const roundtrip::Agent& agent) {
  const std::string name = agent.name;
  const bool groups = name == "claude" || name == "gemini" || name == "droid";
  // Events the installer registers (so ours join the user's lists) and one it does not.
  std::vector<std::string> events{"Custom"};
  if (name == "claude" || name == "droid") events = {"Stop", "PreToolUse", "SessionStart", "X"};
  if (name == "gemini") events = {"AfterAgent", "BeforeTool", "SessionStart", "X"};
  if (name == "cursor") events = {"stop", "sessionStart", "beforeSubmitPrompt", "x"};
  if (name == "windsurf") events = {"pre_user_prompt", "post_cascade_response", "x"};

  auto root = container(Value::object);
  const std::size_t settings = r.below(4);
  for (std::size_t i = 0; i < settings; ++i)
    root->members.emplace_back("s" + std::to_string(i), settingValue(r, 1));
  if (agent.addsVersion && r.chance(50)) root->members.emplace_back("version", scalar("1"));
  if (r.chance(80)) {
    auto hooks = container(Value::object);
    for (const std::string& event : events) {
      if (r.chance(40)) continue;
      auto list = container(Value::array);
      const std::size_t n = r.below(3);
      for (std::size_t i = 0; i < n; ++i) list->items.push_back(foreignHook(r, groups));
      hooks->members.emplace_back(event, std::move(list));
    }
    root->members.emplace(root->members.begin() + static_cast<long>(r.below(settings + 1)), "hooks",
                          std::move(hooks));
  }
  return root;
}

class RoundTripTest : public ::testing::Test {
 protected:
  // Thousands of saves: on a memory file system they need not wait for the disk.
  static std::string fastTemp() {
    const char* old = std::getenv("TMPDIR");
    const std::string previous = old ? old : "";
    if (files::isDirectory("/dev/shm") && ::access("/dev/shm", W_OK) == 0)
      ::setenv("TMPDIR", "/dev/shm", 1);
    return previous;
  }
  RoundTripTest() : previousTemp_(fastTemp()) {
    if (previousTemp_.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", previousTemp_.c_str(), 1);
    HookInstaller::setRelaySource(home_.write("shipped/talvane-hook", "#!/bin/sh\n"));
  }
  ~RoundTripTest() override { HookInstaller::setRelaySource(std::nullopt); }

  std::string previousTemp_;
  testing::TestHome home_;
};

TEST_F(RoundTripTest, ConnectThenDisconnectGivesBackGeneratedDocuments) {
  constexpr int kDocuments = 300;
  int checked = 0;
  for (int seed = 0; seed < kDocuments; ++seed) {
    const roundtrip::Agent& agent = roundtrip::kAgents[seed % roundtrip::kAgents.size()];
    Random random(static_cast<std::uint64_t>(seed) + 1);
    const Ptr value = document(random, agent);
    const std::string text = Writer(random, agent.trailingCommas).document(*value);
    const roundtrip::Outcome outcome = roundtrip::check(agent, text);
    EXPECT_FALSE(outcome.refused) << agent.name << " refused:\n" << text;
    EXPECT_EQ(outcome.fault, "") << agent.name << ", seed " << seed << ", original:\n" << text;
    checked += outcome.checked ? 1 : 0;
  }
  // The generator writes what the property speaks about, not files it passes over.
  EXPECT_EQ(checked, kDocuments);
}

}  // namespace
}  // namespace talvane
