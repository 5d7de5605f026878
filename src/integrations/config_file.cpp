#include "integrations/config_file.h"

#include <algorithm>
#include <cctype>
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
std::string writeTarget(const FileFacts& facts, const std::string& path) {
  return facts.link && !facts.resolved.empty() ? facts.resolved : path;
}

// A link whose target is gone would be replaced by a plain file on save, cutting the user's
// dotfile link; say so instead of a bare "No such file or directory".
void refuseBrokenLink(FileSystem& fs, const FileFacts& facts, const std::string& path) {
  if (!facts.link || facts.exists) return;
  if (facts.linkError.empty())
    throw IntegrationError(IntegrationError::unreadable,
                           fs.displayPath(path) + " is a symbolic link to " +
                               fs.displayPath(facts.linkText.empty() ? "?" : facts.linkText) +
                               ", which does not exist");
  throw IntegrationError(IntegrationError::unreadable,
                         "cannot read " + fs.displayPath(path) + ": " + facts.linkError);
}

// The reason at the end of a write error ("cannot write /x/.y.tmp-1-2: No space left on
// device"), so that messages name the user's file and not our temporary one.
std::string reasonOf(const std::string& why) {
  const auto colon = why.rfind(": ");
  return colon == std::string::npos ? std::string() : why.substr(colon);
}

bool readOnly(const FileFacts& facts) {
  // Root may write anything; a file without any write bit was still made read-only on purpose.
  return facts.exists && ((facts.mode & 0222) == 0 || !facts.writable);
}

void makeParent(FileSystem& fs, const std::string& path) {
  const std::string dir = files::parent(path);
  if (auto why = fs.makeDirs(dir))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot create " + fs.displayPath(dir) + ": " + *why);
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

bool present(const std::string& path) { return present(FileSystem::local(), path); }

bool present(FileSystem& fs, const std::string& path) { return fs.exists(path); }

std::string displayPath(const std::string& path) { return FileSystem::local().displayPath(path); }

Json load(const std::string& path, JsonText::Syntax syntax) {
  return load(FileSystem::local(), path, syntax);
}

Json load(FileSystem& fs, const std::string& path, JsonText::Syntax syntax) {
  const FileFacts facts = fs.facts(path);
  refuseBrokenLink(fs, facts, path);
  if (!facts.exists) return Json::object();
  std::string why;
  auto text = fs.read(path, &why);
  if (!text) {
    // A missing file is empty; one that exists but cannot be read must not be replaced.
    if (!fs.exists(path)) return Json::object();
    throw IntegrationError(IntegrationError::unreadable,
                           "cannot read " + fs.displayPath(path) + ": " + why);
  }
  if (blank(*text)) return Json::object();
  // Saving writes the value recursively: nesting that would exhaust the stack is refused here.
  if (!json::depthWithin(*text, json::kMaxDepth, /*comments=*/true))
    throw IntegrationError(IntegrationError::invalidJson,
                           fs.displayPath(path) + " is not valid JSON (it nests deeper than " +
                               std::to_string(json::kMaxDepth) + " levels)");
  Json value;
  try {
    value = JsonText::parse(*text, syntax);
  } catch (const JsonText::ParseError& e) {
    throw IntegrationError(IntegrationError::invalidJson,
                           fs.displayPath(path) + " is not valid JSON (" + e.what() + ")");
  }
  if (!value.is_object())
    throw IntegrationError(IntegrationError::notAnObject,
                           fs.displayPath(path) + " is not a JSON object");
  return value;
}

void writeText(const std::string& path, std::string_view text, unsigned mode) {
  writeText(FileSystem::local(), path, text, mode);
}

void writeText(FileSystem& fs, const std::string& path, std::string_view text, unsigned mode) {
  makeParent(fs, path);
  // Refreshed on every start and connect; a file already as it should be is left alone.
  if (fs.facts(path).mode == mode && fs.holds(path, text)) return;
  if (auto why = fs.writeAtomic(path, text, mode))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot write " + fs.displayPath(path) + reasonOf(*why));
}

void save(const std::string& path, const Json& object, JsonText::Syntax syntax) {
  save(FileSystem::local(), path, object, syntax);
}

void save(FileSystem& fs, const std::string& path, const Json& object, JsonText::Syntax syntax) {
  const FileFacts atPath = fs.facts(path);
  refuseBrokenLink(fs, atPath, path);
  makeParent(fs, path);
  const std::string target = writeTarget(atPath, path);
  const FileFacts facts = target == path ? atPath : fs.facts(target);
  const unsigned mode = facts.exists ? facts.mode : 0644;
  std::optional<std::string> previous;
  if (facts.exists) {
    std::string why;
    previous = fs.read(target, &why);
    if (!previous)
      throw IntegrationError(IntegrationError::unreadable,
                             "cannot read " + fs.displayPath(path) + ": " + why);
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
                             fs.displayPath(path) +
                                 " could not be changed without disturbing the rest of it, so "
                                 "it was left as it is");
    text = std::move(*edited);
  } else {
    text = fresh(object);
  }
  if (previous && *previous == text) return;
  if (readOnly(facts))
    throw IntegrationError(IntegrationError::unwritable,
                           fs.displayPath(path) + " is read-only, so it was left as it is");
  if (previous) {
    // The backup always holds the version before the last write; failing to make it is no
    // reason to refuse the user's change.
    (void)fs.writeAtomic(path + ".talvane-backup", *previous, mode);
  }
  if (auto why = fs.writeAtomic(target, text, mode))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot write " + fs.displayPath(path) + reasonOf(*why));
}

void saveStripped(const std::string& path, Json config, const Json& hooks, Json kept,
                  bool dropEmptyHooks, JsonText::Syntax syntax) {
  saveStripped(FileSystem::local(), path, std::move(config), hooks, std::move(kept), dropEmptyHooks,
               syntax);
}

void saveStripped(FileSystem& fs, const std::string& path, Json config, const Json& hooks,
                  Json kept, bool dropEmptyHooks, JsonText::Syntax syntax) {
  std::vector<std::string> emptied;
  for (auto it = hooks.begin(); it != hooks.end(); ++it) {
    if (it->is_array() && !kept.contains(it.key())) {
      emptied.push_back(it.key());
      kept[it.key()] = Json::array();
    }
  }
  const std::optional<std::string> text = fs.read(path);
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
  save(fs, path, config, syntax);
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
