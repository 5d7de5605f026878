#include "desktop/onboarding_window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace talvane {

namespace {

constexpr double kFadeTick = 0.016;

}  // namespace

GtkOnboardingWindow::GtkOnboardingWindow(EventLoop& loop, WebViewHost* related)
    : loop_(loop), host_(related) {
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  GtkWidget* w = GTK_WIDGET(window_);
  gtk_window_set_title(window_, "Welcome to Talvane");
  gtk_window_set_decorated(window_, FALSE);
  gtk_window_set_resizable(window_, FALSE);
  gtk_window_set_keep_above(window_, TRUE);
  gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(window_, GTK_WIN_POS_CENTER);
  gtk_widget_set_size_request(w, int(kWidth), height_);
  gtk_widget_set_app_paintable(w, TRUE);
  if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(w)))
    gtk_widget_set_visual(w, rgba);
  // The page draws its own rounded card; the corners outside it show the desktop.
  auto clear = [](GtkWidget*, cairo_t* cr) -> gboolean {
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, 0, 0, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    return FALSE;
  };
  connectSignal<gboolean(GtkWidget*, cairo_t*)>(w, "draw", clear).detach();
  // Closing through the window manager takes the same road as the page's "done".
  closing_ = connectSignal<gboolean(GtkWidget*, GdkEvent*)>(w, "delete-event",
                                                            [this](GtkWidget*, GdkEvent*) {
                                                              if (onCloseRequest) onCloseRequest();
                                                              return gboolean(TRUE);
                                                            });
  gtk_container_add(GTK_CONTAINER(w), host_.widget());
}

GtkOnboardingWindow::~GtkOnboardingWindow() {
  fade_.cancel();
  revealLate_.cancel();
  closing_.disconnect();
  // The host removes its view from the window before the window goes.
  gtk_container_remove(GTK_CONTAINER(window_), host_.widget());
  gtk_widget_destroy(GTK_WIDGET(window_));
}

void GtkOnboardingWindow::show(WebStage& stage) {
  host_.attach(stage);
  stage.setHost(&host_);
  // Mapped but see-through until the page has drawn its first frame (WebKit draws nothing for
  // an unmapped view): never an empty window on screen. A page that never says so is shown
  // after a while all the same.
  GtkWidget* w = GTK_WIDGET(window_);
  gtk_widget_realize(w);  // GTK passes a toplevel's opacity on only once it has a window
  gtk_widget_set_opacity(w, 0);
  cairo_region_t* none = cairo_region_create();  // nor does it take clicks meanwhile
  gtk_widget_input_shape_combine_region(w, none);
  cairo_region_destroy(none);
  host_.onPainted = [this] { reveal(); };
  revealLate_ = loop_.after(kRevealLimit, [this] { reveal(); });
  gtk_widget_show_all(w);
  centre();
  gtk_window_present(window_);
  gtk_widget_grab_focus(host_.widget());
}

void GtkOnboardingWindow::reveal() {
  revealLate_.cancel();
  host_.onPainted = nullptr;
  if (fade_) return;
  gtk_widget_input_shape_combine_region(GTK_WIDGET(window_), nullptr);
  gtk_widget_set_opacity(GTK_WIDGET(window_), 1);
}

void GtkOnboardingWindow::resize(double height) {
  if (!std::isfinite(height)) return;
  // Never taller than the screen's work area, never too small to hold anything.
  int limit = 4096;
  if (GdkWindow* g = gtk_widget_get_window(GTK_WIDGET(window_))) {
    GdkDisplay* display = gdk_window_get_display(g);
    if (GdkMonitor* m = gdk_display_get_monitor_at_window(display, g)) {
      GdkRectangle area;
      gdk_monitor_get_workarea(m, &area);
      limit = std::max(area.height, 100);
    }
  }
  height_ = std::clamp(int(std::lround(height)), 100, limit);
  // The window's gravity is its top-left corner: the top edge stays where it is.
  gtk_widget_set_size_request(GTK_WIDGET(window_), int(kWidth), height_);
  gtk_window_resize(window_, int(kWidth), height_);
}

void GtkOnboardingWindow::centre() {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  GdkMonitor* m = gdk_display_get_primary_monitor(display);
  if (!m && gdk_display_get_n_monitors(display) > 0) m = gdk_display_get_monitor(display, 0);
  if (!m) return;
  GdkRectangle area;
  gdk_monitor_get_workarea(m, &area);
  gtk_window_move(window_, area.x + (area.width - int(kWidth)) / 2,
                  area.y + std::max(0, (area.height - height_) / 2));
}

void GtkOnboardingWindow::fadeOut(std::function<void()> closed) {
  revealLate_.cancel();
  host_.onPainted = nullptr;
  fade_.cancel();
  const Date start = loop_.now();
  fade_ = loop_.every(kFadeTick, 0, [this, start, closed = std::move(closed)] {
    const double t = (loop_.now() - start) / kFadeSeconds;
    gtk_widget_set_opacity(GTK_WIDGET(window_), std::max(0.0, 1.0 - t));
    if (t < 1) return;
    gtk_widget_hide(GTK_WIDGET(window_));
    auto done = closed;  // the timer and this lambda go with cancel()
    fade_.cancel();
    if (done) done();
  });
}

}  // namespace talvane
