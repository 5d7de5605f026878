// Reading Claude Code transcripts at scale. Builds a synthetic ~/.claude/projects in a temporary
// HOME (many projects; assistant lines with usage, long tool-result lines without), warms the page
// cache, then times a cold UsageMeter.snapshot() and TranscriptReader.update() over every file,
// each in a child process so that its peak RSS is its own. Also times the pieces of the work, to
// show what dominates, and the full-parser way of reading the same lines for comparison; and
// `talvane usage` run as a command with no app (process start included), and answered by a
// running app's live meter over the socket.
//
//   bench_usage [--megabytes N] [--runs N] [--keep]   (--keep leaves the corpus, for profiling)
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/state_client.h"
#include "bridge/bridge.h"
#include "context/appended_lines.h"
#include "context/transcript_files.h"
#include "context/transcript_line.h"
#include "context/transcript_reader.h"
#include "context/usage_meter.h"
#include "platform/event_loop.h"
#include "platform/json.h"

namespace {

using namespace talvane;
using Steady = std::chrono::steady_clock;

// The app's socket without hook traffic: only the usage query is asked.
class NoRouter final : public HookRouter {
 public:
  std::optional<std::string> claude(const Json&, Reply r) override { return none(r); }
  std::optional<std::string> cursor(const Json&, Reply r) override { return none(r); }
  std::optional<std::string> adapted(const Json&, Reply r) override { return none(r); }
  void hookGone(const std::string&) override {}
  Json snapshot() override { return Json::object(); }

 private:
  static std::optional<std::string> none(Reply& r) {
    r("");
    return std::nullopt;
  }
};

double seconds(Steady::time_point since) {
  return std::chrono::duration<double>(Steady::now() - since).count();
}

// ---- corpus -------------------------------------------------------------------------------

class Corpus {
 public:
  explicit Corpus(std::uint64_t seed) : random_(seed) {
    const char* words[] = {"const",    "auto",        "return", "if",     "for",  "value", "meter",
                           "snapshot", "std::string", "offset", "line",   "=",    "{",     "}",
                           "(",        ")",           "->",     "&&",     "json", "path",  "today",
                           "model",    "cost",        "tokens", "// why", "42"};
    // Code-like text, already escaped as it appears inside a JSON string.
    for (int i = 0; i < 256; ++i) {
      std::string s;
      const int lines = 2 + static_cast<int>(random_() % 12);
      for (int l = 0; l < lines; ++l) {
        s += std::string(2 * (random_() % 4), ' ');
        const int n = 3 + static_cast<int>(random_() % 10);
        for (int w = 0; w < n; ++w) {
          s += words[random_() % std::size(words)];
          s += ' ';
        }
        switch (random_() % 16) {
          case 0:
            s += "\\\"quoted\\\" ";
            break;
          case 1:
            s += "caf\xc3\xa9 \xe2\x80\x94 ";
            break;
          case 2:
            s += "\\tcol ";
            break;
          case 3:
            s += "\\u001b[32mok\\u001b[0m ";
            break;
          case 4:
            s += "C:\\\\path ";
            break;
          default:
            break;
        }
        s += "\\n";
      }
      snippets_.push_back(std::move(s));
    }
  }

  // Writes one session transcript of about `bytes` bytes; returns the bytes written.
  std::uint64_t session(const std::string& path, const std::string& cwd, std::uint64_t bytes) {
    std::string out;
    out.reserve(1 << 20);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::uint64_t written = 0;
    const std::string sid = id("", 36);
    auto flush = [&] {
      std::fwrite(out.data(), 1, out.size(), file);
      written += out.size();
      out.clear();
    };
    out += R"({"type":"file-history-snapshot","messageId":")" + id("", 36) +
           R"(","snapshot":{"trackedFileBackups":{},"timestamp":")" + timestamp() + "\"}}\n";
    out += common(sid, cwd, "user") +
           R"("message":{"role":"user","content":"Make the usage view show )" + text(200) +
           R"("},"uuid":")" + id("", 36) + R"(","timestamp":")" + timestamp() + "\"}\n";
    while (written + out.size() < bytes) {
      const std::string msg = id("msg_01", 24);
      const std::string model =
          random_() % 4 ? "claude-opus-4-5-20251101" : "claude-haiku-4-5-20251001";
      const int parts = 1 + static_cast<int>(random_() % 3);  // one message, several lines
      for (int p = 0; p < parts; ++p) out += assistant(sid, cwd, msg, model, p + 1 == parts);
      const auto roll = random_() % 20;
      if (roll == 0) {
        // A sub-agent's result: its own usage record inside the tool result.
        out += toolResult(sid, cwd, 2000, R"(,"usage":{"input_tokens":5,"output_tokens":900})");
      } else if (roll < 3) {
        out += common(sid, cwd, "progress") + R"("data":{"type":"bash_progress","output":")" +
               text(800) + R"("},"uuid":")" + id("", 36) + R"(","timestamp":")" + timestamp() +
               "\"}\n";
      } else {
        out += toolResult(sid, cwd, 4000 + random_() % 60000, "");
      }
      if (out.size() > (1 << 20)) flush();
    }
    out +=
        R"({"type":"last-prompt","lastPrompt":"Make the usage view","sessionId":")" + sid + "\"}\n";
    flush();
    std::fclose(file);
    return written;
  }

 private:
  std::string id(const char* prefix, int n) {
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string s = prefix;
    for (int i = 0; i < n; ++i) s += alphabet[random_() % 62];
    return s;
  }

  std::string text(std::size_t bytes) {
    std::string s;
    while (s.size() < bytes) s += snippets_[random_() % snippets_.size()];
    return s;
  }

  std::string timestamp() {
    // Earlier today, at most a few minutes ago.
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(random_() % 300);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(buf) + "." + std::to_string(100 + random_() % 900) + "Z";
  }

  std::string common(const std::string& sid, const std::string& cwd, const char* type) {
    return R"({"parentUuid":")" + id("", 36) +
           R"(","isSidechain":false,"userType":"external","cwd":")" + cwd + R"(","sessionId":")" +
           sid + R"(","version":"2.0.14","gitBranch":"main","type":")" + type + "\",";
  }

  std::string assistant(const std::string& sid, const std::string& cwd, const std::string& msg,
                        const std::string& model, bool last) {
    std::string content;
    switch (random_() % 3) {
      case 0:
        content = R"([{"type":"text","text":")" + text(300 + random_() % 1500) + "\"}]";
        break;
      case 1:
        content = R"([{"type":"thinking","thinking":")" + text(500 + random_() % 2000) +
                  R"(","signature":")" + id("", 300) + "\"}]";
        break;
      default:
        content = R"([{"type":"tool_use","id":")" + id("toolu_01", 22) +
                  R"(","name":"Edit","input":{"file_path":")" + cwd +
                  R"(/src/usage.cpp","old_string":")" + text(400) + R"(","new_string":")" +
                  text(600) + "\"}}]";
        break;
    }
    const auto creation = random_() % 5000;
    return common(sid, cwd, "assistant") + R"("message":{"id":")" + msg +
           R"(","type":"message","role":"assistant","model":")" + model + R"(","content":)" +
           content + R"(,"stop_reason":)" + (last ? "\"tool_use\"" : "null") +
           R"(,"stop_sequence":null,"usage":{"input_tokens":)" + std::to_string(random_() % 50) +
           R"(,"cache_creation_input_tokens":)" + std::to_string(creation) +
           R"(,"cache_read_input_tokens":)" + std::to_string(random_() % 150000) +
           R"(,"cache_creation":{"ephemeral_5m_input_tokens":)" + std::to_string(creation) +
           R"(,"ephemeral_1h_input_tokens":0},"output_tokens":)" +
           std::to_string(random_() % 2000) + R"(,"service_tier":"standard"}},"requestId":")" +
           id("req_011", 20) + R"(","uuid":")" + id("", 36) + R"(","timestamp":")" + timestamp() +
           "\"}\n";
  }

  std::string toolResult(const std::string& sid, const std::string& cwd, std::size_t size,
                         const std::string& extra) {
    const std::string output = text(size / 2);
    return common(sid, cwd, "user") + R"("message":{"role":"user","content":[{"tool_use_id":")" +
           id("toolu_01", 22) + R"(","type":"tool_result","content":")" + output +
           R"(","is_error":false}]},"uuid":")" + id("", 36) + R"(","timestamp":")" + timestamp() +
           R"(","toolUseResult":{"stdout":")" + output + R"(","stderr":"","interrupted":false)" +
           extra + "}}\n";
  }

  std::mt19937_64 random_;
  std::vector<std::string> snippets_;
};

std::uint64_t build(const std::string& home, std::uint64_t target,
                    std::vector<std::string>& paths) {
  Corpus corpus(2030);
  std::mt19937_64 random(7);
  std::uint64_t total = 0;
  for (int project = 0; total < target; ++project) {
    const std::string cwd = "/home/dev/src/project-" + std::to_string(project);
    const std::string dir =
        home + "/.claude/projects/-home-dev-src-project-" + std::to_string(project);
    std::filesystem::create_directories(dir);
    const int sessions = 3 + static_cast<int>(random() % 15);
    for (int s = 0; s < sessions && total < target; ++s) {
      // Most sessions are small; a few run long.
      const std::uint64_t size =
          random() % 8 ? 50'000 + random() % 3'000'000 : 5'000'000 + random() % 30'000'000;
      const std::string path =
          dir + "/" + std::to_string(project) + "-" + std::to_string(s) + ".jsonl";
      total += corpus.session(path, cwd, size);
      paths.push_back(path);
    }
  }
  // Claude Code keeps other things there too.
  std::filesystem::create_directories(home + "/.claude/projects/-empty");
  return total;
}

// ---- measuring ----------------------------------------------------------------------------

struct Result {
  double seconds = 0;  // wall clock
  double cpu = 0;      // user + system: what the work costs, whatever else runs on the machine
  long peakKiB = 0;
  double value = 0;
};

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `work` in a child process, so that the peak RSS is that of the work alone.
Result isolated(const std::function<double()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const auto start = Steady::now();
    const double cpuStart = cpuSeconds();
    Result r;
    r.value = work();
    r.seconds = seconds(start);
    r.cpu = cpuSeconds() - cpuStart;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    r.peakKiB = usage.ru_maxrss;
    (void)!::write(fds[1], &r, sizeof r);
    ::_exit(0);
  }
  ::close(fds[1]);
  Result r;
  (void)!::read(fds[0], &r, sizeof r);
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return r;
}

Result best(int runs, const std::function<double()>& work) {
  Result out;
  for (int i = 0; i < runs; ++i) {
    const Result r = isolated(work);
    if (i == 0 || r.cpu < out.cpu) out = r;
  }
  return out;
}

void report(const char* what, const Result& r, std::uint64_t bytes) {
  const auto gb = static_cast<double>(bytes) / 1e9;
  std::printf("%-40s %7.3f s %6.2f GB/s | cpu %7.3f s %6.2f GB/s | peak RSS %6.1f MiB\n", what,
              r.seconds, gb / r.seconds, r.cpu, gb / r.cpu,
              static_cast<double>(r.peakKiB) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t megabytes = 512;
  int runs = 3;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--keep")) keep = true;
    if (i + 1 >= argc) break;
    if (!std::strcmp(argv[i], "--megabytes"))
      megabytes = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--runs"))
      runs = std::atoi(argv[++i]);
  }
  char pattern[] = "/tmp/talvane-bench-usage-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string home = pattern;
  ::setenv("HOME", home.c_str(), 1);

  std::vector<std::string> paths;
  auto start = Steady::now();
  const std::uint64_t bytes = build(home, megabytes << 20, paths);
  std::printf("corpus: %.1f MB in %zu transcripts, written in %.1f s\n",
              static_cast<double>(bytes) / 1e6, paths.size(), seconds(start));

  // Warm the page cache, and measure the floor: plain reads into one buffer.
  const Result raw = best(runs, [&] {
    std::vector<char> buffer(4 << 20);
    double sum = 0;
    for (const auto& path : paths) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        sum += static_cast<double>(n);
      ::close(fd);
    }
    return sum;
  });
  report("read(2) only, 4 MiB buffer", raw, bytes);

  const Result lines = best(runs, [&] {
    AppendedLines reader;
    double blocks = 0;
    for (const auto& path : paths) {
      std::uint64_t offset = 0;
      reader.read(path, offset, AppendedLines::Shrunk::wait, [&](std::string_view) { ++blocks; });
    }
    return blocks;
  });
  report("AppendedLines (chunks, last newline)", lines, bytes);

  std::uint64_t usageLines = 0, usageBytes = 0;
  const GLibLoop loop;
  const Result single = best(runs, [&] {
    UsageMeter meter(loop, 1);
    const Json snapshot = meter.snapshot();
    return json::number(snapshot, "today").value_or(0);
  });
  report("UsageMeter.snapshot(), cold, 1 thread", single, bytes);
  const Result meter = best(runs, [&] {
    UsageMeter meter(loop);
    const Json snapshot = meter.snapshot();
    return json::number(snapshot, "today").value_or(0);
  });
  report("UsageMeter.snapshot(), cold (talvane usage)", meter, bytes);
  std::printf("%-44s %s\n", "  same total on every thread count",
              single.value == meter.value ? "yes" : "NO");
  // The command itself, with no app running: starting the program is part of what people wait
  // for. Wall clock, best of the runs, and the total it printed must be the meter's.
  {
    double fastest = 1e9, cpu = 1e9;
    std::string printed;
    for (int i = 0; i < std::max(runs, 5); ++i) {
      int out[2];
      if (::pipe(out) != 0) break;
      rusage before{}, after{};
      ::getrusage(RUSAGE_CHILDREN, &before);
      const auto start = Steady::now();
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::dup2(out[1], 1);
        ::execl(TALVANE_COMMAND_PATH, "talvane", "usage", "--json", nullptr);
        ::_exit(127);
      }
      ::close(out[1]);
      std::string text;
      char buf[4096];
      for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
      ::close(out[0]);
      ::waitpid(pid, nullptr, 0);
      fastest = std::min(fastest, seconds(start));
      ::getrusage(RUSAGE_CHILDREN, &after);
      const auto used = [](const rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
      };
      cpu = std::min(cpu, used(after) - used(before));
      printed = text;
    }
    const auto totals = json::parseObject(printed);
    const double today = totals ? json::number(*totals, "today").value_or(-1) : -1;
    std::printf("%-44s %8.4f s fastest, cpu %.4f s; same total: %s\n",
                "talvane usage (the command, no app)", fastest, cpu,
                today == meter.value ? "yes" : "NO");
  }
  const Result again = best(runs, [&] {
    UsageMeter meter(loop);
    (void)meter.snapshot();
    const auto start = Steady::now();
    (void)meter.snapshot();
    return seconds(start);
  });
  std::printf("%-44s %8.4f s  (nothing new: one stat and one seek per file)\n",
              "UsageMeter.snapshot(), again", again.value);

  // With the app running, `talvane usage` asks its live meter over the socket.
  {
    const pid_t app = ::fork();
    if (app == 0) {
      GLibLoop appLoop;
      LiveUsage live(appLoop);
      NoRouter router;
      Bridge bridge(router);
      bridge.onQuery("usage", [&](const Json&) {
        return live.latest() ? json::compact(*live.latest()) : std::string();
      });
      bridge.start();
      live.refresh();
      for (;;) g_main_context_iteration(nullptr, TRUE);
    }
    double fastest = 1e9, total = 0;
    int answered = 0;
    for (int i = 0; i < 200; ++i) {
      const auto start = Steady::now();
      const auto answer = queryApp(R"({"_query":"usage"})", 2.0);
      const double took = seconds(start);
      if (!answer || answer->size() < 3) {
        ::usleep(20000);  // the app is still starting or reading
        continue;
      }
      ++answered;
      total += took;
      fastest = std::min(fastest, took);
    }
    ::kill(app, SIGTERM);
    ::waitpid(app, nullptr, 0);
    std::printf("%-44s %8.4f s mean, %.4f s fastest, over %d answers\n",
                "talvane usage, app running (socket query)", answered ? total / answered : 0.0,
                fastest, answered);
  }

  const Result reader = best(runs, [&] {
    TranscriptReader reader;
    double cost = 0;
    for (const auto& path : paths) cost += reader.update(path).cost;
    return cost;
  });
  report("TranscriptReader.update() on every file", reader, bytes);

  // What a line costs: scanning it as the readers do, against a full parse with nlohmann, over
  // the lines each reader looks at in the first 64 MB of transcripts.
  {
    std::string sample;
    for (const auto& path : paths) {
      std::FILE* f = std::fopen(path.c_str(), "rb");
      char buf[1 << 16];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) sample.append(buf, n);
      std::fclose(f);
      if (sample.size() > (64u << 20)) break;
    }
    sample.resize(sample.rfind('\n') + 1);
    std::vector<std::string_view> all, withUsage;
    AppendedLines::forEachLine(sample, [&](std::string_view l) {
      all.push_back(l);
      if (l.find("\"usage\"") != std::string_view::npos) {
        withUsage.push_back(l);
        ++usageLines;
        usageBytes += l.size();
      }
    });
    auto time = [](const std::vector<std::string_view>& set, auto&& fn) {
      const double start = cpuSeconds();
      std::size_t ok = 0;
      for (auto l : set) ok += fn(l);
      return std::make_pair(cpuSeconds() - start, ok);
    };
    std::uint64_t allBytes = 0;
    for (auto l : all) allBytes += l.size();
    auto skim = [](std::string_view l) { return TranscriptLine::read(l).has_value(); };
    auto parse = [](std::string_view l) {
      return !Json::parse(l.begin(), l.end(), nullptr, false).is_discarded();
    };
    const auto [skimUsage, a] = time(withUsage, skim);
    const auto [parseUsage, b] = time(withUsage, parse);
    const auto [skimAll, c] = time(all, skim);
    const auto [parseAll, d] = time(all, parse);
    std::printf(
        "\ncpu per line, in memory (%.0f MB sample; %zu of %zu lines hold \"usage\", %.0f%% of "
        "bytes):\n",
        static_cast<double>(allBytes) / 1e6, withUsage.size(), all.size(),
        100.0 * static_cast<double>(usageBytes) / static_cast<double>(allBytes));
    std::printf("  meter's lines:  scan %.2f GB/s   nlohmann %.2f GB/s  (%zu/%zu valid)\n",
                static_cast<double>(usageBytes) / skimUsage / 1e9,
                static_cast<double>(usageBytes) / parseUsage / 1e9, a, b);
    std::printf("  reader's lines: scan %.2f GB/s   nlohmann %.2f GB/s  (%zu/%zu valid)\n",
                static_cast<double>(allBytes) / skimAll / 1e9,
                static_cast<double>(allBytes) / parseAll / 1e9, c, d);
  }

  if (keep) {
    std::printf("corpus kept in %s\n", home.c_str());
    return 0;
  }
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  std::printf("corpus removed\n");
  return 0;
}
