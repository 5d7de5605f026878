// Wrong use of every command is one line on stderr and exit status 2, before anything is done.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/gobject.h"
#include "support/test_home.h"

namespace talvane {
namespace {

const std::string kApp = TALVANE_BIN_DIR "/talvane";

TEST(AppCommandLine, WrongUseIsOneLineAndStatusTwo) {
  if (::access(kApp.c_str(), X_OK) != 0) GTEST_SKIP() << "talvane is not built";
  testing::TestHome home;
  const std::vector<std::vector<std::string>> cases = {
      {"state", "x"},
      {"status", "x"},
      {"usage", "--bogus"},
      {"connect"},
      {"connect", "x"},
      {"disconnect"},
      {"jump"},
      {"jump", "a", "b"},
      {"jump", "-x"},
      {"bogus"},
      {"--bogus"},
      {"--port"},
      {"--port", "x"},
      {"--version", "extra"},
      {"--help", "extra"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv{kApp};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    ASSERT_TRUE(g_spawn_sync(nullptr, raw.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                             &err, &status, nullptr));
    GCharPtr ownedOut(out), ownedErr(err);
    GCharPtr joined(g_strjoinv(" ", raw.data() + 1));
    const std::string what = joined.get();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << what;
    EXPECT_STREQ(out, "") << what;
    const std::string text = err;
    EXPECT_TRUE(text.starts_with("talvane: ") && text.find('\n') == text.size() - 1)
        << what << ": " << text;
  }
  // Nothing was touched on the way.
  EXPECT_FALSE(files::exists(home.path() + "/.talvane"));
}

}  // namespace
}  // namespace talvane
