#pragma once
// A Hub for fuzzing: manual time, preferences in memory, no `gh` or `git`, no real processes.

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
    hub = std::make_unique<Hub>(loop, store, settings,
                                std::make_unique<GitHub>(loop, GitHub::Programs{{}, ""}));
  }

  ManualLoop loop;
  MemorySettingsStore store;
  std::unique_ptr<Hub> hub;
};

}  // namespace talvane::fuzz
