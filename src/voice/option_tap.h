#pragma once
// The Option key (Alt on Linux) pressed alone: a quick double tap opens the panel, holding it
// talks. Fed with modifier-flag changes and interruptions by a KeySource that only observes
// the keyboard, never grabs it; the gesture logic runs on the loop's clock.
//
// On Linux Alt starts window switching, menus and window drags, and a slow Alt+Tab looks like a
// hold until Tab arrives. So a hold talks only when it is the second press of a double tap
// (tap, then press and hold): a lone press, however long, never talks, and a press that saw
// any other key or button does nothing at all.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/event_loop.h"

namespace talvane {

// The modifier-flag model the gestures are written against (the macOS device-independent bits).
namespace KeyFlags {
inline constexpr std::uint32_t capsLock = 0x10000;
inline constexpr std::uint32_t shift = 0x20000;
inline constexpr std::uint32_t control = 0x40000;
inline constexpr std::uint32_t option = 0x80000;
inline constexpr std::uint32_t command = 0x100000;
// Bits that break a gesture: Shift, Control, Command, Help and the high byte.
inline constexpr std::uint32_t foreign = 0xFF560000;
}  // namespace KeyFlags

// Where keyboard and pointer activity comes from. Observes only: nothing is swallowed.
class KeySource {
 public:
  struct Sink {
    std::function<void(std::uint32_t flags)> flags;  // the modifiers held changed
    std::function<void()> interrupt;                 // a key press, click or scroll
  };
  virtual ~KeySource() = default;
  // Starts delivering to `sink` on the main loop; false when this session offers no global
  // keyboard (Wayland, no display).
  virtual bool start(Sink sink) = 0;
  virtual void stop() = 0;
  // Whether the session lets us observe keys typed into other applications.
  virtual bool trusted() const = 0;
};

class OptionTap {
 public:
  static constexpr double kDoubleTapWindow = 0.32;
  static constexpr double kHoldDelay = 0.45;
  static constexpr double kTrustPoll = 2.0;

  // `source` may be null: then the tap is never ready.
  OptionTap(EventLoop& loop, std::unique_ptr<KeySource> source);
  ~OptionTap();
  OptionTap(const OptionTap&) = delete;
  OptionTap& operator=(const OptionTap&) = delete;

  std::function<void()> onOpen = [] {};
  std::function<void()> onTalkStart = [] {};
  std::function<void()> onTalkEnd = [] {};

  // (Re)starts observing when `enabled` (the "optionTap" preference).
  void start(bool enabled);
  void stop();
  // Observing keys now: what the page shows as "optionTapReady".
  bool ready() const { return observing_; }
  bool talking() const { return talking_; }

  // The gesture logic, public so that any source (and tests) can drive it.
  void flags(std::uint32_t flags);
  void interrupt();

  // Appends "<uptime> <message>" to ~/.talvane/keys.log; failures are ignored.
  static void log(std::string_view message);

 private:
  void reset();
  void waitForTrust();

  EventLoop& loop_;
  std::unique_ptr<KeySource> source_;
  bool observing_ = false;
  Date lastRelease_ = 0;
  bool down_ = false;
  bool clean_ = true;
  bool armed_ = false;
  TimerHandle holdTimer_;
  bool talking_ = false;
  TimerHandle trustTimer_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane
