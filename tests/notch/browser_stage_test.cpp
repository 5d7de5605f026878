#include "notch/browser_stage.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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

  testing::TestHome home;
  WebStage stage;
  BrowserStage browser{stage, "secret-token"};
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
  b.send(Json{{"type", "reply"}, {"id", "s:1"}, {"text", big}}.dump());
  ASSERT_TRUE(testing::runUntil([&] { return commands.size() >= 2; }));
  EXPECT_EQ(commands[1]["text"].get<std::string>().size(), big.size());

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
