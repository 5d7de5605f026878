#include "platform/color_scheme.h"

#include <gio/gio.h>

#include <cstdlib>
#include <string_view>

#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/session_bus.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettings = "org.freedesktop.portal.Settings";
constexpr const char* kAppearance = "org.freedesktop.appearance";
constexpr const char* kKey = "color-scheme";

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Portals wrap the value once (ReadOne) or twice (the older Read).
std::optional<unsigned> schemeValue(GVariant* value) {
  GVariant* v = g_variant_ref(value);
  while (v && g_variant_is_of_type(v, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(v);
    g_variant_unref(v);
    v = inner;
  }
  std::optional<unsigned> result;
  if (v && g_variant_is_of_type(v, G_VARIANT_TYPE_UINT32)) result = g_variant_get_uint32(v);
  if (v) g_variant_unref(v);
  return result;
}

std::optional<bool> defaultGtkPreference() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::string dir = config && *config ? config : std::string(home ? home : "") + "/.config";
  return gtkPrefersDark(files::read(dir + "/gtk-3.0/settings.ini").value_or(""),
                        std::getenv("GTK_THEME"));
}

}  // namespace

PortalScheme portalSchemeFrom(unsigned value) {
  if (value == 1) return PortalScheme::dark;
  if (value == 2) return PortalScheme::light;
  return PortalScheme::none;
}

std::optional<bool> gtkPrefersDark(const std::string& settingsIni, const char* gtkThemeEnv) {
  if (gtkThemeEnv) {
    std::string_view theme(gtkThemeEnv);
    if (theme.ends_with(":dark")) return true;
    if (theme.ends_with(":light")) return false;
  }
  bool inSettings = false;
  std::string_view text(settingsIni);
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.starts_with('[')) {
      inSettings = line == "[Settings]";
      continue;
    }
    std::size_t eq = line.find('=');
    if (!inSettings || eq == std::string_view::npos) continue;
    if (trim(line.substr(0, eq)) != "gtk-application-prefer-dark-theme") continue;
    std::string_view value = trim(line.substr(eq + 1));
    if (value == "true" || value == "1") return true;
    if (value == "false" || value == "0") return false;
  }
  return std::nullopt;
}

struct ColorScheme::Core : std::enable_shared_from_this<Core> {
  ColorScheme* owner = nullptr;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  GObjectPtr<GDBusConnection> bus;
  guint subscription = 0;
  PortalScheme portal = PortalScheme::none;

  ~Core() {
    if (subscription) g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
  }

  // Each callback holds its own weak reference, freed by GLib when the callback is done with.
  std::weak_ptr<Core>* weak() {
    return std::make_unique<std::weak_ptr<Core>>(shared_from_this()).release();
  }
  static void dropWeak(gpointer data) {
    const std::unique_ptr<std::weak_ptr<Core>> dropped(static_cast<std::weak_ptr<Core>*>(data));
  }
  static std::shared_ptr<Core> lock(gpointer data) {
    return static_cast<std::weak_ptr<Core>*>(data)->lock();
  }

  void set(PortalScheme scheme) {
    if (!owner) return;
    const bool before = owner->prefersDark();
    portal = scheme;
    // Called from GLib's callbacks: nothing escapes into them.
    if (owner->prefersDark() != before && owner->onChange)
      guardCallback("the colour scheme's change", [this] { owner->onChange(); });
  }

  void connected(GObjectPtr<GDBusConnection> connection, const std::string& why) {
    if (!connection) {
      log::debug("theme", "no session bus: " + why);
      return;
    }
    bus = std::move(connection);
    subscribe();
    read("ReadOne");
  }

  void subscribe() {
    subscription = g_dbus_connection_signal_subscribe(
        bus.get(), nullptr, kSettings, "SettingChanged", kPortalPath, kAppearance,
        G_DBUS_SIGNAL_FLAGS_NONE, &Core::onSignal, weak(), &Core::dropWeak);
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    auto core = lock(data);
    if (!core || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) return;
    const gchar* ns = nullptr;
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &ns, &key, &value);
    if (std::string_view(ns) == kAppearance && std::string_view(key) == kKey) {
      if (auto scheme = schemeValue(value)) core->set(portalSchemeFrom(*scheme));
    }
    g_variant_unref(value);
  }

  void read(const char* method) {
    g_dbus_connection_call(bus.get(), kPortalName, kPortalPath, kSettings, method,
                           g_variant_new("(ss)", kAppearance, kKey), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, kPortalTimeoutMs, cancellable.get(),
                           std::string_view(method) == "ReadOne" ? &Core::onReadOne : &Core::onRead,
                           weak());
  }

  static void finishRead(GObject* source, GAsyncResult* result, gpointer data, bool fallBack) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    auto core = lock(data);
    dropWeak(data);
    if (!reply) {
      // Portals before ReadOne answer only Read.
      if (core && fallBack && g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD)) {
        core->read("Read");
      } else if (core) {
        log::debug("theme", std::string("no colour scheme from the portal: ") + error->message);
      }
      g_clear_error(&error);
      return;
    }
    if (core) {
      GVariant* value = g_variant_get_child_value(reply, 0);
      if (auto scheme = schemeValue(value)) core->set(portalSchemeFrom(*scheme));
      g_variant_unref(value);
    }
    g_variant_unref(reply);
  }
  static void onReadOne(GObject* source, GAsyncResult* result, gpointer data) {
    finishRead(source, result, data, true);
  }
  static void onRead(GObject* source, GAsyncResult* result, gpointer data) {
    finishRead(source, result, data, false);
  }
};

ColorScheme::ColorScheme() : core_(std::make_shared<Core>()) {
  core_->owner = this;
  gtkPreference = defaultGtkPreference;
}

ColorScheme::~ColorScheme() {
  core_->owner = nullptr;
  g_cancellable_cancel(core_->cancellable.get());
}

void ColorScheme::start(const std::string& busAddress) {
  connectToBus(
      busAddress, core_->cancellable.get(),
      [weak = std::weak_ptr<Core>(core_)](GObjectPtr<GDBusConnection> bus, const std::string& why) {
        if (auto core = weak.lock()) core->connected(std::move(bus), why);
      });
}

bool ColorScheme::prefersDark() const {
  switch (core_->portal) {
    case PortalScheme::dark:
      return true;
    case PortalScheme::light:
      return false;
    case PortalScheme::none:
      break;
  }
  if (!gtkPreference) return false;
  return gtkPreference().value_or(false);
}

}  // namespace talvane
