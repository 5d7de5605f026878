#include "remote/remote_setup.h"

#include <array>
#include <cstdint>
#include <fstream>

#include "integrations/agent_hooks.h"
#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "platform/files.h"
#include "remote/remote_file_system.h"

namespace talvane::remote {

namespace {

std::string nextLine(std::string_view& rest) {
  const auto newline = rest.find('\n');
  std::string line(rest.substr(0, newline));
  rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  return line;
}

// Notes every path and executable the agents' availability rules ask about, answering that
// none is there, so that every alternative of each rule is asked.
class Recorder final : public FileSystem {
 public:
  explicit Recorder(const FileSystem& like) : home_(like.home()), configHome_(like.configHome()) {}
  std::string home() const override { return home_; }
  std::string configHome() const override { return configHome_; }
  FileFacts facts(const std::string& path) const override {
    paths.push_back(path);
    return {};
  }
  std::optional<std::string> read(const std::string&, std::string*) const override { return {}; }
  std::optional<std::string> writeAtomic(const std::string&, std::string_view, unsigned) override {
    return "";
  }
  std::optional<std::string> makeDirs(const std::string&, unsigned) override { return ""; }
  std::optional<std::string> remove(const std::string&) override { return ""; }
  bool onPath(std::string_view executable) const override {
    executables.emplace_back(executable);
    return false;
  }
  mutable std::vector<std::string> paths;
  mutable std::vector<std::string> executables;

 private:
  std::string home_;
  std::string configHome_;
};

// The agents present there (with `orConnected`, also those whose hooks are still there), all
// found before any is changed, from one round trip.
std::vector<const AgentHooks::Entry*> agentsThere(RemoteFileSystem& fs, const Report& report,
                                                  bool orConnected, bool& failed) {
  Recorder recorder(fs);
  for (const AgentHooks::Entry& entry : AgentHooks::all()) (void)entry.available(recorder);
  std::vector<const AgentHooks::Entry*> found;
  try {
    fs.lookAhead(recorder.paths, recorder.executables);
  } catch (const std::exception&) {
    // Each agent is then looked for on its own, and says what went wrong.
  }
  for (const AgentHooks::Entry& entry : AgentHooks::all()) {
    try {
      if (entry.available(fs) || (orConnected && entry.connected(fs))) found.push_back(&entry);
    } catch (const std::exception& e) {
      report.complain("cannot look for " + std::string(entry.label) + ": " + e.what());
      failed = true;
    }
  }
  return found;
}

std::optional<Probe> probe(SshSession& session, const Report& report) {
  const RunResult result = session.run(probeCommand());
  if (result.status != 0) {
    report.complain(sshFailed(result) ? unreachable(session.destination(), result)
                                      : "cannot look at " + session.destination().text() + ": " +
                                            lastLine(result.err));
    return std::nullopt;
  }
  auto facts = readProbe(result.out);
  if (!facts)
    report.complain("cannot look at " + session.destination().text() +
                    ": its shell did not answer as a POSIX shell does");
  return facts;
}

}  // namespace

std::string probeCommand() {
  return "uname -s; uname -m; printf '%s\\n' \"$HOME\" \"${XDG_CONFIG_HOME-}\"; uname -n; "
         "if [ -d \"$HOME/.codex\" ]; then echo codex; else echo -; fi";
}

std::optional<Probe> readProbe(std::string_view answer) {
  Probe facts;
  facts.system = nextLine(answer);
  facts.machine = nextLine(answer);
  facts.home = nextLine(answer);
  const std::string config = nextLine(answer);
  facts.hostName = nextLine(answer);
  facts.codex = nextLine(answer) == "codex";
  if (facts.system.empty() || facts.machine.empty() || !facts.home.starts_with('/'))
    return std::nullopt;
  while (facts.home.size() > 1 && facts.home.ends_with('/')) facts.home.pop_back();
  facts.configHome = config.starts_with('/') ? config : facts.home + "/.config";
  return facts;
}

std::string architectureOf(std::string_view machine) {
  struct Name {
    std::string_view alias;
    std::string_view name;
  };
  static constexpr std::array<Name, 14> kNames{{
      {"x86_64", "x86_64"},
      {"amd64", "x86_64"},
      {"aarch64", "aarch64"},
      {"arm64", "aarch64"},
      {"armv7l", "arm"},
      {"armv6l", "arm"},
      {"armv8l", "arm"},
      {"armhf", "arm"},
      {"i386", "i386"},
      {"i486", "i386"},
      {"i586", "i386"},
      {"i686", "i386"},
      {"riscv64", "riscv64"},
      {"ppc64le", "ppc64le"},
  }};
  for (const Name& n : kNames)
    if (n.alias == machine) return std::string(n.name);
  return std::string(machine);
}

std::optional<std::string> elfArchitecture(const std::string& path) {
  unsigned char header[20] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
  if (header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' || header[3] != 'F')
    return std::nullopt;
  // e_machine, in the byte order EI_DATA names.
  const bool little = header[5] == 1;
  const unsigned machine = little ? header[18] | (header[19] << 8) : (header[18] << 8) | header[19];
  switch (machine) {
    case 62:
      return "x86_64";
    case 183:
      return "aarch64";
    case 40:
      return "arm";
    case 3:
      return "i386";
    case 243:
      return "riscv64";
    case 21:
      return "ppc64le";
    default:
      return "ELF machine " + std::to_string(machine);
  }
}

std::string codexNote(std::string_view destination) {
  return "Codex on " + std::string(destination) +
         ": its sessions there are not shown yet (its rollout files stay on that machine)";
}

std::string addRequest(const RemoteHost& host) {
  return Json{{"_query", "remoteAdd"}, {"host", RemoteHosts::toJson(host)}}.dump(
      -1, ' ', false, Json::error_handler_t::replace);
}

std::string removeRequest(const std::string& destination) {
  return Json{{"_query", "remoteRemove"}, {"destination", destination}}.dump(
      -1, ' ', false, Json::error_handler_t::replace);
}

Added add(SshSession& session, const Report& report) {
  const std::string name = session.destination().text();
  Added added;
  const auto relay = HookInstaller::relaySource();
  if (!relay) {
    report.complain("talvane-hook was not found beside talvane, so there is nothing to copy");
    return added;
  }
  const auto ours = elfArchitecture(*relay);
  if (!ours) {
    report.complain(*relay + " is not an ELF executable, so its architecture is unknown");
    return added;
  }
  report.say("Checking " + name + "…");
  const auto facts = probe(session, report);
  if (!facts) return added;
  if (facts->system != "Linux") {
    report.complain(name + " runs " + facts->system +
                    ", but talvane-hook runs only on Linux, so nothing was changed there");
    return added;
  }
  if (architectureOf(facts->machine) != *ours) {
    report.complain(name + " is " + facts->machine + ", but this talvane-hook is built for " +
                    *ours + ", so nothing was changed there");
    return added;
  }

  RemoteFileSystem fs(session, facts->home, facts->configHome);
  try {
    report.say("Copying talvane-hook…");
    HookInstaller::copyBinary(fs);
    // The forwarded socket lives here: only the remote user may reach it.
    const std::string run = remoteRunDirectory(facts->home);
    const RunResult made =
        session.run("mkdir -p -- " + shellQuote(run) + " && chmod 700 -- " + shellQuote(run));
    if (made.status != 0)
      throw IntegrationError(IntegrationError::unwritable,
                             "cannot create " + fs.displayPath(run) + ": " + lastLine(made.err));
  } catch (const std::exception& e) {
    report.complain("cannot set up " + name + ": " + e.what());
    return added;
  }

  RemoteHost host{name, facts->home, facts->hostName, facts->machine, {}, facts->codex};
  const auto agents = agentsThere(fs, report, false, added.failed);
  for (const AgentHooks::Entry* entry : agents) {
    const AgentHooks::Outcome outcome = AgentHooks::change(*entry, true, fs);
    if (outcome.failed) {
      added.failed = true;
      report.complain(outcome.line);
      continue;
    }
    report.say(outcome.line);
    host.agents.emplace_back(entry->name);
  }
  if (agents.empty())
    report.say("No supported agent was found on " + name + " (" + AgentHooks::names() +
               "); add it again once one is installed there");
  if (facts->codex) report.say(codexNote(name));
  added.host = std::move(host);
  return added;
}

bool remove(SshSession& session, const Report& report, bool* reached) {
  if (reached) *reached = false;
  const auto facts = probe(session, report);
  if (!facts) return false;
  if (reached) *reached = true;
  RemoteFileSystem fs(session, facts->home, facts->configHome);
  bool failed = false;
  // As `disconnect all`: an agent since gone may still have our hooks.
  for (const AgentHooks::Entry* entry : agentsThere(fs, report, true, failed)) {
    const AgentHooks::Outcome outcome = AgentHooks::change(*entry, false, fs);
    (outcome.failed ? report.complain : report.say)(outcome.line);
    failed = failed || outcome.failed;
  }
  const bool ok = !failed;
  return ok;
}

}  // namespace talvane::remote
