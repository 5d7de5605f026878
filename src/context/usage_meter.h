#pragma once
// Today's spend and tokens per model across every Claude Code transcript, for the usage view.
// Each snapshot reads only what was appended since the last one, and only files modified today;
// files are read side by side.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "context/background.h"
#include "context/pricing.h"
#include "platform/event_loop.h"
#include "platform/json.h"

namespace talvane {

class UsageMeter {
 public:
  // `loop` supplies the time that decides which local calendar day the totals belong to. Files
  // are read on up to `workers` threads (0: one per core).
  explicit UsageMeter(const EventLoop& loop, unsigned workers = 0)
      : loop_(loop), workers_(workers) {}

  // {"today": dollars, "models": [{"model": label, "cost": dollars, "tokens": n}, ...]}, the most
  // expensive model first, one entry per label (a dated and an undated identifier of one model
  // are one model). Starts again from zero when the local day changed since the last call.
  Json snapshot();
  Json snapshot(Date now);

  // Internet date-time ("2025-06-01T09:30:00.123Z", "...+02:00"), as seconds since 1970.
  static std::optional<Date> parseTimestamp(std::string_view text);
  // The start of the local calendar day that `time` falls in.
  static Date startOfDay(Date time);

  // One assistant message's usage as a file holds it, before messages seen in other files are
  // set aside.
  struct Hit {
    std::optional<std::string> id;
    std::size_t model = 0;  // in FileScan::models
    double cost = 0;
    std::int64_t tokens = 0;
  };
  struct FileScan {
    std::uint64_t offset = 0;  // just past the last complete line
    // The few models a file names, each once, with its rate: not a string per hit.
    std::vector<std::string> models;
    std::vector<std::optional<Pricing::Rate>> rates;
    std::vector<Hit> hits;
  };
  // What `path` holds from `offset` on, counting lines dated on or after `day`. Touches no
  // member: files are scanned side by side.
  static FileScan scan(const std::string& path, std::uint64_t offset, Date day);

 private:
  // Scans each path from its offset, side by side, the ones with the most left to read first.
  std::vector<FileScan> scanAll(const std::vector<std::string>& paths,
                                const std::vector<std::uint64_t>& sizes,
                                const std::vector<std::uint64_t>& from) const;
  // Today's counts as snapshot() reports them.
  Json totals() const;

  const EventLoop& loop_;
  unsigned workers_;
  Date day_ = -1;
  std::unordered_map<std::string, std::uint64_t> offsets_;
  std::unordered_set<std::string> seen_;  // message ids counted today, across all files
  std::map<std::string, double> byModel_;
  std::map<std::string, std::int64_t> tokensByModel_;
};

// The app's meter, kept off the loop: reads happen on a worker and the totals come back to the
// loop, where the page and the command line read the latest ones.
class LiveUsage {
 public:
  explicit LiveUsage(EventLoop& loop, Background::Executor executor = {});

  // Reads what was appended since the last time; `done` gets the totals, on the loop.
  void refresh(std::function<void(const Json&)> done = {});
  // Refreshes every `seconds` from now on, as well as when asked.
  void keepFresh(double seconds);
  // The totals of the last refresh that finished; absent before the first.
  const std::optional<Json>& latest() const { return latest_; }

 private:
  EventLoop& loop_;
  std::shared_ptr<UsageMeter> meter_;
  std::optional<Json> latest_;
  TimerHandle timer_;
  Background background_;  // last: its results stop before the members they touch go
};

}  // namespace talvane
