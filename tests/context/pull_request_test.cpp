#include "context/pull_request.h"

#include <gtest/gtest.h>

#include "platform/files.h"

namespace talvane {
namespace {

TEST(PullRequest, CountsChecksAndReadsTheStatus) {
  const auto pr = PullRequest::parse(*files::read(TALVANE_TEST_DATA "/context/pr_view.json"));
  ASSERT_TRUE(pr);
  EXPECT_EQ(*pr,
            (PullRequest{42, "Add a usage view", "https://github.com/ana/talvane/pull/42", "open",
                         true, /*passed*/ 4, /*failed*/ 3, /*running*/ 5, "changes", true}));
}

TEST(PullRequest, ReadsLeniently) {
  EXPECT_FALSE(PullRequest::parse(""));
  EXPECT_FALSE(PullRequest::parse("[]"));
  EXPECT_FALSE(PullRequest::parse(R"({"title":"no number"})"));
  EXPECT_FALSE(PullRequest::parse(R"({"number":"7"})"));
  EXPECT_FALSE(PullRequest::parse(R"({"number":7.5})"));

  const auto bare =
      PullRequest::parse(R"({"number":7,"statusCheckRollup":"none","mergeable":"MERGEABLE"})");
  ASSERT_TRUE(bare);
  PullRequest expected;
  expected.number = 7;
  EXPECT_EQ(*bare, expected);
  EXPECT_EQ(bare->state, "open");

  auto review = [](const char* decision) {
    return PullRequest::parse(std::string(R"({"number":1,"state":"MERGED","reviewDecision":")") +
                              decision + "\"}")
        ->review;
  };
  EXPECT_EQ(review("APPROVED"), "approved");
  EXPECT_EQ(review("REVIEW_REQUIRED"), "requested");
  EXPECT_EQ(review("approved"), std::nullopt);
  EXPECT_EQ(PullRequest::parse(R"({"number":1,"state":"MERGED"})")->state, "merged");
}

TEST(PullRequest, SendsReviewOnlyWhenThereIsOne) {
  PullRequest pr{5, "Title", "https://x/5", "open", false, 1, 2, 3, std::nullopt, true};
  EXPECT_EQ(pr.json(), (Json{{"number", 5},
                             {"title", "Title"},
                             {"url", "https://x/5"},
                             {"state", "open"},
                             {"draft", false},
                             {"passed", 1},
                             {"failed", 2},
                             {"running", 3},
                             {"conflicts", true}}));
  pr.review = "approved";
  EXPECT_EQ(pr.json()["review"], "approved");
  EXPECT_EQ(pr.json().size(), 10u);
}

}  // namespace
}  // namespace talvane
