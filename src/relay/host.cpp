#include "relay/host.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace talvane {

namespace {

constexpr std::string_view kBundleMark = ".app/";

// Executables that are never the hosting application, by file name. To add one, append it to
// the group it belongs to.
constexpr std::string_view kPassThroughNames[] = {
    // the agents and the runtimes they are written for
    "claude", "codex", "cursor-agent", "gemini", "droid", "opencode", "copilot", "node", "nodejs",
    "bun", "deno", "python", "python3",
    // privilege switches
    "sudo", "su", "doas", "runuser", "pkexec",
    // remote logins
    "sshd", "sshd-session", "dropbear", "mosh-server",
    // service managers
    "systemd", "init", "launchd"};

// What a hook command runs the relay through: shells and wrappers. They are pass-throughs too,
// and they live only as long as the hook, so the agent is the first ancestor above them.
constexpr std::string_view kLauncherNames[] = {
    // shells
    "sh", "bash", "zsh", "fish", "dash", "ash", "ksh", "mksh", "oksh", "pdksh", "yash", "tcsh",
    "csh", "nu", "elvish", "xonsh", "busybox",
    // wrappers
    "env", "nice", "nohup", "setsid", "stdbuf", "timeout", "time", "flock", "xargs", "chrt",
    "ionice"};

template <std::size_t N>
bool named(const std::string_view (&names)[N], std::string_view name) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

std::string_view baseName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// python3.12 and friends.
bool isVersionedPython(std::string_view name) {
  if (!name.starts_with("python")) return false;
  std::string_view rest = name.substr(6);
  return !rest.empty() && std::all_of(rest.begin(), rest.end(),
                                      [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

// Sandboxes and self-extracting launchers run from anonymous memory ("/memfd:name"): no
// application a user could recognise or bring forward.
bool isRealFile(std::string_view path) {
  return !path.empty() && path.front() == '/' && !path.starts_with("/memfd:");
}

}  // namespace

bool isAgentBinary(std::string_view path) {
  return path.find("/claude-code/") != std::string_view::npos ||
         path.find("/claude-code-vm/") != std::string_view::npos || path.ends_with("/claude");
}

bool isHookLauncher(std::string_view path) { return named(kLauncherNames, baseName(path)); }

bool isPassThrough(std::string_view path) {
  std::string_view name = baseName(path);
  if (named(kPassThroughNames, name) || named(kLauncherNames, name)) return true;
  // Claude Code's own installer keeps its binaries under .../claude/versions/<version>.
  return isVersionedPython(name) || path.find("/claude/versions/") != std::string_view::npos;
}

// A path inside a bundle ("….app/…") is judged by the bundle rule alone: the bundle is the
// application whatever terminal or name the process has, and nested bundles count as the
// outermost one. Any other path must name a process with no controlling terminal that is no
// pass-through (see isPassThrough). Agent binaries are skipped under both rules; the nearest
// entry that passes either rule is the host.
std::optional<std::size_t> findHost(const std::vector<Ancestor>& chain) {
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const Ancestor& entry = chain[i];
    if (!isRealFile(entry.path) || isAgentBinary(entry.path)) continue;
    if (entry.path.find(kBundleMark) != std::string::npos) return i;
    if (!entry.tty && !isPassThrough(entry.path)) return i;
  }
  return std::nullopt;
}

HostFacts hostFacts(const std::vector<Ancestor>& chain) {
  HostFacts facts;
  for (const Ancestor& entry : chain) {
    if (entry.tty) {
      facts.tty = entry.tty;
      break;
    }
  }
  if (std::optional<std::size_t> index = findHost(chain)) {
    const Ancestor& host = chain[*index];
    facts.pid = host.pid;
    std::size_t mark = host.path.find(kBundleMark);
    facts.bundle = mark == std::string::npos ? host.path : host.path.substr(0, mark) + ".app";
  }
  // Not simply the grandparent: dash (Debian's /bin/sh) does not exec the last command of
  // `sh -c`, so the installed command leaves two shells between the agent and the relay.
  for (const Ancestor& entry : chain) {
    if (isHookLauncher(entry.path)) continue;
    facts.agentPid = entry.pid;
    break;
  }
  return facts;
}

HostFacts hostFactsHere(const std::vector<Ancestor>& chain) {
  HostFacts facts = hostFacts(chain);
  utsname name;
  if (::uname(&name) == 0 && name.nodename[0] != '\0') facts.machine = name.nodename;
  if (const char* pane = std::getenv("TMUX_PANE"); pane && *pane) facts.tmuxPane = pane;
  return facts;
}

}  // namespace talvane
