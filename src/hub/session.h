#pragma once
// The value records the notch shows about each agent conversation. Plain values: the Hub keeps
// the authoritative copies; an adapter copies one, changes it and hands it back to the store.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "context/transcript_stats.h"
#include "platform/event_loop.h"
#include "platform/json.h"

namespace talvane {

// Which coding agent a session belongs to. The raw value is the case name.
// To add one: a case here, its row in session.cpp's agent table, and its adapter.
enum class Agent { claude, codex, cursor, gemini, droid, opencode, copilot, windsurf };

inline constexpr std::array<Agent, 8> allAgents = {Agent::claude,  Agent::codex,   Agent::cursor,
                                                   Agent::gemini,  Agent::droid,   Agent::opencode,
                                                   Agent::copilot, Agent::windsurf};

// Exact and case-sensitive: "Claude" is no agent.
std::optional<Agent> agentFromRaw(std::string_view raw);
std::string_view rawValue(Agent agent);
// Whether the agent's hook protocol lets the user send a free-text reply after it stops.
bool canReply(Agent agent);
// "Claude Code", "Gemini CLI", ...
std::string_view displayName(Agent agent);
// The project folder's name as the panel shows it; "/" and the empty root have none: "~".
std::string projectName(const std::string& root);

// Ordered by raw value, so the built-in comparisons of the enum give idle < done < working <
// waiting.
enum class Mood : int { idle = 0, done = 1, working = 2, waiting = 3 };

std::optional<Mood> moodFromRaw(int raw);
constexpr int rawValue(Mood mood) { return static_cast<int>(mood); }
// "idle", "done", "working" or "waiting".
std::string_view moodName(Mood mood);

// One entry of the recent-tool list.
struct ToolLine {
  std::string label;
  bool running = false;
  bool failed = false;

  bool operator==(const ToolLine&) const = default;
};

// One counter per tool name within the current turn.
struct ToolTally {
  std::string tool;
  std::string detail;
  int count = 1;
  std::string kind;  // fixed when the entry is created
  Date last = 0;

  bool operator==(const ToolTally&) const = default;
};

// One question of a questions request.
struct Question {
  struct Option {
    std::string label;
    std::string detail;

    bool operator==(const Option&) const = default;
  };

  std::string header;
  std::string text;
  std::vector<Option> options;  // in the agent's order
  bool multi = false;

  bool operator==(const Question&) const = default;
};

// A request from the agent that waits for the user.
struct Pending {
  // The agent asks to run a tool.
  struct Permission {
    std::string title;
    std::string detail;
    std::string tool;
    bool operator==(const Permission&) const = default;
  };
  // The agent asks one or more questions with options.
  struct Questions {
    std::vector<Question> questions;
    bool operator==(const Questions&) const = default;
  };
  // The agent stopped; the user may send a free-text reply until `expires`.
  struct Reply {
    std::string lastMessage;
    Date expires = 0;
    bool operator==(const Reply&) const = default;
  };
  // The agent needs the user, but the answer is given in the agent's own window.
  struct Elsewhere {
    std::string text;
    bool operator==(const Elsewhere&) const = default;
  };
  using Kind = std::variant<Permission, Questions, Reply, Elsewhere>;

  // Never changed once created: the Hub keeps the waiting relay's reply function under `id`.
  std::string id;
  Kind kind;
  Json toolInput = Json::object();  // the tool's input as sent; empty for kinds without one
  Date since = 0;
  bool engaged = false;

  // The kind's payload, or nullptr when the request is of another kind.
  const Permission* permission() const { return std::get_if<Permission>(&kind); }
  const Questions* questions() const { return std::get_if<Questions>(&kind); }
  const Reply* reply() const { return std::get_if<Reply>(&kind); }
  const Elsewhere* elsewhere() const { return std::get_if<Elsewhere>(&kind); }

  bool isPermission() const { return permission() != nullptr; }
  bool isQuestions() const { return questions() != nullptr; }
  bool isReply() const { return reply() != nullptr; }
  bool isElsewhere() const { return elsewhere() != nullptr; }

  bool operator==(const Pending&) const = default;
};

// One agent conversation.
struct Session {
  static constexpr std::size_t maxToolLines = 4;

  // Key within the Hub: see key(). `id`, `agent` and `remote` never change once the session
  // exists.
  std::string id;
  Agent agent = Agent::claude;
  std::string root;    // project directory; empty when unknown
  int colorIndex = 0;  // 0...8
  std::string title;
  std::string activity;
  Mood mood = Mood::idle;  // as the adapters set it; the interface shows shownMood()
  std::optional<Pending> pending;
  std::vector<ToolLine> tools;   // oldest first, at most maxToolLines
  std::vector<ToolTally> tally;  // in order of first use within the turn
  int turnCalls = 0;
  std::string phase = "reasoning";  // "reasoning", "researching", "writing" or "reviewing"
  Date started = 0;
  Date updated = 0;
  std::optional<Date> turnStarted;
  std::optional<Date> finishedAt;
  std::optional<std::string> transcript;
  TranscriptStats stats;
  std::optional<std::int32_t> hostPid;
  // On Linux the executable path of the hosting terminal or editor.
  std::optional<std::string> hostBundle;
  std::optional<std::string> tty;
  std::optional<std::int32_t> agentPid;
  // Set only for a session on another machine, reached through that host's forward: the host as
  // the user named it to ssh. Its process ids, terminal and paths belong to that machine, so
  // none of the local-only fields above is ever set, and `root` is its folder as sent.
  std::optional<std::string> remote;
  std::optional<std::string> machine;   // the remote machine's own name, as its relay sent it
  std::optional<std::string> tmuxPane;  // the remote tmux pane the agent runs in ("%3")

  // The agent's raw value, ":" and the agent's own conversation id; for a session on a remote
  // host then "@" and the host, since two machines (or one and this one) may use the same id.
  static std::string key(Agent agent, std::string_view conversation, std::string_view remote = {});
  // The agent's own conversation id within `id`.
  std::string conversation() const;

  // A new session with every field at its initial value; `root` is projectRoot(cwd) when
  // `cwd` is not empty. The caller picks the colour slot.
  static Session create(std::string id, Agent agent, Date now, std::string_view cwd = {},
                        int colorIndex = 0);

  // A tool call starts: the new line is the only running one; the oldest lines beyond
  // maxToolLines are dropped.
  void pushTool(std::string label);
  // A tool call ends: the newest running line stops, marked failed or not.
  void finishTools(bool failed);
  // Counts one call of `tool` for the turn's tally and moves `phase` by the tool's kind.
  void countTool(const std::string& tool, const Json& input, Date now);

  // A pending request overrides the stored mood; a turn finished over 600 s ago shows idle.
  Mood shownMood(Date now) const;
  // One-word animation hint: "success", "listen", "alert", "sleep", "idle", "error",
  // "write" or "think".
  std::string pose(Date now) const;
  // The kind of host: "codex", "cursor", "terminal", "editor" or "desktop".
  std::string family() const;
  // The title line: custom title, prompt title, first prompt, project folder name, or "~".
  std::string headline() const;

  // The nearest folder at or above `path` that holds a ".git" entry, never looking at the
  // home folder or above it; `path` itself when there is none.
  static std::string projectRoot(const std::string& path);

  bool operator==(const Session&) const = default;
};

}  // namespace talvane
