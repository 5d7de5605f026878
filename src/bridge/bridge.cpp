#include "bridge/bridge.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/log.h"
#include "platform/signal_connection.h"
#include "platform/user_data.h"

namespace talvane {

namespace {

constexpr std::size_t kReceiveSize = std::size_t{1} << 20;
// Accepting is paused this long when the process is out of descriptors, instead of spinning.
constexpr guint kAcceptBackoffMs = 100;
// Connections taken per wake-up, so a burst of relays cannot starve the connections already open.
constexpr int kAcceptBurst = 64;

std::string describeErrno(int err) { return std::strerror(err); }

std::string sizeText(std::size_t bytes) {
  if (bytes >= (std::size_t{1} << 20) && bytes % (std::size_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// One accepted relay connection. Reply functions hold it strongly, so an answer given after the
// Bridge let go (or was destroyed) still reaches its relay.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection() {
    stopReading();
    writeWatch_.reset();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_.get(); }
  bool writing() const { return static_cast<bool>(writeWatch_); }

  void watchReading(GUnixFDSourceFunc callback, gpointer data) {
    readWatch_ = SourceId(g_unix_fd_add(
        fd_.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), callback, data));
  }
  void stopReading() { readWatch_.reset(); }

  // Sends `data` as the connection's final content and closes it once written. Only the first
  // call sends; later ones, or any after the connection closed, change nothing.
  void sendFinal(std::string data) {
    if (finished_) return;
    finished_ = true;
    stopReading();
    if (!fd_) return;
    out_ = std::move(data);
    flush();
  }

  // Ends the connection without a goodbye (a write still in progress carries on by itself).
  void close() {
    stopReading();
    if (!writing()) fd_.reset();
  }

  std::string buffer;       // received bytes not yet cut into lines
  std::size_t scanned = 0;  // prefix of `buffer` known to hold no line feed
  bool draining = false;
  bool endAfterDrain = false;

 private:
  void flush() {
    while (sent_ < out_.size()) {
      ssize_t n =
          ::send(fd_.get(), out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent_ += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!writeWatch_) {
          writeWatch_ = SourceId(g_unix_fd_add_full(
              G_PRIORITY_DEFAULT, fd_.get(), static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR),
              &Connection::onWritable, Holding<Connection>::hold(shared_from_this()),
              Holding<Connection>::release));
        }
        return;
      }
      break;  // the relay is gone: the answer has nobody to reach
    }
    out_.clear();
    out_.shrink_to_fit();
    writeWatch_.reset();
    fd_.reset();
  }

  static gboolean onWritable(gint, GIOCondition, gpointer data) {
    // A copy: finishing removes this source, whose own reference dies with it.
    std::shared_ptr<Connection> self = Holding<Connection>::get(data);
    guardCallback("the bridge's write", [&] { self->flush(); });
    return G_SOURCE_CONTINUE;
  }

  UniqueFd fd_;
  SourceId readWatch_;
  SourceId writeWatch_;
  bool finished_ = false;
  std::string out_;
  std::size_t sent_ = 0;
};

}  // namespace

std::string bridgeDirectory() { return files::home() + "/.talvane/run"; }
std::string bridgeSocketPath() { return bridgeDirectory() + "/talvane.sock"; }

struct Bridge::Core : std::enable_shared_from_this<Core> {
  Core(HookRouter& hub, std::size_t maxBuffered) : hub(hub), maxBuffered(maxBuffered) {}

  HookRouter& hub;
  const std::size_t maxBuffered;
  std::optional<Remote> remote;
  std::string path;
  // Device and inode of the socket file bound, to tell it from one bound by another copy.
  std::optional<std::pair<dev_t, ino_t>> boundFile;
  UniqueFd listener;
  SourceId listenWatch;
  SourceId acceptPause;
  bool closed = false;
  // Keyed by connection identity; an entry lives from accept until the connection ends.
  std::unordered_map<Connection*, std::shared_ptr<Connection>> connections;
  std::unordered_map<Connection*, std::string> holding;
  std::unordered_map<std::string, LaterQueryHandler> queries;
  std::unique_ptr<char[]> scratch;
  // A descriptor kept spare: out of descriptors, it is given up so that one relay (or a state
  // query) is still accepted and answered rather than left hanging.
  UniqueFd reserve;

  void keepReserve() {
    if (!reserve) reserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }

  struct ReadWatch {
    Core* core;
    Connection* connection;
  };
  std::unordered_map<Connection*, std::unique_ptr<ReadWatch>> readWatches;

  void start() {
    if (listener || closed) return;
    keepReserve();
    path = remote ? remote->socketPath : bridgeSocketPath();
    listen();
  }

  // Replaces whatever is at the socket path with a new listener. False (logged) on failure.
  bool listen() {
    files::makeDirs(remote ? files::parent(path) : bridgeDirectory(), 0700);
    ::unlink(path.c_str());

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
      log::line("Talvane: cannot listen on " + path);
      log::debug("bridge", "socket path too long");
      return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    struct stat bound {};
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0 || ::lstat(path.c_str(), &bound) != 0) {
      const int err = errno;
      log::line("Talvane: cannot listen on " + path);
      log::debug("bridge", describeErrno(err));
      return false;
    }
    // Owner only, like its directory, whatever that directory's mode turned out to be.
    ::chmod(path.c_str(), 0600);
    boundFile = {bound.st_dev, bound.st_ino};
    listener = std::move(fd);
    watchListener();
    return true;
  }

  // Whether the socket path still names the socket this Bridge bound: a newer copy of the app
  // may have replaced it, or someone deleted it.
  bool ownsSocketFile() const {
    struct stat now {};
    return boundFile && ::lstat(path.c_str(), &now) == 0 && S_ISSOCK(now.st_mode) &&
           now.st_dev == boundFile->first && now.st_ino == boundFile->second;
  }

  void removeSocketFile() {
    if (ownsSocketFile()) ::unlink(path.c_str());
    boundFile.reset();
  }

  bool relisten() {
    if (!listener || closed || ownsSocketFile()) return false;
    // Relays already queued on the old listener are still served.
    acceptPending();
    stopListening();
    boundFile.reset();
    if (listen()) log::line("Talvane: the socket file was gone; listening again on " + path);
    return true;
  }

  void watchListener() {
    listenWatch = SourceId(g_unix_fd_add(listener.get(),
                                         static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP),
                                         &Core::onAcceptable, this));
  }

  void stopListening() {
    listenWatch.reset();
    acceptPause.reset();
    listener.reset();
  }

  void fail(const std::string& error) {
    log::line("Talvane bridge failed: " + error);
    stopListening();
  }

  // The Bridge is going away: nothing may call back into it. Connections held by reply
  // functions stay open for their answer; the rest close as their last owner drops them.
  void shutdown() {
    closed = true;
    stopListening();
    for (auto& [raw, connection] : connections) connection->stopReading();
    readWatches.clear();
    holding.clear();
    connections.clear();
  }

  static gboolean onAcceptable(gint, GIOCondition condition, gpointer data) {
    auto* core = static_cast<Core*>(data);
    auto keep = core->shared_from_this();
    if (condition & G_IO_IN) core->acceptPending();
    // A listener that hangs up stays readable with nothing to accept: it would spin the loop.
    if ((condition & (G_IO_ERR | G_IO_HUP | G_IO_NVAL)) && core->listener) {
      int err = 0;
      socklen_t size = sizeof err;
      ::getsockopt(core->listener.get(), SOL_SOCKET, SO_ERROR, &err, &size);
      core->fail(err ? describeErrno(err) : "the listening socket was shut down");
    }
    return G_SOURCE_CONTINUE;
  }

  static gboolean onAcceptResume(gpointer data) {
    auto* core = static_cast<Core*>(data);
    core->acceptPause.reset();  // this source ends here
    if (core->listener) core->watchListener();
    return G_SOURCE_REMOVE;
  }

  void acceptPending() {
    for (int i = 0; i < kAcceptBurst && listener; ++i) {
      int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      int err = errno;
      if (fd < 0 && (err == EMFILE || err == ENFILE) && reserve) {
        reserve.reset();
        fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        err = errno;
        if (fd < 0) keepReserve();
      }
      if (fd >= 0) {
        adopt(fd);
        continue;
      }
      if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        log::debug("bridge", "accept paused: " + describeErrno(err));
        listenWatch.reset();
        acceptPause = SourceId(g_timeout_add(kAcceptBackoffMs, &Core::onAcceptResume, this));
        return;
      }
      fail(describeErrno(err));
      return;
    }
  }

  void adopt(int fd) {
    auto connection = std::make_shared<Connection>(fd);
    Connection* raw = connection.get();
    connections.emplace(raw, connection);
    auto watch = std::make_unique<ReadWatch>(ReadWatch{this, raw});
    connection->watchReading(&Core::onReadable, watch.get());
    readWatches.emplace(raw, std::move(watch));
    // A relay or `talvane state` writes as soon as it connects, so its line is usually here
    // already. Taking it now serves it in the listener's turn, ahead of the page pushes queued
    // on this pass, rather than on a later pass behind them.
    serve(connection);
  }

  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto* watch = static_cast<ReadWatch*>(data);
    Core* core = watch->core;
    auto keep = core->shared_from_this();
    auto found = core->connections.find(watch->connection);
    if (found == core->connections.end()) return G_SOURCE_REMOVE;
    std::shared_ptr<Connection> connection = found->second;
    core->serve(connection);
    return G_SOURCE_CONTINUE;
  }

  void serve(const std::shared_ptr<Connection>& connection) {
    try {
      receive(connection);
    } catch (const std::exception& e) {
      log::line(std::string("Talvane: hook message failed: ") + e.what());
      end(connection);
    }
  }

  void receive(const std::shared_ptr<Connection>& connection) {
    if (!scratch) scratch = std::make_unique<char[]>(kReceiveSize);
    ssize_t n = ::recv(connection->fd(), scratch.get(), kReceiveSize, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
      end(connection);
      return;
    }
    connection->buffer.append(scratch.get(), static_cast<std::size_t>(n));
    drain(connection);
    if (closed || !connections.count(connection.get())) return;
    if (connection->buffer.size() > maxBuffered) {
      log::line("Talvane: closed a hook connection that sent more than " + sizeText(maxBuffered) +
                " without a line feed");
      connection->buffer = std::string();
      end(connection);
    }
  }

  // Cuts every complete line out of the buffer and routes it; an incomplete last line stays.
  void drain(const std::shared_ptr<Connection>& connection) {
    std::string& buffer = connection->buffer;
    connection->draining = true;
    std::size_t start = 0;
    while (!closed) {
      std::size_t feed = buffer.find('\n', std::max(start, connection->scanned));
      if (feed == std::string::npos) break;
      std::string_view line(buffer.data() + start, feed - start);
      start = feed + 1;
      route(connection, line);
    }
    buffer.erase(0, start);
    connection->scanned = buffer.size();
    connection->draining = false;
    if (std::exchange(connection->endAfterDrain, false)) end(connection);
  }

  void route(const std::shared_ptr<Connection>& connection, std::string_view line) {
    std::optional<Json> message = json::parseObject(line);
    if (!message) return;
    if (remote) {
      if (message->contains("_query")) {
        log::debug("bridge", "refused a query from " + remote->destination);
        // Answered like an unknown query: an empty line, and the connection ends.
        return makeReply(connection, std::make_shared<bool>(false))("");
      }
      (*message)["_remote"] = remote->destination;
    } else {
      // Only a remote host's own listener may say an event came from there.
      message->erase("_remote");
    }
    if (auto query = json::string(*message, "_query")) {
      if (*query == "state") {
        answerState(connection);
      } else {
        answerQuery(connection, *query, *message);
      }
      return;
    }
    auto replied = std::make_shared<bool>(false);
    Reply reply = makeReply(connection, replied);
    const std::string agent = json::string(*message, "_agent").value_or("claude");
    std::optional<std::string> pending;
    try {
      if (agent == "cursor") {
        pending = hub.cursor(*message, std::move(reply));
      } else if (agent == "claude") {
        pending = hub.claude(*message, std::move(reply));
      } else {
        pending = hub.adapted(*message, std::move(reply));
      }
    } catch (const std::exception& e) {
      log::line("Talvane: a hook message from " + agent + " failed: " + e.what());
    }
    // An id given together with a synchronous answer has nothing left to wait for.
    if (pending && !*replied && !closed && connections.count(connection.get()))
      holding[connection.get()] = *pending;
  }

  void answerState(const std::shared_ptr<Connection>& connection) {
    std::string text;
    try {
      text = json::pretty(hub.snapshot());
    } catch (const std::exception& e) {
      log::debug("bridge", std::string("snapshot failed: ") + e.what());
      text.clear();
    }
    text.push_back('\n');
    connection->sendFinal(std::move(text));
    finished(connection);
  }

  void answerQuery(const std::shared_ptr<Connection>& connection, const std::string& name,
                   const Json& request) {
    auto replied = std::make_shared<bool>(false);
    Reply reply = makeReply(connection, replied);
    auto handler = queries.find(name);
    if (handler == queries.end()) return reply("");
    try {
      handler->second(request, reply);
    } catch (const std::exception& e) {
      log::debug("bridge", "query " + name + " failed: " + e.what());
      if (!*replied) reply("");
    }
  }

  Reply makeReply(const std::shared_ptr<Connection>& connection,
                  const std::shared_ptr<bool>& replied) {
    return [weak = weak_from_this(), connection, replied](const std::string& answer) {
      *replied = true;
      auto core = weak.lock();
      if (core) core->holding.erase(connection.get());
      std::string line;
      line.reserve(answer.size() + 1);
      line.append(answer).push_back('\n');
      connection->sendFinal(std::move(line));
      if (core) core->finished(connection);
    };
  }

  // The final content went out (or is going): the connection ends, after the lines already
  // received on it have been routed.
  void finished(const std::shared_ptr<Connection>& connection) {
    if (closed || !connections.count(connection.get())) return;
    if (connection->draining) {
      connection->endAfterDrain = true;
      return;
    }
    end(connection);
  }

  // Forgets the connection; a wait it still held is withdrawn, once.
  void end(const std::shared_ptr<Connection>& connection) {
    Connection* raw = connection.get();
    auto found = connections.find(raw);
    if (found == connections.end()) return;
    connection->close();
    readWatches.erase(raw);
    connections.erase(found);
    keepReserve();
    auto held = holding.find(raw);
    if (held == holding.end()) return;
    std::string pendingId = std::move(held->second);
    holding.erase(held);
    try {
      hub.hookGone(pendingId);
    } catch (const std::exception& e) {
      log::line(std::string("Talvane: withdrawing a hook request failed: ") + e.what());
    }
  }
};

Bridge::Bridge(HookRouter& hub, std::size_t maxBuffered)
    : core_(std::make_shared<Core>(hub, maxBuffered)) {}

Bridge::Bridge(HookRouter& hub, Remote remote, std::size_t maxBuffered)
    : core_(std::make_shared<Core>(hub, maxBuffered)) {
  core_->remote = std::move(remote);
}

Bridge::~Bridge() { core_->shutdown(); }

void Bridge::start() { core_->start(); }

void Bridge::stop() {
  core_->stopListening();
  core_->removeSocketFile();
}

bool Bridge::keepListening() { return core_->relisten(); }

void Bridge::onQuery(const std::string& name, QueryHandler answer) {
  onQueryLater(name, [answer = std::move(answer)](const Json& request, const Reply& reply) {
    reply(answer(request));
  });
}

void Bridge::onQueryLater(const std::string& name, LaterQueryHandler answer) {
  core_->queries[name] = std::move(answer);
}

bool Bridge::listening() const { return static_cast<bool>(core_->listener); }
std::size_t Bridge::openConnections() const { return core_->connections.size(); }
std::size_t Bridge::heldConnections() const { return core_->holding.size(); }

}  // namespace talvane
