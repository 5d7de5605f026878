// The real app on a private X session: window placement, what a screenshot shows, hover,
// click-through, dragging and a crashed web process. Screenshots are kept under
// build/screenshots/desktop/ for a human to look at.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool) clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "desktop/tray_host.h"
#include "desktop/x_session_test.h"
#include "platform/files.h"

namespace talvane::testing {
namespace {

namespace fs = std::filesystem;

// The strip hangs at the top centre of the 1920-wide screen: stage x 600, drawn 860..1060 and
// up to 810..1110 as its text grows.
constexpr int kStageX = 600;
constexpr int kStripX = 880, kStripY = 4;
constexpr int kBadgeY = 16;

// The demo's amber badge at the strip's right end, wherever the strip's width puts it.
bool badgeAt(const std::string& png, int y) {
  for (const Rgb& c : pixelRow(png, y, 1000, 1110))
    if (c.r > 200 && c.g > 120 && c.b < 90) return true;
  return false;
}
// Well inside the open panel, outside the closed strip.
constexpr int kBodyX = 700, kBodyY = 400;

// The app's WebKit web processes (direct children).
std::vector<pid_t> webProcessesOf(pid_t app) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    auto stat = files::read("/proc/" + std::to_string(pid) + "/stat");
    auto comm = files::read("/proc/" + std::to_string(pid) + "/comm");
    if (!stat || !comm || comm->find("WebKitWebProces") == std::string::npos) continue;
    auto close = stat->rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat->c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == app &&
        state != 'Z')
      found.push_back(pid);
  }
  closedir(proc);
  return found;
}

pid_t webProcessOf(pid_t app) {
  auto all = webProcessesOf(app);
  return all.empty() ? 0 : all.back();
}

class PanelX11 : public XSessionTest {
 protected:
  void SetUp() override {
    XSessionTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Every test starts at home (no placement left by an earlier one), in the dark theme the
    // pixel checks expect.
    std::ofstream(files::configHome() + "/talvane/settings.json")
        << R"({"theme": "dark", "onboarded": true})";
  }

  void TearDown() override {
    stopApp();
    unmapAll();
    if (below_) {
      XDestroyWindow(session_->display(), below_);
      XSync(session_->display(), False);
      below_ = 0;
    }
  }

  // Starts the app with the demo sessions; waits for its window (or, when it may start
  // hidden, for the window to exist).
  std::optional<unsigned long> startApp(const std::vector<std::string>& extra = {},
                                        bool mapped = true) {
    std::vector<std::string> env{"TALVANE_DEMO=mixed", "TALVANE_WEB_DIR=" + kPage,
                                 "NO_AT_BRIDGE=1"};
    env.insert(env.end(), extra.begin(), extra.end());
    // Its standard error goes to a file the test can read.
    app_ = session_->launch({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", kApp, log_}, env);
    std::optional<unsigned long> window;
    waitFor([&] { return (window = session_->findWindow("Talvane", mapped)).has_value(); }, 60);
    return window;
  }

  bool panelOpen(const std::string& name) {
    return shotUntil(name, [](const std::string& p) { return dark(pixel(p, kBodyX, kBodyY)); });
  }
  // Whether the panel opens within `seconds`; for checking that it does not.
  bool opensWithin(const std::string& name, double seconds) {
    return shotUntil(
        name, [](const std::string& p) { return dark(pixel(p, kBodyX, kBodyY)); }, seconds);
  }
  bool panelClosed(const std::string& name) {
    return shotUntil(name, [](const std::string& p) {
      return !dark(pixel(p, kBodyX, kBodyY)) && dark(pixel(p, kStripX, kStripY));
    });
  }

  unsigned long focus() {
    Window w = 0;
    int revert = 0;
    XGetInputFocus(session_->display(), &w, &revert);
    return w;
  }
  // Whether the keyboard focus is in the app's window (GTK focuses a child of it).
  bool focusIn(unsigned long window) {
    Display* d = session_->display();
    for (Window w = focus(); w && w != DefaultRootWindow(d);) {
      if (w == window) return true;
      Window root, parent, *kids = nullptr;
      unsigned int n = 0;
      if (!XQueryTree(d, w, &root, &parent, &kids, &n)) return false;
      if (kids) XFree(kids);
      w = parent;
    }
    return false;
  }

  void stopApp() {
    if (app_ > 0) XSession::terminate(app_);
    app_ = 0;
  }

  std::string shot(const std::string& name) {
    const std::string path = kShots + "/" + name + ".png";
    session_->screenshot(path);
    return path;
  }

  // Polls screenshots until `test` holds for one; the last is kept as `name`.
  bool shotUntil(const std::string& name, const std::function<bool(const std::string&)>& test,
                 double seconds = 40) {
    return waitFor([&] { return test(shot(name)); }, seconds);
  }

  bool stripShown(const std::string& name) {
    return shotUntil(name, [](const std::string& p) { return dark(pixel(p, kStripX, kStripY)); });
  }

  // The page itself, not the plain strip the window draws until the page's first frame: the
  // demo's amber badge at the strip's right end.
  bool pageShown(const std::string& name) {
    return shotUntil(name, [](const std::string& p) { return badgeAt(p, kBadgeY); });
  }

  // A plain white window covering the screen, raised above everything it can be.
  void coverScreen() {
    Display* d = session_->display();
    below_ = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, XSession::kWidth, XSession::kHeight,
                                 0, 0, WhitePixel(d, DefaultScreen(d)));
    XStoreName(d, below_, "below");
    XSelectInput(d, below_, ButtonPressMask | ExposureMask);
    XMapRaised(d, below_);
    XSync(d, False);
    waitFor([&] { return session_->findWindow("below").has_value(); }, 20);
  }

  // A window of the given type with extra 32-bit properties, mapped and waited for.
  unsigned long mapWindow(const char* name, const char* type, const char* state,
                          const std::vector<long>& strut, int x, int y, int w, int h) {
    Display* d = session_->display();
    const Window win = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, unsigned(w), unsigned(h),
                                           0, 0, WhitePixel(d, DefaultScreen(d)));
    XStoreName(d, win, name);
    // Where it asks to be, not where the window manager would put it.
    XSizeHints hints{};
    hints.flags = USPosition | PPosition;
    hints.x = x, hints.y = y;
    XSetWMNormalHints(d, win, &hints);
    auto atom = [d](const char* n) { return XInternAtom(d, n, False); };
    Atom t = atom(type);
    XChangeProperty(d, win, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&t), 1);
    if (state) {
      Atom st = atom(state);
      XChangeProperty(d, win, atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&st), 1);
    }
    if (!strut.empty())
      XChangeProperty(d, win, atom("_NET_WM_STRUT_PARTIAL"), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(strut.data()), int(strut.size()));
    XMapRaised(d, win);
    XSync(d, False);
    waitFor([&] { return session_->findWindow(name).has_value(); }, 20);
    extra_.push_back(win);
    return win;
  }

  void unmapAll() {
    for (auto w : extra_) XDestroyWindow(session_->display(), w);
    XSync(session_->display(), False);
    extra_.clear();
  }

  // Whether the app has said `line` within `seconds`.
  bool said(const std::string& line, double seconds = 40) {
    return waitFor([&] { return files::read(log_).value_or("").find(line) != std::string::npos; },
                   seconds);
  }

  pid_t app_ = 0;
  const std::string log_ = files::configHome() + "/app.log";
  unsigned long below_ = 0;
  std::vector<unsigned long> extra_;
};

// A 28-high top bar that holds a strut: the strip hangs below it, not over its clock.
TEST_F(PanelX11, BelowATopBarsStrut) {
  std::vector<long> strut(12, 0);
  strut[2] = 28, strut[9] = XSession::kWidth - 1;  // top, top_end_x
  mapWindow("bar", "_NET_WM_WINDOW_TYPE_DOCK", nullptr, strut, 0, 0, XSession::kWidth, 28);
  auto window = startApp();
  ASSERT_TRUE(window);
  std::optional<XSession::Geometry> g;
  EXPECT_TRUE(waitFor([&] { return (g = session_->geometry(*window)) && g->y == 28; }, 40))
      << "at y " << (g ? g->y : -1);
  // The white bar shows whole above the page's strip, its badge 28 lower than at home.
  EXPECT_TRUE(shotUntil("under-top-bar", [](const std::string& p) {
    auto bar = pixel(p, kStripX, 10);
    return dark(pixel(p, kStripX, 28 + kStripY)) && bar && bar->r + bar->g + bar->b > 700 &&
           badgeAt(p, 28 + kBadgeY);
  }));
  unmapAll();
}

// A fullscreen window up before the app starts, and one that comes after: the strip steps
// aside while it is active and comes back when it is gone.
TEST_F(PanelX11, StepsAsideForAFullscreenWindow) {
  mapWindow("video", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE_FULLSCREEN", {}, 0, 0,
            XSession::kWidth, XSession::kHeight);
  ASSERT_TRUE(startApp({}, /*mapped=*/false));
  EXPECT_TRUE(said("the strip steps aside")) << files::read(log_).value_or("");
  auto hidden = [](const std::string& p) { return !dark(pixel(p, kStripX, kStripY)); };
  EXPECT_TRUE(shotUntil("beside-fullscreen", hidden));
  unmapAll();
  EXPECT_TRUE(stripShown("fullscreen-gone"));
  EXPECT_TRUE(said("the strip is back"));
  mapWindow("game", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE_FULLSCREEN", {}, 0, 0,
            XSession::kWidth, XSession::kHeight);
  EXPECT_TRUE(shotUntil("fullscreen-after-start", hidden));
  unmapAll();
}

// A locked screen hides the strip and unlocking brings it back. The stand-in screen saver serves
// no object, so the bus refuses the app's first question and only its signals say anything.
TEST_F(PanelX11, HidesWhileTheScreenIsLocked) {
  GObjectPtr<GDBusConnection> saver(g_dbus_connection_new_for_address_sync(
      session_->bus().c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr));
  ASSERT_TRUE(saver);
  GVariant* owned = g_dbus_connection_call_sync(
      saver.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", "org.freedesktop.ScreenSaver", 4u), nullptr,
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  ASSERT_TRUE(owned);
  g_variant_unref(owned);
  // Said again until the app tells it heard: it may not be listening yet.
  auto lock = [&](bool on, const std::string& heard) {
    return waitFor(
        [&] {
          g_dbus_connection_emit_signal(saver.get(), nullptr, "/org/freedesktop/ScreenSaver",
                                        "org.freedesktop.ScreenSaver", "ActiveChanged",
                                        g_variant_new("(b)", on), nullptr);
          g_dbus_connection_flush_sync(saver.get(), nullptr, nullptr);
          return files::read(log_).value_or("").find(heard) != std::string::npos;
        },
        40);
  };
  ASSERT_TRUE(startApp());
  ASSERT_TRUE(stripShown("before-lock"));
  ASSERT_TRUE(lock(true, "the screen is locked")) << files::read(log_).value_or("");
  EXPECT_TRUE(
      shotUntil("locked", [](const std::string& p) { return !dark(pixel(p, kStripX, kStripY)); }));
  ASSERT_TRUE(lock(false, "the strip is back"));
  EXPECT_TRUE(stripShown("unlocked"));
}

// Alt tapped twice, alone, opens the panel for the keyboard; twice again closes it.
TEST_F(PanelX11, AltTappedAloneTogglesThePanel) {
  auto window = startApp();
  ASSERT_TRUE(window);
  ASSERT_TRUE(pageShown("alt-before"));
  session_->run("xdotool key Alt_L Alt_L");
  EXPECT_TRUE(panelOpen("alt-open")) << "a double Alt tap did not open the panel";
  EXPECT_TRUE(waitFor([&] { return focusIn(*window); }, 20)) << "no keyboard focus";
  session_->run("xdotool key Alt_L Alt_L");
  EXPECT_TRUE(panelClosed("alt-closed")) << "a second double tap did not close it";
}

// Alt with another key, even right after a tap and even when the window manager grabs the
// combination (openbox grabs Alt+Tab), neither opens the panel nor moves the focus.
TEST_F(PanelX11, AltWithAnyKeyDoesNothingAndTakesNoFocus) {
  auto window = startApp();
  ASSERT_TRUE(window);
  ASSERT_TRUE(pageShown("alt-combo-before"));
  coverScreen();
  ASSERT_TRUE(stripShown("alt-combo-covered"));
  const unsigned long before = focus();
  for (const char* keys :
       {"key Alt_L keydown Alt_L key Tab keyup Alt_L",
        "keydown Alt_L sleep 0.8 key Tab keyup Alt_L", "key Alt_L keydown Alt_L key a keyup Alt_L",
        "keydown Alt_L key Return keyup Alt_L key Alt_L",
        "key Alt_L keydown Alt_L click 1 keyup Alt_L"}) {
    session_->run(std::string("xdotool mousemove 100 900 ") + keys);
    EXPECT_FALSE(opensWithin("alt-combo", 3)) << keys << " opened the panel";
    EXPECT_FALSE(focusIn(*window)) << keys << " gave the panel the keyboard";
  }
  EXPECT_EQ(focus(), before);
}

// Open Talvane from the tray opens the panel as the open hot key does: it stays open with the
// pointer far away, and Escape closes it.
TEST_F(PanelX11, OpenFromTheTrayStaysOpenUntilEscape) {
  StandInWatcher host(session_->bus());
  ASSERT_TRUE(host.serving());
  auto window = startApp();
  ASSERT_TRUE(window);
  ASSERT_TRUE(pageShown("tray-before"));
  ASSERT_TRUE(waitFor([&] { return host.item().has_value(); }, 20)) << "no tray item";
  const auto [name, path] = *host.item();
  ASSERT_TRUE(clickMenuItem(session_->bus(), name, path, "Open Talvane"));
  ASSERT_TRUE(panelOpen("tray-open"));
  // Hover would have closed it well within this.
  EXPECT_FALSE(shotUntil(
      "tray-still-open", [](const std::string& p) { return !dark(pixel(p, kBodyX, kBodyY)); }, 3))
      << "the panel closed with the pointer away";
  ASSERT_TRUE(waitFor([&] { return focusIn(*window); }, 20)) << "no keyboard focus";
  session_->run("xdotool key Escape");
  EXPECT_TRUE(panelClosed("tray-escaped")) << "Escape did not close it";
}

TEST_F(PanelX11, WindowHangsAtTheTopCentreWithTheStageSizeAndStaysAbove) {
  auto window = startApp();
  ASSERT_TRUE(window);
  std::optional<XSession::Geometry> g;
  ASSERT_TRUE(waitFor([&] { return (g = session_->geometry(*window)) && g->x == kStageX; }, 20))
      << "at x " << (g ? g->x : -1);
  EXPECT_EQ(g->y, 0);
  EXPECT_EQ(g->w, 720);
  EXPECT_EQ(g->h, 640);
  auto type = session_->atoms(*window, "_NET_WM_WINDOW_TYPE");
  EXPECT_NE(std::find(type.begin(), type.end(), "_NET_WM_WINDOW_TYPE_DOCK"), type.end());
  ASSERT_TRUE(stripShown("closed"));

  coverScreen();
  EXPECT_TRUE(stripShown("above-other-windows")) << "a raised window hid the strip";
  EXPECT_FALSE(dark(pixel(kShots + "/above-other-windows.png", kBodyX, kBodyY)));
}

TEST_F(PanelX11, ClicksOutsideTheDrawnStripReachTheWindowBelow) {
  ASSERT_TRUE(startApp());
  coverScreen();
  ASSERT_TRUE(stripShown("click-through"));
  Display* d = session_->display();
  XEvent e;
  while (XCheckWindowEvent(d, below_, ButtonPressMask, &e)) {
  }
  // Inside the stage's 720×640 frame, outside what the page draws.
  session_->run("xdotool mousemove " + std::to_string(kBodyX) + " " + std::to_string(kBodyY) +
                " click 1");
  bool clicked = waitFor([&] { return XCheckWindowEvent(d, below_, ButtonPressMask, &e); }, 20);
  EXPECT_TRUE(clicked) << "the click was swallowed by the panel";
  if (clicked) {
    EXPECT_EQ(e.xbutton.x_root, kBodyX);
    EXPECT_EQ(e.xbutton.y_root, kBodyY);
  }
}

TEST_F(PanelX11, RestingOnTheStripOpensThePanelAndLeavingClosesIt) {
  ASSERT_TRUE(startApp());
  ASSERT_TRUE(pageShown("hover-before"));
  EXPECT_FALSE(dark(pixel(kShots + "/hover-before.png", kBodyX, kBodyY)));
  session_->run("xdotool mousemove 960 12");
  EXPECT_TRUE(shotUntil("hover-open", [](const std::string& p) {
    return dark(pixel(p, kBodyX, kBodyY));
  })) << "the panel did not open under the pointer";
  session_->run("xdotool mousemove 100 900");
  EXPECT_TRUE(shotUntil("hover-closed", [](const std::string& p) {
    return !dark(pixel(p, kBodyX, kBodyY)) && dark(pixel(p, kStripX, kStripY));
  })) << "the panel stayed open after the pointer left";
}

// At twice the scale the server's pointer is in device pixels and the stage in GDK's: the strip
// spans device x 760..1160 and y 0..64.
TEST_F(PanelX11, AtDoubleScaleRestingOnTheStripStillOpensThePanel) {
  ASSERT_TRUE(startApp({"GDK_SCALE=2"}));
  ASSERT_TRUE(shotUntil("hidpi-closed", [](const std::string& p) {
    return dark(pixel(p, 780, 8)) && !dark(pixel(p, kBodyX, kBodyY));
  }));
  session_->run("xdotool mousemove 960 20");
  EXPECT_TRUE(shotUntil("hidpi-open", [](const std::string& p) {
    return dark(pixel(p, kBodyX, kBodyY));
  })) << "the panel did not open under the pointer";
}

TEST_F(PanelX11, DraggedToTheLeftEdgeItDocksAndStaysThereAfterARestart) {
  auto window = startApp();
  ASSERT_TRUE(window);
  ASSERT_TRUE(pageShown("drag-before"));
  session_->run("xdotool mousemove 960 12");
  ASSERT_TRUE(
      shotUntil("drag-open", [](const std::string& p) { return dark(pixel(p, kBodyX, kBodyY)); }));
  // Press on the panel's header and pull it to the left edge: a few small steps first, as a
  // hand starts a drag, then the rest of the way.
  session_->run("xdotool mousemove 700 20");
  session_->run("xdotool mousedown 1");
  for (int i = 0; i < 10; ++i) {
    session_->run("xdotool mousemove_relative -- -3 2");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a hand's pace, not a wait
  }
  for (int x = 640; x >= 40; x -= 60) {
    session_->run("xdotool mousemove " + std::to_string(x) + " " +
                  std::to_string(40 + (700 - x) * 460 / 660));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  session_->run("xdotool mousemove 40 500");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  session_->run("xdotool mouseup 1");
  std::optional<XSession::Geometry> g;
  // Docked left: flush with the screen's edge; the pill 483 from the top.
  auto docked = [&] {
    auto w = session_->findWindow("Talvane");
    return w && (g = session_->geometry(*w)) && g->x == 0 && g->y == 477;
  };
  EXPECT_TRUE(waitFor(docked, 30)) << "window at " << (g ? g->x : -1) << "," << (g ? g->y : -1);
  // With the pointer gone, the panel closes to a pill at the left edge and nothing else is
  // left on screen.
  session_->run("xdotool mousemove 900 900");
  auto dockedPill = [](const std::string& p) {
    return dark(pixel(p, 40, 495)) && !dark(pixel(p, 400, 700)) &&
           !dark(pixel(p, kStripX, kStripY));
  };
  EXPECT_TRUE(shotUntil("docked", dockedPill));
  auto settings = files::read(files::configHome() + "/talvane/settings.json");
  ASSERT_TRUE(settings);
  EXPECT_NE(settings->find("placement.screen"), std::string::npos) << *settings;

  stopApp();
  ASSERT_TRUE(startApp());
  EXPECT_TRUE(waitFor(docked, 30))
      << "after restart at " << (g ? g->x : -1) << "," << (g ? g->y : -1);
  EXPECT_TRUE(shotUntil("docked-after-restart", dockedPill));
}

TEST_F(PanelX11, AKilledWebProcessIsNoticedAndThePageReloads) {
  ASSERT_TRUE(startApp());
  ASSERT_TRUE(pageShown("reload-before"));
  pid_t web = 0;
  ASSERT_TRUE(waitFor([&] { return (web = webProcessOf(app_)) > 0; }, 20));
  ASSERT_EQ(::kill(web, SIGKILL), 0);
  pid_t again = 0;
  EXPECT_TRUE(waitFor([&] { return (again = webProcessOf(app_)) > 0 && again != web; }, 40))
      << "no new web process";
  EXPECT_TRUE(pageShown("reload-after")) << "the page did not come back";
  EXPECT_EQ(::kill(app_, 0), 0) << "the app went down with its web process";
}

// Used and then left closed, the panel's page starts over in a fresh web process, which gives
// back what the old one kept; the strip shows throughout and the new page answers the pointer.
TEST_F(PanelX11, AQuietPanelStartsItsPageOverInAFreshProcessAfterUse) {
  ASSERT_TRUE(startApp());
  ASSERT_TRUE(pageShown("renew-before"));
  const pid_t old = webProcessOf(app_);
  session_->run("xdotool mousemove 960 12");
  ASSERT_TRUE(panelOpen("renew-open"));
  session_->run("xdotool mousemove 100 900");
  ASSERT_TRUE(panelClosed("renew-closed"));
  int gone = 0;
  std::vector<pid_t> now;
  EXPECT_TRUE(waitFor(
      [&] {
        if (!badgeAt(shot("renew-during"), kBadgeY)) ++gone;
        now = webProcessesOf(app_);
        return now.size() == 1 && now[0] != old;
      },
      60))
      << "web processes: " << now.size();
  EXPECT_EQ(gone, 0) << "the strip went away while the page started over";
  session_->run("xdotool mousemove 960 12");
  EXPECT_TRUE(panelOpen("renew-reopened"));
}

}  // namespace
}  // namespace talvane::testing
