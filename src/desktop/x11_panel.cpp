#include "desktop/x11_panel.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cmath>

namespace talvane {

namespace {

Display* xdisplay() {
  GdkDisplay* d = gdk_display_get_default();
  return d && GDK_IS_X11_DISPLAY(d) ? gdk_x11_display_get_xdisplay(d) : nullptr;
}

// Another top-level window was mapped or restacked: stay on top of it.
GdkFilterReturn keepAbove(GdkXEvent* xevent, GdkEvent*, gpointer data) {
  auto* e = static_cast<XEvent*>(xevent);
  if (e->type != MapNotify && e->type != ConfigureNotify) return GDK_FILTER_CONTINUE;
  auto* window = static_cast<GtkWidget*>(data);
  GdkWindow* ours = gtk_widget_get_window(window);
  if (!ours || !gdk_window_is_visible(ours)) return GDK_FILTER_CONTINUE;
  const Window changed = e->type == MapNotify ? e->xmap.window : e->xconfigure.window;
  if (changed == GDK_WINDOW_XID(ours)) return GDK_FILTER_CONTINUE;
  XRaiseWindow(GDK_WINDOW_XDISPLAY(ours), GDK_WINDOW_XID(ours));
  return GDK_FILTER_CONTINUE;
}

}  // namespace

X11Panel::~X11Panel() {
  if (watchingRoot_) gdk_window_remove_filter(gdk_get_default_root_window(), keepAbove, widget());
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
  gdk_window_set_events(root, GdkEventMask(gdk_window_get_events(root) | GDK_SUBSTRUCTURE_MASK));
  gdk_window_add_filter(root, keepAbove, window);
  watchingRoot_ = true;
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
