#include "desktop/x11_panel.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cmath>

#include "platform/signal_connection.h"

namespace talvane {

namespace {

Display* xdisplay() {
  GdkDisplay* d = gdk_display_get_default();
  return d && GDK_IS_X11_DISPLAY(d) ? gdk_x11_display_get_xdisplay(d) : nullptr;
}

Atom atom(Display* d, const char* name) { return XInternAtom(d, name, False); }

// The window named by a WINDOW-typed property of `w`; 0 when absent.
Window windowProperty(Display* d, Window w, const char* name) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, left = 0;
  unsigned char* data = nullptr;
  Window found = 0;
  if (XGetWindowProperty(d, w, atom(d, name), 0, 1, False, XA_WINDOW, &type, &format, &count, &left,
                         &data) == Success &&
      data && format == 32 && count == 1)
    found = *reinterpret_cast<Window*>(data);
  if (data) XFree(data);
  return found;
}

bool hasState(Display* d, Window w, const char* state) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, left = 0;
  unsigned char* data = nullptr;
  bool found = false;
  if (XGetWindowProperty(d, w, atom(d, "_NET_WM_STATE"), 0, 64, False, XA_ATOM, &type, &format,
                         &count, &left, &data) == Success &&
      data && format == 32) {
    const Atom wanted = atom(d, state);
    const auto* atoms = reinterpret_cast<Atom*>(data);
    for (unsigned long i = 0; i < count; ++i) found |= atoms[i] == wanted;
  }
  if (data) XFree(data);
  return found;
}

GdkFilterReturn filter(GdkXEvent* xevent, GdkEvent*, gpointer self) {
  guardCallback("the root window's events",
                [&] { static_cast<X11Panel*>(self)->rootEvent(xevent); });
  return GDK_FILTER_CONTINUE;
}

}  // namespace

X11Panel::~X11Panel() {
  if (watchingRoot_) gdk_window_remove_filter(nullptr, filter, this);
}

void X11Panel::rootEvent(const void* xevent) {
  const auto* e = static_cast<const XEvent*>(xevent);
  if (e->type == GenericEvent) {
    if (e->xcookie.extension == xiOpcode_ && e->xcookie.evtype == XI_RawMotion && onPointerMoved)
      onPointerMoved();
    return;
  }
  GdkWindow* ours = window() ? gtk_widget_get_window(widget()) : nullptr;
  if (!ours) return;
  Display* d = GDK_WINDOW_XDISPLAY(ours);
  if (e->type == PropertyNotify) {
    const Atom changed = e->xproperty.atom;
    if (changed == atom(d, "_NET_WORKAREA")) {
      // A bar came, went or changed its struts.
      screensChanged();
    } else if (changed == atom(d, "_NET_ACTIVE_WINDOW") ||
               (e->xproperty.window == active_ && changed == atom(d, "_NET_WM_STATE"))) {
      checkFullscreen();
    }
    return;
  }
  if (e->type != MapNotify && e->type != ConfigureNotify) return;
  const Window changed = e->type == MapNotify ? e->xmap.window : e->xconfigure.window;
  if (changed == GDK_WINDOW_XID(ours)) return;
  // A window moved between screens may have taken the fullscreen state with it.
  if (e->type == ConfigureNotify && active_) checkFullscreen();
  // Another top-level window was mapped or restacked: stay on top of it.
  if (gdk_window_is_visible(ours)) XRaiseWindow(d, GDK_WINDOW_XID(ours));
}

void X11Panel::checkFullscreen() {
  Display* d = xdisplay();
  if (!d) return;
  GdkDisplay* display = gdk_display_get_default();
  gdk_x11_display_error_trap_push(display);
  const Window root = DefaultRootWindow(d);
  const Window active = windowProperty(d, root, "_NET_ACTIVE_WINDOW");
  if (active != active_) {
    // Follow the new active window's state; the old one is no concern of ours any more.
    if (active_) XSelectInput(d, active_, NoEventMask);
    active_ = active;
    if (active_) XSelectInput(d, active_, PropertyChangeMask | StructureNotifyMask);
  }
  bool fullscreen = false;
  XWindowAttributes a;
  if (active_ && hasState(d, active_, "_NET_WM_STATE_FULLSCREEN") &&
      XGetWindowAttributes(d, active_, &a)) {
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(d, active_, root, 0, 0, &x, &y, &child);
    const double scale = gtk_widget_get_scale_factor(widget());
    fullscreen = onPanelScreen({x / scale, y / scale, a.width / scale, a.height / scale});
  }
  gdk_x11_display_error_trap_pop_ignored(display);
  setFullscreenBelow(fullscreen);
}

bool X11Panel::configure(GtkWindow* window) {
  if (!xdisplay()) return false;
  // A dock to compositors (no shadow, no animation); unmanaged, so no frame swallows clicks.
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DOCK);
  gtk_widget_realize(GTK_WIDGET(window));
  GdkWindow* g = gtk_widget_get_window(GTK_WIDGET(window));
  if (!g) return false;
  gdk_window_set_override_redirect(g, TRUE);
  GdkWindow* root = gdk_get_default_root_window();
  gdk_window_set_events(root, GdkEventMask(gdk_window_get_events(root) | GDK_SUBSTRUCTURE_MASK |
                                           GDK_PROPERTY_CHANGE_MASK));
  // Every window's events: the followed active window is foreign to GDK.
  gdk_window_add_filter(nullptr, filter, this);
  watchingRoot_ = true;
  // The pointer's motion anywhere, as the mouse reports it (observed, never grabbed): a pointer
  // heading for the strip opens it without waiting for the slow poll to notice.
  // GDK has agreed its XInput version on this connection already; asking again is an error.
  Display* d = GDK_WINDOW_XDISPLAY(g);
  int event = 0, error = 0, opcode = 0;
  if (XQueryExtension(d, "XInputExtension", &opcode, &event, &error)) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    GdkDisplay* display = gdk_window_get_display(g);
    gdk_x11_display_error_trap_push(display);
    XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
    if (gdk_x11_display_error_trap_pop(display) == Success) xiOpcode_ = opcode;
  }
  checkFullscreen();
  return true;
}

void X11Panel::moveTo(const Rect& frame, const Screen*) {
  gtk_window_move(window(), int(std::lround(frame.x)), int(std::lround(frame.y)));
}

std::optional<PointerSample> X11Panel::queryPointer() const {
  Display* d = xdisplay();
  if (!d) return std::nullopt;
  Window root = DefaultRootWindow(d), rootOut = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(d, root, &rootOut, &child, &rx, &ry, &wx, &wy, &mask)) return std::nullopt;
  // The server counts device pixels; screens and the stage are in GDK's scaled pixels.
  const double scale = window() ? gtk_widget_get_scale_factor(widget()) : 1;
  return PointerSample{{rx / scale, ry / scale}, (mask & (Button1Mask | Button3Mask)) != 0};
}

void X11Panel::focusWindow(bool on) {
  Display* d = xdisplay();
  GdkWindow* g = gtk_widget_get_window(widget());
  if (!d || !g) return;
  GdkDisplay* display = gdk_display_get_default();
  const Window ours = GDK_WINDOW_XID(g);
  gdk_x11_display_error_trap_push(display);
  if (on) {
    Window current = 0;
    int revert = 0;
    XGetInputFocus(d, &current, &revert);
    if (current != ours) previousFocus_ = current;
    // Asked of the server directly: window managers do not focus docks on request.
    XSetInputFocus(d, ours, RevertToPointerRoot, CurrentTime);
  } else {
    Window current = 0;
    int revert = 0;
    XGetInputFocus(d, &current, &revert);
    if (current == ours && previousFocus_ > 1)
      XSetInputFocus(d, previousFocus_, RevertToPointerRoot, CurrentTime);
    else if (current == ours)
      XSetInputFocus(d, PointerRoot, RevertToPointerRoot, CurrentTime);
    previousFocus_ = 0;
  }
  XFlush(d);
  gdk_x11_display_error_trap_pop_ignored(display);
}

}  // namespace talvane
