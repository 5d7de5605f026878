#pragma once
// Types finished dictation into the text field another application has focused. On X11 the
// text goes through the clipboard and a synthetic Ctrl+V (Ctrl+Shift+V into terminals), and the
// user's clipboard comes back 0.6 seconds later; on Wayland wtype types it, when installed.
// Accessibility (AT-SPI) tells whether a text field has the keyboard; applications that do not
// answer are judged by the X input focus.

#include <functional>
#include <memory>
#include <string>

#include "desktop/kept_clipboard.h"
#include "platform/event_loop.h"
#include "voice/paste.h"

namespace talvane {

class Paster {
 public:
  static constexpr double kRestoreDelay = 0.6;

  // Needs GTK started (the panel's back end).
  explicit Paster(EventLoop& loop);
  ~Paster();
  Paster(const Paster&) = delete;
  Paster& operator=(const Paster&) = delete;

  // `done(false)`: no field has the keyboard, or typing failed; the caller copies instead.
  void paste(const std::string& text, std::function<void(bool pasted)> done);
  // What the choice rests on, as things are now.
  Paste::Facts facts() const;

 private:
  void typeOnWayland(const std::string& text, std::function<void(bool)> done);

  KeptClipboard clipboard_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// AT-SPI's verdict on the focused element of the active window of another process; unknown
// without an accessibility bus or when that application does not answer.
Paste::Field accessibleField();

}  // namespace talvane
