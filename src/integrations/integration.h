#pragma once
// The hook-based agents other than Claude Code and Cursor: where each keeps its hook
// configuration and how our relay is added to and removed from it. The throwing operations
// throw IntegrationError (config_file.h).

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace talvane {

namespace OpenCodePlugin {
// The plugin module written to OpenCode's plugin folder (source: opencode/talvane.js).
extern const std::string_view text;
}  // namespace OpenCodePlugin

class Integration {
 public:
  // The order is the order of the settings page.
  enum Case { gemini, droid, opencode, copilot, windsurf };

  constexpr Integration(Case value) : value_(value) {}  // NOLINT: a case converts implicitly

  static std::span<const Integration> allCases();
  // The integration whose raw value is `name`, e.g. "gemini".
  static std::optional<Integration> named(std::string_view name);

  Case value() const { return value_; }
  // The identifier, also the agent name handed to the relay.
  std::string_view rawValue() const;
  std::string_view label() const;  // "Gemini CLI", "Droid", "OpenCode", "Copilot CLI", "Windsurf"

  // Each works on this machine's files, or on `fs` when given one.
  bool available(FileSystem& fs = FileSystem::local()) const;    // the agent is present
  std::string path(FileSystem& fs = FileSystem::local()) const;  // the file install() writes
  // The hook command; Copilot CLI names no event in its input, so it gets the event too.
  std::string command(std::string_view event = {}) const;

  // HookInstaller::copyBinary(), then our entries.
  void install(FileSystem& fs = FileSystem::local()) const;
  // Everything install() added, nothing else.
  void uninstall(FileSystem& fs = FileSystem::local()) const;
  // path() can be read and mentions the relay.
  bool isInstalled(FileSystem& fs = FileSystem::local()) const;

  bool operator==(const Integration&) const = default;

 private:
  Case value_;
};

}  // namespace talvane
