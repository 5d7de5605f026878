#pragma once
// The hover trace: with TALVANE_TRACE in the environment, lines go to ~/.talvane/hover.log
// prefixed with the system uptime; otherwise tracing costs one check.

#include <string_view>

namespace talvane::trace {

bool enabled();
void line(std::string_view message);

}  // namespace talvane::trace
