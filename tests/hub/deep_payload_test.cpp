// Payloads built to hurt: nesting beyond reason, and files that are no files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "hub/codex_watcher.h"
#include "hub_test_support.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

std::string deepObject(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  text += "1";
  text.append(static_cast<std::size_t>(depth), '}');
  return text;
}

TEST_F(HubTest, CopilotToolArgsNestedTooDeepCountAsNoInput) {
  const Json base = {
      {"_agent", "copilot"}, {"event", "preToolUse"}, {"sessionId", "cp"}, {"toolName", "Bash"}};
  Json deep = base;
  deep["toolArgs"] = deepObject(100000);
  hub().adapted(deep, [](const std::string&) {});
  const Session* s = hub().find("copilot:cp");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->activity, "Running ");
  // Nesting that real tools use still comes through.
  Json nested = base;
  nested["toolArgs"] = R"({"command":"make","env":)" + deepObject(100) + "}";
  hub().adapted(nested, [](const std::string&) {});
  EXPECT_EQ(hub().find("copilot:cp")->activity, "Running make");
}

TEST_F(HubTest, ARolloutThatIsAFifoIsPassedOver) {
  TestHome home;
  CodexWatcher watcher(hub(), loop);
  const std::string folder = watcher.dayDirectory(0);
  std::filesystem::create_directories(folder);
  const std::string fifo = folder + "/rollout-2025-10-01T09-30-00-fifo.jsonl";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const timespec now[2] = {{static_cast<time_t>(loop.now()), 0},
                           {static_cast<time_t>(loop.now()), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, fifo.c_str(), now, 0), 0);
  watcher.sweep();  // would block for good on opening it
  EXPECT_TRUE(watcher.offsets().empty());
  EXPECT_TRUE(hub().sessions().empty());
}

}  // namespace
}  // namespace talvane::testing
