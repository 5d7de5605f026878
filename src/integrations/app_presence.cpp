#include "integrations/app_presence.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace talvane::AppPresence {

namespace {

bool onPath(std::string_view executable) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string_view rest = path;
  while (!rest.empty()) {
    auto colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (dir.empty()) continue;
    std::string candidate = std::string(dir) + "/" + std::string(executable);
    if (!files::isDirectory(candidate) && ::access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

bool installed(std::string_view executable, std::initializer_list<std::string_view> folders) {
  for (std::string_view folder : folders) {
    std::string full = folder.substr(0, 2) == "~/" ? files::home() + std::string(folder.substr(1))
                                                   : std::string(folder);
    if (files::exists(full)) return true;
  }
  return onPath(executable);
}

}  // namespace talvane::AppPresence
