#pragma once
// The panel served to browsers: HTTP on 127.0.0.1 and a WebSocket at /ws carrying the same page
// messages both ways. An "allow" sent here runs commands on the user's machine, so the socket
// must carry the start token in its query and come from our own origin, and every request must
// name our own host and port; anything else gets 403. The page's files are no secret and need
// no token. No cookie is ever set: cookies ignore ports and would reach every local server.

#include <glib-object.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notch/web_stage.h"
#include "platform/event_loop.h"
#include "platform/gobject.h"
#include "platform/signal_connection.h"

typedef struct _SoupServer SoupServer;
typedef struct _SoupServerMessage SoupServerMessage;
typedef struct _SoupWebsocketConnection SoupWebsocketConnection;
typedef struct _GSocket GSocket;

namespace talvane {

// What one peer may hold of ours. No token is needed to connect, so without these anyone on the
// machine could hold every descriptor, or make a page's messages pile up in memory.
struct BrowserLimits {
  std::size_t perClient = 32;  // connections from one address, pages included
  std::size_t total = 128;
  double idleTimeout = 30;     // a connection with no request, or still sending its headers
  double requestTimeout = 30;  // a request whose body or response is still not through
  // A page with this much written for it and not yet taken by the system is behind: from then
  // on it is kept only the newest state (and at most heldBytes of other messages), and one that
  // stays behind for behindTimeout is dropped.
  std::size_t behindBytes = 1 << 20;
  std::size_t heldBytes = 1 << 20;
  double behindTimeout = 15;
};

class BrowserStage final : public PageHost {
 public:
  using Limits = BrowserLimits;

  static constexpr std::uint16_t kDefaultPort = 47613;
  // Page commands are small. Counted over all fragments of a message: a connection that sends
  // more without finishing one is closed.
  static constexpr std::uint64_t kMaxMessageBytes = 1ull << 20;

  // Answers 204 when the query's token is right, else 403.
  static constexpr const char* kCheckPath = "/check";

  // `token` empty: a random one is made. `loop` runs the timeouts (the process's GLib loop when
  // none is given).
  explicit BrowserStage(WebStage& stage, std::string token = "", EventLoop* loop = nullptr,
                        Limits limits = {});
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
  std::size_t pageCount() const { return pages_.size(); }
  // HTTP connections open now, pages included.
  std::size_t connectionCount() const { return connections_.size(); }
  // Bytes written for pages and not yet taken by the system, and held back for pages behind.
  std::size_t backlogBytes() const;
  std::size_t heldBytes() const;

  // PageHost
  void load(const PageSource& source) override;
  void deliver(const std::string& message) override;
  void deliverState(const std::string& message) override;

 private:
  enum class Phase { kWaiting, kResponding, kPage };
  struct Connection {
    std::string client;
    Phase phase = Phase::kWaiting;
    Date since = 0;
  };
  struct Held {
    std::string text;
    bool state = false;
  };
  // Owns its connection and socket; its watch and signal handlers end before them.
  struct Page {
    GObjectPtr<SoupWebsocketConnection> socket;
    GObjectPtr<GSocket> stream;
    std::uint64_t handed = 0;    // frame bytes given to the socket
    std::uint64_t sentBase = 0;  // the system's count when the page opened
    std::uint64_t readMark = 0;  // bytes read by the end of the last whole message
    std::deque<Held> held;
    std::size_t heldBytes = 0;
    std::optional<Date> behindSince;
    SourceId inputWatch;
    std::vector<SignalConnection> signals;
  };

  void send(Page& page, const std::string& text, bool state);
  void hold(Page& page, const std::string& text, bool state);
  std::uint64_t backlog(const Page& page) const;
  void catchUp();
  void drop(SoupWebsocketConnection* socket, const char* why);
  bool checkIncoming(SoupWebsocketConnection* socket);
  void started(SoupServerMessage* msg);
  void read(SoupServerMessage* msg);
  void finished(SoupServerMessage* msg);
  void admit(GSocket* socket, const std::string& client);
  void cut(GSocket* socket);
  void sweep();
  void forget(GSocket* socket);
  GSocket* socketOf(SoupServerMessage* msg) const;
  bool allowedHost(SoupServerMessage* msg) const;
  bool hasToken(SoupServerMessage* msg) const;
  bool checkToken(std::string_view offered) const;
  bool allowed(SoupServerMessage* msg, bool needsToken) const;
  void serve(SoupServerMessage* msg, const char* path);
  void early(SoupServerMessage* msg, const char* path);
  void opened(SoupServerMessage* msg, SoupWebsocketConnection* socket);
  void closed(SoupWebsocketConnection* socket);
  void received(const std::string& text);

  static void onRequest(SoupServer*, SoupServerMessage*, const char*, GHashTable*, gpointer);
  static void onEarly(SoupServer*, SoupServerMessage*, const char*, GHashTable*, gpointer);
  static void onSocket(SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection*,
                       gpointer);
  static void onGone(gpointer self, GObject* socket);

  WebStage& stage_;
  std::string token_;
  std::unique_ptr<EventLoop> ownLoop_;
  EventLoop& loop_;
  Limits limits_;
  GObjectPtr<SoupServer> server_;
  std::vector<SignalConnection> serverSignals_;
  std::uint16_t port_ = 0;
  PageSource source_;
  std::map<SoupWebsocketConnection*, Page> pages_;
  // Keyed by the connection's socket, which lives as long as the connection (a page's too).
  std::map<GSocket*, Connection> connections_;
  std::map<SoupServerMessage*, GSocket*> requests_;
  TimerHandle sweeping_;
  TimerHandle catchingUp_;
};

}  // namespace talvane
