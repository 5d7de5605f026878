#include "desktop/x_session.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace talvane::testing {

namespace {

pid_t spawn(const std::vector<std::string>& argv, const std::string& display,
            const std::vector<std::string>& extra = {}, bool quiet = true) {
  std::vector<std::string> env;
  auto replaced = [&](const char* entry) {
    for (const auto& e : extra)
      if (auto eq = e.find('=');
          eq != std::string::npos && std::strncmp(entry, e.c_str(), eq + 1) == 0)
        return true;
    return false;
  };
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0 &&
        !replaced(*e))
      env.emplace_back(*e);
  if (!display.empty()) env.push_back("DISPLAY=" + display);
  env.insert(env.end(), extra.begin(), extra.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

bool wmRunning(Display* d) {
  Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  Atom type;
  int format;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  bool found = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, XA_WINDOW, &type,
                                  &format, &n, &after, &data) == Success &&
               n == 1;
  if (data) XFree(data);
  return found;
}

}  // namespace

pid_t spawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
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

bool waitFor(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

XSession::XSession() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  // -displayfd: the server picks a free display number and writes it here when ready.
  pid_t xvfb =
      spawn({"Xvfb", "-br", "-noreset", "-nolisten", "tcp", "-displayfd", std::to_string(fds[1]),
             "-screen", "0", std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24"},
            "");
  ::close(fds[1]);
  if (xvfb <= 0) {
    ::close(fds[0]);
    return;
  }
  children_.push_back(xvfb);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (::poll(&p, 1, 30000) > 0) {
    char buf[16];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
    if (number.find('\n') != std::string::npos) break;
  }
  ::close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty()) return;
  name_ = ":" + number;
  display_ = XOpenDisplay(name_.c_str());
  if (!display_) return;
  // Windows come and go while the tests look at them; Xlib's default handler would exit.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  // Every desktop session has a bus; without one GIO would start a throw-away bus through
  // dbus-launch on first use, which is slow and not what users run.
  if (::pipe(fds) == 0) {
    children_.push_back(
        spawn({"dbus-daemon", "--session", "--nofork", "--print-address=" + std::to_string(fds[1])},
              name_));
    ::close(fds[1]);
    std::string address;
    pollfd b{fds[0], POLLIN, 0};
    while (address.find('\n') == std::string::npos && ::poll(&b, 1, 10000) > 0) {
      char buf[256];
      ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      address.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (auto end = address.find('\n'); end != std::string::npos)
      bus_ = "DBUS_SESSION_BUS_ADDRESS=" + address.substr(0, end);
  }
  children_.push_back(spawn({"xcompmgr"}, name_));
  children_.push_back(spawn({"openbox", "--sm-disable"}, name_));
  if (!waitFor([this] { return wmRunning(display_); }, 30)) {
    XCloseDisplay(display_);
    display_ = nullptr;
  }
}

XSession::~XSession() {
  if (display_) XCloseDisplay(display_);
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) stop(*it);
}

pid_t XSession::launch(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env) const {
  std::vector<std::string> all;
  if (!bus_.empty()) {
    all.push_back(bus_);
    // The machine's own login session (a locked screen, say) must not reach the app under test.
    all.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + bus_.substr(bus_.find('=') + 1));
  }
  all.insert(all.end(), env.begin(), env.end());
  return spawn(argv, name_, all, /*quiet=*/false);
}

void XSession::terminate(pid_t pid) { stop(pid); }

int XSession::run(const std::string& command) const {
  return std::system(("DISPLAY=" + name_ + " " + command + " >/dev/null 2>&1").c_str());
}

bool XSession::screenshot(const std::string& path) const {
  return run("import -window root '" + path + "'") == 0;
}

std::optional<unsigned long> XSession::findWindow(const std::string& wanted, bool mapped) const {
  Window root = DefaultRootWindow(display_), parent, *children = nullptr;
  unsigned int n = 0;
  XSync(display_, False);
  if (!XQueryTree(display_, root, &root, &parent, &children, &n)) return std::nullopt;
  std::optional<unsigned long> found;
  // Window managers reparent: look one level down as well.
  std::function<void(Window, int)> visit = [&](Window w, int depth) {
    if (found) return;
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, w, &a) || (mapped && a.map_state != IsViewable)) return;
    char* name = nullptr;
    if (XFetchName(display_, w, &name) && name) {
      if (wanted == name) found = w;
      XFree(name);
    }
    if (found || depth > 1) return;
    Window r, p, *kids = nullptr;
    unsigned int k = 0;
    if (XQueryTree(display_, w, &r, &p, &kids, &k)) {
      for (unsigned int i = 0; i < k; ++i) visit(kids[i], depth + 1);
      if (kids) XFree(kids);
    }
  };
  for (unsigned int i = 0; i < n; ++i) visit(children[i], 0);
  if (children) XFree(children);
  return found;
}

std::optional<XSession::Geometry> XSession::geometry(unsigned long window) const {
  XWindowAttributes a;
  if (!XGetWindowAttributes(display_, window, &a)) return std::nullopt;
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
  return Geometry{x, y, a.width, a.height};
}

std::vector<std::string> XSession::atoms(unsigned long window, const char* property) const {
  std::vector<std::string> names;
  Atom type;
  int format;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display_, window, XInternAtom(display_, property, False), 0, 64, False,
                         XA_ATOM, &type, &format, &n, &after, &data) == Success &&
      data) {
    auto* list = reinterpret_cast<Atom*>(data);
    for (unsigned long i = 0; i < n; ++i) {
      char* s = XGetAtomName(display_, list[i]);
      if (s) {
        names.emplace_back(s);
        XFree(s);
      }
    }
  }
  if (data) XFree(data);
  return names;
}

std::optional<Rgb> pixel(const std::string& png, int x, int y) {
  GError* error = nullptr;
  GdkPixbuf* image = gdk_pixbuf_new_from_file(png.c_str(), &error);
  if (error) g_error_free(error);
  if (!image) return std::nullopt;
  std::optional<Rgb> rgb;
  if (x >= 0 && y >= 0 && x < gdk_pixbuf_get_width(image) && y < gdk_pixbuf_get_height(image)) {
    const guchar* p = gdk_pixbuf_read_pixels(image) + y * gdk_pixbuf_get_rowstride(image) +
                      x * gdk_pixbuf_get_n_channels(image);
    rgb = Rgb{p[0], p[1], p[2]};
  }
  g_object_unref(image);
  return rgb;
}

std::vector<Rgb> pixelRow(const std::string& png, int y, int x0, int x1) {
  GError* error = nullptr;
  GdkPixbuf* image = gdk_pixbuf_new_from_file(png.c_str(), &error);
  if (error) g_error_free(error);
  if (!image) return {};
  std::vector<Rgb> row;
  if (y >= 0 && y < gdk_pixbuf_get_height(image)) {
    const guchar* line = gdk_pixbuf_read_pixels(image) + y * gdk_pixbuf_get_rowstride(image);
    for (int x = std::max(0, x0); x < std::min(x1, gdk_pixbuf_get_width(image)); ++x) {
      const guchar* p = line + x * gdk_pixbuf_get_n_channels(image);
      row.push_back(Rgb{p[0], p[1], p[2]});
    }
  }
  g_object_unref(image);
  return row;
}

}  // namespace talvane::testing
