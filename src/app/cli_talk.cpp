// `talvane talk [start|stop|toggle]`: dictation in the running app, for desktops (Wayland) where
// the app cannot see global keys; users bind it to a key in their desktop's settings.
#include <cstdio>
#include <string>

#include "app/commands.h"
#include "app/state_client.h"
#include "platform/json.h"

namespace talvane::cli {

int talk(const Args& args) {
  const std::string action = args.empty() ? "toggle" : args[0];
  if (args.size() > 1 || (action != "start" && action != "stop" && action != "toggle")) {
    std::fprintf(stderr, "usage: talvane talk [start|stop|toggle]\n");
    return 2;
  }
  std::string failure;
  const Json request = {{"_query", "talk"}, {"action", action}};
  auto answer = queryApp(request.dump(), 5, &failure);
  if (!answer) {
    std::fprintf(stderr, "talvane: %s\n", failure.c_str());
    return 1;
  }
  const Json reply = Json::parse(*answer, nullptr, false);
  if (auto error = json::string(reply, "error")) {
    std::fprintf(stderr, "talvane: %s\n", error->c_str());
    return 1;
  }
  const bool listening = reply.is_object() && reply.value("listening", false);
  std::printf("%s\n", listening ? "listening" : "stopped");
  return 0;
}

}  // namespace talvane::cli
