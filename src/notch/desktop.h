#pragma once
// What the panel needs from the desktop: its window, the keyboard, the clipboard, dictation and
// the application. The desktop layer implements it with real windows; a headless run (the
// browser stage) keeps only the state and shows nothing.

#include <functional>
#include <string>

#include "platform/json.h"

namespace talvane {

struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Rect&) const = default;
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // The panel geometry the page receives under "geo" (its 13 keys, or fewer where the host
  // has no such notion).
  virtual Json geo() const = 0;
  // The open panel takes the pointer; the closed one lets clicks through.
  virtual void panelOpened(bool open) = 0;
  virtual void beginDrag() = 0;
  virtual void resetPosition() = 0;
  virtual void placeGlass(const Json& message) = 0;
  virtual void showMenu() = 0;
  // Keyboard focus for the page's text fields.
  virtual void takeFocus() = 0;
  virtual void releaseFocus() = 0;
  // Global hot keys: paused while the page records a new combination.
  virtual void pauseHotKeys() = 0;
  virtual void reloadHotKeys() = 0;
  // Dictation: starts or stops; `listening` tells which.
  virtual void toggleTalk() = 0;
  virtual bool listening() const = 0;
  virtual void cancelTalk() = 0;
  virtual void restartOptionTap() = 0;
  virtual void askAccessibility() = 0;
  virtual void copyText(const std::string& text) = 0;
  virtual void checkUpdates() = 0;
  virtual void quit() = 0;
  // The pointer's place, for trace lines.
  virtual std::string pointerText() const = 0;
};

// No window, no keyboard, no voice: the state the commands leave behind is all there is.
class HeadlessDesktop : public Desktop {
 public:
  Json geo() const override;
  void panelOpened(bool open) override { open_ = open; }
  void beginDrag() override {}
  void resetPosition() override {}
  void placeGlass(const Json&) override {}
  void showMenu() override {}
  void takeFocus() override { focused_ = true; }
  void releaseFocus() override { focused_ = false; }
  void pauseHotKeys() override { hotKeysPaused_ = true; }
  void reloadHotKeys() override { hotKeysPaused_ = false; }
  void toggleTalk() override {}
  bool listening() const override { return false; }
  void cancelTalk() override {}
  void restartOptionTap() override {}
  void askAccessibility() override {}
  void copyText(const std::string& text) override { clipboard_ = text; }
  void checkUpdates() override {}
  void quit() override;
  std::string pointerText() const override { return "(-1, -1)"; }

  // Called by quit(); by default nothing happens.
  std::function<void()> onQuit;

  bool isOpen() const { return open_; }
  bool focused() const { return focused_; }
  bool hotKeysPaused() const { return hotKeysPaused_; }
  const std::string& clipboard() const { return clipboard_; }

 private:
  bool open_ = false;
  bool focused_ = false;
  bool hotKeysPaused_ = false;
  std::string clipboard_;
};

}  // namespace talvane
