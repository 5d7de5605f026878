#include "context/git_hub.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace talvane {

namespace {

constexpr const char* kFields =
    "number,title,url,state,isDraft,reviewDecision,statusCheckRollup,mergeable";
constexpr const char* kSearchPath = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:";

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

GitHub::GitHub(EventLoop& loop) : GitHub(loop, Programs{}) {}

GitHub::GitHub(EventLoop& loop, Programs programs) : loop_(loop), programs_(std::move(programs)) {}

GitHub::~GitHub() {
  for (auto& [root, query] : queries_)
    if (query.child) query.child->cancel();
}

std::vector<std::string> GitHub::defaultGhCandidates() {
  return {"/opt/homebrew/bin/gh",
          "/usr/local/bin/gh",
          "/usr/bin/gh",
          files::home() + "/.local/bin/gh",
          "/home/linuxbrew/.linuxbrew/bin/gh",
          "/snap/bin/gh"};
}

std::optional<std::string> GitHub::gh(const std::vector<std::string>& candidates) {
  for (const auto& candidate : candidates)
    if (isExecutableFile(candidate)) return candidate;
  return std::nullopt;
}

std::vector<std::string> GitHub::environment() {
  gchar** env = g_get_environ();
  const gchar* path = g_environ_getenv(env, "PATH");
  const std::string searchPath = std::string(kSearchPath) + (path ? path : "");
  env = g_environ_setenv(env, "PATH", searchPath.c_str(), TRUE);
  env = g_environ_setenv(env, "GH_PROMPT_DISABLED", "1", TRUE);
  env = g_environ_setenv(env, "GIT_OPTIONAL_LOCKS", "0", TRUE);
  std::vector<std::string> out;
  for (gchar** e = env; e && *e; ++e) out.emplace_back(*e);
  g_strfreev(env);
  return out;
}

std::set<std::string> GitHub::inFlight() const {
  std::set<std::string> out;
  for (const auto& [root, query] : queries_) out.insert(root);
  return out;
}

void GitHub::refresh(const std::vector<std::string>& roots, bool force) {
  const Date now = loop_.now();
  std::vector<std::string> due;
  for (const auto& root : std::set<std::string>(roots.begin(), roots.end())) {
    if (root.empty() || queries_.count(root)) continue;
    if (!force) {
      auto last = checked_.find(root);
      if (last != checked_.end() && now - last->second < kInterval) continue;
    }
    due.push_back(root);
  }
  // Called every second: look for gh only when some folder is due, and without gh try the
  // folder again a minute later rather than on every tick.
  if (due.empty()) return;
  for (const auto& root : due) checked_[root] = now;
  const auto program = gh(programs_.ghCandidates);
  if (!program) return;
  for (const auto& root : due) {
    queries_[root].gh = *program;
    run(root, *program, {"pr", "view", "--json", kFields}, &GitHub::viewed);
  }
}

void GitHub::run(const std::string& root, const std::string& program, std::vector<std::string> args,
                 Step then) {
  Query& query = queries_.at(root);
  args.insert(args.begin(), program);
  query.child = ChildProcess::start(args, root, environment(),
                                    [this, root, then](std::optional<std::string> output) {
                                      (this->*then)(root, std::move(output));
                                    });
  query.deadline = loop_.after(kStepTimeout, [this, root] {
    auto it = queries_.find(root);
    if (it == queries_.end()) return;
    it->second.child->cancel();
    apply(root, std::nullopt);
  });
}

void GitHub::viewed(const std::string& root, std::optional<std::string> output) {
  if (output) return apply(root, PullRequest::parse(*output));
  // No pull request for the branch itself: one of the user's may have its head merged into it.
  run(root, queries_.at(root).gh,
      {"pr", "list", "--author", "@me", "--state", "open", "--json", "number,headRefName"},
      &GitHub::listed);
}

void GitHub::listed(const std::string& root, std::optional<std::string> output) {
  if (!output) return apply(root, std::nullopt);
  const auto list = json::parse(*output);
  if (!list || !list->is_array()) return apply(root, std::nullopt);
  Query& query = queries_.at(root);
  for (const Json& pr : *list) {
    if (!pr.is_object()) return apply(root, std::nullopt);
    const auto number = json::integer(pr, "number");
    const auto branch = json::string(pr, "headRefName");
    if (number && branch) query.candidates.emplace_back(*number, *branch);
  }
  tryNextCandidate(root);
}

void GitHub::tryNextCandidate(const std::string& root) {
  Query& query = queries_.at(root);
  if (query.next >= query.candidates.size()) return apply(root, std::nullopt);
  const std::string& branch = query.candidates[query.next].second;
  run(root, programs_.git, {"merge-base", "--is-ancestor", "refs/heads/" + branch, "HEAD"},
      &GitHub::ancestorChecked);
}

// Its signature is every step's (Step).
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void GitHub::ancestorChecked(const std::string& root, std::optional<std::string> output) {
  Query& query = queries_.at(root);
  if (!output) {
    ++query.next;
    return tryNextCandidate(root);
  }
  const auto number = query.candidates[query.next].first;
  run(root, query.gh, {"pr", "view", std::to_string(number), "--json", kFields},
      &GitHub::candidateViewed);
}

void GitHub::candidateViewed(const std::string& root, std::optional<std::string> output) {
  apply(root, output ? PullRequest::parse(*output) : std::nullopt);
}

void GitHub::apply(const std::string& root, std::optional<PullRequest> now) {
  queries_.erase(root);
  auto it = prs_.find(root);
  std::optional<PullRequest> old;
  if (it != prs_.end()) old = it->second;
  if (old == now) return;
  if (now) {
    prs_[root] = *now;
  } else {
    prs_.erase(root);
  }
  if (onChange) onChange(root, old, now);
}

}  // namespace talvane
