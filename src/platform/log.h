#pragma once
// One logging helper. `line` is for the few messages a user may need (stderr, always);
// `debug` goes to a GLib log domain, shown with G_MESSAGES_DEBUG=talvane-<area>.

#include <string_view>

namespace talvane::log {

void line(std::string_view message);
void debug(std::string_view area, std::string_view message);

}  // namespace talvane::log
