#include "app/prefs.h"

#include <glib.h>

#include <atomic>
#include <cmath>
#include <exception>
#include <limits>

#include "app/autostart.h"
#include "platform/files.h"
#include "platform/json_settings_store.h"
#include "platform/log.h"

namespace talvane {

PrefsServices::~PrefsServices() = default;
bool PrefsServices::hooksInstalled() { return false; }
void PrefsServices::setHooksInstalled(bool) {}
bool PrefsServices::cursorInstalled() { return false; }
bool PrefsServices::cursorAvailable() { return false; }
void PrefsServices::setCursorInstalled(bool) {}
bool PrefsServices::integrationAvailable(std::string_view) { return false; }
std::optional<std::string> PrefsServices::integrationPath(std::string_view) { return {}; }
void PrefsServices::setIntegrationInstalled(std::string_view, bool) {}
bool PrefsServices::openAtLogin() { return Autostart::enabled(); }
void PrefsServices::setOpenAtLogin(bool on) {
  auto error = on ? Autostart::install() : Autostart::uninstall();
  if (error) log::debug("prefs", *error);
}
bool PrefsServices::accessibilityTrusted() { return false; }
bool PrefsServices::prefersDark() { return false; }
std::optional<std::string> PrefsServices::version() {
  std::string v = TALVANE_VERSION;
  if (v.empty()) return std::nullopt;
  return v;
}
void PrefsServices::reloadHotKeys() {}
void PrefsServices::autoUpdateChanged(bool) {}
Json PrefsServices::remotes() {
  return {{"hosts", Json::array()}, {"busy", nullptr}, {"message", ""}};
}
void PrefsServices::runRemote(const std::string&, const std::string&) {}

namespace Prefs {

namespace {

SettingsStore* boundStore = nullptr;
PrefsServices* boundServices = nullptr;
// What the services last reported (installed agents, login item, version…). Asking them reads
// agents' files and may search $PATH, too slow for every push; see refreshInstalled().
std::optional<Json> installedCache;
// Counts every change of installedCache, so that a reading made off the loop does not replace
// a newer one.
std::uint64_t installedGeneration = 0;
std::atomic<std::uint64_t> installedReads = 0;

void setInstalled(std::optional<Json> value) {
  installedCache = std::move(value);
  ++installedGeneration;
}

// The agents connected through the generic integrations, in the order the page lists them.
// To add one: its identifier (as the integrations know it) and its display name.
struct IntegrationRow {
  std::string_view id;
  std::string_view label;
};
constexpr IntegrationRow kIntegrations[] = {
    {"gemini", "Gemini CLI"},   {"droid", "Droid"},       {"opencode", "OpenCode"},
    {"copilot", "Copilot CLI"}, {"windsurf", "Windsurf"},
};
constexpr std::string_view kIntegrationPrefix = "integration:";

// Integers as the page and a hand-edited file write them: an integral float counts.
std::optional<std::int64_t> asInteger(const Json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return {};
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d) && std::floor(d) == d && std::fabs(d) < 9.2e18)
      return static_cast<std::int64_t>(d);
  }
  return {};
}

std::int64_t integer(const std::string& key, std::int64_t fallback) {
  auto value = store().get(key);
  if (!value) return fallback;
  return asInteger(*value).value_or(fallback);
}

bool boolean(const std::string& key, bool fallback) {
  auto value = store().get(key);
  return value && value->is_boolean() ? value->get<bool>() : fallback;
}

std::string string(const std::string& key, const std::string& fallback) {
  auto value = store().get(key);
  return value && value->is_string() ? value->get<std::string>() : fallback;
}

// The stored settings the page sets as they are. To add one: a row here (and a getter in
// prefs.h when native code reads it); json() and set() pick it up.
enum class Kind { string, integer, boolean };
struct Stored {
  std::string_view key;
  Kind kind;
};
constexpr Stored kStored[] = {
    {"shape", Kind::string},       {"replyWindow", Kind::integer}, {"hideAfter", Kind::integer},
    {"autoOpen", Kind::boolean},   {"glass", Kind::boolean},       {"optionTap", Kind::boolean},
    {"autoUpdate", Kind::boolean}, {"theme", Kind::string},        {"notifications", Kind::string},
    {"sound", Kind::boolean},
};

std::optional<Json> ofKind(Kind kind, const Json& value) {
  switch (kind) {
    case Kind::string:
      if (value.is_string()) return value;
      break;
    case Kind::integer:
      if (auto i = asInteger(value)) return Json(*i);
      break;
    case Kind::boolean:
      if (value.is_boolean()) return value;
      break;
  }
  return std::nullopt;
}

const char* comboKey(HotKey::Action action) {
  return action == HotKey::Action::open ? "openKey" : "talkKey";
}

// The outside parts may throw or fail; the page only ever sees the state read afterwards.
template <typename F>
void absorb(std::string_view what, F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    log::debug("prefs", std::string(what) + ": " + e.what());
  } catch (...) {
    log::debug("prefs", std::string(what) + " failed");
  }
}

template <typename F>
bool ask(F&& query) {
  try {
    return query();
  } catch (...) {
    return false;
  }
}

bool fileMentionsRelay(const std::string& path) {
  auto text = files::read(path);
  if (!text || !g_utf8_validate_len(text->data(), text->size(), nullptr)) return false;
  return text->find("talvane-hook") != std::string::npos;
}

// A key press from the page: {"code": "KeyR", "ctrl": true, "alt": true, ...}. An unknown key
// brings the default back; a key without a modifier would swallow plain typing everywhere, so
// it is never stored.
void setCombo(HotKey::Action action, const Json& value) {
  const char* key = comboKey(action);
  auto code = json::string(value, "code");
  const auto& table = HotKey::codes();
  auto found = code ? table.find(*code) : table.end();
  if (found == table.end()) {
    store().remove(key);
    return;
  }
  std::uint32_t mask = 0;
  if (json::boolean(value, "ctrl").value_or(false)) mask |= HotKey::Mods::control;
  if (json::boolean(value, "alt").value_or(false)) mask |= HotKey::Mods::option;
  if (json::boolean(value, "shift").value_or(false)) mask |= HotKey::Mods::shift;
  if (json::boolean(value, "meta").value_or(false)) mask |= HotKey::Mods::command;
  if (mask == 0) return;
  store().set(key, Json::array({found->second, mask}));
}

}  // namespace

SettingsStore& store() { return boundStore ? *boundStore : JsonSettingsStore::user(); }

PrefsServices& services() {
  static PrefsServices fallback;
  return boundServices ? *boundServices : fallback;
}

Binding::Binding(SettingsStore& store, PrefsServices* services)
    : oldStore_(boundStore), oldServices_(boundServices) {
  boundStore = &store;
  if (services) boundServices = services;
  setInstalled(std::nullopt);
}

Binding::~Binding() {
  boundStore = oldStore_;
  boundServices = oldServices_;
  setInstalled(std::nullopt);
}

std::int64_t replyWindow() { return integer("replyWindow", 15); }
std::int64_t hideAfter() { return integer("hideAfter", 120); }
bool autoOpen() { return boolean("autoOpen", false); }
bool glass() { return boolean("glass", false); }
bool optionTap() { return boolean("optionTap", true); }
bool autoUpdate() { return boolean("autoUpdate", true); }
bool onboarded() { return boolean("onboarded", false); }
bool askedAccessibility() { return boolean("askedAccessibility", false); }
std::string shape() { return string("shape", "auto"); }
std::string theme() { return string("theme", "auto"); }
bool sound() { return boolean("sound", true); }

std::string notifications() {
  std::string stored = string("notifications", "requests");
  return stored == "off" || stored == "all" ? stored : "requests";
}

std::string resolvedTheme() {
  std::string stored = theme();
  if (stored != "auto") return stored;
  return ask([] { return services().prefersDark(); }) ? "dark" : "light";
}

void setOnboarded(bool value) { store().set("onboarded", value); }
void setAskedAccessibility(bool value) { store().set("askedAccessibility", value); }

std::optional<HotKey::Combo> combo(HotKey::Action action) {
  auto value = store().get(comboKey(action));
  if (!value || !value->is_array() || value->size() != 2) return std::nullopt;
  std::uint32_t parts[2];
  for (size_t i = 0; i < 2; ++i) {
    auto n = asInteger((*value)[i]);
    if (!n || *n < 0 || *n > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    parts[i] = static_cast<std::uint32_t>(*n);
  }
  return HotKey::Combo{parts[0], parts[1]};
}

HotKey::Combo comboOrDefault(HotKey::Action action) {
  if (auto stored = combo(action)) return *stored;
  return HotKey::defaults().at(action);
}

std::map<std::string, Date> tucked() {
  std::map<std::string, Date> result;
  auto value = store().get("tucked");
  if (!value || !value->is_object()) return result;
  for (const auto& [id, time] : value->items()) {
    if (time.is_number() && std::isfinite(time.get<double>()))
      result.emplace(id, time.get<double>());
  }
  return result;
}

void setTucked(const std::map<std::string, Date>& tucked) {
  Json object = Json::object();
  for (const auto& [id, time] : tucked) object[id] = time;
  store().set("tucked", object);
}

namespace {

Json readInstalled(PrefsServices& s) {
  ++installedReads;
  Json integrations = Json::array();
  for (const auto& row : kIntegrations) {
    auto path = [&]() -> std::optional<std::string> {
      try {
        return s.integrationPath(row.id);
      } catch (...) {
        return std::nullopt;
      }
    }();
    integrations.push_back({
        {"id", row.id},
        {"label", row.label},
        {"available", ask([&] { return s.integrationAvailable(row.id); })},
        {"installed", path && fileMentionsRelay(*path)},
    });
  }
  std::string version = "dev";
  try {
    if (auto v = s.version()) version = *v;
  } catch (...) {
  }
  return Json{
      {"openAtLogin", ask([&] { return s.openAtLogin(); })},
      {"optionTapReady", ask([&] { return s.accessibilityTrusted(); })},
      {"hooksInstalled", ask([&] { return s.hooksInstalled(); })},
      {"cursorInstalled", ask([&] { return s.cursorInstalled(); })},
      {"cursorAvailable", ask([&] { return s.cursorAvailable(); })},
      {"version", version},
      {"integrations", integrations},
  };
}

const Json& installed() {
  if (!installedCache) setInstalled(readInstalled(services()));
  return *installedCache;
}

}  // namespace

bool refreshInstalled() {
  const InstalledReading reading = beginInstalledReading();
  return keepInstalled(reading, reading.read());
}

InstalledReading beginInstalledReading() { return {&services(), installedGeneration}; }

Json InstalledReading::read() const { return readInstalled(*services); }

bool keepInstalled(const InstalledReading& reading, Json fresh) {
  if (reading.generation != installedGeneration) return false;
  const bool changed = !installedCache || *installedCache != fresh;
  setInstalled(std::move(fresh));
  return changed;
}

void forgetInstalled() { setInstalled(std::nullopt); }

std::uint64_t installedReadCount() { return installedReads; }

Json json() {
  const Json& known = installed();
  return Json{
      {"shape", shape()},
      {"replyWindow", replyWindow()},
      {"hideAfter", hideAfter()},
      {"autoOpen", autoOpen()},
      {"openAtLogin", known["openAtLogin"]},
      {"autoUpdate", autoUpdate()},
      {"optionTap", optionTap()},
      {"optionTapReady", known["optionTapReady"]},
      {"glass", glass()},
      {"theme", theme()},
      {"hooksInstalled", known["hooksInstalled"]},
      {"cursorInstalled", known["cursorInstalled"]},
      {"cursorAvailable", known["cursorAvailable"]},
      {"version", known["version"]},
      {"integrations", known["integrations"]},
      {"openKey", HotKey::label(comboOrDefault(HotKey::Action::open))},
      {"talkKey", HotKey::label(comboOrDefault(HotKey::Action::talk))},
      {"notifications", notifications()},
      {"sound", sound()},
      {"remotes",
       [] {
         try {
           return services().remotes();
         } catch (...) {
           return PrefsServices().remotes();
         }
       }()},
  };
}

void set(std::string_view key, const Json& value) {
  PrefsServices& s = services();
  for (const auto& row : kStored) {
    if (row.key != key) continue;
    auto stored = ofKind(row.kind, value);
    if (!stored) return;
    store().set(std::string(key), *stored);
    if (key == "autoUpdate")
      absorb("autoUpdate", [&] { s.autoUpdateChanged(stored->get<bool>()); });
    return;
  }
  if (key == "openKey" || key == "talkKey") {
    setCombo(key == "openKey" ? HotKey::Action::open : HotKey::Action::talk, value);
    absorb("reload hot keys", [&] { s.reloadHotKeys(); });
    return;
  }
  if ((key == "remoteAdd" || key == "remoteRemove") && value.is_string()) {
    const std::string verb = key == "remoteAdd" ? "add" : "remove";
    absorb("remote host", [&] { s.runRemote(verb, value.get<std::string>()); });
    return;
  }
  if (!value.is_boolean()) return;
  const bool on = value.get<bool>();
  // Whatever the action did, the next state shows what is really installed now.
  struct Forget {
    ~Forget() { forgetInstalled(); }
  } forget;
  if (key == "openAtLogin") {
    absorb("login item", [&] { s.setOpenAtLogin(on); });
  } else if (key == "cursorInstalled") {
    absorb("Cursor hooks", [&] { s.setCursorInstalled(on); });
  } else if (key == "hooksInstalled") {
    absorb("Claude Code hooks", [&] { s.setHooksInstalled(on); });
  } else if (key.starts_with(kIntegrationPrefix)) {
    std::string_view id = key.substr(kIntegrationPrefix.size());
    for (const auto& row : kIntegrations) {
      if (row.id == id) absorb(id, [&] { s.setIntegrationInstalled(row.id, on); });
    }
  }
}

}  // namespace Prefs
}  // namespace talvane
