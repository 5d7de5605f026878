#pragma once
// The user's settings: typed getters with their defaults, the settings object the page shows,
// and the changes the page sends back. Some "settings" are actions (connecting an agent,
// the login item); those reach the parts that own them through PrefsServices.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/json.h"
#include "platform/settings_store.h"
#include "voice/hot_key.h"

namespace talvane {

// What preferences read from or ask of other parts. Each default reports "not installed /
// not available" and does nothing, except the login item (the XDG autostart entry) and the
// version (this build's). The app overrides them with the real installers. The install
// calls may throw: Prefs discards the error, and the next json() shows the real state.
class PrefsServices {
 public:
  virtual ~PrefsServices();

  // Claude Code's hooks and the relay.
  virtual bool hooksInstalled();
  virtual void setHooksInstalled(bool on);
  // Cursor's hooks.
  virtual bool cursorInstalled();
  virtual bool cursorAvailable();
  virtual void setCursorInstalled(bool on);
  // The other agents, by identifier ("gemini", "droid", "opencode", "copilot", "windsurf").
  virtual bool integrationAvailable(std::string_view id);
  // The integration's configuration file; none means it reads as not installed.
  virtual std::optional<std::string> integrationPath(std::string_view id);
  virtual void setIntegrationInstalled(std::string_view id, bool on);
  // The login item.
  virtual bool openAtLogin();
  virtual void setOpenAtLogin(bool on);
  // Whether the platform lets the Option-key tap observe the keyboard.
  virtual bool accessibilityTrusted();
  // Whether the desktop asks for a dark appearance.
  virtual bool prefersDark();
  // The app's version; none shows as "dev".
  virtual std::optional<std::string> version();
  // A hot-key combination changed: register both again from the preferences.
  virtual void reloadHotKeys();
  // "autoUpdate" changed. Runs after set() returns: the updater must not be reconfigured from
  // inside the page command that changed it, so implementations post this to the loop.
  virtual void autoUpdateChanged(bool autoDownload);
  // The remote hosts as the page shows them: {"hosts":[...],"busy":null,"message":""} by default.
  virtual Json remotes();
  // Adds or removes a remote host ("add" / "remove") for the page, in the background.
  virtual void runRemote(const std::string& verb, const std::string& destination);
};

namespace Prefs {

// The store every function reads, and the services it uses. Until something is bound these are
// JsonSettingsStore::user() and a default PrefsServices.
SettingsStore& store();
PrefsServices& services();

// Binds a store (and services, when given) for as long as it lives; bindings nest. The app binds
// its store and services at startup, a test its own.
class Binding {
 public:
  explicit Binding(SettingsStore& store, PrefsServices* services = nullptr);
  ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

 private:
  SettingsStore* oldStore_;
  PrefsServices* oldServices_;
};

// Typed getters; each reads the store now. A missing value, or one of another type, reads as
// the default shown.
std::int64_t replyWindow();  // seconds, 15; below 1: no reply window
std::int64_t hideAfter();    // minutes, 120; 0: never hide
bool autoOpen();             // false
bool glass();                // false
bool optionTap();            // true
bool autoUpdate();           // true
bool onboarded();            // false
bool askedAccessibility();   // false
std::string shape();         // "auto"
std::string theme();         // "auto", unresolved
// Desktop notifications: "off", "requests" (what waits for an answer) or "all" (also finished
// turns and pull-request news); anything else reads as "requests".
std::string notifications();
// A sound when an agent needs you or finishes; true.
bool sound();
// The stored theme, or for "auto" "dark"/"light" as the desktop prefers.
std::string resolvedTheme();

void setOnboarded(bool value);
void setAskedAccessibility(bool value);

// The stored combination of an action, when it is exactly two integers within 32 bits;
// otherwise none and the caller takes HotKey::defaults().
std::optional<HotKey::Combo> combo(HotKey::Action action);
// combo(action), else the built-in default.
HotKey::Combo comboOrDefault(HotKey::Action action);

// Sessions the user tucked away: id to the time they were tucked. Entries that are not numbers
// are dropped; a malformed value reads as empty. The whole map is written on every change.
std::map<std::string, Date> tucked();
void setTucked(const std::map<std::string, Date>& tucked);

// The settings object for the page: exactly 20 entries. What the services report (installed
// agents, login item, accessibility, version) is read once and kept: reading it touches agents'
// files. It is read again after a connect/disconnect through set(), a new binding,
// forgetInstalled() or refreshInstalled().
Json json();
// Reads what the services report now; true when it differs from what was kept.
bool refreshInstalled();
// refreshInstalled() in parts, so that the reading can run off the loop: begin on the loop,
// read() on any thread (it asks only the services bound at the beginning, which must outlive
// it), keepInstalled() back on the loop. A reading that a set(), a new binding or
// forgetInstalled() overtook is dropped: it may predate their change. True when what was kept
// changed.
struct InstalledReading {
  PrefsServices* services;
  std::uint64_t generation;
  Json read() const;
};
InstalledReading beginInstalledReading();
bool keepInstalled(const InstalledReading& reading, Json fresh);
// Drops what was kept; the next json() reads again.
void forgetInstalled();
// How many times the services were asked (for benchmarks).
std::uint64_t installedReadCount();

// Applies one change sent by the page. An unknown key, or a value of the wrong type for its
// key, changes nothing.
void set(std::string_view key, const Json& value);

}  // namespace Prefs
}  // namespace talvane
