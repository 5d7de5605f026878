#include "hub/codex_watcher.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>

#include "context/internet_time.h"
#include "hub/tool_text.h"
#include "platform/files.h"
#include "platform/log.h"

namespace talvane {

namespace {

constexpr std::string_view kPrefix = "rollout-";
constexpr std::string_view kSuffix = ".jsonl";
constexpr std::size_t kFileIdLength = 36;

// Where the Codex desktop application may be installed; "~/" is the home folder. Sessions it
// started are brought forward through it. To add a place, add a line.
constexpr std::string_view kCodexApps[] = {"/opt/Codex/codex", "~/Applications/Codex.AppImage"};

std::string codexRoot() {
  if (const char* home = std::getenv("CODEX_HOME"); home && *home)
    return std::string(home) + "/sessions";
  return files::home() + "/.codex/sessions";
}

// The last 36 characters of the name without its extension: Codex's session id.
std::string fileIdOf(std::string_view name) {
  if (const auto dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name.size() > kFileIdLength ? name.substr(name.size() - kFileIdLength) : name);
}

bool isRollout(std::string_view name) {
  return name.size() >= kPrefix.size() + kSuffix.size() && name.starts_with(kPrefix) &&
         name.ends_with(kSuffix);
}

std::vector<std::string> listNames(const std::string& directory) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (isRollout(entry->d_name)) names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Most of a rollout file is model output ("response_item" records) that is never shown. Codex
// writes the record's type before its payload, so such a line is known by its head and is
// not parsed: re-reading a file of gigabytes at start-up stays quick.
// A web search is the one such record that is shown.
bool isResponseItem(std::string_view line) {
  const std::string_view head = line.substr(0, 160);
  const auto type = head.find(R"("type":"response_item")");
  if (type == std::string_view::npos) return false;
  const auto payload = head.find(R"("payload")");
  if (payload == std::string_view::npos) return true;
  if (type > payload) return false;
  return line.substr(payload, 160).find(R"("type":"web_search_call")") == std::string_view::npos;
}

std::string withoutStars(std::string text) {
  for (std::size_t at = text.find("**"); at != std::string::npos; at = text.find("**", at))
    text.erase(at, 2);
  return text;
}

std::optional<std::string> codexApp(const Json& sessionMeta) {
  const auto originator = json::string(sessionMeta, "originator");
  if (!originator || originator->find("desktop") == std::string::npos) return std::nullopt;
  for (std::string_view place : kCodexApps) {
    std::string path =
        place.starts_with("~/") ? files::home() + std::string(place.substr(1)) : std::string(place);
    if (files::exists(path)) return path;
  }
  return std::nullopt;
}

// The string `key` of an object nested in `value`, or empty.
std::string text(const Json* value, std::string_view key) {
  return value ? json::string(*value, key).value_or("") : std::string();
}

std::int64_t integerAt(const Json* value, std::string_view key) {
  return value ? json::integer(*value, key).value_or(0) : 0;
}

}  // namespace

CodexWatcher::CodexWatcher(Hub& hub, EventLoop& loop, std::size_t chunk,
                           Background::Executor firstReads)
    : hub_(hub),
      loop_(loop),
      root_(codexRoot()),
      reader_(chunk),
      background_(loop, std::move(firstReads)) {}

void CodexWatcher::start() {
  // After a restart every live file is read from its start: that stays off the loop. Until it
  // is taken in, the files are the worker's alone, so the timer's sweeps wait.
  std::vector<std::string> directories{dayDirectory(0), dayDirectory(-1)};
  background_.run([this, now = loop_.now(),
                   directories = std::move(directories)] { return find(now, directories); },
                  [this](const Found& found) { take(found); });
  timer_ = loop_.every(kInterval, kTolerance, [this] {
    if (background_.outstanding()) return;
    try {
      sweep();
    } catch (const std::exception& e) {
      log::debug("codex", std::string("sweep failed: ") + e.what());
    }
  });
}

void CodexWatcher::stop() { timer_.cancel(); }

std::string CodexWatcher::dayDirectory(int dayOffset) const {
  const auto now = static_cast<std::time_t>(std::floor(loop_.now()));
  std::tm day{};
  localtime_r(&now, &day);
  // Noon keeps the day arithmetic clear of daylight-saving jumps.
  day.tm_mday += dayOffset;
  day.tm_hour = 12;
  day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  const std::time_t moved = std::mktime(&day);
  localtime_r(&moved, &day);
  char folder[32];
  std::snprintf(folder, sizeof folder, "/%04d/%02d/%02d", day.tm_year + 1900, day.tm_mon + 1,
                day.tm_mday);
  return root_ + folder;
}

void CodexWatcher::sweep() { take(find(loop_.now(), {dayDirectory(0), dayDirectory(-1)})); }

namespace {

// Only these records change a session; the rest is not kept while a first sweep reads.
bool shown(const Json& record) {
  const std::string type = json::string(record, "type").value_or("");
  if (type == "session_meta" || type == "turn_context" || type == "response_item") return true;
  if (type != "event_msg") return false;
  const Json* payload = json::object(record, "payload");
  const std::string event = payload ? json::string(*payload, "type").value_or("") : "";
  return event == "token_count" || event == "task_started" || event == "task_complete" ||
         event == "turn_aborted" || event == "item_completed";
}

}  // namespace

CodexWatcher::Found CodexWatcher::find(Date now, const std::vector<std::string>& directories) {
  Found found;
  for (const std::string& directory : directories) {
    for (const std::string& name : listNames(directory)) {
      const std::string path = directory + "/" + name;
      struct stat info;
      if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      const Date modified =
          static_cast<Date>(info.st_mtim.tv_sec) + static_cast<Date>(info.st_mtim.tv_nsec) * 1e-9;
      if (now - modified >= kStale) continue;
      found.live.insert(path);
      const auto known = offsets_.find(path);
      if (known != offsets_.end() && known->second == static_cast<std::uint64_t>(info.st_size))
        continue;
      Records records{path, fileIdOf(name), {}};
      read(path, records.lines);
      if (!records.lines.empty()) found.files.push_back(std::move(records));
    }
  }
  return found;
}

void CodexWatcher::take(const Found& found) {
  for (const Records& file : found.files)
    for (const Json& line : file.lines) apply(line, file.path, file.fileId);

  std::vector<std::string> quiet;
  for (const auto& [path, offset] : offsets_)
    if (!found.live.count(path)) quiet.push_back(path);
  if (quiet.empty()) return;
  std::vector<std::string> gone;
  for (const std::string& path : quiet) {
    gone.push_back(sessionKey(path, fileIdOf(files::lastComponent(path))));
    offsets_.erase(path);
    meta_.erase(path);
  }
  // A session that another live file still feeds stays.
  std::set<std::string> fed;
  for (const auto& [path, offset] : offsets_)
    fed.insert(sessionKey(path, fileIdOf(files::lastComponent(path))));
  for (const std::string& id : gone)
    if (!fed.count(id)) hub_.removeSession("codex:" + id);
}

std::string CodexWatcher::sessionKey(const std::string& path, const std::string& fileId) const {
  const auto it = meta_.find(path);
  return it != meta_.end() ? it->second.id : fileId;
}

void CodexWatcher::read(const std::string& path, std::vector<Json>& lines) {
  const auto known = offsets_.find(path);
  std::uint64_t offset = known != offsets_.end() ? known->second : 0;
  // A file shorter than what was read of it was replaced: it is read again from its start.
  const bool opened =
      reader_.read(path, offset, AppendedLines::Shrunk::restart, [&](std::string_view block) {
        stats_.bytes += block.size();
        ++stats_.blocks;
        stats_.largestBlock = std::max(stats_.largestBlock, block.size());
        AppendedLines::forEachLine(block, [&](std::string_view line) {
          if (isResponseItem(line)) return;
          if (auto record = json::parseObject(line); record && shown(*record))
            lines.push_back(std::move(*record));
        });
      });
  if (opened && (offset > 0 || known != offsets_.end())) offsets_[path] = offset;
}

void CodexWatcher::apply(const Json& line, const std::string& path, const std::string& fileId) {
  static const Json none = Json::object();
  const std::string type = json::string(line, "type").value_or("");
  const Json* member = json::object(line, "payload");
  const Json& payload = member ? *member : none;

  if (type == "session_meta") {
    meta_[path] = Meta{json::nonEmpty(payload, "id").value_or(fileId),
                       json::string(payload, "cwd").value_or("")};
  }
  const auto known = meta_.find(path);
  const std::string id = known != meta_.end() ? known->second.id : fileId;
  if (type == "turn_context") {
    if (auto cwd = json::string(payload, "cwd"); cwd && known != meta_.end())
      known->second.cwd = *cwd;
    if (auto model = json::nonEmpty(payload, "model")) {
      const std::string cwd = known != meta_.end() ? known->second.cwd : std::string();
      hub_.codex(id, cwd, [&](Session& s) { s.stats.model = *model; });
    }
    return;
  }
  const std::string cwd = known != meta_.end() ? known->second.cwd : std::string();
  const Date at =
      parseTimestamp(json::string(line, "timestamp").value_or("")).value_or(loop_.now());

  if (type == "session_meta") {
    hub_.codex(id, cwd, [&](Session& s) {
      s.updated = at;
      if (!s.hostBundle) s.hostBundle = codexApp(payload);
    });
  } else if (type == "event_msg") {
    applyEvent(payload, id, cwd, at);
  } else if (type == "response_item" &&
             json::string(payload, "type").value_or("") == "web_search_call") {
    applyItem(Json{{"type", "WebSearch"}}, id, cwd, at);
  }
}

void CodexWatcher::applyEvent(const Json& payload, const std::string& id, const std::string& cwd,
                              Date at) {
  const std::string type = json::string(payload, "type").value_or("");
  if (type == "token_count") {
    const Json* info = json::object(payload, "info");
    const Json* usage = info ? json::object(*info, "last_token_usage") : nullptr;
    const std::int64_t tokens = integerAt(usage, "input_tokens");
    const std::int64_t window = integerAt(info, "model_context_window");
    hub_.codex(id, cwd, [&](Session& s) {
      s.stats.contextTokens = tokens;
      s.stats.contextWindow = window;
    });
  } else if (type == "task_started") {
    hub_.codex(id, cwd, [&](Session& s) {
      s.mood = Mood::working;
      s.activity = "Thinking";
      s.turnStarted = at;
      s.finishedAt.reset();
      s.tools.clear();
      s.tally.clear();
      s.turnCalls = 0;
      s.phase = "reasoning";
      s.updated = at;
    });
  } else if (type == "task_complete") {
    const std::string message = json::string(payload, "last_agent_message").value_or("");
    std::string activity = ToolText::shortText(withoutStars(message), 70);
    if (activity.empty()) activity = "Finished";
    hub_.codex(id, cwd, [&](Session& s) {
      s.mood = Mood::done;
      s.finishedAt = at;
      s.updated = at;
      s.activity = activity;
    });
  } else if (type == "turn_aborted") {
    hub_.codex(id, cwd, [&](Session& s) {
      s.mood = Mood::idle;
      s.activity = "Stopped";
      s.updated = at;
    });
  } else if (type == "item_completed") {
    if (const Json* item = json::object(payload, "item")) applyItem(*item, id, cwd, at);
  }
}

void CodexWatcher::applyItem(const Json& item, const std::string& id, const std::string& cwd,
                             Date at) {
  const std::string type = json::string(item, "type").value_or("");
  if (type == "UserMessage") {
    std::vector<std::string> texts;
    if (const Json* content = json::array(item, "content"))
      for (const Json& part : *content)
        if (auto piece = json::nonEmpty(part, "text")) texts.push_back(std::move(*piece));
    const std::string typed = userText(texts);
    hub_.codex(id, cwd, [&](Session& s) {
      if (!typed.empty()) s.title = ToolText::headline(typed);
      s.updated = at;
    });
  } else if (type == "CommandExecution") {
    std::string command;
    if (const Json* parts = json::array(item, "command")) {
      for (auto it = parts->rbegin(); it != parts->rend(); ++it) {
        if (it->is_string()) {
          command = it->get<std::string>();
          break;
        }
      }
    } else {
      command = json::string(item, "command").value_or("");
    }
    const std::string label = "Running " + ToolText::shortText(command, 48);
    hub_.codex(id, cwd, [&](Session& s) {
      s.activity = label;
      s.pushTool(label);
      s.finishTools(false);
      s.countTool("Bash", Json{{"command", command}}, at);
      s.updated = at;
    });
  } else if (type == "McpToolCall") {
    const std::string server = json::string(item, "server").value_or("");
    const std::string tool = json::string(item, "tool").value_or("");
    std::string label = text(json::object(item, "arguments"), "title");
    if (label.empty()) label = server + " · " + tool;
    label = ToolText::shortText(label, 48);
    const std::string name =
        "mcp__" + (server.empty() ? "tool" : server) + "__" + (tool.empty() ? "call" : tool);
    hub_.codex(id, cwd, [&](Session& s) {
      s.activity = label;
      s.pushTool(label);
      s.finishTools(false);
      s.countTool(name, Json::object(), at);
      s.updated = at;
    });
  } else if (type == "Extension" || type == "WebSearch" || type == "web_search_call") {
    hub_.codex(id, cwd, [&](Session& s) {
      s.activity = "Searching the web";
      s.updated = at;
    });
  }
}

std::string CodexWatcher::userText(const std::vector<std::string>& texts) {
  // Codex puts instructions, environment and file references beside what the user typed.
  for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
    std::string candidate = ToolText::trimWhite(*it);
    if (!candidate.empty() && !candidate.starts_with("<") &&
        !candidate.starts_with("## Referenced"))
      return candidate;
  }
  return texts.empty() ? std::string() : texts.back();
}

std::optional<Date> CodexWatcher::parseTimestamp(std::string_view text) {
  return parseInternetTime(text);
}

}  // namespace talvane
