// Cost of one hook event as an agent pays it: spawning talvane-hook, handing the payload to a
// Bridge on this process's main loop and, for an event that waits, getting the answer back.
// Compared with spawning /bin/true the same way, which is the floor for any hook command.
//
//   bench_relay [--runs N] [--relay PATH]
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/hook_router.h"

extern char** environ;

namespace {

using talvane::Json;
using talvane::Reply;

const std::string kAnswer =
    R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})";

// Answers every waiting event at once, as the automatic answers do.
class AnsweringRouter : public talvane::HookRouter {
 public:
  int routed = 0;
  std::optional<std::string> claude(const Json& message, Reply reply) override {
    ++routed;
    auto event = message.find("hook_event_name");
    if (event != message.end() && *event == "PermissionRequest") reply(kAnswer);
    return std::nullopt;
  }
  std::optional<std::string> cursor(const Json& m, Reply r) override { return claude(m, r); }
  std::optional<std::string> adapted(const Json& m, Reply r) override { return claude(m, r); }
  void hookGone(const std::string&) override {}
  Json snapshot() override { return Json::object(); }
};

struct Run {
  double ms = 0;
  std::string output;
  bool ok = false;
};

gboolean onOutput(gint fd, GIOCondition, gpointer data) {
  auto* run = static_cast<std::pair<std::string*, bool*>*>(data);
  char chunk[4096];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n > 0) {
    run->first->append(chunk, static_cast<size_t>(n));
    return G_SOURCE_CONTINUE;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return G_SOURCE_CONTINUE;
  *run->second = true;
  return G_SOURCE_REMOVE;
}

// Spawns `argv` with `payload` on stdin and serves the main loop until its stdout closes.
Run spawnOnce(const std::vector<std::string>& argv, const std::string& payload) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> raw;
  for (const auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
  raw.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return run;
  }
  if (!payload.empty()) {
    [[maybe_unused]] ssize_t n = ::write(in[1], payload.data(), payload.size());
  }
  ::close(in[1]);

  bool closed = false;
  std::pair<std::string*, bool*> sink{&run.output, &closed};
  g_unix_fd_add(out[0], static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onOutput, &sink);
  while (!closed) g_main_context_iteration(nullptr, TRUE);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  return values[index];
}

struct Figures {
  double p50 = 0, p99 = 0;
};

Figures measure(const char* label, int runs, const std::vector<std::string>& argv,
                const std::string& payload, const std::string& expected) {
  for (int i = 0; i < std::max(5, runs / 20); ++i) spawnOnce(argv, payload);  // warm the caches
  std::vector<double> times;
  int wrong = 0;
  for (int i = 0; i < runs; ++i) {
    Run run = spawnOnce(argv, payload);
    if (!run.ok || run.output != expected) ++wrong;
    times.push_back(run.ms);
  }
  double sum = 0;
  for (double t : times) sum += t;
  Figures f{percentile(times, 0.5), percentile(times, 0.99)};
  std::printf("%-40s %8.3f %8.3f %8.3f %8.3f%s\n", label, f.p50, f.p99, sum / runs,
              *std::min_element(times.begin(), times.end()),
              wrong ? ("   (" + std::to_string(wrong) + " wrong answers)").c_str() : "");
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  int runs = 300;
  std::string relay =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/talvane-hook";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--relay") == 0) relay = argv[i + 1];
  }
  if (::access(relay.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "bench_relay: %s is not built\n", relay.c_str());
    return 1;
  }

  char home[] = "/tmp/talvane-bench-XXXXXX";
  if (!::mkdtemp(home)) return 1;
  ::setenv("HOME", home, 1);

  AnsweringRouter router;
  talvane::Bridge bridge(router);
  bridge.start();
  if (!bridge.listening()) return 1;

  const std::string passing =
      R"({"hook_event_name":"PostToolUse","session_id":"bench","cwd":"/tmp","tool_name":"Bash",)"
      R"("tool_input":{"command":"ls"},"tool_response":{"stdout":"a\nb"}})";
  const std::string waiting =
      R"({"hook_event_name":"PermissionRequest","session_id":"bench","cwd":"/tmp",)"
      R"("tool_name":"Bash","tool_input":{"command":"rm -rf build"}})";

  std::printf("%d runs each; milliseconds from spawn to exit      p50      p99     mean      min\n",
              runs);
  Figures floor = measure("/bin/true", runs, {"/bin/true"}, "", "");
  Figures passed = measure("talvane-hook claude PostToolUse", runs, {relay, "claude"}, passing, "");
  Figures answered = measure("talvane-hook claude PermissionRequest", runs, {relay, "claude"},
                             waiting, kAnswer + "\n");
  bridge.stop();
  measure("talvane-hook claude PostToolUse, no app", runs, {relay, "claude"}, passing, "");
  std::filesystem::remove_all(home);

  std::printf("non-blocking p50 / /bin/true p50: %.2fx (target: within 2x and under 2 ms)\n",
              passed.p50 / floor.p50);
  std::printf("blocking round trip p50: %.3f ms (target: under 3 ms)\n", answered.p50);
  std::printf("events routed: %d\n", router.routed);
  return 0;
}
