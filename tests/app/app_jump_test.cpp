// `talvane jump` against the real app: known and unknown sessions, and no app.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/gobject.h"
#include "support/relay_process.h"
#include "support/test_home.h"

namespace talvane {
namespace {

const std::string kApp = TALVANE_BIN_DIR "/talvane";

struct Ran {
  int status = -1;
  std::string err;
};

Ran talvane(std::vector<std::string> args) {
  args.insert(args.begin(), kApp);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  gchar* err = nullptr;
  gint status = 0;
  Ran run;
  if (g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr,
                   nullptr, &err, &status, nullptr) &&
      WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  GCharPtr owned(err);
  run.err = err ? err : "";
  return run;
}

TEST(AppJump, AsksTheRunningAppAndFailsClearly) {
  if (::access(kApp.c_str(), X_OK) != 0 || ::access(testing::kRelayPath.c_str(), X_OK) != 0)
    GTEST_SKIP() << "talvane and talvane-hook are not built";
  testing::TestHome home;
  const std::string socket = home.path() + "/.talvane/run/talvane.sock";

  Ran none = talvane({"jump", "claude:s1"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "talvane: no app is listening on " + socket + "\n");

  std::vector<std::string> appArgs{kApp, "--web", "--port", "0"};
  std::vector<char*> argv;
  for (auto& a : appArgs) argv.push_back(a.data());
  argv.push_back(nullptr);
  GPid app = 0;
  ASSERT_TRUE(g_spawn_async(
      nullptr, argv.data(), nullptr,
      static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
      nullptr, &app, nullptr));
  ASSERT_TRUE(testing::runUntil([&] { return files::exists(socket); }));
  testing::RelayProcess relay({"claude", "SessionStart"}, R"({"session_id":"s1","cwd":"/"})");
  ASSERT_TRUE(testing::runUntil([&] { return relay.finished(); }, 20));

  // The session's host is this test's process tree, with no window to raise: the command
  // says so instead of claiming success, whether named by its full id or the agent's own.
  for (const char* id : {"claude:s1", "s1"}) {
    Ran known = talvane({"jump", id});
    EXPECT_EQ(known.status, 1) << id;
    EXPECT_TRUE(known.err.starts_with("talvane: nothing came forward: ")) << known.err;
  }
  Ran unknown = talvane({"jump", "claude:nope"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "talvane: no session claude:nope\n");

  testing::RelayProcess other({"gemini", "SessionStart"}, R"({"session_id":"s1","cwd":"/"})");
  ASSERT_TRUE(testing::runUntil([&] { return other.finished(); }, 20));
  Ran ambiguous = talvane({"jump", "s1"});
  EXPECT_EQ(ambiguous.status, 1);
  EXPECT_EQ(ambiguous.err, "talvane: s1 names more than one session: claude:s1, gemini:s1\n");

  ::kill(app, SIGTERM);
  ::waitpid(app, nullptr, 0);
}

}  // namespace
}  // namespace talvane
