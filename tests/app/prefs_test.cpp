#include "app/prefs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "context/background.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/json_settings_store.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::TestHome;

// Records what preferences ask of the other parts; each install can be made to throw.
struct FakeServices : PrefsServices {
  std::vector<std::string> calls;
  bool hooks = false, cursor = false, cursorHere = false, login = false, trusted = false;
  bool dark = false, failing = false;
  std::map<std::string, std::string, std::less<>> paths;
  std::set<std::string, std::less<>> present;
  std::optional<std::string> shortVersion = "1.4.2";

  void record(std::string call) {
    calls.push_back(std::move(call));
    if (failing) throw std::runtime_error("settings file is not a JSON object");
  }
  bool hooksInstalled() override { return hooks; }
  void setHooksInstalled(bool on) override { record(on ? "hooks on" : "hooks off"); }
  bool cursorInstalled() override { return cursor; }
  bool cursorAvailable() override { return cursorHere; }
  void setCursorInstalled(bool on) override { record(on ? "cursor on" : "cursor off"); }
  bool integrationAvailable(std::string_view id) override { return present.contains(id); }
  std::optional<std::string> integrationPath(std::string_view id) override {
    auto it = paths.find(id);
    if (it == paths.end()) return std::nullopt;
    return it->second;
  }
  void setIntegrationInstalled(std::string_view id, bool on) override {
    record(std::string(id) + (on ? " on" : " off"));
  }
  bool openAtLogin() override { return login; }
  void setOpenAtLogin(bool on) override { record(on ? "login on" : "login off"); }
  bool accessibilityTrusted() override { return trusted; }
  bool prefersDark() override { return dark; }
  std::optional<std::string> version() override { return shortVersion; }
  void reloadHotKeys() override { record("reload"); }
  void autoUpdateChanged(bool on) override { record(on ? "updates auto" : "updates manual"); }
  void runRemote(const std::string& verb, const std::string& destination) override {
    record("remote " + verb + " " + destination);
  }
};

class PrefsTest : public ::testing::Test {
 protected:
  MemorySettingsStore store;
  FakeServices services;
  Prefs::Binding binding{store, &services};
};

TEST_F(PrefsTest, FreshUserSeesTheDefaults) {
  EXPECT_EQ(Prefs::replyWindow(), 15);
  EXPECT_EQ(Prefs::hideAfter(), 120);
  EXPECT_FALSE(Prefs::autoOpen());
  EXPECT_FALSE(Prefs::glass());
  EXPECT_TRUE(Prefs::optionTap());
  EXPECT_TRUE(Prefs::autoUpdate());
  EXPECT_FALSE(Prefs::onboarded());
  EXPECT_FALSE(Prefs::askedAccessibility());
  EXPECT_FALSE(Prefs::combo(HotKey::Action::open));
  EXPECT_TRUE(Prefs::tucked().empty());

  const Json page = Prefs::json();
  EXPECT_EQ(page, (Json{
                      {"shape", "auto"},
                      {"replyWindow", 15},
                      {"hideAfter", 120},
                      {"autoOpen", false},
                      {"openAtLogin", false},
                      {"autoUpdate", true},
                      {"optionTap", true},
                      {"optionTapReady", false},
                      {"glass", false},
                      {"theme", "auto"},
                      {"hooksInstalled", false},
                      {"cursorInstalled", false},
                      {"cursorAvailable", false},
                      {"version", "1.4.2"},
                      {"integrations", page["integrations"]},
                      {"openKey", "Ctrl+Alt+R"},
                      {"talkKey", "Ctrl+Alt+T"},
                      {"notifications", "requests"},
                      {"sound", true},
                      {"remotes", {{"hosts", Json::array()}, {"busy", nullptr}, {"message", ""}}},
                  }));
  EXPECT_EQ(page.size(), 20u);
  EXPECT_TRUE(page["replyWindow"].is_number_integer());
  EXPECT_EQ(store.all(), Json::object()) << "reading stores nothing";
}

TEST_F(PrefsTest, JsonReportsTheOtherPartsState) {
  services.hooks = services.cursor = services.cursorHere = true;
  services.login = services.trusted = true;
  services.shortVersion.reset();
  const Json page = Prefs::json();
  for (const char* key :
       {"hooksInstalled", "cursorInstalled", "cursorAvailable", "openAtLogin", "optionTapReady"})
    EXPECT_EQ(page[key], true) << key;
  EXPECT_EQ(page["version"], "dev");
}

TEST_F(PrefsTest, InstalledStateIsReadOnceUntilSomethingCanChangeIt) {
  const auto before = Prefs::installedReadCount();
  Prefs::json();
  Prefs::json();
  EXPECT_EQ(Prefs::installedReadCount(), before + 1);
  services.hooks = true;  // changed behind our back: seen only on refresh
  EXPECT_EQ(Prefs::json()["hooksInstalled"], false);
  EXPECT_TRUE(Prefs::refreshInstalled());
  EXPECT_FALSE(Prefs::refreshInstalled());
  EXPECT_EQ(Prefs::json()["hooksInstalled"], true);
  services.cursor = true;
  Prefs::set("cursorInstalled", true);  // a connect reads again
  EXPECT_EQ(Prefs::json()["cursorInstalled"], true);
  Prefs::set("hideAfter", 3);  // a plain setting does not
  const auto reads = Prefs::installedReadCount();
  EXPECT_EQ(Prefs::json()["hideAfter"], 3);
  EXPECT_EQ(Prefs::installedReadCount(), reads);
}

// Agents' files are read on a worker; the loop keeps turning meanwhile, and a reading that a
// connect overtook does not bring the older state back.
TEST_F(PrefsTest, InstalledStateReadOffTheLoop) {
  struct SlowServices : FakeServices {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> freedByLoop = false;
    bool hooksInstalled() override {
      freedByLoop = released.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      return hooks;
    }
  } slow;
  slow.hooks = true;
  Prefs::Binding bound(store, &slow);
  Background worker(defaultLoop());
  std::optional<bool> changed;
  const auto reading = Prefs::beginInstalledReading();
  worker.run([reading] { return reading.read(); },
             [&](Json fresh) { changed = Prefs::keepInstalled(reading, std::move(fresh)); });
  TimerHandle tick = defaultLoop().after(0.01, [&] { slow.release.set_value(); });
  ASSERT_TRUE(testing::runUntil([&] { return changed.has_value(); }));
  EXPECT_TRUE(slow.freedByLoop);
  EXPECT_TRUE(*changed);
  EXPECT_EQ(Prefs::json()["hooksInstalled"], true);

  const auto stale = Prefs::beginInstalledReading();
  Json old = stale.read();
  slow.hooks = false;
  Prefs::set("hooksInstalled", false);  // a disconnect reads again
  EXPECT_FALSE(Prefs::keepInstalled(stale, std::move(old)));
  EXPECT_EQ(Prefs::json()["hooksInstalled"], false);
}

TEST_F(PrefsTest, IntegrationsListedInOrderWithTheirFileState) {
  TestHome home;
  services.present = {"droid", "windsurf"};
  services.paths["gemini"] = home.write(".gemini/settings.json", R"({"hooks": "talvane-hook"})");
  services.paths["droid"] = home.write(".factory/hooks.json", R"({"hooks": {}})");
  services.paths["opencode"] = home.write("plugin.js", "// talvane-hook \xff\xfe");  // not UTF-8
  services.paths["copilot"] = home.path() + "/.copilot/hooks/talvane.json";          // missing
  const Json list = Prefs::json()["integrations"];
  EXPECT_EQ(
      list,
      (Json{
          {{"id", "gemini"}, {"label", "Gemini CLI"}, {"available", false}, {"installed", true}},
          {{"id", "droid"}, {"label", "Droid"}, {"available", true}, {"installed", false}},
          {{"id", "opencode"}, {"label", "OpenCode"}, {"available", false}, {"installed", false}},
          {{"id", "copilot"}, {"label", "Copilot CLI"}, {"available", false}, {"installed", false}},
          {{"id", "windsurf"}, {"label", "Windsurf"}, {"available", true}, {"installed", false}},
      }));
}

TEST_F(PrefsTest, SetStoresEachSettingOfTheRightType) {
  Prefs::set("shape", "wide");
  Prefs::set("replyWindow", 30);
  Prefs::set("hideAfter", 0);  // never hide
  Prefs::set("autoOpen", true);
  Prefs::set("glass", true);
  Prefs::set("optionTap", false);
  Prefs::set("theme", "midnight");
  Prefs::set("autoUpdate", false);
  Prefs::set("notifications", "all");
  Prefs::set("sound", false);
  EXPECT_EQ(Prefs::shape(), "wide");
  EXPECT_EQ(Prefs::notifications(), "all");
  EXPECT_FALSE(Prefs::sound());
  EXPECT_EQ(Prefs::replyWindow(), 30);
  EXPECT_EQ(Prefs::hideAfter(), 0);
  EXPECT_TRUE(Prefs::autoOpen());
  EXPECT_TRUE(Prefs::glass());
  EXPECT_FALSE(Prefs::optionTap());
  EXPECT_FALSE(Prefs::autoUpdate());
  EXPECT_EQ(services.calls, std::vector<std::string>{"updates manual"});

  const Json page = Prefs::json();
  EXPECT_EQ(page["shape"], "wide");
  EXPECT_EQ(page["replyWindow"], 30);
  EXPECT_EQ(page["hideAfter"], 0);
  EXPECT_EQ(page["theme"], "midnight");
  EXPECT_EQ(page["autoUpdate"], false);
  EXPECT_EQ(page["notifications"], "all");
  EXPECT_EQ(page["sound"], false);
}

TEST_F(PrefsTest, WrongTypedValuesAreIgnored) {
  Prefs::set("hideAfter", 45);
  Prefs::set("autoOpen", true);
  const Json before = store.all();
  Prefs::set("hideAfter", "10");
  Prefs::set("replyWindow", 2.5);
  Prefs::set("replyWindow", nullptr);
  Prefs::set("autoOpen", "yes");
  Prefs::set("autoOpen", 1);
  Prefs::set("shape", 3);
  Prefs::set("autoUpdate", "off");
  Prefs::set("hooksInstalled", "true");
  Prefs::set("openAtLogin", 1);
  Prefs::set("cursorInstalled", Json::object());
  Prefs::set("noSuchSetting", true);
  Prefs::set("onboarded", true);  // not the page's to change
  EXPECT_EQ(store.all(), before);
  EXPECT_TRUE(services.calls.empty());

  // Whatever a hand-edited file holds, a value of another type reads as the default.
  store.set("hideAfter", "10");
  store.set("replyWindow", 7.5);
  store.set("autoOpen", 1);
  store.set("optionTap", "false");
  store.set("shape", Json::array());
  store.set("theme", false);
  store.set("tucked", "claude:1");
  store.set("sound", "no");
  store.set("notifications", "loud");  // an unknown level
  EXPECT_EQ(Prefs::hideAfter(), 120);
  EXPECT_TRUE(Prefs::sound());
  EXPECT_EQ(Prefs::notifications(), "requests");
  EXPECT_EQ(Prefs::replyWindow(), 15);
  EXPECT_FALSE(Prefs::autoOpen());
  EXPECT_TRUE(Prefs::optionTap());
  EXPECT_EQ(Prefs::shape(), "auto");
  EXPECT_EQ(Prefs::theme(), "auto");
  EXPECT_TRUE(Prefs::tucked().empty());
  // An integral number written as a float is still that integer.
  store.set("replyWindow", 20.0);
  EXPECT_EQ(Prefs::replyWindow(), 20);
}

TEST_F(PrefsTest, ThemeResolvesAutoFromTheDesktop) {
  EXPECT_EQ(Prefs::resolvedTheme(), "light");
  services.dark = true;
  EXPECT_EQ(Prefs::resolvedTheme(), "dark");
  Prefs::set("theme", "paper");
  EXPECT_EQ(Prefs::resolvedTheme(), "paper");
  EXPECT_EQ(Prefs::json()["theme"], "paper");
}

TEST_F(PrefsTest, HotKeyDictionariesStoreOnlyCombosWithAModifier) {
  Prefs::set("openKey", {{"code", "KeyK"}, {"ctrl", true}, {"shift", true}, {"alt", false}});
  EXPECT_EQ(store.get("openKey"), Json::array({40, 4096 | 512}));
  EXPECT_EQ(Prefs::combo(HotKey::Action::open), (HotKey::Combo{40, 4608}));
  EXPECT_EQ(Prefs::json()["openKey"], "Ctrl+Shift+K");

  // No modifier (or modifiers that are not booleans): nothing stored, nothing removed.
  Prefs::set("openKey", {{"code", "KeyJ"}});
  Prefs::set("openKey", {{"code", "KeyJ"}, {"ctrl", 1}, {"meta", "yes"}});
  EXPECT_EQ(store.get("openKey"), Json::array({40, 4608}));

  Prefs::set("talkKey", {{"code", "Space"}, {"meta", true}, {"alt", true}});
  EXPECT_EQ(Prefs::json()["talkKey"], "Alt+Super+Space");
  // An unknown key name removes the stored combination, whatever the modifiers.
  Prefs::set("talkKey", {{"code", "Backslash"}, {"ctrl", true}});
  EXPECT_FALSE(store.get("talkKey"));
  EXPECT_EQ(Prefs::json()["talkKey"], "Ctrl+Alt+T");
  EXPECT_EQ(Prefs::json()["openKey"], "Ctrl+Shift+K") << "the other action keeps its own";
  // So do a missing code and a value that is no dictionary (the page's "reset").
  Prefs::set("openKey", {{"ctrl", true}});
  EXPECT_FALSE(store.get("openKey"));
  Prefs::set("openKey", {{"code", "F5"}, {"alt", true}});
  Prefs::set("openKey", nullptr);
  EXPECT_FALSE(store.get("openKey"));

  // Every change of a combination re-registers the hot keys, even one that stored nothing.
  EXPECT_EQ(services.calls, std::vector<std::string>(8, "reload"));
}

TEST_F(PrefsTest, StoredHotKeyArraysMustBeTwo32BitIntegers) {
  const std::pair<Json, bool> cases[] = {
      {Json::array({15, 6144}), true},
      {Json::array({15.0, 6144}), true},
      {Json::array({15}), false},
      {Json::array({15, 6144, 1}), false},
      {Json::array({"15", 6144}), false},
      {Json::array({15.5, 6144}), false},
      {Json::array({-1, 6144}), false},
      {Json::array({15, 4294967296LL}), false},
      {Json::array({15, 4294967295LL}), true},
      {Json{{"code", 15}, {"mods", 6144}}, false},
      {Json("15,6144"), false},
  };
  for (const auto& [stored, valid] : cases) {
    store.set("openKey", stored);
    EXPECT_EQ(Prefs::combo(HotKey::Action::open).has_value(), valid) << stored;
    if (!valid) {
      EXPECT_EQ(Prefs::comboOrDefault(HotKey::Action::open), (HotKey::Combo{15, 6144}));
    }
  }
  store.set("openKey", Json::array({49, 4096}));
  EXPECT_EQ(Prefs::json()["openKey"], "Ctrl+Space");
  EXPECT_FALSE(Prefs::combo(HotKey::Action::talk));
}

TEST_F(PrefsTest, ActionKeysReachTheirOwners) {
  Prefs::set("hooksInstalled", true);
  Prefs::set("cursorInstalled", false);
  Prefs::set("openAtLogin", true);
  Prefs::set("integration:gemini", true);
  Prefs::set("integration:windsurf", false);
  EXPECT_EQ(services.calls, (std::vector<std::string>{"hooks on", "cursor off", "login on",
                                                      "gemini on", "windsurf off"}));
  EXPECT_EQ(store.all(), Json::object()) << "actions store nothing";
}

TEST_F(PrefsTest, IntegrationKeysNeedAKnownIdentifierAndABoolean) {
  Prefs::set("integration:cursor", true);  // not one of the five
  Prefs::set("integration:Gemini", true);  // identifiers are exact
  Prefs::set("integration:", true);
  Prefs::set("integration:gemini", "yes");
  Prefs::set("integration:gemini", 1);
  Prefs::set("integrations:gemini", true);
  EXPECT_TRUE(services.calls.empty());
  Prefs::set("integration:opencode", true);
  Prefs::set("integration:droid", false);
  Prefs::set("integration:copilot", true);
  EXPECT_EQ(services.calls, (std::vector<std::string>{"opencode on", "droid off", "copilot on"}));
}

TEST_F(PrefsTest, RemoteHostCommandsTakeADestinationString) {
  Prefs::set("remoteAdd", true);
  Prefs::set("remoteRemove", Json::array({"x"}));
  EXPECT_TRUE(services.calls.empty());
  Prefs::set("remoteAdd", "me@dev:2222");
  Prefs::set("remoteRemove", "me@dev:2222");
  EXPECT_EQ(services.calls,
            (std::vector<std::string>{"remote add me@dev:2222", "remote remove me@dev:2222"}));
}

TEST_F(PrefsTest, FailingInstallersAreAbsorbed) {
  services.failing = true;
  EXPECT_NO_THROW(Prefs::set("hooksInstalled", true));
  EXPECT_NO_THROW(Prefs::set("integration:gemini", true));
  EXPECT_NO_THROW(Prefs::set("openAtLogin", true));
  EXPECT_NO_THROW(Prefs::set("openKey", {{"code", "KeyA"}, {"alt", true}}));
  EXPECT_NO_THROW(Prefs::set("autoUpdate", false));
  EXPECT_EQ(services.calls.size(), 5u);
  EXPECT_EQ(store.get("openKey"), Json::array({0, 2048})) << "stored before the reload failed";
  EXPECT_FALSE(Prefs::autoUpdate());
  EXPECT_EQ(Prefs::json()["hooksInstalled"], false);
}

TEST_F(PrefsTest, TuckedSessionsRoundTrip) {
  Prefs::setTucked({{"claude:a", 1700000000.25}, {"codex:b", 1700000100}});
  EXPECT_EQ(store.get("tucked"), (Json{{"claude:a", 1700000000.25}, {"codex:b", 1700000100.0}}));
  EXPECT_EQ(Prefs::tucked(),
            (std::map<std::string, Date>{{"claude:a", 1700000000.25}, {"codex:b", 1700000100}}));
  store.set("tucked", Json{{"claude:a", 5}, {"bad", "yesterday"}, {"worse", nullptr}});
  EXPECT_EQ(Prefs::tucked(), (std::map<std::string, Date>{{"claude:a", 5}}));
  Prefs::setTucked({});
  EXPECT_EQ(store.get("tucked"), Json::object());
}

TEST(PrefsFile, SettingsPersistAndACorruptFileIsKeptAside) {
  TestHome home;
  const std::string path =
      home.write(".config/talvane/settings.json", R"({"hideAfter": 30, "glass": tru)");
  FakeServices services;
  {
    JsonSettingsStore store;
    Prefs::Binding binding(store, &services);
    EXPECT_EQ(Prefs::hideAfter(), 120);
    EXPECT_EQ(Prefs::json()["glass"], false);
    Prefs::set("hideAfter", 0);
    Prefs::set("talkKey", {{"code", "Digit1"}, {"ctrl", true}});
  }
  EXPECT_EQ(files::read(path + ".corrupt"), R"({"hideAfter": 30, "glass": tru)");
  JsonSettingsStore store;
  Prefs::Binding binding(store, &services);
  EXPECT_EQ(Prefs::hideAfter(), 0);
  EXPECT_EQ(Prefs::json()["talkKey"], "Ctrl+1");
}

TEST(PrefsDefaultServices, ReportNothingInstalledButTheRealLoginItemAndVersion) {
  TestHome home;
  MemorySettingsStore store;
  Prefs::Binding binding(store);
  Json page = Prefs::json();
  EXPECT_EQ(page["version"], TALVANE_VERSION);
  EXPECT_EQ(page["hooksInstalled"], false);
  EXPECT_EQ(page["cursorAvailable"], false);
  EXPECT_EQ(page["openAtLogin"], false);
  for (const auto& integration : page["integrations"]) {
    EXPECT_EQ(integration["available"], false);
    EXPECT_EQ(integration["installed"], false);
  }
  Prefs::set("openAtLogin", true);
  EXPECT_TRUE(files::exists(home.path() + "/.config/autostart/talvane.desktop"));
  EXPECT_EQ(Prefs::json()["openAtLogin"], true);
  Prefs::set("openAtLogin", false);
  EXPECT_FALSE(files::exists(home.path() + "/.config/autostart/talvane.desktop"));
  EXPECT_EQ(Prefs::json()["openAtLogin"], false);
}

}  // namespace
}  // namespace talvane
