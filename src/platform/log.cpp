#include "platform/log.h"

#include <glib.h>

#include <cstdio>
#include <string>

namespace talvane::log {

void line(std::string_view message) {
  std::string text(message);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void debug(std::string_view area, std::string_view message) {
  const std::string domain = "talvane-" + std::string(area);
  g_log(domain.c_str(), G_LOG_LEVEL_DEBUG, "%.*s", static_cast<int>(message.size()),
        message.data());
}

}  // namespace talvane::log
