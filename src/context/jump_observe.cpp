#include "context/jump_observe.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "platform/files.h"
#include "platform/gobject.h"

namespace talvane::Jump {

namespace {

constexpr std::size_t kMaxLineage = 24;

// The programs a plan may run.
constexpr std::string_view kPrograms[] = {"tmux",          "kitty",    "wezterm", "code",
                                          "code-insiders", "code-oss", "codium",  "cursor",
                                          "windsurf",      "zed",      "subl"};

constexpr std::string_view kEnvNames[] = {"TMUX", "KITTY_LISTEN_ON", "KITTY_WINDOW_ID",
                                          "WEZTERM_PANE", "WEZTERM_UNIX_SOCKET"};

std::string proc(int pid, std::string_view file) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(file);
}

// The parent from /proc/<pid>/stat; the command name in parentheses may hold anything.
std::optional<int> parentOf(int pid) {
  auto stat = files::read(proc(pid, "stat"));
  if (!stat) return std::nullopt;
  auto close = stat->rfind(')');
  if (close == std::string::npos || close + 4 > stat->size()) return std::nullopt;
  // ") S 1234 ..."
  const char* p = stat->c_str() + close + 4;
  char* end = nullptr;
  long parent = std::strtol(p, &end, 10);
  if (end == p) return std::nullopt;
  return static_cast<int>(parent);
}

std::vector<std::string> nulSeparated(const std::optional<std::string>& text) {
  std::vector<std::string> out;
  if (!text) return out;
  std::string_view rest = *text;
  while (!rest.empty()) {
    auto nul = rest.find('\0');
    out.emplace_back(rest.substr(0, nul));
    if (nul == std::string_view::npos) break;
    rest.remove_prefix(nul + 1);
  }
  return out;
}

std::map<std::string, std::string> interestingEnv(int pid) {
  std::map<std::string, std::string> env;
  for (const std::string& entry : nulSeparated(files::read(proc(pid, "environ")))) {
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    std::string_view name = std::string_view(entry).substr(0, eq);
    if (std::find(std::begin(kEnvNames), std::end(kEnvNames), name) != std::end(kEnvNames))
      env.emplace(std::string(name), entry.substr(eq + 1));
  }
  return env;
}

bool isCharDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool alive(int pid) { return pid > 0 && ::access(proc(pid, "stat").c_str(), F_OK) == 0; }

}  // namespace

std::vector<int> lineage(int pid) {
  std::vector<int> out;
  while (pid > 1 && out.size() < kMaxLineage &&
         std::find(out.begin(), out.end(), pid) == out.end()) {
    auto parent = parentOf(pid);
    if (!parent) break;
    out.push_back(pid);
    pid = *parent;
  }
  return out;
}

Facts observe(const Recorded& s) {
  Facts f;
  f.agent = s.agent;
  f.root = s.root;
  f.hostPid = s.hostPid;
  f.hostExe = s.hostExe;
  f.tty = s.tty;
  f.agentPid = s.agentPid;
  f.ttyExists = s.tty && s.tty->starts_with("/dev/") && isCharDevice(*s.tty);

  if (s.agentPid) f.lineage = lineage(*s.agentPid);
  if (s.hostPid && std::find(f.lineage.begin(), f.lineage.end(), *s.hostPid) == f.lineage.end()) {
    for (int pid : lineage(*s.hostPid))
      if (std::find(f.lineage.begin(), f.lineage.end(), pid) == f.lineage.end())
        f.lineage.push_back(pid);
  }
  if (s.agentPid && alive(*s.agentPid)) f.env = interestingEnv(*s.agentPid);
  if (f.env.empty() && s.hostPid && alive(*s.hostPid)) f.env = interestingEnv(*s.hostPid);
  if (s.hostPid) f.hostArgs = nulSeparated(files::read(proc(*s.hostPid, "cmdline")));

  for (std::string_view name : kPrograms) {
    GCharPtr path(g_find_program_in_path(std::string(name).c_str()));
    if (path) f.programs.emplace(std::string(name), path.get());
  }
  const char* display = std::getenv("DISPLAY");
  f.x11 = display && *display;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  f.wayland = (wayland && *wayland) || (session && std::string_view(session) == "wayland");
  const char* tmpdir = std::getenv("TMUX_TMPDIR");
  f.tmuxDefaultSocket = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tmux-" +
                        std::to_string(::getuid()) + "/default";
  return f;
}

}  // namespace talvane::Jump
