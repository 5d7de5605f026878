#pragma once
// The panel on a Wayland compositor with the layer-shell protocol: a surface on the top layer
// (fullscreen windows cover it; the overlay layer would cover them) anchored to the top-left of
// its monitor's usable area (below bars' exclusive zones) and placed by margins. A Wayland client
// only sees the pointer over its own surface, so the closed strip keeps taking input where it
// hovers, and a drag follows the pointer through the motions its own surface receives.

#include "desktop/gtk_panel.h"
#include "platform/gobject.h"

namespace talvane {

class LayerShellPanel final : public GtkPanel {
 public:
  using GtkPanel::GtkPanel;

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
  GObjectPtr<GObject> motion_;
};

}  // namespace talvane
