#include <cstdio>
#include <optional>
#include <string>

#include "app/commands.h"
#include "app/state_client.h"
#include "platform/json.h"

namespace talvane::cli {

int jump(const Args& args) {
  if (args.size() != 1 || args[0].empty() || args[0].front() == '-') {
    std::fprintf(stderr, "talvane: usage: talvane jump <session-id>\n");
    return 2;
  }
  std::string failure;
  auto answer = queryApp(json::compact({{"_query", "jump"}, {"id", args[0]}}), 30, &failure);
  if (!answer) {
    std::fprintf(stderr, "talvane: %s\n", failure.c_str());
    return 1;
  }
  auto reply = json::parseObject(*answer);
  if (!reply) {
    std::fprintf(stderr, "talvane: the running app does not know the jump command\n");
    return 1;
  }
  if (!json::boolean(*reply, "ok").value_or(false)) {
    std::fprintf(
        stderr, "talvane: %s\n",
        printable(json::string(*reply, "error").value_or("the app refused the jump")).c_str());
    return 1;
  }
  return 0;
}

}  // namespace talvane::cli
