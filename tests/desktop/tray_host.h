#pragma once
// A stand-in tray host (the StatusNotifierWatcher) on a thread of its own with its own
// connection and main context, so that whatever an item asks of it synchronously is answered
// while the test's thread serves the item, or while the item lives in another process.

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace talvane::testing {

// The tray host's side: owns the watcher name on its own connection, on its own thread.
class StandInWatcher {
 public:
  explicit StandInWatcher(std::string address) : address_(std::move(address)) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [this] { return state_ != kStarting; });
  }
  ~StandInWatcher() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      // Quit from inside the loop: a quit before it starts running would be lost.
      if (loop_) {
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit,
            +[](gpointer loop) {
              g_main_loop_quit(static_cast<GMainLoop*>(loop));
              return gboolean(G_SOURCE_REMOVE);
            },
            g_main_loop_ref(loop_), reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
        g_source_attach(quit, g_main_loop_get_context(loop_));
        g_source_unref(quit);
      }
    }
    thread_.join();
  }
  bool serving() {
    std::lock_guard lock(mutex_);
    return state_ == kServing;
  }
  // The (bus name, object path) of the first item that registered.
  std::optional<std::pair<std::string, std::string>> item() {
    std::lock_guard lock(mutex_);
    return item_;
  }

 private:
  enum State { kStarting, kServing, kFailed };

  void run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    guint registration = 0;
    if (bus) {
      g_dbus_connection_set_exit_on_close(bus, FALSE);
      registration = serve(bus);
    }
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    {
      std::lock_guard lock(mutex_);
      state_ = registration ? kServing : kFailed;
      loop_ = loop;
    }
    changed_.notify_all();
    if (registration && !stopping()) g_main_loop_run(loop);
    {
      std::lock_guard lock(mutex_);
      loop_ = nullptr;
    }
    g_main_loop_unref(loop);
    if (bus) {
      if (registration) g_dbus_connection_unregister_object(bus, registration);
      // Closing gives the name up: the item sees its host go.
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  bool stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  guint serve(GDBusConnection* bus) {
    static const char* xml =
        "<node><interface name='org.kde.StatusNotifierWatcher'>"
        "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
        "<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
        "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
        "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
        "<property name='ProtocolVersion' type='i' access='read'/>"
        "<signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
        "<signal name='StatusNotifierItemUnregistered'><arg type='s'/></signal>"
        "<signal name='StatusNotifierHostRegistered'/>"
        "</interface></node>";
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        &StandInWatcher::onCall, &StandInWatcher::onGet, nullptr, {}};
    const guint id = g_dbus_connection_register_object(
        bus, "/StatusNotifierWatcher", info->interfaces[0], &vtable, this, nullptr, nullptr);
    g_dbus_node_info_unref(info);
    if (!id) return 0;
    // Asked of the bus daemon, which answers whatever this process's other thread is doing.
    GVariant* owned = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u /*no queue*/),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    guint32 reply = 0;
    if (owned) {
      g_variant_get(owned, "(u)", &reply);
      g_variant_unref(owned);
    }
    if (reply != 1 /*primary owner*/) {
      g_dbus_connection_unregister_object(bus, id);
      return 0;
    }
    return id;
  }

  static void onCall(GDBusConnection* bus, const gchar* sender, const gchar*, const gchar*,
                     const gchar* method, GVariant* params, GDBusMethodInvocation* invocation,
                     gpointer data) {
    auto* self = static_cast<StandInWatcher*>(data);
    if (std::string(method) == "RegisterStatusNotifierItem") {
      const gchar* service = nullptr;
      g_variant_get(params, "(&s)", &service);
      // Items name either their object path (on the sender) or a bus name of their own.
      std::string name = sender, path = "/StatusNotifierItem";
      if (service && service[0] == '/')
        path = service;
      else if (service && *service)
        name = service;
      {
        std::lock_guard lock(self->mutex_);
        if (!self->item_) self->item_ = {name, path};
        self->registered_.push_back(name + path);
      }
      g_dbus_connection_emit_signal(bus, nullptr, "/StatusNotifierWatcher",
                                    "org.kde.StatusNotifierWatcher", "StatusNotifierItemRegistered",
                                    g_variant_new("(s)", (name + path).c_str()), nullptr);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  static GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* property, GError**, gpointer data) {
    auto* self = static_cast<StandInWatcher*>(data);
    const std::string p = property;
    if (p == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
    if (p == "ProtocolVersion") return g_variant_new_int32(0);
    std::lock_guard lock(self->mutex_);
    std::vector<const gchar*> items;
    for (const auto& r : self->registered_) items.push_back(r.c_str());
    return g_variant_new_strv(items.data(), gssize(items.size()));
  }

  std::string address_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = kStarting;
  GMainLoop* loop_ = nullptr;
  bool stopping_ = false;
  std::optional<std::pair<std::string, std::string>> item_;
  std::vector<std::string> registered_;
};

// One top-level item of a tray menu; the label of a separator is "-".
struct TrayMenuItem {
  int id = 0;
  std::string label;
  bool visible = true;
};

// The top-level items of a dbusmenu GetLayout reply, "(u(ia{sv}av))".
inline std::vector<TrayMenuItem> menuItemsOf(GVariant* layout) {
  std::vector<TrayMenuItem> items;
  GVariant* root = g_variant_get_child_value(layout, 1);
  GVariant* children = g_variant_get_child_value(root, 2);
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    GVariant* boxed = g_variant_get_child_value(children, i);
    GVariant* child = g_variant_get_variant(boxed);
    TrayMenuItem item;
    gint32 id = 0;
    GVariant* props = nullptr;
    GVariant* grand = nullptr;
    g_variant_get(child, "(i@a{sv}@av)", &id, &props, &grand);
    item.id = id;
    const gchar* text = nullptr;
    if (g_variant_lookup(props, "type", "&s", &text) && std::string(text) == "separator")
      item.label = "-";
    else if (g_variant_lookup(props, "label", "&s", &text))
      item.label = text;
    gboolean visible = TRUE;
    g_variant_lookup(props, "visible", "b", &visible);
    item.visible = visible;
    items.push_back(std::move(item));
    g_variant_unref(props);
    g_variant_unref(grand);
    g_variant_unref(child);
    g_variant_unref(boxed);
  }
  g_variant_unref(children);
  g_variant_unref(root);
  return items;
}

// The object path in a Properties.Get reply, "(v)"; none when it holds something else.
inline std::optional<std::string> objectPathOf(GVariant* reply) {
  GVariant* inner = nullptr;
  g_variant_get(reply, "(v)", &inner);
  std::optional<std::string> path;
  if (g_variant_is_of_type(inner, G_VARIANT_TYPE_OBJECT_PATH))
    path = g_variant_get_string(inner, nullptr);
  g_variant_unref(inner);
  return path;
}

// Clicks the item of an out-of-process tray item's menu labelled `label`, through a connection
// of its own to the bus at `address`. False when the menu or the item cannot be found.
inline bool clickMenuItem(const std::string& address, const std::string& name,
                          const std::string& path, const std::string& label) {
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (!bus) return false;
  auto call = [&](const std::string& object, const char* iface, const char* method, GVariant* args,
                  const char* reply) {
    return g_dbus_connection_call_sync(bus, name.c_str(), object.c_str(), iface, method, args,
                                       reply ? G_VARIANT_TYPE(reply) : nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  };
  bool clicked = false;
  std::string menu;
  if (GVariant* r = call(path, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"), "(v)")) {
    menu = objectPathOf(r).value_or("");
    g_variant_unref(r);
  }
  int id = -1;
  if (!menu.empty())
    if (GVariant* layout = call(menu, "com.canonical.dbusmenu", "GetLayout",
                                g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)),
                                "(u(ia{sv}av))")) {
      for (const TrayMenuItem& item : menuItemsOf(layout))
        if (id < 0 && item.label == label) id = item.id;
      g_variant_unref(layout);
    }
  if (id >= 0)
    if (GVariant* ok =
            call(menu, "com.canonical.dbusmenu", "Event",
                 g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr)) {
      clicked = true;
      g_variant_unref(ok);
    }
  g_object_unref(bus);
  return clicked;
}

}  // namespace talvane::testing
