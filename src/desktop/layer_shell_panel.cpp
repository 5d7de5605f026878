#include "desktop/layer_shell_panel.h"

#include <gdk/gdkwayland.h>
#include <gtk-layer-shell/gtk-layer-shell.h>
#include <gtk/gtk.h>
#include <wayland-client.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

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

namespace {

// The xdg-output protocol by hand (no generated code in this build): request and event order is
// the wire opcode.
const wl_interface* noTypes[] = {nullptr, nullptr};
extern const wl_interface xdgOutput;
const wl_interface* getOutputTypes[] = {&xdgOutput, &wl_output_interface};
const wl_message managerRequests[] = {{"destroy", "", noTypes},
                                      {"get_xdg_output", "no", getOutputTypes}};
const wl_interface xdgOutputManager{"zxdg_output_manager_v1", 3, 2, managerRequests, 0, nullptr};
const wl_message outputRequests[] = {{"destroy", "", noTypes}};
const wl_message outputEvents[] = {{"logical_position", "ii", noTypes},
                                   {"logical_size", "ii", noTypes},
                                   {"done", "", noTypes},
                                   {"name", "2s", noTypes},
                                   {"description", "2s", noTypes}};
const wl_interface xdgOutput{"zxdg_output_v1", 3, 1, outputRequests, 5, outputEvents};

struct NamedOutput {
  int x = 0, y = 0;
  std::string name;
};

// The output manager and the outputs that a connection's registry announces.
struct Globals {
  wl_registry* registry = nullptr;
  wl_proxy* manager = nullptr;
  std::vector<wl_output*> outputs;
};

// `found` must outlive the connection's later round trips: the registry keeps reporting to it.
void bindOutputs(wl_display* display, Globals& found) {
  found.registry = wl_display_get_registry(display);
  static const wl_registry_listener listener = {
      [](void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
        auto* f = static_cast<Globals*>(data);
        if (std::strcmp(interface, "zxdg_output_manager_v1") == 0 && version >= 2)
          f->manager = static_cast<wl_proxy*>(wl_registry_bind(registry, id, &xdgOutputManager, 2));
        if (std::strcmp(interface, "wl_output") == 0)
          f->outputs.push_back(
              static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface, 1)));
      },
      [](void*, wl_registry*, uint32_t) {},
  };
  wl_registry_add_listener(found.registry, &listener, &found);
  wl_display_roundtrip(display);
}

// What the output manager tells of each output, in the order of `found.outputs`; blank without
// a manager.
std::vector<NamedOutput> askNames(wl_display* display, const Globals& found) {
  std::vector<NamedOutput> named(found.outputs.size());
  if (!found.manager) return named;
  using Position = void (*)(void*, wl_proxy*, int32_t, int32_t);
  using Text = void (*)(void*, wl_proxy*, const char*);
  using Plain = void (*)(void*, wl_proxy*);
  static const struct {
    Position position;
    Position size;
    Plain done;
    Text name;
    Text description;
  } events = {
      [](void* data, wl_proxy*, int32_t x, int32_t y) {
        static_cast<NamedOutput*>(data)->x = x;
        static_cast<NamedOutput*>(data)->y = y;
      },
      [](void*, wl_proxy*, int32_t, int32_t) {},
      [](void*, wl_proxy*) {},
      [](void* data, wl_proxy*, const char* name) {
        static_cast<NamedOutput*>(data)->name = name ? name : "";
      },
      [](void*, wl_proxy*, const char*) {},
  };
  std::vector<wl_proxy*> xdg;
  for (std::size_t i = 0; i < found.outputs.size(); ++i) {
    wl_proxy* out =
        wl_proxy_marshal_constructor(found.manager, 1, &xdgOutput, nullptr, found.outputs[i]);
    wl_proxy_add_listener(
        out,
        reinterpret_cast<void (**)(void)>(const_cast<void*>(static_cast<const void*>(&events))),
        &named[i]);
    xdg.push_back(out);
  }
  wl_display_roundtrip(display);
  for (wl_proxy* out : xdg) wl_proxy_destroy(out);
  return named;
}

// Each output's connector name and logical position, from a connection of our own.
std::vector<NamedOutput> namedOutputs() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return {};
  Globals found;
  bindOutputs(display, found);
  std::vector<NamedOutput> named = askNames(display, found);
  for (wl_output* out : found.outputs) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(out));
  if (found.manager) wl_proxy_destroy(found.manager);
  wl_registry_destroy(found.registry);
  wl_display_disconnect(display);
  return named;
}

}  // namespace

std::string LayerShellPanel::connectorAt(int x, int y) const {
  for (const auto& o : namedOutputs())
    if (o.x == x && o.y == y) return o.name;
  return {};
}

bool LayerShellPanel::configure(GtkWindow* window) {
  if (!gtk_layer_is_supported()) return false;
  gtk_layer_init_for_window(window);
  gtk_layer_set_namespace(window, "talvane");
  gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_TOP);
  gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_TOP, TRUE);
  gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_LEFT, TRUE);
  // Zero: kept clear of bars' exclusive zones without pushing anything itself.
  gtk_layer_set_exclusive_zone(window, 0);
  gtk_layer_set_keyboard_mode(window, GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
  // Seen before the web view takes them, and while a held button keeps them coming from outside.
  motion_.reset(G_OBJECT(gtk_event_controller_motion_new(GTK_WIDGET(window))));
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(motion_.get()),
                                             GTK_PHASE_CAPTURE);
  moved_ = connectSignal<void(GtkEventControllerMotion*, double, double)>(
      motion_.get(), "motion",
      [this](GtkEventControllerMotion*, double x, double y) { motion(x, y); });
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
  const bool moved = frame.x != shown_.x || frame.y != shown_.y;
  if (!dragging())
    dragStart_.reset();
  else if (moved && !dragStart_)
    dragStart_ = shown_;
  shown_ = frame;
  gtk_layer_set_monitor(window(), monitor);
  gtk_layer_set_margin(window(), GTK_LAYER_SHELL_EDGE_LEFT, int(std::lround(frame.x - origin.x)));
  gtk_layer_set_margin(window(), GTK_LAYER_SHELL_EDGE_TOP, int(std::lround(frame.y - origin.y)));
  if (moved && dragging()) awaitMove();
}

void LayerShellPanel::motion(double x, double y) {
  if (!dragging()) {
    dragStart_.reset();
    dragPointer_ = Point{shown_.x + x, shown_.y + y};
    last_ = previous_ = *dragPointer_;
    return;
  }
  // Until the compositor has taken the last move, a motion may be measured from the old place.
  if (moveSync_) return;
  // A motion with the button already up comes after the release (the pointer leaving us for
  // somewhere else, before our drag poll noticed): the drop is where the button came up.
  GdkModifierType state{};
  if (gtk_get_current_event_state(&state) && !(state & (GDK_BUTTON1_MASK | GDK_BUTTON3_MASK)))
    return;
  // During a drag some compositors (sway) measure motions from where the surface was when the
  // button went down, others from where it is now. The two readings differ by how far the
  // panel has moved; the one that continues the pointer's path is right, and once they are far
  // apart the answer holds for this compositor.
  Point now{shown_.x + x, shown_.y + y};
  if (dragStart_) {
    const Point atPress{dragStart_->x + x, dragStart_->y + y};
    if (fromPress_) {
      if (*fromPress_) now = atPress;
    } else {
      const Point predicted{2 * last_.x - previous_.x, 2 * last_.y - previous_.y};
      auto far = [&](Point a) { return std::hypot(a.x - predicted.x, a.y - predicted.y); };
      const bool pressed = far(atPress) < far(now);
      if (std::hypot(now.x - atPress.x, now.y - atPress.y) > kSure) fromPress_ = pressed;
      if (pressed) now = atPress;
    }
  }
  previous_ = last_;
  last_ = now;
  dragPointer_ = now;
}

LayerShellPanel::~LayerShellPanel() {
  if (moveSync_) wl_callback_destroy(moveSync_);
}

void LayerShellPanel::awaitMove() {
  GdkWindow* g = gtk_widget_get_window(widget());
  if (!g || !GDK_IS_WAYLAND_WINDOW(g)) return;
  wl_surface* surface = gdk_wayland_window_get_wl_surface(g);
  wl_display* display = gdk_wayland_display_get_wl_display(gdk_window_get_display(g));
  if (!surface || !display) return;
  // The new margins take effect on a commit; a round trip after it marks where motions start
  // being measured from the new place. Motions in between are dropped: added to the new place
  // they would run ahead of the pointer, and each move would push the panel further.
  wl_surface_commit(surface);
  if (moveSync_) wl_callback_destroy(moveSync_);
  moveSync_ = wl_display_sync(display);
  static const wl_callback_listener listener{
      [](void* self, wl_callback* callback, uint32_t) {
        auto* p = static_cast<LayerShellPanel*>(self);
        wl_callback_destroy(callback);
        if (p->moveSync_ == callback) p->moveSync_ = nullptr;
      },
  };
  wl_callback_add_listener(moveSync_, &listener, this);
  wl_display_flush(display);
}

std::optional<PointerSample> LayerShellPanel::queryPointer() const {
  GdkDisplay* display = gdk_display_get_default();
  GdkWindow* ours = window() ? gtk_widget_get_window(widget()) : nullptr;
  auto frame = stageFrame();
  if (!display || !ours || !frame) return std::nullopt;
  GdkDevice* device = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
  if (!device) return std::nullopt;
  double x = 0, y = 0;
  GdkModifierType mask{};
  gdk_window_get_device_position_double(ours, device, &x, &y, &mask);
  const bool button = (mask & (GDK_BUTTON1_MASK | GDK_BUTTON3_MASK)) != 0;
  // A drag holds the pointer: its motions come to us wherever it is, measured from where the
  // surface was when each was sent.
  if (dragging() && dragPointer_) return PointerSample{*dragPointer_, button};
  // Not over our surface: as far as we can tell, far away. A button pressed on it keeps the
  // pointer ours wherever it goes.
  if (!button && !gdk_device_get_window_at_position(device, nullptr, nullptr))
    return PointerSample{{-1e6, -1e6}, false};
  return PointerSample{{frame->x + x, frame->y + y}, button};
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
