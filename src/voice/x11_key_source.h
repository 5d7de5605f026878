#pragma once
// Keys and clicks of the whole X11 session, observed through XInput2 raw events on the root
// window (nothing is grabbed), translated into the modifier-flag model of OptionTap: either Alt
// is Option; Shift, Control and Super are foreign.

#include <memory>
#include <string>

#include "voice/option_tap.h"

namespace talvane {

class X11KeySource final : public KeySource {
 public:
  // `display` empty: $DISPLAY, except in a Wayland session, where nothing is observed.
  explicit X11KeySource(std::string display = {});
  ~X11KeySource() override;

  bool start(Sink sink) override;
  void stop() override;
  bool trusted() const override;

  // Whether an XInput version delivers raw key events while another client grabs the keyboard.
  static bool seesGrabbedKeys(int major, int minor);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string display_;
};

}  // namespace talvane
