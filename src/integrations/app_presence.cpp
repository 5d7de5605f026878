#include "integrations/app_presence.h"

#include <string>

namespace talvane::AppPresence {

bool installed(std::string_view executable, std::initializer_list<std::string_view> folders,
               FileSystem& fs) {
  for (std::string_view folder : folders) {
    std::string full = folder.substr(0, 2) == "~/" ? fs.home() + std::string(folder.substr(1))
                                                   : std::string(folder);
    if (fs.exists(full)) return true;
  }
  return fs.onPath(executable);
}

}  // namespace talvane::AppPresence
