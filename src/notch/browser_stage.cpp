#include "notch/browser_stage.h"

#include <libsoup/soup.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cstring>

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

BrowserStage::BrowserStage(WebStage& stage, std::string token)
    : stage_(stage), token_(token.empty() ? randomToken() : std::move(token)) {}

BrowserStage::~BrowserStage() { stop(); }

std::optional<std::string> BrowserStage::start(std::uint16_t port, bool fallback) {
  stop();
  server_ = soup_server_new("server-header", "Talvane", nullptr);
  // Handlers are kept per path, so the socket's path needs its own early check.
  soup_server_add_early_handler(server_, nullptr, &BrowserStage::onEarly, this, nullptr);
  soup_server_add_early_handler(server_, "/ws", &BrowserStage::onEarly, this, nullptr);
  soup_server_add_websocket_handler(server_, "/ws", nullptr, nullptr, &BrowserStage::onSocket, this,
                                    nullptr);
  soup_server_add_handler(server_, nullptr, &BrowserStage::onRequest, this, nullptr);
  GError* error = nullptr;
  auto listen = [&](guint p) {
    g_clear_error(&error);
    return soup_server_listen_local(server_, p, SOUP_SERVER_LISTEN_IPV4_ONLY, &error);
  };
  bool ok = listen(port);
  if (!ok && fallback && port != 0) ok = listen(0);
  if (!ok) {
    std::string why = error ? error->message : "cannot listen";
    g_clear_error(&error);
    stop();
    return why;
  }
  GSList* uris = soup_server_get_uris(server_);
  if (uris) port_ = static_cast<std::uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  return std::nullopt;
}

void BrowserStage::stop() {
  for (auto* socket : std::set<SoupWebsocketConnection*>(sockets_)) {
    g_signal_handlers_disconnect_by_data(socket, this);
    if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
    g_object_unref(socket);
  }
  sockets_.clear();
  if (server_) {
    soup_server_disconnect(server_);
    g_object_unref(server_);
    server_ = nullptr;
  }
}

std::string BrowserStage::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" +
         (source_.route.empty() ? "?" : source_.route + "&") + "token=" + token_;
}

void BrowserStage::load(const PageSource& source) {
  source_ = source;
  // Open pages reload themselves from the new source.
  for (auto* socket : sockets_) soup_websocket_connection_send_text(socket, R"({"type":"reload"})");
}

void BrowserStage::deliver(const std::string& message) {
  for (auto* socket : sockets_) {
    if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_send_text(socket, message.c_str());
  }
}

bool BrowserStage::allowedHost(SoupServerMessage* msg) const {
  const char* host =
      soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Host");
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

void BrowserStage::opened(SoupWebsocketConnection* socket) {
  soup_websocket_connection_set_max_incoming_payload_size(socket, kMaxMessageBytes);
  soup_websocket_connection_set_keepalive_interval(socket, 20);
  g_object_ref(socket);
  sockets_.insert(socket);
  g_signal_connect(
      socket, "message",
      G_CALLBACK(+[](SoupWebsocketConnection*, gint type, GBytes* bytes, gpointer self) {
        if (type != SOUP_WEBSOCKET_DATA_TEXT) return;
        gsize size = 0;
        auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        static_cast<BrowserStage*>(self)->received(std::string(data, size));
      }),
      this);
  g_signal_connect(socket, "closed", G_CALLBACK(+[](SoupWebsocketConnection* s, gpointer self) {
                     static_cast<BrowserStage*>(self)->closed(s);
                   }),
                   this);
}

void BrowserStage::closed(SoupWebsocketConnection* socket) {
  if (!sockets_.erase(socket)) return;
  g_signal_handlers_disconnect_by_data(socket, this);
  g_object_unref(socket);
  if (sockets_.empty()) stage_.pageGone();
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
  static_cast<BrowserStage*>(self)->serve(msg, path);
}

void BrowserStage::onEarly(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                           gpointer self) {
  static_cast<BrowserStage*>(self)->early(msg, path);
}

void BrowserStage::onSocket(SoupServer*, SoupServerMessage*, const char*,
                            SoupWebsocketConnection* socket, gpointer self) {
  static_cast<BrowserStage*>(self)->opened(socket);
}

}  // namespace talvane
