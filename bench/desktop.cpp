// The real app on a private X session (Xvfb, xcompmgr, openbox), with the demo sessions:
//  - start_ms: from starting the program to the strip's first pixels on screen;
//  - pss_mb: the app and all its WebKit processes (PSS from /proc/*/smaps_rollup), panel open;
//  - idle_cpu_pct: CPU of all of them over a minute with the panel closed and no sessions, in %
//    of one core; attention_cpu_pct the same over 30 s with the demo's requests waiting (the
//    strip's attention animations run).
#include <benchmark/benchmark.h>
// After benchmark: Xlib's macros clash with C++ names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <glib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "desktop/x_session.h"
#include "platform/files.h"

namespace {

using namespace talvane;
using talvane::testing::XSession;

std::set<pid_t> family(pid_t root) {
  std::set<pid_t> all{root};
  bool grew = true;
  while (grew) {
    grew = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const pid_t pid = std::atoi(entry.path().filename().c_str());
      if (pid <= 0 || all.count(pid)) continue;
      auto stat = files::read("/proc/" + std::to_string(pid) + "/stat");
      if (!stat) continue;
      auto close = stat->rfind(')');
      char state = 0;
      int ppid = 0;
      if (close != std::string::npos &&
          std::sscanf(stat->c_str() + close + 1, " %c %d", &state, &ppid) == 2 && all.count(ppid)) {
        all.insert(pid);
        grew = true;
      }
    }
  }
  return all;
}

double pssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  double kb = 0;
  while (in >> key) {
    if (key == "Pss:") {
      in >> kb;
      return kb;
    }
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

double cpuTicks(pid_t pid) {
  auto stat = files::read("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return 0;
  std::istringstream in(stat->substr(stat->rfind(')') + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::atof(field.c_str());
    if (i == 15) stime = std::atof(field.c_str());
  }
  return utime + stime;
}

// CPU of `procs` over `seconds`, in % of one core.
double cpuPercent(const std::set<pid_t>& procs, double seconds) {
  double before = 0, after = 0;
  for (pid_t p : procs) before += cpuTicks(p);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  for (pid_t p : procs) after += cpuTicks(p);
  return (after - before) / double(sysconf(_SC_CLK_TCK)) / seconds * 100;
}

bool darkAt(Display* d, int x, int y) {
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return false;
  const unsigned long p = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  const int sum = int((p >> 16) & 0xff) + int((p >> 8) & 0xff) + int(p & 0xff);
  return sum < 150;
}

void BM_DesktopPanel(benchmark::State& state) {
  char* dir = g_dir_make_tmp("talvane-desk-XXXXXX", nullptr);
  const std::string home = dir;
  g_free(dir);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  // The pixel checks expect the dark theme.
  files::makeDirs(home + "/.config/talvane");
  files::writeAtomic(home + "/.config/talvane/settings.json",
                     R"({"theme": "dark", "onboarded": true})");
  XSession x;
  if (!x.ok()) {
    state.SkipWithError("no Xvfb session");
    return;
  }
  for (auto _ : state) {
    x.run("xdotool mousemove 100 900");
    const auto start = std::chrono::steady_clock::now();
    pid_t app =
        x.launch({TALVANE_BIN_DIR "/talvane"}, {"TALVANE_DEMO=mixed", "NO_AT_BRIDGE=1",
                                                "TALVANE_WEB_DIR=" TALVANE_SOURCE_DIR "/web/dist"});
    bool drawn = testing::waitFor([&] { return darkAt(x.display(), 880, 4); }, 60);
    const double startMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!drawn) state.SkipWithError("the strip never appeared");
    // Open the panel on the demo scene and let it settle.
    x.run("xdotool mousemove 960 12");
    testing::waitFor([&] { return darkAt(x.display(), 700, 400); }, 30);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double pss = 0;
    for (pid_t p : family(app)) pss += pssKb(p);
    // Closed, with four requests waiting: the strip's attention animations run.
    x.run("xdotool mousemove 100 900");
    testing::waitFor([&] { return !darkAt(x.display(), 700, 400); }, 30);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double attentionPct = cpuPercent(family(app), 30);
    XSession::terminate(app);
    // Closed and idle: nothing waiting, no agent events.
    app = x.launch({TALVANE_BIN_DIR "/talvane"},
                   {"NO_AT_BRIDGE=1", "TALVANE_WEB_DIR=" TALVANE_SOURCE_DIR "/web/dist"});
    testing::waitFor([&] { return darkAt(x.display(), 880, 4); }, 60);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpuPct = cpuPercent(family(app), 60);
    XSession::terminate(app);
    state.counters["attention_cpu_pct"] = attentionPct;
    state.counters["start_ms"] = startMs;
    state.counters["pss_mb"] = pss / 1024;
    state.counters["idle_cpu_pct"] = cpuPct;
  }
  std::system(("rm -rf '" + home + "'").c_str());
}
BENCHMARK(BM_DesktopPanel)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
