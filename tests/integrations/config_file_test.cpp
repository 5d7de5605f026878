#include "integrations/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::TestHome;

IntegrationError::Code refusal(const std::string& path) {
  try {
    ConfigFile::load(path);
  } catch (const IntegrationError& e) {
    return e.code();
  }
  return IntegrationError::Code{};
}

TEST(ConfigFile, MissingAndBlankFilesAreEmptyObjects) {
  TestHome home;
  EXPECT_EQ(ConfigFile::load(home.path() + "/nothing.json"), Json::object());
  EXPECT_EQ(ConfigFile::load(home.write("empty.json", "")), Json::object());
  EXPECT_EQ(ConfigFile::load(home.write("blank.json", " \n\t\n")), Json::object());
}

TEST(ConfigFile, AcceptsCommentsAndRefusesWhatIsNoObject) {
  TestHome home;
  auto commented = home.write("a.json",
                              "// my settings\n{\n  /* theme */ \"theme\": \"dark\", // trailing\n"
                              "  \"n\": 1\n}\n");
  EXPECT_EQ(ConfigFile::load(commented), (Json{{"theme", "dark"}, {"n", 1}}));

  EXPECT_EQ(refusal(home.write("list.json", "[1, 2]")), IntegrationError::notAnObject);
  EXPECT_EQ(refusal(home.write("string.json", "\"x\"")), IntegrationError::notAnObject);
  EXPECT_EQ(refusal(home.write("broken.json", "{\"a\": ")), IntegrationError::invalidJson);
  EXPECT_EQ(refusal(home.write("trailing.json", "{\"a\": 1,}")), IntegrationError::invalidJson);

  try {
    ConfigFile::load(home.write(".gemini/settings.json", "[]"));
    ADD_FAILURE() << "a list was accepted";
  } catch (const IntegrationError& e) {
    EXPECT_STREQ(e.what(), "~/.gemini/settings.json is not a JSON object");
  }
  try {
    ConfigFile::load(home.write(".gemini/settings.json", "{\n  \"a\": tru\n}"));
    ADD_FAILURE() << "broken JSON was accepted";
  } catch (const IntegrationError& e) {
    EXPECT_STREQ(e.what(),
                 "~/.gemini/settings.json is not valid JSON (parse error at line 2, column 8: "
                 "invalid literal)");
  }
}

TEST(ConfigFile, RefusesAFileItCannotRead) {
  TestHome home;
  const std::string path = home.path() + "/settings.json";
  files::makeDirs(path);  // there, but not readable as a file, even for root
  EXPECT_EQ(refusal(path), IntegrationError::unreadable);
}

TEST(ConfigFile, WritesSortedPrettyTextWithSlashesAndUnicodeAsTheyAre) {
  TestHome home;
  const std::string path = home.path() + "/new/dir/out.json";
  Json value = Json::parse(R"({"zeta": "a/b\\c", "alpha": {"é": "日本 — ok", "b": [1, 2.5, null]},
                               "empty": {}, "list": []})");
  ConfigFile::save(path, value);
  EXPECT_EQ(contents(path),
            "{\n"
            "  \"alpha\": {\n"
            "    \"b\": [\n"
            "      1,\n"
            "      2.5,\n"
            "      null\n"
            "    ],\n"
            "    \"é\": \"日本 — ok\"\n"
            "  },\n"
            "  \"empty\": {},\n"
            "  \"list\": [],\n"
            "  \"zeta\": \"a/b\\\\c\"\n"
            "}\n");
  EXPECT_FALSE(files::exists(path + ".talvane-backup")) << "nothing to back up yet";
}

TEST(ConfigFile, BackupHoldsTheVersionBeforeTheLastWrite) {
  TestHome home;
  auto path = home.write("s.json", "// first, with a comment\n{\"v\": 1}");
  ConfigFile::save(path, Json{{"v", 2}});
  EXPECT_EQ(contents(path + ".talvane-backup"), "// first, with a comment\n{\"v\": 1}");
  ConfigFile::save(path, Json{{"v", 3}});
  EXPECT_EQ(ConfigFile::load(path + ".talvane-backup"), (Json{{"v", 2}}));
  EXPECT_EQ(ConfigFile::load(path), (Json{{"v", 3}}));
}

TEST(ConfigFile, KeepsPermissionsAndFollowsSymbolicLinks) {
  TestHome home;
  auto real = home.write("dotfiles/settings.json", "{\"secret\": \"x\"}");
  ::chmod(real.c_str(), 0600);
  const std::string link = home.path() + "/.agent/settings.json";
  files::makeDirs(files::parent(link));
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);

  ConfigFile::save(link, Json{{"secret", "y"}});

  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ConfigFile::load(real), (Json{{"secret", "y"}}));
  ASSERT_EQ(::stat((link + ".talvane-backup").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the backup is as private as the file";
}

TEST(ConfigFile, StrippedFlatRemovesOnlyOurHookObjects) {
  Json hooks = Json::parse(R"({
    "a": [{"command": "other"}, {"command": "x/talvane-hook cursor"}, {"command": 5}, "text"],
    "b": [{"command": "/old/wendolith-hook cursor"}],
    "c": [],
    "d": {"command": "talvane-hook"},
    "e": [{"command": "mine"}]
  })");
  EXPECT_EQ(ConfigFile::strippedFlat(hooks), Json::parse(R"({
    "a": [{"command": "other"}, {"command": 5}, "text"],
    "c": [],
    "d": {"command": "talvane-hook"},
    "e": [{"command": "mine"}]
  })"));
}

}  // namespace
}  // namespace talvane
