#include "platform/json_settings_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "platform/files.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

namespace fs = std::filesystem;
using testing::TestHome;

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

Json onDisk(const std::string& path) {
  auto text = files::read(path);
  if (!text) return nullptr;
  return json::parse(*text).value_or(Json("not json"));
}

TEST(JsonSettingsStore, LivesInTheConfigHomeAndRoundTrips) {
  TestHome home;
  const std::string path = JsonSettingsStore::defaultPath();
  EXPECT_EQ(path, home.path() + "/.config/talvane/settings.json");
  {
    JsonSettingsStore store;
    EXPECT_FALSE(store.get("hideAfter"));
    EXPECT_FALSE(files::exists(path)) << "nothing to save yet";
    store.set("hideAfter", 0);
    store.set("tucked", Json{{"claude:abc", 1700000000.5}});
    store.set("shape", "wide");
    store.remove("shape");
    store.remove("never-there");
    // Written at once, not only at exit.
    EXPECT_EQ(onDisk(path), (Json{{"hideAfter", 0}, {"tucked", {{"claude:abc", 1700000000.5}}}}));
  }
  JsonSettingsStore again;
  EXPECT_EQ(again.get("hideAfter"), Json(0));
  EXPECT_EQ(again.get("tucked"), (Json{{"claude:abc", 1700000000.5}}));
  EXPECT_FALSE(again.get("shape"));
  EXPECT_TRUE(again.setAside().empty());
}

TEST(JsonSettingsStore, AtomicWritesLeaveNoTemporaryFiles) {
  TestHome home;
  JsonSettingsStore store;
  for (int i = 0; i < 20; ++i) store.set("n" + std::to_string(i % 3), i);
  EXPECT_EQ(listing(files::parent(store.path())), std::set<std::string>{"settings.json"});
  EXPECT_EQ(onDisk(store.path()), (Json{{"n0", 18}, {"n1", 19}, {"n2", 17}}));
}

TEST(JsonSettingsStore, BatchedChangesAreWrittenOnceOnTheNextPass) {
  TestHome home;
  ManualLoop loop;
  JsonSettingsStore store;
  store.batchOn(&loop);
  store.set("hideAfter", 5);
  store.set("glass", true);
  store.remove("glass");
  store.set("shape", "pill");
  EXPECT_FALSE(files::exists(store.path())) << "nothing written inside the burst";
  loop.runPending();
  EXPECT_EQ(store.writes(), 1u);
  EXPECT_EQ(onDisk(store.path()), (Json{{"hideAfter", 5}, {"shape", "pill"}}));
  store.set("hideAfter", 6);
  loop.runPending();
  EXPECT_EQ(store.writes(), 2u);
  EXPECT_EQ(onDisk(store.path())["hideAfter"], 6);
}

TEST(JsonSettingsStore, BatchedChangesStillReachTheFileWhenTheStoreGoesFirst) {
  TestHome home;
  ManualLoop loop;
  {
    JsonSettingsStore store;
    store.batchOn(&loop);
    store.set("hideAfter", 7);
  }
  loop.runPending();  // the posted flush must not touch the dead store
  EXPECT_EQ(onDisk(JsonSettingsStore::defaultPath()), (Json{{"hideAfter", 7}}));
}

TEST(JsonSettingsStore, CorruptFileIsKeptAsideAndNeverOverwritten) {
  TestHome home;
  const std::string path = home.write(".config/talvane/settings.json", "{\"hideAfter\": 5,");
  {
    JsonSettingsStore store;
    EXPECT_FALSE(store.get("hideAfter"));
    EXPECT_EQ(store.setAside(), path + ".corrupt");
    store.set("glass", true);
    EXPECT_EQ(files::read(path + ".corrupt"), "{\"hideAfter\": 5,");
    EXPECT_EQ(onDisk(path), (Json{{"glass", true}}));
  }
  // A second bad file (here: JSON, but not an object) does not replace the first copy.
  home.write(".config/talvane/settings.json", "[1, 2]");
  JsonSettingsStore store;
  EXPECT_EQ(store.setAside(), path + ".corrupt.1");
  EXPECT_FALSE(store.get("glass"));
  store.set("glass", false);
  EXPECT_EQ(files::read(path + ".corrupt"), "{\"hideAfter\": 5,");
  EXPECT_EQ(files::read(path + ".corrupt.1"), "[1, 2]");
  EXPECT_EQ(
      listing(files::parent(path)),
      (std::set<std::string>{"settings.json", "settings.json.corrupt", "settings.json.corrupt.1"}));
}

TEST(JsonSettingsStore, BlankFileIsSimplyEmpty) {
  TestHome home;
  const std::string path = home.write(".config/talvane/settings.json", " \n");
  JsonSettingsStore store;
  EXPECT_TRUE(store.setAside().empty());
  EXPECT_FALSE(files::exists(path + ".corrupt"));
  store.set("autoOpen", true);
  EXPECT_EQ(onDisk(path), (Json{{"autoOpen", true}}));
}

TEST(JsonSettingsStore, UnreadableFileIsNeverReplaced) {
  TestHome home;
  const std::string path = home.path() + "/.config/talvane/settings.json";
  fs::create_directories(path);  // something we cannot read stands in the file's place
  JsonSettingsStore store(path);
  EXPECT_FALSE(store.writable());
  store.set("theme", "dark");
  EXPECT_EQ(store.get("theme"), Json("dark")) << "still in use for this run";
  EXPECT_FALSE(store.flush());
  EXPECT_TRUE(files::isDirectory(path));
}

TEST(JsonSettingsStore, FailedWriteIsRetriedByFlush) {
  TestHome home;
  const std::string dir = home.path() + "/blocked";
  home.write("blocked", "a file where the folder should be");
  JsonSettingsStore store(dir + "/settings.json");
  store.set("optionTap", false);
  EXPECT_FALSE(store.flush());
  EXPECT_EQ(store.get("optionTap"), Json(false));
  fs::remove(dir);
  EXPECT_TRUE(store.flush());
  EXPECT_EQ(onDisk(dir + "/settings.json"), (Json{{"optionTap", false}}));
  EXPECT_TRUE(store.flush()) << "nothing left to write";
}

TEST(JsonSettingsStore, UnsavedChangesAreWrittenAtDestruction) {
  TestHome home;
  const std::string dir = home.path() + "/late";
  home.write("late", "x");
  {
    JsonSettingsStore store(dir + "/settings.json");
    store.set("replyWindow", 30);
    fs::remove(dir);
  }
  EXPECT_EQ(onDisk(dir + "/settings.json"), (Json{{"replyWindow", 30}}));
}

}  // namespace
}  // namespace talvane
