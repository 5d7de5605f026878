#pragma once
// Types finished dictation into the text field another application has focused. On X11 the
// text goes on the clipboard and the primary selection and a synthetic Ctrl+V follows
// (Ctrl+Shift+V into terminals, Shift+Insert into xterm and rxvt); when the target fetched the
// text, the user's clipboard comes back 0.6 seconds later, and when it did not, the text stays
// on the clipboard and the caller says "Copied". On Wayland wtype types it, when installed.
// Accessibility (AT-SPI, asked without blocking) tells whether a text field has the keyboard and
// what precedes its caret; applications that do not answer are judged by the X input focus.

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "desktop/accessible_focus.h"
#include "desktop/kept_clipboard.h"
#include "platform/event_loop.h"
#include "voice/paste.h"

namespace talvane {

class Paster {
 public:
  static constexpr double kRestoreDelay = 0.6;

  // Needs GTK started (the panel's back end). `accessibility` says where the accessibility bus
  // is and which process is ours.
  explicit Paster(EventLoop& loop, AccessibleFocus::Options accessibility = {});
  ~Paster();
  Paster(const Paster&) = delete;
  Paster& operator=(const Paster&) = delete;

  // `done(false)`: no field has the keyboard, or the text did not reach it; the caller copies
  // instead. `done(true)` comes once the target took the text. Pastes are carried out in order,
  // each once accessibility has answered.
  void paste(const std::string& text, std::function<void(bool pasted)> done);
  // What the choice rests on, as things are now; `done` is called on the loop.
  void facts(std::function<void(Paste::Facts)> done);

 private:
  struct Waiting {
    std::string text;
    std::function<void(bool)> done;
  };
  void askNext();
  void pasteWith(Paste::Facts f, const std::string& dictated, std::function<void(bool)> done);
  void typeOnWayland(const std::string& text, std::function<void(bool)> done);

  // Where the last dictation went, for windows that do not tell what precedes their caret.
  struct Last {
    unsigned long window = 0;
    bool endsInWord = false;
  };

  EventLoop& loop_;
  AccessibleFocus focus_;
  std::deque<Waiting> waiting_;
  bool asking_ = false;
  KeptClipboard clipboard_;
  KeptClipboard primary_;
  Last last_;
  TimerHandle confirm_;
  std::function<void()> settle_;  // decides the paste that waits for confirm_
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane
