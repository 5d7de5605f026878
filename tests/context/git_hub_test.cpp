// GitHub against small fake `gh` and `git` scripts: the processes are real and finish through the
// GLib main loop, while time comes from a manual loop.
#include "context/git_hub.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using talvane::testing::runUntil;

// Logs each call, then answers from files in the folder it runs in: .fake/view.json for the
// branch's own pull request, .fake/view-<n>.json for a numbered one, .fake/list.json for the
// user's open pull requests. It waits while .fake/hold exists.
constexpr const char* kFakeGh = R"sh(#!/bin/sh
printf '%s|gh %s|%s|%s|%s\n' "$(pwd)" "$*" "$PATH" "$GH_PROMPT_DISABLED" "$GIT_OPTIONAL_LOCKS" >> "$TALVANE_FAKE_LOG"
echo "gh: not a prompt" >&2
while [ -e .fake/hold ]; do sleep 0.02; done
case "$1 $2" in
  "pr view") if [ "$3" = "--json" ]; then f=.fake/view.json; else f=".fake/view-$3.json"; fi ;;
  "pr list") f=.fake/list.json ;;
  *) exit 2 ;;
esac
[ -f "$f" ] || exit 1
cat "$f"
touch .fake/finished
)sh";

// Succeeds for `merge-base --is-ancestor refs/heads/<branch> HEAD` when .fake/ancestors lists
// the branch.
constexpr const char* kFakeGit = R"sh(#!/bin/sh
printf '%s|git %s\n' "$(pwd)" "$*" >> "$TALVANE_FAKE_LOG"
[ "$1" = merge-base ] && [ "$2" = --is-ancestor ] && [ "$4" = HEAD ] || exit 2
grep -qx -- "${3#refs/heads/}" .fake/ancestors 2>/dev/null
)sh";

const std::string kFields =
    "number,title,url,state,isDraft,reviewDecision,statusCheckRollup,mergeable";

struct Change {
  std::string root;
  std::optional<PullRequest> old, now;
};

class GitHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TALVANE_FAKE_LOG", log.c_str(), 1);
    script(gh, kFakeGh);
    script(git, kFakeGit);
    github =
        std::make_unique<GitHub>(loop, GitHub::Programs{{dir.path() + "/missing/gh", gh}, git});
    github->onChange = [this](const std::string& root, const std::optional<PullRequest>& old,
                              const std::optional<PullRequest>& now) {
      changes.push_back({root, old, now});
    };
  }
  void TearDown() override { unsetenv("TALVANE_FAKE_LOG"); }

  static void script(const std::string& path, const char* text) {
    files::makeDirs(files::parent(path));
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0755);
  }

  // A project folder with the given answers in its .fake folder.
  std::string project(const std::string& name) {
    const std::string root = dir.path() + "/" + name;
    files::makeDirs(root + "/.fake");
    return root;
  }
  static void answer(const std::string& root, const std::string& file, const std::string& text) {
    std::ofstream(root + "/.fake/" + file) << text;
  }

  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    std::istringstream in(files::read(log).value_or(""));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  bool settled() {
    return runUntil([&] { return github->inFlight().empty(); });
  }

  talvane::testing::TempDir dir;
  const std::string gh = dir.path() + "/bin/gh";
  const std::string git = dir.path() + "/bin/git";
  const std::string log = dir.path() + "/calls.log";
  const std::string view = *files::read(TALVANE_TEST_DATA "/context/pr_view.json");
  ManualLoop loop;
  std::unique_ptr<GitHub> github;
  std::vector<Change> changes;
};

TEST_F(GitHubTest, ReadsTheBranchPullRequestWithPromptsOff) {
  const auto root = project("app");
  answer(root, "view.json", view);
  github->refresh({root, root}, false);
  EXPECT_EQ(github->inFlight(), std::set<std::string>{root});
  EXPECT_TRUE(changes.empty());  // results arrive from the main loop, never inside refresh
  ASSERT_TRUE(settled());

  const auto expected = PullRequest::parse(view);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].root, root);
  EXPECT_FALSE(changes[0].old);
  EXPECT_EQ(changes[0].now, expected);
  EXPECT_EQ(github->prs().at(root).passed, 4);
  EXPECT_EQ(github->prs().at(root).running, 5);
  const char* path = std::getenv("PATH");
  EXPECT_EQ(calls(), std::vector<std::string>{root + "|gh pr view --json " + kFields +
                                              "|/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:" +
                                              (path ? path : "") + "|1|0"});
  EXPECT_EQ(github->checked().at(root), loop.now());
}

TEST_F(GitHubTest, FallsBackToTheUsersPullRequestWhoseHeadIsMergedIn) {
  const auto root = project("app");
  answer(root, "list.json",
         R"([{"number":7,"headRefName":"other"},{"headRefName":"nameless"},{"number":8},)"
         R"({"number":9,"headRefName":"feature/usage"},{"number":10,"headRefName":"later"}])");
  answer(root, "ancestors", "feature/usage\nlater\n");
  answer(root, "view-9.json", R"({"number":9,"title":"Usage","state":"OPEN"})");
  github->refresh({root});
  ASSERT_TRUE(settled());

  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].now->number, 9);
  EXPECT_EQ(changes[0].now->title, "Usage");
  std::vector<std::string> commands;
  for (const auto& call : calls())
    commands.push_back(call.substr(0, call.find('|', root.size() + 1)));
  EXPECT_EQ(commands, (std::vector<std::string>{
                          root + "|gh pr view --json " + kFields,
                          root + "|gh pr list --author @me --state open --json number,headRefName",
                          root + "|git merge-base --is-ancestor refs/heads/other HEAD",
                          root + "|git merge-base --is-ancestor refs/heads/feature/usage HEAD",
                          root + "|gh pr view 9 --json " + kFields}));
}

TEST_F(GitHubTest, FindsNothingWhenNoFallbackQualifies) {
  const auto none = project("none");
  answer(none, "list.json", R"([{"number":7,"headRefName":"other"}])");
  const auto notObjects = project("odd");
  answer(notObjects, "list.json", R"([{"number":7,"headRefName":"other"}, 3])");
  answer(notObjects, "ancestors", "other\n");
  const auto failing = project("failing");  // the chosen pull request cannot be viewed
  answer(failing, "list.json", R"([{"number":7,"headRefName":"other"}])");
  answer(failing, "ancestors", "other\n");
  github->refresh({none, notObjects, failing, project("nolist")});
  EXPECT_EQ(github->inFlight().size(), 4u);
  ASSERT_TRUE(settled());
  EXPECT_TRUE(changes.empty());
  EXPECT_TRUE(github->prs().empty());
  EXPECT_EQ(calls().size(), 3u + 2u + 4u + 2u);  // view, list, then git and view as needed
}

TEST_F(GitHubTest, AsksEachFolderAtMostOnceAMinuteUnlessForced) {
  const auto root = project("app");
  answer(root, "view.json", view);
  github->refresh({root});
  ASSERT_TRUE(settled());
  loop.advance(59);
  github->refresh({root});
  EXPECT_TRUE(github->inFlight().empty());
  EXPECT_EQ(calls().size(), 1u);

  github->refresh({root}, true);
  ASSERT_TRUE(settled());
  EXPECT_EQ(calls().size(), 2u);
  loop.advance(59.5);
  github->refresh({root});
  EXPECT_EQ(calls().size(), 2u);  // the forced query restarted the minute
  loop.advance(0.5);
  github->refresh({root});
  ASSERT_TRUE(settled());
  EXPECT_EQ(calls().size(), 3u);
  EXPECT_EQ(changes.size(), 1u);  // the same status three times is one change
}

TEST_F(GitHubTest, NeverAsksTwiceAtOnceEvenWhenForced) {
  const auto root = project("app");
  answer(root, "view.json", view);
  answer(root, "hold", "");
  github->refresh({root});
  ASSERT_TRUE(runUntil([&] { return calls().size() == 1; }));
  loop.advance(30);
  github->refresh({root, root}, true);
  github->refresh({root});
  EXPECT_EQ(github->inFlight(), std::set<std::string>{root});

  ::unlink((root + "/.fake/hold").c_str());
  ASSERT_TRUE(settled());
  EXPECT_EQ(calls().size(), 1u);
  EXPECT_EQ(changes.size(), 1u);
}

TEST_F(GitHubTest, ReportsChangesOnlyAndDropsAPullRequestThatWentAway) {
  const auto root = project("app");
  answer(root, "view.json", view);
  github->refresh({root});
  ASSERT_TRUE(settled());
  github->refresh({root}, true);
  ASSERT_TRUE(settled());
  ASSERT_EQ(changes.size(), 1u);

  auto merged = json::parse(view).value();
  merged["state"] = "MERGED";
  answer(root, "view.json", json::compact(merged));
  github->refresh({root}, true);
  ASSERT_TRUE(settled());
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[1].old->state, "open");
  EXPECT_EQ(changes[1].now->state, "merged");

  ::unlink((root + "/.fake/view.json").c_str());
  github->refresh({root}, true);
  ASSERT_TRUE(settled());
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[2].old->state, "merged");
  EXPECT_FALSE(changes[2].now);
  EXPECT_FALSE(github->prs().count(root));
}

TEST_F(GitHubTest, DoesNothingWithoutGhOrFolderAndLooksForGhAgainAMinuteLater) {
  const std::string later = dir.path() + "/later/gh";
  GitHub without(loop, GitHub::Programs{{later, log}, git});  // log: not executable
  const auto root = project("app");
  answer(root, "view.json", view);
  without.refresh({root});
  EXPECT_TRUE(without.inFlight().empty());
  script(later, kFakeGh);
  loop.advance(30);
  without.refresh({root});
  EXPECT_TRUE(without.inFlight().empty());  // not every tick
  loop.advance(30);
  without.refresh({root});
  EXPECT_FALSE(without.inFlight().empty());
  ASSERT_TRUE(runUntil([&] { return without.inFlight().empty(); }));

  github->refresh({"", dir.path() + "/no/such/folder"});
  ASSERT_TRUE(settled());  // the launch fails; the folder just has no pull request
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(github->checked().size(), 1u);
}

TEST_F(GitHubTest, KillsAQueryThatHangs) {
  const auto root = project("app");
  answer(root, "view.json", view);
  answer(root, "hold", "");
  github->refresh({root});
  ASSERT_TRUE(runUntil([&] { return calls().size() == 1; }));
  loop.advance(GitHub::kStepTimeout + 1);
  EXPECT_TRUE(github->inFlight().empty());
  ::unlink((root + "/.fake/hold").c_str());
  talvane::testing::spin(0.3);
  EXPECT_FALSE(files::exists(root + "/.fake/finished"));
  EXPECT_TRUE(changes.empty());
}

TEST_F(GitHubTest, ForgetsQueriesWhenDestroyed) {
  const auto root = project("app");
  answer(root, "view.json", view);
  answer(root, "hold", "");
  github->refresh({root});
  ASSERT_TRUE(runUntil([&] { return calls().size() == 1; }));
  github.reset();
  ::unlink((root + "/.fake/hold").c_str());
  talvane::testing::spin(0.3);
  EXPECT_TRUE(changes.empty());
}

TEST(GitHubPrograms, PutsTheToolFoldersFirstOnThePath) {
  const std::string old = std::getenv("PATH") ? std::getenv("PATH") : "";
  unsetenv("PATH");
  auto env = GitHub::environment();
  EXPECT_NE(
      std::find(env.begin(), env.end(), "PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:"),
      env.end());
  EXPECT_NE(std::find(env.begin(), env.end(), "GH_PROMPT_DISABLED=1"), env.end());
  EXPECT_NE(std::find(env.begin(), env.end(), "GIT_OPTIONAL_LOCKS=0"), env.end());
  setenv("PATH", old.c_str(), 1);

  const auto candidates = GitHub::defaultGhCandidates();
  ASSERT_GE(candidates.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(candidates.begin(), candidates.begin() + 3),
            (std::vector<std::string>{"/opt/homebrew/bin/gh", "/usr/local/bin/gh", "/usr/bin/gh"}));
}

}  // namespace
}  // namespace talvane
