#include "voice/x11_key_source.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <glib-unix.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

std::uint32_t flagOf(KeySym sym) {
  switch (sym) {
    case XK_Alt_L:
    case XK_Alt_R:
      return KeyFlags::option;
    case XK_Shift_L:
    case XK_Shift_R:
      return KeyFlags::shift;
    case XK_Control_L:
    case XK_Control_R:
      return KeyFlags::control;
    case XK_Super_L:
    case XK_Super_R:
    case XK_Meta_L:
    case XK_Meta_R:
    case XK_Hyper_L:
    case XK_Hyper_R:
      return KeyFlags::command;
    case XK_Caps_Lock:
    case XK_Num_Lock:
    case XK_ISO_Level3_Shift:
    case XK_Mode_switch:
      return KeyFlags::capsLock;  // held-state keys that break nothing
    default:
      return 0;
  }
}

}  // namespace

bool X11KeySource::seesGrabbedKeys(int major, int minor) {
  return major > 2 || (major == 2 && minor >= 1);
}

struct X11KeySource::Impl {
  Display* display = nullptr;
  int xiOpcode = 0;
  SourceId watch;
  Sink sink;
  // Keycodes of modifier keys now held, with the flag each contributes.
  std::map<int, std::uint32_t> held;
  std::uint32_t reported = 0;

  ~Impl() {
    watch.reset();  // before its descriptor closes
    if (display) XCloseDisplay(display);
  }

  std::uint32_t flags() const {
    std::uint32_t f = 0;
    for (const auto& [code, flag] : held) f |= flag;
    return f & ~KeyFlags::capsLock;
  }

  void handle(XIRawEvent* raw) {
    if (raw->evtype == XI_RawButtonPress) {
      sink.interrupt();
      return;
    }
    const KeySym sym = XkbKeycodeToKeysym(display, static_cast<KeyCode>(raw->detail), 0, 0);
    const std::uint32_t flag = flagOf(sym);
    if (raw->evtype == XI_RawKeyPress) {
      if (!flag) {
        sink.interrupt();
        return;
      }
      if (raw->flags & XIKeyRepeat) return;
      held[raw->detail] = flag;
    } else {
      if (!flag || !held.erase(raw->detail)) return;
    }
    // Both Alt keys are one Option; a second one going down or up changes nothing.
    const std::uint32_t now = flags();
    if (now == reported) return;
    reported = now;
    sink.flags(now);
  }

  void drain() {
    while (XPending(display)) {
      XEvent ev;
      XNextEvent(display, &ev);
      XGenericEventCookie* cookie = &ev.xcookie;
      if (cookie->type != GenericEvent || cookie->extension != xiOpcode) continue;
      if (!XGetEventData(display, cookie)) continue;
      handle(static_cast<XIRawEvent*>(cookie->data));
      XFreeEventData(display, cookie);
    }
  }
};

X11KeySource::X11KeySource(std::string display) : display_(std::move(display)) {}
X11KeySource::~X11KeySource() = default;

bool X11KeySource::trusted() const {
  if (!display_.empty()) return true;
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  // Under Wayland an X display is XWayland, which sees none of the native windows' keys.
  const char* session = std::getenv("XDG_SESSION_TYPE");
  if (set("WAYLAND_DISPLAY") || (session && std::strcmp(session, "wayland") == 0)) return false;
  return set("DISPLAY");
}

bool X11KeySource::start(Sink sink) {
  stop();
  if (!trusted()) return false;
  auto impl = std::make_unique<Impl>();
  impl->display = XOpenDisplay(display_.empty() ? nullptr : display_.c_str());
  if (!impl->display) return false;
  int event = 0, error = 0, major = 2, minor = 2;
  if (!XQueryExtension(impl->display, "XInputExtension", &impl->xiOpcode, &event, &error) ||
      XIQueryVersion(impl->display, &major, &minor) != Success || !seesGrabbedKeys(major, minor)) {
    // Before XInput 2.1 raw events stop while another client holds a grab: the Tab of the
    // window manager's Alt+Tab would go unseen and the Alt release would pass for a tap.
    log::line(
        "Talvane: the X server's XInput cannot show keys other clients grab; the Alt tap is off");
    return false;
  }
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawKeyPress);
  XISetMask(bits, XI_RawKeyRelease);
  XISetMask(bits, XI_RawButtonPress);
  XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
  XISelectEvents(impl->display, DefaultRootWindow(impl->display), &mask, 1);
  XFlush(impl->display);
  impl->sink = std::move(sink);
  Impl* raw = impl.get();
  impl->watch = SourceId(g_unix_fd_add(
      ConnectionNumber(impl->display), G_IO_IN,
      +[](int, GIOCondition, gpointer data) -> gboolean {
        guardCallback("the key watch", [data] { static_cast<Impl*>(data)->drain(); });
        return G_SOURCE_CONTINUE;
      },
      raw));
  impl_ = std::move(impl);
  return true;
}

void X11KeySource::stop() { impl_.reset(); }

}  // namespace talvane
