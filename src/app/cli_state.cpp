#include <cstdio>
#include <optional>
#include <string>

#include "app/commands.h"
#include "app/state_client.h"

namespace talvane::cli {

int state(const Args& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "talvane: state takes no arguments\n");
    return 2;
  }
  std::string failure;
  std::optional<std::string> answer = queryState(5, &failure);
  if (!answer) {
    std::fprintf(stderr, "talvane: %s\n", failure.c_str());
    return 1;
  }
  if (answer->empty() || answer->back() != '\n') answer->push_back('\n');
  std::fwrite(answer->data(), 1, answer->size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace talvane::cli
