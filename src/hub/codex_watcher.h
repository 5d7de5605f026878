#pragma once
// Codex has no hooks: it is followed through the rollout files it appends to. Every two seconds
// the files of today's and yesterday's day folders that changed within 45 minutes are read from
// where the last sweep stopped, and each record becomes a change of the session in the Hub.
// Sessions whose file has gone quiet leave the Hub. Main thread only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "context/appended_lines.h"
#include "context/background.h"
#include "hub/hub.h"
#include "platform/event_loop.h"
#include "platform/json.h"

namespace talvane {

class CodexWatcher {
 public:
  static constexpr double kInterval = 2.0;
  static constexpr double kTolerance = 0.5;
  // A file not modified for this long is no longer live.
  static constexpr double kStale = 2700.0;

  // What a rollout file said about its session.
  struct Meta {
    std::string id;
    std::string cwd;
    bool operator==(const Meta&) const = default;
  };

  // How the appended bytes were handed over, to keep memory bounded on files of gigabytes.
  struct ReadStats {
    std::uint64_t bytes = 0;       // complete lines read, in total
    std::size_t blocks = 0;        // runs of lines handed over
    std::size_t largestBlock = 0;  // at most one chunk plus the longest line
  };

  // The Hub and the loop must outlive the watcher. Appended bytes are read `chunk` at a time.
  // `firstReads` runs the first sweep's reads, which may take whole files of gigabytes (a
  // worker thread by default).
  CodexWatcher(Hub& hub, EventLoop& loop, std::size_t chunk = AppendedLines::kChunk,
               Background::Executor firstReads = {});
  CodexWatcher(const CodexWatcher&) = delete;
  CodexWatcher& operator=(const CodexWatcher&) = delete;

  // Sweeps once now, off the loop, then every two seconds until `stop` or destruction.
  void start();
  void stop();
  bool running() const { return static_cast<bool>(timer_); }

  // Reads what was appended to the live rollout files and drops the sessions of files that
  // went quiet.
  void sweep();

  // $CODEX_HOME/sessions when CODEX_HOME is set, else ~/.codex/sessions.
  const std::string& root() const { return root_; }
  // The folder of the local day `dayOffset` days from now ("<root>/YYYY/MM/DD").
  std::string dayDirectory(int dayOffset) const;

  // Bytes consumed of each live rollout file.
  const std::map<std::string, std::uint64_t>& offsets() const { return offsets_; }
  const std::map<std::string, Meta>& meta() const { return meta_; }
  const ReadStats& readStats() const { return stats_; }

  // An RFC 3339 date-time ("2025-10-01T09:30:12.345Z"), fraction and offset optional.
  static std::optional<Date> parseTimestamp(std::string_view text);
  // The text a user typed, among the parts of a message that also carry injected context.
  static std::string userText(const std::vector<std::string>& texts);

  // The records of one file that a sweep read, in order.
  struct Records {
    std::string path;
    std::string fileId;
    std::vector<Json> lines;
  };
  // What a sweep read: the live files and their new records.
  struct Found {
    std::set<std::string> live;
    std::vector<Records> files;
  };

 private:
  // Lists, reads and moves the offsets: the part of a sweep that may run off the loop.
  Found find(Date now, const std::vector<std::string>& directories);
  // Applies the records and drops the sessions of files that went quiet.
  void take(const Found& found);
  void read(const std::string& path, std::vector<Json>& lines);
  void apply(const Json& line, const std::string& path, const std::string& fileId);
  void applyEvent(const Json& payload, const std::string& id, const std::string& cwd, Date at);
  void applyItem(const Json& item, const std::string& id, const std::string& cwd, Date at);
  // The session a file feeds: its meta id, or its file id when it has told none.
  std::string sessionKey(const std::string& path, const std::string& fileId) const;

  Hub& hub_;
  EventLoop& loop_;
  std::string root_;
  std::map<std::string, std::uint64_t> offsets_;
  std::map<std::string, Meta> meta_;
  AppendedLines reader_;
  ReadStats stats_;
  TimerHandle timer_;
  Background background_;  // last: stops its work before the members it touches go
};

}  // namespace talvane
