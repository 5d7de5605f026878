// The screen lock on a private bus (standing in for both the session and the system bus), against
// stand-in screen savers and a stand-in logind served by other connections in this process.
#include "platform/screen_lock.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/private_bus.h"

namespace talvane {
namespace {

using testing::spinUntil;

constexpr const char* kSessionIface = "org.freedesktop.login1.Session";

struct Service {
  const char* name;
  const char* iface;
  std::vector<const char*> paths;  // logind: "auto" and the session's own path
  bool logind;
};
const Service kFreedesktop{"org.freedesktop.ScreenSaver",
                           "org.freedesktop.ScreenSaver",
                           {"/org/freedesktop/ScreenSaver"},
                           false};
const Service kGnome{
    "org.gnome.ScreenSaver", "org.gnome.ScreenSaver", {"/org/gnome/ScreenSaver"}, false};
// Session "2" lives at _32, as logind escapes a leading digit.
const Service kLogind{
    "org.freedesktop.login1",
    kSessionIface,
    {"/org/freedesktop/login1/session/auto", "/org/freedesktop/login1/session/_32"},
    true};

// One service on its own connection: GetActive and ActiveChanged, or logind's LockedHint.
class StandIn {
 public:
  StandIn(const testing::PrivateBus& bus, const Service& service, bool locked)
      : service_(service), connection_(bus.connect()), locked_(locked) {
    const std::string xml =
        std::string("<node><interface name='") + service.iface + "'>" +
        (service.logind ? "<property name='Id' type='s' access='read'/>"
                          "<property name='LockedHint' type='b' access='read'/>"
                        : "<method name='GetActive'><arg type='b' direction='out'/></method>"
                          "<signal name='ActiveChanged'><arg type='b'/></signal>") +
        "</interface></node>";
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
    static const GDBusInterfaceVTable vtable = {
        &StandIn::onCall, &StandIn::onProperty, nullptr, {}};
    for (const char* path : service.paths)
      ids_.push_back(g_dbus_connection_register_object(connection_.get(), path, info->interfaces[0],
                                                       &vtable, this, nullptr, nullptr));
    g_dbus_node_info_unref(info);
    bus_call("RequestName", g_variant_new("(su)", service.name, 4u /*do not queue*/));
  }
  ~StandIn() { leave(); }

  void set(bool locked) {
    locked_ = locked;
    GVariant* args = nullptr;
    if (service_.logind) {
      GVariantBuilder changed;
      g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
      g_variant_builder_add(&changed, "{sv}", "LockedHint", g_variant_new_boolean(locked));
      args = g_variant_new("(sa{sv}@as)", kSessionIface, &changed, g_variant_new_strv(nullptr, 0));
    }
    g_dbus_connection_emit_signal(
        connection_.get(), nullptr, service_.paths.back(),
        service_.logind ? "org.freedesktop.DBus.Properties" : service_.iface,
        service_.logind ? "PropertiesChanged" : "ActiveChanged",
        args ? args : g_variant_new("(b)", locked), nullptr);
    g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
  }

  // The service goes away, as a screen saver that quits.
  void leave() {
    if (ids_.empty()) return;
    for (guint id : ids_) g_dbus_connection_unregister_object(connection_.get(), id);
    ids_.clear();
    bus_call("ReleaseName", g_variant_new("(s)", service_.name));
  }

 private:
  void bus_call(const char* method, GVariant* args) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) g_variant_unref(reply);
  }

  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant*, GDBusMethodInvocation* invocation, gpointer data) {
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(b)", static_cast<StandIn*>(data)->locked_));
  }

  static GVariant* onProperty(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                              const gchar* property, GError**, gpointer data) {
    if (std::string(property) == "Id") return g_variant_new_string("2");
    // Only the session's own path knows its state; "auto" is not where changes are signalled.
    const bool own = std::string(path).ends_with("_32");
    return g_variant_new_boolean(own && static_cast<StandIn*>(data)->locked_);
  }

  const Service& service_;
  GObjectPtr<GDBusConnection> connection_;
  std::vector<guint> ids_;
  bool locked_;
};

class ScreenLockBus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus_.address().empty()) GTEST_SKIP() << bus_.why();
  }
  // A lock on the private bus, counting its changes.
  void start(ScreenLock& lock, int& changes) {
    lock.onChange = [&changes] { ++changes; };
    lock.start(bus_.address(), bus_.address());
  }
  static bool becomes(const ScreenLock& lock, bool locked) {
    return spinUntil([&] { return lock.locked() == locked; });
  }

  testing::PrivateBus bus_;
};

// Each source alone: the state at the start, both changes, and the service going.
TEST_F(ScreenLockBus, EachSourceIsAskedThenFollowed) {
  for (const Service* service : {&kFreedesktop, &kGnome, &kLogind}) {
    SCOPED_TRACE(service->name);
    StandIn standIn(bus_, *service, true);
    ScreenLock lock;
    int changes = 0;
    start(lock, changes);
    EXPECT_TRUE(becomes(lock, true)) << "asked at the start";
    standIn.set(false);
    EXPECT_TRUE(becomes(lock, false));
    standIn.set(true);
    EXPECT_TRUE(becomes(lock, true));
    standIn.leave();
    EXPECT_TRUE(becomes(lock, false)) << "a service that went says nothing";
    EXPECT_EQ(changes, 4);
  }
}

// A screen saver is believed over logind's hint while it is there, also when it comes late.
TEST_F(ScreenLockBus, TheFirstSourceThatAnswersDecides) {
  StandIn logind(bus_, kLogind, true);
  ScreenLock lock;
  int changes = 0;
  start(lock, changes);
  ASSERT_TRUE(becomes(lock, true));
  std::optional<StandIn> saver(std::in_place, bus_, kGnome, false);
  EXPECT_TRUE(becomes(lock, false));
  saver.reset();
  EXPECT_TRUE(becomes(lock, true));
}

TEST(ScreenLockPaths, SessionIdsAreEscapedAsLogindDoes) {
  struct Row {
    const char* id;
    const char* label;
  } rows[] = {{"2", "_32"}, {"c1", "c1"}, {"12", "_312"}, {"a-b", "a_2db"}, {"", "_"}};
  for (const Row& r : rows) EXPECT_EQ(logindPathLabel(r.id), r.label) << r.id;
}

}  // namespace
}  // namespace talvane
