#pragma once
// The panel on an X11 desktop: a dock-type window the window manager keeps above and on every
// workspace, moved by absolute position; the pointer comes from XQueryPointer.

#include "desktop/gtk_panel.h"

namespace talvane {

class X11Panel final : public GtkPanel {
 public:
  using GtkPanel::GtkPanel;

 protected:
  bool configure(GtkWindow* window) override;
  void moveTo(const Rect& frame, const Screen* screen) override;
  std::optional<PointerSample> queryPointer() const override;
  void focusWindow(bool on) override;

 private:
  unsigned long previousFocus_ = 0;
};

}  // namespace talvane
