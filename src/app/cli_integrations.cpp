#include <cstdio>

#include "app/commands.h"

namespace talvane::cli {

int connect(const Args&) {
  std::fprintf(stderr, "talvane: connect is not built yet\n");
  return 1;
}
int disconnect(const Args&) {
  std::fprintf(stderr, "talvane: disconnect is not built yet\n");
  return 1;
}
int status(const Args&) {
  std::fprintf(stderr, "talvane: status is not built yet\n");
  return 1;
}

}  // namespace talvane::cli
