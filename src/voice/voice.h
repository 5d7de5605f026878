#pragma once
// Everything dictation needs in the running app, built from the real devices: speech capture
// (PulseAudio, PocketSphinx, the optional transcription server), punctuation, and the Alt tap.
// The panel drives it through the few operations below and hears back through Talk's callbacks.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "voice/hot_key.h"
#include "voice/option_tap.h"
#include "voice/polish.h"
#include "voice/talk.h"

namespace talvane {

class X11HotKeys;

class Voice {
 public:
  // `store` is read once for the helper servers' addresses (see VoiceSettings). The speech
  // model loads on the first dictation, while the microphone already records.
  Voice(EventLoop& loop, const SettingsStore* store);
  ~Voice();

  Talk& talk() { return talk_; }
  OptionTap& optionTap() { return optionTap_; }
  Polisher& polisher() { return polisher_; }

  // The dictation interface the panel's desktop offers.
  void toggleTalk();
  bool listening() const { return talk_.listening(); }
  void cancelTalk() { talk_.cancel(); }

  // The global shortcuts (X11 only; under Wayland the desktop binds `talvane talk`).
  void installHotKeys(std::map<HotKey::Action, std::function<void()>> actions,
                      std::function<HotKey::Combo(HotKey::Action)> combo);
  void pauseHotKeys();
  void reloadHotKeys();

  // The answer to the bridge query {"_query":"talk","action":"start"|"stop"|"toggle"|"status"}:
  // {"listening": bool, "recording": bool, "error": why the latest capture failed}. Opening
  // the microphone takes a moment, so a caller that wants to know whether a start worked asks
  // "status" until "recording" or "error" says. `toggle` is the panel's toggleTalk (which opens
  // keyboard mode).
  std::string answerQuery(const std::string& action, const std::function<void()>& toggle);

 private:
  VoiceSettings settings_;
  Talk talk_;
  Polisher polisher_;
  OptionTap optionTap_;
  std::unique_ptr<X11HotKeys> hotKeys_;
};

}  // namespace talvane
