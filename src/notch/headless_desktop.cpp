#include "notch/headless_desktop.h"

namespace talvane {

PanelGeometry HeadlessDesktop::geometry() const { return {}; }

void HeadlessDesktop::quit() {
  if (onQuit) onQuit();
}

}  // namespace talvane
