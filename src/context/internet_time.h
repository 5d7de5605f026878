#pragma once
// Internet date-times ("2025-10-01T09:30:12.250Z", "...+02:00"), as agents write them in their
// transcripts and rollout files.

#include <optional>
#include <string_view>

#include "platform/event_loop.h"

namespace talvane {

// Seconds since 1970; none unless `text` is exactly one valid date-time with a zone.
std::optional<Date> parseInternetTime(std::string_view text);

}  // namespace talvane
