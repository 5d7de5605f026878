#include "relay/relay.h"

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "platform/json_depth.h"
#include "relay/utf8.h"

namespace talvane::Relay {

namespace {

using Json = nlohmann::json;

// Which events wait for the app's answer. To let another event wait, add it to its agent's list
// (and make sure the app answers it).
constexpr std::string_view kClaudeBlocking[] = {"PermissionRequest", "Stop"};
constexpr std::string_view kCursorBlocking[] = {"stop"};
constexpr std::string_view kGeminiBlocking[] = {"AfterAgent"};
constexpr std::string_view kDroidBlocking[] = {"Stop"};

struct Blocking {
  std::string_view agent;
  std::span<const std::string_view> events;
};
constexpr Blocking kBlockingFor[] = {
    {"claude", kClaudeBlocking},
    {"cursor", kCursorBlocking},
    {"gemini", kGeminiBlocking},
    {"droid", kDroidBlocking},
};

constexpr std::size_t kReadChunk = 8192;

using Clock = std::chrono::steady_clock;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" escape at `i`, or -1.
long escapedUnit(std::string_view text, std::size_t i) {
  if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t k = i + 2; k < i + 6; ++k) {
    int digit = hexValue(text[k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// Lone surrogate escapes, which JavaScript writes for a string cut inside a surrogate pair,
// become U+FFFD; everything else is copied.
std::string mendSurrogates(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool inString = false;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (!inString) {
      if (c == '"') inString = true;
      out.push_back(c);
      ++i;
      continue;
    }
    if (c == '"') {
      inString = false;
      out.push_back(c);
      ++i;
      continue;
    }
    if (c != '\\' || i + 1 >= text.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    long unit = escapedUnit(text, i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      long next = escapedUnit(text, i + 6);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        out.append(text.substr(i, 12));
        i += 12;
      } else {
        out += "\\ufffd";
        i += 6;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      out += "\\ufffd";
      i += 6;
    } else {
      // Any other escape, copied whole so that an escaped quote or backslash is not misread.
      out.append(text.substr(i, 2));
      i += 2;
    }
  }
  return out;
}

std::optional<Json> parseObject(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::string readAll(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

std::string readFile(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string data = readAll(fd);
  ::close(fd);
  return data;
}

// A send time-out of zero means none, so the shortest one is a microsecond.
timeval timeLeft(Clock::duration left) {
  const auto micros = std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
  return timeval{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

bool setSendTimeout(int fd, timeval limit) {
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

// With a deadline, every send may block only for the time left, so the whole write is bounded
// however slowly the peer drains it.
bool writeAll(int fd, std::string_view bytes, int flags,
              std::optional<Clock::time_point> deadline = std::nullopt) {
  while (!bytes.empty()) {
    if (deadline) {
      const Clock::duration left = *deadline - Clock::now();
      if (left <= Clock::duration::zero() || !setSendTimeout(fd, timeLeft(left))) return false;
    }
    ssize_t n = flags ? ::send(fd, bytes.data(), bytes.size(), flags)
                      : ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string homeDirectory() {
  const char* home = ::getenv("HOME");
  if (home && *home) return home;
  std::string passwd = readFile("/etc/passwd");
  return passwdHome(passwd, ::getuid()).value_or("/");
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::span<const std::string_view> blockingFor(std::string_view agent) {
  for (const Blocking& entry : kBlockingFor) {
    if (entry.agent == agent) return entry.events;
  }
  return {};
}

bool waits(std::string_view agent, std::string_view event) {
  std::span<const std::string_view> events = blockingFor(agent);
  return std::find(events.begin(), events.end(), event) != events.end();
}

std::optional<Json> parsePayload(std::string_view input) {
  // Writing the payload out for the app recurses once per level: a payload that nests too deep
  // for that is refused like one that is not JSON.
  if (!json::depthWithin(input)) return std::nullopt;
  if (std::optional<Json> payload = parseObject(input)) return payload;
  return parseObject(mendSurrogates(Utf8::repair(input)));
}

std::string eventName(Json& payload, const char* fallback) {
  std::string name;
  if (auto it = payload.find("hook_event_name"); it != payload.end() && it->is_string()) {
    name = it->get<std::string>();
  } else if (auto action = payload.find("agent_action_name");
             action != payload.end() && action->is_string()) {
    name = action->get<std::string>();
  }
  if (name.empty() && fallback) {
    name = fallback;
    payload["hook_event_name"] = name;
  }
  return name;
}

Json hostObject(const HostFacts& host) {
  Json object = Json::object();
  if (host.tty) object["tty"] = *host.tty;
  if (host.pid) object["pid"] = *host.pid;
  if (host.bundle) object["bundle"] = *host.bundle;
  if (host.agentPid) object["agentPid"] = *host.agentPid;
  if (host.machine) object["machine"] = *host.machine;
  if (host.tmuxPane) object["tmuxPane"] = *host.tmuxPane;
  return object;
}

std::optional<std::string> passwdHome(std::string_view passwd, uid_t uid) {
  const std::string id = std::to_string(uid);
  while (!passwd.empty()) {
    std::size_t end = passwd.find('\n');
    std::string_view line = passwd.substr(0, end);
    passwd = end == std::string_view::npos ? std::string_view() : passwd.substr(end + 1);
    // name:password:uid:gid:gecos:home:shell
    std::string_view fields[7];
    std::size_t count = 0;
    for (std::size_t start = 0; count < 7;) {
      std::size_t colon = line.find(':', start);
      fields[count++] = line.substr(start, colon - start);
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
    if (count >= 6 && fields[2] == id && !fields[5].empty()) return std::string(fields[5]);
  }
  return std::nullopt;
}

std::string socketPath(std::string_view home) {
  return std::string(home) + "/.talvane/run/talvane.sock";
}

std::optional<std::string> readInput(int fd, std::size_t limit) {
  std::string data;
  char buffer[65536];
  for (;;) {
    // One byte past the limit tells a payload of exactly the limit from a longer one.
    const std::size_t room = std::min(sizeof buffer, limit + 1 - data.size());
    ssize_t n = ::read(fd, buffer, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > limit) return std::nullopt;
  }
  return data;
}

std::string exchange(const std::string& sockPath, std::string_view line, bool wait,
                     std::chrono::milliseconds limit) {
  if (sockPath.size() > kMaxSocketPath) return {};
  Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.fd() < 0) return {};
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, sockPath.data(), sockPath.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sockPath.size() + 1);
  // A unix-socket connect waits for room in the listener's backlog for as long as the send
  // time-out allows; an app that has stopped accepting would otherwise hold every hook.
  if (!setSendTimeout(socket.fd(), timeLeft(limit)) ||
      ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return {};
  }

  // MSG_NOSIGNAL: an app that has gone away must not end the relay with SIGPIPE. An event that
  // waits may take as long as its agent allows, the write included; the others give up once an
  // app that stopped reading has let the socket buffer fill for as long as connecting may take.
  if (wait) {
    if (!setSendTimeout(socket.fd(), timeval{0, 0}) || !writeAll(socket.fd(), line, MSG_NOSIGNAL))
      return {};
  } else {
    writeAll(socket.fd(), line, MSG_NOSIGNAL, Clock::now() + limit);
    return {};
  }

  // No time limit: the agent's own hook time-out bounds the wait. The connection must stay
  // open both ways meanwhile, since the app takes an end of stream for an abandoned request.
  std::string reply;
  char buffer[kReadChunk];
  for (;;) {
    ssize_t n = ::read(socket.fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
    if (reply.back() == '\n') break;
  }
  return reply;
}

std::string output(std::string_view agent, std::string_view name, std::string_view reply) {
  const std::string text = Utf8::repair(reply);
  const std::string_view answer = Utf8::trim(text);
  if (!answer.empty() && answer != "{}") return std::string(answer) + "\n";
  if (agent == "cursor") return name == "beforeSubmitPrompt" ? "{\"continue\":true}\n" : "{}\n";
  return {};
}

int run(int argc, char** argv, const ProcessTable& table) {
  std::string agent = argc > 1 && argv[1] ? argv[1] : "claude";
  std::string name;
  std::string reply;
  try {
    const std::optional<std::string> input = readInput(STDIN_FILENO);
    if (std::optional<Json> payload = input ? parsePayload(*input) : std::nullopt) {
      name = eventName(*payload, argc > 2 ? argv[2] : nullptr);
      (*payload)["_agent"] = agent;
      (*payload)["_host"] = hostObject(hostFactsHere(ancestors(table, ::getppid())));
      std::string line = payload->dump(-1, ' ', false, Json::error_handler_t::replace);
      line.push_back('\n');
      reply = exchange(socketPath(homeDirectory()), line, waits(agent, name));
    }
  } catch (...) {
    reply.clear();  // whatever went wrong, the agent gets its defaults
  }
  // The socket is closed by now: started with standard output closed, the relay would have
  // been given descriptor 1 for it, and the answer must not go back to the app.
  try {
    writeAll(STDOUT_FILENO, output(agent, name, reply), 0);
  } catch (...) {
  }
  return 0;
}

}  // namespace talvane::Relay
