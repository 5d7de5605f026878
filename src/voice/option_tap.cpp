#include "voice/option_tap.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace talvane {

OptionTap::OptionTap(EventLoop& loop, std::unique_ptr<KeySource> source)
    : loop_(loop), source_(std::move(source)) {}

OptionTap::~OptionTap() { stop(); }

void OptionTap::start(bool enabled) {
  stop();
  const bool trusted = source_ && source_->trusted();
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string bundle = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : "";
  log(std::string("start: optionTap=") + (enabled ? "true" : "false") +
      " trusted=" + (trusted ? "true" : "false") + " bundle=" + bundle);
  if (!enabled || !source_) return;
  std::weak_ptr<char> alive = alive_;
  observing_ = source_->start({
      [this, alive](std::uint32_t f) {
        if (alive.lock()) flags(f);
      },
      [this, alive] {
        if (alive.lock()) interrupt();
      },
  });
  if (!trusted) waitForTrust();
}

void OptionTap::stop() {
  if (source_) source_->stop();
  observing_ = false;
  trustTimer_.cancel();
}

void OptionTap::waitForTrust() {
  std::weak_ptr<char> alive = alive_;
  trustTimer_ = loop_.every(kTrustPoll, 0.5, [this, alive] {
    if (!alive.lock() || !source_ || !source_->trusted()) return;
    trustTimer_.cancel();
    start(true);
  });
}

void OptionTap::flags(std::uint32_t flags) {
  if (flags & KeyFlags::foreign) {
    reset();
    return;
  }
  const Date now = loop_.now();
  if (flags & KeyFlags::option) {
    if (down_) return;
    down_ = true;
    clean_ = true;
    armed_ = now - lastRelease_ < kDoubleTapWindow;
    // A first press may be the start of Alt+Tab or Alt+drag: only a tap's second press talks.
    if (!armed_) return;
    std::weak_ptr<char> alive = alive_;
    holdTimer_ = loop_.after(kHoldDelay, [this, alive] {
      if (!alive.lock() || !down_ || !clean_) return;
      talking_ = true;
      onTalkStart();
    });
    return;
  }
  if (!down_) return;
  down_ = false;
  holdTimer_.cancel();
  if (talking_) {
    talking_ = false;
    armed_ = false;
    lastRelease_ = 0;
    onTalkEnd();
    return;
  }
  if (armed_) {
    lastRelease_ = 0;
    if (clean_) {
      armed_ = false;
      onOpen();
    }
    return;
  }
  lastRelease_ = clean_ ? now : 0;
}

void OptionTap::interrupt() {
  clean_ = false;
  lastRelease_ = 0;
  if (!talking_) {
    holdTimer_.cancel();
    armed_ = false;
  }
}

void OptionTap::reset() {
  clean_ = false;
  armed_ = false;
  lastRelease_ = 0;
  holdTimer_.cancel();
  if (talking_) {
    talking_ = false;
    onTalkEnd();
  }
}

void OptionTap::log(std::string_view message) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.2f ", static_cast<double>(g_get_monotonic_time()) / 1e6);
  std::string line = stamp;
  line.append(message);
  line.push_back('\n');
  // The folder is the app's; without it the log stays absent.
  const std::string path = files::home() + "/.talvane/keys.log";
  if (FILE* f = std::fopen(path.c_str(), "a")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
}

}  // namespace talvane
