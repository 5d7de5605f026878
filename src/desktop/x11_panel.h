#pragma once
// The panel on an X11 desktop: a dock-type window outside the window manager's care
// (override-redirect), moved by absolute position. Window managers wrap managed windows in
// frames that ignore the panel's input shape and would swallow every click around the strip;
// unmanaged, the panel keeps itself above by raising itself whenever another window is mapped
// or restacked. The pointer comes from XQueryPointer. It watches the root window's active
// window (a fullscreen one on its screen sends the strip aside) and work area (bars' struts).

#include "desktop/gtk_panel.h"

namespace talvane {

class X11Panel final : public GtkPanel {
 public:
  using GtkPanel::GtkPanel;
  ~X11Panel() override;
  // An event on the root window or the followed active window (from GDK's event filter).
  void rootEvent(const void* xevent);

 protected:
  bool configure(GtkWindow* window) override;
  void moveTo(const Rect& frame, const Screen* screen) override;
  std::optional<PointerSample> queryPointer() const override;
  void focusWindow(bool on) override;

 private:
  // Reads the active window and whether it is fullscreen on the panel's screen.
  void checkFullscreen();

  int xiOpcode_ = -1;  // XInput's, once the pointer's raw motion is watched
  unsigned long previousFocus_ = 0;
  unsigned long active_ = 0;  // the active window whose state changes we follow
  bool watchingRoot_ = false;
};

}  // namespace talvane
