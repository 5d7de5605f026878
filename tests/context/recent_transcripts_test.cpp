#include "context/recent_transcripts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "context/transcript_files.h"
#include "platform/files.h"
#include "support/test_home.h"

namespace talvane {
namespace {

void setModified(const std::string& path, Date when) {
  const timespec t{static_cast<time_t>(when), 0};
  const timespec times[2] = {t, t};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(RecentTranscripts, ListsTranscriptsWrittenWithinTheWindowOldestFirst) {
  talvane::testing::TestHome home;
  const Date now = 1'900'000'000;
  auto transcript = [&](const std::string& relative, Date modified) {
    const std::string path = home.write(".claude/projects/" + relative, "{}\n");
    setModified(path, modified);
    return path;
  };
  const auto newest = transcript("-home-ana-app/aaa.jsonl", now - 60);
  const auto oldest = transcript("-home-ana-web/bbb.jsonl", now - 30 * 60);
  const auto edge = transcript("-home-ana-web/ccc.jsonl", now - 480 * 60);
  transcript("-home-ana-web/ddd.jsonl", now - 480 * 60 - 1);
  transcript("-home-ana-web/notes.txt", now);
  transcript("-home-ana-web/.jsonl", now);
  transcript("-home-ana-web/eee/subagent.jsonl", now);  // only one level deep
  transcript("stray.jsonl", now);                       // not inside a project
  files::makeDirs(home.path() + "/.claude/projects/-home-ana-web/dir.jsonl");

  using Found = RecentTranscripts::Found;
  EXPECT_EQ(RecentTranscripts::find(480, now), (std::vector<Found>{{"ccc", edge, now - 480 * 60},
                                                                   {"bbb", oldest, now - 30 * 60},
                                                                   {"aaa", newest, now - 60}}));
  EXPECT_EQ(RecentTranscripts::find(5, now), (std::vector<Found>{{"aaa", newest, now - 60}}));
}

TEST(RecentTranscripts, FindsNothingWithoutProjects) {
  talvane::testing::TestHome home;
  EXPECT_TRUE(RecentTranscripts::find(480, 1'900'000'000).empty());
}

// The meter reads the largest first, by the size the listing gives.
TEST(RecentTranscripts, TheListingGivesEachTranscriptsSize) {
  talvane::testing::TestHome home;
  const std::map<std::string, std::string> written = {
      {"a/empty.jsonl", ""}, {"a/one.jsonl", "{}\n"}, {"b/long.jsonl", std::string(70'000, 'x')}};
  for (const auto& [relative, text] : written) home.write(".claude/projects/" + relative, text);
  std::map<std::string, std::uint64_t> listed;
  TranscriptFiles::forEach(
      [&](const std::string& path, std::string_view, Date, std::uint64_t size) {
        listed[path.substr(home.path().size() + std::string("/.claude/projects/").size())] = size;
      });
  EXPECT_EQ(listed, (std::map<std::string, std::uint64_t>{
                        {"a/empty.jsonl", 0}, {"a/one.jsonl", 3}, {"b/long.jsonl", 70'000}}));
}

}  // namespace
}  // namespace talvane
