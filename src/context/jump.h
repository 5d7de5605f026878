#pragma once
// The short name of the application hosting an agent, shown beside its session.

#include <optional>
#include <string>
#include <string_view>

namespace talvane::Jump {

// `agent` is the agent's name ("claude", "cursor", ...); `hostBundle` the host's bundle path on
// macOS or its executable on Linux.
std::optional<std::string> hostName(std::string_view agent,
                                    const std::optional<std::string>& hostBundle,
                                    const std::optional<std::string>& tty);

}  // namespace talvane::Jump
