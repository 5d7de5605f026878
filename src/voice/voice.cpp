#include "voice/voice.h"

#include "platform/json.h"
#include "voice/dictation.h"
#include "voice/x11_hot_keys.h"
#include "voice/x11_key_source.h"

namespace talvane {

namespace {

std::unique_ptr<SpeechServer> speechServer(const std::string& url) {
  if (url.empty()) return nullptr;
  return std::make_unique<HttpSpeechServer>(url);
}

}  // namespace

Voice::Voice(EventLoop& loop, const SettingsStore* store)
    : settings_(VoiceSettings::read(store)),
      talk_(
          loop, makePulseInput, [] { return makePocketSphinx(); },
          speechServer(settings_.speechServer)),
      polisher_(settings_.punctuationServer, settings_.punctuationModel),
      optionTap_(loop, std::make_unique<X11KeySource>()) {
  // The same test as the Alt tap's: an X session that is not Wayland's XWayland.
  if (X11KeySource().trusted()) hotKeys_ = std::make_unique<X11HotKeys>(loop);
}

Voice::~Voice() = default;

void Voice::installHotKeys(std::map<HotKey::Action, std::function<void()>> actions,
                           std::function<HotKey::Combo(HotKey::Action)> combo) {
  if (hotKeys_) hotKeys_->install(std::move(actions), std::move(combo));
}

void Voice::pauseHotKeys() {
  if (hotKeys_) hotKeys_->pause();
}

void Voice::reloadHotKeys() {
  if (hotKeys_) hotKeys_->reload();
}

void Voice::toggleTalk() {
  if (talk_.listening()) {
    talk_.stop();
    return;
  }
  talk_.start();
  // Compiles the cleanup's patterns while the user speaks rather than after.
  Dictation::clean("");
}

std::string Voice::answerQuery(const std::string& action, const std::function<void()>& toggle) {
  if (action != "status") {
    const bool want = action == "start" ? true : action == "stop" ? false : !talk_.listening();
    if (want != talk_.listening()) toggle();
  }
  Json answer = {{"listening", talk_.listening()}, {"recording", talk_.recording()}};
  if (!talk_.listening() && !talk_.lastError().empty()) answer["error"] = talk_.lastError();
  return answer.dump();
}

}  // namespace talvane
