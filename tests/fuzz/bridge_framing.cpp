// Bytes from a relay's connection, in pieces, through the Bridge's framing and routing.
#include <glib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "fuzz_support.h"
#include "platform/gobject.h"

namespace {

using namespace talvane;

// Answers at once, holds, or lets go, as the message asks: every path of the reply.
struct Router : HookRouter {
  std::vector<Reply> held;
  std::optional<std::string> route(const Json& message, Reply reply) {
    const std::string mode = json::string(message, "mode").value_or("");
    if (mode == "answer") {
      reply("{\"ok\":true}");
      return "answered";
    }
    if (mode == "hold") {
      held.push_back(std::move(reply));
      return "p" + std::to_string(held.size());
    }
    return std::nullopt;
  }
  std::optional<std::string> claude(const Json& m, Reply r) override { return route(m, r); }
  std::optional<std::string> cursor(const Json& m, Reply r) override { return route(m, r); }
  std::optional<std::string> adapted(const Json& m, Reply r) override { return route(m, r); }
  void hookGone(const std::string&) override {}
  Json snapshot() override { return Json{{"sessions", Json::array()}}; }
};

void spin(int times) {
  for (int i = 0; i < times; ++i) g_main_context_iteration(nullptr, FALSE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::temporaryHome();
  static Router router;
  // A small limit, so that an over-long line is reachable.
  static Bridge bridge(router, 1024);
  static const bool started = (bridge.start(), bridge.listening());
  if (!started) __builtin_trap();

  // The first byte sets the piece size, so that lines arrive whole and split.
  const std::size_t piece = size ? 1 + data[0] % 64 : 1;
  std::string_view rest = fuzz::text(data, size);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, bridgeSocketPath().c_str(), sizeof address.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
  while (!rest.empty()) {
    const std::string_view next = rest.substr(0, piece);
    const ssize_t n = ::send(fd.get(), next.data(), next.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0)
      rest.remove_prefix(static_cast<std::size_t>(n));
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
      break;
    spin(2);
  }
  spin(4);
  // Half of the held relays get their answer, the others go away unanswered.
  for (std::size_t i = 0; i < router.held.size(); i += 2) router.held[i]("{}");
  router.held.clear();
  fd.reset();
  for (int i = 0; i < 100000 && bridge.openConnections() > 0; ++i) spin(1);
  if (bridge.openConnections() > 0) __builtin_trap();  // a connection outlived its relay
  return 0;
}
