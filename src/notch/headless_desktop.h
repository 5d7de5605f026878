#pragma once
// No window, no keyboard, no voice: the state the commands leave behind is all there is. The
// browser stage runs on this, and tests build their fakes from it.

#include <functional>
#include <string>

#include "notch/desktop.h"

namespace talvane {

class HeadlessDesktop : public PanelWindow,
                        public Keyboard,
                        public NoDictation,
                        public Clipboard,
                        public AppShell {
 public:
  HeadlessDesktop() = default;
  HeadlessDesktop(const HeadlessDesktop&) = delete;
  HeadlessDesktop& operator=(const HeadlessDesktop&) = delete;

  Desktop parts() { return {*this, *this, *this, *this, *this}; }

  // PanelWindow
  PanelGeometry geometry() const override;
  std::optional<Rect> stageFrame() const override { return std::nullopt; }
  std::optional<Rect> screenFrame() const override { return std::nullopt; }
  std::optional<Rect> demoScreenFrame() const override { return std::nullopt; }
  std::optional<PointerSample> readPointer() const override { return std::nullopt; }
  void setOpen(bool open) override { open_ = open; }
  void setInteractive(bool) override {}
  void setDrawn(const Rect&) override {}
  void beginDrag() override {}
  void followCursor() override {}
  void endDrag() override {}
  bool dragging() const override { return false; }
  void resetPosition() override {}
  bool supportsGlass() const override { return false; }
  void placeGlass(const GlassRequest&) override {}

  // Keyboard
  bool supportsGlobalKeys() const override { return false; }
  void takeFocus() override { focused_ = true; }
  void releaseFocus() override { focused_ = false; }
  bool focused() const override { return focused_; }
  void pauseHotKeys() override { hotKeysPaused_ = true; }
  void reloadHotKeys() override { hotKeysPaused_ = false; }
  void askAccessibility() override {}

  // Clipboard
  // No desktop clipboard here: the text is only kept (a browser copies for itself).
  bool copyText(const std::string& text) override {
    clipboard_ = text;
    return clipboardReachable;
  }
  // Tests may pretend the copy reached a clipboard.
  bool clipboardReachable = false;

  // AppShell
  bool supportsMenu() const override { return false; }
  void showMenu() override {}
  void checkUpdates() override {}
  void quit() override;

  // Called by quit(); by default nothing happens.
  std::function<void()> onQuit;

  bool isOpen() const { return open_; }
  bool hotKeysPaused() const { return hotKeysPaused_; }
  const std::string& clipboard() const { return clipboard_; }

 private:
  bool open_ = false;
  bool focused_ = false;
  bool hotKeysPaused_ = false;
  std::string clipboard_;
};

}  // namespace talvane
