#include "bridge/bridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge_fakes.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/json.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::Client;
using testing::FakeRouter;
using testing::runUntil;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { startBridge(); }

  void startBridge(std::size_t maxBuffered = Bridge::kMaxBuffered) {
    bridge.reset();
    bridge = std::make_unique<Bridge>(router, maxBuffered);
    bridge->start();
    ASSERT_TRUE(bridge->listening());
  }

  // Waits for the Bridge to take the client's bytes off the socket; it routes what it can in
  // the same pass.
  void settle(Client& client) {
    ASSERT_TRUE(runUntil([&] { return client.delivered(); }));
  }

  void keepEvery(const std::string& id) {
    router.behaviour = [id](FakeRouter::Call&) { return std::optional<std::string>(id); };
  }

  testing::TestHome home;
  FakeRouter router;
  std::unique_ptr<Bridge> bridge;
};

TEST_F(BridgeTest, LinesAreCutAcrossAndWithinReads) {
  Client client;
  ASSERT_TRUE(client.connected());
  client.send("{\"n\":1}\n{\"n\":2}\n{\"n\":");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 2; }));
  EXPECT_EQ(router.calls[0].message["n"], 1);
  EXPECT_EQ(router.calls[1].message["n"], 2);

  // The rest of the third message comes in pieces; it is routed once, when its line feed lands.
  client.send("3, \"text\":\"a");
  settle(client);
  client.send("b\"}");
  settle(client);
  EXPECT_EQ(router.calls.size(), 2u);
  client.send("\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 3; }));
  EXPECT_EQ(router.calls[2].message, Json::parse(R"({"n":3,"text":"ab"})"));
}

TEST_F(BridgeTest, TrailingPartialLineIsDiscardedWhenTheConnectionEnds) {
  Client client;
  client.send("{\"n\":1}\n{\"n\":2");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 1; }));
  client.close();
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
  EXPECT_EQ(router.calls.size(), 1u);
  EXPECT_TRUE(router.gone.empty());
}

TEST_F(BridgeTest, LinesThatAreNotObjectsAreDroppedAndLaterLinesStillRoute) {
  Client client;
  client.send("\n\r\nnot json\n[1,2]\n\"text\"\n{\"broken\":\n{\"n\":1}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 1; }));
  settle(client);
  EXPECT_EQ(router.calls.size(), 1u);
  EXPECT_EQ(router.calls[0].message["n"], 1);
  EXPECT_FALSE(client.ended());
  EXPECT_EQ(bridge->openConnections(), 1u);
}

TEST_F(BridgeTest, EachAgentFamilyReachesItsEntryPoint) {
  struct Case {
    const char* line;
    const char* family;
  } cases[] = {
      {R"({"_agent":"claude"})", "claude"},  {R"({"hook_event_name":"Stop"})", "claude"},
      {R"({"_agent":42})", "claude"},        {R"({"_agent":"cursor"})", "cursor"},
      {R"({"_agent":"gemini"})", "adapted"}, {R"({"_agent":"windsurf"})", "adapted"},
      {R"({"_agent":"Cursor"})", "adapted"}, {R"({"_agent":"something-new"})", "adapted"},
  };
  Client client;
  for (const auto& c : cases) client.send(std::string(c.line) + "\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == std::size(cases); }));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(router.calls[i].family, cases[i].family) << cases[i].line;
    EXPECT_EQ(router.calls[i].message, Json::parse(cases[i].line)) << "passed on as decoded";
  }
}

TEST_F(BridgeTest, StateQueryGetsThePrettySnapshotAndTheConnectionCloses) {
  router.state = Json::parse(R"({"sessions":[{"id":"claude:1","mood":"working"}],"n":2})");
  Client client;
  client.send("{\"_query\":\"state\"}\n");
  ASSERT_TRUE(runUntil([&] { return client.ended(); }));
  EXPECT_EQ(client.received(), json::pretty(router.state) + "\n");
  EXPECT_NE(client.received().find("\n  "), std::string::npos) << "pretty-printed";
  EXPECT_TRUE(router.calls.empty()) << "a query is not a hook event";
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
}

// The page's pushes are posted to the same loop; one queued before `talvane state` connected
// must not hold its answer back by a pass.
TEST_F(BridgeTest, StateQueryIsAnsweredAheadOfWorkAlreadyQueued) {
  Client client;
  client.send("{\"_query\":\"state\"}\n");
  GLibLoop loop;
  int snapshotsBeforePush = -1;
  loop.post([&] { snapshotsBeforePush = router.snapshots; });
  ASSERT_TRUE(runUntil([&] { return client.ended() && snapshotsBeforePush >= 0; }));
  EXPECT_EQ(snapshotsBeforePush, 1);
  EXPECT_EQ(client.received(), json::pretty(router.state) + "\n");
}

// Another part of the app holding every descriptor must not leave a relay (or `talvane state`)
// hanging: the Bridge keeps one spare for it.
TEST_F(BridgeTest, ARelayIsAnsweredWhenTheProcessIsOutOfDescriptors) {
  router.state = Json::parse(R"({"n":1})");
  Client client;  // waits in the listener's queue until the Bridge accepts it
  ASSERT_TRUE(client.connected());
  client.send("{\"_query\":\"state\"}\n");
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 2048);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  const int err = errno;
  const bool answered = runUntil([&] { return client.ended(); }, 3);
  for (int fd : filler) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_EQ(err, EMFILE);
  EXPECT_TRUE(answered);
  EXPECT_EQ(client.received(), json::pretty(router.state) + "\n");
}

TEST_F(BridgeTest, NamedQueriesReachTheirHandlerAndUnknownOnesGetAnEmptyLine) {
  bridge->onQuery("echo",
                  [](const Json& request) { return json::string(request, "text").value_or("?"); });
  for (auto [line, expected] : {std::pair{R"({"_query":"echo","text":"hi"})", "hi\n"},
                                std::pair{R"({"_query":"nobody"})", "\n"}}) {
    Client client;
    client.send(std::string(line) + "\n");
    ASSERT_TRUE(runUntil([&] { return client.ended(); }));
    EXPECT_EQ(client.received(), expected) << line;
  }
  EXPECT_TRUE(router.calls.empty()) << "a query is not a hook event";
}

TEST_F(BridgeTest, ALaterQueryKeepsItsConnectionUntilAnswered) {
  Reply held;
  bridge->onQueryLater("slow", [&held](const Json&, Reply reply) { held = std::move(reply); });
  Client client;
  client.send("{\"_query\":\"slow\"}\n");
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(held); }));
  testing::spin(0.05);
  EXPECT_FALSE(client.ended());
  held("done");
  ASSERT_TRUE(runUntil([&] { return client.ended(); }));
  EXPECT_EQ(client.received(), "done\n");
}

TEST_F(BridgeTest, AnswerLargerThanTheSocketBufferArrivesWhole) {
  router.state = Json::object();
  for (int i = 0; i < 10000; ++i)
    router.state["session" + std::to_string(i)] = std::string(200, 'x');
  Client client;
  client.send("{\"_query\":\"state\"}\n");
  ASSERT_TRUE(runUntil([&] { return client.ended(); }));
  const std::string expected = json::pretty(router.state) + "\n";
  ASSERT_GT(expected.size(), 2u << 20);
  EXPECT_EQ(client.received().size(), expected.size());
  EXPECT_TRUE(client.received() == expected);
}

TEST_F(BridgeTest, SynchronousAnswerIsSentAndNothingIsHeld) {
  router.behaviour = [](FakeRouter::Call& call) {
    call.reply(R"({"decision":"allow"})");
    return std::optional<std::string>("p1");
  };
  Client client;
  client.send("{\"hook_event_name\":\"PermissionRequest\"}\n");
  ASSERT_TRUE(runUntil([&] { return client.ended(); }));
  EXPECT_EQ(client.received(), "{\"decision\":\"allow\"}\n");
  EXPECT_EQ(bridge->heldConnections(), 0u);
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
  EXPECT_TRUE(router.gone.empty());
}

TEST_F(BridgeTest, LaterReplyIsTheFinalContentAndASecondCallChangesNothing) {
  keepEvery("p1");
  Client client;
  client.send("{\"hook_event_name\":\"PermissionRequest\"}\n");
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
  EXPECT_FALSE(client.ended());

  Reply reply = router.calls.at(0).reply;
  reply("first");
  reply("second");
  ASSERT_TRUE(runUntil([&] { return client.ended(); }));
  EXPECT_EQ(client.received(), "first\n");
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
  EXPECT_EQ(bridge->heldConnections(), 0u);
  EXPECT_TRUE(router.gone.empty()) << "a replied connection is not gone";
  reply("third");
}

TEST_F(BridgeTest, RelayLeavingWhileHeldWithdrawsTheRequestOnce) {
  keepEvery("p7");
  Client held, other;
  held.send("{\"hook_event_name\":\"PermissionRequest\"}\n");
  other.send("{\"hook_event_name\":\"PostToolUse\"}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 2; }));
  EXPECT_EQ(bridge->heldConnections(), 2u);
  held.close();
  ASSERT_TRUE(runUntil([&] { return !router.gone.empty(); }));
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
  EXPECT_EQ(router.gone, std::vector<std::string>{"p7"});

  // The Hub may still answer the departed relay: nothing happens, and nothing is withdrawn twice.
  router.calls.at(0).reply("late");
  EXPECT_EQ(router.gone, std::vector<std::string>{"p7"});
  EXPECT_FALSE(other.ended());
}

TEST_F(BridgeTest, AnsweringARelayThatHasGoneDoesNotRaiseSigpipe) {
  keepEvery("p1");
  Client client;
  client.send("{}\n");
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
  client.close();  // and the Bridge has not noticed yet: the send meets a closed peer
  struct sigaction previous {};
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &fallback, &previous);
  router.calls.at(0).reply(std::string(1 << 20, 'x'));
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
  EXPECT_TRUE(router.gone.empty());
}

TEST_F(BridgeTest, DestroyedBridgeClosesIdleConnectionsWhileHeldRepliesStillAnswer) {
  router.behaviour = [](FakeRouter::Call& call) -> std::optional<std::string> {
    if (call.message.contains("wait")) return "p1";
    return std::nullopt;
  };
  Client held, idle;
  held.send("{\"wait\":true}\n");
  idle.send("{}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 2; }));
  Reply reply =
      router.calls[0].message.contains("wait") ? router.calls[0].reply : router.calls[1].reply;
  router.calls.clear();  // the idle connection's reply function goes with it
  bridge.reset();
  ASSERT_TRUE(runUntil([&] { return idle.ended(); }));
  EXPECT_EQ(idle.received(), "");
  EXPECT_FALSE(held.ended());

  reply("");  // the empty answer is still a line
  ASSERT_TRUE(runUntil([&] { return held.ended(); }));
  EXPECT_EQ(held.received(), "\n");
  EXPECT_TRUE(router.gone.empty());
}

TEST_F(BridgeTest, ConnectionBufferingPastTheCapIsDropped) {
  startBridge(4096);
  keepEvery("p3");
  Client client;
  client.send("{\"hook_event_name\":\"PermissionRequest\"}\n");
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
  Client neighbour;
  neighbour.send("{\"n\":");

  ::testing::internal::CaptureStderr();
  client.send(std::string(3000, 'a'));
  settle(client);
  EXPECT_FALSE(client.ended()) << "under the cap";
  client.send(std::string(4096 - 3000, 'a'));
  settle(client);
  EXPECT_FALSE(client.ended()) << "exactly the cap";
  client.send("b");
  const bool closed = runUntil([&] { return client.ended(); });
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(closed);
  EXPECT_EQ(log,
            "Talvane: closed a hook connection that sent more than 4096 bytes without a "
            "line feed\n");
  EXPECT_EQ(client.received(), "");
  EXPECT_EQ(router.gone, std::vector<std::string>{"p3"});
  EXPECT_EQ(router.calls.size(), 1u) << "the dropped data is never routed";

  neighbour.send("1}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 2; }));
  EXPECT_EQ(router.calls[1].message["n"], 1);
}

TEST_F(BridgeTest, LongLinesUnderTheCapArriveIntact) {
  const std::string text(3 << 19, 'z');
  const std::string line = json::compact(Json{{"text", text}}) + "\n";
  // The client's blocking send would stall the loop that must drain it: send from the loop.
  Client client;
  size_t offset = 0;
  ASSERT_TRUE(runUntil([&] {
    if (offset < line.size()) {
      offset += client.trySend(std::string_view(line).substr(offset));
    }
    return router.calls.size() == 1;
  }));
  EXPECT_EQ(router.calls[0].message["text"], text);
}

TEST_F(BridgeTest, StartReplacesAStaleSocketAndKeepsTheDirectoryPrivate) {
  bridge.reset();
  testing::TestHome fresh;
  fresh.write(".talvane/run/talvane.sock", "stale");
  Bridge second(router);
  second.start();
  ASSERT_TRUE(second.listening());
  Client client;
  ASSERT_TRUE(client.connected());
  client.send("{}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 1; }));

  testing::TestHome another;
  Bridge third(router);
  third.start();
  struct stat info {};
  ASSERT_EQ(::stat(bridgeDirectory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(bridgeSocketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(BridgeTest, UnusableDirectoryIsLoggedAndTheAppRunsOn) {
  testing::TestHome fresh;
  fresh.write(".talvane/run", "a file where the folder belongs");
  Bridge blocked(router);
  ::testing::internal::CaptureStderr();
  blocked.start();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Talvane: cannot listen on " + fresh.path() + "/.talvane/run/talvane.sock\n");
  EXPECT_FALSE(blocked.listening());
  blocked.stop();
}

// The listening descriptor, found the way a debugger would: by the address it is bound to.
int listeningSocket() {
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_un address{};
    socklen_t size = sizeof address;
    int listening = 0;
    socklen_t flagSize = sizeof listening;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        address.sun_family == AF_UNIX && bridgeSocketPath() == address.sun_path &&
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) == 0 && listening)
      return fd;
  }
  return -1;
}

TEST_F(BridgeTest, ListenerFailureIsLoggedOnceAndNotRetried) {
  Client before;
  before.send("{\"n\":1}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 1; }));
  const int fd = listeningSocket();
  ASSERT_GE(fd, 0);
  ::testing::internal::CaptureStderr();
  ::shutdown(fd, SHUT_RDWR);
  const bool stopped = runUntil([&] { return !bridge->listening(); });
  testing::spin(0.05);  // a listener still polled would log again or spin here
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(stopped);
  EXPECT_EQ(log.rfind("Talvane bridge failed: ", 0), 0u) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  before.send("{\"n\":2}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 2; })) << "open connections go on";
}

TEST_F(BridgeTest, StopRemovesTheSocketFileAndLeavesOpenConnectionsAlone) {
  keepEvery("p1");
  Client client;
  client.send("{}\n");
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
  bridge->stop();
  EXPECT_FALSE(bridge->listening());
  EXPECT_FALSE(files::exists(bridgeSocketPath()));
  EXPECT_FALSE(Client().connected());

  router.calls.at(0).reply("done");
  ASSERT_TRUE(runUntil([&] { return client.ended(); }));
  EXPECT_EQ(client.received(), "done\n");
}

// A newer copy of the app binds the path while this one is on its way out: quitting must leave
// the newer copy's socket where it is.
TEST_F(BridgeTest, StopLeavesASocketFileThatIsNotItsOwn) {
  ASSERT_EQ(::unlink(bridgeSocketPath().c_str()), 0);
  Bridge newer(router);
  newer.start();
  ASSERT_TRUE(newer.listening());
  bridge->stop();
  EXPECT_TRUE(files::exists(bridgeSocketPath()));
  Client client;
  client.send("{\"n\":1}\n");
  ASSERT_TRUE(runUntil([&] { return router.calls.size() == 1; }));
  newer.stop();
  EXPECT_FALSE(files::exists(bridgeSocketPath()));
}

struct LostSocketCase {
  const char* what;
  std::function<void(const std::string& path)> lose;
};

TEST_F(BridgeTest, LostSocketFileIsBoundAgainWithOneLogLine) {
  const LostSocketCase cases[] = {
      {"deleted", [](const std::string& path) { ::unlink(path.c_str()); }},
      {"its folder deleted", [](const std::string&) { testing::removeTree(bridgeDirectory()); }},
      {"replaced by a file",
       [](const std::string& path) {
         ::unlink(path.c_str());
         ASSERT_TRUE(files::writeAtomic(path, "x", 0600) == std::nullopt);
       }},
  };
  for (const LostSocketCase& c : cases) {
    SCOPED_TRACE(c.what);
    router.calls.clear();
    Client held;  // connected before the loss: still served
    held.send("{\"n\":0}\n");
    c.lose(bridgeSocketPath());
    EXPECT_FALSE(Client().connected());

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(bridge->keepListening());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Talvane: the socket file was gone; listening again on " + bridgeSocketPath() + "\n");
    Client client;
    ASSERT_TRUE(client.connected());
    client.send("{\"n\":1}\n");
    ASSERT_TRUE(runUntil([&] { return router.calls.size() == 2; }));

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(bridge->keepListening());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

// A remote host's listener: its events carry the host whatever the remote wrote, and nothing it
// sends may read or drive the app, while the main socket keeps answering queries.
TEST_F(BridgeTest, RemoteListenerTagsEventsAndRefusesEveryQuery) {
  const std::string path = files::home() + "/.talvane/run/remote-test.sock";
  Bridge remote(router, Bridge::Remote{path, "me@devbox"});
  bool asked = false;
  for (Bridge* b : {bridge.get(), &remote})
    b->onQuery("jump", [&asked](const Json&) {
      asked = true;
      return std::string("{\"ok\":true}");
    });
  remote.start();
  ASSERT_TRUE(remote.listening());
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const struct {
    const char* line;
    const char* family;  // nullptr: refused, nothing routed
  } cases[] = {
      {R"({"hook_event_name":"Stop","session_id":"s"})", "claude"},
      {R"({"_agent":"cursor","_remote":"elsewhere"})", "cursor"},
      {R"({"_agent":"gemini"})", "adapted"},
      {R"({"_query":"state"})", nullptr},
      {R"({"_query":"jump","id":"x"})", nullptr},
      {R"({"_query":7})", nullptr},
  };
  for (const auto& c : cases) {
    router.calls.clear();
    Client client(path);
    ASSERT_TRUE(client.connected());
    client.send(std::string(c.line) + "\n");
    if (!c.family) {
      ASSERT_TRUE(runUntil([&] { return client.ended(); })) << c.line;
      EXPECT_EQ(client.received(), "\n") << c.line;
      EXPECT_TRUE(router.calls.empty()) << c.line;
      continue;
    }
    settle(client);
    ASSERT_EQ(router.calls.size(), 1u) << c.line;
    EXPECT_EQ(router.calls[0].family, c.family);
    EXPECT_EQ(router.calls[0].message["_remote"], "me@devbox") << c.line;
  }
  EXPECT_FALSE(asked);
  EXPECT_EQ(router.snapshots, 0);

  // The main socket's events carry no host, even one that names a host itself, and its queries
  // are answered.
  router.calls.clear();
  Client local;
  local.send(R"({"hook_event_name":"Stop","_remote":"me@devbox"})"
             "\n");
  settle(local);
  ASSERT_EQ(router.calls.size(), 1u);
  EXPECT_FALSE(router.calls[0].message.contains("_remote"));
  Client query;
  query.send(R"({"_query":"jump"})"
             "\n");
  ASSERT_TRUE(runUntil([&] { return query.ended(); }));
  EXPECT_TRUE(asked);

  remote.stop();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace talvane
