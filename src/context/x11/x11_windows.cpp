#include "context/x11/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <memory>

namespace talvane {

namespace {

constexpr long kSourcePager = 2;  // pagers and task bars: honoured without focus-stealing checks
constexpr unsigned long kAllDesktops = 0xFFFFFFFF;

struct CloseDisplay {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

// Windows vanish between listing and asking; their errors must not end the process. Xlib's
// handler is global, so ours is only in place while we talk to the server.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* d) : display_(d), old_(XSetErrorHandler(ignoreErrors)) {}
  ~ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(old_);
  }

 private:
  Display* display_;
  int (*old_)(Display*, XErrorEvent*);
};

// A CARDINAL or WINDOW list property, 32-bit items as longs.
std::vector<unsigned long> property(Display* d, Window w, Atom name, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> out;
  if (XGetWindowProperty(d, w, name, 0, 1 << 16, False, type, &actual, &format, &count, &after,
                         &data) == Success &&
      data && format == 32) {
    auto* items = reinterpret_cast<unsigned long*>(data);
    out.assign(items, items + count);
  }
  if (data) XFree(data);
  return out;
}

void clientMessage(Display* d, Window root, Window w, Atom type, long l0, long l1) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = w;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  event.xclient.data.l[0] = l0;
  event.xclient.data.l[1] = l1;
  XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

}  // namespace

X11Windows::X11Windows(std::string display) : display_(std::move(display)) {}

std::optional<std::string> X11Windows::activate(const std::vector<int>& pids) {
  std::unique_ptr<Display, CloseDisplay> display(
      XOpenDisplay(display_.empty() ? nullptr : display_.c_str()));
  if (!display) return "cannot open the X display";
  Display* d = display.get();
  ErrorTrap trap(d);
  const Window root = DefaultRootWindow(d);
  auto atom = [d](const char* name) { return XInternAtom(d, name, False); };
  const Atom active = atom("_NET_ACTIVE_WINDOW");

  auto supported = property(d, root, atom("_NET_SUPPORTED"), XA_ATOM);
  if (std::find(supported.begin(), supported.end(), active) == supported.end())
    return "the window manager cannot activate windows (no _NET_ACTIVE_WINDOW)";

  // Bottom to top, so the last match is the one the user saw last.
  auto clients = property(d, root, atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW);
  if (clients.empty()) clients = property(d, root, atom("_NET_CLIENT_LIST"), XA_WINDOW);
  const Atom wmPid = atom("_NET_WM_PID");
  std::vector<std::pair<Window, unsigned long>> owners;
  for (unsigned long w : clients) {
    auto pid = property(d, w, wmPid, XA_CARDINAL);
    if (!pid.empty()) owners.emplace_back(w, pid.front());
  }

  for (int pid : pids) {
    auto found = std::find_if(owners.rbegin(), owners.rend(), [pid](const auto& o) {
      return o.second == static_cast<unsigned long>(pid);
    });
    if (found == owners.rend()) continue;
    const Window w = found->first;
    const Atom current = atom("_NET_CURRENT_DESKTOP");
    auto desktop = property(d, w, atom("_NET_WM_DESKTOP"), XA_CARDINAL);
    auto shown = property(d, root, current, XA_CARDINAL);
    if (!desktop.empty() && desktop.front() != kAllDesktops && !shown.empty() &&
        desktop.front() != shown.front())
      clientMessage(d, root, root, current, static_cast<long>(desktop.front()), CurrentTime);
    clientMessage(d, root, w, active, kSourcePager, CurrentTime);
    return std::nullopt;
  }
  return "no window belongs to the session's processes";
}

std::optional<int> X11Windows::activePid() const {
  std::unique_ptr<Display, CloseDisplay> display(
      XOpenDisplay(display_.empty() ? nullptr : display_.c_str()));
  if (!display) return std::nullopt;
  Display* d = display.get();
  ErrorTrap trap(d);
  auto atom = [d](const char* name) { return XInternAtom(d, name, False); };
  auto active = property(d, DefaultRootWindow(d), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
  if (active.empty() || active[0] == 0) return std::nullopt;
  auto pid = property(d, active[0], atom("_NET_WM_PID"), XA_CARDINAL);
  if (pid.empty() || pid[0] == 0) return std::nullopt;
  return static_cast<int>(pid[0]);
}

}  // namespace talvane
