#include "desktop/layer_shell_panel.h"

#include <gtk-layer-shell/gtk-layer-shell.h>
#include <gtk/gtk.h>
#include <wayland-client.h>

#include <cmath>
#include <cstring>

#include "notch/hover.h"

namespace talvane {

bool LayerShellPanel::compositorSupports() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return false;
  bool found = false;
  wl_registry* registry = wl_display_get_registry(display);
  static const wl_registry_listener listener = {
      [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
        if (std::strcmp(interface, "zwlr_layer_shell_v1") == 0) *static_cast<bool*>(data) = true;
      },
      [](void*, wl_registry*, uint32_t) {},
  };
  wl_registry_add_listener(registry, &listener, &found);
  wl_display_roundtrip(display);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return found;
}

bool LayerShellPanel::configure(GtkWindow* window) {
  if (!gtk_layer_is_supported()) return false;
  gtk_layer_init_for_window(window);
  gtk_layer_set_namespace(window, "talvane");
  gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_TOP);
  gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_TOP, TRUE);
  gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_LEFT, TRUE);
  gtk_layer_set_exclusive_zone(window, -1);  // hangs over bars instead of pushing them
  gtk_layer_set_keyboard_mode(window, GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
  return true;
}

void LayerShellPanel::moveTo(const Rect& frame, const Screen* screen) {
  GdkMonitor* monitor = nullptr;
  Rect origin;
  if (screen) {
    GdkDisplay* display = gdk_display_get_default();
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
      GdkMonitor* m = gdk_display_get_monitor(display, i);
      GdkRectangle g;
      gdk_monitor_get_geometry(m, &g);
      if (g.x == int(screen->frame.x) && g.y == int(screen->frame.y)) monitor = m;
    }
    origin = screen->frame;
  }
  gtk_layer_set_monitor(window(), monitor);
  gtk_layer_set_margin(window(), GTK_LAYER_SHELL_EDGE_LEFT, int(std::lround(frame.x - origin.x)));
  gtk_layer_set_margin(window(), GTK_LAYER_SHELL_EDGE_TOP, int(std::lround(frame.y - origin.y)));
}

std::optional<PointerSample> LayerShellPanel::queryPointer() const {
  GdkDisplay* display = gdk_display_get_default();
  GdkWindow* ours = window() ? gtk_widget_get_window(widget()) : nullptr;
  auto frame = stageFrame();
  if (!display || !ours || !frame) return std::nullopt;
  GdkDevice* device = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
  if (!device) return std::nullopt;
  // Not over our surface: as far as we can tell, far away.
  if (!gdk_device_get_window_at_position(device, nullptr, nullptr))
    return PointerSample{{-1e6, -1e6}, false};
  double x = 0, y = 0;
  GdkModifierType mask{};
  gdk_window_get_device_position_double(ours, device, &x, &y, &mask);
  return PointerSample{{frame->x + x, frame->y + y},
                       (mask & (GDK_BUTTON1_MASK | GDK_BUTTON3_MASK)) != 0};
}

std::optional<Rect> LayerShellPanel::closedInput(const Rect& drawn) const {
  return Hover::hitZone(drawn, false);
}

void LayerShellPanel::focusWindow(bool on) {
  gtk_layer_set_keyboard_mode(
      window(), on ? GTK_LAYER_SHELL_KEYBOARD_MODE_ON_DEMAND : GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
  if (on) gtk_window_present(window());
}

}  // namespace talvane
