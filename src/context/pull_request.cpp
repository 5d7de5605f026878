#include "context/pull_request.h"

#include <glib.h>

#include <array>

namespace talvane {

namespace {

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(g_ascii_toupper(c));
  return text;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(g_ascii_tolower(c));
  return text;
}

bool oneOf(const std::string& value, std::initializer_list<std::string_view> options) {
  for (auto option : options)
    if (value == option) return true;
  return false;
}

}  // namespace

Json PullRequest::json() const {
  Json out{{"number", number}, {"title", title},     {"url", url},
           {"state", state},   {"draft", draft},     {"passed", passed},
           {"failed", failed}, {"running", running}, {"conflicts", conflicts}};
  if (review) out["review"] = *review;
  return out;
}

std::optional<PullRequest> PullRequest::parse(std::string_view output) {
  const auto root = json::parseObject(output);
  if (!root) return std::nullopt;
  const auto number = json::integer(*root, "number");
  if (!number) return std::nullopt;

  PullRequest pr;
  pr.number = *number;
  pr.title = json::string(*root, "title").value_or("");
  pr.url = json::string(*root, "url").value_or("");
  pr.state = lower(json::string(*root, "state").value_or("open"));
  pr.draft = json::boolean(*root, "isDraft").value_or(false);
  pr.conflicts = json::string(*root, "mergeable") == "CONFLICTING";

  const auto decision = json::string(*root, "reviewDecision");
  if (decision == "APPROVED") {
    pr.review = "approved";
  } else if (decision == "CHANGES_REQUESTED") {
    pr.review = "changes";
  } else if (decision == "REVIEW_REQUIRED") {
    pr.review = "requested";
  }

  // Check runs report a status and a conclusion; commit statuses only a state.
  if (const Json* checks = json::array(*root, "statusCheckRollup")) {
    for (const Json& check : *checks) {
      if (!check.is_object()) continue;
      const std::string status = upper(json::string(check, "status").value_or(""));
      const std::string result = upper(
          json::string(check, "conclusion").value_or(json::string(check, "state").value_or("")));
      if (oneOf(status, {"IN_PROGRESS", "QUEUED", "PENDING"}) ||
          oneOf(result, {"PENDING", "EXPECTED"}) || (status != "COMPLETED" && result.empty())) {
        ++pr.running;
      } else if (oneOf(result, {"SUCCESS", "NEUTRAL", "SKIPPED"})) {
        ++pr.passed;
      } else {
        ++pr.failed;
      }
    }
  }
  return pr;
}

}  // namespace talvane
