#pragma once
// A private X session for desktop tests: Xvfb on a free display number, xcompmgr (so windows
// can be translucent; it paints the bare desktop mid-grey) and openbox. Started and stopped by
// the test itself; nothing depends on the developer's own display.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace talvane::testing {

class XSession {
 public:
  static constexpr int kWidth = 1920, kHeight = 1080;

  XSession();
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  bool ok() const { return display_ != nullptr; }
  // ":N"
  const std::string& name() const { return name_; }
  // The session bus's address.
  std::string bus() const { return bus_.substr(bus_.find('=') + 1); }
  Display* display() const { return display_; }

  // Starts a program on this display and the session's bus with extra environment entries
  // ("NAME=value").
  pid_t launch(const std::vector<std::string>& argv,
               const std::vector<std::string>& env = {}) const;
  // SIGTERM, then SIGKILL after two seconds; reaps it.
  static void terminate(pid_t pid);
  // Runs a command line with DISPLAY set; its exit status.
  int run(const std::string& command) const;
  // Screenshot of the whole screen through `import -window root`, saved at `path`.
  bool screenshot(const std::string& path) const;

  struct Geometry {
    int x = 0, y = 0, w = 0, h = 0;
  };
  // The first viewable top-level window whose name is `name`; with `mapped` false, one that
  // exists whether mapped or not.
  std::optional<unsigned long> findWindow(const std::string& name, bool mapped = true) const;
  std::optional<Geometry> geometry(unsigned long window) const;
  // Names of the atoms in the window's _NET_WM_STATE / _NET_WM_WINDOW_TYPE.
  std::vector<std::string> atoms(unsigned long window, const char* property) const;

 private:
  std::string name_;
  std::string bus_;  // "DBUS_SESSION_BUS_ADDRESS=…" of the session's own bus
  Display* display_ = nullptr;
  std::vector<pid_t> children_;
};

// RGB of one pixel of a PNG file; none when it cannot be read.
struct Rgb {
  int r = 0, g = 0, b = 0;
};
std::optional<Rgb> pixel(const std::string& png, int x, int y);
// The pixels of row `y` from x0 up to x1 (what of them the image has).
std::vector<Rgb> pixelRow(const std::string& png, int y, int x0, int x1);
// The strip and the dark panel read as dark; the bare desktop (mid-grey) does not.
inline bool dark(const std::optional<Rgb>& p) { return p && p->r + p->g + p->b < 150; }

// The app under test, the page it serves, and where screenshots are kept for a human to see.
inline const std::string kApp = TALVANE_BIN_DIR "/talvane";
inline const std::string kPage = TALVANE_SOURCE_DIR "/web/dist";
inline const std::string kShots = TALVANE_BIN_DIR "/../screenshots/desktop";

// Starts a program with exactly this environment, its output going to the file `output`.
pid_t spawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& output);

// Polls `done` every 50 ms until it holds; false when `seconds` ran out first.
bool waitFor(const std::function<bool()>& done, double seconds);

}  // namespace talvane::testing
