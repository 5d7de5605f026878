#include "integrations/config_file.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/files.h"

namespace talvane::ConfigFile {

namespace {

bool blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

// The file a write should replace: the target of a symbolic link (dotfile managers link the
// agents' settings into a repository), else the path itself.
std::string writeTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string target = real;
  ::free(real);
  return target;
}

mode_t modeOf(const std::string& path, mode_t fallback) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fallback;
  return st.st_mode & 07777;
}

// A link whose target is gone would be replaced by a plain file on save, cutting the user's
// dotfile link; say so instead of a bare "No such file or directory".
void refuseBrokenLink(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
  if (::stat(path.c_str(), &st) == 0) return;
  const int error = errno;
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  const std::string to = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  if (error == ENOENT)
    throw IntegrationError(
        IntegrationError::unreadable,
        displayPath(path) + " is a symbolic link to " + displayPath(to) + ", which does not exist");
  throw IntegrationError(IntegrationError::unreadable,
                         "cannot read " + displayPath(path) + ": " + std::strerror(error));
}

// The reason at the end of a files:: error ("cannot write /x/.y.tmp-1-2: No space left on
// device"), so that messages name the user's file and not our temporary one.
std::string reasonOf(const std::string& why) {
  const auto colon = why.rfind(": ");
  return colon == std::string::npos ? std::string() : why.substr(colon);
}

bool readOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  // Root may write anything; a file without any write bit was still made read-only on purpose.
  return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

std::string fresh(const Json& object) {
  std::string text;
  try {
    text = object.dump(2, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    // Invalid UTF-8 read from the file: keep the rest rather than failing the whole save.
    text = json::pretty(object, 2);
  }
  return text + '\n';
}

}  // namespace

bool present(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string displayPath(const std::string& path) {
  const std::string home = files::home();
  if (home.size() > 1 && path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
      path[home.size()] == '/')
    return "~" + path.substr(home.size());
  return path;
}

Json load(const std::string& path, JsonText::Syntax syntax) {
  refuseBrokenLink(path);
  if (!files::exists(path)) return Json::object();
  auto text = files::read(path);
  if (!text) {
    const int error = errno;
    // A missing file is empty; one that exists but cannot be read must not be replaced.
    if (!files::exists(path)) return Json::object();
    throw IntegrationError(IntegrationError::unreadable,
                           "cannot read " + displayPath(path) + ": " + std::strerror(error));
  }
  if (blank(*text)) return Json::object();
  // Saving writes the value recursively: nesting that would exhaust the stack is refused here.
  if (!json::depthWithin(*text, json::kMaxDepth, /*comments=*/true))
    throw IntegrationError(IntegrationError::invalidJson,
                           displayPath(path) + " is not valid JSON (it nests deeper than " +
                               std::to_string(json::kMaxDepth) + " levels)");
  Json value;
  try {
    value = JsonText::parse(*text, syntax);
  } catch (const JsonText::ParseError& e) {
    throw IntegrationError(IntegrationError::invalidJson,
                           displayPath(path) + " is not valid JSON (" + e.what() + ")");
  }
  if (!value.is_object())
    throw IntegrationError(IntegrationError::notAnObject,
                           displayPath(path) + " is not a JSON object");
  return value;
}

void writeText(const std::string& path, std::string_view text, unsigned mode) {
  const std::string dir = files::parent(path);
  if (!files::makeDirs(dir))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot create " + displayPath(dir) + ": " + std::strerror(errno));
  // Refreshed on every start and connect; a file already as it should be is left alone.
  if (files::read(path) == text && modeOf(path, 0) == static_cast<mode_t>(mode)) return;
  if (auto why = files::writeAtomic(path, text, static_cast<mode_t>(mode)))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot write " + displayPath(path) + reasonOf(*why));
}

void save(const std::string& path, const Json& object, JsonText::Syntax syntax) {
  refuseBrokenLink(path);
  const std::string dir = files::parent(path);
  if (!files::makeDirs(dir))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot create " + displayPath(dir) + ": " + std::strerror(errno));
  const std::string target = writeTarget(path);
  const mode_t mode = modeOf(target, 0644);
  std::optional<std::string> previous;
  if (files::exists(target)) {
    previous = files::read(target);
    if (!previous)
      throw IntegrationError(IntegrationError::unreadable,
                             "cannot read " + displayPath(path) + ": " + std::strerror(errno));
  }
  std::string text;
  if (previous && !blank(*previous)) {
    std::optional<std::string> edited;
    try {
      edited = JsonText::edit(*previous, object, syntax);
    } catch (const JsonText::ParseError&) {
      // Only a file of ours gets here unparsed (shared ones were refused by load); the old
      // text stays in the backup.
      edited = fresh(object);
    }
    if (!edited)
      throw IntegrationError(IntegrationError::unsafeEdit,
                             displayPath(path) +
                                 " could not be changed without disturbing the rest of it, so "
                                 "it was left as it is");
    text = std::move(*edited);
  } else {
    text = fresh(object);
  }
  if (previous && *previous == text) return;
  if (readOnly(target))
    throw IntegrationError(IntegrationError::unwritable,
                           displayPath(path) + " is read-only, so it was left as it is");
  if (previous) {
    // The backup always holds the version before the last write; failing to make it is no
    // reason to refuse the user's change.
    (void)files::writeAtomic(path + ".talvane-backup", *previous, mode);
  }
  if (auto why = files::writeAtomic(target, text, mode))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot write " + displayPath(path) + reasonOf(*why));
}

void saveStripped(const std::string& path, Json config, const Json& hooks, Json kept,
                  bool dropEmptyHooks, JsonText::Syntax syntax) {
  std::vector<std::string> emptied;
  for (auto it = hooks.begin(); it != hooks.end(); ++it) {
    if (it->is_array() && !kept.contains(it.key())) {
      emptied.push_back(it.key());
      kept[it.key()] = Json::array();
    }
  }
  const std::optional<std::string> text = files::read(path);
  auto written = [&](const Json& candidate) -> std::optional<std::string> {
    if (!text) return std::nullopt;
    try {
      return JsonText::edit(*text, candidate, syntax);
    } catch (const JsonText::ParseError&) {
      return std::nullopt;
    }
  };
  // Whether the member at `where` is written as bare brackets: nothing of the user's is in it.
  // When that cannot be told, it goes, as it did before this was asked.
  auto bare = [&](const std::optional<std::string>& edited, const std::vector<std::string>& where) {
    if (!edited) return true;
    const auto raw = JsonText::textAt(*edited, where, syntax);
    return !raw || *raw == "[]" || *raw == "{}";
  };
  if (!emptied.empty()) {
    config["hooks"] = kept;
    const auto edited = written(config);
    for (const std::string& event : emptied)
      if (bare(edited, {"hooks", event})) kept.erase(event);
  }
  config["hooks"] = std::move(kept);
  if (dropEmptyHooks && config["hooks"].empty() && bare(written(config), {"hooks"}))
    config.erase("hooks");
  save(path, config, syntax);
}

std::string commandOf(const Json& hook) { return json::string(hook, "command").value_or(""); }

bool isOurs(const Json& hook) {
  const std::string command = commandOf(hook);
  return command.find(marker) != std::string::npos ||
         command.find(legacyMarker) != std::string::npos;
}

Json strippedFlat(const Json& hooks) {
  Json result = hooks;
  for (auto it = result.begin(); it != result.end();) {
    if (!it->is_array()) {
      ++it;
      continue;
    }
    Json kept = Json::array();
    bool removed = false;
    for (const Json& hook : *it) {
      if (hook.is_object() && isOurs(hook))
        removed = true;
      else
        kept.push_back(hook);
    }
    if (removed && kept.empty()) {
      it = result.erase(it);
      continue;
    }
    *it = std::move(kept);
    ++it;
  }
  return result;
}

}  // namespace talvane::ConfigFile
