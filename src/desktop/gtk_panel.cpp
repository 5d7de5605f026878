#include "desktop/gtk_panel.h"

#include <gtk/gtk.h>

#include <cmath>

#include "platform/log.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

// The drag follows the pointer at about a frame's pace.
constexpr double kDragTick = 0.016;

}  // namespace

bool copyToClipboard(const std::string& text) {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  if (!clipboard) return false;
  GtkTargetList* list = gtk_target_list_new(nullptr, 0);
  gtk_target_list_add_text_targets(list, 0);
  gint n = 0;
  GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &n);
  gtk_target_list_unref(list);
  // gtk_clipboard_set_text hides whether the display let us own the selection; this says so.
  // The clipboard owns the text once it took it, and frees it when another owner comes.
  auto kept = std::make_unique<std::string>(text);
  const gboolean owned = gtk_clipboard_set_with_data(
      clipboard, targets, guint(n),
      +[](GtkClipboard*, GtkSelectionData* data, guint, gpointer p) {
        const auto* t = static_cast<const std::string*>(p);
        gtk_selection_data_set_text(data, t->c_str(), gint(t->size()));
      },
      +[](GtkClipboard*, gpointer p) {
        const std::unique_ptr<std::string> dropped(static_cast<std::string*>(p));
      },
      kept.get());
  gtk_target_table_free(targets, n);
  if (!owned) return false;
  (void)kept.release();
  return true;
}

GtkPanel::GtkPanel(SettingsStore& store, EventLoop& loop)
    : loop_(loop),
      store_(store),
      host_(std::make_unique<WebViewHost>(nullptr, /*deferred=*/true)) {}

void GtkPanel::addView() {
  GtkWidget* frame = host_->frame();
  signals_.push_back(connectSignal<gboolean(GtkWidget*, cairo_t*)>(
      frame, "draw", [this](GtkWidget*, cairo_t* cr) { return onDraw(cr); }));
  // Until the page has drawn, the placeholder stays on top of whatever the view shows: a view
  // whose web process is still starting draws nothing, and the strip would vanish meanwhile.
  signals_.push_back(connectSignal<gboolean(GtkWidget*, cairo_t*)>(
      frame, "draw",
      [this](GtkWidget*, cairo_t* cr) {
        drawPlaceholder(cr);
        return gboolean(FALSE);
      },
      G_CONNECT_AFTER));
  host_->onPainted = [this] { pagePainted(); };
  host_->onRenewed = [this] {
    applyInput();
    if (focused_) gtk_widget_grab_focus(host_->widget());
  };
  gtk_container_add(GTK_CONTAINER(widget()), frame);
  gtk_widget_show(frame);
  applyInput();
  host_->releaseLoads();
}

void GtkPanel::drawPlaceholder(cairo_t* cr) {
  if (pageDrawn_ || !host_->asked()) return;
  const auto shape = Placing::closedStrip(geometry());
  const Rect& r = shape.rect;
  const double* radius = shape.radii;
  cairo_save(cr);
  cairo_new_sub_path(cr);
  cairo_arc(cr, r.x + r.w - radius[1], r.y + radius[1], radius[1], -M_PI / 2, 0);
  cairo_arc(cr, r.x + r.w - radius[2], r.y + r.h - radius[2], radius[2], 0, M_PI / 2);
  cairo_arc(cr, r.x + radius[3], r.y + r.h - radius[3], radius[3], M_PI / 2, M_PI);
  cairo_arc(cr, r.x + radius[0], r.y + radius[0], radius[0], M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);  // the page's closed strip is black in either theme
  cairo_fill(cr);
  cairo_restore(cr);
}

void GtkPanel::pagePainted() {
  placeholderOff_.cancel();
  host_->onPainted = nullptr;
  if (pageDrawn_) return;
  pageDrawn_ = true;
  if (window_) gtk_widget_queue_draw(widget());
}

int GtkPanel::onDraw(cairo_t* cr) {
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, 0, 0, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
  drawPlaceholder(cr);
  if (!loadsReleased_) {
    loadsReleased_ = true;
    // After this frame is out: the web process starts while the strip is already on screen.
    releaseLoads_ = loop_.after(0, [this] {
      gdk_display_flush(gdk_display_get_default());
      addView();
    });
  }
  return FALSE;
}

GtkPanel::~GtkPanel() {
  dragPoll_.cancel();
  // Nothing of this panel is called while its window goes.
  signals_.clear();
  if (window_) gtk_widget_destroy(widget());
}

void GtkPanel::readScreens() {
  screens_.clear();
  home_ = 0;
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  GdkMonitor* primary = gdk_display_get_primary_monitor(display);
  std::optional<std::size_t> primaryIndex;
  const int n = gdk_display_get_n_monitors(display);
  for (int i = 0; i < n; ++i) {
    GdkMonitor* m = gdk_display_get_monitor(display, i);
    GdkRectangle g, w;
    gdk_monitor_get_geometry(m, &g);
    gdk_monitor_get_workarea(m, &w);
    const char* maker = gdk_monitor_get_manufacturer(m);
    const char* model = gdk_monitor_get_model(m);
    std::string name = maker && *maker ? std::string(maker) + " " : "";
    name += model ? model : "";
    std::string key = Placing::screenKey(connectorAt(g.x, g.y), name, i);
    if (Placing::find(screens_, key)) key += "-" + std::to_string(i);
    if (m == primary) primaryIndex = screens_.size();
    screens_.push_back({key,
                        {double(g.x), double(g.y), double(g.width), double(g.height)},
                        {double(w.x), double(w.y), double(w.width), double(w.height)}});
  }
  // One entry per GDK monitor, so an index here is the monitor's number.
  home_ = Placing::homeScreen(screens_.size(), primaryIndex, Placing::fakeNotch(),
                              Placing::demoScreen());
}

std::optional<Placement> GtkPanel::placement() const { return Placing::current(store_, screens_); }

bool GtkPanel::show() {
  readScreens();
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  GtkWidget* w = widget();
  gtk_window_set_title(window_, "Talvane");
  gtk_window_set_decorated(window_, FALSE);
  gtk_window_set_resizable(window_, FALSE);
  gtk_window_set_keep_above(window_, TRUE);
  gtk_window_stick(window_);
  gtk_window_set_skip_taskbar_hint(window_, TRUE);
  gtk_window_set_skip_pager_hint(window_, TRUE);
  gtk_window_set_accept_focus(window_, FALSE);
  gtk_window_set_focus_on_map(window_, FALSE);
  gtk_widget_set_size_request(w, int(Placing::kStageWidth), int(Placing::kStageHeight));
  gtk_widget_set_app_paintable(w, TRUE);
  if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(w)))
    gtk_widget_set_visual(w, rgba);
  if (!configure(window_)) {
    gtk_widget_destroy(w);
    window_ = nullptr;
    return false;
  }
  // The transparent parts of the page show the desktop. The view's own area is cleared too,
  // before it paints: a shape the page stopped drawing must not stay on screen. The view comes
  // after the window's first frame.
  signals_.push_back(connectSignal<gboolean(GtkWidget*, cairo_t*)>(
      w, "draw", [this](GtkWidget*, cairo_t* cr) { return onDraw(cr); }));
  signals_.push_back(connectSignal<gboolean(GtkWidget*, GdkEventKey*)>(
      w, "key-press-event", [this](GtkWidget*, GdkEventKey* e) {
        if (e->keyval == GDK_KEY_Escape && onEscape) onEscape();
        return gboolean(FALSE);  // the page sees the key too
      }));
  signals_.push_back(connectSignal<gboolean(GtkWidget*, GdkEventFocus*)>(
      w, "focus-out-event", [this](GtkWidget*, GdkEventFocus*) {
        if (focused_ && onFocusLost) onFocusLost();
        return gboolean(FALSE);
      }));

  GdkDisplay* display = gdk_display_get_default();
  for (const char* signal : {"monitor-added", "monitor-removed"})
    signals_.push_back(connectSignal<void(GdkDisplay*, GdkMonitor*)>(
        display, signal, [this](GdkDisplay*, GdkMonitor*) { screensChanged(); }));
  for (const char* signal : {"size-changed", "monitors-changed"})
    signals_.push_back(connectSignal<void(GdkScreen*)>(gdk_screen_get_default(), signal,
                                                       [this](GdkScreen*) { screensChanged(); }));

  gtk_widget_realize(w);
  applyInput();
  place();
  gtk_widget_show_all(w);
  applyVisibility();
  return true;
}

void GtkPanel::place() {
  settling_.cancel();
  const auto p = placement();
  frame_ = Placing::stageRect(screens_, home_, p);
  moveTo(frame_, Placing::screenOf(screens_, home_, p));
}

void GtkPanel::animateTo(const Rect& target) {
  const Rect from = frame_;
  const Date start = loop_.now();
  const Screen* screen = Placing::screenOf(screens_, home_, placement());
  frame_ = target;  // hover and the page see where it is going
  settling_ = loop_.every(kDragTick, 0, [this, from, target, start, screen] {
    const double t = (loop_.now() - start) / Placing::kSettleSeconds;
    moveTo(Placing::settle(from, target, t), screen);
    if (t >= 1) settling_.cancel();
  });
}

void GtkPanel::screensChanged() {
  readScreens();
  if (dragging_) return;
  place();
  if (onMoved) onMoved();
}

PanelGeometry GtkPanel::geometry() const {
  return Placing::geometry(screens_, home_, placement(), dragging_, Placing::fakeNotch());
}

std::optional<Rect> GtkPanel::stageFrame() const {
  if (!window_) return std::nullopt;
  return frame_;
}

std::optional<Rect> GtkPanel::screenFrame() const {
  const Screen* s = Placing::screenOf(screens_, home_, placement());
  if (!s) return std::nullopt;
  return s->frame;
}

std::optional<Rect> GtkPanel::demoScreenFrame() const {
  const Screen* s = Placing::demoScreenOf(screens_, home_, Placing::demoScreen());
  if (!s) return std::nullopt;
  return s->frame;
}

std::optional<Rect> GtkPanel::closedInput(const Rect&) const { return std::nullopt; }

void GtkPanel::applyInput() {
  if (!window_) return;
  const auto area = Placing::inputArea(drawn_, open_, interactive_, dragging_, closedInput(drawn_));
  cairo_region_t* region = cairo_region_create();
  if (area) {
    const cairo_rectangle_int_t r{int(std::floor(area->x)), int(std::floor(area->y)),
                                  int(std::ceil(area->w)), int(std::ceil(area->h))};
    cairo_region_union_rectangle(region, &r);
  }
  gtk_widget_input_shape_combine_region(widget(), region);
  host_->shapeInput(region);
  cairo_region_destroy(region);
}

void GtkPanel::setOpen(bool open) {
  if (open) used_ = true;
  open_ = open;
  if (!open) interactive_ = false;
  considerRenewal();
  applyInput();
  applyVisibility();
  if (open && window_) {
    if (GdkWindow* g = gtk_widget_get_window(widget())) gdk_window_raise(g);
  }
}

void GtkPanel::considerRenewal() {
  renewal_.cancel();
  if (open_ || dragging_ || focused_) {
    host_->cancelRenewal();
    return;
  }
  if (!used_ || !pageDrawn_) return;
  // The open panel leaves the web process holding tiles, layers and script memory it keeps
  // for next time. A panel that stays closed a while gets a fresh process instead.
  renewal_ = loop_.after(kRenewAfter, [this] {
    if (open_ || dragging_ || focused_) return;
    used_ = false;
    host_->renew();
  });
}

void GtkPanel::setFullscreenBelow(bool on) {
  if (fullscreenBelow_ == on) return;
  fullscreenBelow_ = on;
  applyVisibility();
}

bool GtkPanel::onPanelScreen(const Rect& frame) const {
  const Screen* s = Placing::screenOf(screens_, home_, placement());
  return s && s->frame.contains(frame.x + frame.w / 2, frame.y + frame.h / 2);
}

void GtkPanel::setScreenLocked(bool on) {
  if (locked_ == on) return;
  locked_ = on;
  applyVisibility();
}

void GtkPanel::applyVisibility() {
  if (!window_) return;
  const auto why = Placing::hidden(locked_, fullscreenBelow_, open_, dragging_);
  const bool hide = why != Placing::Hidden::no;
  if (hide == !gtk_widget_get_visible(widget())) return;
  log::line(why == Placing::Hidden::locked ? "Talvane: the screen is locked; the panel hides"
            : why == Placing::Hidden::fullscreen
                ? "Talvane: a fullscreen window is up; the strip steps aside"
                : "Talvane: the strip is back");
  if (hide)
    gtk_widget_hide(widget());
  else
    gtk_widget_show(widget());
}

void GtkPanel::setInteractive(bool on) {
  if (interactive_ == on) return;
  interactive_ = on;
  applyInput();
}

void GtkPanel::setDrawn(const Rect& drawn) {
  if (!pageDrawn_ && !placeholderOff_) {
    // The page says when its first frame is drawn; one that never does (an older page, a page
    // in a view that gets no frames) still takes over after a while.
    placeholderOff_ = loop_.after(kPaintLimit, [this] { pagePainted(); });
  }
  if (drawn_ == drawn) return;
  drawn_ = drawn;
  applyInput();
}

void GtkPanel::beginDrag() {
  if (dragging_ || !window_) return;
  auto p = pointer();
  if (!p || !p->buttonDown) {
    log::line("Talvane: the button was up before the drag began; the panel stays");
    return;
  }
  dragging_ = true;
  draggedOnce_ = false;
  considerRenewal();
  applyInput();
  followCursor();
  dragPoll_ = loop_.every(kDragTick, 0, [this] { followCursor(); });
}

void GtkPanel::followCursor() {
  if (!dragging_) return;
  auto p = pointer();
  if (!p || !p->buttonDown) {
    endDrag();
    return;
  }
  frame_ = Placing::dragFrame(p->at);
  const Screen* screen = nullptr;
  for (const auto& s : screens_)
    if (s.frame.contains(p->at.x, p->at.y)) screen = &s;
  moveTo(frame_, screen);
  if (!draggedOnce_) {
    draggedOnce_ = true;
    if (onMoved) onMoved();
  }
}

void GtkPanel::endDrag() {
  if (!dragging_) return;
  dragPoll_.cancel();
  // Read while still dragging: a layer-shell surface knows the pointer outside itself only as
  // the drag's motions.
  auto p = pointer();
  dragging_ = false;
  draggedOnce_ = false;
  if (p) Placing::remember(store_, Placing::drop(p->at, screens_, home_, placement()));
  animateTo(Placing::stageRect(screens_, home_, placement()));
  open_ = false;
  interactive_ = false;
  considerRenewal();
  applyInput();
  applyVisibility();  // a strip dropped beside a fullscreen window steps aside too
  if (onDragEnded) onDragEnded();
}

void GtkPanel::resetPosition() {
  Placing::forget(store_);
  place();
}

void GtkPanel::takeFocus() {
  if (!window_) return;
  focused_ = true;
  considerRenewal();
  gtk_window_set_accept_focus(window_, TRUE);
  focusWindow(true);
  if (GtkWidget* view = host_->widget()) gtk_widget_grab_focus(view);
}

void GtkPanel::releaseFocus() {
  if (!focused_) return;
  focused_ = false;
  considerRenewal();
  if (!window_) return;
  focusWindow(false);
  gtk_window_set_accept_focus(window_, FALSE);
}

bool GtkPanel::copyText(const std::string& text) { return copyToClipboard(text); }

void GtkPanel::quit() {
  if (onQuit) onQuit();
}

}  // namespace talvane
