#pragma once
// Connecting an agent and disconnecting it again gives back the user's file byte for byte, apart
// from the members its installer must leave behind ("hooks" for Claude Code and Cursor, and
// Cursor's "version"). Shared by the property test and the fuzz target.

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "integrations/agent_hooks.h"
#include "integrations/config_file.h"
#include "integrations/json_text.h"
#include "platform/files.h"
#include "platform/json.h"

namespace talvane::roundtrip {

struct Agent {
  const char* name;
  bool trailingCommas;  // its file is read the way the editors read settings
  bool keepsHooks;      // an emptied "hooks" member stays
  bool addsVersion;     // a missing "version" is added and stays
};

// The agents whose configuration file is shared with the user.
inline constexpr std::array<Agent, 5> kAgents{{
    {"claude", false, true, false},
    {"cursor", true, true, true},
    {"gemini", false, false, false},
    {"droid", false, false, false},
    {"windsurf", true, false, false},
}};

struct Outcome {
  bool refused = false;  // connect refused the file, which then stayed as it was
  bool checked = false;  // the file was one the property speaks about
  std::string fault;     // empty when everything held
};

namespace detail {

inline void writePlain(const std::string& path, std::string_view text) {
  files::makeDirs(files::parent(path));
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
}

// An empty container written the way our own layout writes one ("{}", or a line break and the
// indentation before the closing bracket): after a round trip it cannot be told from one we
// made, so it may come back as "{}" or go.
inline bool readsAsOurs(const std::optional<std::string>& raw) {
  if (!raw || raw->size() < 2) return false;
  const std::string inside = raw->substr(1, raw->size() - 2);
  if (inside.empty()) return true;
  const std::size_t start = inside.rfind("\r\n", 0) == 0 ? 2 : inside.rfind('\n', 0) == 0 ? 1 : 0;
  return start > 0 && inside.find_first_not_of(" \t", start) == std::string::npos;
}

}  // namespace detail

// Puts `text` in the agent's file, connects, disconnects and says whether the file came back.
inline Outcome check(const Agent& agent, const std::string& text) {
  const AgentHooks::Entry& entry = *AgentHooks::find(agent.name);
  const JsonText::Syntax syntax{.trailingCommas = agent.trailingCommas};
  const std::string path = entry.path();
  std::remove((path + ".talvane-backup").c_str());
  detail::writePlain(path, text);
  const auto now = [&] { return files::read(path).value_or("<missing>"); };
  Outcome outcome;
  try {
    entry.connect();
  } catch (const IntegrationError&) {
    outcome.refused = true;
    if (now() != text) outcome.fault = "a refused connect changed the file:\n" + now();
    return outcome;
  }
  const std::string connected = now();
  try {
    entry.disconnect();
  } catch (const IntegrationError& e) {
    outcome.fault = std::string("disconnect failed: ") + e.what() + "\nconnected:\n" + connected;
    return outcome;
  }
  const std::string after = now();

  // Where the property does not speak: our entries already there, and hooks the installers
  // replace by design (a "hooks" or an event that is not an object or a list).
  Json value;
  try {
    if (text.find(ConfigFile::marker) != std::string::npos ||
        text.find(ConfigFile::legacyMarker) != std::string::npos)
      return outcome;
    value = JsonText::parse(text, syntax);
    if (!value.is_object()) return outcome;
    const Json* hooks = value.contains("hooks") ? &value["hooks"] : nullptr;
    if (hooks && !hooks->is_object()) return outcome;
    if (hooks) {
      const auto raw = JsonText::textAt(text, {"hooks"}, syntax);
      if ((!agent.keepsHooks || *raw != "{}") && detail::readsAsOurs(raw)) return outcome;
      for (auto it = hooks->begin(); it != hooks->end(); ++it)
        if (!it->is_array() ||
            detail::readsAsOurs(JsonText::textAt(text, {"hooks", it.key()}, syntax)))
          return outcome;
    }
  } catch (const JsonText::ParseError&) {
    return outcome;
  }
  outcome.checked = true;

  Json expected = value;
  if (agent.keepsHooks && !expected.contains("hooks")) expected["hooks"] = Json::object();
  if (agent.addsVersion && !expected.contains("version")) expected["version"] = 1;
  // What was left behind goes again by the editor's own removal, which must give the text back.
  bool held = false;
  try {
    const auto restored = expected == value ? std::optional<std::string>(after)
                                            : JsonText::edit(after, value, syntax);
    held = JsonText::parse(after, syntax) == expected && restored == text;
  } catch (const JsonText::ParseError&) {
  }
  if (!held) outcome.fault = "connected:\n" + connected + "\ndisconnected:\n" + after;
  return outcome;
}

}  // namespace talvane::roundtrip
