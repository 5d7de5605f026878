#include "remote/remote_hosts.h"

#include <algorithm>

namespace talvane::remote::RemoteHosts {

Json toJson(const RemoteHost& host) {
  return Json{{"destination", host.destination}, {"home", host.home},
              {"machine", host.machine},         {"arch", host.arch},
              {"agents", host.agents},           {"codex", host.codex}};
}

std::optional<RemoteHost> fromJson(const Json& value) {
  auto destination = json::string(value, "destination");
  auto home = json::string(value, "home");
  if (!destination || !home || destination->empty() || home->empty()) return std::nullopt;
  RemoteHost host{*destination,
                  *home,
                  json::string(value, "machine").value_or(""),
                  json::string(value, "arch").value_or(""),
                  {},
                  false};
  if (const Json* agents = json::array(value, "agents"))
    for (const Json& agent : *agents)
      if (agent.is_string()) host.agents.push_back(agent.get<std::string>());
  host.codex = json::boolean(value, "codex").value_or(false);
  return host;
}

std::vector<RemoteHost> load(const SettingsStore& store) {
  std::vector<RemoteHost> hosts;
  const std::optional<Json> list = store.get(kKey);
  if (!list || !list->is_array()) return hosts;
  for (const Json& entry : *list)
    if (auto host = fromJson(entry)) hosts.push_back(std::move(*host));
  return hosts;
}

void save(SettingsStore& store, const std::vector<RemoteHost>& hosts) {
  Json list = Json::array();
  for (const RemoteHost& host : hosts) list.push_back(toJson(host));
  store.set(kKey, list);
}

void put(SettingsStore& store, const RemoteHost& host) {
  std::vector<RemoteHost> hosts = load(store);
  auto same = std::find_if(hosts.begin(), hosts.end(),
                           [&](const RemoteHost& h) { return h.destination == host.destination; });
  if (same != hosts.end())
    *same = host;
  else
    hosts.push_back(host);
  save(store, hosts);
}

bool erase(SettingsStore& store, const std::string& destination) {
  std::vector<RemoteHost> hosts = load(store);
  const auto removed =
      std::erase_if(hosts, [&](const RemoteHost& h) { return h.destination == destination; });
  if (removed) save(store, hosts);
  return removed > 0;
}

}  // namespace talvane::remote::RemoteHosts
