#include "notch/web_stage.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "notch/page_files.h"
#include "support/test_home.h"

namespace talvane {
namespace {

struct RecordingHost : PageHost {
  std::vector<PageSource> loads;
  std::vector<Json> delivered;
  void load(const PageSource& s) override { loads.push_back(s); }
  void deliver(const std::string& m) override { delivered.push_back(Json::parse(m)); }
  // States are told apart: a host behind may skip to the newest.
  std::vector<std::string> states;
  void deliverState(const std::string& m) override {
    states.push_back(m);
    deliver(m);
  }
};

TEST(PageFiles, ContentTypesFollowTheExtensionTable) {
  EXPECT_EQ(PageFiles::contentType("/assets/app.JS"), "text/javascript; charset=utf-8");
  EXPECT_EQ(PageFiles::contentType("/index.html"), "text/html; charset=utf-8");
  EXPECT_EQ(PageFiles::contentType("/a/font.woff2"), "font/woff2");
  EXPECT_EQ(PageFiles::contentType("/app.wasm"), "application/wasm");
  EXPECT_EQ(PageFiles::contentType("/LICENSE"), "application/octet-stream");
  EXPECT_EQ(PageFiles::contentType("/dir.d/file"), "application/octet-stream");
  EXPECT_EQ(PageFiles::contentType("/x.map"), "application/json");
}

TEST(PageFiles, ServesIndexForTheRootAndRefusesEscapes) {
  testing::TempDir dir;
  testing::TestHome home;
  home.write("page/index.html", "<p>hi</p>");
  home.write("page/assets/a.CSS", "body{}");
  home.write("secret.txt", "no");
  const std::string root = home.path() + "/page";
  auto index = PageFiles::read(root, "/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->data, "<p>hi</p>");
  EXPECT_EQ(index->type, "text/html; charset=utf-8");
  EXPECT_TRUE(PageFiles::read(root, ""));
  EXPECT_EQ(PageFiles::read(root, "/assets/a.CSS")->type, "text/css; charset=utf-8");
  EXPECT_FALSE(PageFiles::read(root, "/../secret.txt"));
  EXPECT_FALSE(PageFiles::read(root, "/assets/../../secret.txt"));
  EXPECT_FALSE(PageFiles::read(root, "/missing.js"));
  EXPECT_FALSE(PageFiles::read(root, "/assets"));
  EXPECT_FALSE(PageFiles::read(std::nullopt, "/index.html"));
}

TEST(WebStage, QueuesUntilReadyAndNeverReplaysAnOlderStateAfterTheFreshOne) {
  struct Case {
    const char* name;
    bool handlerPushes;
    std::vector<int> states;  // "n" of the states delivered, in order
  };
  for (const Case& c :
       std::vector<Case>{{"ready pushes", true, {2}}, {"ready is quiet", false, {1}}}) {
    SCOPED_TRACE(c.name);
    RecordingHost host;
    WebStage stage;
    stage.setHost(&host);
    stage.onMessage = [&](const Json& m) {
      if (c.handlerPushes && m["type"] == "ready") stage.send("state", {{"n", 2}});
    };
    stage.send("state", {{"n", 0}});
    stage.send("usage", {{"today", 0}});
    stage.send("state", {{"n", 1}});
    EXPECT_TRUE(host.delivered.empty());
    EXPECT_EQ(stage.queuedCount(), 2u) << "queued states coalesce";
    stage.receive({{"type", "ready"}});
    std::vector<int> states;
    for (const auto& m : host.delivered)
      if (m["type"] == "state") states.push_back(m["n"].get<int>());
    EXPECT_EQ(states, c.states);
    EXPECT_EQ(host.delivered.back()["type"], c.handlerPushes ? "usage" : "state");
    EXPECT_EQ(stage.queuedCount(), 0u);
    EXPECT_EQ(stage.queuedBytes(), 0u);
    stage.send("keys", {{"on", true}});
    EXPECT_EQ(host.delivered.back()["type"], "keys");
  }
}

TEST(WebStage, StatesReachTheHostAsStatesWhetherSentOrReplayed) {
  WebStage stage;
  RecordingHost host;
  stage.setHost(&host);
  stage.send("state", {{"n", 1}});
  stage.send("keys", {{"on", true}});
  stage.receive({{"type", "ready"}});
  stage.send("state", {{"n", 2}});
  stage.send("pointer", {{"x", 1}, {"y", 2}});
  ASSERT_EQ(host.delivered.size(), 4u);
  ASSERT_EQ(host.states.size(), 2u);
  EXPECT_EQ(Json::parse(host.states[0])["n"], 1);
  EXPECT_EQ(Json::parse(host.states[1])["n"], 2);
}

TEST(WebStage, LoadClearsReadinessAndDropsWhatCannotBeSent) {
  RecordingHost host;
  WebStage stage("?onboard");
  stage.setHost(&host);
  stage.receive({{"type", "ready"}});
  stage.load();
  EXPECT_FALSE(stage.isReady());
  ASSERT_EQ(host.loads.size(), 1u);
  EXPECT_EQ(host.loads[0].route, "?onboard");
  stage.send("state", Json::array());                   // not an object
  stage.send("talk", {{"text", std::string("\xff")}});  // not UTF-8
  EXPECT_EQ(stage.queuedCount(), 0u);
  int other = 0;
  stage.onMessage = [&](const Json&) { ++other; };
  stage.receive(Json::array());
  stage.receive({{"id", "x"}});  // no type: still passed on
  EXPECT_EQ(other, 1);
}

TEST(WebStage, QueueIsBoundedByCountAndBytesOldestFirstKeepingTheNewestState) {
  WebStage stage;
  const std::string big(1 << 20, 'x');
  for (size_t i = 0; i < 450; ++i) stage.send("state", {{"n", i}, {"detail", big}});
  EXPECT_EQ(stage.queuedCount(), 1u);
  for (size_t i = 0; i < 20; ++i) stage.send("talk", {{"n", i}, {"text", big}});
  EXPECT_LE(stage.queuedBytes(), WebStage::kMaxQueuedBytes);
  for (size_t i = 0; i < WebStage::kMaxQueued + 10; ++i) stage.send("pointer", {{"n", i}});
  EXPECT_EQ(stage.queuedCount(), WebStage::kMaxQueued);
  RecordingHost host;
  stage.setHost(&host);
  stage.receive({{"type", "ready"}});
  ASSERT_EQ(host.delivered.size(), WebStage::kMaxQueued);
  EXPECT_EQ(host.delivered.front()["type"], "state");
  EXPECT_EQ(host.delivered.front()["n"], 449);
  EXPECT_EQ(host.delivered[1]["type"], "pointer");
  EXPECT_EQ(host.delivered[1]["n"], 11);
}

TEST(WebStage, SourceChoiceFollowsDevUrlThenDirectories) {
  testing::TestHome home;
  home.write("built/index.html", "x");
  setenv("TALVANE_WEB_DIR", (home.path() + "/built").c_str(), 1);
  auto dir = WebStage::chooseSource("");
  EXPECT_EQ(dir.kind, PageSource::Kind::kDirectory);
  EXPECT_EQ(dir.directory, home.path() + "/built");
  setenv("TALVANE_DEV_URL", "http://localhost:5173/", 1);
  auto dev = WebStage::chooseSource("?onboard");
  EXPECT_EQ(dev.kind, PageSource::Kind::kUrl);
  EXPECT_EQ(dev.url, "http://localhost:5173/?onboard");
  setenv("TALVANE_DEV_URL", "not a url", 1);
  EXPECT_EQ(WebStage::chooseSource("").kind, PageSource::Kind::kDirectory);
  unsetenv("TALVANE_DEV_URL");
  setenv("TALVANE_WEB_DIR", (home.path() + "/none").c_str(), 1);
  EXPECT_NE(WebStage::chooseSource("").directory, home.path() + "/none");
  unsetenv("TALVANE_WEB_DIR");
  EXPECT_EQ(WebStage::script(R"({"type":"hello"})"),
            R"(window.__talvane && window.__talvane.receive({"type":"hello"});)");
}

}  // namespace
}  // namespace talvane
