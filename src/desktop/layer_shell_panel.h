#pragma once
// The panel on a Wayland compositor with the layer-shell protocol: a surface on the top layer
// anchored to the top-left of its monitor and placed by margins. A Wayland client only sees the
// pointer over its own surface, so the closed strip keeps taking input where it hovers.

#include "desktop/gtk_panel.h"

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
};

}  // namespace talvane
