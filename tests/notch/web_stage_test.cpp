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

TEST(WebStage, QueuesUntilReadyAndTheReadyHandlersMessagesGoFirst) {
  RecordingHost host;
  WebStage stage;
  stage.setHost(&host);
  stage.onMessage = [&](const Json& m) {
    if (m["type"] == "ready") stage.send("state", {{"n", 2}});
  };
  stage.send("state", {{"n", 1}});
  stage.send("usage", {{"today", 0}});
  EXPECT_TRUE(host.delivered.empty());
  stage.receive({{"type", "ready"}});
  ASSERT_EQ(host.delivered.size(), 3u);
  EXPECT_EQ(host.delivered[0]["n"], 2);
  EXPECT_EQ(host.delivered[1]["n"], 1);
  EXPECT_EQ(host.delivered[2]["type"], "usage");
  EXPECT_EQ(stage.queuedCount(), 0u);
  stage.send("keys", {{"on", true}});
  EXPECT_EQ(host.delivered.back()["type"], "keys");
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
  stage.send("state", Json::array());                  // not an object
  stage.send("talk", {{"text", std::string("\xff")}});  // not UTF-8
  EXPECT_EQ(stage.queuedCount(), 0u);
  int other = 0;
  stage.onMessage = [&](const Json&) { ++other; };
  stage.receive(Json::array());
  stage.receive({{"id", "x"}});  // no type: still passed on
  EXPECT_EQ(other, 1);
}

TEST(WebStage, QueueIsBoundedOldestFirst) {
  WebStage stage;
  for (size_t i = 0; i < WebStage::kMaxQueued + 10; ++i) stage.send("state", {{"n", i}});
  EXPECT_EQ(stage.queuedCount(), WebStage::kMaxQueued);
  RecordingHost host;
  stage.setHost(&host);
  stage.receive({{"type", "ready"}});
  EXPECT_EQ(host.delivered.front()["n"], 10);
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
