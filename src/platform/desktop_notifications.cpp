#include "platform/desktop_notifications.h"

#include <gio/gio.h>

#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/session_bus.h"

namespace talvane {

namespace {

constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr int kCallTimeoutMs = 5000;

// Callbacks of the app may throw; nothing may cross back into GLib.
template <typename F>
void guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    log::debug("notify", e.what());
  } catch (...) {
    log::debug("notify", "a notification callback failed");
  }
}

GVariant* hintsOf(const Notice& notice) {
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(notice.urgency));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry",
                        g_variant_new_string(DesktopNotifications::kDesktopEntry));
  if (!notice.category.empty())
    g_variant_builder_add(&hints, "{sv}", "category",
                          g_variant_new_string(notice.category.c_str()));
  if (!notice.soundName.empty())
    g_variant_builder_add(&hints, "{sv}", "sound-name",
                          g_variant_new_string(notice.soundName.c_str()));
  if (notice.suppressSound)
    g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
  return g_variant_builder_end(&hints);
}

}  // namespace

struct DesktopNotifications::Core : std::enable_shared_from_this<Core> {
  enum class State { connecting, up, down };
  struct Entry {
    std::uint32_t id = 0;  // the server's, once it answered
    bool inFlight = false;
    std::optional<Notice> queued;  // asked while a call was in flight or before the server
    bool closeAfter = false;
  };
  // Carries a call's context through GLib.
  struct Call {
    std::weak_ptr<Core> core;
    std::string tag;
    std::uint64_t generation = 0;
  };

  DesktopNotifications* owner = nullptr;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  GObjectPtr<GDBusConnection> bus;
  guint subscriptions[3] = {0, 0, 0};
  BusNameWatch watch;
  State state = State::connecting;
  // Bumped whenever the server goes: answers from the previous one mean nothing.
  std::uint64_t generation = 0;
  NotificationCapabilities caps;
  std::unordered_map<std::string, Entry> tags;
  std::unordered_map<std::uint32_t, std::string> byId;
  bool saidMissing = false;

  ~Core() {
    for (guint s : subscriptions)
      if (s) g_dbus_connection_signal_unsubscribe(bus.get(), s);
  }

  Call* call(std::string tag = {}) {
    return std::make_unique<Call>(Call{weak_from_this(), std::move(tag), generation}).release();
  }
  // Each signal subscription and the name watch hold a weak reference, freed by GLib.
  std::weak_ptr<Core>* weak() {
    return std::make_unique<std::weak_ptr<Core>>(shared_from_this()).release();
  }
  static void dropWeak(gpointer data) {
    const std::unique_ptr<std::weak_ptr<Core>> dropped(static_cast<std::weak_ptr<Core>*>(data));
  }
  static std::shared_ptr<Core> lock(gpointer data) {
    return static_cast<std::weak_ptr<Core>*>(data)->lock();
  }

  void connected(GObjectPtr<GDBusConnection> connection, const std::string& why) {
    if (!connection) {
      missing(why);
      return;
    }
    bus = std::move(connection);
    subscribe();
    askCapabilities();
  }

  void subscribe() {
    const char* names[] = {"ActionInvoked", "NotificationReplied", "NotificationClosed"};
    for (int i = 0; i < 3; ++i)
      subscriptions[i] = g_dbus_connection_signal_subscribe(
          bus.get(), DesktopNotifications::kName, kInterface, names[i], DesktopNotifications::kPath,
          nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &Core::onSignal, weak(), &Core::dropWeak);
    watch = BusNameWatch(g_bus_watch_name_on_connection(
        bus.get(), DesktopNotifications::kName, G_BUS_NAME_WATCHER_FLAGS_NONE, &Core::onAppeared,
        &Core::onVanished, weak(), &Core::dropWeak));
  }

  // Without a server the app runs on: said once, until one comes.
  void missing(const std::string& why) {
    state = State::down;
    tags.clear();
    byId.clear();
    if (!saidMissing) log::line("Talvane: no desktop notifications (" + why + ")");
    saidMissing = true;
    changed();
  }

  void changed() {
    if (owner && owner->onChanged) guarded([&] { owner->onChanged(); });
  }

  void askCapabilities() {
    g_dbus_connection_call(bus.get(), DesktopNotifications::kName, DesktopNotifications::kPath,
                           kInterface, "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
                           G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, cancellable.get(),
                           &Core::onCapabilities, call());
  }

  static void onCapabilities(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Call> c(static_cast<Call*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    auto core = c->core.lock();
    if (!reply) {
      if (core && c->generation == core->generation) core->missing(error->message);
      g_clear_error(&error);
      return;
    }
    if (core && c->generation == core->generation) {
      NotificationCapabilities caps;
      GVariantIter* iter = nullptr;
      const gchar* name = nullptr;
      g_variant_get(reply, "(as)", &iter);
      while (g_variant_iter_next(iter, "&s", &name)) {
        std::string_view n(name);
        if (n == "actions") caps.actions = true;
        if (n == "inline-reply") caps.inlineReply = true;
        if (n == "body-markup") caps.bodyMarkup = true;
        if (n == "sound") caps.sound = true;
      }
      g_variant_iter_free(iter);
      core->up(caps);
    }
    g_variant_unref(reply);
  }

  void up(const NotificationCapabilities& found) {
    caps = found;
    state = State::up;
    saidMissing = false;
    if (!caps.actions)
      log::line("Talvane: the notification server offers no buttons; answer in the panel");
    // What was asked before the server answered goes out now.
    for (auto& [tag, entry] : tags)
      if (!entry.inFlight && entry.queued) send(tag, entry, *std::exchange(entry.queued, {}));
    changed();
  }

  static void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
    auto core = lock(data);
    if (core && core->state == State::down) core->askCapabilities();
  }

  static void onVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto core = lock(data);
    // Before the first answer the server may simply not be started yet; the call starts it.
    if (!core || core->state != State::up) return;
    ++core->generation;
    core->caps = {};
    core->saidMissing = false;
    core->missing("the notification server went away");
  }

  void send(const std::string& tag, Entry& entry, const Notice& notice) {
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    for (const auto& [key, label] : notice.actions) {
      g_variant_builder_add(&actions, "s", key.c_str());
      g_variant_builder_add(&actions, "s", label.c_str());
    }
    const int timeout = notice.expireSeconds < 0 ? -1 : notice.expireSeconds * 1000;
    GVariant* args = g_variant_new("(susss@as@a{sv}i)", "Talvane", entry.id, "talvane",
                                   notice.title.c_str(), notice.body.c_str(),
                                   g_variant_builder_end(&actions), hintsOf(notice), timeout);
    entry.inFlight = true;
    g_dbus_connection_call(bus.get(), DesktopNotifications::kName, DesktopNotifications::kPath,
                           kInterface, "Notify", args, G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, cancellable.get(),
                           &Core::onNotified, call(tag));
  }

  static void onNotified(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Call> c(static_cast<Call*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    auto core = c->core.lock();
    std::optional<std::uint32_t> id;
    if (reply) {
      std::uint32_t value = 0;
      g_variant_get(reply, "(u)", &value);
      id = value;
      g_variant_unref(reply);
    } else {
      if (core && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        log::debug("notify", std::string("Notify failed: ") + error->message);
      g_clear_error(&error);
    }
    if (core && c->generation == core->generation) core->answered(c->tag, id);
  }

  void answered(const std::string& tag, std::optional<std::uint32_t> id) {
    auto it = tags.find(tag);
    if (it == tags.end()) return;
    Entry& entry = it->second;
    entry.inFlight = false;
    if (id) {
      if (entry.id && entry.id != *id) byId.erase(entry.id);
      entry.id = *id;
      byId[*id] = tag;
    }
    if (entry.closeAfter) {
      if (entry.id) sendClose(entry.id);
      byId.erase(entry.id);
      tags.erase(it);
      return;
    }
    if (entry.queued) {
      send(tag, entry, *std::exchange(entry.queued, {}));
    } else if (!entry.id) {
      tags.erase(it);
    }
  }

  void sendClose(std::uint32_t id) {
    g_dbus_connection_call(bus.get(), DesktopNotifications::kName, DesktopNotifications::kPath,
                           kInterface, "CloseNotification", g_variant_new("(u)", id), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, nullptr,
                           nullptr);
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* signal, GVariant* parameters, gpointer data) {
    auto core = lock(data);
    if (!core || !core->owner) return;
    std::string_view name(signal);
    std::uint32_t id = 0;
    std::string text;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      const gchar* s = nullptr;
      g_variant_get(parameters, "(u&s)", &id, &s);
      text = s;
    } else if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      g_variant_get(parameters, "(uu)", &id, nullptr);
    } else {
      return;
    }
    auto found = core->byId.find(id);
    if (found == core->byId.end()) return;  // not ours, or already closed by us
    const std::string tag = found->second;
    DesktopNotifications& owner = *core->owner;
    if (name == "ActionInvoked" && owner.onAction) {
      guarded([&] { owner.onAction(tag, text); });
    } else if (name == "NotificationReplied" && owner.onReply) {
      guarded([&] { owner.onReply(tag, text); });
    } else if (name == "NotificationClosed") {
      core->byId.erase(found);
      if (auto entry = core->tags.find(tag); entry != core->tags.end() && entry->second.id == id) {
        // A replacement in flight goes out as a new notification.
        if (entry->second.inFlight)
          entry->second.id = 0;
        else
          core->tags.erase(entry);
      }
      if (owner.onClosed) guarded([&] { owner.onClosed(tag); });
    }
  }
};

DesktopNotifications::DesktopNotifications() : core_(std::make_shared<Core>()) {
  core_->owner = this;
}

DesktopNotifications::~DesktopNotifications() {
  core_->owner = nullptr;
  g_cancellable_cancel(core_->cancellable.get());
}

void DesktopNotifications::start(const std::string& busAddress) {
  const bool trying = connectToBus(
      busAddress, core_->cancellable.get(),
      [weak = std::weak_ptr<Core>(core_)](GObjectPtr<GDBusConnection> bus, const std::string& why) {
        if (auto core = weak.lock()) core->connected(std::move(bus), why);
      });
  if (!trying) core_->missing("no session bus");
}

bool DesktopNotifications::available() const { return core_->state == Core::State::up; }

NotificationCapabilities DesktopNotifications::capabilities() const { return core_->caps; }

void DesktopNotifications::show(const std::string& tag, const Notice& notice) {
  if (core_->state == Core::State::down) return;
  Core::Entry& entry = core_->tags[tag];
  entry.closeAfter = false;
  if (entry.inFlight || core_->state == Core::State::connecting) {
    entry.queued = notice;
    return;
  }
  core_->send(tag, entry, notice);
}

void DesktopNotifications::close(const std::string& tag) {
  auto it = core_->tags.find(tag);
  if (it == core_->tags.end()) return;
  Core::Entry& entry = it->second;
  entry.queued.reset();
  if (entry.inFlight) {
    entry.closeAfter = true;
    return;
  }
  if (entry.id) {
    core_->sendClose(entry.id);
    core_->byId.erase(entry.id);
  }
  core_->tags.erase(it);
}

}  // namespace talvane
