// The running app: the listener, the Hub, the watcher and the panel, in that order, on one loop.
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/app_services.h"
#include "app/commands.h"
#include "app/prefs.h"
#include "bridge/bridge.h"
#include "context/jump.h"
#include "hub/codex_watcher.h"
#include "hub/hub.h"
#include "notch/browser_stage.h"
#include "notch/notch_controller.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/json.h"
#include "platform/json_settings_store.h"
#include "platform/log.h"
#include "voice/voice.h"

namespace talvane::cli {

namespace {

bool hasEnv(const char* name) { return std::getenv(name) != nullptr; }

// Dictation and the Alt tap for the panel, until the desktop back end offers them itself.
class VoiceDesktop final : public HeadlessDesktop {
 public:
  explicit VoiceDesktop(Voice& voice) : voice_(voice) {}
  void toggleTalk() override { voice_.toggleTalk(); }
  bool listening() const override { return voice_.listening(); }
  void cancelTalk() override { voice_.cancelTalk(); }
  void restartOptionTap() override { voice_.optionTap().start(Prefs::optionTap()); }
  void pauseHotKeys() override { voice_.pauseHotKeys(); }
  void reloadHotKeys() override { voice_.reloadHotKeys(); }

 private:
  Voice& voice_;
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

  Voice voice(loop, &store);
  VoiceDesktop desktop(voice);
  desktop.onQuit = [&loop] { loop.quit(); };
  NotchController notch(hub, desktop, loop);
  voice.talk().onUpdate = [&notch](const std::string& text, bool final, double level) {
    notch.talkUpdate(text, final, level);
  };
  voice.talk().onError = [&notch](const std::string& message) { notch.talkError(message); };
  voice.optionTap().onOpen = [&notch] { notch.summon(); };
  voice.optionTap().onTalkStart = [&notch] { notch.talkKeyHeld(true); };
  voice.optionTap().onTalkEnd = [&notch] { notch.talkKeyHeld(false); };
  notch.polish = [&voice](const std::string& text, std::function<void(std::string)> done) {
    voice.polisher().run(text, std::move(done));
  };
  bridge.onQuery("talk", [&voice, &notch](const Json& request) {
    return voice.answerQuery(json::string(request, "action").value_or("toggle"),
                             [&notch] { notch.toggleTalk(); });
  });
  // Without a desktop panel the page is served to browsers; see the README.
  BrowserStage browser(notch.stage());
  notch.stage().setHost(&browser);
  if (auto why = browser.start(static_cast<std::uint16_t>(options->port), options->port != 0)) {
    std::fprintf(stderr, "talvane: cannot serve the panel: %s\n", why->c_str());
    bridge.stop();
    return 1;
  }
  notch.show(/*arriving=*/!Prefs::onboarded());
  voice.optionTap().start(Prefs::optionTap());
  voice.installHotKeys({{HotKey::Action::open, [&notch] { notch.summon(); }},
                        {HotKey::Action::talk, [&notch] { notch.toggleTalk(); }}},
                       Prefs::comboOrDefault);
  // Before the address is printed: whoever reads it may ask us to stop at once.
  auto stop = +[](gpointer data) -> gboolean {
    static_cast<GLibLoop*>(data)->quit();
    return G_SOURCE_CONTINUE;
  };
  guint sigint = g_unix_signal_add(SIGINT, stop, &loop);
  guint sigterm = g_unix_signal_add(SIGTERM, stop, &loop);
  std::printf("Talvane panel: %s\n", browser.url().c_str());
  std::fflush(stdout);

  if (!demo) refreshInstalledHooks();

  loop.run();
  g_source_remove(sigint);
  g_source_remove(sigterm);

  codex.stop();
  bridge.stop();
  browser.stop();
  store.flush();
  releaseInstance();
  return 0;
}

}  // namespace talvane::cli
