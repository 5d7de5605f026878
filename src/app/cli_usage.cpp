// `talvane usage [--json]`: today's spend per model, from the running app's meter, or read straight
// from Claude Code's transcripts when no app answers.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/state_client.h"
#include "context/usage_meter.h"
#include "platform/event_loop.h"
#include "platform/json.h"

namespace talvane::cli {

namespace {

std::string grouped(std::int64_t n) {
  const std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out = n < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string dollars(double amount) {
  char text[64];
  std::snprintf(text, sizeof text, "$%.2f", amount);
  return text;
}

struct Row {
  std::string model, tokens, cost;
};

void printTable(const Json& snapshot) {
  std::vector<Row> rows{{"Model", "Tokens", "Cost"}};
  std::int64_t totalTokens = 0;
  for (const Json& entry : snapshot["models"]) {
    const auto tokens = json::integer(entry, "tokens").value_or(0);
    totalTokens += tokens;
    rows.push_back({json::string(entry, "model").value_or(""), grouped(tokens),
                    dollars(json::number(entry, "cost").value_or(0))});
  }
  rows.push_back(
      {"Total", grouped(totalTokens), dollars(json::number(snapshot, "today").value_or(0))});
  std::size_t w[3] = {0, 0, 0};
  for (const auto& r : rows) {
    w[0] = std::max(w[0], r.model.size());
    w[1] = std::max(w[1], r.tokens.size());
    w[2] = std::max(w[2], r.cost.size());
  }
  for (const auto& r : rows) {
    std::printf("%-*s  %*s  %*s\n", static_cast<int>(w[0]), r.model.c_str(), static_cast<int>(w[1]),
                r.tokens.c_str(), static_cast<int>(w[2]), r.cost.c_str());
  }
}

// The running app's totals; absent when none answers, or it has none yet.
std::optional<Json> fromApp() {
  const auto answer = queryApp(R"({"_query":"usage"})", 1.0);
  if (!answer) return std::nullopt;
  auto totals = json::parseObject(*answer);
  if (!totals || !json::array(*totals, "models") || !json::number(*totals, "today"))
    return std::nullopt;
  return totals;
}

}  // namespace

int usage(const Args& args) {
  bool asJson = false;
  for (const auto& arg : args) {
    if (arg == "--json") {
      asJson = true;
    } else if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: talvane usage [--json]\n"
          "Today's Claude Code spend and tokens per model, from ~/.claude/projects.\n");
      return 0;
    } else {
      std::fprintf(stderr, "talvane: usage: unknown option '%s' (try --json)\n", arg.c_str());
      return 2;
    }
  }
  std::optional<Json> totals = fromApp();
  if (!totals) {
    GLibLoop loop;
    UsageMeter meter(loop);
    totals = meter.snapshot();
  }
  const Json& snapshot = *totals;
  if (asJson) {
    std::printf("%s\n", json::compact(snapshot).c_str());
  } else if (snapshot["models"].empty()) {
    std::printf("No usage today.\n");
  } else {
    printTable(snapshot);
  }
  return 0;
}

}  // namespace talvane::cli
