#include "desktop/desktop_factory.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdlib>

#include "desktop/layer_shell_panel.h"
#include "desktop/onboarding_window.h"
#include "desktop/x11_panel.h"
#include "notch/headless_desktop.h"
#include "platform/log.h"

namespace talvane {

namespace {

bool has(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

template <typename Panel>
std::unique_ptr<GtkPanel> tryPanel(const char* backend, SettingsStore& store, EventLoop& loop) {
  gdk_set_allowed_backends(backend);
  GdkDisplay* current = gdk_display_get_default();
  if (!current) {
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  } else if (std::string_view(backend) == "x11" && !GDK_IS_X11_DISPLAY(current)) {
    // GTK started on Wayland for a layer-shell panel that then failed: X11 through XWayland.
    GdkDisplay* x11 = gdk_display_open(std::getenv("DISPLAY"));
    if (!x11) return nullptr;
    gdk_display_manager_set_default_display(gdk_display_manager_get(), x11);
  }
  auto panel = std::make_unique<Panel>(store, loop);
  if (!panel->show()) return nullptr;
  return panel;
}

}  // namespace

bool displayAvailable() { return has("DISPLAY") || has("WAYLAND_DISPLAY"); }

DesktopBackend::~DesktopBackend() = default;

std::unique_ptr<DesktopBackend> DesktopBackend::open(SettingsStore& store, EventLoop& loop,
                                                     bool windowed) {
  std::unique_ptr<DesktopBackend> b(new DesktopBackend);
  if (windowed && has("WAYLAND_DISPLAY")) {
    if (LayerShellPanel::compositorSupports()) {
      b->panel_ = tryPanel<LayerShellPanel>("wayland", store, loop);
      if (b->panel_)
        b->name_ = "layer-shell";
      else
        log::line("Talvane: cannot open a layer-shell panel; trying X11");
    } else {
      log::line("Talvane: the Wayland compositor offers no layer-shell; trying X11");
    }
  }
  if (windowed && !b->panel_ && has("DISPLAY")) {
    b->panel_ = tryPanel<X11Panel>("x11", store, loop);
    if (b->panel_)
      b->name_ = "x11";
    else
      log::line("Talvane: cannot open an X11 panel on " + std::string(std::getenv("DISPLAY")) +
                "; serving the panel to browsers");
  } else if (windowed && !b->panel_) {
    log::line("Talvane: no X11 display either; serving the panel to browsers");
  }
  if (!b->panel_) {
    b->headless_ = std::make_unique<HeadlessDesktop>();
    b->name_ = "headless";
  }
  return b;
}

Desktop DesktopBackend::parts() { return panel_ ? panel_->parts() : headless_->parts(); }

PageHost* DesktopBackend::host() { return panel_ ? &panel_->host() : nullptr; }

void DesktopBackend::attach(WebStage& stage) {
  if (!panel_) return;
  panel_->host().attach(stage);
  stage.setHost(&panel_->host());
}

std::unique_ptr<OnboardingWindow> DesktopBackend::openOnboarding(EventLoop& loop) {
  if (!panel_) return nullptr;
  return std::make_unique<GtkOnboardingWindow>(loop, &panel_->host());
}

void DesktopBackend::setQuit(std::function<void()> quit) {
  if (panel_)
    panel_->onQuit = std::move(quit);
  else
    headless_->onQuit = std::move(quit);
}

void DesktopBackend::setScreenLocked(bool locked) {
  if (panel_) panel_->setScreenLocked(locked);
}

}  // namespace talvane
