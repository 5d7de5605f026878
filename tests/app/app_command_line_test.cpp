// Wrong use of every command is one line on stderr and exit status 2, before anything is done.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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

struct Ran {
  int status = -1;
  std::string out, err;
};

Ran run(std::vector<std::string> argv) {
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  gchar* out = nullptr;
  gchar* err = nullptr;
  Ran ran;
  if (!g_spawn_sync(nullptr, raw.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                    &ran.status, nullptr))
    return ran;
  GCharPtr ownedOut(out), ownedErr(err);
  ran.out = out;
  ran.err = err;
  return ran;
}

// `talvane` runs the app, and dictation, in talvane-app beside it (a build tree) or under
// ../lib/talvane (installed), with the same arguments and told which command started it; its
// own commands run at once.
TEST(AppCommandLine, TheAppGoesOnInTalvaneApp) {
  if (::access(kApp.c_str(), X_OK) != 0) GTEST_SKIP() << "talvane is not built";
  testing::TestHome home;
  for (const std::string place : {"bin/talvane-app", "lib/talvane/talvane-app", ""}) {
    SCOPED_TRACE(place);
    testing::TempDir prefix;
    const std::string command = prefix.path() + "/bin/talvane";
    files::makeDirs(prefix.path() + "/bin");
    std::filesystem::copy_file(kApp, command);
    if (!place.empty()) {
      files::makeDirs(files::parent(prefix.path() + "/" + place));
      ASSERT_FALSE(files::writeAtomic(prefix.path() + "/" + place,
                                      "#!/bin/sh\nprintf '%s|' \"$@\" \"$TALVANE_COMMAND\"\n",
                                      0755));
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{command}, ""},
        {{command, "--web", "--port", "0"}, "--web|--port|0|"},
        {{command, "dictate", "--text", "a b"}, "dictate|--text|a b|"},
    };
    for (const auto& [argv, passed] : cases) {
      const Ran ran = run(argv);
      if (place.empty()) {
        EXPECT_TRUE(WIFEXITED(ran.status) && WEXITSTATUS(ran.status) == 1);
        EXPECT_EQ(ran.err, "talvane: cannot start talvane-app beside " + command + "\n");
      } else {
        EXPECT_TRUE(WIFEXITED(ran.status) && WEXITSTATUS(ran.status) == 0) << ran.err;
        EXPECT_EQ(ran.out, passed + command + "|");
      }
    }
    const Ran usage = run({command, "usage", "--json"});
    EXPECT_EQ(usage.out, "{\"models\":[],\"today\":0.0}\n") << "usage runs in the command";
  }
}

}  // namespace
}  // namespace talvane
