// The relay's whole treatment of standard input and of the app's answer, minus the socket.
#include <cstdint>

#include "fuzz_support.h"
#include "relay/relay.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = talvane::fuzz::text(data, size);
  std::string name;
  if (auto payload = talvane::Relay::parsePayload(input)) {
    name = talvane::Relay::eventName(*payload, "AfterAgent");
    (*payload)["_agent"] = "gemini";
    (*payload)["_host"] = talvane::Relay::hostObject({});
    const std::string line =
        payload->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // What the app receives must be an object it can read.
    if (!talvane::Relay::parsePayload(line)) __builtin_trap();
  }
  // The same bytes taken as the app's answer.
  for (const char* agent : {"claude", "cursor"}) talvane::Relay::output(agent, name, input);
  return 0;
}
