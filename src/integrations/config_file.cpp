#include "integrations/config_file.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

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

}  // namespace

std::string displayPath(const std::string& path) {
  const std::string home = files::home();
  if (home.size() > 1 && path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
      path[home.size()] == '/')
    return "~" + path.substr(home.size());
  return path;
}

Json load(const std::string& path) {
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
    value = Json::parse(*text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/true);
  } catch (const Json::parse_error& e) {
    std::string why = e.what();
    // nlohmann prefixes "[json.exception.parse_error.101] parse error at line 1, column 2: ".
    if (auto at = why.find("parse error"); at != std::string::npos) why = why.substr(at);
    throw IntegrationError(IntegrationError::invalidJson,
                           displayPath(path) + " is not valid JSON (" + why + ")");
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
  if (auto why = files::writeAtomic(path, text, static_cast<mode_t>(mode)))
    throw IntegrationError(IntegrationError::unwritable, *why);
}

void save(const std::string& path, const Json& object) {
  const std::string dir = files::parent(path);
  if (!files::makeDirs(dir))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot create " + displayPath(dir) + ": " + std::strerror(errno));
  const std::string target = writeTarget(path);
  const mode_t mode = modeOf(target, 0644);
  if (auto previous = files::read(target)) {
    // The backup always holds the version before the last write; failing to make it is no
    // reason to refuse the user's change.
    (void)files::writeAtomic(path + ".talvane-backup", *previous, mode);
  }
  std::string text;
  try {
    text = object.dump(2, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    // Invalid UTF-8 read from the file: keep the rest rather than failing the whole save.
    text = json::pretty(object, 2);
  }
  text += '\n';
  if (auto why = files::writeAtomic(target, text, mode))
    throw IntegrationError(IntegrationError::unwritable, *why);
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
