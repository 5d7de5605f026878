#pragma once
// Asks a running app for its state over the bridge socket, as `talvane state` and
// `talvane status` do.

#include <optional>
#include <string>

namespace talvane {

// The running app's answer to the "state" query: its snapshot as pretty-printed JSON and a
// line feed, exactly as received. Absent when no app listens on the bridge socket, or it did
// not answer within `timeoutSeconds`; `failure` (when given) then gets a one-line reason.
std::optional<std::string> queryState(double timeoutSeconds = 5, std::string* failure = nullptr);

// Sends one request line (a JSON object with "_query") to the running app and returns its
// answer exactly as received, with the same failures as queryState.
std::optional<std::string> queryApp(const std::string& requestLine, double timeoutSeconds = 5,
                                    std::string* failure = nullptr);

}  // namespace talvane
