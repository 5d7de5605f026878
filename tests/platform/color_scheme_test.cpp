#include "platform/color_scheme.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/gobject.h"

namespace talvane {
namespace {

TEST(ColorSchemeValues, PortalAndGtkSettingsAreRead) {
  EXPECT_EQ(portalSchemeFrom(1), PortalScheme::dark);
  EXPECT_EQ(portalSchemeFrom(2), PortalScheme::light);
  EXPECT_EQ(portalSchemeFrom(0), PortalScheme::none);
  EXPECT_EQ(portalSchemeFrom(7), PortalScheme::none);

  struct Case {
    const char* ini;
    const char* env;
    std::optional<bool> dark;
  };
  const Case cases[] = {
      {"[Settings]\ngtk-application-prefer-dark-theme=1\n", nullptr, true},
      {"[Settings]\r\n  gtk-application-prefer-dark-theme = true \r\n", nullptr, true},
      {"[Settings]\ngtk-application-prefer-dark-theme=false\n", nullptr, false},
      {"[Other]\ngtk-application-prefer-dark-theme=1\n", nullptr, std::nullopt},
      {"", nullptr, std::nullopt},
      {"[Settings]\ngtk-application-prefer-dark-theme=1\n", "Adwaita:light", false},
      {"", "Adwaita:dark", true},
      {"", "Adwaita", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(gtkPrefersDark(c.ini, c.env), c.dark) << c.ini << c.env;
}

// A private bus with a stand-in portal owned by a second connection in this process.
class ColorSchemeBus : public ::testing::Test {
 protected:
  void SetUp() override {
    const gchar* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
    GError* error = nullptr;
    daemon_.reset(g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error));
    if (!daemon_) GTEST_SKIP() << "dbus-daemon is not installed: " << error->message;
    GObjectPtr<GDataInputStream> out(
        g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_.get())));
    GCharPtr line(g_data_input_stream_read_line(out.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(line) << "dbus-daemon printed no address";
    address_ = line.get();
  }
  void TearDown() override {
    if (registration_) g_dbus_connection_unregister_object(portal_.get(), registration_);
    // The kill is sent from GLib's worker thread: wait for it, or a quick exit can leave the
    // daemon holding our output pipe open.
    if (daemon_) {
      g_subprocess_force_exit(daemon_.get());
      g_subprocess_wait(daemon_.get(), nullptr, nullptr);
    }
  }

  template <typename Pred>
  bool spinUntil(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      g_main_context_iteration(nullptr, FALSE);
    return done();
  }

  // `withReadOne` false plays an older portal that only knows Read.
  void servePortal(bool withReadOne) {
    withReadOne_ = withReadOne;
    GError* error = nullptr;
    portal_.reset(g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    ASSERT_TRUE(portal_) << error->message;
    static const char* xml =
        "<node><interface name='org.freedesktop.portal.Settings'>"
        "<method name='ReadOne'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='v' direction='out'/></method>"
        "<method name='Read'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='v' direction='out'/></method>"
        "<signal name='SettingChanged'><arg type='s'/><arg type='s'/><arg type='v'/></signal>"
        "</interface></node>";
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable vtable = {&ColorSchemeBus::onCall, nullptr, nullptr, {}};
    registration_ =
        g_dbus_connection_register_object(portal_.get(), "/org/freedesktop/portal/desktop",
                                          info->interfaces[0], &vtable, this, nullptr, &error);
    g_dbus_node_info_unref(info);
    ASSERT_NE(registration_, 0u) << error->message;
    GVariant* owned = g_dbus_connection_call_sync(
        portal_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.portal.Desktop", 0u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    ASSERT_TRUE(owned) << error->message;
    g_variant_unref(owned);
  }

  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                     const gchar* method, GVariant*, GDBusMethodInvocation* invocation,
                     gpointer data) {
    auto* self = static_cast<ColorSchemeBus*>(data);
    GVariant* value = g_variant_new_uint32(self->scheme_);
    if (std::string(method) == "ReadOne") {
      if (!self->withReadOne_) {
        g_variant_unref(g_variant_ref_sink(value));
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                              "no ReadOne");
        return;
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    } else {
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(v)", g_variant_new_variant(value)));
    }
  }

  void followsThePortal(bool readOne);

  void change(unsigned scheme) {
    scheme_ = scheme;
    g_dbus_connection_emit_signal(portal_.get(), nullptr, "/org/freedesktop/portal/desktop",
                                  "org.freedesktop.portal.Settings", "SettingChanged",
                                  g_variant_new("(ssv)", "org.freedesktop.appearance",
                                                "color-scheme", g_variant_new_uint32(scheme)),
                                  nullptr);
    g_dbus_connection_flush_sync(portal_.get(), nullptr, nullptr);
  }

  GObjectPtr<GSubprocess> daemon_;
  GObjectPtr<GDBusConnection> portal_;
  std::string address_;
  guint registration_ = 0;
  unsigned scheme_ = 1;
  bool withReadOne_ = true;
};

void ColorSchemeBus::followsThePortal(bool readOne) {
  servePortal(readOne);
  ColorScheme scheme;
  scheme.gtkPreference = [] { return std::optional<bool>(false); };
  int changes = 0;
  scheme.onChange = [&] { ++changes; };
  EXPECT_FALSE(scheme.prefersDark()) << "GTK's setting stands in until the portal answers";
  scheme.start(address_);
  ASSERT_TRUE(spinUntil([&] { return scheme.prefersDark(); }));
  EXPECT_EQ(changes, 1);

  change(2);
  ASSERT_TRUE(spinUntil([&] { return !scheme.prefersDark(); }));
  EXPECT_EQ(changes, 2);

  // "No preference" hands the decision back to GTK.
  scheme.gtkPreference = [] { return std::optional<bool>(true); };
  change(0);
  ASSERT_TRUE(spinUntil([&] { return changes == 3; }));
  EXPECT_TRUE(scheme.prefersDark());
}

TEST_F(ColorSchemeBus, FollowsThePortalAndItsChanges) { followsThePortal(true); }
TEST_F(ColorSchemeBus, OlderPortalsAnswerThroughRead) { followsThePortal(false); }

TEST(ColorSchemeFallback, WithoutAPortalGtkDecidesAndAbsentMeansLight) {
  ColorScheme scheme;
  scheme.gtkPreference = [] { return std::optional<bool>(); };
  EXPECT_FALSE(scheme.prefersDark());
  scheme.gtkPreference = [] { return std::optional<bool>(true); };
  EXPECT_TRUE(scheme.prefersDark());
}

}  // namespace
}  // namespace talvane
