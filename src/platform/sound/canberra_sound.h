#pragma once
// The freedesktop sound theme through libcanberra, which plays on its own thread: play() only
// hands the name over. Without a sound server the sounds are skipped, said once.

#include <memory>
#include <string>

#include "platform/notification_server.h"

namespace talvane {

class CanberraSound final : public SoundPlayer {
 public:
  CanberraSound();
  ~CanberraSound() override;
  CanberraSound(const CanberraSound&) = delete;
  CanberraSound& operator=(const CanberraSound&) = delete;

  void play(const std::string& name) override;

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  bool failed_ = false;
};

}  // namespace talvane
