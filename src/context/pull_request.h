#pragma once
// The compact status of one pull request, as the panel shows it with a session.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json.h"

namespace talvane {

struct PullRequest {
  std::int64_t number = 0;
  std::string title;
  std::string url;
  std::string state = "open";  // lower-cased
  bool draft = false;
  std::int64_t passed = 0;            // checks that passed
  std::int64_t failed = 0;            // checks that failed
  std::int64_t running = 0;           // checks not finished
  std::optional<std::string> review;  // "approved", "changes" or "requested"
  bool conflicts = false;

  bool operator==(const PullRequest&) const = default;

  // The "pr" object of the page snapshot; "review" only when there is one.
  Json json() const;

  // Reads the output of `gh pr view --json <fields>`; nothing unless it is an object with an
  // integer "number".
  static std::optional<PullRequest> parse(std::string_view output);
};

}  // namespace talvane
