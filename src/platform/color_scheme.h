#pragma once
// The desktop's light or dark preference, followed while the app runs: the desktop portal's
// "color-scheme" setting on the session bus first, then GTK's "prefer dark" setting, else light.
// Everything is asynchronous on the main loop; a bus that does not answer counts as no portal.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace talvane {

// What the portal's org.freedesktop.appearance color-scheme value means: 1 dark, 2 light,
// 0 (or anything else) no preference.
enum class PortalScheme { none, dark, light };
PortalScheme portalSchemeFrom(unsigned value);

// GTK's own preference, from `settings.ini` text ("[Settings]" with
// gtk-application-prefer-dark-theme) or a GTK_THEME value ending in ":dark".
std::optional<bool> gtkPrefersDark(const std::string& settingsIni, const char* gtkThemeEnv);

class ColorScheme {
 public:
  // How long the first portal answer may take before the GTK setting stands in.
  static constexpr int kPortalTimeoutMs = 1000;

  ColorScheme();
  ~ColorScheme();
  ColorScheme(const ColorScheme&) = delete;
  ColorScheme& operator=(const ColorScheme&) = delete;

  // Connects to the session bus (or `busAddress`, for tests) and asks the portal. Without a
  // bus the GTK setting is all there is.
  void start(const std::string& busAddress = {});

  bool prefersDark() const;
  // Called on the main loop whenever prefersDark() may have changed.
  std::function<void()> onChange;

  // The GTK preference when the portal says nothing; by default read from the user's GTK 3
  // settings file and GTK_THEME. The desktop layer may supply the live GTK setting instead.
  std::function<std::optional<bool>()> gtkPreference;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace talvane
