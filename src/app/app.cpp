#include <cstdio>

#include "app/commands.h"

namespace talvane::cli {

int app(const Args&) {
  std::fprintf(stderr, "talvane: the app is not built yet\n");
  return 1;
}

}  // namespace talvane::cli
