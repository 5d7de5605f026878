// The real app on a private Wayland compositor with layer-shell (sway, headless): the panel must
// take the layer-shell road, not fall back to X11, its strip must hang at the top centre, and a
// pointer resting on the strip opens the panel.
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
#include <thread>

#include "desktop/x_session.h"
#include "platform/files.h"

extern char** environ;

namespace talvane::testing {
namespace {

namespace fs = std::filesystem;

const std::string kWlPointer = TALVANE_BIN_DIR "/wl_pointer";

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& output) {
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    FILE* out = std::fopen(output.c_str(), "w");
    if (out) {
      dup2(fileno(out), 1);
      dup2(fileno(out), 2);
    }
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!waitFor([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 3)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

// Headless sway in its own runtime directory. sway refuses to run as root, so under root it
// runs as "nobody"; root can still reach its socket.
class Sway {
 public:
  Sway() {
    if (!programOnPath("sway") || !programOnPath("grim")) return;
    char* dir = g_dir_make_tmp("talvane-wl-XXXXXX", nullptr);
    if (!dir) return;
    runtime_ = dir;
    g_free(dir);
    std::ofstream(runtime_ + "/sway.conf") << "output HEADLESS-1 resolution 1920x1080\n";
    std::vector<std::string> argv{"sway", "-c", runtime_ + "/sway.conf"};
    if (geteuid() == 0) {
      if (chown(runtime_.c_str(), 65534, 65534) != 0) return;
      argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    pid_ = spawn(argv,
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
    stop(pid_);
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

TEST(PanelLayerShell, HangsAtTheTopCentreAndRestingOnTheStripOpensIt) {
  Sway sway;
  if (!sway.ok()) GTEST_SKIP() << "sway or grim is missing, or sway did not start";
  if (!files::exists(kPage + "/index.html")) GTEST_SKIP() << "the page is not built (web/dist)";
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
  const std::string log = files::configHome() + "/app.log";
  const pid_t app = spawn({kApp}, env, log);

  const std::string shot = kShots + "/layer-shell-strip.png";
  // The strip spans x 860..1060 of the 1920-wide output; the screen's middle stays bare.
  const bool shown =
      waitFor([&] { return sway.screenshot(shot) && dark(pixel(shot, 880, 4)); }, 40);
  const auto middle = pixel(shot, 700, 400);

  // Wayland tells a client where the pointer is only over its own surface: the closed strip
  // must take input there, and the dwell must run on what the surface reports.
  const std::string open = kShots + "/layer-shell-open.png",
                    closed = kShots + "/layer-shell-closed.png";
  bool opened = false, closedAgain = false;
  if (FILE* pointer = popen(sway.client(kWlPointer + " 1920 1080 >/dev/null").c_str(), "w")) {
    const auto moveTo = [&](int x, int y) {
      std::fprintf(pointer, "%d %d\n", x, y);
      std::fflush(pointer);
    };
    moveTo(960, 12);
    opened = waitFor([&] { return sway.screenshot(open) && dark(pixel(open, 700, 400)); }, 20);
    moveTo(100, 900);
    closedAgain =
        waitFor([&] { return sway.screenshot(closed) && !dark(pixel(closed, 700, 400)); }, 20);
    pclose(pointer);
  }
  stop(app);
  const std::string said = files::read(log).value_or("");
  EXPECT_NE(said.find("(layer-shell)"), std::string::npos) << said;
  EXPECT_TRUE(shown) << "no strip at the top centre; see " << shot;
  EXPECT_FALSE(dark(middle));
  EXPECT_TRUE(opened) << "resting on the strip did not open the panel; see " << open;
  EXPECT_TRUE(closedAgain) << "leaving did not close the panel; see " << closed;
}

}  // namespace
}  // namespace talvane::testing
