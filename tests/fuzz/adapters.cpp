// One payload through each agent family's adapter, then the user's answers and the passing time.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hub_fixture.h"
#include "platform/gobject.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace talvane;
  fuzz::temporaryHome();
  const auto message = json::parseObject(fuzz::text(data, size));
  if (!message) return 0;
  // Outlives the Hub, which may still answer held relays as it goes.
  std::vector<std::string> answers;
  const Reply reply = [&answers](const std::string& text) { answers.push_back(text); };
  fuzz::HubFixture f;
  Hub& hub = *f.hub;
  std::vector<std::string> held;
  for (auto entry : {&Hub::claude, &Hub::cursor, &Hub::adapted}) {
    if (auto id = (hub.*entry)(*message, reply)) held.push_back(*id);
    json::compact(hub.snapshot());
  }
  // Whatever the request, every kind of answer must be safe to give.
  const Json input = json::object(*message, "tool_input") ? (*message)["tool_input"] : Json();
  for (std::size_t i = 0; i < held.size(); ++i) {
    switch (i % 4) {
      case 0:
        hub.decide(held[i], "allow", input);
        break;
      case 1:
        hub.answer(held[i], {"a", ""});
        break;
      case 2:
        hub.sendReply(held[i], "go on");
        break;
      default:
        hub.hookGone(held[i]);
    }
  }
  f.loop.advance(25);
  f.loop.runPending();
  json::compact(hub.snapshot());
  // Reads run on this thread here, so a transcript the payload names has been read by now; one
  // still on its way would come from another thread into a loop that is not made for that.
  const auto path = json::string(*message, "transcript_path");
  if (path && json::string(*message, "session_id") && json::string(*message, "hook_event_name")) {
    UniqueFd file(files::openRegular(*path));
    if (file && !hub.transcripts().stats(*path)) __builtin_trap();
  }
  return 0;
}
