#pragma once
// The panel on a Wayland compositor with the layer-shell protocol: a surface on the top layer
// (fullscreen windows cover it; the overlay layer would cover them) anchored to the top-left of
// its monitor's usable area (below bars' exclusive zones) and placed by margins. A Wayland client
// only sees the pointer over its own surface, so the closed strip keeps taking input where it
// hovers, and a drag follows the pointer through the motions its own surface receives.

#include "desktop/gtk_panel.h"
#include "platform/gobject.h"
#include "platform/signal_connection.h"

struct wl_callback;

namespace talvane {

class LayerShellPanel final : public GtkPanel {
 public:
  using GtkPanel::GtkPanel;
  ~LayerShellPanel() override;

  // Whether the compositor behind WAYLAND_DISPLAY offers layer-shell; asked before GTK starts,
  // since GTK cannot change its back end afterwards.
  static bool compositorSupports();

 protected:
  bool configure(GtkWindow* window) override;
  void moveTo(const Rect& frame, const Screen* screen) override;
  std::optional<PointerSample> queryPointer() const override;
  std::optional<Rect> closedInput(const Rect& drawn) const override;
  void focusWindow(bool on) override;
  std::string connectorAt(int x, int y) const override;

 private:
  // The last pointer position our surface was told of, in global coordinates: while a button
  // is held the surface keeps receiving motions outside itself, relative to where it was.
  std::optional<Point> dragPointer_;
  Rect shown_;  // where the surface was last placed
  // Commits a move made during a drag and asks the compositor for a round trip after it.
  void awaitMove();
  // A pointer motion over (or, while a button is held, anywhere outside) our surface.
  void motion(double x, double y);
  // How far apart the two readings of a drag motion must be to tell which one is right.
  static constexpr double kSure = 40;
  std::optional<Rect> dragStart_;    // where the surface was when the drag moved it first
  Point last_, previous_;            // the pointer's last two positions, for its path
  std::optional<bool> fromPress_;    // whether this compositor measures drags from the press
  wl_callback* moveSync_ = nullptr;  // the round trip after the last move, until done
  GObjectPtr<GObject> motion_;
  SignalConnection moved_;
};

}  // namespace talvane
