// The tray item and the clipboard in this very process, on a private X session and a private
// session bus. A stand-in tray host (the StatusNotifierWatcher) runs on a thread of its own with
// its own connection and main context, so that whatever the item asks of it synchronously is
// answered while the test's thread serves the item. Every wait is bounded.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
// After gtest and GTK: Xlib's macros (None, Bool) clash with their names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/gtk_panel.h"
#include "desktop/onboarding_window.h"
#include "desktop/status_item.h"
#include "desktop/tray_host.h"
#include "desktop/x_session.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/gobject.h"
#include "support/private_bus.h"

namespace talvane {
namespace {

using testing::spinUntil;
using testing::StandInWatcher;

// A method call answered on the main context; none on error or when no answer came in time.
GVariant* call(GDBusConnection* bus, const std::string& name, const std::string& path,
               const char* iface, const char* method, GVariant* args, const char* replyType) {
  struct Answer {
    GVariant* value = nullptr;
    bool done = false;
  };
  auto* answer = new Answer;  // outlives a timed-out wait: the callback still comes later
  g_dbus_connection_call(
      bus, name.c_str(), path.c_str(), iface, method, args,
      replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* a = static_cast<Answer*>(data);
        a->value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        a->done = true;
      },
      answer);
  if (!spinUntil([&] { return answer->done; }, 10)) return nullptr;  // leaks one small record
  GVariant* value = answer->value;
  delete answer;
  return value;
}

// This process's standard error, readable while it is being written.
class StderrTap {
 public:
  StderrTap() {
    char path[] = "/tmp/talvane-stderr-XXXXXX";
    fd_ = mkstemp(path);
    path_ = path;
    std::fflush(stderr);
    saved_ = dup(2);
    if (fd_ >= 0) dup2(fd_, 2);
  }
  ~StderrTap() {
    std::fflush(stderr);
    if (saved_ >= 0) dup2(saved_, 2);
    if (saved_ >= 0) close(saved_);
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  std::string text() const {
    std::fflush(stderr);
    return files::read(path_).value_or("");
  }

 private:
  int fd_ = -1, saved_ = -1;
  std::string path_;
};

// One X session, one session bus and GTK for the whole suite: GTK cannot start twice in a
// process.
class GtkDesktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    x_ = new testing::XSession;
    if (!x_->ok()) return;
    const gchar* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
    daemon_ = g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr);
    if (!daemon_) return;
    GObjectPtr<GDataInputStream> out(
        g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_)));
    GCharPtr line(g_data_input_stream_read_line(out.get(), nullptr, nullptr, nullptr));
    if (!line) return;
    address_ = line.get();
    // The item uses this process's session bus, which is now the private one.
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    setenv("DISPLAY", x_->name().c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr)) return;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return;
    // The daemon goes before the process does; that must not end the process.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    bus_ = bus;
  }
  static void TearDownTestSuite() {
    if (bus_) g_object_unref(bus_);
    bus_ = nullptr;
    if (daemon_) {
      g_subprocess_force_exit(daemon_);
      g_subprocess_wait(daemon_, nullptr, nullptr);
      g_object_unref(daemon_);
    }
    daemon_ = nullptr;
    delete x_;
    x_ = nullptr;
    unsetenv("DISPLAY");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  void SetUp() override {
    if (!bus_) GTEST_SKIP() << "Xvfb, dbus-daemon or GTK could not be started";
  }

  // (id, label) of the menu's visible top-level items; "-" for a separator.
  static std::vector<std::pair<int, std::string>> menuOf(const std::string& name,
                                                         const std::string& path) {
    std::vector<std::pair<int, std::string>> items;
    GVariant* layout =
        call(bus_, name, path, "com.canonical.dbusmenu", "GetLayout",
             g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), "(u(ia{sv}av))");
    if (!layout) return items;
    for (const testing::TrayMenuItem& item : testing::menuItemsOf(layout))
      if (item.visible) items.emplace_back(item.id, item.label);
    g_variant_unref(layout);
    return items;
  }

  static std::optional<std::string> menuPathOf(const std::string& name, const std::string& path) {
    GVariant* reply = call(bus_, name, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"), "(v)");
    if (!reply) return std::nullopt;
    std::optional<std::string> menu = testing::objectPathOf(reply);
    g_variant_unref(reply);
    return menu;
  }

  static std::vector<std::string> labelsOf(const std::vector<MenuItem>& model) {
    std::vector<std::string> labels;
    for (const auto& item : model) labels.push_back(item.separator() ? "-" : item.title);
    return labels;
  }

  static testing::XSession* x_;
  static GSubprocess* daemon_;
  static GDBusConnection* bus_;
  static std::string address_;
};

testing::XSession* GtkDesktop::x_ = nullptr;
GSubprocess* GtkDesktop::daemon_ = nullptr;
GDBusConnection* GtkDesktop::bus_ = nullptr;
std::string GtkDesktop::address_;

TEST_F(GtkDesktop, TheTrayItemRegistersExportsTheMenuAndItsItemsAct) {
  std::optional<StandInWatcher> host(std::in_place, address_);
  StandInWatcher& watcher = *host;
  ASSERT_TRUE(watcher.serving()) << "the stand-in tray host could not start";
  MenuFacts facts;
  facts.version = "9.9";
  facts.visibleSessions = 3;
  facts.queuedSessions = 1;
  facts.hooksInstalled = true;
  std::vector<MenuAction> chosen;
  StatusItem item([&] { return facts; }, [&](MenuAction a) { chosen.push_back(a); });
  item.show();
  ASSERT_TRUE(spinUntil([&] { return watcher.item().has_value(); })) << "never registered";
  EXPECT_TRUE(item.visible());
  const auto [name, path] = *watcher.item();

  std::optional<std::string> menuPath;
  ASSERT_TRUE(spinUntil([&] { return (menuPath = menuPathOf(name, path)).has_value(); }))
      << "the item names no menu";
  std::vector<std::pair<int, std::string>> items;
  const std::vector<std::string> expected = labelsOf(StatusMenu::build(facts));
  auto labels = [&] {
    std::vector<std::string> l;
    for (const auto& [id, label] : items) l.push_back(label);
    return l;
  };
  EXPECT_TRUE(spinUntil([&] {
    items = menuOf(name, *menuPath);
    return labels() == expected;
  })) << ::testing::PrintToString(labels());
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items[0].second, "Talvane 9.9");
  EXPECT_EQ(items[1].second, "3 sessions \u00b7 1 needs you");

  struct Case {
    std::string label;
    MenuAction action;
  };
  for (const Case& c : {Case{"Open Talvane", MenuAction::open},
                        Case{"Disconnect Claude Code", MenuAction::hooks}}) {
    int id = -1;
    for (const auto& [i, label] : items)
      if (label == c.label) id = i;
    ASSERT_GE(id, 0) << c.label;
    chosen.clear();
    GVariant* ok =
        call(bus_, name, *menuPath, "com.canonical.dbusmenu", "Event",
             g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr);
    if (ok) g_variant_unref(ok);
    EXPECT_TRUE(spinUntil([&] { return !chosen.empty(); })) << c.label << " did nothing";
    EXPECT_EQ(chosen, std::vector<MenuAction>{c.action}) << c.label;
  }

  // What the menu shows follows what is true.
  facts.visibleSessions = 0;
  facts.queuedSessions = 0;
  item.refresh();
  EXPECT_TRUE(spinUntil([&] {
    items = menuOf(name, *menuPath);
    return items.size() > 1 && items[1].second == "No sessions right now";
  }));

  // The tray host quits: the item goes with it.
  host.reset();
  EXPECT_TRUE(spinUntil([&] { return !item.visible(); })) << "still shown without a host";
}

TEST_F(GtkDesktop, TheTrayItemAsksForAttentionWhileARequestWaits) {
  std::optional<StandInWatcher> host(std::in_place, address_);
  ASSERT_TRUE(host->serving()) << "the stand-in tray host could not start";
  StatusItem item([] { return MenuFacts{}; }, [](MenuAction) {});
  item.setAttention(true);  // before the tray is there: applied once it is
  item.show();
  ASSERT_TRUE(spinUntil([&] { return host->item().has_value(); })) << "never registered";
  const auto [name, path] = *host->item();
  auto property = [&, name = name, path = path](const char* key) {
    std::string value;
    GVariant* reply = call(bus_, name, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.kde.StatusNotifierItem", key), "(v)");
    if (!reply) return value;
    GVariant* inner = nullptr;
    g_variant_get(reply, "(v)", &inner);
    if (g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING))
      value = g_variant_get_string(inner, nullptr);
    g_variant_unref(inner);
    g_variant_unref(reply);
    return value;
  };
  EXPECT_TRUE(spinUntil([&] { return property("Status") == "NeedsAttention"; }))
      << property("Status");
  EXPECT_EQ(property("AttentionIconName"), "talvane-face-attention");
  EXPECT_TRUE(item.attention());
  item.setAttention(false);
  EXPECT_TRUE(spinUntil([&] { return property("Status") == "Active"; })) << property("Status");
  EXPECT_FALSE(item.attention());
}

TEST_F(GtkDesktop, WithoutATrayHostTheAppRunsOnWithNoItemAndOneLogLine) {
  const std::string line = "Talvane: no tray to show the status item in\n";
  StderrTap err;
  StatusItem item([] { return MenuFacts{}; }, [](MenuAction) {});
  item.show();
  auto count = [&] {
    const std::string text = err.text();
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(spinUntil([&] { return count() > 0; })) << err.text();
  // A round trip to the bus settles anything still on its way; the line stays alone.
  GVariant* id = call(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetId", nullptr, "(s)");
  ASSERT_TRUE(id);
  g_variant_unref(id);
  EXPECT_EQ(count(), 1u) << err.text();
  EXPECT_FALSE(item.visible());
  item.refresh();  // a state pushed with no tray is harmless
  EXPECT_FALSE(item.visible());
}

TEST_F(GtkDesktop, CopiedTextCanBePastedByAnotherClient) {
  const std::string text =
      "Talvane 9.9 (9.9)\nSessions: claude api waiting \u00b7 r\u00e9sum\u00e9";
  ASSERT_TRUE(copyToClipboard(text));
  // Another client on the display asks for the clipboard as a paste would; this process must
  // answer it, so the main context is served while waiting.
  Display* d = XOpenDisplay(x_->name().c_str());
  ASSERT_TRUE(d);
  const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  const Atom into = XInternAtom(d, "TALVANE_PASTE", False);
  XConvertSelection(d, XInternAtom(d, "CLIPBOARD", False), utf8, into, w, CurrentTime);
  XFlush(d);
  std::optional<std::string> pasted;
  spinUntil([&] {
    while (!pasted && XPending(d)) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type != SelectionNotify) continue;
      pasted = "";
      if (e.xselection.property == None) continue;
      Atom type = 0;
      int format = 0;
      unsigned long n = 0, after = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(d, w, into, 0, 1 << 20, True, AnyPropertyType, &type, &format, &n,
                             &after, &data) == Success &&
          data) {
        pasted = std::string(reinterpret_cast<char*>(data), n);
        XFree(data);
      }
    }
    return pasted.has_value();
  });
  XDestroyWindow(d, w);
  XCloseDisplay(d);
  ASSERT_TRUE(pasted) << "nobody answered for the clipboard";
  EXPECT_EQ(*pasted, text);
}

// The opacity GTK draws this process's window titled `title` with; none without one.
std::optional<double> opacityOf(const char* title) {
  std::optional<double> found;
  GList* all = gtk_window_list_toplevels();
  for (GList* l = all; l; l = l->next) {
    const char* t = gtk_window_get_title(GTK_WINDOW(l->data));
    if (t && std::string(t) == title) found = gtk_widget_get_opacity(GTK_WIDGET(l->data));
  }
  g_list_free(all);
  return found;
}

TEST_F(GtkDesktop, TheOnboardingWindowIsSeeThroughUntilThePageHasDrawn) {
  GLibLoop loop;
  GtkOnboardingWindow window(loop, nullptr);
  WebStage stage("?onboard");  // never loaded: the page's word is given by hand
  window.show(stage);
  std::optional<unsigned long> id;
  ASSERT_TRUE(spinUntil([&] { return (id = x_->findWindow("Welcome to Talvane")).has_value(); }));
  EXPECT_EQ(opacityOf("Welcome to Talvane"), 0.0) << "shown before the page has drawn";
  ASSERT_TRUE(window.host().onPainted);
  window.host().onPainted();
  EXPECT_EQ(opacityOf("Welcome to Talvane"), 1.0) << "still see-through after the first frame";
}

TEST_F(GtkDesktop, TheOnboardingWindowGrowsDownwardsCentresOnceAskedAndFadesOut) {
  GLibLoop loop;
  GtkOnboardingWindow window(loop, nullptr);
  int closeRequests = 0;
  window.onCloseRequest = [&] { ++closeRequests; };
  WebStage stage("?onboard");  // never loaded: the window is what is tested here
  window.show(stage);
  std::optional<unsigned long> id;
  ASSERT_TRUE(spinUntil([&] { return (id = x_->findWindow("Welcome to Talvane")).has_value(); }));
  std::optional<testing::XSession::Geometry> g;
  auto at = [&](int x, int y, int w, int h) {
    return spinUntil([&] {
      g = x_->geometry(*id);
      return g && g->x == x && g->y == y && g->w == w && g->h == h;
    });
  };
  auto where = [&] {
    return g ? std::to_string(g->x) + "," + std::to_string(g->y) + " " + std::to_string(g->w) +
                   "x" + std::to_string(g->h)
             : std::string("nowhere");
  };
  constexpr int kLeft = (testing::XSession::kWidth - 460) / 2;
  EXPECT_TRUE(at(kLeft, (testing::XSession::kHeight - 560) / 2, 460, 560)) << where();
  const int top = g ? g->y : 0;
  // Taller: the top edge stays, the bottom moves down by the difference.
  window.resize(700);
  EXPECT_TRUE(at(kLeft, top, 460, 700)) << where();
  window.centre();
  EXPECT_TRUE(at(kLeft, (testing::XSession::kHeight - 700) / 2, 460, 700)) << where();
  // Never taller than the screen.
  window.resize(5000);
  EXPECT_TRUE(spinUntil([&] {
    return (g = x_->geometry(*id)) && g->h == testing::XSession::kHeight;
  })) << where();

  // The window manager's close button asks; the window stays until the owner fades it out.
  Display* d = x_->display();
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = *id;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
  XSendEvent(d, *id, False, NoEventMask, &e);
  XSync(d, False);
  EXPECT_TRUE(spinUntil([&] { return closeRequests == 1; }));
  EXPECT_TRUE(x_->findWindow("Welcome to Talvane"));

  int closed = 0;
  window.fadeOut([&] { ++closed; });
  EXPECT_TRUE(spinUntil([&] { return closed == 1; })) << "the fade never ended";
  EXPECT_TRUE(spinUntil([&] { return !x_->findWindow("Welcome to Talvane"); }));
  spinUntil([] { return false; }, 0.1);  // a late tick must not run `closed` again
  EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace talvane
