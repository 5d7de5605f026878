// The running app: the listener, the Hub, the watcher and the panel, in that order, on one loop.
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/app_services.h"
#include "app/commands.h"
#include "app/prefs.h"
#include "bridge/bridge.h"
#include "context/jump.h"
#include "desktop/desktop_factory.h"
#include "hub/codex_watcher.h"
#include "hub/hub.h"
#include "notch/browser_stage.h"
#include "notch/headless_desktop.h"
#include "notch/notch_controller.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/json_settings_store.h"
#include "platform/log.h"

namespace talvane::cli {

namespace {

bool hasEnv(const char* name) { return std::getenv(name) != nullptr; }

// The desktop panel and browsers showing the same page.
struct BothHosts final : PageHost {
  PageHost* window = nullptr;
  PageHost* browsers = nullptr;
  void load(const PageSource& source) override {
    window->load(source);
    browsers->load(source);
  }
  void deliver(const std::string& message) override {
    window->deliver(message);
    browsers->deliver(message);
  }
};

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
    } else if (a == "--port" && i + 1 < args.size()) {
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
  if (hasEnv("TALVANE_LAUNCH_CHECK")) {
    loop.run();
    return 0;
  }
  takeOverFromOlderInstances(loop);

  JsonSettingsStore& store = JsonSettingsStore::user();
  store.batchOn(&loop);
  AppServices services(loop);
  Prefs::Binding binding(store, &services);

  HubSettings settings;
  settings.hideAfter = [] { return static_cast<int>(Prefs::hideAfter()); };
  settings.replyWindow = [] { return static_cast<int>(Prefs::replyWindow()); };
  settings.prefs = [] { return Prefs::json(); };
  settings.hostName = [](const Session& s) {
    return Jump::hostName(rawValue(s.agent), s.hostBundle, s.tty);
  };
  Hub hub(loop, store, settings);

  const bool demo = hasEnv("TALVANE_DEMO");
  Bridge bridge(hub);
  if (!demo) bridge.start();
  CodexWatcher codex(hub, loop);
  if (demo) {
    hub.loadDemo(std::getenv("TALVANE_DEMO"));
  } else {
    hub.restoreRecent();
    codex.start();
  }

  auto desktop = DesktopBackend::open(store, loop, displayAvailable());
  desktop->setQuit([&loop] { loop.quit(); });
  NotchController notch(hub, desktop->parts(), loop);
  desktop->attach(notch.stage());
  // Without a desktop panel, or with --web, the page is served to browsers; see the README.
  // Beside a window, browsers get a stage of their own: their tabs closing must not make the
  // window's page look gone.
  WebStage browserStage;
  browserStage.onMessage = [&notch](const Json& m) { notch.stage().receive(m); };
  BothHosts both;
  std::optional<BrowserStage> browser;
  if (options->web || !desktop->host()) {
    if (desktop->host()) {
      browser.emplace(browserStage);
      both.window = desktop->host();
      both.browsers = &*browser;
      notch.stage().setHost(&both);
    } else {
      browser.emplace(notch.stage());
      notch.stage().setHost(&*browser);
    }
    if (auto why = browser->start(static_cast<std::uint16_t>(options->port), options->port != 0)) {
      std::fprintf(stderr, "talvane: cannot serve the panel: %s\n", why->c_str());
      bridge.stop();
      return 1;
    }
  }
  notch.show(/*arriving=*/!Prefs::onboarded());
  if (browser) std::printf("Talvane panel: %s\n", browser->url().c_str());
  else std::printf("Talvane panel: on the desktop (%s)\n", desktop->name().c_str());
  std::fflush(stdout);

  if (!demo) {
    refreshInstalledHooks();
    Prefs::forgetInstalled();
  }
  // Agents connected or removed outside the app show up within half a minute.
  TimerHandle installed = loop.every(30, 10, [&notch] {
    if (Prefs::refreshInstalled()) notch.push();
  });

  auto stop = +[](gpointer data) -> gboolean {
    static_cast<GLibLoop*>(data)->quit();
    return G_SOURCE_CONTINUE;
  };
  guint sigint = g_unix_signal_add(SIGINT, stop, &loop);
  guint sigterm = g_unix_signal_add(SIGTERM, stop, &loop);
  loop.run();
  g_source_remove(sigint);
  g_source_remove(sigterm);

  codex.stop();
  bridge.stop();
  if (browser) browser->stop();
  installed.cancel();
  store.batchOn(nullptr);
  store.flush();
  releaseInstance();
  return 0;
}

}  // namespace talvane::cli
