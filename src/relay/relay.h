#pragma once
// talvane-hook: hands one hook payload to the running app over its unix socket and, for the
// events that wait, prints the app's answer for the agent. Whatever fails, the agent carries on
// as if no hook were installed: nothing on standard error, exit status 0.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "relay/host.h"
#include "relay/process_table.h"

namespace talvane::Relay {

// The events of `agent` that wait for the app's answer; empty for agents not in the table.
std::span<const std::string_view> blockingFor(std::string_view agent);
bool waits(std::string_view agent, std::string_view event);

// The payload when `input` is a JSON object. Text that agents' JSON writers emit but a strict
// parser refuses (stray bytes, lone UTF-16 surrogate escapes) is mended rather than dropped.
// Absent for a payload nesting deeper than json::kMaxDepth.
std::optional<nlohmann::json> parsePayload(std::string_view input);

// The hook event name: "hook_event_name", else "agent_action_name", else `fallback` (which is
// then written into the payload as "hook_event_name"); empty when none applies.
std::string eventName(nlohmann::json& payload, const char* fallback);

// "_host" as sent to the app.
nlohmann::json hostObject(const HostFacts& host);

// Longest socket path that fits sockaddr_un on Linux with its terminating NUL.
inline constexpr std::size_t kMaxSocketPath = 107;
std::string socketPath(std::string_view home);
// The home folder of `uid` in the text of /etc/passwd; the relay's fallback when HOME is unset
// (it is linked statically, so the name service is out of reach).
std::optional<std::string> passwdHome(std::string_view passwd, uid_t uid);

// The app drops a line longer than this, so a larger payload is not worth reading to its end
// (and would cost several times its size in memory on the way).
inline constexpr std::size_t kMaxInput = std::size_t{64} << 20;
// All of `fd` to its end; nothing once it has given more than `limit` bytes, where reading
// stops.
std::optional<std::string> readInput(int fd, std::size_t limit = kMaxInput);

// How long connecting may take, and then writing the whole line of an event that does not
// wait: an app that stopped accepting or reading must not hold the agent.
inline constexpr std::chrono::milliseconds kSendLimit{1500};

// Writes `line` to the app at `sockPath`; when `wait`, returns what the app answers (up to its
// first line feed, or everything until it closes). Empty when nothing could be sent or read,
// including when connecting, or sending the line of an event that does not wait, takes longer
// than `limit`.
std::string exchange(const std::string& sockPath, std::string_view line, bool wait,
                     std::chrono::milliseconds limit = kSendLimit);

// What the agent reads on standard output, line feed included; empty for nothing.
std::string output(std::string_view agent, std::string_view name, std::string_view reply);

// The program. Always returns 0.
int run(int argc, char** argv, const ProcessTable& table);

}  // namespace talvane::Relay
