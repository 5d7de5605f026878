// The running app: the listener, the Hub, the watcher and the panel, in that order, on one loop.
#include <glib-unix.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/app_services.h"
#include "app/autostart.h"
#include "app/commands.h"
#include "app/prefs.h"
#include "app/remote_service.h"
#include "bridge/bridge.h"
#include "context/background.h"
#include "context/jump.h"
#include "desktop/desktop_factory.h"
#include "desktop/paster.h"
#include "desktop/status_item.h"
#include "desktop/web_view_host.h"
#include "context/jump_runner.h"
#include "context/x11/x11_windows.h"
#include "hub/codex_watcher.h"
#include "hub/hub.h"
#include "notch/browser_stage.h"
#include "notch/headless_desktop.h"
#include "notch/notch_controller.h"
#include "notch/notifier.h"
#include "notch/onboarding.h"
#include "platform/desktop_notifications.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/json.h"
#include "platform/json_settings_store.h"
#include "platform/log.h"
#include "platform/sound/canberra_sound.h"
#include "voice/voice.h"

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
  void deliverState(const std::string& message) override {
    window->deliverState(message);
    browsers->deliverState(message);
  }
};
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
// Dictation comes from the voice layer whatever back end draws the panel.
class VoiceDictation final : public DictationControl {
 public:
  explicit VoiceDictation(Voice& voice) : voice_(voice) {}
  bool available() const override { return true; }
  void toggle() override { voice_.toggleTalk(); }
  void cancel() override { voice_.cancelTalk(); }
  bool listening() const override { return voice_.listening(); }
  bool optionTapReady() const override { return voice_.optionTap().ready(); }
  void restartOptionTap() override { voice_.optionTap().start(Prefs::optionTap()); }

 private:
  Voice& voice_;
};

// The back end's shell, with the tray's menu popped up from the panel and a plain answer to
// "Check for updates": packages are updated by the system, not by the app.
class MenuShell final : public AppShell {
 public:
  MenuShell(AppShell& inner, StatusItem* item) : inner_(inner), item_(item) {}
  NotchController* notch = nullptr;
  bool supportsMenu() const override { return item_ != nullptr; }
  void showMenu() override {
    if (!item_ || !notch) return;
    notch->hold("menu", true);
    item_->popUp([this] { notch->hold("menu", false); });
  }
  void checkUpdates() override {
    if (!item_) return inner_.checkUpdates();
    StatusItem::notify("Talvane is updated with your system",
                       "New versions come through your package manager (for example apt); "
                       "no update feed is configured.");
  }
  void quit() override { inner_.quit(); }

 private:
  AppShell& inner_;
  StatusItem* item_;
};

// The back end's keyboard, with the global hot keys the voice layer registers.
class VoiceKeyboard final : public Keyboard {
 public:
  VoiceKeyboard(Keyboard& inner, Voice& voice) : inner_(inner), voice_(voice) {
    inner_.onEscape = [this] {
      if (onEscape) onEscape();
    };
    inner_.onFocusLost = [this] {
      if (onFocusLost) onFocusLost();
    };
  }
  bool supportsGlobalKeys() const override { return inner_.supportsGlobalKeys(); }
  void takeFocus() override { inner_.takeFocus(); }
  void releaseFocus() override { inner_.releaseFocus(); }
  bool focused() const override { return inner_.focused(); }
  void pauseHotKeys() override { voice_.pauseHotKeys(); }
  void reloadHotKeys() override { voice_.reloadHotKeys(); }
  void askAccessibility() override { inner_.askAccessibility(); }

 private:
  Keyboard& inner_;
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
  // Relays, watched files and browser tabs each take a descriptor; the common soft limit of 1,024
  // is far below what the system allows us.
  if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  auto options = parse(args);
  if (!options) return 2;
  WebViewHost::tuneEnvironment();
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
  takeOverFromOlderInstances();

  JsonSettingsStore& store = JsonSettingsStore::user();
  store.batchOn(&loop);
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
  settings.jump = [&jumper](const Session& s, Jump::Done done) {
    jumper.go(recorded(s), std::move(done));
  };
  Hub hub(loop, store, settings);

  const bool demo = hasEnv("TALVANE_DEMO");
  Bridge bridge(hub);
  bridge.onQueryLater("jump", [&hub](const Json& request, Reply reply) {
    auto refused = [&reply](const std::string& why) {
      reply(json::compact({{"ok", false}, {"error", why}}));
    };
    const std::string asked = json::string(request, "id").value_or("");
    const std::vector<std::string> ids = hub.idsMatching(asked);
    if (ids.empty()) return refused("no session " + asked);
    if (ids.size() > 1) {
      std::string all;
      for (const std::string& id : ids) all += (all.empty() ? "" : ", ") + id;
      return refused(asked + " names more than one session: " + all);
    }
    hub.jump(ids.front(), [reply](std::optional<std::string> failure) {
      if (failure) {
        reply(json::compact({{"ok", false}, {"error", "nothing came forward: " + *failure}}));
      } else {
        reply(json::compact({{"ok", true}}));
      }
    });
  });
  // Agents on other machines reach the app through an ssh forward per host.
  remote::GioProcesses remoteProcesses;
  RemoteService remotes(loop, hub, store, remoteProcesses);
  remotes.answerQueries(bridge);
  services.serveRemotes(&remotes);
  TimerHandle keepListening;
  if (!demo) {
    bridge.start();
    remotes.start();
    // A socket file deleted behind the app's back would leave it deaf until restarted.
    keepListening = loop.every(20.0, 5.0, [&bridge, &remotes] {
      bridge.keepListening();
      remotes.keepListening();
    });
  }
  CodexWatcher codex(hub, loop);
  if (demo) {
    hub.loadDemo(std::getenv("TALVANE_DEMO"));
  } else {
    hub.restoreRecent();
    codex.start();
  }

  auto desktop = DesktopBackend::open(store, loop, displayAvailable());
  desktop->setQuit([&loop] { loop.quit(); });
  Voice voice(loop, &store);
  VoiceDictation dictation(voice);
  Desktop parts = desktop->parts();
  VoiceKeyboard keyboard(parts.keyboard, voice);
  std::optional<StatusItem> statusItem;
  NotchController* notchRef = nullptr;
  if (desktop->host())
    statusItem.emplace([&notchRef] { return notchRef->menuFacts(); },
                       [&notchRef](MenuAction action) { notchRef->perform(action); });
  MenuShell shell(parts.shell, statusItem ? &*statusItem : nullptr);
  // Dictated text is typed into other applications only where a desktop runs GTK.
  std::optional<Paster> paster;
  if (desktop->host()) paster.emplace(loop);
  NotchController notch(hub, Desktop{parts.panel, keyboard, dictation, parts.clipboard, shell},
                        loop);
  notchRef = shell.notch = &notch;
  remotes.onChange = [&notch] { notch.push(); };
  // The desktop's notifications answer requests too, and a sound says when an agent needs you.
  DesktopNotifications notifications;
  CanberraSound sounds;
  NotifierSettings alerts;
  alerts.level = [] {
    return notifyLevelFrom(Prefs::notifications()).value_or(NotifyLevel::requests);
  };
  alerts.sound = [] { return Prefs::sound(); };
  alerts.openPanel = [&hub, &notch](const std::string& id) {
    hub.select(id);
    if (!hub.isOpen()) notch.summon();
  };
  // On X11 the window manager names the window with the keyboard; its process hosting the
  // session means the user already sees the request. Asked at most twice a second.
  X11Windows focusWindows;
  struct {
    Date at = -1;
    std::optional<int> pid;
  } active;
  if (std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    alerts.hostFocused = [&](const Session& s) {
      if (!s.hostPid) return false;
      if (loop.now() - active.at > 0.5) {
        active.pid = focusWindows.activePid();
        active.at = loop.now();
      }
      return active.pid == s.hostPid;
    };
  Notifier notifier(hub, loop, &notifications, &sounds, std::move(alerts));
  notifier.onAttention = [&statusItem](bool on) {
    if (statusItem) statusItem->setAttention(on);
  };
  notifications.start();
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
  if (paster)
    notch.pasteText = [&paster](const std::string& text, std::function<void(bool)> done) {
      paster->paste(text, std::move(done));
    };
  bridge.onQuery("talk", [&voice, &notch](const Json& request) {
    return voice.answerQuery(json::string(request, "action").value_or("toggle"),
                             [&notch] { notch.toggleTalk(); });
  });
  desktop->attach(notch.stage());
  // Without a desktop panel, or with --web, the page is served to browsers; see the README.
  // The token outlives the run, so a bookmarked address keeps working.
  // Beside a window, browsers get a stage of their own: their tabs closing must not make the
  // window's page look gone.
  WebStage browserStage;
  browserStage.onMessage = [&notch](const Json& m) { notch.stage().receive(m); };
  BothHosts both;
  std::optional<BrowserStage> browser;
  if (options->web || !desktop->host()) {
    if (desktop->host()) {
      browser.emplace(browserStage, BrowserStage::keptToken());
      both.window = desktop->host();
      both.browsers = &*browser;
      notch.stage().setHost(&both);
    } else {
      browser.emplace(notch.stage(), BrowserStage::keptToken());
      notch.stage().setHost(&*browser);
    }
    if (auto why = browser->start(static_cast<std::uint16_t>(options->port), options->port != 0)) {
      std::fprintf(stderr, "talvane: cannot serve the panel: %s\n", why->c_str());
      remotes.onChange = nullptr;
      services.serveRemotes(nullptr);
      remotes.stop();
      bridge.stop();
      return 1;
    }
  }
  // `talvane usage` answers from this meter rather than reading every transcript again.
  notch.usage().keepFresh(10);
  notch.usage().refresh();
  bridge.onQuery("usage", [&notch](const Json&) {
    return notch.usage().latest() ? json::compact(*notch.usage().latest()) : std::string();
  });
  // The desktop settles its theme in steps; push once it has.
  TimerHandle themePush;
  colorScheme.onChange = [&] { themePush = loop.after(0.15, [&notch] { notch.push(); }); };
  colorScheme.start();
  // The panel, its tray item, the Option key and the hot keys start together: at once, or once
  // the first-run window is done.
  auto startPanel = [&](bool arriving) {
    notch.show(arriving);
    if (statusItem) statusItem->show();
    notch.onPushed = [&statusItem, &notifier] {
      if (statusItem) statusItem->refresh();
      notifier.changed();
    };
    voice.optionTap().start(Prefs::optionTap());
    voice.installHotKeys({{HotKey::Action::open, [&notch] { notch.summon(); }},
                          {HotKey::Action::talk, [&notch] { notch.toggleTalk(); }}},
                         Prefs::comboOrDefault);
  };
  // A browser offers the first-run flow itself; only a desktop window gets a window of its own.
  std::unique_ptr<Onboarding> onboarding;
  std::unique_ptr<OnboardingWindow> onboardingWindow;
  const bool firstRun = !Prefs::onboarded() || hasEnv("TALVANE_DEBUG_TOUR");
  if (firstRun) onboardingWindow = desktop->openOnboarding(loop);
  if (onboardingWindow) {
    onboarding = std::make_unique<Onboarding>(hub, *onboardingWindow, [&] {
      startPanel(/*arriving=*/true);
      // Not from inside the window's own fade.
      loop.post([&] {
        onboarding.reset();
        onboardingWindow.reset();
      });
    });
    onboarding->show();
  } else {
    startPanel(/*arriving=*/!Prefs::onboarded());
  }
  services.onHotKeysChanged = [&voice] { voice.reloadHotKeys(); };
  if (browser) std::printf("Talvane panel: %s\n", browser->url().c_str());
  else std::printf("Talvane panel: on the desktop (%s)\n", desktop->name().c_str());
  std::fflush(stdout);

  if (!demo) {
    refreshInstalledHooks();
    Prefs::forgetInstalled();
    // The login entry follows the app when it moves (a build tree, then a package).
    Autostart::refresh();
  }
  // Agents connected or removed outside the app show up within half a minute. Their files are
  // read on a worker; the loop only keeps the result.
  Background installedReader(loop);
  TimerHandle installed = loop.every(30, 10, [&notch, &installedReader] {
    if (installedReader.outstanding() > 0) return;
    const Prefs::InstalledReading reading = Prefs::beginInstalledReading();
    installedReader.run([reading] { return reading.read(); },
                        [&notch, reading](Json fresh) {
                          if (Prefs::keepInstalled(reading, std::move(fresh))) notch.push();
                        });
  });

  loop.run();
  notch.onPushed = nullptr;  // the notifier goes first

  codex.stop();
  remotes.onChange = nullptr;
  services.serveRemotes(nullptr);
  remotes.stop();
  bridge.stop();
  if (browser) browser->stop();
  installed.cancel();
  services.onHotKeysChanged = nullptr;
  store.batchOn(nullptr);
  store.flush();
  releaseInstance();
  return 0;
}

}  // namespace talvane::cli
