#pragma once
// The panel as a GTK window holding the page's web view: what X11 and layer-shell panels share
// (screens, placement, dragging, click-through, focus, clipboard). Each back end supplies how
// the window is set up and moved and where the pointer is.

#include <memory>
#include <optional>
#include <vector>

#include "desktop/placement.h"
#include "desktop/web_view_host.h"
#include "notch/desktop.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/signal_connection.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _cairo cairo_t;

namespace talvane {

// Puts `text` on the CLIPBOARD selection; false when the display would not let this app own it.
bool copyToClipboard(const std::string& text);

class GtkPanel : public PanelWindow,
                 public Keyboard,
                 public NoDictation,
                 public Clipboard,
                 public AppShell {
 public:
  GtkPanel(SettingsStore& store, EventLoop& loop);
  ~GtkPanel() override;
  GtkPanel(const GtkPanel&) = delete;
  GtkPanel& operator=(const GtkPanel&) = delete;

  Desktop parts() { return {*this, *this, *this, *this, *this}; }
  WebViewHost& host() { return *host_; }
  // Creates the window at its place and shows it; false when the back end cannot.
  bool show();
  GtkWindow* window() const { return window_; }
  // Screens as the back end last read them.
  const std::vector<Screen>& screens() const { return screens_; }

  // PanelWindow
  PanelGeometry geometry() const override;
  std::optional<Rect> stageFrame() const override;
  std::optional<Rect> screenFrame() const override;
  std::optional<Rect> demoScreenFrame() const override;
  // A strip out of sight does not open under a passing pointer, and while the screen is locked
  // an open panel is not closed by one either.
  std::optional<PointerSample> readPointer() const override {
    if (locked_ || (fullscreenBelow_ && !open_)) return std::nullopt;
    return queryPointer();
  }
  void setOpen(bool open) override;
  void setInteractive(bool on) override;
  void setDrawn(const Rect& drawn) override;
  void beginDrag() override;
  void followCursor() override;
  void endDrag() override;
  bool dragging() const override { return dragging_; }
  void resetPosition() override;
  bool supportsGlass() const override { return false; }
  void placeGlass(const GlassRequest&) override {}

  // Keyboard
  bool supportsGlobalKeys() const override { return false; }
  void takeFocus() override;
  void releaseFocus() override;
  bool focused() const override { return focused_; }
  void pauseHotKeys() override {}
  void reloadHotKeys() override {}
  void askAccessibility() override {}

  // The screen is locked: nothing of the panel shows (the page then counts as hidden and stops
  // animating) until it is unlocked.
  void setScreenLocked(bool on);

  // Clipboard
  bool copyText(const std::string& text) override;

  // AppShell
  bool supportsMenu() const override { return false; }
  void showMenu() override {}
  void checkUpdates() override {}
  void quit() override;
  std::function<void()> onQuit;

 protected:
  // Before the window is realized: type hints, layer-shell set-up.
  virtual bool configure(GtkWindow* window) = 0;
  virtual void moveTo(const Rect& frame, const Screen* screen) = 0;
  virtual std::optional<PointerSample> queryPointer() const = 0;
  // Where a closed, non-interactive panel still takes input (in stage coordinates).
  virtual std::optional<Rect> closedInput(const Rect& drawn) const;
  virtual void focusWindow(bool on) = 0;
  // The connector ("DP-1") of the monitor at this position when the back end knows it
  // separately from GDK's model name.
  virtual std::string connectorAt(int /*x*/, int /*y*/) const { return {}; }

  // A fullscreen window is active on the panel's screen: the closed strip steps aside.
  void setFullscreenBelow(bool on);
  // Whether a window covering `frame` sits on the panel's screen.
  bool onPanelScreen(const Rect& frame) const;

  void readScreens();
  // Re-places the window after a screen change and tells the controller.
  void screensChanged();
  GtkWidget* widget() const { return reinterpret_cast<GtkWidget*>(window_); }

  EventLoop& loop_;

 private:
  std::optional<Placement> placement() const;
  void place();
  void applyInput();
  void animateTo(const Rect& target);
  void applyVisibility();
  // Clears the area and, once a page is asked for and until its first frame, draws the closed
  // strip there. The first frame adds the web view.
  int onDraw(cairo_t* cr);
  void drawPlaceholder(cairo_t* cr);
  // The page's first frame is drawn: the placeholder goes.
  void pagePainted();
  void addView();
  // Once the panel has been used and then left closed, the page starts over in a fresh web
  // process (see WebViewHost::renew).
  void considerRenewal();
  static constexpr double kRenewAfter = 12;
  // How long after the page's first shape the placeholder stays at most.
  static constexpr double kPaintLimit = 3;

  SettingsStore& store_;
  std::unique_ptr<WebViewHost> host_;
  GtkWindow* window_ = nullptr;
  std::vector<Screen> screens_;
  std::size_t home_ = 0;
  Rect frame_{0, 0, Placing::kStageWidth, Placing::kStageHeight};
  Rect drawn_{260, 0, 200, 32};
  bool open_ = false;
  bool interactive_ = false;
  bool focused_ = false;
  bool dragging_ = false;
  bool draggedOnce_ = false;
  bool pageDrawn_ = false;
  bool used_ = false;  // opened since the page last started
  TimerHandle renewal_;
  bool fullscreenBelow_ = false;
  bool locked_ = false;
  bool loadsReleased_ = false;
  TimerHandle placeholderOff_;
  TimerHandle releaseLoads_;
  TimerHandle dragPoll_;
  TimerHandle settling_;
  std::vector<SignalConnection> signals_;
};

}  // namespace talvane
