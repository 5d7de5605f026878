#include <cstdio>

#include "app/commands.h"

namespace talvane::cli {

int usage(const Args&) {
  std::fprintf(stderr, "talvane: usage is not built yet\n");
  return 1;
}

}  // namespace talvane::cli
