#include "context/recent_transcripts.h"

#include <algorithm>

#include "context/transcript_files.h"

namespace talvane::RecentTranscripts {

std::vector<Found> find(double minutes, Date now) {
  const Date cutoff = now - 60.0 * minutes;
  std::vector<Found> found;
  TranscriptFiles::forEach(
      [&](const std::string& path, std::string_view name, Date modified, std::uint64_t) {
        if (modified >= cutoff)
          found.push_back({std::string(name.substr(0, name.size() - 6)), path, modified});
      });
  // Directory order is arbitrary: break ties by path so that restores are repeatable.
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
  });
  return found;
}

}  // namespace talvane::RecentTranscripts
