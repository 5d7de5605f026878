#pragma once
// A recording HookRouter and a plain-socket client standing in for the relay.

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/hook_router.h"
#include "platform/gobject.h"

namespace talvane::testing {

class FakeRouter : public HookRouter {
 public:
  struct Call {
    std::string family;  // "claude", "cursor" or "adapted"
    Json message;
    Reply reply;
  };
  // Decides what an entry point returns; by default nothing is kept.
  std::function<std::optional<std::string>(Call&)> behaviour;
  std::vector<Call> calls;
  std::vector<std::string> gone;
  Json state = Json::object();
  int snapshots = 0;

  std::optional<std::string> claude(const Json& m, Reply r) override {
    return take("claude", m, r);
  }
  std::optional<std::string> cursor(const Json& m, Reply r) override {
    return take("cursor", m, r);
  }
  std::optional<std::string> adapted(const Json& m, Reply r) override {
    return take("adapted", m, r);
  }
  void hookGone(const std::string& pendingId) override { gone.push_back(pendingId); }
  Json snapshot() override {
    ++snapshots;
    return state;
  }

 private:
  std::optional<std::string> take(const char* family, const Json& message, Reply reply) {
    calls.push_back({family, message, std::move(reply)});
    return behaviour ? behaviour(calls.back()) : std::nullopt;
  }
};

// A relay's side of one connection. Sends block (keep them small); reads never do, so tests
// poll them from `runUntil` while the Bridge runs on the same main context.
class Client {
 public:
  explicit Client(const std::string& path = bridgeSocketPath()) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

  bool connected() const { return connected_; }

  void send(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      data.remove_prefix(static_cast<size_t>(n));
    }
  }

  // Sends what fits without waiting; returns the bytes taken.
  size_t trySend(std::string_view data) {
    ssize_t n = ::send(fd_.get(), data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // True once the Bridge has taken every byte sent so far off the socket.
  bool delivered() const {
    int queued = -1;
    return ::ioctl(fd_.get(), SIOCOUTQ, &queued) == 0 && queued == 0;
  }

  // Reads whatever has arrived; true once the app closed its end.
  bool ended() {
    char chunk[65536];
    while (!eof_ && fd_) {
      ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        received_.append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        eof_ = true;
      } else {
        break;
      }
    }
    return eof_;
  }

  const std::string& received() {
    ended();
    return received_;
  }

  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  bool connected_ = false;
  bool eof_ = false;
  std::string received_;
};

}  // namespace talvane::testing
