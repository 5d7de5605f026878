#include "app/autostart.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::TestHome;

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(Autostart, InstallStatusUninstallRoundTrip) {
  TestHome home;
  const std::string file = home.path() + "/.config/autostart/talvane.desktop";
  EXPECT_EQ(Autostart::path(), file);
  EXPECT_FALSE(Autostart::enabled());
  EXPECT_FALSE(Autostart::uninstall()) << "nothing to remove is no failure";

  ASSERT_FALSE(Autostart::install("/opt/talvane/bin/talvane"));
  auto text = files::read(file);
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->starts_with("[Desktop Entry]\n"));
  for (const char* line : {"Type=Application", "Name=Talvane", "Exec=/opt/talvane/bin/talvane",
                           "TryExec=/opt/talvane/bin/talvane", "X-GNOME-Autostart-enabled=true"})
    EXPECT_TRUE(hasLine(*text, line)) << line;
  EXPECT_TRUE(Autostart::enabled());

  ASSERT_FALSE(Autostart::uninstall());
  EXPECT_FALSE(files::exists(file));
  EXPECT_FALSE(Autostart::enabled());
}

TEST(Autostart, ByDefaultStartsTheRunningExecutable) {
  TestHome home;
  const std::string exe = Autostart::currentExecutable();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(files::exists(exe));
  ASSERT_FALSE(Autostart::install());
  EXPECT_EQ(files::read(Autostart::path()), Autostart::entry(exe));
}

TEST(Autostart, ExecQuotesPathsThatNeedIt) {
  auto exec = [](const std::string& exe) {
    std::string text = Autostart::entry(exe);
    auto at = text.find("\nExec=");
    return at == std::string::npos ? "" : text.substr(at + 6, text.find('\n', at + 1) - at - 6);
  };
  EXPECT_EQ(exec("/usr/bin/talvane"), "/usr/bin/talvane");
  EXPECT_EQ(exec("/home/a b/100%/talvane"), "\"/home/a b/100%%/talvane\"");
  // Inside quotes $ and \ are escaped, and then every backslash once more for the file.
  EXPECT_EQ(exec("/x/$d\\y/talvane"), R"("/x/\\$d\\\\y/talvane")");
  for (const std::string bad : {"", "talvane", "/bin/tal\nvane", "/bin/tal\tvane"}) {
    EXPECT_EQ(Autostart::entry(bad), "") << bad;
    TestHome home;
    EXPECT_TRUE(Autostart::install(bad)) << bad;
    EXPECT_FALSE(files::exists(Autostart::path()));
  }
}

TEST(Autostart, OnlyOurOwnEnabledEntryCounts) {
  TestHome home;
  const std::string theirs =
      "[Desktop Entry]\nType=Application\nName=Mine\nExec=/usr/bin/talvane\n";
  home.write(".config/autostart/talvane.desktop", theirs);
  EXPECT_FALSE(Autostart::enabled());
  EXPECT_FALSE(Autostart::uninstall());
  EXPECT_EQ(files::read(Autostart::path()), theirs) << "a file we did not write stays";

  ASSERT_FALSE(Autostart::install("/usr/bin/talvane"));
  EXPECT_TRUE(Autostart::enabled());
  const std::string ours = *files::read(Autostart::path());
  // The desktop's own switches turn it off without removing it.
  home.write(".config/autostart/talvane.desktop", ours + "Hidden=true\n");
  EXPECT_FALSE(Autostart::enabled());
  std::string off = ours;
  off.replace(off.find("Autostart-enabled=true"), 22, "Autostart-enabled=false");
  home.write(".config/autostart/talvane.desktop", off);
  EXPECT_FALSE(Autostart::enabled());
  // Our marker in another group is not ours.
  home.write(".config/autostart/talvane.desktop",
             "[Desktop Entry]\nName=Talvane\n[Extra]\nX-Talvane-Autostart=true\n");
  EXPECT_FALSE(Autostart::enabled());
}

TEST(Autostart, RefreshFollowsAMovedExecutableOnlyWhenEnabled) {
  TestHome home;
  Autostart::refresh("/new/talvane");
  EXPECT_FALSE(files::exists(Autostart::path())) << "never turns the login item on";
  ASSERT_FALSE(Autostart::install("/old/talvane"));
  Autostart::refresh("/new/talvane");
  EXPECT_EQ(files::read(Autostart::path()), Autostart::entry("/new/talvane"));
  EXPECT_TRUE(Autostart::enabled());
}

}  // namespace
}  // namespace talvane
