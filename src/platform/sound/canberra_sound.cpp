#include "platform/sound/canberra_sound.h"

#include <canberra.h>

#include "platform/log.h"

namespace talvane {

struct CanberraSound::Context {
  ca_context* ca = nullptr;
  ~Context() {
    if (ca) ca_context_destroy(ca);
  }
};

CanberraSound::CanberraSound() : context_(std::make_unique<Context>()) {
  if (ca_context_create(&context_->ca) != CA_SUCCESS) {
    context_->ca = nullptr;
    return;
  }
  ca_context_change_props(context_->ca, CA_PROP_APPLICATION_NAME, "Talvane", CA_PROP_APPLICATION_ID,
                          "app.talvane.Talvane", nullptr);
}

CanberraSound::~CanberraSound() = default;

void CanberraSound::play(const std::string& name) {
  int result = context_->ca ? ca_context_play(context_->ca, 0, CA_PROP_EVENT_ID, name.c_str(),
                                              CA_PROP_EVENT_DESCRIPTION, "Talvane", nullptr)
                            : CA_ERROR_NOTAVAILABLE;
  if (result == CA_SUCCESS || failed_) return;
  failed_ = true;
  log::line(std::string("Talvane: cannot play sounds (") + ca_strerror(result) + ")");
}

}  // namespace talvane
