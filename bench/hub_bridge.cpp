// Hook events end to end through the app's socket: clients shaped like the relay (one
// connection per event, one line, close) on several threads, into a real Bridge and Hub on the
// main loop. Reports events per second for 10,000 events over 100 sessions.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "hub/hub.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"

namespace {

using namespace talvane;

// Counts what reaches the Hub, so the run knows when every event has been handled.
class Counting final : public HookRouter {
 public:
  explicit Counting(Hub& hub) : hub_(hub) {}
  std::optional<std::string> claude(const Json& m, Reply r) override {
    ++count;
    return hub_.claude(m, std::move(r));
  }
  std::optional<std::string> cursor(const Json& m, Reply r) override {
    ++count;
    return hub_.cursor(m, std::move(r));
  }
  std::optional<std::string> adapted(const Json& m, Reply r) override {
    ++count;
    return hub_.adapted(m, std::move(r));
  }
  void hookGone(const std::string& id) override { hub_.hookGone(id); }
  Json snapshot() override { return hub_.snapshot(); }
  int count = 0;

 private:
  Hub& hub_;
};

std::string line(int i) {
  const int session = i % 100;
  static const char* events[] = {"UserPromptSubmit", "PreToolUse",  "PostToolUse",
                                 "PreToolUse",       "PostToolUse", "Notification"};
  Json m = {{"hook_event_name", events[(i / 100) % 6]},
            {"session_id", "bench-" + std::to_string(session)},
            {"cwd", "/tmp/talvane-bench/project-" + std::to_string(session % 17)},
            {"tool_name", (i / 100) % 2 ? "Bash" : "Read"},
            {"tool_input", {{"command", "make test -j2"}, {"file_path", "/tmp/a/b.cpp"}}},
            {"tool_use_id", "toolu_" + std::to_string(i)},
            {"prompt", "Make it faster"},
            {"_agent", "claude"},
            {"_host", {{"tty", "/dev/pts/3"}, {"pid", 4242}, {"agentPid", 4343}}}};
  return m.dump() + "\n";
}

bool sendOne(const std::string& path, const std::string& text) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/talvane-bench-XXXXXX";
  const char* home = ::mkdtemp(tmpl);
  if (!home) return 1;
  ::setenv("HOME", home, 1);
  ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);

  GLibLoop loop;
  MemorySettingsStore store;
  HubSettings settings;
  settings.debugAnswer = [] { return std::optional<std::string>(); };
  Hub hub(loop, store, settings);
  int pushes = 0;
  hub.onChange = [&] {
    ++pushes;
    hub.snapshot();  // what the panel does on every change
  };
  Counting router(hub);
  Bridge bridge(router);
  bridge.start();
  const std::string path = bridgeSocketPath();

  constexpr int kEvents = 10000, kThreads = 4;
  std::vector<std::string> lines;
  for (int i = 0; i < kEvents; ++i) lines.push_back(line(i));
  std::atomic<int> failed{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = t; i < kEvents; i += kThreads)
        if (!sendOne(path, lines[i])) ++failed;
    });
  }
  while (router.count + failed < kEvents) g_main_context_iteration(nullptr, TRUE);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (auto& c : clients) c.join();
  loop.post([] {});
  g_main_context_iteration(nullptr, FALSE);

  std::printf("hub_bridge: %d events over 100 sessions from %d concurrent clients\n", kEvents,
              kThreads);
  std::printf(
      "hub_bridge: %.0f events/s end to end (%.2f s), %d pushes with a full snapshot, "
      "%d failed sends, %zu sessions\n",
      kEvents / seconds, seconds, pushes, failed.load(), hub.sessions().size());
  bridge.stop();
  std::filesystem::remove_all(home);
  return failed == 0 && router.count == kEvents ? 0 : 1;
}
