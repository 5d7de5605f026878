#pragma once
// The panel served to browsers: HTTP on 127.0.0.1 and a WebSocket at /ws carrying the same page
// messages both ways. An "allow" sent here runs commands on the user's machine, so the socket
// must carry the start token in its query and come from our own origin, and every request must
// name our own host and port; anything else gets 403. The page's files are no secret and need
// no token. No cookie is ever set: cookies ignore ports and would reach every local server.

#include <glib.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "notch/web_stage.h"

typedef struct _SoupServer SoupServer;
typedef struct _SoupServerMessage SoupServerMessage;
typedef struct _SoupWebsocketConnection SoupWebsocketConnection;

namespace talvane {

class BrowserStage final : public PageHost {
 public:
  static constexpr std::uint16_t kDefaultPort = 47613;
  static constexpr std::uint64_t kMaxMessageBytes = 64ull << 20;

  // Answers 204 when the query's token is right, else 403.
  static constexpr const char* kCheckPath = "/check";

  // `token` empty: a random one is made.
  explicit BrowserStage(WebStage& stage, std::string token = "");
  ~BrowserStage() override;
  BrowserStage(const BrowserStage&) = delete;
  BrowserStage& operator=(const BrowserStage&) = delete;

  // Listens on 127.0.0.1:`port`; with `fallback`, a busy port falls back to any free one.
  // Port 0 takes any free port. Empty on success, else why.
  std::optional<std::string> start(std::uint16_t port, bool fallback = true);
  void stop();

  // The token kept at `path` (mode 0600), or a new one written there: a bookmarked address
  // keeps working after a restart.
  static std::string keptToken(const std::string& path = tokenPath());
  static std::string tokenPath();

  std::uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }
  // The address to open: http://127.0.0.1:PORT/?token=…
  std::string url() const;
  std::size_t pageCount() const { return sockets_.size(); }

  // PageHost
  void load(const PageSource& source) override;
  void deliver(const std::string& message) override;

 private:
  bool allowedHost(SoupServerMessage* msg) const;
  bool hasToken(SoupServerMessage* msg) const;
  bool checkToken(std::string_view offered) const;
  bool allowed(SoupServerMessage* msg, bool needsToken) const;
  void serve(SoupServerMessage* msg, const char* path);
  void early(SoupServerMessage* msg, const char* path);
  void opened(SoupWebsocketConnection* socket);
  void closed(SoupWebsocketConnection* socket);
  void received(const std::string& text);

  static void onRequest(SoupServer*, SoupServerMessage*, const char*, GHashTable*, gpointer);
  static void onEarly(SoupServer*, SoupServerMessage*, const char*, GHashTable*, gpointer);
  static void onSocket(SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection*,
                       gpointer);

  WebStage& stage_;
  std::string token_;
  SoupServer* server_ = nullptr;
  std::uint16_t port_ = 0;
  PageSource source_;
  std::set<SoupWebsocketConnection*> sockets_;
};

}  // namespace talvane
