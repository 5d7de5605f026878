#include "notch/browser_stage.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

// One raw HTTP exchange on a helper thread while the main loop serves it.
std::string roundTrip(std::uint16_t port, const std::string& request) {
  std::string response;
  std::atomic<bool> done{false};
  std::thread client([&] {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      char buf[65536];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, size_t(n));
    }
    ::close(fd);
    done = true;
  });
  EXPECT_TRUE(testing::runUntil([&] { return done.load(); }, 10));
  client.join();
  return response;
}

std::string get(std::uint16_t port, const std::string& target, const std::string& headers) {
  return roundTrip(port, "GET " + target + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
}

int status(const std::string& response) {
  return response.size() > 12 ? std::stoi(response.substr(9, 3)) : 0;
}

class BrowserStageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.write("page/index.html", "<title>panel</title>");
    home.write("page/app.JS", "1");
    setenv("TALVANE_WEB_DIR", (home.path() + "/page").c_str(), 1);
    stage.setHost(&browser);
    ASSERT_FALSE(browser.start(0));
    stage.load();
    host = "Host: 127.0.0.1:" + std::to_string(browser.port()) + "\r\n";
  }
  void TearDown() override { unsetenv("TALVANE_WEB_DIR"); }

  static BrowserStage::Limits limits() {
    BrowserStage::Limits l;
    l.perClient = 4;
    l.total = 6;
    l.behindBytes = 64 << 10;
    l.heldBytes = 256 << 10;
    return l;
  }

  testing::TestHome home;
  ManualLoop loop;
  WebStage stage;
  BrowserStage browser{stage, "secret-token", &loop, limits()};
  std::string host;
};

TEST_F(BrowserStageTest, ThePagesFilesNeedNoTokenAndNoCookieIsEverSet) {
  EXPECT_EQ(browser.url(),
            "http://127.0.0.1:" + std::to_string(browser.port()) + "/?token=secret-token");
  for (const std::string target : {"/", "/?token=secret-token", "/?onboard&token=secret-token"}) {
    auto r = get(browser.port(), target, host);
    EXPECT_EQ(status(r), 200) << target;
    EXPECT_NE(r.find("<title>panel</title>"), std::string::npos);
    EXPECT_EQ(r.find("Set-Cookie"), std::string::npos);
    EXPECT_NE(r.find("Referrer-Policy: no-referrer"), std::string::npos);
  }
  auto js = get(browser.port(), "/app.JS", host);
  EXPECT_EQ(status(js), 200);
  EXPECT_NE(js.find("Content-Type: text/javascript; charset=utf-8"), std::string::npos);
  auto localhost =
      get(browser.port(), "/", "Host: localhost:" + std::to_string(browser.port()) + "\r\n");
  EXPECT_EQ(status(localhost), 200);
  EXPECT_EQ(status(get(browser.port(), "/missing.css", host)), 404);
}

TEST_F(BrowserStageTest, TheTokenCheckTakesOnlyTheWholeToken) {
  struct Case {
    std::string query;
    int status;
  };
  for (const Case& c : std::vector<Case>{
           {"", 403},
           {"?token=", 403},
           {"?token", 403},
           {"?token=secret", 403},         // a prefix
           {"?token=secret-token0", 403},  // longer
           {"?token=secret-tokem", 403},   // one character off
           {"?token=SECRET-TOKEN", 403},
           {"?onboard&token=secret-token", 204},  // the route the app builds for onboarding
           {"?token=secret%2Dtoken", 204},        // escaped, as a browser may send it
           {"?a=1&token=secret-token&b", 204},
       }) {
    EXPECT_EQ(status(get(browser.port(), "/check" + c.query, host)), c.status) << c.query;
  }
}

TEST(BrowserStageToken, AnEmptyTokenIsNeverAcceptedAndAKeptOneIsPrivate) {
  testing::TestHome home;
  const std::string path = home.path() + "/.config/talvane/panel-token";
  const std::string first = BrowserStage::keptToken(path);
  EXPECT_EQ(first.size(), 48u);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(BrowserStage::keptToken(path), first) << "survives a restart";
  ::chmod(path.c_str(), 0644);
  EXPECT_NE(BrowserStage::keptToken(path), first) << "a readable token is replaced";
  home.write(".config/talvane/panel-token", "\n");
  ::chmod(path.c_str(), 0600);
  EXPECT_EQ(BrowserStage::keptToken(path).size(), 48u) << "an empty file is no token";
}

TEST_F(BrowserStageTest, EverythingElseIsForbiddenWithNothingServed) {
  const std::string port = std::to_string(browser.port());
  for (const auto& [target, headers] : std::vector<std::pair<std::string, std::string>>{
           {"/", "Host: evil.example:" + port + "\r\n"},  // DNS rebinding
           {"/", "Host: 127.0.0.1:1\r\n"},                // other port
           {"/", host + "Origin: http://evil.example\r\n"},
           // Two Host headers: whichever one a check reads, the request is refused.
           {"/", "Host: evil.example:" + port + "\r\n" + host},
           {"/", host + "Host: evil.example:" + port + "\r\n"},
           {"/", host + host},
           {"/", host + "Origin: http://evil.example\r\nOrigin: http://127.0.0.1:" + port + "\r\n"},
       }) {
    auto r = get(browser.port(), target, headers);
    EXPECT_EQ(status(r), 403) << target << " " << headers;
    EXPECT_EQ(r.find("panel"), std::string::npos);
  }
  // HTTP/1.0 without a Host header at all.
  {
    auto r = roundTrip(browser.port(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(status(r), 403);
    EXPECT_EQ(r.find("panel"), std::string::npos);
  }
}

// A WebSocket client on the main loop, as a browser tab would be.
struct Tab {
  SoupSession* session = soup_session_new();
  SoupWebsocketConnection* socket = nullptr;
  GError* error = nullptr;
  bool finished = false;
  std::vector<std::string> received;

  Tab(std::uint16_t port, const std::string& origin, const std::string& query) {
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/ws" + query;
    SoupMessage* msg = soup_message_new("GET", url.c_str());
    soup_session_websocket_connect_async(
        session, msg, origin.empty() ? nullptr : origin.c_str(), nullptr, G_PRIORITY_DEFAULT,
        nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          auto* tab = static_cast<Tab*>(data);
          tab->socket =
              soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &tab->error);
          if (tab->socket) {
            soup_websocket_connection_set_max_incoming_payload_size(tab->socket, 64 << 20);
            g_signal_connect(tab->socket, "message",
                             G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* b, gpointer d) {
                               gsize n = 0;
                               auto* p = static_cast<const char*>(g_bytes_get_data(b, &n));
                               static_cast<Tab*>(d)->received.emplace_back(p, n);
                             }),
                             tab);
          }
          tab->finished = true;
        },
        this);
    g_object_unref(msg);
    EXPECT_TRUE(testing::runUntil([&] { return finished; }, 10));
  }
  ~Tab() {
    if (socket) {
      g_signal_handlers_disconnect_by_data(socket, this);
      soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
      testing::runUntil(
          [&] {
            return soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_CLOSED;
          },
          5);
      g_object_unref(socket);
    }
    g_clear_error(&error);
    g_object_unref(session);
  }
  void send(const std::string& text) { soup_websocket_connection_send_text(socket, text.c_str()); }
};

// A refused client that asked to keep its connection must not keep a descriptor of ours.
TEST_F(BrowserStageTest, ARefusedKeepAliveConnectionIsClosedByUs) {
  std::atomic<bool> done{false};
  bool closedByUs = false;
  std::string response;
  std::thread client([&] {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval wait{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(browser.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      const std::string request = "GET /ws?token=wrong HTTP/1.1\r\n" + host + "\r\n";
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, size_t(n));
      closedByUs = n == 0;
    }
    ::close(fd);
    done = true;
  });
  EXPECT_TRUE(testing::runUntil([&] { return done.load(); }, 10));
  client.join();
  EXPECT_EQ(status(response), 403);
  EXPECT_TRUE(closedByUs);
}

TEST_F(BrowserStageTest, SocketsNeedOurOriginAndTheWholeToken) {
  const std::string origin = "http://127.0.0.1:" + std::to_string(browser.port());
  struct Case {
    std::string origin, query;
    bool opens;
  };
  for (const Case& c : std::vector<Case>{
           {"http://evil.example", "?token=secret-token", false},
           {"", "?token=secret-token", false},
           {origin, "", false},
           {origin, "?token=", false},
           {origin, "?token=secret", false},
           {origin, "?token=secret-token-and-more", false},
           {origin, "?onboard&token=secret-token", true},
       }) {
    Tab tab(browser.port(), c.origin, c.query);
    EXPECT_EQ(tab.socket != nullptr, c.opens) << c.origin << " " << c.query;
  }
  Tab good(browser.port(), origin, "?token=secret-token");
  EXPECT_NE(good.socket, nullptr);
  EXPECT_EQ(browser.pageCount(), 1u);
}

TEST_F(BrowserStageTest, MessagesCrossBothWaysToEveryTabAndLargeOnesSurvive) {
  const std::string origin = "http://localhost:" + std::to_string(browser.port());
  std::vector<Json> commands;
  stage.onMessage = [&](const Json& m) {
    commands.push_back(m);
    if (m["type"] == "ready") stage.send("state", {{"open", false}});
  };
  stage.send("usage", {{"today", 1.5}});  // queued: nobody is ready yet
  Tab a(browser.port(), origin, "?token=secret-token");
  Tab b(browser.port(), origin, "?token=secret-token");
  ASSERT_TRUE(a.socket && b.socket);
  a.send(R"({"type":"ready"})");
  ASSERT_TRUE(testing::runUntil([&] { return a.received.size() >= 2 && b.received.size() >= 2; }));
  EXPECT_EQ(Json::parse(a.received[0])["type"], "state");
  EXPECT_EQ(Json::parse(b.received[1])["type"], "usage");

  const std::string big(1 << 20, 'x');
  const std::string command(900 << 10, 'y');  // page commands stay under 1 MiB
  b.send(Json{{"type", "reply"}, {"id", "s:1"}, {"text", command}}.dump());
  ASSERT_TRUE(testing::runUntil([&] { return commands.size() >= 2; }));
  EXPECT_EQ(commands[1]["text"].get<std::string>().size(), command.size());

  stage.send("talk", {{"state", "done"}, {"text", big}});
  ASSERT_TRUE(testing::runUntil([&] { return a.received.size() >= 3; }));
  EXPECT_EQ(Json::parse(a.received[2])["text"].get<std::string>().size(), big.size());
}

TEST_F(BrowserStageTest, WhenTheLastTabClosesMessagesQueueAgain) {
  const std::string origin = "http://127.0.0.1:" + std::to_string(browser.port());
  {
    Tab a(browser.port(), origin, "?token=secret-token");
    a.send(R"({"type":"ready"})");
    ASSERT_TRUE(testing::runUntil([&] { return stage.isReady(); }));
  }
  ASSERT_TRUE(testing::runUntil([&] { return browser.pageCount() == 0; }));
  EXPECT_FALSE(stage.isReady());
  stage.send("keys", {{"on", true}});
  EXPECT_EQ(stage.queuedCount(), 1u);
}

// A raw peer on the main thread: a browser tab that does only what a test tells it to, down to
// the frames it sends and whether it reads at all.
class RawPeer {
 public:
  RawPeer(std::uint16_t port, const char* source = "127.0.0.1", int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~RawPeer() { ::close(fd_); }
  bool connected() const { return connected_; }

  // Sends all of `data`, serving the loop while the socket is full; false once we were cut off.
  bool send(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) {
        data.remove_prefix(size_t(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
      } else {
        return false;
      }
    }
    return true;
  }
  void upgrade(std::uint16_t port) {
    const std::string p = std::to_string(port);
    send("GET /ws?token=secret-token HTTP/1.1\r\nHost: 127.0.0.1:" + p +
         "\r\nOrigin: http://127.0.0.1:" + p +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  }
  // One client frame (masked with a zero key, which leaves the payload as it is).
  bool frame(int opcode, bool fin, std::string_view payload) {
    std::string f;
    f.push_back(char((fin ? 0x80 : 0) | opcode));
    if (payload.size() < 126) {
      f.push_back(char(0x80 | payload.size()));
    } else if (payload.size() < 65536) {
      f.push_back(char(0x80 | 126));
      f.push_back(char(payload.size() >> 8));
      f.push_back(char(payload.size() & 0xff));
    } else {
      f.push_back(char(0x80 | 127));
      for (int shift = 56; shift >= 0; shift -= 8)
        f.push_back(char((payload.size() >> shift) & 0xff));
    }
    f.append(4, '\0');
    return send(f) && send(payload);
  }
  // Reads what has arrived; true once the server closed its end.
  bool ended() {
    char chunk[65536];
    while (true) {
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0)
        in_.append(chunk, size_t(n));
      else
        return n == 0 || (errno != EAGAIN && errno != EINTR);
    }
  }
  // The text messages received so far (after the handshake's response).
  std::vector<std::string> texts() {
    ended();
    std::vector<std::string> out;
    size_t at = in_.find("\r\n\r\n");
    if (at == std::string::npos) return out;
    at += 4;
    while (at + 2 <= in_.size()) {
      const int opcode = in_[at] & 0x0f;
      uint64_t size = uint8_t(in_[at + 1]) & 0x7f;
      size_t head = 2;
      if (size == 126 || size == 127) {
        const size_t bytes = size == 126 ? 2 : 8;
        if (at + 2 + bytes > in_.size()) break;
        size = 0;
        for (size_t i = 0; i < bytes; ++i) size = size << 8 | uint8_t(in_[at + 2 + i]);
        head += bytes;
      }
      if (at + head + size > in_.size()) break;
      if (opcode == 1) out.emplace_back(in_.substr(at + head, size));
      at += head + size;
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string in_;
};

// A page that stops reading keeps us holding no more than the newest state; it gets that state
// once it reads again, and one that stays behind is dropped.
TEST_F(BrowserStageTest, APageThatStopsReadingIsKeptOnlyTheNewestStateAndThenDropped) {
  for (bool readsAgain : {false, true}) {
    SCOPED_TRACE(readsAgain ? "reads again" : "stays behind");
    RawPeer peer(browser.port(), "127.0.0.1", 4096);
    peer.upgrade(browser.port());
    ASSERT_TRUE(testing::runUntil([&] { return browser.pageCount() == 1; }));
    std::string last;
    for (int i = 0; i < 300; ++i) {  // 30 MB of states: far more than the system buffers
      last = Json{{"type", "state"}, {"n", i}, {"pad", std::string(100 << 10, 'x')}}.dump();
      browser.deliverState(last);
      for (int spin = 0; spin < 4; ++spin) g_main_context_iteration(nullptr, FALSE);
      ASSERT_LE(browser.backlogBytes(), size_t(64 << 10) + 2 * last.size()) << i;
      ASSERT_LE(browser.heldBytes(), last.size());
    }
    ASSERT_EQ(browser.pageCount(), 1u);
    if (readsAgain) {
      std::vector<std::string> texts;
      ASSERT_TRUE(testing::runUntil([&] {
        loop.advance(0.1);
        texts = peer.texts();
        return !texts.empty() && texts.back() == last;
      }));
      EXPECT_LT(texts.size(), 100u) << "states it could not take were skipped";
      EXPECT_EQ(browser.pageCount(), 1u);
    } else {
      loop.advance(BrowserStage::Limits{}.behindTimeout + 1);
      EXPECT_EQ(browser.pageCount(), 0u);
      EXPECT_EQ(browser.heldBytes(), 0u);
    }
  }
}

// Page commands are small: a message past 1 MiB closes the page, whether it comes as one frame
// or as many fragments, and reaches nobody.
TEST_F(BrowserStageTest, AMessagePastTheCapClosesThePageInOneFrameOrInFragments) {
  std::vector<Json> commands;
  stage.onMessage = [&](const Json& m) { commands.push_back(m); };
  struct Case {
    const char* name;
    size_t fragment, total;
    bool passes;
  };
  for (const Case& c : std::vector<Case>{
           {"one large frame", 1536 << 10, 1536 << 10, false},
           {"many fragments", 64 << 10, 8 << 20, false},
           {"fragments under the cap", 64 << 10, 512 << 10, true},
       }) {
    SCOPED_TRACE(c.name);
    commands.clear();
    RawPeer peer(browser.port());
    peer.upgrade(browser.port());
    ASSERT_TRUE(testing::runUntil([&] { return browser.pageCount() == 1; }));
    const std::string text =
        Json{{"type", "reply"}, {"text", std::string(c.total - 30, 'x')}}.dump();
    bool cutOff = false;
    for (size_t at = 0; at < text.size() && !cutOff; at += c.fragment) {
      const bool last = at + c.fragment >= text.size();
      cutOff = !peer.frame(at == 0 ? 1 : 0, last, std::string_view(text).substr(at, c.fragment));
    }
    if (c.passes) {
      ASSERT_TRUE(testing::runUntil([&] { return commands.size() == 1; }));
      EXPECT_EQ(browser.pageCount(), 1u);
    } else {
      ASSERT_TRUE(testing::runUntil([&] { return browser.pageCount() == 0 && peer.ended(); }));
      EXPECT_TRUE(commands.empty());
    }
  }
}

// Without a token anyone on the machine can connect: connections past the limits make the
// longest-idle one of that client (or of all) give way, and idle or slow ones time out.
TEST_F(BrowserStageTest, IdleAndSlowConnectionsAreBoundedAndTimeOut) {
  std::vector<std::unique_ptr<RawPeer>> idle;
  for (int i = 0; i < 10; ++i) {
    idle.push_back(std::make_unique<RawPeer>(browser.port()));
    testing::spin(0.01);
  }
  idle.push_back(std::make_unique<RawPeer>(browser.port(), "127.0.0.2"));
  testing::spin(0.05);
  EXPECT_LE(browser.connectionCount(), 6u);
  int cut = 0;
  for (auto& p : idle) cut += p->ended();
  EXPECT_GE(cut, 5) << "the oldest gave way";

  // A client sending its headers a byte at a time is as idle as one sending nothing.
  RawPeer slow(browser.port(), "127.0.0.3");
  slow.send("GET / HT");
  testing::spin(0.05);
  EXPECT_FALSE(slow.ended());
  // Still served: the newest client takes the place of an idle one.
  EXPECT_EQ(status(get(browser.port(), "/", host)), 200);

  loop.advance(BrowserStage::Limits{}.idleTimeout + 2);
  ASSERT_TRUE(testing::runUntil([&] { return slow.ended() && browser.connectionCount() == 0; }));
  for (auto& p : idle) EXPECT_TRUE(p->ended());
}

TEST(BrowserStagePorts, ABusyPortFallsBackToAFreeOne) {
  WebStage stage;
  BrowserStage first(stage), second(stage);
  ASSERT_FALSE(first.start(0));
  EXPECT_TRUE(second.start(first.port(), /*fallback=*/false));
  ASSERT_FALSE(second.start(first.port()));
  EXPECT_NE(second.port(), first.port());
  EXPECT_EQ(first.token().size(), 48u);
  EXPECT_NE(first.token(), second.token());
}

}  // namespace
}  // namespace talvane
