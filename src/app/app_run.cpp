// The running app: the listener, the Hub, the watcher and the panel, in that order, on one loop.
#include <glib-unix.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
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
#include "context/jump_runner.h"
#include "context/x11/x11_windows.h"
#include "desktop/desktop_factory.h"
#include "desktop/paster.h"
#include "desktop/status_item.h"
#include "desktop/web_view_host.h"
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
#include "platform/gobject.h"
#include "platform/json.h"
#include "platform/json_settings_store.h"
#include "platform/log.h"
#include "platform/screen_lock.h"
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
// "Check for updates": packages are updated by the system, not by the app. The panel is built
// from this shell, so it is reached through `holdMenu`, called only while the menu is up.
class MenuShell final : public AppShell {
 public:
  MenuShell(AppShell& inner, StatusItem* item, std::function<void(bool)> holdMenu)
      : inner_(inner), item_(item), holdMenu_(std::move(holdMenu)) {}
  bool supportsMenu() const override { return item_ != nullptr; }
  void showMenu() override {
    if (!item_) return;
    holdMenu_(true);
    item_->popUp([this] { holdMenu_(false); });
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
  std::function<void(bool)> holdMenu_;
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

// Relays, watched files and browser tabs each take a descriptor; the common soft limit of 1,024
// is far below what the system allows us.
void raiseDescriptorLimit() {
  if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

// A copy taking over sends SIGTERM at any moment, and it must end in the orderly shutdown
// (socket removed, waiting relays released), never in the default action. The handle removes
// both sources, so no signal reaches a loop that is gone.
struct SignalSources {
  SourceId interrupt, terminate;
};
[[nodiscard]] SignalSources quitOnSignals(GLibLoop& loop) {
  auto stop = +[](gpointer data) -> gboolean {
    static_cast<GLibLoop*>(data)->quit();
    return G_SOURCE_CONTINUE;
  };
  return {SourceId(g_unix_signal_add(SIGINT, stop, &loop)),
          SourceId(g_unix_signal_add(SIGTERM, stop, &loop))};
}

// The running app. Members are declared in the order the app starts them, so they are built in
// that order and destroyed in the reverse. A member whose initializer is a start-up step (the
// settings claimed, the listeners opened, the desktop opened) keeps that step between the parts
// it needs and the parts that follow it.
class App {
 public:
  explicit App(const Options& options) : options_(options) { connect(); }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  int run() {
    notifications_.start();
    desktop_->attach(notch_.stage());
    if (!serveBrowsers()) {
      stopListening();
      return 1;
    }
    keepUsageFresh();
    followTheme();
    followScreenLock();
    startPanelOrOnboarding();
    services_.onHotKeysChanged = [this] { voice_.reloadHotKeys(); };
    announce();
    refreshAgentHooks();
    installed_ = loop_.every(30, 10, [this] { readInstalledAgents(); });
    loop_.run();
    shutDown();
    return 0;
  }

 private:
  // Older copies let go of the socket and the settings before this one takes them.
  JsonSettingsStore& claimSettings() {
    takeOverFromOlderInstances();
    JsonSettingsStore& store = JsonSettingsStore::user();
    store.batchOn(&loop_);
    return store;
  }

  // The preferences answer from the services, which know the desktop's colour scheme.
  PrefsServices* preferenceServices() {
    services_.followColorScheme(&colorScheme_);
    return &services_;
  }

  static Jump::Runner makeJumper() {
    Jump::Outside desktopWindows;
    desktopWindows.windows = std::make_shared<X11Windows>();
    return Jump::Runner(std::move(desktopWindows));
  }

  HubSettings hubSettings() {
    HubSettings settings;
    settings.hideAfter = [] { return static_cast<int>(Prefs::hideAfter()); };
    settings.replyWindow = [] { return static_cast<int>(Prefs::replyWindow()); };
    settings.prefs = [] { return Prefs::json(); };
    settings.hostName = [](const Session& s) {
      return Jump::hostName(rawValue(s.agent), s.hostBundle, s.tty);
    };
    settings.jump = [this](const Session& s, Jump::Done done) {
      jumper_.go(recorded(s), std::move(done));
    };
    return settings;
  }

  void answerJump(const Json& request, Reply reply) {
    auto refused = [&reply](const std::string& why) {
      reply(json::compact({{"ok", false}, {"error", why}}));
    };
    const std::string asked = json::string(request, "id").value_or("");
    const std::vector<std::string> ids = hub_.idsMatching(asked);
    if (ids.empty()) return refused("no session " + asked);
    if (ids.size() > 1) {
      std::string all;
      for (const std::string& id : ids) all += (all.empty() ? "" : ", ") + id;
      return refused(asked + " names more than one session: " + all);
    }
    hub_.jump(ids.front(), [reply](std::optional<std::string> failure) {
      if (failure) {
        reply(json::compact({{"ok", false}, {"error", "nothing came forward: " + *failure}}));
      } else {
        reply(json::compact({{"ok", true}}));
      }
    });
  }

  // Relays and remote hosts are answered, then the sessions come back (or the demo loads). The
  // returned timer keeps the sockets there: a file deleted behind the app's back would leave it
  // deaf until restarted.
  TimerHandle startServing() {
    bridge_.onQueryLater("jump", [this](const Json& request, Reply reply) {
      answerJump(request, std::move(reply));
    });
    // Agents on other machines reach the app through an ssh forward per host.
    remotes_.answerQueries(bridge_);
    services_.serveRemotes(&remotes_);
    TimerHandle keepListening;
    if (!demo_) {
      bridge_.start();
      remotes_.start();
      keepListening = loop_.every(20.0, 5.0, [this] {
        bridge_.keepListening();
        remotes_.keepListening();
      });
    }
    if (demo_) {
      hub_.loadDemo(std::getenv("TALVANE_DEMO"));
    } else {
      hub_.restoreRecent();
      codex_.start();
    }
    return keepListening;
  }

  std::unique_ptr<DesktopBackend> openDesktop() {
    auto desktop = DesktopBackend::open(store_, loop_, displayAvailable());
    desktop->setQuit([this] { loop_.quit(); });
    return desktop;
  }

  NotifierSettings alerts() {
    NotifierSettings alerts;
    alerts.level = [] {
      return notifyLevelFrom(Prefs::notifications()).value_or(NotifyLevel::requests);
    };
    alerts.sound = [] { return Prefs::sound(); };
    alerts.openPanel = [this](const std::string& id) {
      hub_.select(id);
      if (!hub_.isOpen()) notch_.summon();
    };
    // On X11 the window manager names the window with the keyboard; its process hosting the
    // session means the user already sees the request. Asked at most twice a second.
    if (std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
      alerts.hostFocused = [this](const Session& s) {
        if (!s.hostPid) return false;
        if (loop_.now() - active_.at > 0.5) {
          active_.pid = focusWindows_.activePid();
          active_.at = loop_.now();
        }
        return active_.pid == s.hostPid;
      };
    return alerts;
  }

  // Callbacks between parts built earlier and the panel built after them; nothing runs yet.
  void connect() {
    remotes_.onChange = [this] { notch_.push(); };
    notifier_.onAttention = [this](bool on) {
      if (statusItem_) statusItem_->setAttention(on);
    };
    voice_.talk().onUpdate = [this](const std::string& text, bool final, double level) {
      notch_.talkUpdate(text, final, level);
    };
    voice_.talk().onError = [this](const std::string& message) { notch_.talkError(message); };
    voice_.optionTap().onOpen = [this] { notch_.summon(); };
    voice_.optionTap().onTalkStart = [this] { notch_.talkKeyHeld(true); };
    voice_.optionTap().onTalkEnd = [this] { notch_.talkKeyHeld(false); };
    notch_.polish = [this](const std::string& text, std::function<void(std::string)> done) {
      voice_.polisher().run(text, std::move(done));
    };
    if (paster_)
      notch_.pasteText = [this](const std::string& text, std::function<void(bool)> done) {
        paster_->paste(text, std::move(done));
      };
    bridge_.onQuery("talk", [this](const Json& request) {
      return voice_.answerQuery(json::string(request, "action").value_or("toggle"),
                                [this] { notch_.toggleTalk(); });
    });
    browserStage_.onMessage = [this](const Json& m) { notch_.stage().receive(m); };
  }

  // Without a desktop panel, or with --web, the page is served to browsers; see the README.
  // The token outlives the run, so a bookmarked address keeps working. Beside a window, browsers
  // get a stage of their own: their tabs closing must not make the window's page look gone.
  bool serveBrowsers() {
    if (!options_.web && desktop_->host()) return true;
    if (desktop_->host()) {
      browser_ = std::make_unique<BrowserStage>(browserStage_, BrowserStage::keptToken());
      both_.window = desktop_->host();
      both_.browsers = browser_.get();
      notch_.stage().setHost(&both_);
    } else {
      browser_ = std::make_unique<BrowserStage>(notch_.stage(), BrowserStage::keptToken());
      notch_.stage().setHost(browser_.get());
    }
    if (auto why = browser_->start(static_cast<std::uint16_t>(options_.port), options_.port != 0)) {
      std::fprintf(stderr, "talvane: cannot serve the panel: %s\n", why->c_str());
      return false;
    }
    return true;
  }

  // `talvane usage` answers from this meter rather than reading every transcript again.
  void keepUsageFresh() {
    notch_.usage().keepFresh(10);
    notch_.usage().refresh();
    bridge_.onQuery("usage", [this](const Json&) {
      return notch_.usage().latest() ? json::compact(*notch_.usage().latest()) : std::string();
    });
  }

  // The desktop settles its theme in steps; push once it has.
  void followTheme() {
    colorScheme_.onChange = [this] { themePush_ = loop_.after(0.15, [this] { notch_.push(); }); };
    colorScheme_.start();
  }

  // Nothing of the panel shows on a locked screen, so nothing of it is drawn there either.
  void followScreenLock() {
    if (!desktop_->host()) return;
    screenLock_.onChange = [this] { desktop_->setScreenLocked(screenLock_.locked()); };
    screenLock_.start();
  }

  // The panel, its tray item, the Option key and the hot keys start together: at once, or once
  // the first-run window is done.
  void startPanel(bool arriving) {
    notch_.show(arriving);
    if (statusItem_) statusItem_->show();
    notch_.onPushed = [this] {
      if (statusItem_) statusItem_->refresh();
      notifier_.changed();
    };
    voice_.optionTap().start(Prefs::optionTap());
    voice_.installHotKeys({{HotKey::Action::open, [this] { notch_.summon(); }},
                           {HotKey::Action::talk, [this] { notch_.toggleTalk(); }}},
                          Prefs::comboOrDefault);
  }

  // A browser offers the first-run flow itself; only a desktop window gets a window of its own.
  void startPanelOrOnboarding() {
    const bool firstRun = !Prefs::onboarded() || hasEnv("TALVANE_DEBUG_TOUR");
    if (firstRun) onboardingWindow_ = desktop_->openOnboarding(loop_);
    if (!onboardingWindow_) return startPanel(/*arriving=*/!Prefs::onboarded());
    onboarding_ = std::make_unique<Onboarding>(hub_, *onboardingWindow_, [this] {
      startPanel(/*arriving=*/true);
      // Not from inside the window's own fade.
      loop_.post([this] {
        onboarding_.reset();
        onboardingWindow_.reset();
      });
    });
    onboarding_->show();
  }

  void announce() {
    if (browser_)
      std::printf("Talvane panel: %s\n", browser_->url().c_str());
    else
      std::printf("Talvane panel: on the desktop (%s)\n", desktop_->name().c_str());
    std::fflush(stdout);
  }

  void refreshAgentHooks() {
    if (demo_) return;
    refreshInstalledHooks();
    Prefs::forgetInstalled();
    // The login entry follows the app when it moves (a build tree, then a package).
    Autostart::refresh();
  }

  // Agents connected or removed outside the app show up within half a minute. Their files are
  // read on a worker; the loop only keeps the result.
  void readInstalledAgents() {
    if (installedReader_.outstanding() > 0) return;
    const Prefs::InstalledReading reading = Prefs::beginInstalledReading();
    installedReader_.run([reading] { return reading.read(); },
                         [this, reading](Json fresh) {
                           if (Prefs::keepInstalled(reading, std::move(fresh))) notch_.push();
                         });
  }

  void stopListening() {
    remotes_.onChange = nullptr;
    services_.serveRemotes(nullptr);
    remotes_.stop();
    bridge_.stop();
  }

  void shutDown() {
    notch_.onPushed = nullptr;  // the notifier goes first
    codex_.stop();
    stopListening();
    if (browser_) browser_->stop();
    installed_.cancel();
    services_.onHotKeysChanged = nullptr;
    store_.batchOn(nullptr);
    store_.flush();
    releaseInstance();
  }

  const Options options_;
  const bool demo_ = hasEnv("TALVANE_DEMO");
  GLibLoop loop_;
  SignalSources quitOnSignals_ = quitOnSignals(loop_);
  JsonSettingsStore& store_ = claimSettings();
  AppServices services_{loop_};
  ColorScheme colorScheme_;
  Prefs::Binding binding_{store_, preferenceServices()};
  Jump::Runner jumper_ = makeJumper();
  Hub hub_{loop_, store_, hubSettings()};
  Bridge bridge_{hub_};
  remote::GioProcesses remoteProcesses_;
  RemoteService remotes_{loop_, hub_, store_, remoteProcesses_};
  CodexWatcher codex_{hub_, loop_};
  TimerHandle keepListening_ = startServing();
  std::unique_ptr<DesktopBackend> desktop_ = openDesktop();
  ScreenLock screenLock_;
  Voice voice_{loop_, &store_};
  VoiceDictation dictation_{voice_};
  Desktop parts_ = desktop_->parts();
  VoiceKeyboard keyboard_{parts_.keyboard, voice_};
  // The tray's menu reads and acts on the panel built below; it is first shown once the panel is.
  std::unique_ptr<StatusItem> statusItem_ =
      desktop_->host() ? std::make_unique<StatusItem>([this] { return notch_.menuFacts(); },
                                                      [this](MenuAction a) { notch_.perform(a); })
                       : nullptr;
  MenuShell shell_{parts_.shell, statusItem_.get(),
                   [this](bool held) { notch_.hold("menu", held); }};
  // Dictated text is typed into other applications only where a desktop runs GTK.
  std::unique_ptr<Paster> paster_ = desktop_->host() ? std::make_unique<Paster>(loop_) : nullptr;
  NotchController notch_{
      hub_, Desktop{parts_.panel, keyboard_, dictation_, parts_.clipboard, shell_}, loop_};
  // The desktop's notifications answer requests too, and a sound says when an agent needs you.
  DesktopNotifications notifications_;
  CanberraSound sounds_;
  X11Windows focusWindows_;
  struct {
    Date at = -1;
    std::optional<int> pid;
  } active_;
  Notifier notifier_{hub_, loop_, &notifications_, &sounds_, alerts()};
  WebStage browserStage_;
  BothHosts both_;
  std::unique_ptr<BrowserStage> browser_;
  TimerHandle themePush_;
  std::unique_ptr<Onboarding> onboarding_;
  std::unique_ptr<OnboardingWindow> onboardingWindow_;
  Background installedReader_{loop_};
  TimerHandle installed_;
};

// A copy that only starts and waits to be stopped, holding no lock and no socket.
int launchCheck() {
  GLibLoop loop;
  SignalSources stop = quitOnSignals(loop);
  loop.run();
  return 0;
}

}  // namespace

int app(const Args& args) {
  raiseDescriptorLimit();
  const auto options = parse(args);
  if (!options) return 2;
  WebViewHost::tuneEnvironment();
  if (hasEnv("TALVANE_LAUNCH_CHECK")) return launchCheck();
  App app(*options);
  return app.run();
}

}  // namespace talvane::cli
