// A long run of the whole app core under a steady mix of work, to show that nothing piles up:
// relay-shaped clients of 8 agents (one connection per event, one line) send hook events into a
// real Bridge, Hub and NotchController on the main loop; Codex rollouts and Claude Code
// transcripts grow on disk; requests are answered from the page, or abandoned by their relay;
// browser tabs open and close on the panel's WebSocket and ask for usage. Every 10 s it prints
// resident memory, the heap in use, open descriptors and sessions. After the first minute (a
// third of a short run) the heap in use and the descriptors must stay flat and every session
// must still be there. Resident memory is shown too; the allocator keeps what a burst freed,
// so only the heap in use tells a leak. It also asks the app for its state (as `talvane state`
// does) twice a second and reports how long the answers took, and what the tabs received per
// minute.
//
//   bench_soak [--seconds N] [--every-pass]
//     (default 600 s, or TALVANE_SOAK_SECONDS; --short is 30; --every-pass pushes a state on every
//     loop pass with a change, with no rate cap, to compare)
#include <dirent.h>
#include <libsoup/soup.h>
#include <malloc.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/prefs.h"
#include "bridge/bridge.h"
#include "hub/codex_watcher.h"
#include "hub/hub.h"
#include "notch/browser_stage.h"
#include "notch/headless_desktop.h"
#include "notch/notch_controller.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"

namespace {

using namespace talvane;
using Steady = std::chrono::steady_clock;

constexpr int kSessionsPerAgent = 6;
constexpr const char* kHookAgents[] = {"claude",   "cursor",   "gemini", "copilot",
                                       "windsurf", "opencode", "droid"};

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// Bytes the allocator has handed out and not had back.
long heapInUseKiB() {
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

int openDescriptors() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
    ::closedir(dir);
  }
  return n - 1;  // the listing's own
}

std::string isoNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
  return text;
}

void appendLine(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << '\n';
}

// ---- relay-shaped clients -----------------------------------------------------------------

struct Counters {
  std::atomic<long> sent{0}, failed{0}, waited{0}, answered{0}, abandoned{0};
};

// Sends one event; a waiting one is either read until answered or dropped after `abandonAfter`.
void relay(const std::string& socketPath, const std::string& line, bool waits, bool abandon,
           Counters& counters) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ++counters.failed;
    return;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const std::string text = line + "\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    ++counters.failed;
    ::close(fd);
    return;
  }
  ++counters.sent;
  if (waits) {
    ++counters.waited;
    pollfd wait{fd, POLLIN, 0};
    // The answer comes from the page within a few seconds; an abandoning relay leaves first,
    // as one whose agent timed out.
    if (::poll(&wait, 1, abandon ? 150 : 20000) > 0) {
      char answer[4096];
      if (::recv(fd, answer, sizeof answer, 0) >= 0) ++counters.answered;
    } else {
      ++counters.abandoned;
    }
  }
  ::close(fd);
}

class Agents {
 public:
  Agents(std::string home, std::string socketPath)
      : home_(std::move(home)), socket_(std::move(socketPath)) {
    for (int s = 0; s < kSessionsPerAgent; ++s) {
      const std::string transcript = home_ + "/.claude/projects/-soak-" + std::to_string(s) +
                                     "/claude-" + std::to_string(s) + ".jsonl";
      std::filesystem::create_directories(std::filesystem::path(transcript).parent_path());
      transcripts_.push_back(transcript);
    }
  }

  // One event of a random agent and session, as that agent spells it.
  void one(std::mt19937& random, Counters& counters) {
    const int agent = static_cast<int>(random() % std::size(kHookAgents));
    const std::string name = kHookAgents[agent];
    const int s = static_cast<int>(random() % kSessionsPerAgent);
    const std::string sid = name + "-" + std::to_string(s);
    const std::string cwd = "/tmp/soak/project-" + std::to_string(s);
    const Json host = {{"tty", "/dev/pts/9"}, {"agentPid", static_cast<int>(::getpid())}};
    const int roll = static_cast<int>(random() % 20);
    Json m;
    bool waits = false;
    if (name == "claude") {
      std::lock_guard lock(files_);
      appendLine(
          transcripts_[s],
          R"({"type":"assistant","timestamp":")" + isoNow() + R"(","cwd":")" + cwd +
              R"(","message":{"id":"msg_)" + std::to_string(random()) +
              R"(","model":"claude-sonnet-4-5","usage":{"input_tokens":120,"output_tokens":40}}})");
      static const char* events[] = {"UserPromptSubmit", "PreToolUse", "PostToolUse"};
      m = {{"session_id", sid},
           {"cwd", cwd},
           {"transcript_path", transcripts_[s]},
           {"hook_event_name", roll < 3 ? "PermissionRequest" : events[roll % 3]},
           {"tool_name", "Bash"},
           {"tool_input", {{"command", "make test"}}},
           {"prompt", "Keep going"}};
      waits = roll < 3;
    } else if (name == "cursor") {
      static const char* events[] = {"beforeSubmitPrompt", "afterShellExecution", "afterFileEdit",
                                     "afterAgentResponse"};
      m = {{"conversation_id", sid},
           {"workspace_roots", {cwd}},
           {"hook_event_name", roll < 2 ? "stop" : events[roll % 4]},
           {"status", "completed"},
           {"command", "npm test"},
           {"file_path", cwd + "/a.ts"},
           {"text", "Done."},
           {"model", "gpt-5"}};
      waits = roll < 2;
    } else if (name == "gemini") {
      m = {{"session_id", sid},
           {"cwd", cwd},
           {"hook_event_name", roll < 2   ? "AfterAgent"
                               : roll % 2 ? "BeforeTool"
                                          : "AfterTool"},
           {"tool_name", "run_shell_command"},
           {"tool_input", {{"command", "echo hi"}}},
           {"prompt_response", "All done."}};
      waits = roll < 2;
    } else if (name == "copilot") {
      m = {{"sessionId", sid},
           {"cwd", cwd},
           {"hook_event_name", roll % 2 ? "preToolUse" : "postToolUse"},
           {"toolName", "view"},
           {"toolArgs", R"({"path":"/tmp/soak/README.md"})"}};
    } else if (name == "windsurf") {
      m = {{"trajectory_id", sid},
           {"agent_action_name", roll % 2 ? "pre_run_command" : "post_run_command"},
           {"tool_info", {{"command_line", "cargo build"}, {"cwd", cwd}}}};
    } else if (name == "opencode") {
      m = {{"session_id", sid},
           {"cwd", cwd},
           {"hook_event_name", roll < 2   ? "permission"
                               : roll % 2 ? "tool.before"
                                          : "tool.after"},
           {"tool_name", "edit"},
           {"tool_input", {{"filePath", cwd + "/x.ts"}}},
           {"message", "Edit x.ts?"}};
    } else {
      m = {{"session_id", sid},
           {"cwd", cwd},
           {"hook_event_name", roll < 2   ? "Stop"
                               : roll % 2 ? "PreToolUse"
                                          : "PostToolUse"},
           {"tool_name", "Execute"},
           {"tool_input", {{"command", "go test ./..."}}}};
      waits = roll < 2;
    }
    m["_agent"] = name;
    m["_host"] = host;
    relay(socket_, m.dump(), waits, waits && random() % 3 == 0, counters);
  }

  const std::vector<std::string>& transcripts() const { return transcripts_; }

 private:
  std::string home_;
  std::string socket_;
  std::vector<std::string> transcripts_;
  std::mutex files_;
};

// Codex: rollout files in today's folder, appended to as a Codex session would.
class Codex {
 public:
  Codex(const CodexWatcher& watcher) {
    const std::string day = watcher.dayDirectory(0);
    std::filesystem::create_directories(day);
    for (int s = 0; s < kSessionsPerAgent; ++s) {
      char id[40];
      std::snprintf(id, sizeof id, "0199a1b2-c3d4-7e5f-8a9b-%012d", s);
      paths_.push_back(day + "/rollout-2025-10-01T09-30-00-" + id + ".jsonl");
      appendLine(paths_.back(), R"({"timestamp":")" + isoNow() +
                                    R"(","type":"session_meta","payload":{"id":"codex-)" +
                                    std::to_string(s) + R"(","cwd":"/tmp/soak/codex"}})");
    }
  }
  void one(std::mt19937& random) {
    static const char* events[] = {
        R"({"type":"task_started"})",
        R"({"type":"item_completed","item":{"type":"CommandExecution","command":["bash","-lc","ls"]}})",
        R"({"type":"item_completed","item":{"type":"WebSearch"}})",
        R"({"type":"task_complete","last_agent_message":"Done."})"};
    appendLine(paths_[random() % paths_.size()], R"({"timestamp":")" + isoNow() +
                                                     R"(","type":"event_msg","payload":)" +
                                                     events[random() % std::size(events)] + "}");
  }

 private:
  std::vector<std::string> paths_;
};

// ---- the state query -----------------------------------------------------------------------

// One `talvane state`: seconds from connecting until the whole answer is in, none on failure.
std::optional<double> stateQuery(const std::string& socketPath) {
  const auto begin = Steady::now();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const std::string query = "{\"_query\":\"state\"}\n";
  bool ok =
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, query.data(), query.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(query.size());
  std::size_t got = 0;
  char chunk[65536];
  pollfd wait{fd, POLLIN, 0};
  while (ok && ::poll(&wait, 1, 30000) > 0) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (!ok || got == 0) return std::nullopt;
  return std::chrono::duration<double>(Steady::now() - begin).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// ---- browser tabs -------------------------------------------------------------------------

// Everything the tabs received, open or closed since.
long tabBytes = 0, tabMessages = 0;

// One page on the panel's WebSocket: says it is ready, asks for usage, and closes later.
class Tab {
 public:
  Tab(std::uint16_t port, const std::string& token) {
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/ws?token=" + token;
    SoupMessage* msg = soup_message_new("GET", url.c_str());
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    soup_session_websocket_connect_async(session_, msg, origin.c_str(), nullptr, G_PRIORITY_DEFAULT,
                                         nullptr, &Tab::connected, alive_);
    g_object_unref(msg);
  }
  ~Tab() {
    if (alive_) *alive_ = nullptr;  // a connect still under way finds nobody
    if (socket_) {
      g_signal_handlers_disconnect_by_data(socket_, this);
      soup_websocket_connection_close(socket_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
      g_object_unref(socket_);
    }
    g_object_unref(session_);
  }
  Tab(const Tab&) = delete;
  Tab& operator=(const Tab&) = delete;

  long received = 0;

 private:
  static void connected(GObject* source, GAsyncResult* result, gpointer data) {
    auto* alive = static_cast<Tab**>(data);
    GError* error = nullptr;
    SoupWebsocketConnection* socket =
        soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &error);
    g_clear_error(&error);
    Tab* tab = *alive;
    delete alive;
    if (!tab) {
      if (socket) g_object_unref(socket);
      return;
    }
    tab->alive_ = nullptr;
    tab->socket_ = socket;
    if (!socket) return;
    soup_websocket_connection_set_max_incoming_payload_size(socket, 64 << 20);
    g_signal_connect(socket, "message",
                     G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* bytes, gpointer d) {
                       ++static_cast<Tab*>(d)->received;
                       tabBytes += static_cast<long>(g_bytes_get_size(bytes));
                       ++tabMessages;
                     }),
                     tab);
    soup_websocket_connection_send_text(socket, R"({"type":"ready"})");
    soup_websocket_connection_send_text(socket, R"({"type":"usage"})");
  }

  SoupSession* session_ = soup_session_new();
  SoupWebsocketConnection* socket_ = nullptr;
  Tab** alive_ = new Tab*(this);
};

}  // namespace

int main(int argc, char** argv) {
  double duration = 600;
  bool everyPass = false;
  if (const char* env = std::getenv("TALVANE_SOAK_SECONDS")) duration = std::atof(env);
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--short")) duration = 30;
    if (!std::strcmp(argv[i], "--every-pass")) everyPass = true;
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) duration = std::atof(argv[++i]);
  }
  if (!(duration > 0)) duration = 600;
  const double warmup = std::min(60.0, duration / 3);

  char pattern[] = "/tmp/talvane-bench-soak-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string home = pattern;
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  ::unsetenv("CODEX_HOME");

  GLibLoop loop;
  MemorySettingsStore store;
  Prefs::Binding binding(store);
  HubSettings settings;
  settings.debugAnswer = [] { return std::optional<std::string>(); };
  Hub hub(loop, store, settings);
  Bridge bridge(hub);
  bridge.start();
  CodexWatcher codex(hub, loop);
  Codex rollouts(codex);
  codex.start();
  HeadlessDesktop desktop;
  NotchController notch(hub, desktop.parts(), loop);
  BrowserStage browser(notch.stage());
  notch.stage().setHost(&browser);
  if (auto why = browser.start(0)) {
    std::fprintf(stderr, "soak: cannot serve the panel: %s\n", why->c_str());
    return 1;
  }
  notch.show(false);
  if (everyPass) hub.onChange = [&notch] { notch.pushNow(); };
  notch.usage().keepFresh(10);

  Agents agents(home, bridgeSocketPath());
  Counters counters;
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      std::mt19937 random(100 + t);
      while (!stop) {
        agents.one(random, counters);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }

  std::mutex latencyLock;
  std::vector<double> latencies;
  long failedQueries = 0;
  std::thread asking([&] {
    while (!stop) {
      auto took = stateQuery(bridgeSocketPath());
      {
        std::lock_guard lock(latencyLock);
        if (took)
          latencies.push_back(*took);
        else
          ++failedQueries;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });

  std::mt19937 random(7);
  std::vector<std::unique_ptr<Tab>> tabs;
  long answeredFromPage = 0, tabsOpened = 0;
  const auto start = Steady::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(Steady::now() - start).count(); };
  // Answers the oldest request now and then, as a user at the panel would.
  TimerHandle answering = loop.every(0.25, 0, [&] {
    const auto queue = hub.queue();
    if (queue.empty()) return;
    const Session& s = *queue.front();
    if (s.pending->isReply()) {
      notch.handle({{"type", "reply"}, {"id", s.id}, {"text", "carry on"}});
    } else if (s.pending->isElsewhere()) {
      notch.handle({{"type", "release"}, {"id", s.id}});
    } else {
      notch.handle({{"type", random() % 2 ? "allow" : "deny"}, {"id", s.id}});
    }
    ++answeredFromPage;
  });
  TimerHandle tabbing = loop.every(1.5, 0, [&] {
    if (tabs.size() < 3 && random() % 2) {
      tabs.push_back(std::make_unique<Tab>(browser.port(), browser.token()));
      ++tabsOpened;
    } else if (!tabs.empty()) {
      tabs.erase(tabs.begin() + static_cast<long>(random() % tabs.size()));
    }
  });
  TimerHandle codexing = loop.every(0.1, 0, [&] { rollouts.one(random); });

  struct Sample {
    double at;
    long rssKiB;
    long heapKiB;
    int fds;
    std::size_t sessions;
  };
  std::vector<Sample> samples;
  const std::size_t expected = (std::size(kHookAgents) + 1) * kSessionsPerAgent;
  bool ok = true;
  std::printf("soak: %.0f s, 8 agents x %d sessions, 4 relay clients, tabs on port %u\n", duration,
              kSessionsPerAgent, browser.port());
  std::printf("%8s %10s %10s %5s %9s %9s %9s %9s %9s %6s\n", "time", "RSS KiB", "heap KiB", "fds",
              "sessions", "sent", "waited", "answered", "abandoned", "tabs");
  std::fflush(stdout);
  double nextSample = 0;
  while (elapsed() < duration) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    if (elapsed() < nextSample) continue;
    nextSample += 10;
    const Sample s{elapsed(), residentKiB(), heapInUseKiB(), openDescriptors(),
                   hub.sessions().size()};
    samples.push_back(s);
    std::printf("%7.0fs %10ld %10ld %5d %9zu %9ld %9ld %9ld %9ld %6zu\n", s.at, s.rssKiB, s.heapKiB,
                s.fds, s.sessions, counters.sent.load(), counters.waited.load(),
                counters.answered.load(), counters.abandoned.load(), tabs.size());
    std::fflush(stdout);
  }
  stop = true;
  // The clients' last waits end once the page answers them or they give up.
  std::atomic<bool> joined{false};
  std::thread joiner([&] {
    for (auto& c : clients) c.join();
    asking.join();
    joined = true;
  });
  while (!joined) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
  joiner.join();

  // Flat after warm-up: from the first sample after it to the last.
  const Sample* base = nullptr;
  long maxRss = 0, maxHeap = 0;
  int minFds = 1 << 30, maxFds = 0;
  for (const Sample& s : samples) {
    if (s.at < warmup) continue;
    if (!base) base = &s;
    maxRss = std::max(maxRss, s.rssKiB);
    maxHeap = std::max(maxHeap, s.heapKiB);
    minFds = std::min(minFds, s.fds);
    maxFds = std::max(maxFds, s.fds);
    if (s.sessions != expected) ok = false;
  }
  if (base) {
    const Sample& last = samples.back();
    std::printf(
        "soak: from %.0f s to %.0f s: heap in use %ld -> %ld KiB (at most %ld); RSS %ld -> %ld "
        "KiB (at most %ld); fds %d..%d; %zu of %zu sessions\n",
        base->at, last.at, base->heapKiB, last.heapKiB, maxHeap, base->rssKiB, last.rssKiB, maxRss,
        minFds, maxFds, last.sessions, expected);
    // Caches and queued page messages come and go by a few MiB; a leak of a few bytes per
    // event grows past that over the run. Descriptors move with the open tabs (two each) and
    // the relays waiting at that moment (one each), and no further.
    if (last.heapKiB - base->heapKiB > 4 * 1024 || maxFds - minFds > 2 * 3 + 2 * 4) ok = false;
  }
  std::printf(
      "soak: %ld events sent (%ld failed), %ld waited: %ld answered, %ld abandoned; "
      "%ld answered from the page; %ld tabs opened\n",
      counters.sent.load(), counters.failed.load(), counters.waited.load(),
      counters.answered.load(), counters.abandoned.load(), answeredFromPage, tabsOpened);
  {
    std::lock_guard lock(latencyLock);
    std::printf(
        "soak: state query p50 %.1f ms, p95 %.1f ms, max %.1f ms (%zu answered, %ld failed)\n",
        percentile(latencies, 0.5) * 1000, percentile(latencies, 0.95) * 1000,
        percentile(latencies, 1.0) * 1000, latencies.size(), failedQueries);
    const double minutes = elapsed() / 60;
    std::printf("soak: pushed to the tabs %.1f MB per minute (%.0f messages per minute)\n",
                static_cast<double>(tabBytes) / 1e6 / minutes,
                static_cast<double>(tabMessages) / minutes);
  }
  std::printf("soak: %s\n", ok ? "flat" : "NOT FLAT or sessions lost");

  tabs.clear();
  codex.stop();
  bridge.stop();
  browser.stop();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return ok ? 0 : 1;
}
