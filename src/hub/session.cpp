#include "hub/session.h"

#include <algorithm>
#include <utility>

#include "hub/tool_text.h"
#include "platform/files.h"

namespace talvane {
namespace {

struct AgentRow {
  Agent agent;
  std::string_view raw;
  bool canReply;
  std::string_view name;  // as people call it
};

// In case order. canReply: the hook protocol lets the user answer after the agent stops.
constexpr AgentRow agentTable[] = {
    {Agent::claude, "claude", true, "Claude Code"},
    {Agent::codex, "codex", false, "Codex"},
    {Agent::cursor, "cursor", true, "Cursor"},
    {Agent::gemini, "gemini", true, "Gemini CLI"},
    {Agent::droid, "droid", true, "Droid"},
    {Agent::opencode, "opencode", false, "OpenCode"},
    {Agent::copilot, "copilot", false, "Copilot CLI"},
    {Agent::windsurf, "windsurf", false, "Windsurf"},
};

const AgentRow& row(Agent agent) {
  for (const auto& r : agentTable) {
    if (r.agent == agent) return r;
  }
  return agentTable[0];
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Host names, matched against the host's lowercased name without extension. macOS bundle
// names match as prefixes ("iTerm2.app", "Visual Studio Code - Insiders.app"); Linux executable
// names match exactly, because short ones such as "st" or "foot" begin other programs' names,
// except for the few families whose helpers carry suffixes ("gnome-terminal-server",
// "ptyxis-agent", "urxvtd").
// To add a host: one row with its family and whether it is a prefix.
struct HostRule {
  std::string_view family;
  std::string_view name;
  bool prefix;
};

constexpr HostRule hostRules[] = {
    // Terminals, macOS.
    {"terminal", "terminal", true},
    {"terminal", "iterm", true},
    {"terminal", "iterm2", true},
    {"terminal", "ghostty", true},
    {"terminal", "warp", true},
    {"terminal", "wezterm", true},
    {"terminal", "alacritty", true},
    {"terminal", "kitty", true},
    {"terminal", "hyper", true},
    {"terminal", "tabby", true},
    // Terminals and multiplexers, Linux.
    {"terminal", "gnome-terminal", true},
    {"terminal", "ptyxis", true},
    {"terminal", "urxvt", true},
    {"terminal", "xfce4-terminal", true},
    {"terminal", "kgx", false},
    {"terminal", "konsole", false},
    {"terminal", "xterm", false},
    {"terminal", "uxterm", false},
    {"terminal", "st", false},
    {"terminal", "tilix", false},
    {"terminal", "terminator", false},
    {"terminal", "foot", false},
    {"terminal", "tmux", false},
    {"terminal", "screen", false},
    {"terminal", "zellij", false},
    // Editors, macOS.
    {"editor", "cursor", true},
    {"editor", "code", true},
    {"editor", "visual studio code", true},
    {"editor", "zed", true},
    {"editor", "windsurf", true},
    {"editor", "xcode", true},
    {"editor", "intellij", true},
    {"editor", "webstorm", true},
    {"editor", "pycharm", true},
    // Editors, Linux ("code", "code-oss", "cursor", "windsurf", "zed", "webstorm" and
    // "pycharm" are covered by the prefixes above).
    {"editor", "codium", false},
    {"editor", "idea", false},
    {"editor", "clion", false},
    {"editor", "goland", false},
    {"editor", "rider", false},
};

// The last path component without its extension, lowercased: "iTerm.app" gives "iterm",
// "/usr/bin/gnome-terminal-server" gives "gnome-terminal-server".
std::string hostName(std::string_view path) {
  std::string name = files::lastComponent(path);
  // A leading dot starts a hidden name, not an extension.
  if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return asciiLower(name);
}

// Lexically normalised absolute path: no empty, "." or ".." components, no trailing slash.
std::string normalise(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  if (parts.empty()) return "/";
  std::string out;
  for (auto part : parts) {
    out += '/';
    out += part;
  }
  return out;
}

}  // namespace

std::optional<Agent> agentFromRaw(std::string_view raw) {
  for (const auto& r : agentTable) {
    if (r.raw == raw) return r.agent;
  }
  return std::nullopt;
}

std::string_view rawValue(Agent agent) { return row(agent).raw; }

bool canReply(Agent agent) { return row(agent).canReply; }

std::string_view displayName(Agent agent) { return row(agent).name; }

std::string projectName(const std::string& root) {
  std::string_view path = root;
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.empty() ? "~" : std::string(name);
}

std::optional<Mood> moodFromRaw(int raw) {
  if (raw < 0 || raw > 3) return std::nullopt;
  return static_cast<Mood>(raw);
}

std::string_view moodName(Mood mood) {
  switch (mood) {
    case Mood::idle:
      return "idle";
    case Mood::done:
      return "done";
    case Mood::working:
      return "working";
    case Mood::waiting:
      return "waiting";
  }
  return "idle";
}

std::string Session::key(Agent agent, std::string_view conversation, std::string_view remote) {
  std::string id(rawValue(agent));
  id += ':';
  id += conversation;
  if (!remote.empty()) {
    id += '@';
    id += remote;
  }
  return id;
}

std::string Session::conversation() const {
  const std::size_t colon = id.find(':');
  if (colon == std::string::npos) return id;
  std::string_view rest = std::string_view(id).substr(colon + 1);
  if (remote && rest.ends_with("@" + *remote)) rest.remove_suffix(remote->size() + 1);
  return std::string(rest);
}

Session Session::create(std::string id, Agent agent, Date now, std::string_view cwd,
                        int colorIndex) {
  Session s;
  s.id = std::move(id);
  s.agent = agent;
  if (!cwd.empty()) s.root = projectRoot(std::string(cwd));
  s.colorIndex = colorIndex;
  s.started = now;
  s.updated = now;
  return s;
}

void Session::pushTool(std::string label) {
  for (auto& line : tools) line.running = false;
  tools.push_back(ToolLine{std::move(label), true, false});
  if (tools.size() > maxToolLines) {
    tools.erase(tools.begin(), tools.end() - static_cast<std::ptrdiff_t>(maxToolLines));
  }
}

void Session::finishTools(bool failed) {
  for (auto it = tools.rbegin(); it != tools.rend(); ++it) {
    if (it->running) {
      it->running = false;
      it->failed = failed;
      return;
    }
  }
}

void Session::countTool(const std::string& tool, const Json& input, Date now) {
  std::string kind = ToolText::kind(tool, input);
  std::string detail = ToolText::detail(tool, input);
  turnCalls += 1;
  auto entry =
      std::find_if(tally.begin(), tally.end(), [&](const ToolTally& t) { return t.tool == tool; });
  if (entry != tally.end()) {
    entry->count += 1;
    entry->detail = std::move(detail);
    entry->last = now;
  } else {
    tally.push_back(ToolTally{tool, std::move(detail), 1, kind, now});
  }
  if (kind == "research") {
    phase = "researching";
  } else if (kind == "write") {
    phase = "writing";
  } else if (kind == "review") {
    phase = "reviewing";
  } else if (kind == "reason") {
    phase = "reasoning";
  }
}

Mood Session::shownMood(Date now) const {
  if (pending) return pending->isReply() ? Mood::done : Mood::waiting;
  // A finished turn fades to idle after ten minutes, without any timer.
  if (mood == Mood::done && finishedAt && now - *finishedAt > 600) return Mood::idle;
  return mood;
}

std::string Session::pose(Date now) const {
  if (pending) {
    if (pending->isReply()) return "success";
    if (pending->isQuestions()) return "listen";
    return "alert";
  }
  switch (shownMood(now)) {
    case Mood::idle:
      return "sleep";
    case Mood::done:
      return finishedAt && now - *finishedAt < 30 ? "success" : "idle";
    case Mood::working: {
      if (!tools.empty() && tools.back().failed) return "error";
      std::string lowered = asciiLower(activity);
      for (std::string_view verb : {"editing", "writing", "creating"}) {
        if (lowered.starts_with(verb)) return "write";
      }
      return "think";
    }
    case Mood::waiting:
      return "alert";
  }
  return "sleep";
}

std::string Session::family() const {
  if (agent == Agent::codex) return "codex";
  if (agent == Agent::cursor) return "cursor";
  std::string name = hostBundle ? hostName(*hostBundle) : std::string();
  if (name.empty()) return stats.entrypoint == "cli" ? "terminal" : "desktop";
  for (const auto& rule : hostRules) {
    if (rule.prefix ? std::string_view(name).starts_with(rule.name) : name == rule.name) {
      return std::string(rule.family);
    }
  }
  return "desktop";
}

std::string Session::headline() const {
  if (stats.customTitle && !stats.customTitle->empty()) return *stats.customTitle;
  if (!title.empty()) return title;
  if (stats.firstPrompt) return ToolText::headline(*stats.firstPrompt);
  if (!root.empty()) return files::lastComponent(root);
  return "~";
}

std::string Session::projectRoot(const std::string& path) {
  // A relative path means nothing in this process: the agent's directory is not ours.
  if (path.empty() || path.front() != '/') return path;
  const std::string home = normalise(files::home());
  std::string current = normalise(path);
  while (current.size() >= 2) {
    if (current == home) break;
    if (files::exists(current + "/.git")) return current;
    current = files::parent(current);
  }
  return path;
}

}  // namespace talvane
