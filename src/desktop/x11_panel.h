#pragma once
// The panel on an X11 desktop: a dock-type window outside the window manager's care
// (override-redirect), moved by absolute position. Window managers wrap managed windows in
// frames that ignore the panel's input shape and would swallow every click around the strip;
// unmanaged, the panel keeps itself above by raising itself whenever another window is mapped
// or restacked. The pointer comes from XQueryPointer.

#include "desktop/gtk_panel.h"

namespace talvane {

class X11Panel final : public GtkPanel {
 public:
  using GtkPanel::GtkPanel;
  ~X11Panel() override;

 protected:
  bool configure(GtkWindow* window) override;
  void moveTo(const Rect& frame, const Screen* screen) override;
  std::optional<PointerSample> queryPointer() const override;
  void focusWindow(bool on) override;

 private:
  unsigned long previousFocus_ = 0;
  bool watchingRoot_ = false;
};

}  // namespace talvane
