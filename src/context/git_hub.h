#pragma once
// Finds the open pull request of each project folder's checked-out branch with the user's `gh`
// tool, and keeps a compact status of it. Queries run as child processes; a folder is asked at
// most once a minute unless forced, and never twice at the same time.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "context/child_process.h"
#include "context/pull_request.h"
#include "platform/event_loop.h"

namespace talvane {

class GitHub {
 public:
  // Where the programs are. `gh` is the first candidate that is an executable file, looked up
  // again on every refresh so that installing it later needs no restart.
  struct Programs {
    std::vector<std::string> ghCandidates = defaultGhCandidates();
    std::string git = "/usr/bin/git";
  };

  using Change = std::function<void(const std::string& root, const std::optional<PullRequest>& old,
                                    const std::optional<PullRequest>& now)>;

  static constexpr double kInterval = 60;  // seconds between queries of one folder
  // A query step that has not finished by then is killed: a hung `gh` must not keep its folder
  // from ever being asked again.
  static constexpr double kStepTimeout = 45;

  explicit GitHub(EventLoop& loop);
  GitHub(EventLoop& loop, Programs programs);
  ~GitHub();
  GitHub(const GitHub&) = delete;
  GitHub& operator=(const GitHub&) = delete;

  // Starts a query for each distinct folder that is not being asked already and, unless
  // `force`, was not asked within the last minute. Does nothing without `gh`.
  void refresh(const std::vector<std::string>& roots, bool force = false);

  const std::map<std::string, PullRequest>& prs() const { return prs_; }
  const std::map<std::string, Date>& checked() const { return checked_; }
  std::set<std::string> inFlight() const;

  // Called on the main loop after a folder's pull request appeared, changed or went away.
  Change onChange = [](const std::string&, const std::optional<PullRequest>&,
                       const std::optional<PullRequest>&) {};

  static std::vector<std::string> defaultGhCandidates();
  static std::optional<std::string> gh(
      const std::vector<std::string>& candidates = defaultGhCandidates());
  // The environment of every query: ours, with the usual tool folders first on the search path and
  // prompts and optional git locks turned off.
  static std::vector<std::string> environment();

 private:
  struct Query {
    std::string gh;
    std::shared_ptr<ChildProcess> child;
    TimerHandle deadline;
    std::vector<std::pair<std::int64_t, std::string>>
        candidates;  // the user's open (number, branch)
    std::size_t next = 0;
  };
  using Step = void (GitHub::*)(const std::string& root, std::optional<std::string> output);

  void run(const std::string& root, const std::string& program, std::vector<std::string> args,
           Step then);
  void viewed(const std::string& root, std::optional<std::string> output);
  void listed(const std::string& root, std::optional<std::string> output);
  void tryNextCandidate(const std::string& root);
  void ancestorChecked(const std::string& root, std::optional<std::string> output);
  void candidateViewed(const std::string& root, std::optional<std::string> output);
  void apply(const std::string& root, std::optional<PullRequest> now);

  EventLoop& loop_;
  Programs programs_;
  std::map<std::string, PullRequest> prs_;
  std::map<std::string, Date> checked_;
  std::map<std::string, Query> queries_;  // the folders in flight
};

}  // namespace talvane
