#include <cstdio>

#include "app/commands.h"

namespace talvane::cli {

int state(const Args&) {
  std::fprintf(stderr, "talvane: state is not built yet\n");
  return 1;
}

}  // namespace talvane::cli
