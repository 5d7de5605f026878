// The cost of one push to the page (NotchController::push) with all eight agents connected and
// the demo sessions loaded. Asking whether agents are connected reads their configuration files;
// the counter "service_calls" shows that a push asks nothing once the answer is known.
#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdlib>
#include <string>

#include "app/prefs.h"
#include "notch/headless_desktop.h"
#include "notch/notch_controller.h"
#include "platform/files.h"
#include "platform/manual_loop.h"
#include "platform/settings_store.h"

namespace {

using namespace talvane;

// Every agent connected; each question is counted, and the integrations' files really exist.
struct ConnectedServices final : PrefsServices {
  std::string home;
  std::uint64_t calls = 0;
  bool hooksInstalled() override { return ++calls, true; }
  bool cursorInstalled() override { return ++calls, true; }
  bool cursorAvailable() override { return ++calls, true; }
  bool integrationAvailable(std::string_view) override { return ++calls, true; }
  std::optional<std::string> integrationPath(std::string_view id) override {
    ++calls;
    return home + "/" + std::string(id) + ".json";
  }
  bool openAtLogin() override { return ++calls, false; }
  bool accessibilityTrusted() override { return ++calls, true; }
};

struct Page final : PageHost {
  std::size_t bytes = 0;
  void load(const PageSource&) override {}
  void deliver(const std::string& m) override { bytes += m.size(); }
};

void BM_Push(benchmark::State& state) {
  char* dir = g_dir_make_tmp("talvane-push-XXXXXX", nullptr);
  const std::string home = dir;
  g_free(dir);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  ConnectedServices services;
  services.home = home;
  for (const char* id : {"gemini", "droid", "opencode", "copilot", "windsurf"})
    files::writeAtomic(home + "/" + id + ".json",
                       R"({"hooks":{"x":"~/.talvane/bin/talvane-hook"}})", 0600);
  ManualLoop loop;
  MemorySettingsStore store;
  Prefs::Binding binding(store, &services);
  HubSettings settings;
  settings.prefs = [] { return Prefs::json(); };
  Hub hub(loop, store, settings);
  hub.loadDemo("mixed");
  HeadlessDesktop desktop;
  NotchController notch(hub, desktop.parts(), loop);
  Page page;
  notch.stage().setHost(&page);
  notch.show(false);
  notch.stage().receive({{"type", "ready"}});
  loop.runPending();
  const auto before = services.calls;
  for (auto _ : state) notch.pushNow();
  state.counters["service_calls"] = double(services.calls - before);
  state.counters["bytes"] =
      benchmark::Counter(double(page.bytes), benchmark::Counter::kAvgIterations);
  std::system(("rm -rf '" + home + "'").c_str());
}
BENCHMARK(BM_Push)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
