// A message from the page, as the notch controller takes it, with a session waiting so that the
// answering commands have something to act on.
#include <cstdint>
#include <string>
#include <vector>

#include "app/prefs.h"
#include "fuzz_support.h"
#include "hub_fixture.h"
#include "notch/headless_desktop.h"
#include "notch/notch_controller.h"

namespace {

using namespace talvane;

struct Page : PageHost {
  void load(const PageSource&) override {}
  void deliver(const std::string& message) override {
    // What goes to the page is always one JSON value.
    if (!json::parse(message)) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::temporaryHome();
  const auto message = json::parseObject(fuzz::text(data, size));
  if (!message) return 0;
  fuzz::HubFixture f;
  Prefs::Binding binding(f.store);
  HeadlessDesktop desktop;
  NotchController notch(*f.hub, desktop.parts(), f.loop);
  Page page;
  notch.stage().setHost(&page);
  notch.show(false);
  notch.stage().receive({{"type", "ready"}});
  f.hub->claude(
      {{"hook_event_name", "PermissionRequest"},
       {"session_id", "s1"},
       {"tool_name", "AskUserQuestion"},
       {"tool_input", {{"questions", {{{"question", "Which?"}, {"options", {{{"label", "A"}}}}}}}}},
       {"_agent", "claude"}},
      [](const std::string&) {});
  f.loop.runPending();
  notch.handle(*message);
  f.loop.runPending();
  notch.stage().setHost(nullptr);
  return 0;
}
