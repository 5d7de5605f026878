#pragma once
// Transcripts written to recently: sessions that may still be running when the app starts.

#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace talvane::RecentTranscripts {

struct Found {
  std::string id;    // the file name without ".jsonl": the session id
  std::string path;  // full path
  Date modified;

  bool operator==(const Found&) const = default;
};

// Transcripts modified within the last `minutes` before `now`, oldest first.
std::vector<Found> find(double minutes, Date now);

}  // namespace talvane::RecentTranscripts
