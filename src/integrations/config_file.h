#pragma once
// Reading and writing the agents' JSON configuration files. These files belong to the user: a
// file we cannot understand is refused and left exactly as it is, never replaced by our guess.

#include <stdexcept>
#include <string>
#include <string_view>

#include "integrations/json_text.h"
#include "platform/file_system.h"
#include "platform/json.h"

namespace talvane {

// Why an agent's configuration could not be changed. The message is one line that names the
// file with "~" for the home directory, e.g. "~/.claude/settings.json is not a JSON object".
class IntegrationError : public std::runtime_error {
 public:
  enum Code { notAnObject = 1, invalidJson = 2, unreadable = 3, unwritable = 4, unsafeEdit = 5 };
  IntegrationError(Code code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  static constexpr std::string_view domain = "Talvane";
  Code code() const { return code_; }

 private:
  Code code_;
};

namespace ConfigFile {

// The relay's name: a hook command containing it is ours.
inline constexpr std::string_view marker = "talvane-hook";
// The relay's name in installations made before the rename.
inline constexpr std::string_view legacyMarker = "wendolith-hook";

// Each operation works on this machine's files, or on `fs` when given one (a remote user's
// files, whose home directory is then the one shown as "~").

// `path` with the home directory shown as "~".
std::string displayPath(const std::string& path);

// Whether the file is there, following a symbolic link (a link to nothing is no file).
bool present(const std::string& path);
bool present(FileSystem& fs, const std::string& path);

// The file's top-level object. A missing or blank file is an empty object; comments are
// allowed. Throws IntegrationError when the file exists but cannot be read, does not parse,
// or holds something other than an object, and when it is a symbolic link to nothing.
Json load(const std::string& path, JsonText::Syntax syntax = {});
Json load(FileSystem& fs, const std::string& path, JsonText::Syntax syntax = {});

// Changes the file to hold `object` (JsonText::edit): what stays keeps its text, so the user's
// comments, order and layout survive. A new or blank file is written pretty-printed (2 spaces,
// sorted keys, slashes and non-ASCII text as they are, one final line feed). Nothing is
// written when the text would not change. Otherwise the previous version is kept in
// `path` + ".talvane-backup" (a failed backup never stops the save), and the write is atomic,
// keeps the permission bits and follows a symbolic link so that its target is replaced.
// Throws IntegrationError when the file is read-only or cannot be written, and when the edit
// could not be made exactly.
void save(const std::string& path, const Json& object, JsonText::Syntax syntax = {});
void save(FileSystem& fs, const std::string& path, const Json& object,
          JsonText::Syntax syntax = {});

// Saves `config` with its "hooks" member set to `kept`: `hooks` with our entries taken out, where
// events left without entries are gone. Such an event, and with `dropEmptyHooks` an emptied
// "hooks" as well, goes only when nothing but our entries stood between its brackets; one that
// holds the user's comments or blank lines stays, empty, and keeps them.
void saveStripped(const std::string& path, Json config, const Json& hooks, Json kept,
                  bool dropEmptyHooks, JsonText::Syntax syntax = {});
void saveStripped(FileSystem& fs, const std::string& path, Json config, const Json& hooks,
                  Json kept, bool dropEmptyHooks, JsonText::Syntax syntax = {});

// Writes text atomically, creating the folder; throws IntegrationError on failure.
void writeText(const std::string& path, std::string_view text, unsigned mode = 0644);
void writeText(FileSystem& fs, const std::string& path, std::string_view text,
               unsigned mode = 0644);

// The "command" string of a hook object, or "" when missing or not a string.
std::string commandOf(const Json& hook);
bool isOurs(const Json& hook);  // its command names the relay, current or legacy

// `hooks` (event name -> list of hook objects) without our hook objects. Events whose list we
// emptied are removed; members that are not lists, and entries that are not objects, stay.
Json strippedFlat(const Json& hooks);

}  // namespace ConfigFile
}  // namespace talvane
