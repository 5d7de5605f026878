// `talvane talk [start|stop|toggle]`: dictation in the running app, for desktops (Wayland) where
// the app cannot see global keys; users bind it to a key in their desktop's settings.
#include <glib.h>

#include <cstdio>
#include <string>

#include "app/commands.h"
#include "app/state_client.h"
#include "platform/json.h"

namespace talvane::cli {

namespace {

// Opening the microphone and, the first time, loading the speech model take a moment.
constexpr double kStartLimit = 20;
constexpr gulong kAskEveryUs = 100'000;

struct Answer {
  bool reached = false;  // the app answered
  bool listening = false;
  bool recording = true;  // apps that do not say are taken at their word
  std::string error;
};

Answer ask(const std::string& action) {
  std::string failure;
  const Json request = {{"_query", "talk"}, {"action", action}};
  auto answer = queryApp(request.dump(), 5, &failure);
  if (!answer) return {false, false, false, failure};
  const Json reply = Json::parse(*answer, nullptr, false);
  Answer a;
  a.reached = true;
  a.listening = json::boolean(reply, "listening").value_or(false);
  a.recording = json::boolean(reply, "recording").value_or(true);
  a.error = json::string(reply, "error").value_or("");
  return a;
}

int failed(const std::string& message) {
  std::fprintf(stderr, "talvane: %s\n", message.c_str());
  return 1;
}

}  // namespace

int talk(const Args& args) {
  const std::string action = args.empty() ? "toggle" : args[0];
  if (args.size() > 1 || (action != "start" && action != "stop" && action != "toggle")) {
    std::fprintf(stderr, "usage: talvane talk [start|stop|toggle]\n");
    return 2;
  }
  Answer a = ask(action);
  // A start reports "listening" only once the microphone records: a missing microphone or
  // speech model is known a moment later and is the answer then.
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(kStartLimit * 1e6);
  while (a.reached && a.listening && !a.recording && action != "stop") {
    if (g_get_monotonic_time() > end) return failed("the microphone did not start in time");
    g_usleep(kAskEveryUs);
    a = ask("status");
  }
  if (!a.reached) return failed(a.error);
  if (action != "stop" && !a.listening) {
    if (!a.error.empty()) return failed(a.error);
    if (action == "start") return failed("dictation did not start");
  }
  std::printf("%s\n", a.listening ? "listening" : "stopped");
  return 0;
}

}  // namespace talvane::cli
