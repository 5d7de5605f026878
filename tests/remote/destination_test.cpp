#include "remote/destination.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "remote/remote_hosts.h"
#include "support/loopback_sshd.h"
#include "support/test_home.h"

namespace talvane::remote {
namespace {

TEST(Destination, ReadsWhatSshTakesAndRefusesWhatItCouldMisread) {
  struct Case {
    const char* text;
    const char* canonical;  // nullptr: refused
  };
  const Case cases[] = {
      {"devbox", "devbox"},
      {"me@devbox", "me@devbox"},
      {"me@dev.example.com:2222", "me@dev.example.com:2222"},
      {"[::1]:22", "[::1]:22"},
      {"me@[fe80::1%eth0]", "me@[fe80::1%eth0]"},
      {"-oProxyCommand=touch /tmp/x", nullptr},
      {"me@-p", nullptr},
      {"dev box", nullptr},
      {"devbox:", nullptr},
      {"devbox:70000", nullptr},
      {"devbox:22x", nullptr},
      {"dev'box", nullptr},
      {"@devbox", nullptr},
      {"", nullptr},
      {"[devbox]", nullptr},
  };
  for (const Case& c : cases) {
    auto parsed = Destination::parse(c.text);
    if (!c.canonical) {
      EXPECT_FALSE(parsed) << c.text;
      continue;
    }
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(parsed->text(), c.canonical);
  }
}

TEST(Destination, CommandKeepsTheHostAfterTheOptionsAndQuotesForTheShell) {
  auto to = Destination::parse("me@devbox:2200");
  ASSERT_TRUE(to);
  auto argv = sshCommand(*to, {"-N"}, "echo " + shellQuote("it's"));
  ASSERT_GE(argv.size(), 5u);
  EXPECT_EQ(argv[argv.size() - 3], "--");
  EXPECT_EQ(argv[argv.size() - 2], "me@devbox");
  EXPECT_EQ(argv.back(), "echo 'it'\\''s'");
  EXPECT_NE(std::find(argv.begin(), argv.end(), "BatchMode=yes"), argv.end());
  EXPECT_NE(std::find(argv.begin(), argv.end(), "2200"), argv.end());
}

TEST(RemoteHosts, KeepsOneEntryPerDestinationAndSkipsWhatDoesNotRead) {
  MemorySettingsStore store;
  store.set(RemoteHosts::kKey, Json::array({Json{{"destination", 3}}, "x"}));
  RemoteHosts::put(store, {"a", "/home/a", "alpha", "x86_64", {"claude"}, true});
  RemoteHosts::put(store, {"b", "/home/b", "", "", {}, false});
  RemoteHosts::put(store, {"a", "/home/a2", "alpha", "aarch64", {"gemini"}, false});
  auto hosts = RemoteHosts::load(store);
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0], (RemoteHost{"a", "/home/a2", "alpha", "aarch64", {"gemini"}, false}));
  EXPECT_TRUE(RemoteHosts::erase(store, "b"));
  EXPECT_FALSE(RemoteHosts::erase(store, "b"));
  EXPECT_EQ(RemoteHosts::load(store).size(), 1u);
}

// The stand-in remote every remote test relies on: a session with the key gets the second home,
// a session without gets no prompt.
TEST(LoopbackSshd, StandsInForARemoteUser) {
  testing::TempDir dir;
  std::string why;
  auto server = testing::LoopbackSshd::start(dir.path(), &why);
  ASSERT_TRUE(server) << why;
  EXPECT_EQ(server->run("printf %s \"$HOME\""), server->remoteHome());
  auto nokey = Destination::parse("nokey");
  ::setenv("TALVANE_SSH", server->wrapper().c_str(), 1);
  auto argv = sshCommand(*nokey, {}, "true");
  ::unsetenv("TALVANE_SSH");
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  gchar* err = nullptr;
  gint status = 0;
  ASSERT_TRUE(g_spawn_sync(nullptr, args.data(), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr,
                           nullptr, nullptr, &err, &status, nullptr));
  EXPECT_FALSE(g_spawn_check_wait_status(status, nullptr));
  EXPECT_NE(std::string(err ? err : "").find("Permission denied"), std::string::npos) << err;
  g_free(err);
}

}  // namespace
}  // namespace talvane::remote
