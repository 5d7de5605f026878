#pragma once
// The remote hosts the user added, as kept in the settings under "remoteHosts".

#include <optional>
#include <string>
#include <vector>

#include "platform/json.h"
#include "platform/settings_store.h"

namespace talvane::remote {

struct RemoteHost {
  std::string destination;          // Destination::text(), the key
  std::string home;                 // the remote user's home directory, as found when added
  std::string machine;              // the remote's own host name
  std::string arch;                 // its CPU architecture (uname -m)
  std::vector<std::string> agents;  // the agents connected there, by name ("claude", ...)
  bool codex = false;  // Codex is installed there (its sessions are not seen from here)

  bool operator==(const RemoteHost&) const = default;
};

namespace RemoteHosts {

inline constexpr const char* kKey = "remoteHosts";

Json toJson(const RemoteHost& host);
// Absent when "destination" or "home" is missing or not a string.
std::optional<RemoteHost> fromJson(const Json& value);

// The hosts in the store, in the order added; entries that do not read are skipped.
std::vector<RemoteHost> load(const SettingsStore& store);
void save(SettingsStore& store, const std::vector<RemoteHost>& hosts);
// Adds `host`, replacing one with the same destination in its place.
void put(SettingsStore& store, const RemoteHost& host);
// True when a host with that destination was there.
bool erase(SettingsStore& store, const std::string& destination);

}  // namespace RemoteHosts
}  // namespace talvane::remote
