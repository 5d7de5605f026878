#include "app/state_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "bridge/bridge.h"
#include "platform/gobject.h"

namespace talvane {

namespace {

using Clock = std::chrono::steady_clock;

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", value);
  return text;
}

}  // namespace

std::optional<std::string> queryState(double timeoutSeconds, std::string* failure) {
  return queryApp("{\"_query\":\"state\"}", timeoutSeconds, failure);
}

std::optional<std::string> queryApp(const std::string& requestLine, double timeoutSeconds,
                                    std::string* failure) {
  const std::string path = bridgeSocketPath();
  auto fail = [&](const std::string& why) -> std::optional<std::string> {
    if (failure) *failure = why;
    return std::nullopt;
  };
  if (!(timeoutSeconds > 0)) timeoutSeconds = 0.001;
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::min(timeoutSeconds, 86400.0)));

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return fail("the socket path is too long: " + path);
  std::memcpy(address.sun_path, path.data(), path.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(std::string("cannot create a socket: ") + std::strerror(errno));
  // Bounds the connect too: a listener whose backlog is full would otherwise hold us forever.
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeoutSeconds);
  limit.tv_usec = static_cast<suseconds_t>((timeoutSeconds - std::floor(timeoutSeconds)) * 1e6);
  if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1000;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ECONNREFUSED) return fail("no app is listening on " + path);
    if (err == EAGAIN || err == EINPROGRESS || err == ETIMEDOUT)
      return fail("the app at " + path + " did not answer within " + seconds(timeoutSeconds));
    return fail("cannot connect to " + path + ": " + std::strerror(err));
  }

  const std::string request = requestLine + "\n";
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("the app at " + path + " closed the connection");
    sent += static_cast<std::size_t>(n);
  }

  // The app closes the connection after its answer.
  std::string answer;
  char chunk[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      return fail("the app at " + path + " did not answer within " + seconds(timeoutSeconds));
    pollfd wait{fd.get(), POLLIN, 0};
    int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline check above ends the wait
    ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      answer.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    break;
  }
  if (answer.empty())
    return fail("the app at " + path + " closed the connection without an answer");
  return answer;
}

}  // namespace talvane
