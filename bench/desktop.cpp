// The real app on a private X session (Xvfb, xcompmgr, openbox). CPU is process CPU time (user +
// system) of the app and all its WebKit processes, in % of one core, so other work on the
// machine slows the figures' wall clock but does not inflate them. Memory is PSS from
// /proc/*/smaps_rollup of the same processes.
//  - start_ms: from starting the program to the strip's first pixels on screen; blink_ms: how
//    long the strip was gone again in the five seconds after that (it should never be);
//  - first_open_ms: the first hover after start to the open panel on screen; warm_open_ms the
//    median of later ones (the pointer jumps onto the strip as a mouse would move it, through
//    XTest);
//  - pss_mb: open on the demo scene (each memory figure also as *_uss_mb); cycle20_mb /
//  cycle120_mb: closed, after that many hover
//    open/close cycles, and cycle_growth_mb between them; closed_after_mb: 20 s after the last;
//  - open_resting_cpu_pct: open on the demo scene with the pointer resting on it, 30 s from
//    10 s after opening;
//  - attention_cpu_pct: closed with the demo's requests waiting, 30 s;
//  - working_cpu_pct: closed with four agents at work, 30 s;
//  - idle_cpu_pct: closed with no sessions, 60 s.
#include <benchmark/benchmark.h>
// After benchmark: Xlib's macros clash with C++ names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// PSS and USS (private clean + dirty) of one process in kB. Shared libraries count in PSS
// divided among every process that maps them, so other programs of the same kind on the
// machine lower it; USS does not move with them.
std::pair<double, double> memKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  double pss = 0, uss = 0, kb = 0;
  while (in >> key) {
    if (key == "Pss:" || key == "Private_Clean:" || key == "Private_Dirty:") {
      in >> kb;
      (key == "Pss:" ? pss : uss) += kb;
    }
    in.ignore(1 << 12, '\n');
  }
  return {pss, uss};
}

// A process's CPU ticks with those of its children that ended (and were reaped).
double cpuTicks(pid_t pid) {
  auto stat = files::read("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return 0;
  std::istringstream in(stat->substr(stat->rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 17 && in >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());  // utime, stime, cutime, cstime
  return ticks;
}

double familyTicks(pid_t app) {
  double ticks = 0;
  for (pid_t p : family(app)) ticks += cpuTicks(p);
  return ticks;
}

// CPU of the app and its processes over `seconds`, in % of one core; web processes that start
// or end meanwhile (the page starting over) count too.
double cpuPercent(pid_t app, double seconds) {
  const double before = familyTicks(app);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return (familyTicks(app) - before) / double(sysconf(_SC_CLK_TCK)) / seconds * 100;
}

bool darkAt(Display* d, int x, int y) {
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return false;
  const unsigned long p = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  const int sum = int((p >> 16) & 0xff) + int((p >> 8) & 0xff) + int(p & 0xff);
  return sum < 150;
}

// PSS of the app and its WebKit processes in MB, and their USS as `name`_uss_mb.
void memory(benchmark::State& state, const std::string& name, pid_t app) {
  double pss = 0, uss = 0;
  for (pid_t p : family(app)) {
    auto [ppss, puss] = memKb(p);
    pss += ppss;
    uss += puss;
  }
  state.counters[name + "_mb"] = pss / 1024;
  state.counters[name + "_uss_mb"] = uss / 1024;
}

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

const char* const kPage = "TALVANE_WEB_DIR=" TALVANE_SOURCE_DIR "/web/dist";

// The open panel covers (700, 400); the closed strip does not.
bool isOpen(Display* d) { return darkAt(d, 700, 400); }

// Moves the pointer as a mouse does (a warp, as xdotool's mousemove, is no motion the desktop
// reports: only the slow poll would see it).
void movePointer(Display* d, int x, int y) {
  XTestFakeMotionEvent(d, -1, x, y, 0);
  XSync(d, False);
}

// Rests the pointer on the strip until the panel is open; milliseconds, or -1.
double hoverOpen(XSession& x) {
  const auto start = std::chrono::steady_clock::now();
  movePointer(x.display(), 960, 12);
  if (!testing::waitFor([&] { return isOpen(x.display()); }, 30)) return -1;
  return msSince(start);
}

bool leave(XSession& x) {
  movePointer(x.display(), 100, 900);
  return testing::waitFor([&] { return !isOpen(x.display()); }, 30);
}

void BM_DesktopPanel(benchmark::State& state) {
  char* dir = g_dir_make_tmp("talvane-desk-XXXXXX", nullptr);
  const std::string home = dir;
  g_free(dir);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  // The pixel checks expect the dark theme; without "onboarded" the first-run window would
  // stand in front of the panel.
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
    auto start = std::chrono::steady_clock::now();
    pid_t app =
        x.launch({TALVANE_BIN_DIR "/talvane"}, {"TALVANE_DEMO=mixed", "NO_AT_BRIDGE=1", kPage});
    const bool drawn = testing::waitFor([&] { return darkAt(x.display(), 880, 4); }, 60);
    state.counters["start_ms"] = msSince(start);
    if (!drawn) state.SkipWithError("the strip never appeared");
    // A strip that comes and goes again while the page starts.
    int gone = 0;
    for (int i = 0; i < 100; ++i) {
      if (!darkAt(x.display(), 880, 4)) ++gone;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    state.counters["blink_ms"] = gone * 50;

    state.counters["first_open_ms"] = hoverOpen(x);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    memory(state, "pss", app);
    // Resting: past the first open's one-off work (the software rasteriser compiles its
    // shaders then) and the panel's settling.
    std::this_thread::sleep_for(std::chrono::seconds(7));
    state.counters["open_resting_cpu_pct"] = cpuPercent(app, 30);
    // Closed, with four requests waiting: the strip calls for attention.
    leave(x);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    state.counters["attention_cpu_pct"] = cpuPercent(app, 30);

    std::vector<double> opens;
    for (int cycle = 2; cycle <= 120; ++cycle) {
      const double ms = hoverOpen(x);
      if (ms < 0 || !leave(x)) {
        state.SkipWithError("the panel did not open and close on hover");
        break;
      }
      opens.push_back(ms);
      if (cycle == 20 || cycle == 120) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        memory(state, cycle == 20 ? "cycle20" : "cycle120", app);
      }
    }
    state.counters["cycle_growth_mb"] =
        state.counters["cycle120_mb"] - state.counters["cycle20_mb"];
    state.counters["cycle_growth_uss_mb"] =
        state.counters["cycle120_uss_mb"] - state.counters["cycle20_uss_mb"];
    if (!opens.empty()) {
      std::nth_element(opens.begin(), opens.begin() + opens.size() / 2, opens.end());
      state.counters["warm_open_ms"] = opens[opens.size() / 2];
    }
    std::this_thread::sleep_for(std::chrono::seconds(19));
    memory(state, "closed_after", app);
    XSession::terminate(app);

    // Closed, four agents at work (and one finished).
    app = x.launch({TALVANE_BIN_DIR "/talvane"}, {"TALVANE_DEMO=busy", "NO_AT_BRIDGE=1", kPage});
    testing::waitFor([&] { return darkAt(x.display(), 880, 4); }, 60);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    state.counters["working_cpu_pct"] = cpuPercent(app, 30);
    XSession::terminate(app);

    // Closed and idle: nothing waiting, no agent events.
    app = x.launch({TALVANE_BIN_DIR "/talvane"}, {"NO_AT_BRIDGE=1", kPage});
    testing::waitFor([&] { return darkAt(x.display(), 880, 4); }, 60);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    state.counters["idle_cpu_pct"] = cpuPercent(app, 60);
    XSession::terminate(app);
  }
  std::system(("rm -rf '" + home + "'").c_str());
}
BENCHMARK(BM_DesktopPanel)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
