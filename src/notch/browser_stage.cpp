#include "notch/browser_stage.h"

#include <libsoup/soup.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "notch/page_files.h"
#include "platform/files.h"
#include "platform/log.h"

namespace talvane {

namespace {

std::string randomToken() {
  unsigned char bytes[24];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 15]);
  }
  return out;
}

// Compares without leaking where the first difference is.
bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// Lenient: a bare key ("?onboard&token=…") is a key with an empty value, not a broken query.
std::optional<std::string> queryValue(GUri* uri, std::string_view name) {
  const char* query = uri ? g_uri_get_query(uri) : nullptr;
  if (!query) return std::nullopt;
  std::string_view rest(query);
  while (true) {
    const auto amp = rest.find('&');
    const std::string_view part = rest.substr(0, amp);
    const auto eq = part.find('=');
    if (part.substr(0, eq) == name) {
      if (eq == std::string_view::npos) return std::string();
      const std::string raw(part.substr(eq + 1));
      char* value = g_uri_unescape_string(raw.c_str(), nullptr);
      if (!value) return std::nullopt;
      std::string out(value);
      g_free(value);
      return out;
    }
    if (amp == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(amp + 1);
  }
}

void refuse(SoupServerMessage* msg) {
  soup_server_message_set_status(msg, SOUP_STATUS_FORBIDDEN, nullptr);
  // A refused client gets nothing more on this connection: kept alive, an idle refused
  // connection would hold a descriptor until the peer went away.
  soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection",
                               "close");
  soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_STATIC,
                                   "Forbidden\n", 10);
}

// What the system has taken from us on `socket` (sent, or queued to send) and what it has received
// and we have read, from its own counters: libsoup keeps no count of either.
struct Traffic {
  std::uint64_t written = 0;
  std::uint64_t read = 0;
};
std::optional<Traffic> traffic(GSocket* socket) {
  const int fd = g_socket_get_fd(socket);
  tcp_info info{};
  socklen_t size = sizeof info;
  int unsent = 0, unread = 0;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received ||
      ::ioctl(fd, SIOCOUTQ, &unsent) != 0 || ::ioctl(fd, SIOCINQ, &unread) != 0)
    return std::nullopt;
  return Traffic{info.tcpi_bytes_acked + static_cast<std::uint64_t>(std::max(unsent, 0)),
                 info.tcpi_bytes_received - static_cast<std::uint64_t>(std::max(unread, 0))};
}

// A server frame of `payload` bytes on the wire (servers do not mask).
std::uint64_t frameBytes(std::size_t payload) {
  return payload + (payload < 126 ? 2 : payload < 65536 ? 4 : 10);
}

// Only one of each: with two, which one a check reads is up to the parser.
bool single(SoupMessageHeaders* headers, const char* name) {
  struct Count {
    const char* name;
    int seen;
  } count{name, 0};
  soup_message_headers_foreach(
      headers,
      +[](const char* header, const char*, gpointer data) {
        auto* c = static_cast<Count*>(data);
        if (g_ascii_strcasecmp(header, c->name) == 0) ++c->seen;
      },
      &count);
  return count.seen <= 1;
}

std::string clientOf(GSocket* socket) {
  const GObjectPtr<GSocketAddress> owned(g_socket_get_remote_address(socket, nullptr));
  GSocketAddress* address = owned.get();
  if (!address) return {};
  std::string text;
  if (G_IS_INET_SOCKET_ADDRESS(address)) {
    gchar* ip =
        g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
    text = ip ? ip : "";
    g_free(ip);
  }
  return text;
}

}  // namespace

std::string BrowserStage::keptToken(const std::string& path) {
  if (auto saved = files::read(path)) {
    std::string t = *saved;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
    const bool wellFormed =
        t.size() >= 32 && t.find_first_not_of("0123456789abcdef") == std::string::npos;
    struct stat st {};
    // A token others can read is no secret: make a new one.
    if (wellFormed && ::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) == 0) return t;
  }
  std::string fresh = randomToken();
  if (auto why = files::writeAtomic(path, fresh + "\n", 0600))
    log::line("Talvane: cannot keep the panel token in " + path + ": " + *why);
  return fresh;
}

std::string BrowserStage::tokenPath() { return files::configHome() + "/talvane/panel-token"; }

BrowserStage::BrowserStage(WebStage& stage, std::string token, EventLoop* loop, Limits limits)
    : stage_(stage),
      token_(token.empty() ? randomToken() : std::move(token)),
      ownLoop_(loop ? nullptr : std::make_unique<GLibLoop>()),
      loop_(loop ? *loop : *ownLoop_),
      limits_(limits) {}

BrowserStage::~BrowserStage() { stop(); }

std::optional<std::string> BrowserStage::start(std::uint16_t port, bool fallback) {
  stop();
  server_.reset(soup_server_new("server-header", "Talvane", nullptr));
  SoupServer* server = server_.get();
  // Handlers are kept per path, so the socket's path needs its own early check.
  soup_server_add_early_handler(server, nullptr, &BrowserStage::onEarly, this, nullptr);
  soup_server_add_early_handler(server, "/ws", &BrowserStage::onEarly, this, nullptr);
  soup_server_add_websocket_handler(server, "/ws", nullptr, nullptr, &BrowserStage::onSocket, this,
                                    nullptr);
  soup_server_add_handler(server, nullptr, &BrowserStage::onRequest, this, nullptr);
  using Request = void(SoupServer*, SoupServerMessage*);
  serverSignals_.push_back(connectSignal<Request>(
      server, "request-started", [this](SoupServer*, SoupServerMessage* msg) { started(msg); }));
  serverSignals_.push_back(connectSignal<Request>(
      server, "request-read", [this](SoupServer*, SoupServerMessage* msg) { read(msg); }));
  for (const char* signal : {"request-finished", "request-aborted"})
    serverSignals_.push_back(connectSignal<Request>(
        server, signal, [this](SoupServer*, SoupServerMessage* msg) { finished(msg); }));
  GError* error = nullptr;
  auto listen = [&](guint p) {
    g_clear_error(&error);
    return soup_server_listen_local(server, p, SOUP_SERVER_LISTEN_IPV4_ONLY, &error);
  };
  bool ok = listen(port);
  if (!ok && fallback && port != 0) ok = listen(0);
  if (!ok) {
    std::string why = error ? error->message : "cannot listen";
    g_clear_error(&error);
    stop();
    return why;
  }
  GSList* uris = soup_server_get_uris(server);
  if (uris) port_ = static_cast<std::uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  return std::nullopt;
}

void BrowserStage::stop() {
  sweeping_.cancel();
  catchingUp_.cancel();
  for (auto& [socket, page] : pages_) {
    page.signals.clear();
    page.inputWatch.reset();
    if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
  }
  pages_.clear();
  for (auto& [socket, connection] : connections_)
    g_object_weak_unref(G_OBJECT(socket), &onGone, this);
  connections_.clear();
  requests_.clear();
  serverSignals_.clear();
  if (server_) soup_server_disconnect(server_.get());
  server_.reset();
}

std::string BrowserStage::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" +
         (source_.route.empty() ? "?" : source_.route + "&") + "token=" + token_;
}

void BrowserStage::load(const PageSource& source) {
  source_ = source;
  // Open pages reload themselves from the new source.
  deliver(R"({"type":"reload"})");
}

void BrowserStage::deliver(const std::string& message) {
  std::vector<SoupWebsocketConnection*> open;
  for (auto& [socket, page] : pages_) open.push_back(socket);
  // Sending may drop a page, so by name rather than by iterator.
  for (auto* socket : open)
    if (auto found = pages_.find(socket); found != pages_.end())
      send(found->second, message, false);
}

void BrowserStage::deliverState(const std::string& message) {
  std::vector<SoupWebsocketConnection*> open;
  for (auto& [socket, page] : pages_) open.push_back(socket);
  for (auto* socket : open)
    if (auto found = pages_.find(socket); found != pages_.end()) send(found->second, message, true);
}

std::uint64_t BrowserStage::backlog(const Page& page) const {
  auto t = traffic(page.stream.get());
  const std::uint64_t written = t ? t->written - page.sentBase : 0;
  return page.handed > written ? page.handed - written : 0;
}

std::size_t BrowserStage::backlogBytes() const {
  std::size_t total = 0;
  for (const auto& [socket, page] : pages_) total += backlog(page);
  return total;
}

std::size_t BrowserStage::heldBytes() const {
  std::size_t total = 0;
  for (const auto& [socket, page] : pages_) total += page.heldBytes;
  return total;
}

void BrowserStage::send(Page& page, const std::string& text, bool state) {
  if (soup_websocket_connection_get_state(page.socket.get()) != SOUP_WEBSOCKET_STATE_OPEN) return;
  if (!page.held.empty() || backlog(page) > limits_.behindBytes) return hold(page, text, state);
  page.handed += frameBytes(text.size());
  soup_websocket_connection_send_text(page.socket.get(), text.c_str());
}

void BrowserStage::hold(Page& page, const std::string& text, bool state) {
  if (!page.behindSince) page.behindSince = loop_.now();
  if (state) {
    // Each state is complete: a page that is behind needs only the newest.
    std::erase_if(page.held, [&](const Held& h) {
      if (h.state) page.heldBytes -= h.text.size();
      return h.state;
    });
  } else if (page.heldBytes + text.size() > limits_.heldBytes) {
    return drop(page.socket.get(), "its messages piled up");
  }
  page.heldBytes += text.size();
  page.held.push_back({text, state});
  if (!catchingUp_) catchingUp_ = loop_.every(0.1, 0.05, [this] { catchUp(); });
}

// Pages that took what they had hand over what was held for them; pages behind too long go.
void BrowserStage::catchUp() {
  std::vector<SoupWebsocketConnection*> behind;
  for (auto& [socket, page] : pages_)
    if (page.behindSince) behind.push_back(socket);
  for (auto* socket : behind) {
    Page& page = pages_.at(socket);
    if (backlog(page) <= limits_.behindBytes) {
      std::deque<Held> held;
      held.swap(page.held);
      page.heldBytes = 0;
      page.behindSince.reset();
      for (const Held& h : held) {
        auto still = pages_.find(socket);
        if (still == pages_.end()) break;
        send(still->second, h.text, h.state);
      }
    } else if (loop_.now() - *page.behindSince >= limits_.behindTimeout) {
      drop(socket, "it stopped reading");
    }
  }
  if (std::none_of(pages_.begin(), pages_.end(),
                   [](const auto& p) { return p.second.behindSince; }))
    catchingUp_.cancel();
}

// Without waiting for a goodbye the peer may never send: what libsoup still holds for it goes now.
void BrowserStage::drop(SoupWebsocketConnection* socket, const char* why) {
  auto found = pages_.find(socket);
  if (found == pages_.end()) return;
  log::line(std::string("Talvane: closed a panel page: ") + why);
  GSocket* stream = found->second.stream.get();
  soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, nullptr);
  g_socket_shutdown(stream, TRUE, TRUE, nullptr);
  // libsoup reports the end once it notices; the page is gone for us now.
  closed(socket);
}

// Each time libsoup has read: a message still unfinished after kMaxMessageBytes closes the page.
bool BrowserStage::checkIncoming(SoupWebsocketConnection* socket) {
  auto found = pages_.find(socket);
  if (found == pages_.end()) return false;
  auto t = traffic(found->second.stream.get());
  if (t && t->read > found->second.readMark + kMaxMessageBytes + (64u << 10)) {
    drop(socket, "a message was too large");
    return false;
  }
  return true;
}

GSocket* BrowserStage::socketOf(SoupServerMessage* msg) const {
  auto found = requests_.find(msg);
  return found != requests_.end() ? found->second : soup_server_message_get_socket(msg);
}

void BrowserStage::started(SoupServerMessage* msg) {
  GSocket* socket = soup_server_message_get_socket(msg);
  if (!socket) return;
  auto found = connections_.find(socket);
  if (found == connections_.end()) admit(socket, clientOf(socket));
  found = connections_.find(socket);
  if (found == connections_.end()) return;
  requests_[msg] = socket;
  if (found->second.phase != Phase::kPage)
    found->second = {found->second.client, Phase::kWaiting, loop_.now()};
}

// A new connection: past a limit, the longest-waiting connection of that client (or of all) makes
// room; with none waiting, the newcomer goes.
void BrowserStage::admit(GSocket* socket, const std::string& client) {
  auto oldestWaiting = [&](bool sameClient) -> GSocket* {
    GSocket* oldest = nullptr;
    Date since = 0;
    for (const auto& [s, c] : connections_) {
      if (c.phase != Phase::kWaiting || (sameClient && c.client != client)) continue;
      if (!oldest || c.since < since) oldest = s, since = c.since;
    }
    return oldest;
  };
  const auto fromClient = static_cast<std::size_t>(
      std::count_if(connections_.begin(), connections_.end(),
                    [&](const auto& c) { return c.second.client == client; }));
  GSocket* room = nullptr;
  if (fromClient >= limits_.perClient)
    room = oldestWaiting(true);
  else if (connections_.size() >= limits_.total)
    room = oldestWaiting(false);
  if ((fromClient >= limits_.perClient || connections_.size() >= limits_.total) && !room) {
    g_socket_shutdown(socket, TRUE, TRUE, nullptr);
    return;
  }
  if (room) cut(room);
  connections_[socket] = {client, Phase::kWaiting, loop_.now()};
  g_object_weak_ref(G_OBJECT(socket), &onGone, this);
  if (!sweeping_) sweeping_ = loop_.every(1, 0.5, [this] { sweep(); });
}

// Ends a connection under libsoup's feet: it sees the end of the stream and lets go.
void BrowserStage::cut(GSocket* socket) {
  g_socket_shutdown(socket, TRUE, TRUE, nullptr);
  forget(socket);
}

void BrowserStage::forget(GSocket* socket) {
  if (connections_.erase(socket)) g_object_weak_unref(G_OBJECT(socket), &onGone, this);
  std::erase_if(requests_, [&](const auto& r) { return r.second == socket; });
  if (connections_.empty()) sweeping_.cancel();
}

void BrowserStage::onGone(gpointer self, GObject* socket) {
  auto* stage = static_cast<BrowserStage*>(self);
  auto* s = reinterpret_cast<GSocket*>(socket);
  stage->connections_.erase(s);
  std::erase_if(stage->requests_, [&](const auto& r) { return r.second == s; });
  if (stage->connections_.empty()) stage->sweeping_.cancel();
}

void BrowserStage::read(SoupServerMessage* msg) {
  auto found = connections_.find(socketOf(msg));
  if (found != connections_.end() && found->second.phase != Phase::kPage)
    found->second = {found->second.client, Phase::kResponding, loop_.now()};
}

void BrowserStage::finished(SoupServerMessage* msg) {
  GSocket* socket = socketOf(msg);
  requests_.erase(msg);
  auto found = connections_.find(socket);
  if (found != connections_.end() && found->second.phase != Phase::kPage)
    found->second = {found->second.client, Phase::kWaiting, loop_.now()};
}

void BrowserStage::sweep() {
  const Date now = loop_.now();
  std::vector<GSocket*> late;
  for (const auto& [socket, c] : connections_) {
    if (c.phase == Phase::kWaiting && now - c.since >= limits_.idleTimeout) late.push_back(socket);
    if (c.phase == Phase::kResponding && now - c.since >= limits_.requestTimeout)
      late.push_back(socket);
  }
  for (GSocket* socket : late) cut(socket);
}

bool BrowserStage::allowedHost(SoupServerMessage* msg) const {
  SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
  if (!single(headers, "Host") || !single(headers, "Origin")) return false;
  const char* host = soup_message_headers_get_one(headers, "Host");
  if (!host) return false;
  const std::string p = ":" + std::to_string(port_);
  return host == "127.0.0.1" + p || host == "localhost" + p;
}

bool BrowserStage::hasToken(SoupServerMessage* msg) const {
  auto q = queryValue(soup_server_message_get_uri(msg), "token");
  return q && checkToken(*q);
}

bool BrowserStage::checkToken(std::string_view offered) const {
  return !token_.empty() && sameSecret(offered, token_);
}

bool BrowserStage::allowed(SoupServerMessage* msg, bool needsToken) const {
  if (!allowedHost(msg)) return false;
  const char* origin =
      soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Origin");
  if (needsToken || origin) {
    // Browsers send Origin on every socket and on cross-site requests: it must be ours.
    const std::string p = ":" + std::to_string(port_);
    if (!origin) return false;
    if (std::strcmp(origin, ("http://127.0.0.1" + p).c_str()) != 0 &&
        std::strcmp(origin, ("http://localhost" + p).c_str()) != 0)
      return false;
  }
  return !needsToken || hasToken(msg);
}

void BrowserStage::early(SoupServerMessage* msg, const char* path) {
  if (!allowed(msg, std::strcmp(path, "/ws") == 0)) refuse(msg);
}

void BrowserStage::serve(SoupServerMessage* msg, const char* path) {
  if (!allowed(msg, false)) return refuse(msg);
  const char* method = soup_server_message_get_method(msg);
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
    return;
  }
  SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(out, "Cache-Control", "no-cache");
  soup_message_headers_replace(out, "X-Content-Type-Options", "nosniff");
  soup_message_headers_replace(out, "Referrer-Policy", "no-referrer");

  if (std::strcmp(path, kCheckPath) == 0) {
    // Lets a page whose socket keeps failing tell "not running" from "an old address".
    soup_server_message_set_status(
        msg, hasToken(msg) ? SOUP_STATUS_NO_CONTENT : SOUP_STATUS_FORBIDDEN, nullptr);
    return;
  }
  std::optional<PageFiles::File> file;
  switch (source_.kind) {
    case PageSource::Kind::kDirectory:
      file = PageFiles::read(source_.directory, path);
      break;
    case PageSource::Kind::kUrl:
      if (std::strcmp(path, "/") == 0) {
        soup_server_message_set_redirect(msg, SOUP_STATUS_FOUND, source_.url.c_str());
        return;
      }
      break;
    case PageSource::Kind::kFallback:
      if (std::strcmp(path, "/") == 0 || std::strcmp(path, "/index.html") == 0)
        file = PageFiles::File{WebStage::fallbackPage(), PageFiles::contentType("index.html")};
      break;
  }
  if (!file) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  soup_server_message_set_response(msg, file->type.c_str(), SOUP_MEMORY_COPY, file->data.data(),
                                   file->data.size());
}

void BrowserStage::opened(SoupServerMessage* msg, SoupWebsocketConnection* socket) {
  GSocket* stream = socketOf(msg);
  auto t = stream ? traffic(stream) : std::nullopt;
  if (!t) {
    // Without the system's counts a page could not be kept in bounds.
    soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, nullptr);
    return;
  }
  if (auto found = connections_.find(stream); found != connections_.end())
    found->second.phase = Phase::kPage;
  requests_.erase(msg);
  // A single frame past the limit is refused by libsoup from its header; fragments are counted
  // here.
  soup_websocket_connection_set_max_incoming_payload_size(socket, kMaxMessageBytes);
  soup_websocket_connection_set_keepalive_interval(socket, 20);
  // Small system buffers: what a page may make us read before the check above runs stays small.
  const int buffer = 256 << 10;
  g_socket_set_option(stream, SOL_SOCKET, SO_RCVBUF, buffer, nullptr);
  Page& page = pages_[socket];
  page.socket.reset(SOUP_WEBSOCKET_CONNECTION(g_object_ref(socket)));
  page.stream.reset(G_SOCKET(g_object_ref(stream)));
  page.sentBase = t->written;
  page.readMark = t->read;
  struct Watch {
    BrowserStage* stage;
    SoupWebsocketConnection* socket;
  };
  GSource* watch = g_socket_create_source(stream, G_IO_IN, nullptr);
  // At libsoup's own priority, so that it runs right after libsoup read (a watch above it would
  // find the data still unread and starve it).
  g_source_set_priority(watch, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      watch, G_SOURCE_FUNC(+[](GSocket*, GIOCondition, gpointer data) -> gboolean {
        auto* w = static_cast<Watch*>(data);
        return guardCallback<bool>("a page's input",
                                   [w] { return w->stage->checkIncoming(w->socket); })
                   ? G_SOURCE_CONTINUE
                   : G_SOURCE_REMOVE;
      }),
      std::make_unique<Watch>(Watch{this, socket}).release(),
      [](gpointer data) { const std::unique_ptr<Watch> dropped(static_cast<Watch*>(data)); });
  page.inputWatch = SourceId(g_source_attach(watch, nullptr));
  g_source_unref(watch);
  page.signals.push_back(connectSignal<void(SoupWebsocketConnection*, gint, GBytes*)>(
      socket, "message", [this](SoupWebsocketConnection* s, gint type, GBytes* bytes) {
        if (auto found = pages_.find(s); found != pages_.end())
          if (auto now = traffic(found->second.stream.get())) found->second.readMark = now->read;
        if (type != SOUP_WEBSOCKET_DATA_TEXT) return;
        gsize size = 0;
        auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        received(std::string(data, size));
      }));
  page.signals.push_back(connectSignal<void(SoupWebsocketConnection*)>(
      socket, "closed", [this](SoupWebsocketConnection* s) { closed(s); }));
}

void BrowserStage::closed(SoupWebsocketConnection* socket) {
  auto found = pages_.find(socket);
  if (found == pages_.end()) return;
  {
    // Its watch and handlers end first, then the connection and socket are let go.
    const Page page = std::move(found->second);
    pages_.erase(found);
  }
  // What a page left behind (libsoup's queue for it, a large message) is freed now: hand it back
  // to the system rather than keep it for a peak that may not come again.
  ::malloc_trim(0);
  if (pages_.empty()) stage_.pageGone();
}

void BrowserStage::received(const std::string& text) {
  auto message = json::parseObject(text);
  if (!message) return;
  try {
    stage_.receive(*message);
  } catch (const std::exception& e) {
    log::line(std::string("Talvane: page command failed: ") + e.what());
  }
}

void BrowserStage::onRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                             gpointer self) {
  guardCallback("a page request", [&] { static_cast<BrowserStage*>(self)->serve(msg, path); });
}

void BrowserStage::onEarly(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                           gpointer self) {
  guardCallback("a request's early check",
                [&] { static_cast<BrowserStage*>(self)->early(msg, path); });
}

void BrowserStage::onSocket(SoupServer*, SoupServerMessage* msg, const char*,
                            SoupWebsocketConnection* socket, gpointer self) {
  guardCallback("a page's socket", [&] { static_cast<BrowserStage*>(self)->opened(msg, socket); });
}

}  // namespace talvane
