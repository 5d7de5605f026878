// The cost of one notifications pass (Notifier::update) while 200 sessions each wait on a
// permission request: the flood case. "unchanged" is a pass that finds nothing new (the common
// one, after every push); "replaced" is one where every request was just replaced. The counter
// "shown" is the notifications asked of the server per pass.
#include "notch/notifier.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdlib>
#include <string>

#include "platform/manual_loop.h"
#include "platform/settings_store.h"

namespace {

using namespace talvane;

struct CountingServer final : NotificationServer {
  std::uint64_t shown = 0;
  bool available() const override { return true; }
  NotificationCapabilities capabilities() const override { return {.actions = true}; }
  void show(const std::string&, const Notice&) override { ++shown; }
  void close(const std::string&) override {}
};

void request(Hub& hub, int session, int call) {
  hub.claude({{"hook_event_name", "PermissionRequest"},
              {"session_id", "s" + std::to_string(session)},
              {"cwd", "/tmp/project"},
              {"tool_name", "Bash"},
              {"tool_use_id", "t" + std::to_string(call)},
              {"tool_input", {{"command", "make test -j" + std::to_string(call)}}}},
             [](const std::string&) {});
}

void BM_NotifierPass(benchmark::State& state) {
  const bool replaced = state.range(0) != 0;
  char* dir = g_dir_make_tmp("talvane-notifier-XXXXXX", nullptr);
  setenv("HOME", dir, 1);
  g_free(dir);
  ManualLoop loop;
  MemorySettingsStore store;
  HubSettings settings;
  settings.debugAnswer = [] { return std::optional<std::string>(); };
  Hub hub(loop, store, settings);
  CountingServer server;
  Notifier notifier(hub, loop, &server, nullptr);
  constexpr int kSessions = 200;
  for (int i = 0; i < kSessions; ++i) request(hub, i, 0);
  notifier.update();
  int call = 1;
  std::uint64_t before = server.shown;
  for (auto _ : state) {
    if (replaced) {
      state.PauseTiming();
      loop.advance(Notifier::kReplaceGap);
      for (int i = 0; i < kSessions; ++i) request(hub, i, call);
      ++call;
      state.ResumeTiming();
    }
    notifier.update();
  }
  state.counters["shown"] =
      benchmark::Counter(double(server.shown - before) / double(state.iterations()));
}
BENCHMARK(BM_NotifierPass)->Arg(0)->ArgName("replaced")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NotifierPass)->Arg(1)->ArgName("replaced")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
