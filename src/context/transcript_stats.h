#pragma once
// What is known of one conversation from its transcript.

#include <cstdint>
#include <optional>
#include <string>

namespace talvane {

struct TranscriptStats {
  std::optional<std::string> customTitle;
  std::optional<std::string> branch;
  std::optional<std::string> model;
  std::int64_t contextTokens = 0;
  std::int64_t contextWindow = 0;
  double cost = 0.0;
  std::optional<std::string> firstPrompt;
  std::optional<std::string> lastPrompt;
  std::optional<std::string> entrypoint;
  std::optional<std::string> cwd;
  bool endedTurn = false;

  bool operator==(const TranscriptStats&) const = default;
};

}  // namespace talvane
