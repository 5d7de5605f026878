#pragma once
// What the panel needs from the desktop, split by concern: the panel window, the keyboard, the
// clipboard, dictation and the application shell. Back ends (src/desktop/) implement them with
// real windows; a headless run (the browser stage) keeps only the state and shows nothing.
// Callers ask the capability queries instead of testing which back end they have.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "notch/strip.h"
#include "platform/json.h"

namespace talvane {

struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Rect&) const = default;
  bool contains(double px, double py) const {
    return px >= x && px < x + w && py >= y && py < y + h;
  }
};

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

// The panel geometry the page receives as "geo".
struct PanelGeometry {
  double notchWidth = 0;
  double strip = 32;
  std::string shape = "pill";  // "pill" or "notch"
  double stageWidth = 720;
  double stageHeight = 640;
  bool away = false;           // a placement is in effect
  std::string anchor = "top";  // "top" or "bottom"
  bool dragging = false;
  double dx = 0;                    // placed panel's centre relative to the stage's centre
  std::optional<std::string> edge;  // "left" or "right" when docked
  bool glass = false;
  bool glassAvailable = false;
  std::string theme = "dark";
  // The closed pill's width: what its text needs, as far as the limits allow.
  double stripWidth = Strip::kPillWidth;

  // All 14 keys.
  Json json() const;
};

// A pill width the page asked for, kept within the closed strip's limits; none for no number.
std::optional<double> stripWidthFor(const Json& wanted);

// The page's "glass" command, decoded leniently.
struct GlassRequest {
  struct Shape {
    Rect rect;
    double radius = 16;
  };
  bool on = false;
  std::vector<Shape> shapes;
  bool animate = true;
  std::optional<Rect> seed;
  double fuse = 0;
  bool light = false;

  static GlassRequest parse(const Json& message);
};

// Where the pointer is, in the same global coordinates as the panel's frame (origin top-left).
struct PointerSample {
  Point at;
  bool buttonDown = false;  // left or right button held
};

class PanelWindow {
 public:
  virtual ~PanelWindow() = default;

  virtual PanelGeometry geometry() const = 0;
  // The stage's frame and the frame of the screen it hangs on, in global coordinates; none
  // when there is no screen.
  virtual std::optional<Rect> stageFrame() const = 0;
  virtual std::optional<Rect> screenFrame() const = 0;
  // Where scripted demonstrations play: the demonstration screen, else the home screen.
  virtual std::optional<Rect> demoScreenFrame() const = 0;
  // The pointer now: the artificial one while it is set, else the desktop's.
  std::optional<PointerSample> pointer() const { return artificial_ ? artificial_ : readPointer(); }
  // The real pointer; none when the desktop does not tell (headless, or outside our surface on
  // Wayland).
  virtual std::optional<PointerSample> readPointer() const = 0;
  // A scripted pointer for demonstrations and recordings: while set, hover, drags and the page
  // follow it and not the real one. None hands the real pointer back.
  void setArtificialPointer(std::optional<PointerSample> p) { artificial_ = p; }
  bool artificialPointer() const { return artificial_.has_value(); }

  // Opened: raised and taking clicks on the drawn area; closed: click-through everywhere.
  virtual void setOpen(bool open) = 0;
  // Takes clicks on the drawn area while closed (the pointer rests over a placed panel).
  virtual void setInteractive(bool on) = 0;
  // The part of the stage the page draws, in stage coordinates; everything else lets clicks
  // through.
  virtual void setDrawn(const Rect& drawn) = 0;
  // A drag follows the pointer on its own until the button is up; followCursor and endDrag
  // let a script move and drop it without waiting for the next tick.
  virtual void beginDrag() = 0;
  virtual void followCursor() = 0;
  virtual void endDrag() = 0;
  virtual bool dragging() const = 0;
  virtual void resetPosition() = 0;
  virtual bool supportsGlass() const = 0;
  virtual void placeGlass(const GlassRequest& request) = 0;

  // The panel moved or a screen came or went: the page needs fresh geometry.
  std::function<void()> onMoved;
  // A drag ended (the hover logic takes over again).
  std::function<void()> onDragEnded;
  // The pointer moved somewhere on the desktop (where the desktop tells; often, while the
  // user moves the mouse): hover need not wait for its slow poll.
  std::function<void()> onPointerMoved;

 private:
  std::optional<PointerSample> artificial_;
};

class Keyboard {
 public:
  virtual ~Keyboard() = default;

  virtual bool supportsGlobalKeys() const = 0;
  // Keyboard focus for the page's text fields.
  virtual void takeFocus() = 0;
  virtual void releaseFocus() = 0;
  virtual bool focused() const = 0;
  // Global hot keys: paused while the page records a new combination.
  virtual void pauseHotKeys() = 0;
  virtual void reloadHotKeys() = 0;
  virtual void askAccessibility() = 0;

  // Escape pressed in the panel; the panel lost the keyboard to another window (click-away).
  std::function<void()> onEscape;
  std::function<void()> onFocusLost;
};

// Speech to text, started and stopped from the panel.
class DictationControl {
 public:
  virtual ~DictationControl() = default;

  virtual bool available() const = 0;
  virtual void toggle() = 0;
  virtual void cancel() = 0;
  virtual bool listening() const = 0;
  // Whether the Option-key tap can observe the keyboard here.
  virtual bool optionTapReady() const = 0;
  virtual void restartOptionTap() = 0;
};

// For back ends without speech of their own: the app's voice layer takes their place.
class NoDictation : public DictationControl {
 public:
  bool available() const override { return false; }
  void toggle() override {}
  void cancel() override {}
  bool listening() const override { return false; }
  bool optionTapReady() const override { return false; }
  void restartOptionTap() override {}
};

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // True once the text is on the desktop's clipboard; false when the clipboard refused it or
  // there is none.
  virtual bool copyText(const std::string& text) = 0;
};

class AppShell {
 public:
  virtual ~AppShell() = default;
  virtual bool supportsMenu() const = 0;
  virtual void showMenu() = 0;
  virtual void checkUpdates() = 0;
  virtual void quit() = 0;
};

// The parts one back end supplies; each reference lives as long as the back end.
struct Desktop {
  PanelWindow& panel;
  Keyboard& keyboard;
  DictationControl& dictation;
  Clipboard& clipboard;
  AppShell& shell;
};

}  // namespace talvane
