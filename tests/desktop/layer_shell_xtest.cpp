// The real app on a private Wayland compositor with layer-shell (sway, headless): the panel must
// take the layer-shell road, not fall back to X11, its strip must hang at the top centre, and a
// pointer resting on the strip opens the panel; a drag lands where it is dropped, below a bar.
// Screenshots come from grim and are kept under build/screenshots/desktop/.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "desktop/x_session.h"
#include "platform/files.h"
#include "platform/json.h"

extern char** environ;

namespace talvane::testing {
namespace {

namespace fs = std::filesystem;

const std::string kWlPointer = TALVANE_BIN_DIR "/wl_pointer";

// Headless sway in its own runtime directory. sway refuses to run as root, so under root it
// runs as "nobody"; root can still reach its socket.
class Sway {
 public:
  // `config`: more of sway's configuration (a bar).
  explicit Sway(const std::string& config = {}) {
    if (!programOnPath("sway") || !programOnPath("grim")) return;
    char* dir = g_dir_make_tmp("talvane-wl-XXXXXX", nullptr);
    if (!dir) return;
    runtime_ = dir;
    g_free(dir);
    std::ofstream(runtime_ + "/sway.conf") << "output HEADLESS-1 resolution 1920x1080\n" << config;
    std::vector<std::string> argv{"sway", "-c", runtime_ + "/sway.conf"};
    if (geteuid() == 0) {
      if (chown(runtime_.c_str(), 65534, 65534) != 0) return;
      argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    pid_ =
        spawnLogged(argv,
                    {"PATH=/usr/bin:/bin", "HOME=" + runtime_, "XDG_RUNTIME_DIR=" + runtime_,
                     "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"},
                    "/dev/null");
    waitFor(
        [&] {
          for (const auto& e : fs::directory_iterator(runtime_)) {
            const std::string n = e.path().filename();
            if (n.rfind("wayland-", 0) == 0 && n.find('.') == std::string::npos) socket_ = n;
          }
          return !socket_.empty();
        },
        20);
  }
  ~Sway() {
    XSession::terminate(pid_);
    if (!runtime_.empty()) fs::remove_all(runtime_);
  }

  bool ok() const { return !socket_.empty(); }
  std::vector<std::string> env() const {
    return {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=" + socket_};
  }
  // A shell line that runs `command` as a client of this compositor.
  std::string client(const std::string& command) const {
    return "env XDG_RUNTIME_DIR='" + runtime_ + "' WAYLAND_DISPLAY=" + socket_ + " " + command;
  }
  bool screenshot(const std::string& path) const {
    return std::system(client("grim '" + path + "' 2>/dev/null").c_str()) == 0;
  }

 private:
  static bool programOnPath(const char* name) {
    gchar* found = g_find_program_in_path(name);
    g_free(found);
    return found != nullptr;
  }

  std::string runtime_, socket_;
  pid_t pid_ = -1;
};

// The app on a compositor; its log and settings are the test's.
class App {
 public:
  explicit App(const Sway& sway) {
    fs::create_directories(kShots);
    fs::create_directories(files::configHome() + "/talvane");
    std::ofstream(files::configHome() + "/talvane/settings.json")
        << R"({"theme": "dark", "onboarded": true})";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0 &&
          std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0)
        env.emplace_back(*e);
    for (auto& e : sway.env()) env.push_back(e);
    env.insert(env.end(), {"TALVANE_DEMO=mixed", "TALVANE_WEB_DIR=" + kPage, "NO_AT_BRIDGE=1"});
    pid_ = spawnLogged({kApp}, env, log_);
  }
  ~App() { stop(); }
  void stop() {
    XSession::terminate(pid_);
    pid_ = -1;
  }
  std::string log() const { return files::read(log_).value_or(""); }

 private:
  std::string log_ = files::configHome() + "/app.log";
  pid_t pid_ = -1;
};

// wl_pointer driven line by line.
class Pointer {
 public:
  explicit Pointer(const Sway& sway)
      : pipe_(popen(sway.client(kWlPointer + " 1920 1080 >/dev/null").c_str(), "w")) {}
  ~Pointer() {
    if (pipe_) pclose(pipe_);
  }
  void say(const std::string& line) {
    if (!pipe_) return;
    std::fprintf(pipe_, "%s\n", line.c_str());
    std::fflush(pipe_);
  }
  void moveTo(int x, int y) { say(std::to_string(x) + " " + std::to_string(y)); }
  // Pressed at `from`, pulled to `to` in steps at a hand's pace, released there.
  void drag(int fromX, int fromY, int toX, int toY) {
    moveTo(fromX, fromY);
    say("down");
    // A few small steps first, as a hand starts a drag, then the rest of the way.
    for (int i = 1; i <= 6; ++i) {
      moveTo(fromX + (toX - fromX) * i / 200, fromY + (toY - fromY) * i / 200);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    for (int i = 1; i <= 12; ++i) {
      moveTo(fromX + (toX - fromX) * i / 12, fromY + (toY - fromY) * i / 12);
      std::this_thread::sleep_for(std::chrono::milliseconds(60));  // a hand's pace, not a wait
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    say("up");
  }

 private:
  FILE* pipe_;
};

TEST(PanelLayerShell, HangsAtTheTopCentreAndRestingOnTheStripOpensIt) {
  Sway sway;
  if (!sway.ok()) GTEST_SKIP() << "sway or grim is missing, or sway did not start";
  if (!files::exists(kPage + "/index.html")) GTEST_SKIP() << "the page is not built (web/dist)";
  App app(sway);

  const std::string shot = kShots + "/layer-shell-strip.png";
  // The strip spans x 860..1060 of the 1920-wide output; the screen's middle stays bare.
  const bool shown =
      waitFor([&] { return sway.screenshot(shot) && dark(pixel(shot, 880, 4)); }, 40);
  const auto middle = pixel(shot, 700, 400);

  // Wayland tells a client where the pointer is only over its own surface: the closed strip
  // must take input there, and the dwell must run on what the surface reports.
  const std::string open = kShots + "/layer-shell-open.png",
                    closed = kShots + "/layer-shell-closed.png";
  Pointer pointer(sway);
  pointer.moveTo(960, 12);
  const bool opened =
      waitFor([&] { return sway.screenshot(open) && dark(pixel(open, 700, 400)); }, 20);
  pointer.moveTo(100, 900);
  const bool closedAgain =
      waitFor([&] { return sway.screenshot(closed) && !dark(pixel(closed, 700, 400)); }, 20);
  app.stop();
  const std::string said = app.log();
  EXPECT_NE(said.find("(layer-shell)"), std::string::npos) << said;
  EXPECT_TRUE(shown) << "no strip at the top centre; see " << shot;
  EXPECT_FALSE(dark(middle));
  EXPECT_TRUE(opened) << "resting on the strip did not open the panel; see " << open;
  EXPECT_TRUE(closedAgain) << "leaving did not close the panel; see " << closed;
}

// The centre x and edge (0: none) of the place stored for the screen; none before a drop.
std::optional<std::pair<double, int>> storedPlace() {
  auto settings =
      json::parseObject(files::read(files::configHome() + "/talvane/settings.json").value_or(""));
  if (!settings) return std::nullopt;
  for (const auto& [key, value] : settings->items())
    if (key.rfind("placement.", 0) == 0 && value.is_array() && value.size() == 3 &&
        value[0].is_number() && value[2].is_number())
      return std::pair{value[0].get<double>(), value[2].get<int>()};
  return std::nullopt;
}

// Below a 30-high top bar, the panel dragged twice lands each time where it is dropped, and
// the stored place brings it back there; the pointer moves on at once after each release.
TEST(PanelLayerShell, ADragLandsWhereItIsDroppedBelowABar) {
  Sway sway("bar {\n position top\n height 30\n status_command none\n}\n");
  if (!sway.ok()) GTEST_SKIP() << "sway or grim is missing, or sway did not start";
  if (!files::exists(kPage + "/index.html")) GTEST_SKIP() << "the page is not built (web/dist)";
  App app(sway);
  const std::string shot = kShots + "/layer-shell-drag.png";
  auto shows = [&](std::function<bool()> test) {
    return waitFor([&] { return sway.screenshot(shot) && test(); }, 40);
  };
  // Below the bar: the strip's top rows are the bar's, the strip under them.
  ASSERT_TRUE(shows([&] { return dark(pixel(shot, 880, 34)); })) << "no strip; see " << shot;
  Pointer pointer(sway);
  struct Drop {
    int fromX, fromY, toX, toY;
  };
  for (const Drop& d : {Drop{960, 40, 500, 300}, Drop{500, 300, 1300, 420}}) {
    pointer.moveTo(d.fromX, d.fromY);
    ASSERT_TRUE(shows([&] { return dark(pixel(shot, d.fromX, d.fromY + 150)); }))
        << "resting on the pill did not open the panel; see " << shot << "\n"
        << files::read(files::configHome() + "/talvane/settings.json").value_or("") << app.log();
    // The panel has just opened: a hand pauses before it grabs the header.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pointer.drag(d.fromX, d.fromY, d.toX, d.toY);
    pointer.moveTo(1800, 1000);
    // Kept where it was dropped (not docked), and closed to a pill around the drop point, the
    // pointer's grip 17 below the pill's top.
    EXPECT_TRUE(waitFor(
        [&] {
          return storedPlace() == std::pair{double(d.toX), 0};
        },
        20))
        << files::read(files::configHome() + "/talvane/settings.json").value_or("");
    EXPECT_TRUE(shows([&] {
      return dark(pixel(shot, d.toX, d.toY - 12)) && dark(pixel(shot, d.toX, d.toY + 12)) &&
             !dark(pixel(shot, d.toX, d.toY + 150)) && !dark(pixel(shot, 880, 34)) &&
             !dark(pixel(shot, 40, 50));
    })) << "dropped at "
        << d.toX << "," << d.toY << "; see " << shot;
    fs::copy_file(shot, kShots + "/layer-shell-drop-" + std::to_string(d.toX) + ".png",
                  fs::copy_options::overwrite_existing);
  }
  app.stop();
  fs::copy_file(shot, kShots + "/layer-shell-dropped.png", fs::copy_options::overwrite_existing);
}

}  // namespace
}  // namespace talvane::testing
