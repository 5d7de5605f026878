// The real app on GNOME's compositor: mutter, headless with a virtual monitor. It offers no
// layer-shell, so the panel goes through XWayland; its pointer is XWayland's, moved by xdotool.
// XWayland's root window has no pixels of its own: screenshots are of the panel's window, where
// what the page leaves transparent reads as black.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "desktop/x_session.h"
#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/json.h"
#include "support/relay_process.h"

extern char** environ;

namespace talvane::testing {
namespace {

namespace fs = std::filesystem;

bool onPath(const char* tool) { return GCharPtr(g_find_program_in_path(tool)) != nullptr; }

// A command's standard output.
std::string output(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// Headless mutter with XWayland, on a bus of its own, in its own runtime directory.
class Mutter {
 public:
  Mutter() {
    if (!installed()) return;
    GCharPtr dir(g_dir_make_tmp("talvane-gnome-XXXXXX", nullptr));
    if (!dir) return;
    runtime_ = dir.get();
    const std::string busFile = runtime_ + "/bus";
    bus_ = spawnLogged({"dbus-daemon", "--session", "--nofork", "--print-address=1"},
                       {"PATH=/usr/bin:/bin"}, busFile);
    std::string address;
    waitFor(
        [&] {
          address = files::read(busFile).value_or("");
          return address.find('\n') != std::string::npos;
        },
        20);
    address_ = address.substr(0, address.find('\n'));
    if (address_.empty()) return;
    mutter_ = spawnLogged({"mutter", "--headless", "--wayland", "--virtual-monitor", "1920x1080"},
                          {"PATH=/usr/bin:/bin", "HOME=" + runtime_, "XDG_RUNTIME_DIR=" + runtime_,
                           "DBUS_SESSION_BUS_ADDRESS=" + address_},
                          log());
    // Mutter names its XWayland display in its log and writes the display's cookie file.
    waitFor(
        [&] {
          const std::string said = files::read(log()).value_or("");
          const std::string marker = "Using public X11 display ";
          if (auto at = said.find(marker); at != std::string::npos)
            display_ = said.substr(at + marker.size(), said.find(',', at) - at - marker.size());
          for (const auto& e : fs::directory_iterator(runtime_))
            if (e.path().filename().string().rfind(".mutter-Xwaylandauth.", 0) == 0)
              xauthority_ = e.path();
          return !display_.empty() && !xauthority_.empty() && x("xdotool getmouselocation") == 0;
        },
        40);
  }
  ~Mutter() {
    XSession::terminate(mutter_);
    XSession::terminate(bus_);
    if (!runtime_.empty()) fs::remove_all(runtime_);
  }

  static bool installed() {
    return onPath("mutter") && onPath("Xwayland") && onPath("dbus-daemon") && onPath("xdotool") &&
           onPath("import");
  }
  bool ok() const { return !display_.empty() && !xauthority_.empty(); }
  std::string log() const { return runtime_ + "/mutter.log"; }
  // What a client of this desktop is given, as GNOME gives it.
  std::vector<std::string> env() const {
    return {"DISPLAY=" + display_,
            "XAUTHORITY=" + xauthority_,
            "WAYLAND_DISPLAY=wayland-0",
            "XDG_RUNTIME_DIR=" + runtime_,
            "XDG_SESSION_TYPE=wayland",
            "XDG_CURRENT_DESKTOP=GNOME",
            "DBUS_SESSION_BUS_ADDRESS=" + address_};
  }
  // A command line run as an X client of XWayland; its exit status.
  int x(const std::string& command) const {
    return std::system(("env DISPLAY=" + display_ + " XAUTHORITY='" + xauthority_ + "' " + command +
                        " >/dev/null 2>&1")
                           .c_str());
  }
  std::string xOutput(const std::string& command) const {
    return output("env DISPLAY=" + display_ + " XAUTHORITY='" + xauthority_ + "' " + command +
                  " 2>/dev/null");
  }

 private:
  std::string runtime_, address_, display_, xauthority_;
  pid_t bus_ = -1, mutter_ = -1;
};

class GnomeDesktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { mutter_ = new Mutter; }
  static void TearDownTestSuite() {
    delete mutter_;
    mutter_ = nullptr;
  }

  void SetUp() override {
    if (!Mutter::installed()) GTEST_SKIP() << "mutter, Xwayland or xdotool is not installed";
    // Installed but not up: a skip here would hide a broken desktop in CI.
    ASSERT_TRUE(mutter_->ok()) << "mutter did not come up: "
                               << files::read(mutter_->log()).value_or("");
    if (!files::exists(kPage + "/index.html")) GTEST_SKIP() << "the page is not built (web/dist)";
    fs::create_directories(kShots);
    fs::create_directories(files::configHome() + "/talvane");
    std::ofstream(files::configHome() + "/talvane/settings.json")
        << R"({"theme": "dark", "onboarded": true})";
    mutter_->x("xdotool mousemove 100 900");
  }
  void TearDown() override { XSession::terminate(app_); }

  // Starts the app; the id of its panel window once mapped.
  std::string startApp(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0 &&
          std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0 && std::strncmp(*e, "XAUTHORITY=", 11) != 0)
        env.emplace_back(*e);
    for (auto& e : mutter_->env()) env.push_back(e);
    env.insert(env.end(), {"TALVANE_WEB_DIR=" + kPage, "NO_AT_BRIDGE=1"});
    env.insert(env.end(), extra.begin(), extra.end());
    app_ = spawnLogged({kApp}, env, files::configHome() + "/app.log");
    std::string id;
    waitFor(
        [&] {
          id = mutter_->xOutput("xdotool search --onlyvisible --name '^Talvane$'");
          id = id.substr(0, id.find('\n'));
          return !id.empty();
        },
        60);
    return id;
  }

  // Captures the panel window until `test` holds for a capture; the last is kept as `name`.
  bool shotUntil(const std::string& window, const std::string& name,
                 const std::function<bool(const std::string&)>& test, double seconds = 40) {
    const std::string path = kShots + "/" + name + ".png";
    return waitFor(
        [&] {
          return mutter_->x("import -window " + window + " '" + path + "'") == 0 && test(path);
        },
        seconds);
  }

  // The panel's body (window x 100, y 400): drawn and dark when open, transparent when closed.
  static bool open(const std::string& png) {
    auto p = pixel(png, 100, 400);
    return p && p->r + p->g + p->b > 15 && dark(p);
  }
  static bool closed(const std::string& png) {
    auto p = pixel(png, 100, 400);
    return p && p->r + p->g + p->b == 0;
  }

  static inline Mutter* mutter_ = nullptr;
  pid_t app_ = -1;
};

TEST_F(GnomeDesktop, ThePanelHangsAtTheTopCentreAndRestingOnTheStripOpensIt) {
  const std::string window = startApp({"TALVANE_DEMO=mixed"});
  ASSERT_FALSE(window.empty()) << files::read(files::configHome() + "/app.log").value_or("");
  EXPECT_NE(mutter_->xOutput("xdotool getwindowgeometry " + window).find("Position: 600,0"),
            std::string::npos);
  // The demo's amber badge at the strip's right end (where the strip's text puts it): the page
  // is up.
  ASSERT_TRUE(shotUntil(window, "gnome-closed", [](const std::string& p) {
    const auto row = pixelRow(p, 16, 400, 510);
    return closed(p) && std::any_of(row.begin(), row.end(), [](const Rgb& c) {
             return c.r > 200 && c.g > 120 && c.b < 90;
           });
  }));
  mutter_->x("xdotool mousemove 960 12");
  EXPECT_TRUE(shotUntil(window, "gnome-open", open)) << "resting on the strip did not open it";
  mutter_->x("xdotool mousemove 100 900");
  EXPECT_TRUE(shotUntil(window, "gnome-left", closed)) << "leaving did not close it";
}

// An agent's permission request, allowed with a click in the panel: the agent hears "allow".
TEST_F(GnomeDesktop, AllowClickedInThePanelAnswersTheAgent) {
  const std::string window = startApp();
  ASSERT_FALSE(window.empty());
  Json payload = {{"hook_event_name", "PermissionRequest"},
                  {"session_id", "s1"},
                  {"cwd", files::home()},
                  {"tool_name", "Bash"},
                  {"tool_input", {{"command", "ls"}}}};
  RelayProcess agent({"claude"}, payload.dump());
  ASSERT_TRUE(agent.started());
  mutter_->x("xdotool mousemove 960 12");
  // The Allow button is the one thing drawn in the accent blue (#3f83f8).
  int left = 720, right = -1, top = 640, bottom = -1;
  auto allowShown = [&](const std::string& png) {
    left = 720, right = -1, top = 640, bottom = -1;
    GdkPixbuf* image = gdk_pixbuf_new_from_file(png.c_str(), nullptr);
    if (!image) return false;
    const int w = gdk_pixbuf_get_width(image), h = gdk_pixbuf_get_height(image);
    const int stride = gdk_pixbuf_get_rowstride(image), n = gdk_pixbuf_get_n_channels(image);
    const guchar* pixels = gdk_pixbuf_read_pixels(image);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const guchar* c = pixels + y * stride + x * n;
        if (std::abs(c[0] - 63) < 12 && std::abs(c[1] - 131) < 12 && std::abs(c[2] - 248) < 12) {
          left = std::min(left, x), right = std::max(right, x);
          top = std::min(top, y), bottom = std::max(bottom, y);
        }
      }
    g_object_unref(image);
    return right > left + 20 && bottom > top + 10;
  };
  ASSERT_TRUE(shotUntil(window, "gnome-request", allowShown)) << "no Allow button";
  const int x = 600 + (left + right) / 2, y = (top + bottom) / 2;
  mutter_->x("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
  ASSERT_TRUE(waitFor([&] { return agent.finished(); }, 20)) << "the click answered nothing";
  auto answer = json::parseObject(agent.output());
  ASSERT_TRUE(answer) << agent.output();
  EXPECT_EQ((*answer)["hookSpecificOutput"]["decision"]["behavior"], "allow") << agent.output();
}

}  // namespace
}  // namespace talvane::testing
