#pragma once
// Reading and writing the agents' JSON configuration files. These files belong to the user: a
// file we cannot understand is refused and left exactly as it is, never replaced by our guess.

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/json.h"

namespace talvane {

// Why an agent's configuration could not be changed. The message is one line that names the
// file with "~" for the home directory, e.g. "~/.claude/settings.json is not a JSON object".
class IntegrationError : public std::runtime_error {
 public:
  enum Code { notAnObject = 1, invalidJson = 2, unreadable = 3, unwritable = 4 };
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

// `path` with the home directory shown as "~".
std::string displayPath(const std::string& path);

// The file's top-level object. A missing or blank file is an empty object; comments are
// allowed. Throws IntegrationError when the file exists but cannot be read, does not parse,
// or holds something other than an object.
Json load(const std::string& path);

// Pretty-printed (2 spaces), sorted keys, slashes and non-ASCII text as they are, one final
// line feed. The previous version, if any, is kept in `path` + ".talvane-backup" (a failed
// backup never stops the save). The write is atomic and keeps the file's permission bits; a
// symbolic link is followed so that the file it points to is the one replaced.
// Throws IntegrationError when the folder or the file cannot be written.
void save(const std::string& path, const Json& object);

// Writes text atomically, creating the folder; throws IntegrationError on failure.
void writeText(const std::string& path, std::string_view text, unsigned mode = 0644);

// The "command" string of a hook object, or "" when missing or not a string.
std::string commandOf(const Json& hook);
bool isOurs(const Json& hook);  // its command names the relay, current or legacy

// `hooks` (event name -> list of hook objects) without our hook objects. Events whose list we
// emptied are removed; members that are not lists, and entries that are not objects, stay.
Json strippedFlat(const Json& hooks);

}  // namespace ConfigFile
}  // namespace talvane
