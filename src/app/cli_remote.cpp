// `talvane remote add|list|remove|status`: agents on other machines, reached over ssh.
#include <cstdio>
#include <optional>
#include <string>

#include "app/commands.h"
#include "app/state_client.h"
#include "platform/json.h"
#include "platform/json_settings_store.h"
#include "remote/command_runner.h"
#include "remote/destination.h"
#include "remote/remote_hosts.h"
#include "remote/remote_setup.h"
#include "remote/ssh_session.h"

namespace talvane::cli {

namespace {

using remote::RemoteHost;
namespace RemoteHosts = remote::RemoteHosts;

void error(const std::string& message) { std::fprintf(stderr, "talvane: %s\n", message.c_str()); }

remote::Report terminalReport() {
  return {[](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
          },
          [](const std::string& line) { error(line); }};
}

std::optional<remote::Destination> destination(const Args& args, const char* command) {
  if (args.size() != 1) {
    error(std::string("remote ") + command + " needs one host: [user@]host[:port]");
    return std::nullopt;
  }
  auto to = remote::Destination::parse(args[0]);
  if (!to)
    error("'" + printable(args[0]) +
          "' is not a host to reach over ssh (expected [user@]host[:port])");
  return to;
}

// Whether the running app took the request. Absent when no app answered: the settings file is
// then ours to change. The app keeps the settings in memory and would write over our change.
std::optional<bool> toldApp(const std::string& request) {
  auto answer = queryApp(request, 5);
  if (!answer) return std::nullopt;
  auto reply = json::parse(*answer);
  if (reply && json::boolean(*reply, "ok").value_or(false)) return true;
  error("the running app did not take the change: " +
        printable(reply ? json::string(*reply, "error").value_or(remote::lastLine(*answer))
                        : remote::lastLine(*answer)));
  return false;
}

int addHost(const Args& args) {
  auto to = destination(args, "add");
  if (!to) return 2;
  remote::SpawnRunner runner;
  remote::Added added;
  {
    remote::SshSession session(*to, runner);
    added = remote::add(session, terminalReport());
  }
  if (!added.host) return 1;
  const auto told = toldApp(remote::addRequest(*added.host));
  if (told && !*told) return 1;
  if (!told) {
    JsonSettingsStore& store = JsonSettingsStore::user();
    RemoteHosts::put(store, *added.host);
    if (!store.flush()) {
      error("cannot save " + store.path());
      return 1;
    }
  }
  std::printf("Added %s: its sessions show in the panel while the app runs\n",
              printable(added.host->destination).c_str());
  return added.failed ? 1 : 0;
}

int removeHost(const Args& args) {
  auto to = destination(args, "remove");
  if (!to) return 2;
  const std::string name = to->text();
  bool known = false;
  for (const RemoteHost& host : RemoteHosts::load(JsonSettingsStore::user()))
    known = known || host.destination == name;
  if (!known) {
    error(printable(name) + " is not a remote host of Talvane (see talvane remote list)");
    return 1;
  }
  remote::SpawnRunner runner;
  bool reached = false;
  bool ok = false;
  {
    remote::SshSession session(*to, runner);
    ok = remote::remove(session, terminalReport(), &reached);
  }
  if (!reached)
    std::printf(
        "The hooks on %s stay there; without this machine they do nothing (talvane-hook lets the "
        "agents carry on)\n",
        printable(name).c_str());
  const auto told = toldApp(remote::removeRequest(name));
  if (told && !*told) return 1;
  if (!told) {
    JsonSettingsStore& store = JsonSettingsStore::user();
    RemoteHosts::erase(store, name);
    if (!store.flush()) {
      error("cannot save " + store.path());
      return 1;
    }
  }
  std::printf("Removed %s\n", printable(name).c_str());
  return ok || !reached ? 0 : 1;
}

std::string agentsOf(const RemoteHost& host) {
  std::string list;
  for (const std::string& agent : host.agents) list += (list.empty() ? "" : ",") + agent;
  return list.empty() ? "-" : list;
}

int listHosts(const Args& args) {
  if (!args.empty()) {
    error("remote list takes no arguments");
    return 2;
  }
  const auto hosts = RemoteHosts::load(JsonSettingsStore::user());
  if (hosts.empty()) {
    std::printf("No remote host (add one with: talvane remote add [user@]host)\n");
    return 0;
  }
  std::printf("%-28s %-20s %-8s %s\n", "host", "machine", "arch", "agents");
  for (const RemoteHost& host : hosts)
    std::printf("%-28s %-20s %-8s %s\n", printable(host.destination).c_str(),
                printable(host.machine).c_str(), printable(host.arch).c_str(),
                printable(agentsOf(host)).c_str());
  return 0;
}

int showStatus(const Args& args) {
  if (!args.empty()) {
    error("remote status takes no arguments");
    return 2;
  }
  std::vector<std::string> codex;
  if (auto answer = queryApp(remote::kStatusRequest, 5)) {
    auto reply = json::parse(*answer);
    const Json* hosts = reply ? json::array(*reply, "hosts") : nullptr;
    if (!hosts) {
      error("the running app did not say how its remote hosts are");
      return 1;
    }
    if (hosts->empty()) std::printf("No remote host\n");
    for (const Json& host : *hosts) {
      const std::string name = printable(json::string(host, "destination").value_or("?"));
      std::printf("%-28s %-20s %-14s %s\n", name.c_str(),
                  printable(json::string(host, "machine").value_or("")).c_str(),
                  printable(json::string(host, "state").value_or("?")).c_str(),
                  printable(json::string(host, "detail").value_or("")).c_str());
      if (json::boolean(host, "codex").value_or(false)) codex.push_back(name);
    }
  } else {
    const auto hosts = RemoteHosts::load(JsonSettingsStore::user());
    if (hosts.empty()) std::printf("No remote host\n");
    for (const RemoteHost& host : hosts) {
      std::printf("%-28s %-20s %s\n", printable(host.destination).c_str(),
                  printable(host.machine).c_str(), "app not running");
      if (host.codex) codex.push_back(printable(host.destination));
    }
  }
  for (const std::string& name : codex) std::printf("%s\n", remote::codexNote(name).c_str());
  return 0;
}

}  // namespace

int remote(const Args& args) {
  const std::string command = args.empty() ? "" : args[0];
  const Args rest = args.empty() ? Args() : Args(args.begin() + 1, args.end());
  if (command == "add") return addHost(rest);
  if (command == "remove") return removeHost(rest);
  if (command == "list") return listHosts(rest);
  if (command == "status") return showStatus(rest);
  error(command.empty() ? "remote needs a command: add, list, remove or status"
                        : "unknown remote command '" + printable(command) +
                              "' (choose from add, list, remove, status)");
  return 2;
}

}  // namespace talvane::cli
