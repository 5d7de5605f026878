#include "platform/screen_lock.h"

#include <gio/gio.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/session_bus.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

// The screen savers say it with a method and a signal; logind with a property of the session.
enum class Kind { screenSaver, logind };

struct Source {
  const char* name;
  const char* path;
  const char* interface;
  Kind kind;
};

constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kSessionDir = "/org/freedesktop/login1/session/";
constexpr const char* kLockedHint = "LockedHint";

// In the order they are believed. The session bus serves the first two, the system bus the last.
constexpr std::array<Source, 3> kSources{{
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
     Kind::screenSaver},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", Kind::screenSaver},
    // "auto" stands for the caller's session, else the user's graphical one; its changes are
    // signalled from the session's own path.
    {"org.freedesktop.login1", "/org/freedesktop/login1/session/auto", kSession, Kind::logind},
}};
constexpr std::size_t kOnSystemBus = 2;

struct VariantUnref {
  void operator()(GVariant* v) const {
    if (v) g_variant_unref(v);
  }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// The value inside a reply or a property, however wrapped (a tuple of one, variants); none for
// anything but the expected type.
VariantPtr unwrap(GVariant* value, const GVariantType* type) {
  VariantPtr v(value ? g_variant_ref(value) : nullptr);
  while (v && !g_variant_is_of_type(v.get(), type)) {
    const bool wrapper =
        g_variant_is_of_type(v.get(), G_VARIANT_TYPE_VARIANT) ||
        (g_variant_is_of_type(v.get(), G_VARIANT_TYPE_TUPLE) && g_variant_n_children(v.get()) == 1);
    v.reset(wrapper ? g_variant_get_child_value(v.get(), 0) : nullptr);
  }
  return v;
}

std::optional<bool> boolIn(GVariant* value) {
  auto v = unwrap(value, G_VARIANT_TYPE_BOOLEAN);
  if (!v) return std::nullopt;
  return g_variant_get_boolean(v.get()) != FALSE;
}

}  // namespace

std::string logindPathLabel(const std::string& id) {
  if (id.empty()) return "_";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const auto c = static_cast<unsigned char>(id[i]);
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (letter || (digit && i > 0)) {
      out += char(c);
    } else {
      out += '_';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

struct ScreenLock::Core : std::enable_shared_from_this<Core> {
  struct Watch {
    GObjectPtr<GDBusConnection> bus;
    BusNameWatch name;
    guint subscription = 0;
    std::string path;  // logind: the session's own path, once known
    std::optional<bool> locked;
    // Bumped by every change and whenever the service goes: answers to older questions are stale.
    std::uint64_t generation = 0;
  };
  // What GLib hands back: the source, and for a call the generation it was asked in.
  struct Ref {
    std::weak_ptr<Core> core;
    std::size_t source = 0;
    std::uint64_t generation = 0;
  };

  ScreenLock* owner = nullptr;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  std::array<Watch, kSources.size()> watches;

  ~Core() {
    for (Watch& w : watches) unsubscribe(w);
  }

  static void unsubscribe(Watch& w) {
    if (w.subscription) g_dbus_connection_signal_unsubscribe(w.bus.get(), w.subscription);
    w.subscription = 0;
  }

  Ref* ref(std::size_t source) {
    return std::make_unique<Ref>(Ref{weak_from_this(), source, watches[source].generation})
        .release();
  }
  static void dropRef(gpointer data) {
    const std::unique_ptr<Ref> dropped(static_cast<Ref*>(data));
  }
  // The core and the source's watch behind a callback's data, while the core lives.
  static std::pair<std::shared_ptr<Core>, Watch*> find(gpointer data) {
    const auto* r = static_cast<const Ref*>(data);
    auto core = r->core.lock();
    Watch* w = core ? &core->watches[r->source] : nullptr;
    return {std::move(core), w};
  }

  bool locked() const {
    for (const Watch& w : watches)
      if (w.locked) return *w.locked;
    return false;
  }

  void set(Watch& w, std::optional<bool> value) {
    const bool before = locked();
    w.locked = value;
    if (owner && locked() != before && owner->onChange)
      guardCallback("the screen lock's change", [this] { owner->onChange(); });
  }

  void connected(std::size_t first, std::size_t end, GObjectPtr<GDBusConnection> bus,
                 const std::string& why) {
    if (!bus) {
      log::debug("lock", "no bus to ask whether the screen is locked: " + why);
      return;
    }
    for (std::size_t i = first; i < end; ++i) {
      watches[i].bus.reset(G_DBUS_CONNECTION(g_object_ref(bus.get())));
      follow(i);
    }
  }

  void follow(std::size_t i) {
    const Source& s = kSources[i];
    Watch& w = watches[i];
    if (s.kind == Kind::screenSaver)
      w.subscription = g_dbus_connection_signal_subscribe(
          w.bus.get(), s.name, s.interface, "ActiveChanged", s.path, nullptr,
          G_DBUS_SIGNAL_FLAGS_NONE, &Core::onActiveChanged, ref(i), &Core::dropRef);
    // Also called once at the start, with the name's owner or without one.
    w.name = BusNameWatch(g_bus_watch_name_on_connection(
        w.bus.get(), s.name, G_BUS_NAME_WATCHER_FLAGS_NONE, &Core::onAppeared, &Core::onVanished,
        ref(i), &Core::dropRef));
  }

  static void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
    auto [core, w] = find(data);
    if (!core) return;
    const std::size_t i = static_cast<const Ref*>(data)->source;
    if (kSources[i].kind == Kind::screenSaver)
      core->call(i, kSources[i].path, kSources[i].interface, "GetActive", nullptr, "(b)",
                 &Core::onAnswer);
    else
      core->call(i, kSources[i].path, kProperties, "Get", g_variant_new("(ss)", kSession, "Id"),
                 "(v)", &Core::onSessionId);
  }

  static void onVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto [core, w] = find(data);
    if (!core) return;
    ++w->generation;
    if (kSources[static_cast<const Ref*>(data)->source].kind == Kind::logind) unsubscribe(*w);
    core->set(*w, std::nullopt);
  }

  void call(std::size_t i, const std::string& path, const char* interface, const char* method,
            GVariant* parameters, const char* replyType, GAsyncReadyCallback done) {
    g_dbus_connection_call(watches[i].bus.get(), kSources[i].name, path.c_str(), interface, method,
                           parameters, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           kCallTimeoutMs, cancellable.get(), done, ref(i));
  }

  // The reply to a call, or none (said in the debug log) when it failed or went stale.
  static VariantPtr reply(GObject* source, GAsyncResult* result, const Ref& r,
                          const std::shared_ptr<Core>& core) {
    GError* error = nullptr;
    VariantPtr v(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error));
    const GErrorPtr failed(error);
    if (!core || r.generation != core->watches[r.source].generation) return nullptr;
    if (failed) {
      log::debug("lock",
                 std::string(kSources[r.source].name) + " says nothing: " + failed->message);
      core->set(core->watches[r.source], std::nullopt);
    }
    return v;
  }

  static void onAnswer(GObject* source, GAsyncResult* result, gpointer data) {
    const std::unique_ptr<Ref> r(static_cast<Ref*>(data));
    auto core = r->core.lock();
    if (auto v = reply(source, result, *r, core))
      core->set(core->watches[r->source], boolIn(v.get()));
  }

  static void onSessionId(GObject* source, GAsyncResult* result, gpointer data) {
    const std::unique_ptr<Ref> r(static_cast<Ref*>(data));
    auto core = r->core.lock();
    auto v = reply(source, result, *r, core);
    auto id = unwrap(v.get(), G_VARIANT_TYPE_STRING);
    if (!id) return;
    Watch& w = core->watches[r->source];
    w.path = kSessionDir + logindPathLabel(g_variant_get_string(id.get(), nullptr));
    unsubscribe(w);
    w.subscription = g_dbus_connection_signal_subscribe(
        w.bus.get(), kSources[r->source].name, kProperties, "PropertiesChanged", w.path.c_str(),
        kSession, G_DBUS_SIGNAL_FLAGS_NONE, &Core::onPropertiesChanged, core->ref(r->source),
        &Core::dropRef);
    core->askLockedHint(r->source);
  }

  void askLockedHint(std::size_t i) {
    call(i, watches[i].path, kProperties, "Get", g_variant_new("(ss)", kSession, kLockedHint),
         "(v)", &Core::onAnswer);
  }

  static void onActiveChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar*, GVariant* parameters, gpointer data) {
    auto [core, w] = find(data);
    const auto active = boolIn(parameters);
    if (!core || !active) return;
    ++w->generation;
    core->set(*w, active);
  }

  static void onPropertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                  const gchar*, GVariant* parameters, gpointer data) {
    auto [core, w] = find(data);
    if (!core || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
    const VariantPtr changed(g_variant_get_child_value(parameters, 1));
    const VariantPtr hint(
        g_variant_lookup_value(changed.get(), kLockedHint, G_VARIANT_TYPE_BOOLEAN));
    if (hint) {
      ++w->generation;
      core->set(*w, g_variant_get_boolean(hint.get()) != FALSE);
      return;
    }
    // Changed without its value: ask for it.
    const VariantPtr invalidated(g_variant_get_child_value(parameters, 2));
    const gchar** names = g_variant_get_strv(invalidated.get(), nullptr);
    bool ours = false;
    for (const gchar** n = names; *n; ++n) ours = ours || std::string_view(*n) == kLockedHint;
    g_free(static_cast<gpointer>(names));
    if (!ours) return;
    ++w->generation;
    core->askLockedHint(static_cast<const Ref*>(data)->source);
  }
};

ScreenLock::ScreenLock() : core_(std::make_shared<Core>()) { core_->owner = this; }

ScreenLock::~ScreenLock() {
  core_->owner = nullptr;
  g_cancellable_cancel(core_->cancellable.get());
}

void ScreenLock::start(const std::string& sessionAddress, const std::string& systemAddress) {
  const std::weak_ptr<Core> weak = core_;
  connectToBus(sessionAddress, core_->cancellable.get(),
               [weak](GObjectPtr<GDBusConnection> bus, const std::string& why) {
                 if (auto core = weak.lock()) core->connected(0, kOnSystemBus, std::move(bus), why);
               });
  connectToSystemBus(systemAddress, core_->cancellable.get(),
                     [weak](GObjectPtr<GDBusConnection> bus, const std::string& why) {
                       if (auto core = weak.lock())
                         core->connected(kOnSystemBus, kSources.size(), std::move(bus), why);
                     });
}

bool ScreenLock::locked() const { return core_->locked(); }

}  // namespace talvane
