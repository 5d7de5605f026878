#pragma once
// The two global shortcuts on X11: each stored combination (macOS key code and Carbon mask) is
// translated to a keysym and X modifiers and grabbed on the root window, in every Caps Lock /
// Num Lock variant, so the shortcut works whatever those locks are. A combination another
// program already holds cannot be grabbed: it is reported, and the other one still works.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "voice/hot_key.h"

namespace talvane {

// The X keysym of a key a user can choose, by its macOS virtual key code; none for others.
std::optional<unsigned long> keysymForCode(std::uint32_t code);
// The X modifier mask (ShiftMask, ControlMask, Mod1Mask for Option, Mod4Mask for Command).
unsigned int x11Modifiers(std::uint32_t carbonMods);

class X11HotKeys {
 public:
  // `display` empty: $DISPLAY. Pressed shortcuts are handed to `loop` before their callback runs.
  explicit X11HotKeys(EventLoop& loop, const std::string& display = {});
  ~X11HotKeys();
  X11HotKeys(const X11HotKeys&) = delete;
  X11HotKeys& operator=(const X11HotKeys&) = delete;

  // Sets the callbacks and registers the combinations `combo` gives for each action.
  void install(std::map<HotKey::Action, std::function<void()>> actions,
               std::function<HotKey::Combo(HotKey::Action)> combo);
  // Registers again from `combo`; returns the actions whose combination could not be grabbed.
  std::vector<HotKey::Action> reload();
  // Releases both grabs; the callbacks stay.
  void pause();
  // False without an X display.
  bool available() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvane
