// Runs the OpenCode plugin under Node against a stand-in relay and checks what it sends.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "helpers.h"
#include "integrations/hook_installer.h"
#include "integrations/integration.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::TestHome;

// Imports the plugin the way OpenCode does, feeds it one of each kind of input, then waits
// (bounded) until the stand-in relay has recorded the expected number of runs.
constexpr const char* kDriver = R"js(
import { readdirSync } from "node:fs";
const [plugin, records, expected] = process.argv.slice(2);
const { Talvane } = await import(plugin);
const hooks = await Talvane({ directory: "/work/proj", worktree: "/work/proj", project: {} });
await hooks.event({ event: { type: "session.idle", properties: { sessionID: "s1" } } });
await hooks.event({ event: { type: "session.deleted",
                             properties: { info: { id: "s2", sessionID: "parent" } } } });
await hooks.event({ event: { type: "permission.updated",
                             properties: { sessionID: "s3", title: "Run rm -rf build/", message: "m" } } });
await hooks.event({ event: { type: "permission.asked", properties: { info: { sessionID: "s4" } } } });
await hooks.event({ event: { type: "message.updated", properties: { sessionID: "ignored" } } });
await hooks.event({ event: {} });
await hooks["chat.message"]({ sessionID: "s6" }, { message: {}, parts: [
    { type: "text", text: "fix the" }, { type: "file", url: "file:///x" }, { type: "text", text: "bug ü" }] });
await hooks["tool.execute.before"]({ tool: "bash", sessionID: "s7", callID: "c1" },
                                   { args: { command: "ls /tmp" } });
await hooks["tool.execute.before"]({ tool: "todoread", sessionID: "s8", callID: "c2" }, {});
await hooks["tool.execute.after"]({ tool: "bash", sessionID: "s7", callID: "c1" },
                                  { title: "", output: "x", metadata: {} });
const done = () => readdirSync(records).filter((f) => f.endsWith(".rec")).length >= Number(expected);
const deadline = Date.now() + 20000;
while (!done() && Date.now() < deadline) await new Promise((r) => setTimeout(r, 10));
)js";

class OpenCodePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::runShell("command -v node").status != 0) GTEST_SKIP() << "node is not installed";
    HookInstaller::setRelaySource(home_.path() + "/none");
    Integration(Integration::opencode).install();
    HookInstaller::setRelaySource(std::nullopt);
    // Node takes a .js file for CommonJS; OpenCode loads it as a module, so import a copy.
    plugin_ = home_.path() + "/talvane.mjs";
    files::writeAtomic(plugin_, contents(Integration(Integration::opencode).path()));
    driver_ = home_.write("driver.mjs", kDriver);
    records_ = home_.path() + "/records";
    files::makeDirs(records_);
  }

  void installStubRelay() {
    files::writeAtomic(HookInstaller::binPath(),
                       "#!/bin/sh\n"
                       "tmp='" +
                           records_ +
                           "'/$$.tmp\n"
                           "{ echo \"args:$*\"; cat; } > \"$tmp\"\n"
                           "mv \"$tmp\" '" +
                           records_ + "'/$$.rec\n",
                       0755);
  }

  testing::Run drive(int expected) {
    return testing::runShell("node '" + driver_ + "' '" + plugin_ + "' '" + records_ + "' " +
                             std::to_string(expected));
  }

  // Each run of the relay: its arguments, then the payload it read.
  std::vector<std::pair<std::string, Json>> records() {
    std::vector<std::pair<std::string, Json>> found;
    DIR* dir = ::opendir(records_.c_str());
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
      std::string name = entry->d_name;
      if (name.size() < 4 || name.substr(name.size() - 4) != ".rec") continue;
      std::string text = contents(records_ + "/" + name);
      auto newline = text.find('\n');
      found.emplace_back(text.substr(0, newline),
                         json::parse(text.substr(newline + 1)).value_or(nullptr));
    }
    if (dir) ::closedir(dir);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.second.dump() < b.second.dump(); });
    return found;
  }

  TestHome home_;
  std::string plugin_, driver_, records_;
};

TEST_F(OpenCodePluginTest, SendsEachEventToTheRelay) {
  installStubRelay();
  auto run = drive(8);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");

  auto sent = records();
  std::vector<Json> payloads;
  for (const auto& [args, payload] : sent) {
    EXPECT_EQ(args, "args:opencode");
    payloads.push_back(payload);
  }
  std::vector<Json> expected = {
      Json::parse(R"({"hook_event_name": "permission", "cwd": "/work/proj", "session_id": "s3",
                      "message": "Run rm -rf build/"})"),
      Json::parse(R"({"hook_event_name": "permission", "cwd": "/work/proj", "session_id": "s4",
                      "message": "Needs your OK"})"),
      Json::parse(R"({"hook_event_name": "prompt", "cwd": "/work/proj", "session_id": "s6",
                      "prompt": "fix the bug ü"})"),
      Json::parse(R"({"hook_event_name": "session.deleted", "cwd": "/work/proj",
                      "session_id": "s2"})"),
      Json::parse(R"({"hook_event_name": "session.idle", "cwd": "/work/proj",
                      "session_id": "s1"})"),
      Json::parse(R"({"hook_event_name": "tool.after", "cwd": "/work/proj", "session_id": "s7",
                      "tool_name": "bash"})"),
      Json::parse(R"({"hook_event_name": "tool.before", "cwd": "/work/proj", "session_id": "s7",
                      "tool_name": "bash", "tool_input": {"command": "ls /tmp"}})"),
      Json::parse(R"({"hook_event_name": "tool.before", "cwd": "/work/proj", "session_id": "s8",
                      "tool_name": "todoread", "tool_input": {}})"),
  };
  std::sort(expected.begin(), expected.end(),
            [](const Json& a, const Json& b) { return a.dump() < b.dump(); });
  EXPECT_EQ(payloads, expected);
}

TEST_F(OpenCodePluginTest, AMissingRelayNeverDisturbsOpenCode) {
  auto run = drive(0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(records().empty());
}

}  // namespace
}  // namespace talvane
