// The running app: the listener, the Hub, the watcher and the panel, in that order, on one loop.
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/app_services.h"
#include "app/autostart.h"
#include "app/commands.h"
#include "app/prefs.h"
#include "bridge/bridge.h"
#include "context/jump.h"
#include "context/jump_runner.h"
#include "context/x11/x11_windows.h"
#include "hub/codex_watcher.h"
#include "hub/hub.h"
#include "notch/browser_stage.h"
#include "notch/notch_controller.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/json_settings_store.h"
#include "platform/log.h"

namespace talvane::cli {

namespace {

bool hasEnv(const char* name) { return std::getenv(name) != nullptr; }

Jump::Recorded recorded(const Session& s) {
  Jump::Recorded r;
  r.agent = std::string(rawValue(s.agent));
  r.root = s.root;
  r.hostPid = s.hostPid;
  r.hostExe = s.hostBundle;
  r.tty = s.tty;
  r.agentPid = s.agentPid;
  return r;
}

struct Options {
  bool web = false;
  int port = BrowserStage::kDefaultPort;
};

std::optional<Options> parse(const Args& args) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--web") {
      o.web = true;
    } else if (a == "--port" && i + 1 == args.size()) {
      std::fprintf(stderr, "talvane: --port needs a number from 0 to 65535\n");
      return std::nullopt;
    } else if (a == "--port") {
      char* end = nullptr;
      long p = std::strtol(args[++i].c_str(), &end, 10);
      if (!end || *end || p < 0 || p > 65535) {
        std::fprintf(stderr, "talvane: --port takes a number from 0 to 65535\n");
        return std::nullopt;
      }
      o.port = static_cast<int>(p);
    } else {
      std::fprintf(stderr, "talvane: unknown option '%s' (see talvane --help)\n", a.c_str());
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace

int app(const Args& args) {
  auto options = parse(args);
  if (!options) return 2;
  GLibLoop loop;
  // First of all: a copy taking over sends SIGTERM at any moment, and it must end in the orderly
  // shutdown below (socket removed, waiting relays released), never in the default action.
  auto stop = +[](gpointer data) -> gboolean {
    static_cast<GLibLoop*>(data)->quit();
    return G_SOURCE_CONTINUE;
  };
  g_unix_signal_add(SIGINT, stop, &loop);
  g_unix_signal_add(SIGTERM, stop, &loop);
  if (hasEnv("TALVANE_LAUNCH_CHECK")) {
    loop.run();
    return 0;
  }
  if (!takeOverFromOlderInstances()) return 1;

  JsonSettingsStore& store = JsonSettingsStore::user();
  AppServices services(loop);
  ColorScheme colorScheme;
  services.followColorScheme(&colorScheme);
  Prefs::Binding binding(store, &services);

  HubSettings settings;
  settings.hideAfter = [] { return static_cast<int>(Prefs::hideAfter()); };
  settings.replyWindow = [] { return static_cast<int>(Prefs::replyWindow()); };
  settings.prefs = [] { return Prefs::json(); };
  settings.hostName = [](const Session& s) {
    return Jump::hostName(rawValue(s.agent), s.hostBundle, s.tty);
  };
  Jump::Outside desktopWindows;
  desktopWindows.windows = std::make_shared<X11Windows>();
  Jump::Runner jumper(std::move(desktopWindows));
  settings.jump = [&jumper](const Session& s) { jumper.go(Jump::observe(recorded(s))); };
  Hub hub(loop, store, settings);

  const bool demo = hasEnv("TALVANE_DEMO");
  Bridge bridge(hub);
  bridge.onQuery("jump", [&hub](const Json& request) {
    auto id = json::string(request, "id");
    if (!id || !hub.find(*id))
      return json::compact({{"ok", false}, {"error", "no session " + id.value_or("")}});
    hub.jump(*id);
    return json::compact({{"ok", true}});
  });
  TimerHandle keepListening;
  if (!demo) {
    bridge.start();
    // A socket file deleted behind the app's back would leave it deaf until restarted.
    keepListening = loop.every(20.0, 5.0, [&bridge] { bridge.keepListening(); });
  }
  CodexWatcher codex(hub, loop);
  if (demo) {
    hub.loadDemo(std::getenv("TALVANE_DEMO"));
  } else {
    hub.restoreRecent();
    codex.start();
  }

  HeadlessDesktop desktop;
  desktop.onQuit = [&loop] { loop.quit(); };
  NotchController notch(hub, desktop, loop);
  // Without a desktop panel the page is served to browsers; see the README.
  // The token outlives the run, so a bookmarked address keeps working.
  BrowserStage browser(notch.stage(), BrowserStage::keptToken());
  notch.stage().setHost(&browser);
  if (auto why = browser.start(static_cast<std::uint16_t>(options->port), options->port != 0)) {
    std::fprintf(stderr, "talvane: cannot serve the panel: %s\n", why->c_str());
    bridge.stop();
    return 1;
  }
  // The desktop settles its theme in steps; push once it has.
  TimerHandle themePush;
  colorScheme.onChange = [&] { themePush = loop.after(0.15, [&notch] { notch.push(); }); };
  colorScheme.start();
  notch.show(/*arriving=*/!Prefs::onboarded());
  std::printf("Talvane panel: %s\n", browser.url().c_str());
  std::fflush(stdout);

  if (!demo) {
    refreshInstalledHooks();
    // The login entry follows the app when it moves (a build tree, then a package).
    Autostart::refresh();
  }

  loop.run();

  codex.stop();
  bridge.stop();
  browser.stop();
  store.flush();
  releaseInstance();
  return 0;
}

}  // namespace talvane::cli
