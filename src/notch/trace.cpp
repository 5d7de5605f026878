#include "notch/trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace talvane::trace {

bool enabled() {
  static const bool on = std::getenv("TALVANE_TRACE") != nullptr;
  return on;
}

void line(std::string_view message) {
  if (!enabled()) return;
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.3f ", ts.tv_sec + ts.tv_nsec / 1e9);
  const std::string dir = files::home() + "/.talvane";
  files::makeDirs(dir, 0700);
  std::string text = stamp + std::string(message) + "\n";
  int fd = ::open((dir + "/hover.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] auto n = ::write(fd, text.data(), text.size());
  ::close(fd);
}

}  // namespace talvane::trace
