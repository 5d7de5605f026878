// The Hub in process, without sockets: the cost of one complete snapshot of a busy Hub (built
// on every push to the page), the throughput of hook events through Hub.claude, and a burst of
// requests that all wait for the user, and a snapshot of sessions whose transcripts hold huge
// prompts and titles.
#include "hub/hub.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
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

// `state.range(0)` permission requests of as many sessions arrive in one loop pass and all wait,
// as when many agents ask at once; the panel rebuilds its snapshot on every change and every
// call for attention, as the notch does. CPU time of the pass, the snapshots included.
void BM_WaitingBurst(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::vector<Json> requests;
  for (int s = 0; s < count; ++s)
    requests.push_back(message("PermissionRequest", s,
                               {{"tool_name", "Bash"},
                                {"tool_input", {{"command", "make -j8 test"}}},
                                {"tool_use_id", "toolu_" + std::to_string(s)}}));
  std::size_t snapshots = 0;
  for (auto _ : state) {
    state.PauseTiming();
    {
      ManualLoop loop;
      MemorySettingsStore store;
      Hub hub(loop, store, quietSettings());
      const auto draw = [&hub, &snapshots] {
        benchmark::DoNotOptimize(hub.snapshot());
        ++snapshots;
      };
      hub.onChange = draw;
      hub.onAttention = draw;
      state.ResumeTiming();
      for (const Json& m : requests) benchmark::DoNotOptimize(hub.claude(m, kDrop));
      loop.runPending();
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.counters["snapshots"] =
      benchmark::Counter(static_cast<double>(snapshots), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_WaitingBurst)->Arg(100)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);

// Two sessions read from transcripts of a 16 MB first prompt and a 60 MB custom title (in a
// temporary folder); the snapshot as the `state` query builds it, and the memory one event copies.
void BM_SnapshotOfHugeTranscriptTexts(benchmark::State& state) {
  std::string dir = "/tmp/talvane-bench-XXXXXX";
  if (!::mkdtemp(dir.data())) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const auto write = [&](const std::string& name, const Json& line) {
    std::ofstream(dir + "/" + name) << json::compact(line) << "\n"
                                    << R"({"type":"assistant","cwd":"/tmp","message":{"model":)"
                                    << R"("claude-haiku-4-5","usage":{"input_tokens":1}}})"
                                    << "\n";
    return dir + "/" + name;
  };
  const std::string prompt = write(
      "prompt.jsonl",
      {{"type", "user"}, {"cwd", "/tmp"}, {"message", {{"content", std::string(16 << 20, 'p')}}}});
  const std::string title =
      write("title.jsonl", {{"type", "custom-title"}, {"customTitle", std::string(60 << 20, 't')}});

  ManualLoop loop;
  MemorySettingsStore store;
  HubSettings settings = quietSettings();
  settings.transcriptReads = Background::inline_();
  Hub hub(loop, store, settings);
  int s = 0;
  for (const std::string& path : {prompt, title})
    hub.claude(message("SessionStart", s++, {{"transcript_path", path}}), kDrop);
  loop.runPending();
  std::size_t kept = 0;
  for (const Session& session : hub.sessions())
    kept += session.headline().size() +
            (session.stats.firstPrompt ? session.stats.firstPrompt->size() : 0);
  for (auto _ : state) benchmark::DoNotOptimize(json::pretty(hub.snapshot()));
  state.counters["keptBytes"] = static_cast<double>(kept);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SnapshotOfHugeTranscriptTexts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
