#pragma once
// What the Bridge needs from the receiver of hook messages (the Hub implements it).
// Every call happens on the main thread.

#include <functional>
#include <optional>
#include <string>

#include "platform/json.h"

namespace talvane {

// One-shot answer to the relay that sent a message: writes the text and a line feed as the
// connection's final content, then closes it. Only the first call counts; later calls, and
// calls after the Bridge is gone, do nothing. The empty string means "no decision".
using Reply = std::function<void(const std::string&)>;

class HookRouter {
 public:
  virtual ~HookRouter() = default;

  // One entry point per family of agents. `message` is the decoded object as received
  // (including "_agent" and "_host"). Return the pending id when `reply` was kept to be
  // called later (the relay waits for the user); nothing otherwise. `reply` may be called
  // before returning (an automatic answer); the returned id is then ignored.
  virtual std::optional<std::string> claude(const Json& message, Reply reply) = 0;
  virtual std::optional<std::string> cursor(const Json& message, Reply reply) = 0;
  // Every other agent ("gemini", "droid", "copilot", "windsurf", "opencode", ...).
  virtual std::optional<std::string> adapted(const Json& message, Reply reply) = 0;

  // A connection held for `pendingId` ended before its reply was written (the agent timed
  // out or was interrupted). Called at most once per held connection.
  virtual void hookGone(const std::string& pendingId) = 0;

  // The state answered to a {"_query":"state"} request.
  virtual Json snapshot() = 0;
};

}  // namespace talvane
