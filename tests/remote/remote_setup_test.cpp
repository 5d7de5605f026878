// Looking at a remote before changing anything there, and what is said when it cannot be used.
#include "remote/remote_setup.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include "integrations/hook_installer.h"
#include "local_shell_runner.h"
#include "platform/files.h"
#include "support/test_home.h"

namespace talvane::remote {
namespace {

TEST(RemoteSetup, SaysWhySshCouldNotReachTheHost) {
  struct Case {
    const char* destination;
    const char* err;
    const char* said;
  };
  const Case cases[] = {
      {"me@devbox:2222", "me@127.0.0.1: Permission denied (publickey,password).\r\n",
       "cannot reach me@devbox:2222: it needs key or ssh-agent authentication (Talvane never asks "
       "for a password); check with: ssh -p 2222 me@devbox true"},
      {"devbox",
       "No ED25519 host key is known for devbox and you have requested strict "
       "checking.\nHost key verification failed.\n",
       "cannot reach devbox: its host key could not be verified; run 'ssh devbox' once to check "
       "and accept it"},
      {"devbox", "ssh: Could not resolve hostname devbox: Name or service not known\r\n",
       "cannot reach devbox: ssh: Could not resolve hostname devbox: Name or service not known"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(unreachable(*Destination::parse(c.destination), {255, "", c.err}), c.said);
}

TEST(RemoteSetup, ReadsTheProbeAndNamesArchitecturesOneWay) {
  auto facts = readProbe("Linux\narm64\n/home/me/\n\nbox\ncodex\n");
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->home, "/home/me");
  EXPECT_EQ(facts->configHome, "/home/me/.config");
  EXPECT_EQ(facts->hostName, "box");
  EXPECT_TRUE(facts->codex);
  EXPECT_EQ(readProbe("Linux\nx86_64\n/h\n/cfg\nbox\n-\n")->configHome, "/cfg");
  EXPECT_FALSE(readProbe("Linux\nx86_64\nrelative\n\nbox\n-\n"));
  EXPECT_FALSE(readProbe("sh: uname: not found\n"));
  EXPECT_EQ(architectureOf("arm64"), architectureOf("aarch64"));
  EXPECT_EQ(architectureOf("amd64"), "x86_64");
  EXPECT_EQ(architectureOf("i686"), "i386");
  EXPECT_EQ(architectureOf("armv7l"), "arm");
  // Our own relay is built for the machine we run on.
  utsname self{};
  ::uname(&self);
  const std::string relay = TALVANE_BIN_DIR "/talvane-hook";
  if (files::exists(relay)) {
    EXPECT_EQ(elfArchitecture(relay), architectureOf(self.machine));
  }
}

TEST(RemoteSetup, TheAppRequestsCarryTheHostWhole) {
  const RemoteHost host{"me@devbox", "/home/me", "dev\x1b", "x86_64", {"claude"}, true};
  auto add = json::parse(addRequest(host));
  ASSERT_TRUE(add);
  EXPECT_EQ(json::string(*add, "_query"), "remoteAdd");
  ASSERT_TRUE(json::object(*add, "host"));
  EXPECT_EQ(RemoteHosts::fromJson(*json::object(*add, "host")), host);
  EXPECT_EQ(addRequest(host).find('\n'), std::string::npos);  // one line
  EXPECT_EQ(json::parse(removeRequest("me@devbox")),
            (Json{{"_query", "remoteRemove"}, {"destination", "me@devbox"}}));
}

// A relay built for another processor: refused before anything is written there.
TEST(RemoteSetup, RefusesAnArchitectureTheRelayIsNotBuiltFor) {
  testing::TestHome remoteHome;
  utsname self{};
  ::uname(&self);
  const bool onArm = architectureOf(self.machine) == "aarch64";
  std::string header(64, '\0');
  header.replace(0, 4,
                 "\x7f"
                 "ELF");
  header[4] = 2;                        // 64-bit
  header[5] = 1;                        // little-endian
  header[18] = onArm ? 62 : char(183);  // x86_64, else aarch64
  testing::TempDir shipped;
  files::writeAtomic(shipped.path() + "/talvane-hook", header, 0755);
  HookInstaller::setRelaySource(shipped.path() + "/talvane-hook");
  testing::LocalShellRunner runner(remoteHome.path());
  std::vector<std::string> said, complaints;
  Added added;
  {
    SshSession session(*Destination::parse("devbox"), runner);
    added = add(session, {[&](const std::string& l) { said.push_back(l); },
                          [&](const std::string& l) { complaints.push_back(l); }});
  }
  HookInstaller::setRelaySource(std::nullopt);
  EXPECT_FALSE(added.host);
  ASSERT_EQ(complaints.size(), 1u);
  EXPECT_EQ(complaints[0], "devbox is " + std::string(self.machine) +
                               ", but this talvane-hook is built for " +
                               (onArm ? "x86_64" : "aarch64") + ", so nothing was changed there");
  EXPECT_FALSE(files::exists(remoteHome.path() + "/.talvane"));
}

}  // namespace
}  // namespace talvane::remote
