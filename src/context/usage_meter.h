#pragma once
// Today's spend and tokens per model across every Claude Code transcript, for the usage view.
// Each snapshot reads only what was appended since the last one, and only files modified today.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "context/appended_lines.h"
#include "platform/event_loop.h"
#include "platform/json.h"

namespace talvane {

class UsageMeter {
 public:
  // `loop` supplies the time that decides which local calendar day the totals belong to.
  explicit UsageMeter(const EventLoop& loop, std::size_t chunk = AppendedLines::kChunk)
      : loop_(loop), lines_(chunk) {}

  // {"today": dollars, "models": [{"model": label, "cost": dollars, "tokens": n}, ...]}, the most
  // expensive model first. Starts again from zero when the local day changed since the last call.
  Json snapshot();

  // Internet date-time ("2025-06-01T09:30:00.123Z", "...+02:00"), as seconds since 1970.
  static std::optional<Date> parseTimestamp(std::string_view text);
  // The start of the local calendar day that `time` falls in.
  static Date startOfDay(Date time);

 private:
  void scan(const std::string& path);
  void count(std::string_view line);

  const EventLoop& loop_;
  AppendedLines lines_;
  Date day_ = -1;
  std::unordered_map<std::string, std::uint64_t> offsets_;
  std::unordered_set<std::string> seen_;  // message ids counted today, across all files
  std::map<std::string, double> byModel_;
  std::map<std::string, std::int64_t> tokensByModel_;
};

}  // namespace talvane
