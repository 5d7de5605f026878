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

// A socket connected to the app at `path`, its connect and sends bounded by `timeoutSeconds`;
// none, and why in `why`, when it cannot be had.
UniqueFd connectTo(const std::string& path, double timeoutSeconds, std::string& why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    why = "the socket path is too long: " + path;
    return {};
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    why = std::string("cannot create a socket: ") + std::strerror(errno);
    return {};
  }
  // Bounds the connect too: a listener whose backlog is full would otherwise hold us forever.
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeoutSeconds);
  limit.tv_usec = static_cast<suseconds_t>((timeoutSeconds - std::floor(timeoutSeconds)) * 1e6);
  if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1000;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return fd;
  const int err = errno;
  if (err == ENOENT || err == ECONNREFUSED)
    why = "no app is listening on " + path;
  else if (err == EAGAIN || err == EINPROGRESS || err == ETIMEDOUT)
    why = "the app at " + path + " did not answer within " + seconds(timeoutSeconds);
  else
    why = "cannot connect to " + path + ": " + std::strerror(err);
  return {};
}

bool sendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Everything the app writes until it closes the connection (it does after its answer); false
// when `deadline` comes first.
bool readToEnd(int fd, Clock::time_point deadline, std::string& answer) {
  char chunk[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd wait{fd, POLLIN, 0};
    int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline check above ends the wait
    ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      answer.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return true;
  }
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
  std::string why;
  UniqueFd fd = connectTo(path, timeoutSeconds, why);
  if (!fd) return fail(why);
  if (!sendAll(fd.get(), requestLine + "\n"))
    return fail("the app at " + path + " closed the connection");
  std::string answer;
  if (!readToEnd(fd.get(), deadline, answer))
    return fail("the app at " + path + " did not answer within " + seconds(timeoutSeconds));
  if (answer.empty())
    return fail("the app at " + path + " closed the connection without an answer");
  return answer;
}

}  // namespace talvane
