// The Hub's pull-request cache end to end, with a stand-in for `gh` that answers from a file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "hub_test_support.h"
#include "platform/files.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

class HubPullRequestTest : public HubTest {
 public:
  HubPullRequestTest() {
    const std::string gh = dir.path() + "/gh";
    std::ofstream(gh) << "#!/bin/sh\necho \"$@\" >> '" << dir.path() << "/calls'\ncat '"
                      << dir.path() << "/pr.json'\n";
    ::chmod(gh.c_str(), 0755);
    programs.ghCandidates = {gh};
    project = dir.path() + "/project";
    files::makeDirs(project);
  }

  void answer(const std::string& checks) {
    std::ofstream(dir.path() + "/pr.json")
        << R"({"number":42,"title":"Faster snapshot","url":"https://example.test/pr/42",)"
        << R"("state":"OPEN","isDraft":false,"statusCheckRollup":)" << checks << "}";
  }
  std::size_t calls() {
    auto text = files::read(dir.path() + "/calls").value_or("");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  // Waits for the query in flight to finish.
  void settle() {
    ASSERT_TRUE(runUntil([&] { return hub().github().inFlight().empty(); }));
  }

  TempDir dir;
  std::string project;
};

TEST_F(HubPullRequestTest, TheSnapshotShowsTheProjectsPullRequestAndItsNews) {
  answer(R"([{"status":"COMPLETED","conclusion":"SUCCESS"}])");
  send(event("UserPromptSubmit", "s1", {{"cwd", project}}));
  loop.advance(1);  // the tick asks for every visible project
  settle();
  ASSERT_EQ(calls(), 1u);
  Json snap = hub().snapshot();
  EXPECT_EQ(snap["sessions"][0]["pr"], (Json{{"number", 42},
                                             {"title", "Faster snapshot"},
                                             {"url", "https://example.test/pr/42"},
                                             {"state", "open"},
                                             {"draft", false},
                                             {"passed", 1},
                                             {"failed", 0},
                                             {"running", 0},
                                             {"conflicts", false}}));
  EXPECT_FALSE(snap.contains("prNews"));

  // A stop asks again after 4 and 30 seconds, however recent the last query was.
  answer(
      R"([{"status":"COMPLETED","conclusion":"SUCCESS"},{"status":"COMPLETED","conclusion":"FAILURE"}])");
  stop("s1");
  loop.advance(3.9);
  EXPECT_EQ(calls(), 1u);
  loop.advance(0.2);
  settle();
  EXPECT_EQ(calls(), 2u);
  snap = hub().snapshot();
  EXPECT_EQ(snap["sessions"][0]["pr"]["failed"], 1);
  EXPECT_EQ(snap["prNews"], (Json{{"id", "claude:s1"}, {"kind", "failing"}}));
  loop.runPending();
  EXPECT_EQ(attentions, 2);  // the reply offer, then the failure

  loop.advance(26);
  settle();
  EXPECT_EQ(calls(), 3u);
  // Other sessions of other folders carry no pull request.
  send(event("SessionStart", "s2", {{"cwd", dir.path()}}));
  snap = hub().snapshot();
  EXPECT_FALSE(snap["sessions"][1].contains("pr"));
}

}  // namespace
}  // namespace talvane::testing
