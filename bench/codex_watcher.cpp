// A Codex rollout file read from its start, as every live one is after a restart: the sweep's
// throughput over a realistic mix of records (mostly model output, which is never shown).
#include "hub/codex_watcher.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "hub/hub.h"
#include "platform/manual_loop.h"
#include "platform/settings_store.h"

namespace {

using namespace talvane;

Date wallClock() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// In Codex's own member order.
std::string line(const std::string& type, const Json& payload) {
  return R"({"timestamp":"2025-10-01T09:30:12.345Z","type":")" + type + R"(","payload":)" +
         json::compact(payload) + "}\n";
}

// About `megabytes` of turns: a prompt, reasoning and tool output, commands and token counts.
std::string rollout(int megabytes) {
  std::string text = line("session_meta", {{"id", "bench"}, {"cwd", "/tmp/talvane-bench"}});
  const std::string output(3000, 'o');
  for (int turn = 0; text.size() < static_cast<std::size_t>(megabytes) << 20; ++turn) {
    text += line("turn_context", {{"cwd", "/tmp/talvane-bench"}, {"model", "gpt-5-codex"}});
    text += line("event_msg", {{"type", "task_started"}});
    const Json prompt = {
        {"type", "UserMessage"},
        {"content", Json::array({{{"text", "<env>ctx</env>"}},
                                 {{"text", "Fix turn " + std::to_string(turn)}}})}};
    text += line("event_msg", {{"type", "item_completed"}, {"item", prompt}});
    const Json command = {{"type", "CommandExecution"},
                          {"command", Json::array({"bash", "-lc", "cargo test -p core"})}};
    for (int call = 0; call < 6; ++call) {
      text += line("response_item", {{"type", "reasoning"}, {"summary", output.substr(0, 600)}});
      text += line("response_item", {{"type", "function_call_output"}, {"output", output}});
      text += line("event_msg", {{"type", "item_completed"}, {"item", command}});
      const Json usage = {{"last_token_usage", {{"input_tokens", 41000 + call}}},
                          {"model_context_window", 272000}};
      text += line("event_msg", {{"type", "token_count"}, {"info", usage}});
    }
    text += line("event_msg", {{"type", "task_complete"}, {"last_agent_message", "**Done.**"}});
  }
  return text;
}

void BM_SweepFromStart(benchmark::State& state) {
  const std::string home = std::filesystem::temp_directory_path() / "talvane-bench-codex";
  std::filesystem::remove_all(home);
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("CODEX_HOME");

  ManualLoop loop(wallClock());
  MemorySettingsStore store;
  HubSettings settings;
  settings.debugAnswer = [] { return std::optional<std::string>(); };
  Hub hub(loop, store, settings);
  const std::string folder = CodexWatcher(hub, loop).dayDirectory(0);
  std::filesystem::create_directories(folder);
  const std::string text = rollout(static_cast<int>(state.range(0)));
  std::ofstream(folder + "/rollout-2025-10-01T09-30-00-0199a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl",
                std::ios::binary)
      << text;

  for (auto _ : state) {
    CodexWatcher watcher(hub, loop);
    watcher.sweep();
    benchmark::DoNotOptimize(hub.sessions().size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  std::filesystem::remove_all(home);
}
BENCHMARK(BM_SweepFromStart)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
