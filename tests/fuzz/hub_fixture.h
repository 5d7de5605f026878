#pragma once
// A Hub for fuzzing: manual time, preferences in memory, no `gh` or `git`, no real processes,
// transcripts read on the caller's thread.

#include <memory>

#include "hub/hub.h"
#include "platform/manual_loop.h"
#include "platform/settings_store.h"

namespace talvane::fuzz {

struct HubFixture {
  HubFixture() {
    HubSettings settings;
    settings.processGone = [](std::int32_t pid) { return pid % 2 == 0; };
    settings.debugAnswer = [] { return std::optional<std::string>(); };
    settings.recentTranscripts = [](int, Date) { return std::vector<RecentTranscripts::Found>{}; };
    // The manual loop is not thread-safe: a worker must not post to it.
    settings.transcriptReads = Background::inline_();
    hub = std::make_unique<Hub>(loop, store, settings,
                                std::make_unique<GitHub>(loop, GitHub::Programs{{}, ""}));
  }

  ManualLoop loop;
  MemorySettingsStore store;
  std::unique_ptr<Hub> hub;
};

}  // namespace talvane::fuzz
