// The Hub in process, without sockets: the cost of one complete snapshot of a busy Hub (built
// on every push to the page), and the throughput of hook events through Hub.claude.
#include "hub/hub.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/manual_loop.h"
#include "platform/settings_store.h"

namespace {

using namespace talvane;

HubSettings quietSettings() {
  HubSettings settings;
  settings.debugAnswer = [] { return std::optional<std::string>(); };
  settings.processGone = [](std::int32_t) { return false; };
  return settings;
}

Json message(const std::string& event, int session, Json extra = Json::object()) {
  Json m = {
      {"hook_event_name", event},
      {"session_id", "bench-" + std::to_string(session)},
      {"_agent", "claude"},
      {"cwd", "/tmp/talvane-bench/project-" + std::to_string(session % 17)},
      {"_host", {{"pid", 1000 + session}, {"bundle", "/usr/bin/kitty"}, {"tty", "/dev/pts/3"}}}};
  for (auto& [key, value] : extra.items()) m[key] = value;
  return m;
}

const Reply kDrop = [](const std::string&) {};

// A turn's worth of events for one session; the permission request waits and is allowed.
std::vector<Json> turn(int session, int n) {
  const std::string id = "toolu_" + std::to_string(session) + "_" + std::to_string(n);
  const Json bash = {{"command", "ctest -R hub --output-on-failure"}};
  const Json read = {{"file_path", "/tmp/talvane-bench/src/hub/hub_snapshot.cpp"}};
  return {
      message("UserPromptSubmit", session, {{"prompt", "Make the snapshot faster\nplease"}}),
      message("PreToolUse", session, {{"tool_name", "Read"}, {"tool_input", read}}),
      message("PostToolUse", session, {{"tool_name", "Read"}, {"tool_input", read}}),
      message("PreToolUse", session,
              {{"tool_name", "Bash"}, {"tool_input", bash}, {"tool_use_id", id}}),
      message("PermissionRequest", session, {{"tool_name", "Bash"}, {"tool_input", bash}}),
      message("PostToolUse", session,
              {{"tool_name", "Bash"}, {"tool_input", bash}, {"tool_use_id", id}}),
      message("Notification", session, {{"notification_type", "idle_prompt"}}),
      message("PreToolUse", session, {{"tool_name", "Grep"}, {"tool_input", {{"pattern", "x"}}}}),
      message("PostToolUseFailure", session, {{"tool_name", "Grep"}}),
      message("Stop", session, {{"last_assistant_message", "Done: the snapshot is 2x faster."}}),
  };
}

// 100 sessions in every state the page draws: tool lines, a full tally, every kind of request.
void fill(Hub& hub, ManualLoop& loop) {
  for (int s = 0; s < 100; ++s) {
    for (const Json& m : turn(s, 0)) {
      if (json::string(m, "hook_event_name") == "Stop" && s % 4 == 0) break;
      hub.claude(m, kDrop);
    }
    for (const char* tool : {"Edit", "Write", "Glob", "WebSearch", "Task", "TodoWrite"}) {
      hub.claude(message("PreToolUse", s,
                         {{"tool_name", tool}, {"tool_input", {{"file_path", "/a/b.cpp"}}}}),
                 kDrop);
    }
    if (s % 4 == 1) {
      hub.claude(message("PermissionRequest", s,
                         {{"tool_name", "Bash"}, {"tool_input", {{"command", "rm -rf build"}}}}),
                 kDrop);
    } else if (s % 4 == 2) {
      hub.claude(
          message("PermissionRequest", s,
                  {{"tool_name", "AskUserQuestion"},
                   {"tool_input",
                    {{"questions",
                      Json::array(
                          {{{"question", "Which?"},
                            {"options", Json::array({{{"label", "A"}}, {{"label", "B"}}})}}})}}}}),
          kDrop);
    }
    loop.runPending();
  }
}

void BM_Snapshot100Sessions(benchmark::State& state) {
  ManualLoop loop;
  MemorySettingsStore store;
  Hub hub(loop, store, quietSettings());
  fill(hub, loop);
  for (auto _ : state) benchmark::DoNotOptimize(hub.snapshot());
  state.counters["sessions"] = static_cast<double>(hub.sessions().size());
}
BENCHMARK(BM_Snapshot100Sessions)->Unit(benchmark::kMicrosecond);

// The snapshot as pushed to the page: built and serialised.
void BM_SnapshotSerialised100Sessions(benchmark::State& state) {
  ManualLoop loop;
  MemorySettingsStore store;
  Hub hub(loop, store, quietSettings());
  fill(hub, loop);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = json::compact(hub.snapshot());
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SnapshotSerialised100Sessions)->Unit(benchmark::kMicrosecond);

// 10,000 events over 100 sessions, one loop pass per 100 events (change notification included).
void BM_ClaudeEvents10k(benchmark::State& state) {
  std::vector<Json> events;
  for (int round = 0; events.size() < 10000; ++round)
    for (int s = 0; s < 100 && events.size() < 10000; ++s)
      for (Json& m : turn(s, round)) events.push_back(std::move(m));
  events.resize(10000);

  ManualLoop loop;
  MemorySettingsStore store;
  Hub hub(loop, store, quietSettings());
  int pushes = 0;
  hub.onChange = [&pushes] { ++pushes; };
  for (auto _ : state) {
    std::size_t n = 0;
    for (const Json& m : events) {
      // Waiting requests end with the call's completion or the next prompt.
      benchmark::DoNotOptimize(hub.claude(m, kDrop));
      if (++n % 100 == 0) loop.runPending();
    }
    loop.runPending();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 10000);
  state.counters["pushes"] = pushes;
}
BENCHMARK(BM_ClaudeEvents10k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
