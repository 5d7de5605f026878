#include "context/jump.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

TEST(JumpHostName, FollowsTheAgentAndTheHost) {
  const std::optional<std::string> none;
  const std::optional<std::string> pts = "/dev/pts/3";
  EXPECT_EQ(Jump::hostName("cursor", none, none), "Cursor");
  EXPECT_EQ(Jump::hostName("codex", "/usr/bin/kitty", none), "Codex");
  EXPECT_EQ(Jump::hostName("codex", none, pts), std::nullopt);
  EXPECT_EQ(Jump::hostName("claude", none, pts), std::nullopt);
  EXPECT_EQ(Jump::hostName("claude", "/Applications/Claude.app", pts), std::nullopt);
  EXPECT_EQ(Jump::hostName("claude", "/Applications/iTerm.app", none), std::nullopt);
  EXPECT_EQ(Jump::hostName("claude", "/Applications/iTerm.app", pts), "iTerm");
  EXPECT_EQ(Jump::hostName("gemini", "/Applications/Ghostty.app", none), "Ghostty");
  EXPECT_EQ(Jump::hostName("claude", "/usr/libexec/gnome-terminal-server", none), "GNOME Terminal");
  EXPECT_EQ(Jump::hostName("claude", "/usr/bin/tmux", pts), "tmux");
  EXPECT_EQ(Jump::hostName("claude", "/usr/share/code/code", none), "VS Code");
}

}  // namespace
}  // namespace talvane
